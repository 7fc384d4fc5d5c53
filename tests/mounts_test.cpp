// Mount tables as /proc/<pid>/mountinfo gives them, and the host paths that
// a name of another mount namespace maps to.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "intake/mounts.h"

namespace {

struct mapping_case_t {
    char const* title;
    char const* theirs;                // the namespace's mountinfo
    char const* ours;                  // the plugin's mountinfo
    char const* name;                  // in the namespace's view
    std::vector<std::string> expected; // host paths, in the order they are tried
};

void PrintTo(mapping_case_t const& c, std::ostream* os)
{
    *os << c.title;
}

// The host's own mounts: the root file system, an overlay container root
// and a bind mount of a folder of the root file system.
char const* const HOST = "27 1 254:0 / / rw - ext4 /dev/vda rw\n"
                         "47 27 0:40 / /var/lib/ct/merged rw - overlay overlay rw\n"
                         "48 27 254:0 /srv/volumes /mnt/volumes rw - ext4 /dev/vda rw\n";

class MountMappingTest : public ::testing::TestWithParam<mapping_case_t> {};

TEST_P(MountMappingTest, GivesTheHostPaths)
{
    mapping_case_t const& c = GetParam();
    std::vector<mount_t> theirs, ours;
    ASSERT_TRUE(parse_mount_table(c.theirs, theirs));
    ASSERT_TRUE(parse_mount_table(c.ours, ours));
    EXPECT_EQ(host_candidates(theirs, ours, c.name), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Namespaces, MountMappingTest, ::testing::Values(
    mapping_case_t{"container root on an overlay", "69 48 0:40 / / rw - overlay overlay rw\n", HOST,
                   "/srv/n1.txt", {"/var/lib/ct/merged/srv/n1.txt"}},
    mapping_case_t{"volume bound from a host folder",
                   "69 48 0:40 / / rw - overlay overlay rw\n70 69 254:0 /srv/volumes/web /data rw - ext4 /dev/vda rw\n",
                   HOST, "/data/up/v1.txt", {"/mnt/volumes/web/up/v1.txt", "/srv/volumes/web/up/v1.txt"}},
    mapping_case_t{"the mount point itself", "69 48 0:40 / / rw - overlay o rw\n70 69 254:0 /srv/volumes/web /data rw - ext4 v rw\n",
                   HOST, "/data", {"/mnt/volumes/web", "/srv/volumes/web"}},
    mapping_case_t{"private /tmp of a service",
                   "80 79 254:0 / / rw - ext4 /dev/vda rw\n81 80 254:0 /tmp/systemd-private-1f-web.service-Xq/tmp /tmp rw - ext4 /dev/vda rw\n",
                   HOST, "/tmp/upload.bin", {"/tmp/systemd-private-1f-web.service-Xq/tmp/upload.bin"}},
    mapping_case_t{"a file system only the namespace has",
                   "69 48 0:40 / / rw - overlay overlay rw\n71 69 0:42 / /tmp rw - tmpfs tmpfs rw\n", HOST,
                   "/tmp/t1.txt", {}},
    mapping_case_t{"the last of two mounts at one point hides the first",
                   "69 48 0:40 / / rw - overlay o rw\n71 69 0:42 / /data rw - tmpfs t rw\n72 69 254:0 /srv/volumes /data rw - ext4 v rw\n",
                   HOST, "/data/f", {"/mnt/volumes/f", "/srv/volumes/f"}},
    mapping_case_t{"a mount point is a folder, not a prefix of a name",
                   "69 48 0:40 / / rw - overlay o rw\n71 69 0:42 / /da rw - tmpfs t rw\n", HOST, "/data/f",
                   {"/var/lib/ct/merged/data/f"}},
    mapping_case_t{"mounted on the host only below the folder needed",
                   "80 79 254:0 /etc / rw - ext4 v rw\n", "27 1 254:0 /srv / rw - ext4 v rw\n", "/passwd", {}},
    mapping_case_t{"escaped spaces in both tables",
                   "69 48 0:40 / / rw - overlay o rw\n70 69 254:0 /srv/my\\040files /my\\040data rw - ext4 v rw\n",
                   HOST, "/my data/a b", {"/srv/my files/a b"}}));

TEST(MountTable, ARealTableParses)
{
    std::vector<mount_t> mounts;
    int const fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(read_mount_table(fd, mounts));
    close(fd);
    ASSERT_FALSE(mounts.empty());
    EXPECT_EQ(mounts.front().root.front(), '/');
}

TEST(MountTable, ALineThatIsNoMountFailsTheTable)
{
    std::vector<mount_t> mounts;
    for (char const* text : {"27 1 254:0 / / rw\n28 27 junk\n", "27 1 254 / / rw\n", "27 1 254:0 relative / rw\n"}) {
        EXPECT_FALSE(parse_mount_table(text, mounts)) << text;
        EXPECT_TRUE(mounts.empty()) << text;
    }
}

} // namespace
