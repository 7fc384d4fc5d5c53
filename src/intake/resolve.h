// Completing a name that a process gave relative to a directory
// descriptor: the audit records do not say which folder the descriptor
// named, so the plugin looks at the live process and proves the result by
// the inode and device that the kernel recorded for the name.
#pragma once

#include <cstddef>
#include <string>

#include "intake/capture.h"

// Set by the plugin's main: events come from this host's running processes,
// so their descriptors and files can be looked at. Off for replayed text,
// whose processes and files are not this host's: relative names of a
// directory descriptor are then skipped.
extern bool resolve_live_names;

// Completes entry i of capture, a relative name given against the directory
// descriptor fd of process capture.pid, into a lexically normal absolute
// path, tried in this order: the event's cwd joined with the name, then the
// folder that /proc/<pid>/fd/<fd> names now, or where that link is gone
// (the descriptor closed, the process ended) the folder last proven behind
// the same descriptor of the same process. A candidate is taken only when
// lstat of it gives the entry's recorded inode and device; a closed or
// reused descriptor, a file renamed or removed since, or a process that has
// gone never yields a wrong path. Returns true and sets full when one is
// proven. At most one link read and two lstat calls; nothing is opened.
bool resolve_relative_name(syscall_capture_t const& capture, size_t i, int fd, std::string& full);
