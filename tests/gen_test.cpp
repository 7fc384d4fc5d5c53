// The benchmark's audit text generator: what it says a correct plugin sends
// is what the real event loop sends for its text, and a seed fixes the text.
#include <algorithm>

#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support.h"

extern char** environ;

// Runs bench/gen with args; returns its exit status, or -1.
static int run_gen(std::vector<std::string> args)
{
    static std::string const python = "/usr/bin/python3";
    args.insert(args.begin(), std::string(TEST_DATA_DIR) + "/../../bench/gen");
    args.insert(args.begin(), python);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, python.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Splits text at NUL bytes; every piece ends in one.
static std::vector<std::string> nul_terminated(std::string const& text)
{
    std::vector<std::string> pieces;
    size_t at = 0;
    for (size_t end; (end = text.find('\0', at)) != std::string::npos; at = end + 1)
        pieces.push_back(text.substr(at, end - at));
    return pieces;
}

// Number of times needle occurs in text.
static size_t occurrences(std::string const& text, std::string const& needle)
{
    size_t count = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size())
        ++count;
    return count;
}

// The streams the generator shapes from one seed. A shape changes the
// stamps, adds records or drops them, never the events: the whole stream's
// datagrams are what every row's expectation is measured against.
struct stream_case_t {
    char const* name;              // what the row shows
    std::vector<std::string> args; // bench/gen options after the seed and count
    bool standalone;               // the text holds standalone records
    bool cut;                      // runs of records are dropped
    bool relative;                 // some CWD record is dropped and its relative name is sent
};

TEST(Generator, ExpectedDatagramsAreWhatTheEventLoopSends)
{
    // 4,000 events: 0.2 s of stream time at 20,000 events/s, so 19
    // standalone records 10 ms apart, and one run in each stretch of 133
    // events. Runs of one record drop a CWD record alone now and then.
    stream_case_t const cases[] = {
        {"whole", {}, false, false, false},
        {"whole, as the daemon writes it with log_format = RAW", {"--format", "raw"}, false, false, false},
        {"standalone records", {"--rate", "20000", "--standalone", "0.01"}, true, false, false},
        {"runs of 40 records cut", {"--rate", "20000", "--cut", "30:40"}, false, true, false},
        {"single records cut", {"--rate", "20000", "--cut", "400:1"}, false, true, true},
        {"standalone records and runs cut",
         {"--rate", "20000", "--standalone", "0.01", "--cut", "30:40"}, true, true, false},
    };
    std::vector<std::string> whole;
    for (stream_case_t const& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir_t dir;
        std::string const text_file = dir.path + "/audit.txt";
        std::vector<std::string> args = {"--seed", "11", "--events", "4000", "--out", text_file,
                                         "--count-file", dir.path + "/count", "--expect-file",
                                         dir.path + "/expect"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_EQ(run_gen(args), 0);
        std::string const text = read_file(text_file);
        std::vector<std::string> expected = nul_terminated(read_file(dir.path + "/expect"));
        EXPECT_EQ(read_file(dir.path + "/count"), std::to_string(expected.size()) + "\n");

        if (whole.empty()) {
            // About a third of the events are keyed; most of those report a path.
            EXPECT_GT(expected.size(), 400u);
            whole = expected;
        }
        EXPECT_EQ(occurrences(text, "type=BPF ") > 0, c.standalone);
        bool const raw = std::find(c.args.begin(), c.args.end(), "raw") != c.args.end();
        EXPECT_EQ(occurrences(text, "\x1d") == 0, raw) << "interpretations only in the ENRICHED format";
        if (!c.cut)
            EXPECT_EQ(expected, whole);
        else
            EXPECT_LT(expected.size(), whole.size());
        bool const relative_sent = std::any_of(expected.begin(), expected.end(), [](std::string const& d) {
            return d.size() > 4 && d[d.find(':', 4) + 1] != '/';
        });
        EXPECT_EQ(relative_sent, c.relative);

        std::vector<std::string> const received = datagrams_for(text);
        ASSERT_EQ(received.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(received[i], expected[i]) << "datagram " << i;
    }
}

TEST(Generator, TheSeedFixesTheText)
{
    temp_dir_t dir;
    ASSERT_EQ(run_gen({"--seed", "5", "--events", "500", "--out", dir.path + "/a"}), 0);
    ASSERT_EQ(run_gen({"--seed", "5", "--events", "500", "--out", dir.path + "/b"}), 0);
    ASSERT_EQ(run_gen({"--seed", "6", "--events", "500", "--out", dir.path + "/c"}), 0);
    std::string const a = read_file(dir.path + "/a");
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, read_file(dir.path + "/b"));
    EXPECT_NE(a, read_file(dir.path + "/c"));
}
