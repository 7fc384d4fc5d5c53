// Selecting, completing and normalising the paths of one captured event.
#include "intake/selection.h"

#include <cstring>

#include <boost/filesystem/path.hpp>

// Access-mode field of open flags; 0 is read-only.
static constexpr uint64_t OPEN_ACCESS_MODE = 3;
// O_DIRECTORY on x86-64 (also part of O_TMPFILE).
static constexpr uint64_t OPEN_DIRECTORY = 0x10000;

// True when a syscall argument holds AT_FDCWD in either word size.
static bool is_at_fdcwd(uint64_t value)
{
    return value == AT_FDCWD_32 || value == AT_FDCWD_64;
}

// True when open flags ask for write access and not for a directory.
static bool opens_for_writing(uint64_t flags)
{
    return (flags & OPEN_ACCESS_MODE) != 0 && (flags & OPEN_DIRECTORY) == 0;
}

// Decides from the syscall table whether the event's paths are reported and
// whether relative names may be joined to cwd.
static bool select_syscall(syscall_capture_t const& c, bool& relative_ok)
{
    char const* name = c.syscall.c_str();
    relative_ok = true;
    if (strcmp(name, "creat") == 0 || strcmp(name, "rename") == 0 ||
        strcmp(name, "open_by_handle_at") == 0)
        return true;
    if (strcmp(name, "open") == 0)
        return opens_for_writing(c.a1);
    if (strcmp(name, "openat") == 0) {
        relative_ok = is_at_fdcwd(c.a0);
        return opens_for_writing(c.a2);
    }
    if (strcmp(name, "renameat") == 0 || strcmp(name, "renameat2") == 0) {
        relative_ok = is_at_fdcwd(c.a2);
        return true;
    }
    return false;
}

// Sends each reported path of the event, absolute where possible and
// lexically normal, in capture order.
void process_syscall(syscall_capture_t const* capture)
{
    bool relative_ok;
    if (!select_syscall(*capture, relative_ok))
        return;

    for (size_t i = 0; i < capture->path_count; ++i) {
        boost::filesystem::path entry(capture->paths[i]);
        boost::filesystem::path full;
        if (entry.has_root_directory())
            full = std::move(entry);
        else if (relative_ok)
            full = boost::filesystem::path(capture->cwd) / entry;
        else
            continue;
        send_path_to_agent(full.lexically_normal().string(), capture->path_types[i], capture->uid);
    }
}
