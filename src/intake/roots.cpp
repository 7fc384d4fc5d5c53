// Comparing a process's root with the plugin's, and translating its names.
#include "intake/roots.h"

#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "intake/mounts.h"

// Longest link target read (PATH_MAX).
static constexpr size_t LINK_TARGET_MAX = 4096;

// A mount table and when it was read.
struct kept_table_t {
    std::string namespace_id;     // "mnt:[N]"; empty for a free slot
    std::vector<mount_t> mounts;  // its mounts
    int64_t read_at = 0;          // monotonic seconds of the reading
};

static std::string own_root;                   // the plugin's /proc/self/root, read once
static std::string own_namespace;              // its /proc/self/ns/mnt, read once
static kept_table_t own_table;                 // its own mount table
static kept_table_t kept_tables[MOUNT_TABLES_KEPT]; // other namespaces' tables
static size_t oldest_table = 0;                // the slot replaced next
static process_view_t remembered_roots[ROOTS_REMEMBERED]; // processes seen in another root (pid 0: free)
static size_t oldest_root = 0;                 // the slot replaced next

// Reads a link into target, whole or not at all.
bool read_link(std::string const& path, std::string& target)
{
    char buffer[LINK_TARGET_MAX];
    ssize_t const size = readlinkat(AT_FDCWD, path.c_str(), buffer, sizeof buffer);
    if (size <= 0 || static_cast<size_t>(size) >= sizeof buffer)
        return false;
    target.assign(buffer, static_cast<size_t>(size));
    return true;
}

// Seconds of the monotonic clock.
static int64_t now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

// Compares lstat's inode and device with the recorded ones.
bool is_recorded_object(std::string const& path, syscall_capture_t const& capture, size_t i)
{
    struct stat st;
    return capture.path_inodes[i] != 0 && fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_ino == capture.path_inodes[i] && st.st_dev == capture.path_devs[i];
}

// Reads both links of pid into view and compares them with the plugin's;
// false when they cannot be read (view stays ROOT_SHARED).
static bool look_up(uint32_t pid, process_view_t& view)
{
    view = process_view_t{};
    view.pid = pid;
    if (own_namespace.empty() && (!read_link("/proc/self/root", own_root) || !read_link("/proc/self/ns/mnt", own_namespace)))
        return false;
    if (pid == 0)
        return false;
    std::string const proc = "/proc/" + std::to_string(pid);
    std::string root, namespace_id;
    if (!read_link(proc + "/root", root) || !read_link(proc + "/ns/mnt", namespace_id))
        return false;
    if (namespace_id != own_namespace) {
        view.root = ROOT_NAMESPACE;
        view.namespace_id = std::move(namespace_id);
    } else if (root != own_root) {
        view.root = ROOT_CHROOT;
        view.root_path = std::move(root);
    }
    return true;
}

// Remembers view, a process's other root, replacing what was remembered
// for the same process.
static void remember_root(process_view_t const& view)
{
    process_view_t* slot = nullptr;
    for (process_view_t& r : remembered_roots)
        if (r.pid == view.pid)
            slot = &r;
    if (slot == nullptr) {
        slot = &remembered_roots[oldest_root];
        oldest_root = (oldest_root + 1) % ROOTS_REMEMBERED;
    }
    *slot = view;
}

// The live view, else a presumed one.
process_view_t view_of_event(syscall_capture_t const& capture)
{
    process_view_t view;
    if (look_up(capture.pid, view)) {
        if (view.root != ROOT_SHARED)
            remember_root(view);
        return view;
    }
    for (process_view_t const& r : remembered_roots)
        if (r.pid == capture.pid && r.pid != 0) {
            process_view_t presumed = r;
            presumed.presumed = true;
            return presumed;
        }
    process_view_t parent;
    if (look_up(capture.ppid, parent) && parent.root != ROOT_SHARED) {
        parent.presumed = true;
        return parent;
    }
    return view;
}

// Reads a table into slot unless it was read less than
// MOUNT_TABLE_REREAD_SECONDS ago; true when it was read now.
static bool reread(kept_table_t& slot, std::string const& path)
{
    int64_t const now = now_seconds();
    if (!slot.namespace_id.empty() && now - slot.read_at < MOUNT_TABLE_REREAD_SECONDS)
        return false;
    slot.read_at = now;
    return read_mount_table(path.c_str(), slot.mounts);
}

// The kept table of view's namespace, read now if there is none yet.
static kept_table_t& table_of(process_view_t const& view)
{
    for (kept_table_t& t : kept_tables)
        if (t.namespace_id == view.namespace_id)
            return t;
    kept_table_t& slot = kept_tables[oldest_table];
    oldest_table = (oldest_table + 1) % MOUNT_TABLES_KEPT;
    slot.namespace_id.clear();
    slot.mounts.clear();
    reread(slot, "/proc/" + std::to_string(view.pid) + "/mountinfo");
    slot.namespace_id = view.namespace_id;
    return slot;
}

// The first candidate of the two tables that lstat proves.
static bool first_proven(kept_table_t const& theirs, syscall_capture_t const& capture, size_t i,
                         std::string const& name, std::string& host)
{
    for (std::string& candidate : host_candidates(theirs.mounts, own_table.mounts, name))
        if (is_recorded_object(candidate, capture, i)) {
            host = std::move(candidate);
            return true;
        }
    return false;
}

// Prefixes the root, or maps through the mount tables (read again once
// when the kept ones give no proven path: the mounts may have changed).
bool host_path_of(process_view_t const& view, syscall_capture_t const& capture, size_t i, std::string const& name,
                  std::string& host)
{
    if (capture.path_inodes[i] == 0 || name.empty() || name[0] != '/')
        return false;
    if (view.root == ROOT_SHARED) {
        host = name;
        return true;
    }
    if (view.root == ROOT_CHROOT) {
        std::string candidate = view.root_path == "/" ? name : view.root_path + name;
        if (!is_recorded_object(candidate, capture, i))
            return false;
        host = std::move(candidate);
        return true;
    }
    if (own_table.namespace_id.empty()) {
        reread(own_table, "/proc/self/mountinfo");
        own_table.namespace_id = own_namespace;
    }
    kept_table_t& theirs = table_of(view);
    if (first_proven(theirs, capture, i, name, host))
        return true;
    bool const fresh = reread(theirs, "/proc/" + std::to_string(view.pid) + "/mountinfo");
    bool const own_fresh = reread(own_table, "/proc/self/mountinfo");
    return (fresh || own_fresh) && first_proven(theirs, capture, i, name, host);
}
