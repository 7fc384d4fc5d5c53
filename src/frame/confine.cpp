// Dropping capabilities and loading the system-call allow-list of the loop.
#include "frame/confine.h"

#include <csignal>
#include <cstdint>
#include <initializer_list>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/prctl.h>

#include <cap-ng.h>
#include <seccomp.h>

bool confine_event_loop = false;

// Keeps CAP_DAC_OVERRIDE, so that datagrams still reach an agent whose
// socket or folder belongs to another user or has a strict mode, and with
// look_up_names CAP_SYS_PTRACE, without which the kernel hides the
// descriptor links of other processes. Where the bounding set cannot be
// changed, the other sets are still reduced.
static void drop_capabilities(bool look_up_names)
{
    capng_type_t const kept =
        static_cast<capng_type_t>(CAPNG_EFFECTIVE | CAPNG_PERMITTED | CAPNG_BOUNDING_SET);
    capng_clear(CAPNG_SELECT_ALL);
    capng_update(CAPNG_ADD, kept, CAP_DAC_OVERRIDE);
    if (look_up_names)
        capng_update(CAPNG_ADD, kept, CAP_SYS_PTRACE);
    if (capng_apply(CAPNG_SELECT_ALL) != 0)
        capng_apply(CAPNG_SELECT_CAPS);
}

// A comparison of the low 32 bits of argument 0 with a descriptor: the
// kernel passes an int there, whatever the upper half of the register holds.
static scmp_arg_cmp descriptor_is(int fd)
{
    return SCMP_A0(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, static_cast<uint32_t>(fd));
}

// Adds the calls that look up where another process's names are: the link
// reads under /proc (a directory descriptor, a root, a mount namespace),
// lstat, which proves a name found, and opening a mount table under /proc
// read-only and reading it with pread (read itself stays on the audit
// stream). All by path from the working directory's side (AT_FDCWD); lstat
// never follows a link, and an open can neither write nor create. False if
// one is refused.
static bool add_lookup_rules(scmp_filter_ctx filter)
{
    scmp_arg_cmp const from_cwd = SCMP_A0(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, static_cast<uint32_t>(AT_FDCWD));
    return seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(readlinkat), 1, from_cwd) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(newfstatat), 2, from_cwd,
                            SCMP_A3(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, AT_SYMLINK_NOFOLLOW)) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(openat), 2, from_cwd,
                            SCMP_A2(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, O_RDONLY | O_CLOEXEC)) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(pread64), 0) == 0;
}

// Adds the rules of the running loop to filter; false if one is refused.
static bool add_loop_rules(scmp_filter_ctx filter, int input_fd, int agent_fd, int log_fd)
{
    // Called with any arguments: waiting, ending, the restart of an
    // interrupted wait, clock fallbacks for hosts without a fast clock, the
    // lock waits of a process that runs other threads beside the loop, and
    // uname, by which the audit library learns the machine when a record
    // names no architecture it has a system-call table for (it only reads).
    static int const anywhere[] = {
        SCMP_SYS(poll),          SCMP_SYS(ppoll),         SCMP_SYS(close),
        SCMP_SYS(exit),          SCMP_SYS(exit_group),    SCMP_SYS(restart_syscall),
        SCMP_SYS(brk),           SCMP_SYS(munmap),        SCMP_SYS(mremap),
        SCMP_SYS(madvise),       SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday),
        SCMP_SYS(time),          SCMP_SYS(futex),         SCMP_SYS(uname),
    };
    for (int call : anywhere)
        if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0)
            return false;

    // Blocking signals only, as the C library does when a thread ends.
    if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(rt_sigprocmask), 1,
                         SCMP_A0(SCMP_CMP_EQ, SIG_BLOCK, 0)) != 0)
        return false;

    // Memory that can never be made executable.
    scmp_arg_cmp const no_exec = SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0);
    if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1, no_exec) != 0 ||
        seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1, no_exec) != 0)
        return false;

    // Audit text in, datagrams out, log lines out: each on its descriptor.
    // The kernel runs the filter for these (their arguments are checked), so
    // they are tested first.
    for (int call : {SCMP_SYS(read), SCMP_SYS(sendto)})
        if (seccomp_syscall_priority(filter, call, 255) != 0)
            return false;
    if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(read), 1, descriptor_is(input_fd)) != 0 ||
        seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(sendto), 1, descriptor_is(agent_fd)) != 0)
        return false;
    if (log_fd >= 0 && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(write), 1, descriptor_is(log_fd)) != 0)
        return false;
    return true;
}

// Loads the allow-list; every other call, and every call through another
// architecture's entry point (32-bit, x32), kills the process.
static bool load_syscall_filter(int input_fd, int agent_fd, int log_fd, bool look_up_names)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (filter == nullptr)
        return false;
    bool loaded = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) == 0 &&
                  add_loop_rules(filter, input_fd, agent_fd, log_fd) &&
                  (!look_up_names || add_lookup_rules(filter)) && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return loaded;
}

// The sanitizer runtimes make calls of their own (reports, the leak check's
// thread and ptrace) that no allow-list can foresee: their builds stay
// unconfined.
#if defined(VELKORAN_SANITIZED)
static constexpr bool SANITIZED_BUILD = true;
#else
static constexpr bool SANITIZED_BUILD = false;
#endif

// Capabilities, then no_new_privs, then the system-call filter.
bool confine_loop_thread(int input_fd, int agent_fd, int log_fd, bool look_up_names)
{
    if (SANITIZED_BUILD)
        return false;
    drop_capabilities(look_up_names);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    return load_syscall_filter(input_fd, agent_fd, log_fd, look_up_names);
}
