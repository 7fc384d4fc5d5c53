// velkoran-replay: the real binary over recorded audit text, printing its
// datagrams or sending them to a bound agent; and the line escaping.
#include <cerrno>
#include <csignal>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "frame/replay.h"
#include "support.h"

extern char** environ;

// Starts velkoran-replay with args, standard input from input_path and
// standard output into output_path; returns its pid, or -1.
static pid_t spawn_replay(std::vector<std::string> const& args, std::string const& input_path,
                          std::string const& output_path)
{
    std::vector<char*> argv{const_cast<char*>(REPLAY_BINARY)};
    for (std::string const& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid;
    int spawned = posix_spawn(&pid, REPLAY_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

// Exit status of pid, or -1 if it did not exit normally; with hang false,
// -2 while it still runs.
static int exit_status(pid_t pid, bool hang = true)
{
    int status;
    pid_t waited = waitpid(pid, &status, hang ? 0 : WNOHANG);
    if (waited == 0)
        return -2;
    if (waited != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Runs velkoran-replay to its end; returns its exit status, or -1.
static int run_replay(std::vector<std::string> const& args, std::string const& input_path,
                      std::string const& output_path)
{
    pid_t pid = spawn_replay(args, input_path, output_path);
    return pid == -1 ? -1 : exit_status(pid);
}

// Splits text into its lines, without their newlines.
static std::vector<std::string> lines_of(std::string const& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// A configuration directory whose velkoran.ini sets data_directory and key.
static void write_ini(std::string const& dir, std::string const& data_dir, std::string const& key)
{
    write_file(dir + "/velkoran.ini",
               "data_directory = " + data_dir + "\nlog_directory = /nonexistent\n\n[realtime]\nkey = " + key + "\n");
}

// What --print writes for the whole recorded stream tests/data/all.log.
static std::vector<std::string> const ALL_LOG_LINES = {
    "2:F:0:/tmp/velkoran-rec/new.txt",
    "2:F:0:/tmp/velkoran-rec/fromroot.txt",
    "2:F:0:/tmp/velkoran-rec/rdwr.txt",
    "2:F:0:/tmp/velkoran-rec/mvfile-dst.txt",
    "2:D:0:/tmp/velkoran-rec/mvdir-dst/",
    "2:F:0:/tmp/velkoran-rec/rename-dst.txt",
    "2:F:0:/tmp/velkoran-rec/renameat-dst.txt",
    "2:F:0:/tmp/velkoran-rec/renameat2-dst.txt",
    "2:F:0:/tmp/velkoran-rec/renameat2-nr-dst.txt",
    "2:F:0:/tmp/velkoran-rec/creat.txt",
    "2:F:0:/tmp/velkoran-rec/rel.txt",
    "2:F:0:/tmp/velkoran-rec/legacy-open.txt",
    "2:F:0:/tmp/velkoran-rec/sub/abs.txt",
    "2:F:0:/tmp/velkoran-rec/a b:\xc3\xbc.txt",
    "2:F:0:/tmp/velkoran-rec/nl\\nname.txt",
    "2:F:1000:/tmp/velkoran-rec/user/u.txt",
    "2:F:0:/tmp/velkoran-rec/b32-openat.txt",
    "2:F:0:/tmp/velkoran-rec/b32-creat.txt",
    "2:F:0:/tmp/velkoran-rec/b32-open.txt",
};

struct print_case_t {
    char const* fixture;             // file under tests/data/
    char const* key;                 // realtime.key in velkoran.ini
    std::vector<std::string> lines;  // exact output of --print
};

void PrintTo(print_case_t const& c, std::ostream* os)
{
    *os << c.fixture << " key " << c.key;
}

class ReplayPrintTest : public ::testing::TestWithParam<print_case_t> {};

TEST_P(ReplayPrintTest, PrintsEachDatagramAsOneEscapedLine)
{
    print_case_t const& c = GetParam();
    temp_dir_t dir;
    write_ini(dir.path, "/nonexistent-agent", c.key);
    std::string const output = dir.path + "/out";

    EXPECT_EQ(run_replay({"--print", dir.path}, std::string(TEST_DATA_DIR) + "/" + c.fixture, output), 0);
    EXPECT_EQ(lines_of(read_file(output)), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ReplayPrintTest,
    ::testing::Values(
        print_case_t{"create_redirect.log", "velkoran", {"2:F:0:/tmp/velkoran-rec/new.txt"}},
        print_case_t{"create_newline_name.log", "velkoran", {"2:F:0:/tmp/velkoran-rec/nl\\nname.txt"}},
        print_case_t{"create_odd_chars.log", "velkoran", {"2:F:0:/tmp/velkoran-rec/a b:\xc3\xbc.txt"}},
        print_case_t{"mv_dir.log", "velkoran", {"2:D:0:/tmp/velkoran-rec/mvdir-dst/"}},
        print_case_t{"create_unprivileged.log", "velkoran", {"2:F:1000:/tmp/velkoran-rec/user/u.txt"}},
        print_case_t{"open_readonly.log", "velkoran", {}},
        print_case_t{"create_otherkey.log", "velkoran", {}},
        print_case_t{"create_otherkey.log", "otherkey", {"2:F:0:/tmp/velkoran-rec-other/other.txt"}},
        print_case_t{"create_redirect.log", "velkoran-noise", {}},
        // Standalone records of the kernel's own (BPF programs freed by a
        // worker) between the events hold nothing back.
        print_case_t{"bpf_standalone.log", "velkoran",
                     {"2:F:0:/tmp/velkoran-rec/bpf-1.txt", "2:F:0:/tmp/velkoran-rec/bpf-2.txt",
                      "2:F:0:/tmp/velkoran-rec/bpf-3.txt", "2:F:0:/tmp/velkoran-rec/bpf-4.txt"}},
        print_case_t{"all.log", "velkoran",
                     ALL_LOG_LINES}));

// The recorded creation event repeated count times under fresh serials.
static std::string repeated_event(std::string const& event, int count)
{
    std::regex const serial(R"(msg=audit\((\d+\.\d+):\d+\))");
    std::string text;
    for (int i = 0; i < count; ++i)
        text += std::regex_replace(event, serial, "msg=audit($1:" + std::to_string(100000 + i) + ")");
    return text;
}

TEST(ReplayPrint, PrintsEveryDatagramOfAStreamLargerThanTheSocketQueue)
{
    // Far more datagrams than an AF_UNIX receive queue holds: the sends block
    // unless they are read while the loop runs, and the last ones are still
    // queued when it returns.
    int const count = 5000;
    temp_dir_t dir;
    write_ini(dir.path, "/nonexistent-agent", "velkoran");
    write_file(dir.path + "/in", repeated_event(test_data("create_redirect.log"), count));

    EXPECT_EQ(run_replay({"--print", dir.path}, dir.path + "/in", dir.path + "/out"), 0);
    std::vector<std::string> lines = lines_of(read_file(dir.path + "/out"));
    EXPECT_EQ(lines, std::vector<std::string>(count, "2:F:0:/tmp/velkoran-rec/new.txt"));
}

TEST(ReplayPrint, PrintsADatagramLongerThan64KiBWhole)
{
    // 2:F:1000:/home/u/ and a name of 69,983 bytes: a 70,000-byte datagram.
    std::string const name(70000 - 17, 'n');
    temp_dir_t dir;
    write_ini(dir.path, "/nonexistent-agent", "velkoran");
    write_file(dir.path + "/in", audit_event(1, name));

    EXPECT_EQ(run_replay({"--print", dir.path}, dir.path + "/in", dir.path + "/out"), 0);
    std::vector<std::string> const lines = lines_of(read_file(dir.path + "/out"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 70000u);
    EXPECT_TRUE(lines[0] == "2:F:1000:/home/u/" + name) << "a different line of the same length";
}

// The folder where process pid has bound its events.sock, found through
// the sockets among its descriptors; "" while there is none.
static std::string bound_socket_folder(pid_t pid)
{
    std::set<std::string> sockets; // "socket:[inode]" of each descriptor that is one
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator fd("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && fd != end; fd.increment(error))
        sockets.insert(boost::filesystem::read_symlink(fd->path(), error).string());
    std::ifstream table("/proc/net/unix");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string skipped, inode, path;
        for (int i = 0; i < 6; ++i)
            fields >> skipped;
        fields >> inode >> path;
        std::string const suffix = "/events.sock";
        if (sockets.count("socket:[" + inode + "]") != 0 && path.size() > suffix.size() &&
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
            return path.substr(0, path.size() - suffix.size());
    }
    return "";
}

// What can be read from fd once it is readable, waiting up to a minute.
static std::string read_within_a_minute(int fd)
{
    struct pollfd ready = {fd, POLLIN, 0};
    char buffer[4096];
    ssize_t n = poll(&ready, 1, 60000) == 1 ? read(fd, buffer, sizeof buffer) : -1;
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

// How a printing replay is made to end, and the exit status it then gives.
struct way_out_t {
    char const* title;
    int signal;  // sent to it; 0: none
    bool close_input;  // its input ends
    bool close_output; // the reader of its output goes away
    int status;        // its exit status
};

void PrintTo(way_out_t const& w, std::ostream* os)
{
    *os << w.title;
}

class ReplayWayOutTest : public ::testing::TestWithParam<way_out_t> {};

TEST_P(ReplayWayOutTest, RemovesItsFolder)
{
    way_out_t const& w = GetParam();
    temp_dir_t dir;
    write_ini(dir.path, "/nonexistent-agent", "velkoran");
    int input[2], output[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    pid_t pid = spawn_replay({"--print", dir.path}, "/dev/fd/" + std::to_string(input[0]),
                             "/dev/fd/" + std::to_string(output[1]));
    close(input[0]);
    close(output[1]);
    ASSERT_NE(pid, -1);
    // Only for this process's writes to the input, once the replay runs
    // with the default action.
    struct sigaction ignore = {}, old_pipe = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old_pipe);

    // Waits up to a minute, far longer than any way out takes; a hang fails.
    auto wait_for = [](auto done) {
        for (int waited = 0; waited < 60000 && !done(); waited += 10)
            usleep(10000);
    };
    std::string folder;
    wait_for([&] { return !(folder = bound_socket_folder(pid)).empty(); });
    EXPECT_NE(folder, "") << "no bound socket found";

    // The reader goes away before the event arrives, so that printing its
    // datagram is sure to meet a closed output.
    if (w.close_output)
        close(output[0]);
    std::string const event = test_data("create_redirect.log");
    EXPECT_EQ(write(input[1], event.data(), event.size()), static_cast<ssize_t>(event.size()));
    if (!w.close_output) {
        EXPECT_EQ(read_within_a_minute(output[0]), "2:F:0:/tmp/velkoran-rec/new.txt\n") << "flushed at once";
    }
    if (w.close_input)
        close(input[1]);
    if (w.signal != 0)
        kill(pid, w.signal);
    int status = -2;
    wait_for([&] { return (status = exit_status(pid, false)) != -2; });
    if (status == -2) {
        kill(pid, SIGKILL);
        exit_status(pid);
    }
    if (!w.close_input)
        close(input[1]);
    if (!w.close_output)
        close(output[0]);
    sigaction(SIGPIPE, &old_pipe, nullptr);

    EXPECT_EQ(status, w.status) << "-2: still running after a minute; -1: killed by a signal";
    struct stat info;
    EXPECT_NE(stat(folder.c_str(), &info), 0) << folder << " was left behind";
    boost::system::error_code ignored;
    boost::filesystem::remove_all(folder, ignored);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ReplayWayOutTest,
    ::testing::Values(way_out_t{"end of input", 0, true, false, 0}, way_out_t{"SIGINT", SIGINT, false, false, 0},
                      way_out_t{"SIGTERM", SIGTERM, false, false, 0},
                      way_out_t{"SIGHUP", SIGHUP, false, false, 0},
                      way_out_t{"output closed, input still open", 0, false, true, EPIPE},
                      way_out_t{"output closed, then end of input", 0, true, true, EPIPE}));

TEST(ReplayAgent, SendsToTheConfiguredAgent)
{
    temp_dir_t dir;
    temp_dir_t data;
    agent_sink_t agent(data.path + "/events.sock");
    write_ini(dir.path, data.path, "velkoran");

    pid_t pid = spawn_replay({dir.path}, std::string(TEST_DATA_DIR) + "/all.log", dir.path + "/out");
    ASSERT_NE(pid, -1);
    // The agent reads while the replay runs, as a real agent does: a full
    // receive queue holds every send.
    std::vector<std::string> received;
    int status;
    do {
        status = exit_status(pid, false);
        for (std::string& d : agent.drain(status == -2 ? 20 : 0))
            received.push_back(std::move(d));
    } while (status == -2);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(dir.path + "/out"), "");
    std::vector<std::string> expected = ALL_LOG_LINES;
    expected[14] = "2:F:0:/tmp/velkoran-rec/nl\nname.txt"; // as sent: a real newline
    EXPECT_EQ(received, expected);
}

TEST(ReplayAgent, MissingConfigurationUsesTheDefaultKey)
{
    // Without velkoran.ini the default key "velkoran" applies; --print makes
    // the default data directory irrelevant.
    temp_dir_t dir;
    EXPECT_EQ(run_replay({"--print", dir.path + "/absent"}, std::string(TEST_DATA_DIR) + "/mv_file.log",
                         dir.path + "/out"),
              0);
    EXPECT_EQ(read_file(dir.path + "/out"), "2:F:0:/tmp/velkoran-rec/mvfile-dst.txt\n");
}

// Every recorded stream and every input kept from fuzzing runs through the
// confined loop to its end: no call outside the filter, in either mode (the
// printing mode confines the loop's thread, the sending mode the process).
TEST(ReplayConfined, RecordedStreamsAndKeptFuzzInputsEndWithZero)
{
#if defined(VELKORAN_SANITIZED)
    GTEST_SKIP() << "sanitized builds load no system-call filter";
#endif
    std::string const data = TEST_DATA_DIR;
    std::vector<std::string> inputs = {data + "/../../fuzz/edge_events.txt"};
    for (std::string const& folder :
         {data, data + "/fuzz-regressions", data + "/gate-regressions", data + "/../../fuzz/known-parser-leaks"})
        for (std::string const& file : files_in(folder))
            if (boost::filesystem::is_regular_file(file) && boost::filesystem::path(file).extension() != ".md" &&
                boost::filesystem::path(file).filename() != "record-audit")
                inputs.push_back(file);
    ASSERT_GT(inputs.size(), 25u);
    temp_dir_t dir;
    write_ini(dir.path, dir.path + "/no-agent", "velkoran");
    for (std::string const& input : inputs) {
        EXPECT_EQ(run_replay({"--print", dir.path}, input, dir.path + "/out"), 0) << input;
        EXPECT_EQ(run_replay({dir.path}, input, dir.path + "/out"), 0) << input;
    }
}

TEST(ReplayCommandLine, RefusesUnknownOptionsAndExtraOperands)
{
    temp_dir_t dir;
    write_file(dir.path + "/in", "");
    EXPECT_EQ(run_replay({"--bogus"}, dir.path + "/in", dir.path + "/out"), 2);
    EXPECT_EQ(run_replay({dir.path, dir.path}, dir.path + "/in", dir.path + "/out"), 2);
    EXPECT_EQ(run_replay({"--print", dir.path}, dir.path + "/in", dir.path + "/out"), 0);
    EXPECT_EQ(read_file(dir.path + "/out"), "");
}

struct escape_case_t {
    std::string datagram; // bytes as received
    std::string line;     // printed form
};

void PrintTo(escape_case_t const& c, std::ostream* os)
{
    *os << ::testing::PrintToString(c.datagram);
}

class EscapeTest : public ::testing::TestWithParam<escape_case_t> {};

TEST_P(EscapeTest, OneLineThatNamesEveryByte)
{
    escape_case_t const& c = GetParam();
    EXPECT_EQ(escape_datagram(c.datagram.data(), c.datagram.size()), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, EscapeTest,
    ::testing::Values(
        escape_case_t{"2:F:0:/plain/a b:c~", "2:F:0:/plain/a b:c~"},
        escape_case_t{"2:F:0:/a\nb\rc\td", "2:F:0:/a\\nb\\rc\\td"},
        escape_case_t{"2:F:0:/back\\slash\\n", "2:F:0:/back\\\\slash\\\\n"},
        escape_case_t{std::string("2:F:0:/nul\0x", 12), "2:F:0:/nul\\x00x"},
        escape_case_t{"2:F:0:/\x01\x1b[31m\x7f", "2:F:0:/\\x01\\x1b[31m\\x7f"},
        escape_case_t{"2:F:0:/\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80", "2:F:0:/\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80"},
        escape_case_t{"2:F:0:/\xff\xfe", "2:F:0:/\\xff\\xfe"},
        escape_case_t{"2:F:0:/\xc2\x85", "2:F:0:/\\xc2\\x85"},          // C1 control NEL
        escape_case_t{"2:F:0:/\xc2\xa0", "2:F:0:/\xc2\xa0"},            // U+00A0 prints
        escape_case_t{"2:F:0:/\xc0\xaf", "2:F:0:/\\xc0\\xaf"},          // over-long "/"
        escape_case_t{"2:F:0:/\xed\xa0\x80", "2:F:0:/\\xed\\xa0\\x80"}, // surrogate
        escape_case_t{"2:F:0:/\xe2\x82", "2:F:0:/\\xe2\\x82"},          // cut at the end
        escape_case_t{"2:F:0:/\xe2(x", "2:F:0:/\\xe2(x"}));
