// The event loop over real pipes and a real signal descriptor.
#include <cerrno>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "agent/agent.h"
#include "frame/confine.h"
#include "intake/event_loop.h"
#include "support.h"

namespace {

// One complete keyed openat event creating /home/u/<name> for uid 1000,
// with serial number serial.
std::string keyed_event(int serial, std::string const& name, bool with_eoe = true)
{
    std::string const id = "msg=audit(1700000000.123:" + std::to_string(serial) + "): ";
    std::string text =
        "type=SYSCALL " + id +
        "arch=c000003e syscall=257 success=yes exit=3 a0=ffffff9c a1=7ffd1000 a2=241 a3=1b6 items=2 "
        "ppid=10 pid=11 auid=1000 uid=1000 gid=1000 euid=1000 suid=1000 fsuid=1000 egid=1000 sgid=1000 "
        "fsgid=1000 tty=pts0 ses=1 comm=\"sh\" exe=\"/usr/bin/dash\" key=\"velkoran\"\n"
        "type=CWD " + id + "cwd=\"/home/u\"\n"
        "type=PATH " + id + "item=0 name=\"/home/u\" inode=1 dev=08:01 mode=040755 ouid=1000 ogid=1000 "
        "rdev=00:00 nametype=PARENT cap_fp=0 cap_fi=0 cap_fe=0 cap_fver=0 cap_frootid=0\n"
        "type=PATH " + id + "item=1 name=\"" + name + "\" inode=2 dev=08:01 mode=0100644 ouid=1000 "
        "ogid=1000 rdev=00:00 nametype=CREATE cap_fp=0 cap_fi=0 cap_fe=0 cap_fver=0 cap_frootid=0\n";
    if (with_eoe)
        text += "type=EOE " + id + "\n";
    return text;
}

// Writes all of text to fd.
void write_all(int fd, std::string const& text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        ASSERT_GT(n, 0) << strerror(errno);
        done += static_cast<size_t>(n);
    }
}

// A pipe whose ends are closed on destruction (unless already closed).
struct pipe_t {
    int read_end = -1;
    int write_end = -1;
    pipe_t()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            read_end = fds[0];
            write_end = fds[1];
        }
    }
    void close_write()
    {
        if (write_end != -1)
            close(write_end);
        write_end = -1;
    }
    ~pipe_t()
    {
        close_write();
        if (read_end != -1)
            close(read_end);
    }
};

// SIGTERM blocked and routed into a signalfd for the life of the object.
struct blocked_sigterm_t {
    sigset_t set;
    int fd;
    blocked_sigterm_t()
    {
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~blocked_sigterm_t()
    {
        // Take the pending signal so it does not outlive the test.
        struct signalfd_siginfo info;
        while (read(fd, &info, sizeof info) > 0) {
        }
        close(fd);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
};

TEST(EventLoop, EndOfInputAtOnceGivesZeroAndSendsNothing)
{
    EXPECT_TRUE(datagrams_for("").empty());
}

TEST(EventLoop, EventsOfTheStreamReachTheAgentInOrder)
{
    std::string const text = keyed_event(1, "a.txt") + keyed_event(2, "b.txt") + keyed_event(3, "c.txt");
    std::vector<std::string> const expected = {"2:F:1000:/home/u/a.txt", "2:F:1000:/home/u/b.txt",
                                               "2:F:1000:/home/u/c.txt"};
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{100}, size_t{8970}})
        EXPECT_EQ(datagrams_for(text, "velkoran", chunk), expected) << "chunk " << chunk;
}

TEST(EventLoop, RecordSplitAcrossTwoWritesArrivesWhole)
{
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    pipe_t input;
    std::string const text = keyed_event(7, "split.txt");
    size_t const cut = text.find("nametype=CREATE") + 4; // inside the accepted PATH record

    std::thread writer([&] {
        write_all(input.write_end, text.substr(0, cut));
        // The first half must have been consumed before the rest arrives.
        EXPECT_TRUE(agent.drain(200).empty());
        write_all(input.write_end, text.substr(cut));
        input.close_write();
    });
    EXPECT_EQ(event_loop(make_config(dir.path), input.read_end, -1), 0);
    writer.join();
    EXPECT_EQ(agent.drain(), std::vector<std::string>{"2:F:1000:/home/u/split.txt"});
}

TEST(EventLoop, HeldEventIsReportedByTheFinalFlush)
{
    // Without its end-of-event record the parser holds the event until the
    // stream ends.
    EXPECT_EQ(datagrams_for(keyed_event(9, "held.txt", false)),
              std::vector<std::string>{"2:F:1000:/home/u/held.txt"});
}

TEST(EventLoop, PendingSignalWhileIdleEndsWithZero)
{
    blocked_sigterm_t sigterm;
    ASSERT_GE(sigterm.fd, 0);
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    pipe_t input; // stays open and empty: only the signal can end the loop
    kill(getpid(), SIGTERM);
    EXPECT_EQ(event_loop(make_config(dir.path), input.read_end, sigterm.fd), 0);
    EXPECT_TRUE(agent.drain().empty());
}

TEST(EventLoop, ChunkReadWithPendingSignalIsFedAndFlushedBeforeTheEnd)
{
    blocked_sigterm_t sigterm;
    ASSERT_GE(sigterm.fd, 0);
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    pipe_t input;
    // Two events in one chunk, the second without its end record: the first
    // completes while feeding, the second only by the flush at the finish.
    write_all(input.write_end, keyed_event(1, "first.txt") + keyed_event(2, "second.txt", false));
    kill(getpid(), SIGTERM);
    EXPECT_EQ(event_loop(make_config(dir.path), input.read_end, sigterm.fd), 0);
    EXPECT_EQ(agent.drain(), (std::vector<std::string>{"2:F:1000:/home/u/first.txt",
                                                       "2:F:1000:/home/u/second.txt"}));
}

TEST(EventLoop, ReadErrorEndsWithItsErrnoThroughTheFinish)
{
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    // A descriptor open for writing only: poll reports it, read fails EBADF.
    int fd = open((dir.path + "/wo").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(event_loop(make_config(dir.path), fd, -1), EBADF);
    close(fd);
}

TEST(EventLoop, ClosedInputDescriptorEndsWithEbadf)
{
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    // A number far above any descriptor in use, so the loop's own socket
    // cannot take its place.
    int const closed_fd = 999;
    ASSERT_EQ(fcntl(closed_fd, F_GETFD), -1);
    // poll reports POLLNVAL for it; the read then fails.
    EXPECT_EQ(event_loop(make_config(dir.path), closed_fd, -1), EBADF);
}

TEST(EventLoop, SocketPathIsDataDirectoryPlusEventsSock)
{
    temp_dir_t dir;
    EXPECT_EQ(run_event_loop("", dir.path + "/"), 0);
    EXPECT_STREQ(agent_address.sun_path, (dir.path + "//events.sock").c_str());
    EXPECT_EQ(run_event_loop("", "/var/lib/velkoran"), 0);
    EXPECT_STREQ(agent_address.sun_path, "/var/lib/velkoran/events.sock");
}

} // namespace

namespace {

TEST(EventLoop, QuietSpellAgesOutAHeldEventWhileInputStaysOpen)
{
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    pipe_t input;
    std::vector<std::string> before_end;
    std::thread writer([&] {
        write_all(input.write_end, keyed_event(5, "aged.txt", false));
        // The loop waits 5000 ms after the last input, then ages the event
        // out; the input is still open all that time.
        before_end = agent.drain(15000);
        input.close_write();
    });
    EXPECT_EQ(event_loop(make_config(dir.path), input.read_end, -1), 0);
    writer.join();
    EXPECT_EQ(before_end, std::vector<std::string>{"2:F:1000:/home/u/aged.txt"});
    EXPECT_TRUE(agent.drain().empty()) << "reported twice";
}

// What a process does once its confined loop has returned, and how it ends.
struct confined_case_t {
    char const* call;  // the call made after the loop
    void (*after)();   // makes it
    int signal;        // 0: exits with the loop's result; else the killing signal
};

void PrintTo(confined_case_t const& c, std::ostream* os)
{
    *os << c.call;
}

class ConfinedLoopTest : public ::testing::TestWithParam<confined_case_t> {};

// The confined loop still reads, parses and sends; any call outside its own
// kills the whole process by SIGSYS.
TEST_P(ConfinedLoopTest, SendsAndDiesOnAnyOtherCall)
{
#if defined(VELKORAN_SANITIZED)
    GTEST_SKIP() << "sanitized builds load no system-call filter";
#endif
    confined_case_t const& c = GetParam();
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    pipe_t input;
    write_all(input.write_end, keyed_event(1, "report.txt"));
    input.close_write();

    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        confine_event_loop = true;
        int result = event_loop(make_config(dir.path), input.read_end, -1);
        c.after();
        _exit(result);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (c.signal == 0) {
        ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    } else {
        ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), c.signal);
    }
    EXPECT_EQ(agent.drain(5000), std::vector<std::string>{"2:F:1000:/home/u/report.txt"});
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ConfinedLoopTest,
    ::testing::Values(
        confined_case_t{"none", [] {}, 0},
        confined_case_t{"openat", [] { openat(AT_FDCWD, "/etc/hostname", O_RDONLY); }, SIGSYS},
        confined_case_t{"execve", [] { execl("/bin/true", "true", static_cast<char*>(nullptr)); }, SIGSYS},
        confined_case_t{"socket", [] { socket(AF_UNIX, SOCK_DGRAM, 0); }, SIGSYS},
        confined_case_t{"write to standard error", [] { (void)!write(2, "x", 1); }, SIGSYS}));

} // namespace
