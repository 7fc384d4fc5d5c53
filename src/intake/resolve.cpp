// Finding and proving the folder behind a directory descriptor.
#include "intake/resolve.h"

#include <string>

#include <boost/filesystem/path.hpp>

bool resolve_live_names = false;

// A folder known by its inode and device. A tool that creates folders and
// fills them through descriptors (rsync) may have ended before the plugin
// reads its events, so that no link can be read: the PARENT records of such
// an event still name the folder by inode and device.
struct known_folder_t {
    uint64_t inode = 0; // 0 for an empty slot
    dev_t dev = 0;      // its device
    std::string path;   // its path when it was learned
};

static known_folder_t known_folders[FOLDERS_REMEMBERED];
static size_t oldest_known = 0; // the slot replaced next

// The known folder with inode and dev, or null.
static known_folder_t const* known_folder(uint64_t inode, dev_t dev)
{
    for (known_folder_t const& f : known_folders)
        if (f.inode == inode && f.dev == dev)
            return &f;
    return nullptr;
}

// Remembers path as the folder with inode and dev.
static void remember_folder(uint64_t inode, dev_t dev, std::string const& path)
{
    known_folder_t* slot = const_cast<known_folder_t*>(known_folder(inode, dev));
    if (slot == nullptr) {
        slot = &known_folders[oldest_known];
        oldest_known = (oldest_known + 1) % FOLDERS_REMEMBERED;
    }
    slot->inode = inode;
    slot->dev = dev;
    slot->path = path;
}

// folder joined with name, lexically normal.
static std::string joined(std::string const& folder, std::string const& name)
{
    return (boost::filesystem::path(folder) / name).lexically_normal().string();
}

// The one folder that every PARENT record of capture names; false when
// there is none or they name different folders (a rename between two).
static bool sole_parent(syscall_capture_t const& capture, uint64_t& inode, dev_t& dev)
{
    if (capture.parent_count == 0)
        return false;
    inode = capture.parent_inodes[0];
    dev = capture.parent_devs[0];
    for (size_t p = 1; p < capture.parent_count; ++p)
        if (capture.parent_inodes[p] != inode || capture.parent_devs[p] != dev)
            return false;
    return true;
}

// The folder that /proc/<pid>/fd/<fd> names, into folder; false when the
// link cannot be read or names no folder ("socket:[...]", "pipe:[...]" and
// the like do not begin with "/").
static bool descriptor_folder(uint32_t pid, int fd, std::string& folder)
{
    return read_link("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), folder) && folder[0] == '/';
}

// Tries the known folders of the event's PARENT records with the last
// element of entry i's name.
static bool resolve_by_known_parents(syscall_capture_t const& capture, size_t i, std::string& full)
{
    std::string const& name = capture.paths[i];
    size_t const end = name.find_last_not_of('/');
    if (end == std::string::npos)
        return false;
    size_t const slash = name.rfind('/', end);
    std::string const last = name.substr(slash == std::string::npos ? 0 : slash + 1,
                                         slash == std::string::npos ? end + 1 : end - slash);
    for (size_t p = 0; p < capture.parent_count; ++p) {
        known_folder_t const* folder = known_folder(capture.parent_inodes[p], capture.parent_devs[p]);
        if (folder == nullptr)
            continue;
        std::string candidate = joined(folder->path, last);
        if (is_recorded_object(candidate, capture, i)) {
            full = std::move(candidate);
            return true;
        }
    }
    return false;
}

// The host path of candidate, a path in the process's view, into full.
static bool proven_in_view(process_view_t const& view, syscall_capture_t const& capture, size_t i,
                           std::string const& candidate, std::string& full)
{
    if (view.root != ROOT_SHARED)
        return host_path_of(view, capture, i, candidate, full);
    if (!is_recorded_object(candidate, capture, i))
        return false;
    full = candidate;
    return true;
}

// Tries the cwd, then the descriptor's folder now, then the known folders
// of the PARENT records.
bool resolve_relative_name(syscall_capture_t const& capture, size_t i, int fd, process_view_t const& view,
                           std::string& full)
{
    if (!resolve_live_names || capture.path_inodes[i] == 0 || fd < 0)
        return false;
    // Many tools open the folder they work in: the cwd costs no link read.
    if (!capture.cwd.empty() && proven_in_view(view, capture, i, joined(capture.cwd, capture.paths[i]), full))
        return true;
    std::string folder;
    if (capture.pid == 0 || !descriptor_folder(capture.pid, fd, folder))
        return resolve_by_known_parents(capture, i, full);
    std::string const candidate = joined(folder, capture.paths[i]);
    // The link names the folder as the plugin sees it, but for a process of
    // another mount namespace, where it names it as that process does. The
    // descriptor may also have been closed and its number reused since.
    process_view_t const link_view = view.root == ROOT_NAMESPACE ? view : process_view_t{};
    if (!proven_in_view(link_view, capture, i, candidate, full))
        return resolve_by_known_parents(capture, i, full);
    // A name without a "/" lies in the descriptor's folder itself, which
    // the PARENT records then name: learned without a further call.
    uint64_t inode = 0;
    dev_t dev = 0;
    if (capture.paths[i].find('/') == std::string::npos && sole_parent(capture, inode, dev))
        remember_folder(inode, dev, boost::filesystem::path(full).parent_path().string());
    return true;
}

// Proves the new folder, then remembers it.
void learn_created_folder(syscall_capture_t const& capture, size_t i, std::string const& full)
{
    if (!resolve_live_names || capture.path_types[i] != FILE_TYPE_DIRECTORY || full.empty() || full[0] != '/' ||
        !is_recorded_object(full, capture, i))
        return;
    remember_folder(capture.path_inodes[i], capture.path_devs[i], full);
}
