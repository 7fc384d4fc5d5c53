#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
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

agent_reader_t::agent_reader_t(std::string const& socket_path, bool keep_, bool start_now)
    : path(socket_path), keep(keep_)
{
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    unlink(socket_path.c_str());
    if (fd == -1 || bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("bind " + socket_path + ": " + strerror(errno));
    if (start_now)
        start();
}

void agent_reader_t::start()
{
    thread = std::thread([this] {
        // Up to BATCH datagrams per call, to keep pace with a fast loop.
        constexpr unsigned BATCH = 16;
        static thread_local char buffers[BATCH][65536];
        struct sockaddr_un from[BATCH];
        struct iovec io[BATCH];
        struct mmsghdr messages[BATCH];
        for (;;) {
            for (unsigned i = 0; i < BATCH; ++i) {
                io[i] = {buffers[i], sizeof buffers[i]};
                messages[i] = {};
                messages[i].msg_hdr.msg_name = &from[i];
                messages[i].msg_hdr.msg_namelen = sizeof from[i];
                messages[i].msg_hdr.msg_iov = &io[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            int n = recvmmsg(fd, messages, BATCH, MSG_WAITFORONE, nullptr);
            for (int i = 0; i < n; ++i) {
                // The plugin's socket is unbound; only stop()'s marker has a name.
                if (messages[i].msg_hdr.msg_namelen > sizeof from[i].sun_family)
                    return;
                ++count;
                if (keep)
                    received.emplace_back(buffers[i], messages[i].msg_len);
            }
        }
    });
}

agent_reader_t::~agent_reader_t()
{
    stop();
    close(fd);
    unlink(path.c_str());
}

void agent_reader_t::stop()
{
    if (!thread.joinable())
        return;
    int marker = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un name = {};
    name.sun_family = AF_UNIX;
    snprintf(name.sun_path + 1, sizeof name.sun_path - 1, "velkoran-test-marker-%d-%p", getpid(),
             static_cast<void*>(this));
    struct sockaddr_un to = {};
    to.sun_family = AF_UNIX;
    strncpy(to.sun_path, path.c_str(), sizeof to.sun_path - 1);
    if (bind(marker, reinterpret_cast<struct sockaddr*>(&name), sizeof name) != 0 ||
        sendto(marker, "", 0, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to) != 0)
        std::abort(); // the reader could never be stopped
    thread.join();
    close(marker);
}

loop_thread_t::loop_thread_t(ptree const& config_, int signal_fd_) : config(config_), signal_fd(signal_fd_)
{
    if (pipe2(input, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    std::promise<pid_t> started;
    std::future<pid_t> started_tid = started.get_future();
    thread = std::thread([this, &started] {
        started.set_value(gettid());
        result = event_loop(config, input[0], signal_fd);
    });
    tid = started_tid.get();
}

loop_thread_t::~loop_thread_t()
{
    finish();
    if (input[0] != -1)
        close(input[0]);
}

void loop_thread_t::write(std::string const& text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = ::write(input[1], text.data() + done, text.size() - done);
        if (n <= 0)
            throw std::runtime_error(std::string("write: ") + strerror(errno));
        done += static_cast<size_t>(n);
    }
}

int loop_thread_t::wait_idle()
{
    for (;;) {
        int pending = 0;
        if (ioctl(input[0], FIONREAD, &pending) == 0 && pending == 0) {
            thread_syscall_t now = syscall_of_thread(tid);
            if (now.nr == SYS_poll)
                return static_cast<int>(static_cast<uint32_t>(now.arg[2]));
        }
        usleep(1000);
    }
}

void loop_thread_t::wait_in_syscall(long nr)
{
    while (syscall_of_thread(tid).nr != nr)
        usleep(1000);
}

int loop_thread_t::finish()
{
    if (input[1] != -1)
        close(input[1]);
    input[1] = -1;
    return join();
}

int loop_thread_t::join()
{
    if (thread.joinable())
        thread.join();
    return result;
}

std::vector<std::string> received_for(std::string const& text, std::string const& key)
{
    temp_dir_t dir;
    agent_reader_t reader(dir.path + "/events.sock");
    {
        loop_thread_t loop(make_config(dir.path, key));
        loop.write(text);
        EXPECT_EQ(loop.finish(), 0);
    }
    reader.stop();
    return reader.received;
}

thread_syscall_t syscall_of_thread(pid_t tid)
{
    thread_syscall_t now = {-1, {0, 0, 0}};
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string nr;
    in >> nr;
    if (nr.empty() || nr == "running")
        return now;
    now.nr = std::stol(nr);
    for (uint64_t& arg : now.arg) {
        std::string hex;
        in >> hex;
        arg = std::stoull(hex, nullptr, 16);
    }
    return now;
}

std::string audit_event(uint64_t serial, std::string const& name, std::string const& key)
{
    // A day before the test started: like the daemon's, the stamps lie in
    // the past, so the parser may age the events.
    static time_t const start = time(nullptr) - 86400;
    char stamp[64];
    snprintf(stamp, sizeof stamp, "msg=audit(%llu.%03llu:%llu): ",
             static_cast<unsigned long long>(start + serial / 1000),
             static_cast<unsigned long long>(serial % 1000), static_cast<unsigned long long>(serial));
    std::string const s = stamp;
    return "type=SYSCALL " + s +
           "arch=c000003e syscall=257 success=yes exit=3 a0=ffffff9c a1=56233af42908 a2=241 a3=1b6 "
           "items=2 ppid=10493 pid=10494 auid=4294967295 uid=1000 gid=1000 euid=1000 suid=1000 "
           "fsuid=1000 egid=1000 sgid=1000 fsgid=1000 tty=(none) ses=4294967295 comm=\"sh\" "
           "exe=\"/usr/bin/dash\" key=\"" + key + "\"\x1d" "ARCH=x86_64 SYSCALL=openat AUID=\"unset\" "
           "UID=\"u\" GID=\"u\" EUID=\"u\" SUID=\"u\" FSUID=\"u\" EGID=\"u\" SGID=\"u\" FSGID=\"u\"\n"
           "type=CWD " + s + "cwd=\"/home/u\"\n"
           "type=PATH " + s + "item=0 name=\"/home/u\" inode=10953521 dev=fe:00 mode=040755 ouid=1000 "
           "ogid=1000 rdev=00:00 nametype=PARENT cap_fp=0 cap_fi=0 cap_fe=0 cap_fver=0 cap_frootid=0"
           "\x1dOUID=\"u\" OGID=\"u\"\n"
           "type=PATH " + s + "item=1 name=\"" + name + "\" inode=10953790 dev=fe:00 mode=0100644 "
           "ouid=1000 ogid=1000 rdev=00:00 nametype=CREATE cap_fp=0 cap_fi=0 cap_fe=0 cap_fver=0 "
           "cap_frootid=0\x1dOUID=\"u\" OGID=\"u\"\n"
           "type=PROCTITLE " + s + "proctitle=7368002D63006563686F206869203E20752E747874\n"
           "type=EOE " + s.substr(0, s.size() - 1) + "\n";
}

long status_kib(std::string const& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, field.size(), field) == 0)
            return std::stol(line.substr(field.size()));
    return -1;
}

long peak_rss_kib()
{
    return status_kib("VmHWM:");
}

std::vector<std::string> files_in(std::string const& folder)
{
    std::vector<std::string> files;
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator it(folder, error), end; !error && it != end; ++it)
        files.push_back(it->path().string());
    std::sort(files.begin(), files.end());
    return files;
}
