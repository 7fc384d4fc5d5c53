// Which paths of a captured event reach the agent, and in what form.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem/path.hpp>

#include "intake/resolve.h"
#include "intake/selection.h"
#include "support.h"

namespace {

// One path of a hand-built capture.
struct entry_t {
    char const* name;
    file_type_e type;
    bool created = false; // nametype CREATE
};

struct selection_case_t {
    char const* title;
    char const* syscall;
    uint64_t a0, a1, a2;
    char const* cwd;
    std::vector<entry_t> entries;
    std::vector<std::string> expected; // datagrams, in order
    bool has_open_how = false;         // an OPENAT2 record came with the event
    uint64_t open_how_flags = 0;       // its flags
};

void PrintTo(selection_case_t const& c, std::ostream* os)
{
    *os << c.title;
}

constexpr uint64_t AT32 = 0xFFFFFF9CULL;
constexpr uint64_t AT64 = 0xFFFFFFFFFFFFFF9CULL;
constexpr file_type_e F = FILE_TYPE_REGULAR;
constexpr file_type_e D = FILE_TYPE_DIRECTORY;
constexpr file_type_e O = FILE_TYPE_OTHER;

class SelectionTest : public ::testing::TestWithParam<selection_case_t> {};

TEST_P(SelectionTest, SendsExactlyTheSelectedPaths)
{
    selection_case_t const& c = GetParam();
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    ASSERT_EQ(open_agent_socket(agent.path), 0);

    syscall_capture_t capture{};
    capture.syscall = c.syscall;
    capture.a0 = c.a0;
    capture.a1 = c.a1;
    capture.a2 = c.a2;
    capture.cwd = c.cwd;
    capture.uid = 1000;
    capture.has_open_how = c.has_open_how;
    capture.open_how_flags = c.open_how_flags;
    for (entry_t const& e : c.entries) {
        capture.paths[capture.path_count] = e.name;
        capture.path_types[capture.path_count] = e.type;
        capture.path_created[capture.path_count] = e.created;
        ++capture.path_count;
    }
    process_syscall(&capture);
    send_path_to_agent("/end", F, 0); // marks the end of this case's datagrams

    std::vector<std::string> expected = c.expected;
    expected.push_back("2:F:0:/end");
    EXPECT_EQ(agent.drain(1000), expected);
}

INSTANTIATE_TEST_SUITE_P(OpenFlags, SelectionTest, ::testing::Values(
    selection_case_t{"open read-only", "open", 0, 0, 0, "/h/", {{"/x", F}}, {}},
    selection_case_t{"open write-only", "open", 0, 1, 0, "/h/", {{"/x", F}}, {"2:F:1000:/x"}},
    selection_case_t{"open read-write", "open", 0, 2, 0, "/h/", {{"/x", F}}, {"2:F:1000:/x"}},
    selection_case_t{"open access mode 3", "open", 0, 3, 0, "/h/", {{"/x", F}}, {"2:F:1000:/x"}},
    selection_case_t{"open creat+trunc", "open", 0, 0x241, 0, "/h/", {{"x", F}}, {"2:F:1000:/h/x"}},
    selection_case_t{"open O_CREAT read-only", "open", 0, 0x40, 0, "/h/", {{"/x", F}}, {}},
    selection_case_t{"open write + O_DIRECTORY", "open", 0, 0x10001, 0, "/h/", {{"/x", F}}, {}},
    selection_case_t{"open O_TMPFILE", "open", 0, 0x410002, 0, "/h/", {{"/x", F}}, {}},
    selection_case_t{"openat flags in a2 not a1", "openat", AT32, 2, 0, "/h/", {{"/x", F}}, {}},
    selection_case_t{"openat write", "openat", AT32, 0, 0x241, "/h/", {{"/x", F}}, {"2:F:1000:/x"}},
    selection_case_t{"openat write + O_DIRECTORY", "openat", AT32, 0, 0x10001, "/h/", {{"/x", F}}, {}},
    selection_case_t{"openat2 flags from its OPENAT2 record", "openat2", AT64, 0, 0, "/h/", {{"x", F}},
                     {"2:F:1000:/h/x"}, true, 0x241},
    selection_case_t{"openat2 read-only", "openat2", AT64, 0, 0x241, "/h/", {{"x", F}}, {}, true, 0x8000},
    selection_case_t{"openat2 O_TMPFILE", "openat2", AT64, 0, 0, "/h/", {{"/x", F}}, {}, true, 0x410002},
    selection_case_t{"openat2 without OPENAT2 record", "openat2", AT32, 0, 0, "/h/", {{"x", F}},
                     {"2:F:1000:/h/x"}}));

INSTANTIATE_TEST_SUITE_P(RelativeNames, SelectionTest, ::testing::Values(
    selection_case_t{"openat AT_FDCWD 32-bit", "openat", AT32, 0, 1, "/home/u/", {{"report.txt", F}},
                     {"2:F:1000:/home/u/report.txt"}},
    selection_case_t{"openat AT_FDCWD 64-bit", "openat", AT64, 0, 1, "/home/u/", {{"r", F}},
                     {"2:F:1000:/home/u/r"}},
    selection_case_t{"openat dirfd skips relative keeps absolute", "openat", 3, 0, 1, "/home/u/",
                     {{"rel", F}, {"/abs/f", F}}, {"2:F:1000:/abs/f"}},
    selection_case_t{"renameat decided by a2 only", "renameat", 3, 0, AT32, "/w/", {{"new", F}},
                     {"2:F:1000:/w/new"}},
    selection_case_t{"renameat a2 dirfd skips relative", "renameat", AT32, 0, 3, "/w/", {{"new", F}}, {}},
    selection_case_t{"renameat2 a2 dirfd", "renameat2", AT64, 0, 4, "/w/", {{"a", F}, {"/b", D}},
                     {"2:D:1000:/b/"}},
    selection_case_t{"renameat2 AT_FDCWD", "renameat2", 4, 0, AT64, "/w/", {{"a", F}}, {"2:F:1000:/w/a"}},
    selection_case_t{"creat with ..", "creat", 0, 0, 0, "/home/u/", {{"a/../b", F}}, {"2:F:1000:/home/u/b"}},
    selection_case_t{"empty cwd keeps relative", "creat", 0, 0, 0, "", {{"f", F}}, {"2:F:1000:f"}},
    selection_case_t{"second entry skipped only", "openat", 5, 0, 1, "/c/",
                     {{"/one", F}, {"two", F}, {"/three", D}}, {"2:F:1000:/one", "2:D:1000:/three/"}},
    selection_case_t{"openat2 dirfd skips relative keeps absolute", "openat2", 3, 0, 0, "/c/",
                     {{"rel", F}, {"/abs", F}}, {"2:F:1000:/abs"}, true, 0x42},
    selection_case_t{"linkat AT_FDCWD in a2", "linkat", 3, 0, AT32, "/w/",
                     {{"/proc/self/fd/3", F}, {"new", F, true}}, {"2:F:1000:/w/new"}},
    selection_case_t{"linkat a2 dirfd skips relative", "linkat", AT32, 0, 4, "/w/", {{"new", F, true}}, {}}));

INSTANTIATE_TEST_SUITE_P(Normalisation, SelectionTest, ::testing::Values(
    selection_case_t{"redundant separators and dots", "rename", 0, 0, 0, "/", {{"/tmp//x/./y", F}},
                     {"2:F:1000:/tmp/x/y"}},
    selection_case_t{"trailing slash becomes final dot", "rename", 0, 0, 0, "/", {{"/srv/new/", D}},
                     {"2:D:1000:/srv/new/./"}},
    selection_case_t{"root stays root", "rename", 0, 0, 0, "/", {{"/", D}}, {"2:D:1000:/"}},
    selection_case_t{"relative normalising to nothing", "creat", 0, 0, 0, "", {{"a/..", D}}, {"2:D:1000:./"}}));

INSTANTIATE_TEST_SUITE_P(Syscalls, SelectionTest, ::testing::Values(
    selection_case_t{"unlisted syscall", "unlink", 0, 0, 0, "/", {{"/x", F}}, {}},
    selection_case_t{"prefix of a listed name", "open_tree", AT32, 0, 1, "/", {{"/x", F}}, {}},
    selection_case_t{"link reports the new name only", "link", 0, 0, 0, "/d/",
                     {{"tmp_obj", F}, {"objects/ab/cd", F, true}}, {"2:F:1000:/d/objects/ab/cd"}},
    selection_case_t{"empty syscall name", "", 0, 0, 0, "/", {{"/x", F}}, {}},
    selection_case_t{"open_by_handle_at unconditional", "open_by_handle_at", 0, 0, 0, "/", {{"/x", F}},
                     {"2:F:1000:/x"}},
    selection_case_t{"rename both names in order", "rename", 0, 0, 0, "/d/", {{"old", F}, {"new", F}},
                     {"2:F:1000:/d/old", "2:F:1000:/d/new"}},
    selection_case_t{"other kinds are passed but not sent", "creat", 0, 0, 0, "/", {{"/dev/x", O}, {"/y", F}},
                     {"2:F:1000:/y"}},
    selection_case_t{"no paths", "creat", 0, 0, 0, "/", {}, {}}));

// Names relative to a directory descriptor, resolved against this very
// process: a tree with the written file in sub/, decoys of the same name
// (other inodes) in cwd/ and other/, and the descriptor of the case.
enum descriptor_e {
    ON_SUB,    // open on sub/, the file's folder
    ON_OTHER,  // reused: open on other/, which holds a decoy of the same name
    CLOSED,    // closed before the lookup
    ON_SOCKET, // not a folder at all
};

struct resolution_case_t {
    char const* title;
    char const* syscall;        // "openat" (descriptor in a0), "renameat" or "linkat" (in a2)
    char const* name;           // as the process gave it
    char const* recorded;       // the file whose inode and device the PATH record holds, under the tree
    descriptor_e descriptor;    // what the descriptor is when the plugin looks
    char const* expected;       // the path sent, under the tree; nullptr: nothing
    bool live = true;           // the live plugin (not a replay)
    bool inode_known = true;    // the PATH record holds an inode
    bool same_device = true;    // and the file's device
    bool process_alive = true;  // the process still runs
    bool proven_before = false; // an earlier event proved the folder while the descriptor was open
    bool mkdir_before = false;  // an earlier mkdir event created the folder
};

void PrintTo(resolution_case_t const& c, std::ostream* os)
{
    *os << c.title;
}

class ResolutionTest : public ::testing::TestWithParam<resolution_case_t> {};

TEST_P(ResolutionTest, SendsOnlyAProvenPath)
{
    resolution_case_t const& c = GetParam();
    temp_dir_t tree;
    for (char const* folder : {"/cwd", "/sub", "/sub/deeper", "/other"})
        ASSERT_EQ(mkdir((tree.path + folder).c_str(), 0755), 0);
    for (char const* file : {"/sub/f.txt", "/sub/deeper/g.txt", "/cwd/f.txt", "/other/f.txt", "/cwd/h.txt"})
        write_file(tree.path + file, file);
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    ASSERT_EQ(open_agent_socket(agent.path), 0);

    int fd = -1;
    if (c.descriptor == ON_SUB || c.descriptor == CLOSED)
        fd = open((tree.path + "/sub").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    else if (c.descriptor == ON_OTHER)
        fd = open((tree.path + "/other").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    else
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct stat st, folder;
    ASSERT_EQ(lstat((tree.path + c.recorded).c_str(), &st), 0);
    std::string const folder_path = boost::filesystem::path(tree.path + c.recorded).parent_path().string();
    ASSERT_EQ(lstat(folder_path.c_str(), &folder), 0);
    syscall_capture_t capture{};
    capture.syscall = c.syscall;
    capture.cwd = tree.path + "/cwd/";
    capture.uid = 1000;
    capture.pid = static_cast<uint32_t>(getpid());
    if (!c.process_alive) {
        pid_t child = fork();
        if (child == 0)
            _exit(0);
        ASSERT_EQ(waitpid(child, nullptr, 0), child);
        capture.pid = static_cast<uint32_t>(child);
    }
    uint64_t const dirfd = static_cast<uint64_t>(fd);
    capture.a0 = strcmp(c.syscall, "openat") == 0 ? dirfd : AT32;
    capture.a2 = strcmp(c.syscall, "openat") == 0 ? 0x241 : dirfd;
    capture.paths[0] = c.name;
    capture.path_types[0] = F;
    capture.path_created[0] = true;
    capture.path_inodes[0] = c.inode_known ? st.st_ino : 0;
    capture.path_devs[0] = c.same_device ? st.st_dev : st.st_dev + 1;
    capture.path_count = 1;
    capture.parent_inodes[0] = folder.st_ino;
    capture.parent_devs[0] = folder.st_dev;
    capture.parent_count = 1;

    resolve_live_names = c.live;
    if (c.mkdir_before) {
        syscall_capture_t mkdir{};
        mkdir.syscall = "mkdir";
        mkdir.paths[0] = folder_path;
        mkdir.path_types[0] = D;
        mkdir.path_created[0] = true;
        mkdir.path_inodes[0] = folder.st_ino;
        mkdir.path_devs[0] = folder.st_dev;
        mkdir.path_count = 1;
        process_syscall(&mkdir);
    }
    if (c.proven_before)
        process_syscall(&capture);
    if (c.descriptor == CLOSED)
        close(fd);
    process_syscall(&capture);
    resolve_live_names = false;
    if (c.descriptor != CLOSED)
        close(fd);
    send_path_to_agent("/end", F, 0);

    std::vector<std::string> expected;
    if (c.proven_before)
        expected.push_back("2:F:1000:" + tree.path + "/sub/f.txt");
    if (c.expected != nullptr)
        expected.push_back("2:F:1000:" + tree.path + c.expected);
    expected.push_back("2:F:0:/end");
    EXPECT_EQ(agent.drain(1000), expected);
}

INSTANTIATE_TEST_SUITE_P(DirectoryDescriptors, ResolutionTest, ::testing::Values(
    resolution_case_t{"held descriptor of the file's folder", "openat", "f.txt", "/sub/f.txt", ON_SUB,
                      "/sub/f.txt"},
    resolution_case_t{"a name with a folder in it", "openat", "./deeper/g.txt", "/sub/deeper/g.txt", ON_SUB,
                      "/sub/deeper/g.txt"},
    resolution_case_t{"renameat new name through a2", "renameat", "f.txt", "/sub/f.txt", ON_SUB, "/sub/f.txt"},
    resolution_case_t{"linkat new name through a2", "linkat", "f.txt", "/sub/f.txt", ON_SUB, "/sub/f.txt"},
    resolution_case_t{"file under the cwd needs no descriptor", "openat", "h.txt", "/cwd/h.txt", CLOSED,
                      "/cwd/h.txt"},
    resolution_case_t{"descriptor closed, a decoy in the cwd", "openat", "f.txt", "/sub/f.txt", CLOSED, nullptr},
    resolution_case_t{"descriptor closed after an earlier event proved it", "openat", "f.txt", "/sub/f.txt",
                      CLOSED, "/sub/f.txt", true, true, true, true, true},
    resolution_case_t{"process gone, its folder learned from mkdir", "renameat", "f.txt", "/sub/f.txt", CLOSED,
                      "/sub/f.txt", true, true, true, false, false, true},
    resolution_case_t{"descriptor reused, its folder learned from mkdir", "openat", "f.txt", "/sub/f.txt",
                      ON_OTHER, "/sub/f.txt", true, true, true, true, false, true},
    resolution_case_t{"a learned folder proves no other file", "openat", "f.txt", "/sub/f.txt", CLOSED, nullptr,
                      true, true, false, true, false, true},
    resolution_case_t{"descriptor reused for a folder with a decoy", "openat", "f.txt", "/sub/f.txt", ON_OTHER,
                      nullptr},
    resolution_case_t{"descriptor of a socket", "openat", "f.txt", "/sub/f.txt", ON_SOCKET, nullptr},
    resolution_case_t{"no inode recorded", "openat", "f.txt", "/sub/f.txt", ON_SUB, nullptr, true, false},
    resolution_case_t{"another device", "openat", "f.txt", "/sub/f.txt", ON_SUB, nullptr, true, true, false},
    resolution_case_t{"process gone", "openat", "f.txt", "/sub/f.txt", ON_SUB, nullptr, true, true, true, false},
    resolution_case_t{"replayed text is not resolved", "openat", "f.txt", "/sub/f.txt", ON_SUB, nullptr,
                      false}));

} // namespace
