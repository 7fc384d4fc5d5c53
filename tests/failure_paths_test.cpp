// Faults of the plugin's surroundings and hostile input, each with its
// outcome: the real event loop over a pipe, a real agent socket, real
// descriptors, signals and limits.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fstream>

#include <fcntl.h>
#include <malloc.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "../fuzz/intake_input.h"
#include "frame/log.h"
#include "intake/event_loop.h"
#include "intake/gate.h"
#include "support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer keeps freed memory in quarantine: the resident set
// says nothing about the plugin then.
constexpr bool ADDRESS_SANITIZER = true;
#else
constexpr bool ADDRESS_SANITIZER = false;
#endif

// The datagram of audit_event(serial, name).
std::string datagram_of(std::string const& name)
{
    return "2:F:1000:/home/u/" + name;
}

// text with the first occurrence of from replaced by to.
std::string replaced(std::string text, std::string const& from, std::string const& to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

// audit_event without its last records (PROCTITLE and EOE), either of which
// tells the parser that the event is complete: the parser holds it.
std::string held_event(uint64_t serial, std::string const& name, std::string const& key = "velkoran")
{
    std::string text = audit_event(serial, name, key);
    return text.substr(0, text.find("type=PROCTITLE"));
}

// Runs body in a child process and returns its exit status (-1: killed).
template <typename F>
int in_child(F body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---------------------------------------------------------------- agent

// How the agent is missing while the first events are sent.
enum class absent_agent_e { NO_SOCKET_FILE, NOBODY_BOUND };

class AgentAbsentTest : public ::testing::TestWithParam<absent_agent_e> {};

TEST_P(AgentAbsentTest, LaterAgentGetsEverythingSentAfterItBinds)
{
    temp_dir_t dir;
    std::string const socket_path = dir.path + "/events.sock";
    if (GetParam() == absent_agent_e::NOBODY_BOUND) {
        // A socket file left behind by an agent that is gone.
        int gone = socket(AF_UNIX, SOCK_DGRAM, 0);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(bind(gone, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
        close(gone);
    }

    loop_thread_t loop(make_config(dir.path));
    loop.write(audit_event(1, "before-1") + audit_event(2, "before-2"));
    loop.wait_idle();

    agent_reader_t reader(socket_path);
    loop.write(audit_event(3, "after-1") + audit_event(4, "after-2"));
    EXPECT_EQ(loop.finish(), 0);
    reader.stop();
    EXPECT_EQ(reader.received, (std::vector<std::string>{datagram_of("after-1"), datagram_of("after-2")}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, AgentAbsentTest,
                         ::testing::Values(absent_agent_e::NO_SOCKET_FILE, absent_agent_e::NOBODY_BOUND));

TEST(SlowAgent, PluginBlocksOnFullQueueAndLosesNothing)
{
    constexpr uint64_t EVENTS = 100000;
    temp_dir_t dir;
    agent_reader_t reader(dir.path + "/events.sock", true, false);
    loop_thread_t loop(make_config(dir.path));
    std::thread writer([&] {
        for (uint64_t i = 0; i < EVENTS; ++i)
            loop.write(audit_event(i + 1, "f" + std::to_string(i)));
    });

    // Nobody reads yet: the loop ends up waiting in sendto on the full queue.
    loop.wait_in_syscall(SYS_sendto);
    reader.start();
    writer.join();
    EXPECT_EQ(loop.finish(), 0);
    reader.stop();

    ASSERT_EQ(reader.received.size(), EVENTS);
    for (uint64_t i = 0; i < EVENTS; ++i)
        ASSERT_EQ(reader.received[i], datagram_of("f" + std::to_string(i))) << "datagram " << i;
}

// ---------------------------------------------------------------- input

struct input_case_t {
    char const* title;
    std::string text;
    std::vector<std::string> expected; // datagrams, in order
};

void PrintTo(input_case_t const& c, std::ostream* os)
{
    *os << c.title;
}

// Every byte value but the line feed and the blank, so that no line
// becomes an audit record; repeated to length bytes.
std::string binary_noise(size_t length)
{
    std::string noise;
    for (size_t i = 0; noise.size() < length; ++i) {
        char c = static_cast<char>(i * 131 % 256);
        if (c != '\n' && c != ' ')
            noise += c;
    }
    return noise;
}

// The text of count events from serial first on, each creating f<serial>.
std::string events_from(uint64_t first, uint64_t count)
{
    std::string text;
    for (uint64_t serial = first; serial < first + count; ++serial)
        text += audit_event(serial, "f" + std::to_string(serial));
    return text;
}

// The datagrams of events_from(first, count), in order.
std::vector<std::string> datagrams_from(uint64_t first, uint64_t count)
{
    std::vector<std::string> datagrams;
    for (uint64_t serial = first; serial < first + count; ++serial)
        datagrams.push_back(datagram_of("f" + std::to_string(serial)));
    return datagrams;
}

// The CREATE record of event serial, naming name, alone: a late tail.
std::string path_record(uint64_t serial, std::string const& name)
{
    std::string const text = audit_event(serial, name);
    size_t const at = text.find("type=PATH", text.find("nametype=PARENT"));
    return text.substr(at, text.find("type=PROCTITLE") - at);
}

std::string const unknown_records =
    "type=UNKNOWN[1999] msg=audit(1796647993.500:500): name=\"/home/u/x\" mode=0100644 nametype=CREATE\n"
    "type=NOSUCHTYPE msg=audit(1796647993.500:500): key=\"velkoran\"\n"
    "type=EOE msg=audit(1796647993.500:500):\n";

std::vector<input_case_t> const input_cases = {
    {"text garbage around a valid event",
     "hello world\n\n=\n::::\ntype=\nmsg=audit(\n" + audit_event(1, "ok") + "more garbage\n",
     {datagram_of("ok")}},
    {"binary bytes, zero bytes included, then a valid event",
     binary_noise(100000) + "\n" + audit_event(1, "ok"), {datagram_of("ok")}},
    {"a 1 MiB line, then a valid event", std::string(1 << 20, 'x') + "\n" + audit_event(1, "ok"),
     {datagram_of("ok")}},
    {"a valid event, then a 1 MiB line without a line feed at the end of input",
     audit_event(1, "ok") + std::string(1 << 20, 'x'), {datagram_of("ok")}},
    {"records of unknown types only", unknown_records, {}},
    {"unknown records inside a valid event",
     replaced(audit_event(1, "ok"), "type=PROCTITLE",
              "type=UNKNOWN[1999] msg=audit(1796647993.001:1): name=\"/x\" mode=0100644 nametype=CREATE\n"
              "type=PROCTITLE"),
     {datagram_of("ok")}},
    {"key that is a prefix of the configured key", audit_event(1, "a", "velkora"), {}},
    {"key that extends the configured key", audit_event(1, "a", "velkoranX"), {}},
    {"key that differs in case", audit_event(1, "a", "Velkoran"), {}},
    {"empty key", audit_event(1, "a", ""), {}},
    {"key written in hex, as the daemon does for odd keys",
     replaced(audit_event(1, "hex"), "key=\"velkoran\"", "key=76656C6B6F72616E"), {datagram_of("hex")}},
    {"keys that only the parser reads: two in hex joined by 0x01, one given among the interpretations, one "
     "after a parenthesis",
     replaced(audit_event(1, "hex"), "key=\"velkoran\"", "key=6F746865720176656C6B6F72616E") +
         replaced(audit_event(2, "interpreted"), "key=\"velkoran\"\x1d", "key=(null)\x1dKEY=velkoran ") +
         replaced(audit_event(3, "parenthesis"), " key=", " (key="),
     {datagram_of("hex"), datagram_of("interpreted"), datagram_of("parenthesis")}},
    {"unquoted (null) is no name; quoted \"(null)\" is a file of that name",
     replaced(audit_event(1, "x"), "name=\"x\"", "name=(null)") + audit_event(2, "(null)"),
     {datagram_of("(null)")}},
    {"name in hex holding a line feed arrives raw",
     replaced(audit_event(1, "x"), "name=\"x\"", "name=6E6C0A6E616D65"), {datagram_of("nl\nname")}},
    {"empty name sends nothing", replaced(audit_event(1, "x"), "name=\"x\"", "name=\"\""), {}},
    {"an event cut off mid-record at the end of input",
     audit_event(1, "ok") + audit_event(2, "cut").substr(0, 700), {datagram_of("ok")}},
    // Lines without a time stamp amid a stream longer than several reads:
    // the parser drops each (from libauparse 4.2 on it also reports it) and
    // everything after it is still read.
    {"a blank line in the middle of a stream", events_from(1, 20) + "\n" + events_from(21, 20),
     datagrams_from(1, 40)},
    {"a comment line in the middle of a stream", events_from(1, 20) + "# a comment\n" + events_from(21, 20),
     datagrams_from(1, 40)},
    {"a garbage line in the middle of a stream",
     events_from(1, 20) + "garbage type=SYSCALL\n" + events_from(21, 20), datagrams_from(1, 40)},
    // Serial n is stamped n / 1000 seconds after serial 0. The event without
    // its end gets a late record at 40 s; the stream at 100 s is 60 s past
    // that, the one at 106 s over 65 s: then it is cut, before the later
    // event is reported (and not at the end of input). The open event of
    // another key at 100 s lets b go on before.
    {"an event that lost its end is cut once a record comes stamped more than 65 s after the newest stamp "
     "seen with its latest record",
     held_event(1, "held") + audit_event(40001, "a") + path_record(1, "tail") + audit_event(100001, "b") +
         held_event(100002, "other", "otherkey") +
         audit_event(106002, "c"),
     {datagram_of("a"), datagram_of("b"), datagram_of("held"), datagram_of("tail"), datagram_of("c")}},
};

class HostileInputTest : public ::testing::TestWithParam<input_case_t> {};

TEST_P(HostileInputTest, OnlyWellFormedExpectedDatagrams)
{
    std::vector<std::string> received = received_for(GetParam().text);
    EXPECT_EQ(received, GetParam().expected);
    for (std::string const& d : received)
        EXPECT_TRUE(datagram_well_formed(d)) << d;
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileInputTest, ::testing::ValuesIn(input_cases));

// A stream of many pieces, the same shape each time, that would make the
// loop grow.
struct growing_case_t {
    char const* title;
    std::string (*piece)(uint64_t i); // piece i of the stream, from 1
    int few;                          // pieces of the short run
    int many;                         // pieces of the long run
    bool datagram_each;               // each piece sends one datagram, else none
};

void PrintTo(growing_case_t const& c, std::ostream* os)
{
    *os << c.title;
}

std::vector<growing_case_t> const growing_cases = {
    {"lines of 1 MiB, text and binary, between events",
     [](uint64_t i) {
         static std::string const line = std::string(1 << 20, 'x') + "\n";
         static std::string const noise = binary_noise(1 << 20) + "\n";
         return (i % 2 ? line : noise) + audit_event(i, "ok");
     },
     2, 64, true},
    {"events that never end, all stamped in one second",
     [](uint64_t i) {
         std::string const stamp = "msg=audit(1796647993.001:" + std::to_string(i) + "): ";
         return "type=SYSCALL " + stamp + "arch=c000003e syscall=257 a0=ffffff9c a2=241 uid=1000 key=\"velkoran\"\n" +
                "type=CWD " + stamp + "cwd=\"/home/u\"\n" + "type=PATH " + stamp + "item=0 name=\"f" +
                std::to_string(i) + "\" mode=0100644 nametype=CREATE\n";
     },
     1000, 100000, true},
    {"stamped lines without a field",
     [](uint64_t i) { return "x msg=audit(1796647993.001:" + std::to_string(i) + "): \n"; }, 1000, 1000000,
     false},
};

class GrowingStreamTest : public ::testing::TestWithParam<growing_case_t> {};

TEST_P(GrowingStreamTest, MemoryStaysBounded)
{
    if (ADDRESS_SANITIZER)
        GTEST_SKIP() << "resident memory is not the plugin's under the address sanitizer";
    growing_case_t const& c = GetParam();
    // In a child, so that the peak resident set is this case's alone.
    int status = in_child([&] {
        temp_dir_t dir;
        agent_reader_t reader(dir.path + "/events.sock", false);
        auto run = [&](int pieces) {
            loop_thread_t loop(make_config(dir.path));
            std::string batch;
            for (int i = 1; i <= pieces; ++i) {
                batch += c.piece(static_cast<uint64_t>(i));
                if (batch.size() > 65536 || i == pieces) {
                    loop.write(batch);
                    batch.clear();
                }
            }
            return loop.finish();
        };
        if (run(c.few) != 0)
            return 2;
        long const after_few = peak_rss_kib();
        if (run(c.many) != 0)
            return 2;
        long const after_many = peak_rss_kib();
        reader.stop();
        if (reader.count != (c.datagram_each ? static_cast<size_t>(c.few + c.many) : 0u))
            return 3;
        return after_many - after_few < 4096 ? 0 : 4;
    });
    EXPECT_EQ(status, 0) << "2: loop failed, 3: datagrams lost or made up, 4: memory grew by 4 MiB or more";
}

INSTANTIATE_TEST_SUITE_P(Streams, GrowingStreamTest, ::testing::ValuesIn(growing_cases));

TEST(CutOffEvent, AgedOutAfterQuietThenNothingMore)
{
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    loop_thread_t loop(make_config(dir.path));
    // Event 1 without its end, and a record of event 2 cut in the middle.
    loop.write(held_event(1, "held") + audit_event(2, "cut").substr(0, 500));
    EXPECT_EQ(loop.wait_idle(), AGE_EVENTS_TIMEOUT_MS);
    EXPECT_EQ(agent.drain(), std::vector<std::string>{}) << "nothing before the quiet spell";

    // After 5000 ms of quiet the loop ages the parser's events: the held one
    // is reported, and the loop waits without a time-out again.
    while (loop.wait_idle() != -1)
        usleep(10000);
    EXPECT_EQ(agent.drain(), std::vector<std::string>{datagram_of("held")});

    EXPECT_EQ(loop.finish(), 0);
    EXPECT_EQ(agent.drain(), std::vector<std::string>{}) << "the cut record is never a path";
}

// ---------------------------------------------------------- descriptors

TEST(InputDescriptor, ClosedDescriptorEndsWithEbadf)
{
    // Far above the lowest free number, which the agent socket then takes.
    temp_dir_t dir;
    int closed = fcntl(0, F_DUPFD_CLOEXEC, 900);
    ASSERT_NE(closed, -1);
    close(closed);
    EXPECT_EQ(event_loop(make_config(dir.path), closed, -1), EBADF);
}

TEST(InputDescriptor, IoErrorEndsWithEioAfterFlushingHeldEvent)
{
    // Reading a pty master whose slave side is closed fails with EIO once
    // the data written before is read.
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::string const text = held_event(1, "held");
    ASSERT_EQ(write(slave, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(slave);

    EXPECT_EQ(event_loop(make_config(dir.path), master, -1), EIO);
    EXPECT_EQ(agent.drain(), std::vector<std::string>{datagram_of("held")});
    close(master);
}

TEST(InputDescriptor, EndOfInputIsStatusZeroAfterFlushingHeldEvent)
{
    EXPECT_EQ(received_for(held_event(1, "held")), std::vector<std::string>{datagram_of("held")});
}

// --------------------------------------------------------------- SIGTERM

// SIGTERM blocked in this thread (and the threads it starts afterwards) and
// routed into a signal descriptor, as main arranges it; undone on
// destruction. Made before any other thread, so that none takes the signal.
struct routed_sigterm_t {
    sigset_t set;       // {SIGTERM}
    sigset_t old;       // the mask before
    int fd = -1;        // the signal descriptor
    routed_sigterm_t()
    {
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, &old);
        fd = signalfd(-1, &set, SFD_CLOEXEC);
    }
    ~routed_sigterm_t()
    {
        // Take the pending signal off before unblocking it.
        struct timespec none = {0, 0};
        while (sigtimedwait(&set, nullptr, &none) == SIGTERM) {
        }
        close(fd);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
};

TEST(Sigterm, ChunkAlreadyReadIsFedHeldEventFlushedRestLeft)
{
    // Blocked before the sink starts its thread, which inherits the mask.
    routed_sigterm_t sigterm;
    ASSERT_NE(sigterm.fd, -1);
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");

    // First read: event 1 without its end, padded with lines that are no
    // records to exactly one read buffer. Behind it: event 2.
    std::string chunk = held_event(1, "held");
    while (chunk.size() + 2 <= READ_BUFFER_SIZE)
        chunk += "#\n";
    chunk.resize(READ_BUFFER_SIZE - 1);
    chunk += "\n";
    std::string const rest = audit_event(2, "unread");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
    ASSERT_EQ(write(fds[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));

    // Input and signal are both ready at the first poll.
    kill(getpid(), SIGTERM);
    EXPECT_EQ(event_loop(make_config(dir.path), fds[0], sigterm.fd), 0);
    EXPECT_EQ(agent.drain(), std::vector<std::string>{datagram_of("held")});
    int unread = 0;
    ioctl(fds[0], FIONREAD, &unread);
    EXPECT_EQ(unread, static_cast<int>(rest.size()));
    close(fds[0]);
    close(fds[1]);
}

TEST(Sigterm, MidBurstEndsWithStatusZeroAndAnUnbrokenPrefix)
{
    temp_dir_t dir;
    routed_sigterm_t sigterm;
    struct sigaction ignore = {}, old_pipe = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old_pipe);

    agent_reader_t reader(dir.path + "/events.sock");
    int result = -1;
    uint64_t written = 0;
    {
        loop_thread_t loop(make_config(dir.path), sigterm.fd);
        // An endless burst: writes until the loop's end of the pipe is gone.
        std::thread writer([&] {
            for (;;) {
                std::string const event = audit_event(written + 1, "f" + std::to_string(written));
                if (write(loop.input[1], event.data(), event.size()) != static_cast<ssize_t>(event.size()))
                    return;
                ++written;
            }
        });
        while (reader.count < 1000)
            usleep(1000);
        kill(getpid(), SIGTERM);
        result = loop.join();
        close(loop.input[0]);
        loop.input[0] = -1;
        writer.join();
    }
    reader.stop();
    sigaction(SIGPIPE, &old_pipe, nullptr);

    EXPECT_EQ(result, 0);
    ASSERT_GE(reader.received.size(), 1000u);
    EXPECT_LT(reader.received.size(), written) << "the signal came in the middle of the burst";
    for (size_t i = 0; i < reader.received.size(); ++i)
        ASSERT_EQ(reader.received[i], datagram_of("f" + std::to_string(i))) << "datagram " << i;
}

// ------------------------------------------------------ descriptor limit

TEST(DescriptorLimit, SocketRefusedIsEmfileBeforeAnyInputIsRead)
{
    temp_dir_t dir;
    std::string const text = audit_event(1, "never");
    int status = in_child([&] {
        int fds[2];
        if (pipe(fds) != 0 || write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return 100;
        // The lowest free descriptor becomes the limit: no new one is allowed.
        int lowest = dup(0);
        close(lowest);
        struct rlimit limit = {static_cast<rlim_t>(lowest), static_cast<rlim_t>(lowest)};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 101;
        int result = event_loop(make_config(dir.path), fds[0], -1);
        int unread = 0;
        ioctl(fds[0], FIONREAD, &unread);
        return unread == static_cast<int>(text.size()) ? result : 102;
    });
    EXPECT_EQ(status, EMFILE) << "100/101: set-up failed, 102: input was read";
}

// ---------------------------------------------------------- memory limit

TEST(MemoryLimit, EventThatExhaustsMemoryIsDroppedAndTheNextIsSent)
{
    if (ADDRESS_SANITIZER)
        GTEST_SKIP() << "the address sanitizer cannot run with its memory capped";
    // A long name that still fits in a record line.
    constexpr size_t NAME_SIZE = 120 << 10;
    static_assert(NAME_SIZE + 1024 < RECORD_LENGTH_MAX, "the name's record is taken");
    int status = in_child([&] {
        // Large blocks are mapped and unmapped one by one, and every thread
        // allocates from one heap that grows by what it needs only, so that
        // what the capped event needs comes from new memory, not from blocks
        // freed before the cap.
        mallopt(M_MMAP_THRESHOLD, 64 << 10);
        mallopt(M_ARENA_MAX, 1);
        mallopt(M_TOP_PAD, 0);
        // Event 2 names a 120 KiB file, then a small one. The loop takes in
        // all of it but its end; the data size is then capped to leave room
        // for seven times the name: enough for the parser to take in the
        // whole event, not for all of the plugin's copies. (Under about five
        // times the parser fails itself, and drops the name or, below one
        // time, ends the loop; from about eleven times the whole event fits.)
        // The end of event 2 and event 3 follow under the cap.
        std::string const first = audit_event(1, "first");
        std::string const small = audit_event(2, "after-big");
        size_t const line_at = small.rfind("type=PATH");
        std::string const small_path =
            replaced(small.substr(line_at, small.find('\n', line_at) + 1 - line_at), "item=1", "item=2");
        std::string const big = replaced(audit_event(2, std::string(NAME_SIZE, 'n')), "type=PROCTITLE",
                                         small_path + "type=PROCTITLE");
        size_t const end_at = big.find("type=PROCTITLE");
        std::string const big_records = big.substr(0, end_at);
        std::string const big_end = big.substr(end_at);
        std::string const next = audit_event(3, "next");
        long const margin = static_cast<long>(NAME_SIZE) * 7;

        temp_dir_t dir;
        agent_sink_t agent(dir.path + "/events.sock");
        int fds[2];
        if (pipe(fds) != 0)
            return 100;
        // The data size, unlike the address space, also caps the growth of
        // memory reserved before (another thread's arena, where the
        // allocator turns when the main one is out of room).
        struct rlimit uncapped;
        getrlimit(RLIMIT_DATA, &uncapped);
        pid_t const loop_tid = gettid();
        int writer_status = 0;
        std::vector<std::string> before_cap;
        // Writes to the loop, which runs on this thread.
        std::thread writer([&] {
            auto write_all = [&](std::string const& text) {
                for (size_t done = 0; done < text.size();) {
                    ssize_t n = write(fds[1], text.data() + done, text.size() - done);
                    if (n <= 0)
                        return false;
                    done += static_cast<size_t>(n);
                }
                return true;
            };
            if (!write_all(first + big_records)) {
                writer_status = 101;
                close(fds[1]);
                return;
            }
            // Idle in poll with the pipe empty: all of it has been parsed.
            for (;;) {
                int pending = 0;
                if (ioctl(fds[0], FIONREAD, &pending) == 0 && pending == 0 &&
                    syscall_of_thread(loop_tid).nr == SYS_poll)
                    break;
                usleep(1000);
            }
            before_cap = agent.drain(10000);
            // The free memory inside the heap would serve the capped event:
            // it is taken up first, until the heap has to grow.
            std::vector<void*> ballast;
            for (long const start = status_kib("VmData:"); status_kib("VmData:") == start;)
                ballast.push_back(malloc(16 << 10));
            long const used_kib = status_kib("VmData:");
            struct rlimit cap = uncapped;
            cap.rlim_cur = static_cast<rlim_t>(used_kib * 1024 + margin);
            if (used_kib < 0 || setrlimit(RLIMIT_DATA, &cap) != 0)
                writer_status = 102;
            // The cap holds if not even the margin and the name fit in it.
            void* room = mmap(nullptr, static_cast<size_t>(margin) + NAME_SIZE, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (room != MAP_FAILED) {
                munmap(room, static_cast<size_t>(margin) + NAME_SIZE);
                writer_status = 102;
            }
            if (writer_status == 0 && !write_all(big_end + next))
                writer_status = 101;
            close(fds[1]);
        });
        int const result = event_loop(make_config(dir.path), fds[0], -1);
        writer.join();
        setrlimit(RLIMIT_DATA, &uncapped);
        close(fds[0]);
        if (writer_status != 0)
            return writer_status;
        if (result != 0)
            return 1;
        if (before_cap != std::vector<std::string>{datagram_of("first")})
            return 2;
        std::vector<std::string> const after_cap = agent.drain(10000);
        for (std::string const& d : after_cap)
            if (d == datagram_of("after-big"))
                return 3;
        return after_cap == std::vector<std::string>{datagram_of("next")} ? 0 : 4;
    });
    EXPECT_EQ(status, 0) << "-1: killed; 1: loop result not 0; 2: first event not sent; "
                            "3: the rest of the big event was sent (the cap left too much or too little room); "
                            "4: the next event was not sent; "
                            "100, 101: set-up failed; 102: could not cap the memory";
}

// ------------------------------------------------------------ log, config

// Runs body as the unprivileged user nobody in a child process, with its
// standard output and error in a file; returns its status (-1 if killed, as
// after a minute's hang), and output holds what it printed.
template <typename F>
int as_nobody(std::string const& output_file, F body)
{
    return in_child([&] {
        // Far longer than any case takes: only a hang (an open that blocks)
        // ends the child this way.
        alarm(60);
        int out = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        if (geteuid() == 0 && setresgid(65534, 65534, 65534) != 0)
            return 100;
        if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0)
            return 100;
        return body();
    });
}

// FIFO: realtime.log is a FIFO nobody reads; FIFO_READ: one the test reads.
enum class log_dir_e { MISSING, REGULAR_FILE, NOT_WRITABLE, FIFO, FIFO_READ };

class UnusableLogDirTest : public ::testing::TestWithParam<log_dir_e> {};

TEST_P(UnusableLogDirTest, SilentAndTheLoopSendsTheSame)
{
    temp_dir_t dir;
    chmod(dir.path.c_str(), 0755);
    std::string log_dir = dir.path + "/log";
    if (GetParam() == log_dir_e::REGULAR_FILE)
        write_file(log_dir, "");
    if (GetParam() == log_dir_e::NOT_WRITABLE) {
        ASSERT_EQ(mkdir(log_dir.c_str(), 0755), 0);
    }
    std::string const log_path = log_dir + "/realtime.log";
    std::string const text = audit_event(1, "a") + audit_event(2, "b");
    bool const fifo = GetParam() == log_dir_e::FIFO || GetParam() == log_dir_e::FIFO_READ;
    int reader = -1;
    if (fifo) {
        ASSERT_EQ(mkdir(log_dir.c_str(), 0755), 0);
        ASSERT_EQ(mkfifo(log_path.c_str(), 0666), 0);
        chmod(log_path.c_str(), 0666);
        if (GetParam() == log_dir_e::FIFO_READ) {
            reader = open(log_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_NE(reader, -1);
        }
    }
    // Nothing reached the FIFO's reader (end of file or nothing yet).
    auto fifo_unwritten = [&] {
        char byte;
        return reader == -1 || read(reader, &byte, 1) <= 0;
    };

    // The way main uses the log around the loop, as an unprivileged user so
    // that a directory without write permission is one.
    std::string const output = dir.path + "/output";
    int status = as_nobody(output, [&] {
        open_log(log_path.c_str());
        log("---");
        log("Real-time scanning plugin started %d", 1);
        close_log();
        struct stat info;
        return stat(log_path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? 1 : 0;
    });
    ASSERT_EQ(status, 0) << "1: a log file appeared; -1: killed (the open hung)";
    EXPECT_EQ(read_file(output), "");
    EXPECT_TRUE(fifo_unwritten());

    // In this process: the same calls, then the loop sends what it sends
    // with no log at all.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    open_log(log_path.c_str());
    log("---");
    std::vector<std::string> received = received_for(text);
    log("Real-time scanning plugin shutting down");
    close_log();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(received, (std::vector<std::string>{datagram_of("a"), datagram_of("b")}));
    EXPECT_TRUE(fifo_unwritten());
    if (reader != -1)
        close(reader);
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnusableLogDirTest,
                         ::testing::Values(log_dir_e::MISSING, log_dir_e::REGULAR_FILE, log_dir_e::NOT_WRITABLE,
                                           log_dir_e::FIFO, log_dir_e::FIFO_READ));

struct config_case_t {
    char const* title;
    // of velkoran.ini; "<dir>": a directory in its place; "<mode 000>":
    // unreadable; "<fifo>": a FIFO nobody writes; "<zero>": a link to
    // /dev/zero; "<oversized>": valid settings one byte over the size limit
    std::string content;
};

void PrintTo(config_case_t const& c, std::ostream* os)
{
    *os << c.title;
}

class BadConfigTest : public ::testing::TestWithParam<config_case_t> {};

TEST_P(BadConfigTest, DefaultsAndNothingPrinted)
{
    temp_dir_t dir;
    chmod(dir.path.c_str(), 0755);
    std::string const file = dir.path + "/velkoran.ini";
    std::string const content = GetParam().content;
    std::string const settings = "data_directory = /srv/d\n[realtime]\nkey = k\n";
    if (content == "<dir>") {
        ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    } else if (content == "<mode 000>") {
        write_file(file, settings);
        chmod(file.c_str(), 0);
    } else if (content == "<fifo>") {
        ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
    } else if (content == "<zero>") {
        ASSERT_EQ(symlink("/dev/zero", file.c_str()), 0);
    } else if (content == "<oversized>") {
        // The settings, then one comment line up to CONFIG_SIZE_MAX + 1 bytes.
        write_file(file, settings + ";" + std::string(CONFIG_SIZE_MAX - settings.size() - 1, 'x') + "\n");
    } else if (content != "<none>")
        write_file(file, content);

    std::string const output = dir.path + "/output";
    int status = as_nobody(output, [&] {
        // A reader that went on reading /dev/zero would fail within 1 GiB
        // of address space instead of taking the machine's memory.
        struct rlimit bound = {rlim_t{1} << 30, rlim_t{1} << 30};
        if (content == "<zero>" && !ADDRESS_SANITIZER)
            setrlimit(RLIMIT_AS, &bound);
        long const peak_before = peak_rss_kib();
        ptree config = load_config(dir.path);
        ptree defaults = make_config("/var/lib/velkoran", "velkoran", "/var/log/velkoran");
        if (config != defaults)
            return 1;
        // Whatever the file, reading it takes far less than 64 MiB.
        return ADDRESS_SANITIZER || peak_rss_kib() - peak_before < (64 << 10) ? 0 : 2;
    });
    EXPECT_EQ(status, 0) << "1: not the defaults; 2: reading took 64 MiB or more; -1: killed (it hung)";
    EXPECT_EQ(read_file(output), "");
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadConfigTest,
    ::testing::Values(config_case_t{"missing", "<none>"}, config_case_t{"a directory", "<dir>"},
                      config_case_t{"unreadable", "<mode 000>"}, config_case_t{"a FIFO", "<fifo>"},
                      config_case_t{"a link to /dev/zero", "<zero>"},
                      config_case_t{"one byte over the size limit", "<oversized>"},
                      config_case_t{"line without =", "data_directory = /srv/d\njunk\n"},
                      config_case_t{"unclosed section", "data_directory = /srv/d\n[realtime\nkey = k\n"},
                      config_case_t{"name twice", "data_directory = /a\ndata_directory = /b\n"},
                      config_case_t{"section twice", "[realtime]\nkey = a\n[realtime]\nkey = b\n"},
                      config_case_t{"binary", std::string("\x7f" "ELF\x02\x01\x01\0\0\0\n[\xff\n", 14)}));

} // namespace
