// The benchmark's audit text generator: what it says a correct plugin sends
// is what the real event loop sends for its text, and a seed fixes the text.
#include <atomic>
#include <thread>

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

TEST(Generator, ExpectedDatagramsAreWhatTheEventLoopSends)
{
    temp_dir_t dir;
    std::string const text = dir.path + "/audit.txt";
    ASSERT_EQ(run_gen({"--seed", "11", "--events", "4000", "--out", text, "--count-file",
                       dir.path + "/count", "--expect-file", dir.path + "/expect"}),
              0);
    std::vector<std::string> expected = nul_terminated(read_file(dir.path + "/expect"));
    EXPECT_EQ(read_file(dir.path + "/count"), std::to_string(expected.size()) + "\n");
    // About a third of the events are keyed; most of those report a path.
    EXPECT_GT(expected.size(), 400u);

    agent_sink_t agent(dir.path + "/events.sock");
    std::atomic<bool> done{false};
    std::vector<std::string> received;
    std::thread reader([&] {
        while (!done)
            for (std::string& d : agent.drain(20))
                received.push_back(std::move(d));
        for (std::string& d : agent.drain())
            received.push_back(std::move(d));
    });
    EXPECT_EQ(run_event_loop(read_file(text), dir.path), 0);
    done = true;
    reader.join();

    ASSERT_EQ(received.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(received[i], expected[i]) << "datagram " << i;
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
