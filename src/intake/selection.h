// Choosing which paths of a captured event are reported, and in what form.
#pragma once

#include "intake/capture.h"

// AT_FDCWD as a 32-bit and as a 64-bit word, as audit records carry it.
constexpr uint64_t AT_FDCWD_32 = 0xFFFFFF9CULL;
constexpr uint64_t AT_FDCWD_64 = 0xFFFFFFFFFFFFFF9CULL;

// Reports the paths of a creating, writing, renaming or linking syscall:
// made absolute with the event's cwd, or for a name relative to a directory
// descriptor with the folder proven behind it (see resolve.h), lexically
// normal, one send_path_to_agent call per path in capture order.
void process_syscall(syscall_capture_t const* capture);
