// Finding and proving the folder behind a directory descriptor.
#include "intake/resolve.h"

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/path.hpp>

bool resolve_live_names = false;

// Longest folder path read from a descriptor link (PATH_MAX).
static constexpr size_t LINK_TARGET_MAX = 4096;

// A folder proven behind a descriptor of a process. A tool that fills a
// folder through its descriptor and then ends (rsync) may be gone before
// the plugin reads its last events: the folder proven for an earlier event
// of the same descriptor is then tried instead of the link.
struct remembered_folder_t {
    uint32_t pid = 0;   // the process; 0 for an empty slot
    int fd = -1;        // its descriptor
    std::string folder; // the folder the descriptor named
};

// The folders proven last, one per process and descriptor, the oldest
// replaced first: a few writers at a time need only a few.
static constexpr size_t FOLDERS_REMEMBERED = 16;
static remembered_folder_t remembered[FOLDERS_REMEMBERED];
static size_t oldest_remembered = 0; // the slot replaced next

// The remembered folder of pid's descriptor fd, or null.
static remembered_folder_t* remembered_folder(uint32_t pid, int fd)
{
    for (remembered_folder_t& r : remembered)
        if (r.pid == pid && r.fd == fd)
            return &r;
    return nullptr;
}

// Remembers the folder proven behind pid's descriptor fd.
static void remember_folder(uint32_t pid, int fd, std::string const& folder)
{
    remembered_folder_t* r = remembered_folder(pid, fd);
    if (r == nullptr) {
        r = &remembered[oldest_remembered];
        oldest_remembered = (oldest_remembered + 1) % FOLDERS_REMEMBERED;
    }
    r->pid = pid;
    r->fd = fd;
    r->folder = folder;
}

// True when path names the object that entry i of capture recorded: lstat
// gives its inode and device.
static bool is_recorded_object(std::string const& path, syscall_capture_t const& capture, size_t i)
{
    struct stat st;
    return fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_ino == capture.path_inodes[i] && st.st_dev == capture.path_devs[i];
}

// folder joined with the name of entry i, lexically normal.
static std::string joined(std::string const& folder, syscall_capture_t const& capture, size_t i)
{
    return (boost::filesystem::path(folder) / capture.paths[i]).lexically_normal().string();
}

// Tries the cwd, then the descriptor's folder now, or, where the link
// cannot be read any more, the folder proven behind it before.
bool resolve_relative_name(syscall_capture_t const& capture, size_t i, int fd, std::string& full)
{
    if (!resolve_live_names || capture.path_inodes[i] == 0 || fd < 0)
        return false;
    // Many tools open the folder they work in: the cwd costs no link read.
    if (!capture.cwd.empty()) {
        std::string candidate = joined(capture.cwd, capture, i);
        if (is_recorded_object(candidate, capture, i)) {
            full = std::move(candidate);
            return true;
        }
    }
    if (capture.pid == 0)
        return false;
    char link[64];
    snprintf(link, sizeof link, "/proc/%u/fd/%d", capture.pid, fd);
    char target[LINK_TARGET_MAX];
    ssize_t const size = readlinkat(AT_FDCWD, link, target, sizeof target);
    std::string folder;
    if (size > 0) {
        // Only a folder's path begins with "/" ("socket:[...]", "pipe:[...]"
        // and the like do not); a full buffer may be a cut path.
        if (static_cast<size_t>(size) >= sizeof target || target[0] != '/')
            return false;
        folder.assign(target, static_cast<size_t>(size));
    } else if (remembered_folder_t const* r = remembered_folder(capture.pid, fd)) {
        folder = r->folder;
    } else {
        return false;
    }
    std::string candidate = joined(folder, capture, i);
    if (!is_recorded_object(candidate, capture, i))
        return false;
    if (size > 0)
        remember_folder(capture.pid, fd, folder);
    full = std::move(candidate);
    return true;
}
