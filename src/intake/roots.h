// The root a process sees: the kernel records names as the process gave
// them, relative to its own root and mount namespace (a chroot, a
// container, a service with a private /tmp). The live plugin finds out
// whether that root is its own and, where it is not, the host path of a
// name, proven by the inode and device recorded for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "intake/capture.h"

// How a process's names relate to the plugin's own.
enum process_root_e {
    ROOT_SHARED,    // the plugin's root and mount namespace, or not known (the process has ended)
    ROOT_CHROOT,    // another root in the plugin's mount namespace
    ROOT_NAMESPACE, // another mount namespace
};

// One process's root, as looked up for one event.
struct process_view_t {
    process_root_e root = ROOT_SHARED; // see process_root_e
    uint32_t pid = 0;                  // the process whose links and mount table tell it
    bool presumed = false;             // the event's process had ended: its root is presumed (see
                                       // view_of_event), and a name nothing proves goes as recorded
    std::string root_path;             // ROOT_CHROOT: the host path of its root
    std::string namespace_id;          // ROOT_NAMESPACE: its mount namespace ("mnt:[N]")
};

// Most mount namespaces whose tables are kept, each with its mountinfo
// file open; past it the one read first is dropped.
constexpr size_t MOUNT_TABLES_KEPT = 32;

// Most processes whose other root is remembered, for their events that are
// read after they have ended; past it the one seen first is dropped.
constexpr size_t ROOTS_REMEMBERED = 256;

// The root of the process of capture: its root and mount namespace links
// (two link reads) compared with the plugin's own, remembered when they
// differ. Where the process has ended (a short command in a container
// often has by the time its event is read), the root it had at an earlier
// event, else its parent's, else ROOT_SHARED, each marked presumed.
process_view_t view_of_event(syscall_capture_t const& capture);

// The host path of name for a presumed view (see host_path_of), tried in
// this order: through the presumed root; name itself; the mounts of the
// plugin's table that hold the recorded file's device from the top of its
// file system (a container's or chroot's overlay root), followed by name.
// Each is taken only when lstat proves it; false when none is.
bool presumed_host_path(process_view_t const& view, syscall_capture_t const& capture, size_t i,
                        std::string const& name, std::string& host);

// The host path of name, an absolute lexically normal path in view's
// process's view, naming entry i of capture: for ROOT_CHROOT the root's
// path followed by name, for ROOT_NAMESPACE the paths that the two mount
// tables give (see host_candidates). Taken only when lstat of it gives the
// entry's recorded inode and device. False when none is proven.
bool host_path_of(process_view_t const& view, syscall_capture_t const& capture, size_t i, std::string const& name,
                  std::string& host);

// The target of the symbolic link at path (such as /proc/PID/fd/N); false
// when it cannot be read.
bool read_link(std::string const& path, std::string& target);

// True when path names entry i of capture: lstat gives its recorded inode
// and device (never for an entry without them).
bool is_recorded_object(std::string const& path, syscall_capture_t const& capture, size_t i);
