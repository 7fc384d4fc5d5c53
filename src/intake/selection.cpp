// Selecting, completing and normalising the paths of one captured event.
#include "intake/selection.h"

#include <cstring>

#include <boost/filesystem/path.hpp>

#include "intake/resolve.h"
#include "intake/roots.h"

// Access-mode field of open flags; 0 is read-only.
static constexpr uint64_t OPEN_ACCESS_MODE = 3;
// O_DIRECTORY on x86-64 (also part of O_TMPFILE).
static constexpr uint64_t OPEN_DIRECTORY = 0x10000;

// How the relative names of a reported event are completed.
enum relative_base_e {
    RELATIVE_FROM_CWD,   // joined to the event's cwd
    RELATIVE_FROM_DIRFD, // given against a directory descriptor: proven on the live host, else skipped
};

// What the syscall table says of one event.
struct selection_t {
    relative_base_e base = RELATIVE_FROM_CWD; // how relative names are completed
    int dirfd = -1;                           // the descriptor, for RELATIVE_FROM_DIRFD
    bool created_only = false;                // only new names (nametype CREATE) are taken
    bool learn_only = false;                  // new folders: remembered, not reported
};

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

// Sets how relative names of a call with the directory argument dir are
// completed: from the cwd for AT_FDCWD, else from the descriptor (an int:
// the kernel reads the low 32 bits of the argument).
static void relative_to(uint64_t dir, selection_t& s)
{
    if (is_at_fdcwd(dir))
        return;
    s.base = RELATIVE_FROM_DIRFD;
    s.dirfd = static_cast<int>(static_cast<uint32_t>(dir));
}

// Decides from the syscall table whether the event's paths are reported and
// how their relative names are completed.
static bool select_syscall(syscall_capture_t const& c, selection_t& s)
{
    char const* name = c.syscall.c_str();
    if (strcmp(name, "creat") == 0 || strcmp(name, "rename") == 0 ||
        strcmp(name, "open_by_handle_at") == 0)
        return true;
    if (strcmp(name, "open") == 0)
        return opens_for_writing(c.a1);
    if (strcmp(name, "openat") == 0) {
        relative_to(c.a0, s);
        return opens_for_writing(c.a2);
    }
    if (strcmp(name, "renameat") == 0 || strcmp(name, "renameat2") == 0) {
        relative_to(c.a2, s);
        return true;
    }
    // openat2 passes its flags behind a pointer; the kernel writes them in
    // an OPENAT2 record (5.16 on). Without one a write cannot be ruled out.
    if (strcmp(name, "openat2") == 0) {
        relative_to(c.a0, s);
        return !c.has_open_how || opens_for_writing(c.open_how_flags);
    }
    // A new hard link names the file afresh; its source name is no news.
    if (strcmp(name, "link") == 0) {
        s.created_only = true;
        return true;
    }
    if (strcmp(name, "linkat") == 0) {
        relative_to(c.a2, s);
        s.created_only = true;
        return true;
    }
    // A new folder is no file to scan, but the names later given relative
    // to a descriptor of it are found through it.
    if (strcmp(name, "mkdir") == 0 || strcmp(name, "mkdirat") == 0) {
        if (name[5] == 'a')
            relative_to(c.a0, s);
        s.created_only = true;
        s.learn_only = true;
        return resolve_live_names;
    }
    return false;
}

// Sends each reported path of the event, absolute where possible and
// lexically normal, in capture order. In the live plugin, the names of a
// process in another root or mount namespace become host paths.
void process_syscall(syscall_capture_t const* capture)
{
    selection_t s;
    if (!select_syscall(*capture, s) || capture->path_count == 0)
        return;
    process_view_t const view = resolve_live_names ? view_of_event(*capture) : process_view_t{};

    for (size_t i = 0; i < capture->path_count; ++i) {
        if (s.created_only && !capture->path_created[i])
            continue;
        boost::filesystem::path entry(capture->paths[i]);
        std::string full;
        if (entry.has_root_directory() || s.base == RELATIVE_FROM_CWD) {
            std::string const name = (entry.has_root_directory() ? entry : boost::filesystem::path(capture->cwd) / entry)
                                         .lexically_normal()
                                         .string();
            // The process's name: in another root, only its proven host
            // path; of a process that had ended, the host path proven from
            // its presumed root, or as recorded where nothing proves one.
            if (view.presumed) {
                if (!presumed_host_path(view, *capture, i, name, full))
                    full = name;
            } else if (view.root == ROOT_SHARED) {
                full = name;
            } else if (!host_path_of(view, *capture, i, name, full)) {
                continue;
            }
        } else if (!resolve_relative_name(*capture, i, s.dirfd, view, full)) {
            continue;
        }
        if (s.learn_only)
            learn_created_folder(*capture, i, full);
        else
            send_path_to_agent(full, capture->path_types[i], capture->uid);
    }
}
