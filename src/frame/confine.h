// Confinement of the running event loop: once its set-up is done, the loop
// keeps only the capability and the system calls that its work needs.
#pragma once

// Set by a program's main before it runs event_loop: the loop then confines
// its own thread (and any thread it would start) once the agent socket and
// the audit parser exist. Off by default, so that a process that calls
// event_loop for other purposes stays as it is.
extern bool confine_event_loop;

// Confines the calling thread, in this order: capabilities (effective,
// permitted and bounding sets keep CAP_DAC_OVERRIDE alone, and
// CAP_SYS_PTRACE too when look_up_names is set; inheritable and ambient
// sets empty; the uid stays), no_new_privs, and a system-call filter that
// kills the whole process on any call outside the loop's own: read on
// input_fd, sendto on agent_fd, write on log_fd (none when it is negative),
// poll, close, memory management, clocks and exit, and with look_up_names
// the calls by which names of other processes are found and proven (link
// reads and lstat by path, a read-only open and pread of a mount table). A step that the kernel refuses is left
// out and the thread runs on without it. Returns true when the system-call
// filter is in force.
bool confine_loop_thread(int input_fd, int agent_fd, int log_fd, bool look_up_names);
