// Comparing a process's root with the plugin's, and translating its names.
#include "intake/roots.h"

#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "intake/mounts.h"

// Longest link target read (PATH_MAX).
static constexpr size_t LINK_TARGET_MAX = 4096;

// A mount table, read from a mountinfo file that is kept open: poll tells
// when the namespace's mounts have changed, and the open file keeps the
// namespace readable after the process it was opened through has ended.
struct kept_table_t {
    std::string namespace_id;     // "mnt:[N]"; empty for a free slot
    std::vector<mount_t> mounts;  // its mounts
    int fd = -1;                  // its mountinfo file; -1 when it could not be opened
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
    view.presumed = true;
    return view;
}

// Opens the mountinfo file at path into slot (for namespace_id) and reads
// it; a table that cannot be opened stays empty.
static void open_table(kept_table_t& slot, std::string const& namespace_id, std::string const& path)
{
    if (slot.fd >= 0)
        close(slot.fd);
    slot.namespace_id = namespace_id;
    slot.mounts.clear();
    slot.fd = openat(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC);
    if (slot.fd >= 0)
        read_mount_table(slot.fd, slot.mounts);
}

// Reads the table again when its namespace's mounts have changed since it
// was read; true when it did.
static bool refresh(kept_table_t& slot)
{
    struct pollfd changed = {slot.fd, POLLPRI, 0};
    if (slot.fd < 0 || poll(&changed, 1, 0) != 1 || (changed.revents & (POLLPRI | POLLERR)) == 0)
        return false;
    read_mount_table(slot.fd, slot.mounts);
    return true;
}

// The kept table of view's namespace, read now if there is none yet.
static kept_table_t& table_of(process_view_t const& view)
{
    for (kept_table_t& t : kept_tables)
        if (t.namespace_id == view.namespace_id)
            return t;
    kept_table_t& slot = kept_tables[oldest_table];
    oldest_table = (oldest_table + 1) % MOUNT_TABLES_KEPT;
    open_table(slot, view.namespace_id, "/proc/" + std::to_string(view.pid) + "/mountinfo");
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

// The plugin's own mount table, opened the first time it is needed and
// read again whenever its mounts have changed.
static void refresh_own_table()
{
    if (own_table.namespace_id.empty())
        open_table(own_table, "self", "/proc/self/mountinfo");
    else
        refresh(own_table);
}

// The presumed root, the name, then the mounts of the file's device.
bool presumed_host_path(process_view_t const& view, syscall_capture_t const& capture, size_t i,
                        std::string const& name, std::string& host)
{
    if (view.root != ROOT_SHARED && host_path_of(view, capture, i, name, host))
        return true;
    if (is_recorded_object(name, capture, i)) {
        host = name;
        return true;
    }
    if (capture.path_inodes[i] == 0 || name.empty() || name[0] != '/')
        return false;
    refresh_own_table();
    for (mount_t const& m : own_table.mounts) {
        if (m.dev != capture.path_devs[i] || m.root != "/" || m.point == "/")
            continue;
        std::string candidate = m.point + name;
        if (is_recorded_object(candidate, capture, i)) {
            host = std::move(candidate);
            return true;
        }
    }
    return false;
}

// Prefixes the root, or maps through the mount tables (read again when
// their mounts have changed).
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
    refresh_own_table();
    kept_table_t& theirs = table_of(view);
    refresh(theirs);
    return first_proven(theirs, capture, i, name, host);
}
