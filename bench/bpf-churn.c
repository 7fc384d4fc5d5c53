/* Loads and frees one BPF program per interval, the way an init system does
 * at every unit start and stop: it creates a fresh cgroup v2 folder, loads a
 * trivial BPF_PROG_TYPE_CGROUP_SKB program (r0 = 1; exit), attaches it to the
 * folder for egress, closes its descriptors and removes the folder. The
 * kernel then frees the program from a worker thread, and with auditing on
 * it writes "type=BPF ... prog-id=N op=UNLOAD" as a record of its own, with
 * no SYSCALL and no EOE (the load, in contrast, is a record of the bpf()
 * system call's event). Raw bpf() calls, no libbpf.
 *
 * Runs COUNT rounds (0: until SIGTERM or SIGINT), one every INTERVAL seconds
 * (a decimal, default 1), and prints on standard output one line per round:
 * "N PROG_ID" (N from 1). Its cgroup folders are named
 * velkoran-churn.PID.N under the cgroup2 mount found in /proc/mounts; each
 * is removed before the next round and on the way out.
 *
 * Usage: bench-bpf-churn [INTERVAL [COUNT]]
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/bpf.h>
#include <mntent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

/* Set by SIGTERM or SIGINT: finish the round and stop. */
static volatile sig_atomic_t stop_requested;

/* Notes that a stop was asked for. */
static void on_stop(int signal_number)
{
    (void)signal_number;
    stop_requested = 1;
}

/* The bpf() system call, which glibc does not wrap. */
static long bpf_call(int command, union bpf_attr* attr)
{
    return syscall(SYS_bpf, command, attr, sizeof *attr);
}

/* Copies the mount point of the first cgroup2 file system into out; returns
 * 0, or -1 when none is mounted. */
static int find_cgroup2(char* out, size_t size)
{
    FILE* mounts = setmntent("/proc/mounts", "r");
    struct mntent* entry;
    int found = -1;
    if (mounts == NULL)
        return -1;
    while ((entry = getmntent(mounts)) != NULL) {
        if (strcmp(entry->mnt_type, "cgroup2") == 0 &&
            strlen(entry->mnt_dir) < size) {
            strcpy(out, entry->mnt_dir);
            found = 0;
            break;
        }
    }
    endmntent(mounts);
    return found;
}

/* Loads the program "r0 = 1; exit" (let every packet pass) as a cgroup skb
 * program; returns its descriptor, or -1. */
static int load_program(void)
{
    struct bpf_insn code[2];
    union bpf_attr attr;
    memset(code, 0, sizeof code);
    code[0].code = BPF_ALU64 | BPF_MOV | BPF_K;
    code[0].dst_reg = BPF_REG_0;
    code[0].imm = 1;
    code[1].code = BPF_JMP | BPF_EXIT;
    memset(&attr, 0, sizeof attr);
    attr.prog_type = BPF_PROG_TYPE_CGROUP_SKB;
    attr.insns = (__u64)(unsigned long)code;
    attr.insn_cnt = 2;
    attr.license = (__u64)(unsigned long)"GPL";
    return (int)bpf_call(BPF_PROG_LOAD, &attr);
}

/* The kernel's id of the loaded program prog_fd, or 0 when it cannot say. */
static unsigned program_id(int prog_fd)
{
    struct bpf_prog_info info;
    union bpf_attr attr;
    memset(&info, 0, sizeof info);
    memset(&attr, 0, sizeof attr);
    attr.info.bpf_fd = (__u32)prog_fd;
    attr.info.info_len = sizeof info;
    attr.info.info = (__u64)(unsigned long)&info;
    if (bpf_call(BPF_OBJ_GET_INFO_BY_FD, &attr) != 0)
        return 0;
    return info.id;
}

/* Attaches prog_fd to the cgroup folder cgroup_fd for egress; returns 0 or -1. */
static int attach_program(int prog_fd, int cgroup_fd)
{
    union bpf_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.target_fd = (__u32)cgroup_fd;
    attr.attach_bpf_fd = (__u32)prog_fd;
    attr.attach_type = BPF_CGROUP_INET_EGRESS;
    return (int)bpf_call(BPF_PROG_ATTACH, &attr);
}

/* One round: folder, program, attachment, then everything let go. Prints the
 * round's line; returns 0, or -1 after saying what failed. */
static int churn_once(const char* folder, unsigned round)
{
    int cgroup_fd, prog_fd;
    unsigned id;
    if (mkdir(folder, 0755) != 0) {
        fprintf(stderr, "bench-bpf-churn: mkdir %s: %s\n", folder, strerror(errno));
        return -1;
    }
    cgroup_fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    prog_fd = load_program();
    if (cgroup_fd < 0 || prog_fd < 0 || attach_program(prog_fd, cgroup_fd) != 0) {
        fprintf(stderr, "bench-bpf-churn: %s: %s\n",
                cgroup_fd < 0 ? "open" : prog_fd < 0 ? "BPF_PROG_LOAD" : "BPF_PROG_ATTACH",
                strerror(errno));
        if (prog_fd >= 0)
            close(prog_fd);
        if (cgroup_fd >= 0)
            close(cgroup_fd);
        rmdir(folder);
        return -1;
    }
    id = program_id(prog_fd);
    close(prog_fd);
    close(cgroup_fd);
    if (rmdir(folder) != 0) {
        fprintf(stderr, "bench-bpf-churn: rmdir %s: %s\n", folder, strerror(errno));
        return -1;
    }
    printf("%u %u\n", round, id);
    fflush(stdout);
    return 0;
}

/* Sleeps for the given seconds unless a stop is asked for first. */
static void pause_for(double seconds)
{
    struct timespec wait;
    wait.tv_sec = (time_t)seconds;
    wait.tv_nsec = (long)((seconds - (double)wait.tv_sec) * 1e9);
    while (!stop_requested && nanosleep(&wait, &wait) != 0 && errno == EINTR)
        ;
}

/* Parses the arguments and runs the rounds. */
int main(int argc, char** argv)
{
    char mount[4096];
    char folder[4200];
    double interval = argc > 1 ? strtod(argv[1], NULL) : 1.0;
    long count = argc > 2 ? strtol(argv[2], NULL, 10) : 0;
    struct sigaction action;
    unsigned round;
    if (argc > 3 || interval < 0 || count < 0) {
        fprintf(stderr, "usage: bench-bpf-churn [INTERVAL [COUNT]]\n");
        return 2;
    }
    if (find_cgroup2(mount, sizeof mount) != 0) {
        fprintf(stderr, "bench-bpf-churn: no cgroup2 file system in /proc/mounts\n");
        return 1;
    }
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    for (round = 1; !stop_requested && (count == 0 || round <= (unsigned long)count); ++round) {
        if (round > 1)
            pause_for(interval);
        if (stop_requested)
            break;
        snprintf(folder, sizeof folder, "%s/velkoran-churn.%ld.%u", mount, (long)getpid(), round);
        if (churn_once(folder, round) != 0)
            return 1;
    }
    return 0;
}
