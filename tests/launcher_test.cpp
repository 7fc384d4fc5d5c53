// parent_is_auditd over prepared process-information trees.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "frame/launcher.h"
#include "support.h"

namespace {

// The pid the prepared trees give the plugin's parent (the audit daemon).
constexpr int PARENT = 100;

// Exit status of a forked check whose setup is impossible on this machine.
constexpr int CANNOT_SET_UP = 77;

// A status file as the kernel writes it, with the given parent pid line.
std::string status_text(std::string const& ppid_line)
{
    return "Name:\tproc\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t5\nNgid:\t0\nPid:\t5\n" +
           ppid_line + "TracerPid:\t0\nUid:\t0\t0\t0\t0\n";
}

// A status file naming ppid as parent.
std::string status_of(int ppid)
{
    return status_text("PPid:\t" + std::to_string(ppid) + "\n");
}

// The resolved form of path, or "" when it does not resolve.
std::string resolved(std::string const& path)
{
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? buffer : "";
}

// One refusal as the check writes it under this program's name.
std::string refusal(std::string const& text)
{
    return std::string(program_invocation_short_name) + ": " + text + ". Exiting.\n";
}

// A prepared process-information tree: status files and the parent's exe link.
struct fake_proc_t {
    temp_dir_t dir;                         // holds the tree
    std::string root = dir.path + "/";      // the root handed to the check

    // Writes <root><process>/status.
    void status(std::string const& process, std::string const& text)
    {
        mkdir((root + process).c_str(), 0755);
        write_file(root + process + "/status", text);
    }
    // Makes <root><pid>/exe a symbolic link to target.
    void exe(int pid, std::string const& target)
    {
        std::string const process = std::to_string(pid);
        mkdir((root + process).c_str(), 0755);
        EXPECT_EQ(symlink(target.c_str(), (root + process + "/exe").c_str()), 0);
    }
};

// The outcome of one check: its result and everything it wrote.
struct check_t {
    bool accepted;        // what parent_is_auditd returned
    std::string written;  // the bytes written to its stream
};

// Runs the check on root with an in-memory stream.
check_t check(std::string const& root)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    bool const accepted = parent_is_auditd(out, root);
    fclose(out);
    check_t result{accepted, std::string(text, size)};
    free(text);
    return result;
}

// Runs the check on root in a forked child after setup (which returns false
// when it cannot be done here); returns the child's exit status and output.
std::pair<int, std::string> check_in_child(std::string const& root, std::function<bool()> setup)
{
    int out[2];
    if (pipe(out) != 0)
        return {-1, ""};
    pid_t const child = fork();
    if (child == 0) {
        close(out[0]);
        if (!setup())
            _exit(CANNOT_SET_UP);
        check_t const result = check(root);
        if (write(out[1], result.written.data(), result.written.size()) < 0)
            _exit(3);
        _exit(result.accepted ? 0 : 1);
    }
    close(out[1]);
    std::string written;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        written.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = -1;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, written};
}

// Gives the child a private view of the file system in which /usr/sbin is an
// empty scratch file system; the real /usr/sbin is never changed.
bool hide_usr_sbin()
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/usr/sbin", "tmpfs", 0, nullptr) == 0;
}

// True when written is the message prefix followed by some strerror text.
bool is_errno_message(std::string const& written, std::string const& prefix)
{
    for (int e = 0; e < 256; ++e)
        if (written == refusal(prefix + strerror(e)))
            return true;
    return false;
}

std::string const AUDITD = resolved(AUDITD_PATH);

// One prepared chain and the check's verdict on it.
struct chain_case_t {
    char const* name;                          // what the case shows
    std::map<std::string, std::string> status; // process name -> status file
    std::string exe;                           // target of <PARENT>/exe, "" for none
    bool accepted;                             // expected result
    std::string message;                       // expected bytes ("" when accepted)
    bool any_errno;                            // message ends in unpredictable errno text
};

class launcher_chain : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (AUDITD.empty())
            GTEST_SKIP() << AUDITD_PATH << " is not installed";
    }
};

TEST_F(launcher_chain, prepared_chains)
{
    std::string const P = std::to_string(PARENT);
    std::string const long_line = "Groups:\t" + std::string(10000, '7') + "\n";
    std::string const sh = resolved("/bin/sh");
    std::string const enoent = strerror(ENOENT);
    std::vector<chain_case_t> const cases = {
        {"no self status", {}, AUDITD_PATH, false,
         refusal("Could not find parent process: " + enoent), false},
        {"self status without parent line", {{"self", status_text("")}}, AUDITD_PATH, false,
         "Could not find parent process: ", true},
        {"parent exe link missing", {{"self", status_of(PARENT)}, {P, status_of(1)}}, "", false,
         refusal("Could not locate parent process: " + enoent), false},
        {"parent exe link dangling", {{"self", status_of(PARENT)}, {P, status_of(1)}},
         "/nonexistent/auditd", false, refusal("Could not locate parent process: " + enoent), false},
        {"parent runs a shell", {{"self", status_of(PARENT)}, {P, status_of(1)}}, "/bin/sh", false,
         refusal("This program expects to be called by " + AUDITD + ", not " + sh), false},
        {"auditd has parent pid 0", {{"self", status_of(PARENT)}, {P, status_of(0)}}, AUDITD_PATH,
         false, "Could not find grandparent process: ", true},
        {"auditd status missing", {{"self", status_of(PARENT)}}, AUDITD_PATH, false,
         refusal("Could not find grandparent process: " + enoent), false},
        {"grandparent status missing", {{"self", status_of(PARENT)}, {P, status_of(50)}}, AUDITD_PATH,
         false, refusal("Could not find grand grandparent process: " + enoent), false},
        {"great-grandparent is 7",
         {{"self", status_of(PARENT)}, {P, status_of(50)}, {"50", status_of(7)}}, AUDITD_PATH, false,
         refusal("Unexpected grand grandparent: expected pid 1, not pid 7"), false},
        {"pid 1 started auditd", {{"self", status_of(PARENT)}, {P, status_of(1)}}, AUDITD_PATH, true,
         "", false},
        {"pid 1 started X started auditd",
         {{"self", status_of(PARENT)}, {P, status_of(50)}, {"50", status_of(1)}}, AUDITD_PATH, true,
         "", false},
        // Were pid 1's status read, its parent 7 would be refused.
        {"great-grandparent not read when grandparent is 1",
         {{"self", status_of(PARENT)}, {P, status_of(1)}, {"1", status_of(7)}}, AUDITD_PATH, true, "",
         false},
        {"status line longer than the line buffer",
         {{"self", status_text(long_line + "PPid:\t" + P + "\n")}, {P, long_line + status_of(1)}},
         AUDITD_PATH, true, "", false},
    };

    for (chain_case_t const& c : cases) {
        SCOPED_TRACE(c.name);
        fake_proc_t proc;
        for (auto const& status : c.status)
            proc.status(status.first, status.second);
        if (!c.exe.empty())
            proc.exe(PARENT, c.exe);
        check_t const result = check(proc.root);
        EXPECT_EQ(result.accepted, c.accepted);
        if (c.any_errno)
            EXPECT_TRUE(is_errno_message(result.written, c.message)) << result.written;
        else
            EXPECT_EQ(result.written, c.message);
    }
}

// A chain of links ending at the daemon's executable is followed to its end.
TEST_F(launcher_chain, exe_through_symlink_chain_accepted)
{
    fake_proc_t proc;
    temp_dir_t links;
    ASSERT_EQ(symlink(AUDITD_PATH, (links.path + "/second").c_str()), 0);
    ASSERT_EQ(symlink((links.path + "/second").c_str(), (links.path + "/first").c_str()), 0);
    proc.status("self", status_of(PARENT));
    proc.status(std::to_string(PARENT), status_of(1));
    proc.exe(PARENT, links.path + "/first");
    check_t const result = check(proc.root);
    EXPECT_TRUE(result.accepted);
    EXPECT_EQ(result.written, "");
}

// Under the real process-information tree this test program is not the
// daemon's child: the parent's real executable is named.
TEST_F(launcher_chain, real_proc_names_the_real_parent)
{
    check_t const result = check("/proc/");
    EXPECT_FALSE(result.accepted);
    EXPECT_EQ(result.written,
              refusal("This program expects to be called by " + AUDITD + ", not " +
                      resolved("/proc/" + std::to_string(getppid()) + "/exe")));
}

// A correct chain under effective uid 1000 is refused, naming that uid.
TEST_F(launcher_chain, non_root_refused_last)
{
    fake_proc_t proc;
    ASSERT_EQ(chmod(proc.dir.path.c_str(), 0755), 0);
    proc.status("self", status_of(PARENT));
    proc.status(std::to_string(PARENT), status_of(1));
    proc.exe(PARENT, AUDITD_PATH);
    auto const outcome = check_in_child(proc.root, [] { return seteuid(1000) == 0; });
    ASSERT_NE(outcome.first, CANNOT_SET_UP) << "seteuid(1000) failed";
    EXPECT_EQ(outcome.first, 1);
    EXPECT_EQ(outcome.second, refusal("This program expects to run as root (uid 0), not uid 1000"));
}

// The daemon's executable comes from the real system; in a private mount
// namespace it can be taken away or replaced without touching the machine.
TEST(launcher_auditd_binary, missing_or_linked_in_private_namespace)
{
    std::string const sh = resolved("/bin/sh");
    struct binary_case_t {
        char const* name;         // what the case shows
        char const* auditd_link;  // what /usr/sbin/auditd links to, or null for absent
        std::string exe;          // target of the parent's exe link, "" for none
        int status;               // child exit: 0 accepted, 1 refused
        std::string message;      // expected bytes
    };
    std::vector<binary_case_t> const cases = {
        {"auditd missing", nullptr, sh, 1,
         refusal(std::string("Could not locate auditd binary: ") + strerror(ENOENT))},
        {"parent link checked before auditd", nullptr, "", 1,
         refusal(std::string("Could not locate parent process: ") + strerror(ENOENT))},
        {"auditd a link to the parent's executable", "/bin/sh", sh, 0, ""},
    };
    for (binary_case_t const& c : cases) {
        SCOPED_TRACE(c.name);
        fake_proc_t proc;
        proc.status("self", status_of(PARENT));
        proc.status(std::to_string(PARENT), status_of(1));
        if (!c.exe.empty())
            proc.exe(PARENT, c.exe);
        char const* link = c.auditd_link;
        auto const outcome = check_in_child(proc.root, [link] {
            return hide_usr_sbin() && (link == nullptr || symlink(link, AUDITD_PATH) == 0);
        });
        if (outcome.first == CANNOT_SET_UP)
            GTEST_SKIP() << "no private mount namespace here (needs CAP_SYS_ADMIN); "
                            "cannot hide or replace " << AUDITD_PATH << " without touching the system";
        EXPECT_EQ(outcome.first, c.status);
        EXPECT_EQ(outcome.second, c.message);
    }
    // The real daemon binary is still in place.
    EXPECT_EQ(access(AUDITD_PATH, X_OK), 0);
}

} // namespace
