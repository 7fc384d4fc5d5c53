#include "support.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>

#include "intake/event_loop.h"

temp_dir_t::temp_dir_t()
{
    char name[] = "/tmp/velkoran-test-XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    path = name;
}

temp_dir_t::~temp_dir_t()
{
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path, ignored);
}

// Moves every datagram waiting on fd into out; called with the lock held.
static void receive_waiting(int fd, std::vector<std::string>& out)
{
    static thread_local char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0)
            return;
        out.emplace_back(buffer, static_cast<size_t>(n));
    }
}

agent_sink_t::agent_sink_t(std::string const& socket_path) : path(socket_path)
{
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        throw std::runtime_error(std::string("socket: ") + strerror(errno));
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    unlink(socket_path.c_str());
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("bind " + socket_path + ": " + strerror(errno));
    stop_fd = eventfd(0, EFD_CLOEXEC);
    receiver = std::thread([this] {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        while (poll(fds, 2, -1) >= 0 && fds[1].revents == 0) {
            std::lock_guard<std::mutex> guard(lock);
            receive_waiting(fd, received);
        }
    });
}

agent_sink_t::~agent_sink_t()
{
    uint64_t one = 1;
    if (write(stop_fd, &one, sizeof one) != sizeof one)
        std::abort();
    receiver.join();
    close(stop_fd);
    close(fd);
    unlink(path.c_str());
}

std::vector<std::string> agent_sink_t::drain(int wait_ms)
{
    for (int waited = 0;; waited += 10) {
        {
            std::lock_guard<std::mutex> guard(lock);
            receive_waiting(fd, received);
            if (!received.empty() || waited >= wait_ms) {
                std::vector<std::string> taken;
                taken.swap(received);
                return taken;
            }
        }
        usleep(10000);
    }
}

std::string read_file(std::string const& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(std::string const& path, std::string const& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string test_data(std::string const& name)
{
    return read_file(std::string(TEST_DATA_DIR) + "/" + name);
}

ptree make_config(std::string const& data_dir, std::string const& key, std::string const& log_dir)
{
    ptree config;
    config.put("data_directory", data_dir);
    config.put("log_directory", log_dir);
    config.put("realtime.key", key);
    return config;
}

int run_event_loop(std::string const& text, std::string const& data_dir, std::string const& key,
                   size_t chunk)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return -1;
    std::thread writer([&] {
        for (size_t at = 0; at < text.size(); at += chunk) {
            size_t len = std::min(chunk, text.size() - at);
            for (size_t done = 0; done < len;) {
                ssize_t n = write(pipe_fds[1], text.data() + at + done, len - done);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
        }
        close(pipe_fds[1]);
    });
    int result = event_loop(make_config(data_dir, key), pipe_fds[0], -1);
    writer.join();
    close(pipe_fds[0]);
    return result;
}

std::vector<std::string> datagrams_for(std::string const& text, std::string const& key, size_t chunk)
{
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    EXPECT_EQ(run_event_loop(text, dir.path, key, chunk), 0);
    return agent.drain();
}
