// Which paths of a captured event reach the agent, and in what form.
#include <gtest/gtest.h>

#include "intake/selection.h"
#include "support.h"

namespace {

// One path of a hand-built capture.
struct entry_t {
    char const* name;
    file_type_e type;
};

struct selection_case_t {
    char const* title;
    char const* syscall;
    uint64_t a0, a1, a2;
    char const* cwd;
    std::vector<entry_t> entries;
    std::vector<std::string> expected; // datagrams, in order
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
    for (entry_t const& e : c.entries) {
        capture.paths[capture.path_count] = e.name;
        capture.path_types[capture.path_count] = e.type;
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
    selection_case_t{"openat write + O_DIRECTORY", "openat", AT32, 0, 0x10001, "/h/", {{"/x", F}}, {}}));

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
                     {{"/one", F}, {"two", F}, {"/three", D}}, {"2:F:1000:/one", "2:D:1000:/three/"}}));

INSTANTIATE_TEST_SUITE_P(Normalisation, SelectionTest, ::testing::Values(
    selection_case_t{"redundant separators and dots", "rename", 0, 0, 0, "/", {{"/tmp//x/./y", F}},
                     {"2:F:1000:/tmp/x/y"}},
    selection_case_t{"trailing slash becomes final dot", "rename", 0, 0, 0, "/", {{"/srv/new/", D}},
                     {"2:D:1000:/srv/new/./"}},
    selection_case_t{"root stays root", "rename", 0, 0, 0, "/", {{"/", D}}, {"2:D:1000:/"}},
    selection_case_t{"relative normalising to nothing", "creat", 0, 0, 0, "", {{"a/..", D}}, {"2:D:1000:./"}}));

INSTANTIATE_TEST_SUITE_P(Syscalls, SelectionTest, ::testing::Values(
    selection_case_t{"unlisted syscall", "unlink", 0, 0, 0, "/", {{"/x", F}}, {}},
    selection_case_t{"prefix of a listed name", "openat2", AT32, 0, 1, "/", {{"/x", F}}, {}},
    selection_case_t{"empty syscall name", "", 0, 0, 0, "/", {{"/x", F}}, {}},
    selection_case_t{"open_by_handle_at unconditional", "open_by_handle_at", 0, 0, 0, "/", {{"/x", F}},
                     {"2:F:1000:/x"}},
    selection_case_t{"rename both names in order", "rename", 0, 0, 0, "/d/", {{"old", F}, {"new", F}},
                     {"2:F:1000:/d/old", "2:F:1000:/d/new"}},
    selection_case_t{"other kinds are passed but not sent", "creat", 0, 0, 0, "/", {{"/dev/x", O}, {"/y", F}},
                     {"2:F:1000:/y"}},
    selection_case_t{"no paths", "creat", 0, 0, 0, "/", {}, {}}));

} // namespace
