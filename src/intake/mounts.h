// Mount tables as /proc/<pid>/mountinfo gives them, and the host path of a
// name that a process of another mount namespace gave.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

// One mount of a mount table.
struct mount_t {
    dev_t dev = 0;     // the file system's device ("major:minor")
    std::string root;  // the folder of that file system mounted here, from its top
    std::string point; // where it is mounted, relative to the process's root
};

// Longest mountinfo file read; a larger one is taken as unreadable. A host
// with a few thousand mounts stays well below it.
constexpr size_t MOUNT_TABLE_SIZE_MAX = 4 * 1024 * 1024;

// Reads the mount table of an open mountinfo file from its start into
// mounts, in its order (a later mount at the same point hides an earlier
// one). False when it cannot be read or holds a line that is no mount;
// mounts is then empty. The descriptor may be kept and read again: poll
// reports POLLPRI on it once the namespace's mounts have changed.
bool read_mount_table(int fd, std::vector<mount_t>& mounts);

// Parses mountinfo text (as read_mount_table reads it) into mounts; false
// for a line that is no mount.
bool parse_mount_table(std::string const& text, std::vector<mount_t>& mounts);

// The paths on the host (mounts: the plugin's own table) at which name, an
// absolute lexically normal path in the process's view (theirs: its
// table), can be found: the mount of theirs that holds name (the longest
// mount point in front of it, the last one listed among equals), then each
// of ours of the same device whose root holds that mount's root, longest
// root first. Empty when the file system is mounted nowhere on the host,
// or not at that part of it (a file system only the namespace has).
std::vector<std::string> host_candidates(std::vector<mount_t> const& theirs, std::vector<mount_t> const& ours,
                                         std::string const& name);
