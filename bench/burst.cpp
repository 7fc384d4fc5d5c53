// Creates N empty files in DIR as fast as one process can (open of a name
// relative to the working directory DIR, with O_CREAT, then close), and prints the wall-clock time of the first creation and
// of the end, as seconds since the epoch, and the number of files created.
// Usage: bench-burst DIR N
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

// Wall-clock time now, in seconds since the epoch.
static double now()
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Creates the files and reports the times.
int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: bench-burst DIR N\n");
        return 2;
    }
    long count = strtol(argv[2], nullptr, 10);
    if (chdir(argv[1]) != 0) {
        perror(argv[1]);
        return 1;
    }
    long created = 0;
    char name[32];
    double first = now();
    for (long i = 0; i < count; ++i) {
        snprintf(name, sizeof name, "f%07ld.txt", i);
        int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            close(fd);
            ++created;
        }
    }
    double end = now();
    printf("%.6f %.6f %ld\n", first, end, created);
    return created == count ? 0 : 1;
}
