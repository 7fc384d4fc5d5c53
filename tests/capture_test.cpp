// From audit text to datagrams through the real parser: recorded events of
// the audit daemon, and hand-written records for what it cannot produce.
#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "intake/resolve.h"
#include "support.h"

namespace {

using datagrams_t = std::vector<std::string>;

struct fixture_case_t {
    char const* file;     // under tests/data/
    datagrams_t expected; // in order
};

void PrintTo(fixture_case_t const& c, std::ostream* os)
{
    *os << c.file;
}

#define T "/tmp/velkoran-rec"

std::vector<fixture_case_t> const recorded_cases = {
    {"create_redirect.log", {"2:F:0:" T "/new.txt"}},
    {"create_relative_from_root.log", {"2:F:0:" T "/fromroot.txt"}},
    {"open_readonly.log", {}},
    {"open_rdwr.log", {"2:F:0:" T "/rdwr.txt"}},
    {"open_directory.log", {}},
    {"mv_file.log", {"2:F:0:" T "/mvfile-dst.txt"}},
    {"mv_dir.log", {"2:D:0:" T "/mvdir-dst/"}},
    {"rename_syscall.log", {"2:F:0:" T "/rename-dst.txt"}},
    {"renameat_syscall.log", {"2:F:0:" T "/renameat-dst.txt"}},
    {"renameat_dirfd.log", {}},
    {"renameat2.log", {"2:F:0:" T "/renameat2-dst.txt"}},
    {"renameat2_noreplace.log", {"2:F:0:" T "/renameat2-nr-dst.txt"}},
    {"creat_relative.log", {"2:F:0:" T "/creat.txt"}},
    {"creat_dotdot.log", {"2:F:0:" T "/rel.txt"}},
    {"open_legacy.log", {"2:F:0:" T "/legacy-open.txt"}},
    {"openat_dirfd_relative.log", {}},
    {"openat_dirfd_absolute.log", {"2:F:0:" T "/sub/abs.txt"}},
    {"create_odd_chars.log", {"2:F:0:" T "/a b:\xc3\xbc.txt"}},
    {"create_newline_name.log", {"2:F:0:" T "/nl\nname.txt"}},
    {"create_unprivileged.log", {"2:F:1000:" T "/user/u.txt"}},
    {"create_denied.log", {}},
    {"create_otherkey.log", {}},
    {"dangling_symlink.log", {}},
    {"open_by_handle_at.log", {}},
    {"execve_noise.log", {}},
    {"b32_syscalls.log", {"2:F:0:" T "/b32-openat.txt", "2:F:0:" T "/b32-creat.txt", "2:F:0:" T "/b32-open.txt"}},
};

class RecordedEventTest : public ::testing::TestWithParam<fixture_case_t> {};

TEST_P(RecordedEventTest, AgentReceivesExpectedDatagrams)
{
    std::string const text = test_data(GetParam().file);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(datagrams_for(text), GetParam().expected);
}

TEST_P(RecordedEventTest, ChunkSizeDoesNotMatter)
{
    std::string const text = test_data(GetParam().file);
    for (size_t chunk : {size_t{1}, size_t{13}, size_t{512}})
        EXPECT_EQ(datagrams_for(text, "velkoran", chunk), GetParam().expected) << "chunk " << chunk;
}

TEST_P(RecordedEventTest, OtherKeyReportsNothing)
{
    EXPECT_TRUE(datagrams_for(test_data(GetParam().file), "velkora").empty());
    EXPECT_TRUE(datagrams_for(test_data(GetParam().file), "velkoran2").empty());
}

INSTANTIATE_TEST_SUITE_P(Daemon, RecordedEventTest, ::testing::ValuesIn(recorded_cases));

// Recorded on their own, after all.log (which holds none of them): hard
// links, an O_TMPFILE file named by linkat, openat2. Names relative to a
// directory descriptor are not resolved in a replay.
INSTANTIATE_TEST_SUITE_P(DaemonLinksAndOpenat2, RecordedEventTest, ::testing::Values(
    fixture_case_t{"link_syscall.log", {"2:F:0:" T "/link-dst.txt"}},
    fixture_case_t{"linkat_tmpfile.log", {"2:F:0:" T "/tmpfile-named.txt"}},
    fixture_case_t{"linkat_dirfd.log", {}},
    fixture_case_t{"openat2_write.log", {"2:F:0:" T "/openat2-w.txt"}},
    fixture_case_t{"openat2_readonly.log", {}},
    fixture_case_t{"openat2_dirfd.log", {}}));

TEST(RecordedStream, WholeRecordingGivesTheUnionOfItsScenarios)
{
    datagrams_t expected;
    for (fixture_case_t const& c : recorded_cases)
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    datagrams_t received = datagrams_for(test_data("all.log"));
    std::sort(expected.begin(), expected.end());
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, expected);
}

TEST(RecordedStream, KeyOfTheOtherTreeSelectsOnlyItsEvents)
{
    EXPECT_EQ(datagrams_for(test_data("create_otherkey.log"), "otherkey"),
              datagrams_t{"2:F:0:/tmp/velkoran-rec-other/other.txt"});
}

// Builds one audit record line of event serial.
std::string record(char const* type, int serial, std::string const& fields)
{
    return std::string("type=") + type + " msg=audit(1700000000.000:" + std::to_string(serial) + "): " +
           fields + "\n";
}

// A SYSCALL record of an x86-64 call with the given syscall number, flags
// argument a2 and key field text.
std::string syscall_record(int serial, int number, char const* a0, char const* a2, std::string const& key)
{
    return record("SYSCALL", serial,
                  std::string("arch=c000003e syscall=") + std::to_string(number) +
                      " success=yes exit=3 a0=" + a0 + " a1=0 a2=" + a2 +
                      " a3=1b6 items=1 ppid=1 pid=2 auid=1000 uid=1000 gid=0 euid=0 suid=0 fsuid=0 "
                      "egid=0 sgid=0 fsgid=0 tty=(none) ses=1 comm=\"t\" exe=\"/usr/bin/t\" " + key);
}

// A PATH record with the given name text, mode and type fields.
std::string path_record(int serial, std::string const& name, std::string const& rest)
{
    return record("PATH", serial, "item=0 name=" + name + " inode=2 dev=08:01 " + rest);
}

std::string eoe(int serial)
{
    return record("EOE", serial, "");
}

struct handmade_case_t {
    char const* title;
    std::string text;
    datagrams_t expected;
};

void PrintTo(handmade_case_t const& c, std::ostream* os)
{
    *os << c.title;
}

constexpr int OPENAT = 257;
constexpr int CREAT = 85;
constexpr int LINK = 86;
constexpr int OPENAT2 = 437;
std::string const KEY = "key=\"velkoran\"";
std::string const CREATE_FILE = "mode=0100644 ouid=0 ogid=0 rdev=00:00 nametype=CREATE";

// Ten accepted PATH records in one event: only the first eight count.
std::string ten_paths()
{
    std::string text = syscall_record(1, CREAT, "0", "0", KEY) + record("CWD", 1, "cwd=\"/w\"");
    for (int i = 0; i < 10; ++i)
        text += path_record(1, "\"f" + std::to_string(i) + "\"", CREATE_FILE);
    return text + eoe(1);
}

datagrams_t first_eight()
{
    datagrams_t d;
    for (int i = 0; i < 8; ++i)
        d.push_back("2:F:1000:/w/f" + std::to_string(i));
    return d;
}

class HandmadeEventTest : public ::testing::TestWithParam<handmade_case_t> {};

TEST_P(HandmadeEventTest, AgentReceivesExpectedDatagrams)
{
    EXPECT_EQ(datagrams_for(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Records, HandmadeEventTest, ::testing::Values(
    handmade_case_t{"ten PATH records keep the first eight", ten_paths(), first_eight()},
    handmade_case_t{"no CWD record keeps the name relative",
        syscall_record(1, CREAT, "0", "0", KEY) + path_record(1, "\"f\"", CREATE_FILE) + eoe(1),
        {"2:F:1000:f"}},
    handmade_case_t{"empty cwd becomes /",
        syscall_record(1, CREAT, "0", "0", KEY) + record("CWD", 1, "cwd=\"\"") +
            path_record(1, "\"f\"", CREATE_FILE) + eoe(1),
        {"2:F:1000:/f"}},
    handmade_case_t{"second CWD record changes nothing",
        syscall_record(1, CREAT, "0", "0", KEY) + record("CWD", 1, "cwd=\"/first\"") +
            record("CWD", 1, "cwd=\"/second\"") + path_record(1, "\"f\"", CREATE_FILE) + eoe(1),
        {"2:F:1000:/first/f"}},
    handmade_case_t{"records before the SYSCALL record are collected",
        record("CWD", 1, "cwd=\"/early\"") + path_record(1, "\"f\"", CREATE_FILE) +
            syscall_record(1, CREAT, "0", "0", KEY) + eoe(1),
        {"2:F:1000:/early/f"}},
    handmade_case_t{"no SYSCALL record",
        record("CWD", 1, "cwd=\"/w\"") + path_record(1, "\"f\"", CREATE_FILE) + eoe(1), {}},
    handmade_case_t{"no key field",
        syscall_record(1, CREAT, "0", "0", "") + path_record(1, "\"/f\"", CREATE_FILE) + eoe(1), {}},
    handmade_case_t{"null key",
        syscall_record(1, CREAT, "0", "0", "key=(null)") + path_record(1, "\"/f\"", CREATE_FILE) + eoe(1), {}},
    handmade_case_t{"key extended",
        syscall_record(1, CREAT, "0", "0", "key=\"velkoranx\"") + path_record(1, "\"/f\"", CREATE_FILE) +
            eoe(1), {}},
    handmade_case_t{"key prefix",
        syscall_record(1, CREAT, "0", "0", "key=\"velkora\"") + path_record(1, "\"/f\"", CREATE_FILE) +
            eoe(1), {}},
    handmade_case_t{"objtype before nametype wins",
        syscall_record(1, CREAT, "0", "0", KEY) +
            path_record(1, "\"/f\"", "mode=0100644 objtype=CREATE nametype=PARENT") + eoe(1),
        {"2:F:1000:/f"}},
    handmade_case_t{"nametype PARENT or DELETE adds nothing",
        syscall_record(1, CREAT, "0", "0", KEY) + path_record(1, "\"/p\"", "mode=040755 nametype=PARENT") +
            path_record(1, "\"/d\"", "mode=0100644 nametype=DELETE") + eoe(1), {}},
    handmade_case_t{"PATH without mode adds nothing",
        syscall_record(1, CREAT, "0", "0", KEY) + path_record(1, "\"/f\"", "nametype=CREATE") + eoe(1), {}},
    handmade_case_t{"directory and other modes",
        syscall_record(1, CREAT, "0", "0", KEY) + path_record(1, "\"/dir\"", "mode=040755 nametype=NORMAL") +
            path_record(1, "\"/dev/tty9\"", "mode=020620 nametype=NORMAL") +
            path_record(1, "\"/fifo\"", "mode=010644 nametype=CREATE") + eoe(1),
        {"2:D:1000:/dir/"}},
    handmade_case_t{"unquoted (null) name is no name, quoted one is a file",
        syscall_record(1, CREAT, "0", "0", KEY) + record("CWD", 1, "cwd=\"/w\"") +
            path_record(1, "(null)", CREATE_FILE) + path_record(1, "\"(null)\"", CREATE_FILE) + eoe(1),
        {"2:F:1000:/w/(null)"}},
    handmade_case_t{"hex-encoded name with control bytes arrives raw",
        syscall_record(1, CREAT, "0", "0", KEY) + path_record(1, "2F746D702F610962", CREATE_FILE) + eoe(1),
        {"2:F:1000:/tmp/a\tb"}},
    handmade_case_t{"64-bit AT_FDCWD in a0 joins the cwd",
        syscall_record(1, OPENAT, "ffffffffffffff9c", "241", KEY) + record("CWD", 1, "cwd=\"/w\"") +
            path_record(1, "\"n\"", CREATE_FILE) + eoe(1),
        {"2:F:1000:/w/n"}},
    handmade_case_t{"openat2 read-only by its OPENAT2 record",
        syscall_record(1, OPENAT2, "ffffff9c", "7ffd5e1c9a10", KEY) +
            record("OPENAT2", 1, "oflag=0100000 mode=0 resolve=0x0") + record("CWD", 1, "cwd=\"/w\"") +
            path_record(1, "\"n\"", CREATE_FILE) + eoe(1), {}},
    handmade_case_t{"openat2 for writing by its OPENAT2 record",
        syscall_record(1, OPENAT2, "ffffff9c", "7ffd5e1c9a10", KEY) +
            record("OPENAT2", 1, "oflag=01101 mode=0644 resolve=0x0") + record("CWD", 1, "cwd=\"/w\"") +
            path_record(1, "\"n\"", CREATE_FILE) + eoe(1), {"2:F:1000:/w/n"}},
    handmade_case_t{"openat2 whose oflag is no octal number is reported",
        syscall_record(1, OPENAT2, "ffffff9c", "7ffd5e1c9a10", KEY) +
            record("OPENAT2", 1, "oflag=0x8000 mode=0 resolve=0x0") + path_record(1, "\"/n\"", CREATE_FILE) +
            eoe(1), {"2:F:1000:/n"}},
    handmade_case_t{"link reports its new name, not its source",
        syscall_record(1, LINK, "7ffd5e1c9a10", "0", KEY) + record("CWD", 1, "cwd=\"/w\"") +
            path_record(1, "\"tmp_obj\"", "mode=0100644 nametype=NORMAL") +
            path_record(1, "\"obj\"", CREATE_FILE) + eoe(1), {"2:F:1000:/w/obj"}},
    handmade_case_t{"records of other types are passed over",
        syscall_record(1, CREAT, "0", "0", KEY) + record("SOCKADDR", 1, "saddr=01002F746D702F78") +
            path_record(1, "\"/f\"", CREATE_FILE) + eoe(1),
        {"2:F:1000:/f"}},
    handmade_case_t{"events interleaved by serial stay apart",
        syscall_record(1, CREAT, "0", "0", KEY) + syscall_record(2, CREAT, "0", "0", "key=\"other\"") +
            path_record(2, "\"/two\"", CREATE_FILE) + path_record(1, "\"/one\"", CREATE_FILE) + eoe(2) +
            eoe(1),
        {"2:F:1000:/one"}}));

// The live plugin resolves a name given relative to a directory descriptor
// from the PATH record's inode and device, read from the audit text: a real
// folder descriptor of this process and a real file, the record's fields
// spelt as the case says.
struct identity_case_t {
    char const* title;
    char const* inode; // the "inode" field's text; "<ino>" stands for the file's inode
    char const* dev;   // the "dev" field's text; "<dev>" for its device as the kernel writes it
    bool sent;         // the name is resolved and sent
};

void PrintTo(identity_case_t const& c, std::ostream* os)
{
    *os << c.title;
}

class LiveIdentityTest : public ::testing::TestWithParam<identity_case_t> {};

TEST_P(LiveIdentityTest, ResolvesOnlyAWellFormedIdentity)
{
    identity_case_t const& c = GetParam();
    temp_dir_t tree;
    ASSERT_EQ(mkdir((tree.path + "/sub").c_str(), 0755), 0);
    write_file(tree.path + "/sub/f.txt", "x");
    struct stat st;
    ASSERT_EQ(stat((tree.path + "/sub/f.txt").c_str(), &st), 0);
    int const fd = open((tree.path + "/sub").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char dev[32];
    snprintf(dev, sizeof dev, "%02x:%02x", major(st.st_dev), minor(st.st_dev));
    auto spelt = [&](std::string text) {
        for (auto const& [placeholder, value] : {std::pair<std::string, std::string>{"<ino>", std::to_string(st.st_ino)},
                                                 {"<dev>", dev}}) {
            size_t at = text.find(placeholder);
            if (at != std::string::npos)
                text.replace(at, placeholder.size(), value);
        }
        return text;
    };
    char dirfd[16];
    snprintf(dirfd, sizeof dirfd, "%x", fd);
    std::string const text =
        record("SYSCALL", 1,
               std::string("arch=c000003e syscall=257 success=yes exit=4 a0=") + dirfd +
                   " a1=0 a2=241 a3=1b6 items=2 ppid=1 pid=" + std::to_string(getpid()) +
                   " auid=1000 uid=1000 gid=0 comm=\"t\" exe=\"/usr/bin/t\" " + KEY) +
        record("CWD", 1, "cwd=\"/\"") +
        record("PATH", 1, "item=0 name=\"f.txt\" inode=" + spelt(c.inode) + " dev=" + spelt(c.dev) + " " +
                              CREATE_FILE) +
        eoe(1);
    resolve_live_names = true;
    datagrams_t const received = datagrams_for(text);
    resolve_live_names = false;
    close(fd);
    EXPECT_EQ(received, c.sent ? datagrams_t{"2:F:1000:" + tree.path + "/sub/f.txt"} : datagrams_t{});
}

INSTANTIATE_TEST_SUITE_P(Records, LiveIdentityTest, ::testing::Values(
    identity_case_t{"as the kernel writes them", "<ino>", "<dev>", true},
    identity_case_t{"inode with trailing text", "<ino>x", "<dev>", false},
    identity_case_t{"no inode digits", "", "<dev>", false},
    identity_case_t{"device without minor", "<ino>", "fe:", false},
    identity_case_t{"device not hex", "<ino>", "zz:01", false},
    identity_case_t{"device of another file system", "<ino>", "ff:ff", false}));

} // namespace
