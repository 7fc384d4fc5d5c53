// The plugin binary run as a process: version options and the refusal when
// it is not started by the audit daemon.
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

extern char** environ;

namespace {

// What a finished process left behind.
struct run_t {
    std::string out;  // its standard output
    std::string err;  // its standard error
    int status;       // its raw wait status
};

// Runs argv (argv[0] is the program) with standard input from /dev/null and
// collects both output streams until it ends.
run_t run(std::vector<std::string> const& args)
{
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (std::string const& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int const spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    EXPECT_EQ(spawned, 0) << strerror(spawned);

    run_t result{"", "", -1};
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_streams = 2;
    while (open_streams > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t const n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    if (spawned == 0)
        waitpid(pid, &result.status, 0);
    return result;
}

// The resolved form of path.
std::string resolved(std::string const& path)
{
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? buffer : "";
}

std::string const BANNER = "Velkoran auditd plugin 1.1.0-1\n"
                           "Built for CentOS 8 (x86_64)\n\n"
                           "This program is not intended to be called directly.\n";
std::string const BARE = "1.1.0-1\n";

// The refusal the plugin gives when its parent runs executable.
std::string refusal_for_parent(std::string const& executable)
{
    return "velkoran-realtime: This program expects to be called by " + resolved("/usr/sbin/auditd") +
           ", not " + executable + ". Exiting.\n";
}

// The first version option anywhere on the command line answers and ends it.
TEST(plugin_binary, version_options)
{
    struct version_case_t {
        std::vector<std::string> args; // arguments after the program
        std::string const& out;        // expected standard output
    };
    version_case_t const cases[] = {
        {{"--version"}, BANNER},     {{"-v"}, BANNER},        {{"-V"}, BARE},
        {{"/opt/conf", "-V"}, BARE}, {{"-V", "-v"}, BARE},    {{"-v", "-V"}, BANNER},
        {{"/opt/conf", "extra", "--version"}, BANNER},
    };
    for (version_case_t const& c : cases) {
        std::vector<std::string> args = {PLUGIN_BINARY};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(::testing::PrintToString(c.args));
        run_t const result = run(args);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 0) << result.status;
    }
}

// Words that only resemble version options are taken as the configuration
// directory; run from this test the plugin then refuses to start.
TEST(plugin_binary, near_version_words_are_not_options)
{
    std::string const expected = refusal_for_parent(resolved("/proc/self/exe"));
    for (char const* word : {"--Version", "-version", "-vV", "--version=1"}) {
        SCOPED_TRACE(word);
        run_t const result = run({PLUGIN_BINARY, word});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, expected);
        EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1) << result.status;
    }
}

// Started by hand, directly or from a shell, it refuses before opening its
// log, even with a configuration that points the log at a writable directory.
TEST(plugin_binary, started_by_hand_refuses_without_log)
{
    temp_dir_t config;
    temp_dir_t logs;
    write_file(config.path + "/velkoran.ini", "log_directory = " + logs.path + "\n");
    std::string const log_file = logs.path + "/realtime.log";

    struct launch_case_t {
        char const* name;               // how it is started
        std::vector<std::string> args;  // the command line
        std::string parent;             // resolved executable of its parent
    };
    launch_case_t const cases[] = {
        {"from this test", {PLUGIN_BINARY, config.path}, resolved("/proc/self/exe")},
        // The trailing command keeps the shell from replacing itself with the plugin.
        {"from a shell", {"/bin/sh", "-c", "\"$0\" \"$1\"; exit $?", PLUGIN_BINARY, config.path},
         resolved("/bin/sh")},
    };
    for (launch_case_t const& c : cases) {
        SCOPED_TRACE(c.name);
        run_t const result = run(c.args);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, refusal_for_parent(c.parent));
        EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1) << result.status;
        EXPECT_NE(access(log_file.c_str(), F_OK), 0) << log_file << " was created";
    }
}

} // namespace
