// Shared helpers for the tests: temporary folders, a real agent socket, and
// running audit text through the real event loop.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

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

// An agent that counts (and, unless told not to, keeps) what it receives,
// reading on a thread of its own that may start late, so that the plugin
// finds the receive queue full until it does.
struct agent_reader_t {
    std::string path;                  // the socket file
    int fd = -1;                       // the bound socket
    bool keep = true;                  // false: count without keeping the datagrams
    std::vector<std::string> received; // every datagram kept, in order; read it after stop()
    std::atomic<size_t> count{0};      // datagrams received so far
    std::thread thread;                // the reader, once started
    explicit agent_reader_t(std::string const& socket_path, bool keep = true, bool start_now = true);
    ~agent_reader_t();
    agent_reader_t(agent_reader_t const&) = delete;
    agent_reader_t& operator=(agent_reader_t const&) = delete;
    // Starts reading.
    void start();
    // Returns once every datagram queued before the call has been read; the
    // reader then stops.
    void stop();
};

// event_loop running on a thread of its own over a pipe that the test
// writes, so that the test can watch what the loop thread is doing.
struct loop_thread_t {
    int input[2] = {-1, -1}; // the pipe: input[0] is read by the loop, input[1] written by the test
    ptree config;            // passed to event_loop
    int signal_fd;           // passed to event_loop
    pid_t tid = 0;           // kernel id of the loop thread
    int result = -1;         // event_loop's result once joined
    std::thread thread;
    explicit loop_thread_t(ptree const& config, int signal_fd = -1);
    ~loop_thread_t();
    loop_thread_t(loop_thread_t const&) = delete;
    loop_thread_t& operator=(loop_thread_t const&) = delete;
    // Writes all of text to the pipe (blocking while the pipe is full).
    void write(std::string const& text);
    // Waits until the loop has read everything written and sleeps in poll;
    // its poll time-out then is returned (-1 or the ageing time-out).
    int wait_idle();
    // Waits until the loop thread sleeps in the system call nr.
    void wait_in_syscall(long nr);
    // Closes the write end (end of input), joins, returns the loop's result.
    int finish();
    // Joins a loop that ends by itself (signal, error); returns its result.
    int join();
};

// The system call a thread of this process sleeps in (-1 while it runs) and
// its first three arguments.
struct thread_syscall_t {
    long nr;        // system call number, -1 while running
    uint64_t arg[3]; // its first three arguments
};
thread_syscall_t syscall_of_thread(pid_t tid);

// Runs text through event_loop (agent in a fresh folder, read by an
// agent_reader_t) and returns what the agent received; the loop must end
// with result 0.
std::vector<std::string> received_for(std::string const& text, std::string const& key = "velkoran");

// One syscall event of the audit daemon's text (as recorded in tests/data):
// uid 1000 creates name (relative to /home/u) with openat, audit key key.
std::string audit_event(uint64_t serial, std::string const& name, std::string const& key = "velkoran");

// The size in KiB that /proc/self/status gives for field (such as
// "VmData:"), or -1.
long status_kib(std::string const& field);
// Peak resident set of this process in KiB (VmHWM), or -1.
long peak_rss_kib();

// The files of a folder, sorted; none if it is absent.
std::vector<std::string> files_in(std::string const& folder);
