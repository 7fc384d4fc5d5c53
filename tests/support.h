// Shared helpers for the tests: temporary folders, a real agent socket, and
// running audit text through the real event loop.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/config.h"

// A fresh directory under /tmp, removed with its content on destruction.
struct temp_dir_t {
    std::string path; // absolute path, no trailing "/"
    temp_dir_t();
    ~temp_dir_t();
    temp_dir_t(temp_dir_t const&) = delete;
    temp_dir_t& operator=(temp_dir_t const&) = delete;
};

// A bound AF_UNIX datagram socket standing in for the scanning agent. A
// thread receives all the time, as a real agent does: the kernel queues only
// a few datagrams (net.unix.max_dgram_qlen) before the sender blocks.
struct agent_sink_t {
    std::string path;                  // the socket file
    int fd = -1;                       // the bound socket
    int stop_fd = -1;                  // eventfd that ends the receiver
    std::mutex lock;                   // guards received and every recv
    std::vector<std::string> received; // datagrams not yet drained, in order
    std::thread receiver;              // receives until stop_fd is signalled
    explicit agent_sink_t(std::string const& socket_path);
    ~agent_sink_t();
    agent_sink_t(agent_sink_t const&) = delete;
    agent_sink_t& operator=(agent_sink_t const&) = delete;
    // Returns every datagram received so far, waiting up to wait_ms for the
    // first when there is none yet.
    std::vector<std::string> drain(int wait_ms = 0);
};

// Reads a whole file; fails the calling test if it cannot.
std::string read_file(std::string const& path);
// Writes text to a file, replacing it.
void write_file(std::string const& path, std::string const& text);
// The content of a file under tests/data/.
std::string test_data(std::string const& name);

// A configuration tree as load_config returns it.
ptree make_config(std::string const& data_dir, std::string const& key = "velkoran",
                  std::string const& log_dir = "/nonexistent");

// Runs event_loop over text (read from a pipe written by a second thread,
// in chunks of at most chunk bytes) with the agent socket in data_dir;
// returns the loop's result.
int run_event_loop(std::string const& text, std::string const& data_dir,
                   std::string const& key = "velkoran", size_t chunk = 8970);

// Runs text through event_loop with a fresh agent and returns the datagrams
// the agent received, in order.
std::vector<std::string> datagrams_for(std::string const& text, std::string const& key = "velkoran",
                                       size_t chunk = 8970);
