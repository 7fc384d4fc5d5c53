// A counting agent for the benchmark: binds an AF_UNIX datagram socket,
// receives as fast as it can, and on SIGTERM or SIGINT takes what is still
// queued and prints the number of datagrams (and bytes) received.
// Usage: sink SOCKET_PATH [READY_FILE]
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// Counts every datagram queued on fd now, without waiting.
static void take_queued(int fd, unsigned long& count, unsigned long& bytes)
{
    static char buffer[65536];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) {
        ++count;
        bytes += static_cast<unsigned long>(n);
    }
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: sink SOCKET_PATH [READY_FILE]\n");
        return 2;
    }
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
        fprintf(stderr, "sink: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    if (argc > 2) {
        FILE* ready = fopen(argv[2], "w");
        if (ready != nullptr)
            fclose(ready);
    }

    unsigned long count = 0;
    unsigned long bytes = 0;
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        take_queued(fd, count, bytes);
        if (fds[1].revents != 0)
            break;
    }
    take_queued(fd, count, bytes);
    unlink(argv[1]);
    printf("%lu %lu\n", count, bytes);
    return 0;
}
