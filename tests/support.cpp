#include "support.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <poll.h>
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
}

agent_sink_t::~agent_sink_t()
{
    close(fd);
    unlink(path.c_str());
}

std::vector<std::string> agent_sink_t::drain(int wait_ms)
{
    std::vector<std::string> received;
    struct pollfd pfd = {fd, POLLIN, 0};
    if (wait_ms > 0)
        poll(&pfd, 1, wait_ms);
    static char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0)
            break;
        received.emplace_back(buffer, static_cast<size_t>(n));
    }
    return received;
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
