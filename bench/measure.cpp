// Runs a program and reports what it cost: wall seconds, user and system CPU
// seconds, peak resident memory (KiB) and exit status, as one line written to
// REPORT_FILE. Linked statically and kept tiny, because the kernel counts the
// memory of the process that forked a program into the program's peak.
// Usage: bench-measure REPORT_FILE PROGRAM [ARG...]
#include <cstdio>
#include <ctime>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Forks, runs the program, waits for it and writes the report.
int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: bench-measure REPORT_FILE PROGRAM [ARG...]\n");
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return 126;
    clock_gettime(CLOCK_MONOTONIC, &end);

    FILE* report = fopen(argv[1], "w");
    if (report == nullptr)
        return 126;
    fprintf(report, "%.6f %ld.%06ld %ld.%06ld %ld %d\n",
            static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
            static_cast<long>(usage.ru_utime.tv_sec), static_cast<long>(usage.ru_utime.tv_usec),
            static_cast<long>(usage.ru_stime.tv_sec), static_cast<long>(usage.ru_stime.tv_usec),
            usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    fclose(report);
    return 0;
}
