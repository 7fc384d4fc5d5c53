// A flood of audited file events from many processes at once: forks WRITERS
// children, each working in a folder DIR/wN of its own for SECONDS seconds as
// fast as it can. Each creates a file (open with O_CREAT, an event of about
// five records), and renames every RENAME_EVERY-th one (default 4; an event
// with four PATH records), then unlinks it so that the folders stay small
// (unlink is not audited by the project's rules). Prints the files created
// and renamed over all children. SIGTERM or SIGINT ends the children early.
// Usage: bench-flood DIR WRITERS SECONDS [RENAME_EVERY]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <csignal>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// What one writer did, sent to the parent through a pipe.
struct flood_counts_t {
    long created; // files created
    long renamed; // of which renamed
};

// Set by SIGTERM or SIGINT in the parent: end the writers.
static volatile sig_atomic_t stop_requested = 0;

// Notes that a stop was asked for.
static void on_stop(int)
{
    stop_requested = 1;
}

// CLOCK_MONOTONIC now, in seconds.
static double now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// One writer's loop in folder `folder` until `deadline`.
static flood_counts_t write_files(char const* folder, double deadline, long rename_every)
{
    flood_counts_t counts = {0, 0};
    char name[32], renamed[32];
    if (mkdir(folder, 0755) != 0 && errno != EEXIST)
        return counts;
    if (chdir(folder) != 0)
        return counts;
    for (long i = 0; now() < deadline; ++i) {
        snprintf(name, sizeof name, "f%ld.txt", i);
        int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            continue;
        close(fd);
        ++counts.created;
        if (rename_every > 0 && i % rename_every == 0) {
            snprintf(renamed, sizeof renamed, "r%ld.txt", i);
            if (rename(name, renamed) == 0) {
                ++counts.renamed;
                unlink(renamed);
                continue;
            }
        }
        unlink(name);
    }
    return counts;
}

// Starts the writers, waits for them and prints their sums.
int main(int argc, char** argv)
{
    if (argc < 4 || argc > 5) {
        fprintf(stderr, "usage: bench-flood DIR WRITERS SECONDS [RENAME_EVERY]\n");
        return 2;
    }
    long writers = strtol(argv[2], nullptr, 10);
    double seconds = strtod(argv[3], nullptr);
    long rename_every = argc > 4 ? strtol(argv[4], nullptr, 10) : 4;
    if (writers <= 0 || writers > 4096 || seconds <= 0) {
        fprintf(stderr, "bench-flood: WRITERS must be 1..4096 and SECONDS above 0\n");
        return 2;
    }
    int report[2];
    if (pipe(report) != 0) {
        perror("pipe");
        return 1;
    }
    // Without SA_RESTART, so that a stop interrupts the parent's read below.
    struct sigaction action = {};
    action.sa_handler = on_stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    double deadline = now() + seconds;
    std::vector<pid_t> children;
    for (long w = 0; w < writers; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            signal(SIGTERM, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            close(report[0]);
            char folder[4200];
            snprintf(folder, sizeof folder, "%s/w%ld", argv[1], w);
            flood_counts_t counts = write_files(folder, deadline, rename_every);
            ssize_t written = write(report[1], &counts, sizeof counts);
            _exit(written == static_cast<ssize_t>(sizeof counts) ? 0 : 1);
        }
        if (pid < 0) {
            perror("fork");
            break;
        }
        children.push_back(pid);
    }
    close(report[1]);
    flood_counts_t total = {0, 0}, counts;
    ssize_t got;
    while (!stop_requested && (got = read(report[0], &counts, sizeof counts)) != 0) {
        if (got == static_cast<ssize_t>(sizeof counts)) {
            total.created += counts.created;
            total.renamed += counts.renamed;
        } else if (got < 0 && errno != EINTR) {
            break;
        }
    }
    if (stop_requested)
        for (pid_t child : children)
            kill(child, SIGTERM);
    while (wait(nullptr) > 0 || errno == EINTR) {
    }
    printf("%ld %ld\n", total.created, total.renamed);
    return 0;
}
