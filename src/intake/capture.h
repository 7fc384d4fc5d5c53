// Assembling one audited syscall event from its audit records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

#include <auparse.h>

#include "agent/agent.h"

// Most PATH records kept from one event; later ones are ignored.
constexpr size_t CAPTURE_PATHS_MAX = 8;
// Most PARENT records kept from one event: a rename between two folders
// has two.
constexpr size_t CAPTURE_PARENTS_MAX = 4;

// What path selection needs from one syscall event. Built afresh on the
// callback's stack for every event.
struct syscall_capture_t {
    std::string cwd;                              // working directory, always ending in "/" once set
    std::string syscall;                          // syscall name, e.g. "openat"
    size_t path_count = 0;                        // filled entries of the path arrays, 0..8
    std::string paths[CAPTURE_PATHS_MAX];         // accepted PATH names, in record order
    file_type_e path_types[CAPTURE_PATHS_MAX] = {}; // kind of each accepted path, from its mode
    bool path_created[CAPTURE_PATHS_MAX] = {};    // its nametype is CREATE (a new name), not NORMAL
    uint64_t path_inodes[CAPTURE_PATHS_MAX] = {}; // its "inode" field; 0 when absent
    dev_t path_devs[CAPTURE_PATHS_MAX] = {};      // its "dev" field ("major:minor" in hex) as a dev_t
    size_t parent_count = 0;                      // filled entries of the parent arrays, 0..4
    uint64_t parent_inodes[CAPTURE_PARENTS_MAX] = {}; // inode of each PARENT record: a folder a name lies in
    dev_t parent_devs[CAPTURE_PARENTS_MAX] = {};  // its device
    uint32_t uid = 0;                             // uid field of the SYSCALL record
    uint32_t pid = 0;                             // pid field of the SYSCALL record; 0 when absent
    uint32_t ppid = 0;                            // its ppid field (the parent process); 0 when absent
    uint64_t a0 = 0;                              // syscall argument 0 (hex text of "a0")
    uint64_t a1 = 0;                              // syscall argument 1
    uint64_t a2 = 0;                              // syscall argument 2
    uint64_t a3 = 0;                              // syscall argument 3 (captured, not consulted)
    bool has_open_how = false;                    // an OPENAT2 record came with the event
    uint64_t open_how_flags = 0;                  // its "oflag" field (octal text): the flags of openat2
};

// Parser callback: for a ready event whose SYSCALL record carries the audit
// key (user_data points at that key as a std::string), fills a
// syscall_capture_t and hands it to process_syscall. Throws nothing: a
// failure while handling an event (paths already sent stay sent) drops the
// rest of that event.
void auparse_callback(auparse_state_t* au, auparse_cb_event_t cb_event_type, void* user_data);
