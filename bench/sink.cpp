// A counting agent for the benchmark: binds an AF_UNIX datagram socket,
// receives as fast as it can, and ends on SIGTERM or SIGINT (after taking
// what is still queued) or once EXPECT datagrams have arrived. Prints the
// number of datagrams and bytes received and the wall-clock times of the
// first and the last datagram (seconds since the epoch, 0 if none).
// Usage: bench-sink SOCKET_PATH [READY_FILE [EXPECT]]
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// What the sink has received so far.
struct sink_counts_t {
    unsigned long count = 0; // datagrams
    unsigned long bytes = 0; // their total length
    double first = 0;        // wall-clock time of the first datagram
    double last = 0;         // wall-clock time of the latest datagram
};

// Wall-clock time now, in seconds since the epoch.
static double now()
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Counts every datagram queued on fd now, without waiting.
static void take_queued(int fd, sink_counts_t& counts)
{
    static char buffer[65536];
    ssize_t n;
    bool any = false;
    while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) {
        ++counts.count;
        counts.bytes += static_cast<unsigned long>(n);
        any = true;
    }
    if (any) {
        counts.last = now();
        if (counts.first == 0)
            counts.first = counts.last;
    }
}

// Binds the socket and counts datagrams until stopped or done.
int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench-sink SOCKET_PATH [READY_FILE [EXPECT]]\n");
        return 2;
    }
    unsigned long expect = argc > 3 ? strtoul(argv[3], nullptr, 10) : 0;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    int signal_fd = signalfd(-1, &stop, 0);

    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    unlink(argv[1]);
    if (fd == -1 || signal_fd == -1 ||
        bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
        fprintf(stderr, "bench-sink: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    if (argc > 2) {
        FILE* ready = fopen(argv[2], "w");
        if (ready != nullptr)
            fclose(ready);
    }

    sink_counts_t counts;
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
    while (expect == 0 || counts.count < expect) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        take_queued(fd, counts);
        if (fds[1].revents != 0)
            break;
    }
    take_queued(fd, counts);
    unlink(argv[1]);
    printf("%lu %lu %.6f %.6f\n", counts.count, counts.bytes, counts.first, counts.last);
    return 0;
}
