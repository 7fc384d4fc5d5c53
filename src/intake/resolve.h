// Completing a name that a process gave relative to a directory
// descriptor: the audit records do not say which folder the descriptor
// named, so the plugin looks at the live process, and at the folders it has
// learned, and proves the result by the inode and device that the kernel
// recorded for the name.
#pragma once

#include <cstddef>
#include <string>

#include "intake/capture.h"
#include "intake/roots.h"

// Set by the plugin's main: events come from this host's running processes,
// so their descriptors and files can be looked at. Off for replayed text,
// whose processes and files are not this host's: relative names of a
// directory descriptor are then skipped, and nothing is learned.
extern bool resolve_live_names;

// Most folders remembered by their inode and device; past it the one
// learned first is replaced. A folder is learned when a process creates it
// (mkdir, mkdirat) or when a name is proven through a descriptor of it.
constexpr size_t FOLDERS_REMEMBERED = 1024;

// Completes entry i of capture, a relative name given against the directory
// descriptor fd of process capture.pid (whose root view describes), into a
// lexically normal absolute path on the host. The candidates, in this
// order: the event's cwd joined with the name; the folder that
// /proc/<pid>/fd/<fd> names now; the folders remembered for the event's
// PARENT records (for a descriptor closed or reused since, or a process
// that has ended). The first two are in the process's view and are
// translated for another root (see host_path_of). A candidate is taken only
// when lstat of it gives the entry's recorded inode and device, so a closed
// or reused descriptor, a file renamed or removed since, or a process that
// has gone never yields a wrong path. Returns true and sets full when one
// is proven.
bool resolve_relative_name(syscall_capture_t const& capture, size_t i, int fd, process_view_t const& view,
                           std::string& full);

// Remembers full, the host path of the folder that entry i of capture
// created, once lstat proves it to be that folder; for the names that later
// events give relative to a descriptor of it.
void learn_created_folder(syscall_capture_t const& capture, size_t i, std::string const& full);
