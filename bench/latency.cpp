// Latency from a file's creation to its datagram: binds the agent socket,
// then creates COUNT files named fNNNNNNN.txt in DIR at RATE files a second,
// noting the CLOCK_MONOTONIC time at which each openat returns, while a
// receiver thread notes the time at which each file's datagram arrives. One
// process, one clock. After the last creation it waits up to GRACE seconds
// for the datagrams still missing, then prints one line:
//   "created received p50 p90 p99 max" (latencies in milliseconds; "-" when
//   no datagram arrived)
// and, with DETAIL_FILE, writes "index open_ns arrival_ns" per file (arrival
// 0 when none came).
// Usage: bench-latency SOCKET DIR COUNT RATE [GRACE [DETAIL_FILE]]
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// What the writer and the receiver share.
struct latency_run_t {
    std::vector<int64_t> opened;               // monotonic ns at each openat's return, 0 if it failed
    std::vector<std::atomic<int64_t>> arrived; // monotonic ns of each file's first datagram, 0 if none
    std::atomic<long> received{0};             // files whose datagram has arrived
    std::atomic<bool> stop{false};             // asks the receiver to end
    explicit latency_run_t(size_t count) : opened(count, 0), arrived(count) {}
};

// CLOCK_MONOTONIC now, in nanoseconds.
static int64_t now_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The file index named by a datagram "2:F:uid:/.../fNNNNNNN.txt", or -1.
static long file_index(char const* datagram, size_t length)
{
    std::string text(datagram, length);
    size_t slash = text.rfind('/');
    if (slash == std::string::npos || text.size() != slash + 13 || text[slash + 1] != 'f' ||
        text.compare(slash + 9, 4, ".txt") != 0)
        return -1;
    long index = 0;
    for (size_t i = slash + 2; i < slash + 9; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        index = index * 10 + (text[i] - '0');
    }
    return index;
}

// Receives datagrams until asked to stop, noting the first arrival of each file.
static void receive(int fd, latency_run_t& run)
{
    char buffer[65536];
    struct pollfd wait = {fd, POLLIN, 0};
    while (!run.stop.load()) {
        if (poll(&wait, 1, 50) <= 0)
            continue;
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) {
            int64_t at = now_ns();
            long index = file_index(buffer, static_cast<size_t>(n));
            if (index < 0 || static_cast<size_t>(index) >= run.arrived.size())
                continue;
            int64_t none = 0;
            if (run.arrived[static_cast<size_t>(index)].compare_exchange_strong(none, at))
                run.received.fetch_add(1);
        }
    }
}

// Binds an AF_UNIX datagram socket at path; returns it, or -1.
static int bind_socket(char const* path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    unlink(path);
    if (fd == -1 || bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0)
        return -1;
    // Room for a burst of late datagrams while the receiver is busy.
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

// Creates the files at the given rate, one every 1/rate s on an absolute schedule.
static void create_files(latency_run_t& run, double rate)
{
    char name[32];
    int64_t step = static_cast<int64_t>(1e9 / rate);
    int64_t start = now_ns();
    for (size_t i = 0; i < run.opened.size(); ++i) {
        int64_t due = start + static_cast<int64_t>(i) * step;
        struct timespec at = {static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        snprintf(name, sizeof name, "f%07zu.txt", i);
        int fd = openat(AT_FDCWD, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int64_t returned = now_ns();
        if (fd >= 0) {
            run.opened[i] = returned;
            close(fd);
        }
    }
}

// The value at quantile q of sorted values (nearest rank), in milliseconds.
static double quantile_ms(std::vector<int64_t> const& sorted, double q)
{
    size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[rank == 0 ? 0 : rank - 1]) / 1e6;
}

// Runs the measurement and prints its line.
int main(int argc, char** argv)
{
    if (argc < 5 || argc > 7) {
        fprintf(stderr, "usage: bench-latency SOCKET DIR COUNT RATE [GRACE [DETAIL_FILE]]\n");
        return 2;
    }
    long count = strtol(argv[3], nullptr, 10);
    double rate = strtod(argv[4], nullptr);
    double grace = argc > 5 ? strtod(argv[5], nullptr) : 30;
    if (count <= 0 || count > 9999999 || rate <= 0) {
        fprintf(stderr, "bench-latency: COUNT must be 1..9999999 and RATE above 0\n");
        return 2;
    }
    int fd = bind_socket(argv[1]);
    if (fd == -1) {
        fprintf(stderr, "bench-latency: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    if (chdir(argv[2]) != 0) {
        fprintf(stderr, "bench-latency: %s: %s\n", argv[2], strerror(errno));
        return 1;
    }

    latency_run_t run(static_cast<size_t>(count));
    std::thread receiver(receive, fd, std::ref(run));
    create_files(run, rate);
    long created = std::count_if(run.opened.begin(), run.opened.end(), [](int64_t t) { return t != 0; });
    int64_t deadline = now_ns() + static_cast<int64_t>(grace * 1e9);
    while (run.received.load() < created && now_ns() < deadline)
        usleep(10000);
    run.stop.store(true);
    receiver.join();
    close(fd);
    unlink(argv[1]);

    std::vector<int64_t> latencies;
    for (size_t i = 0; i < run.opened.size(); ++i) {
        int64_t arrived = run.arrived[i].load();
        if (run.opened[i] != 0 && arrived != 0)
            latencies.push_back(arrived - run.opened[i]);
    }
    if (argc > 6) {
        FILE* detail = fopen(argv[6], "w");
        if (detail != nullptr) {
            for (size_t i = 0; i < run.opened.size(); ++i)
                fprintf(detail, "%zu %lld %lld\n", i, static_cast<long long>(run.opened[i]),
                        static_cast<long long>(run.arrived[i].load()));
            fclose(detail);
        }
    }
    std::sort(latencies.begin(), latencies.end());
    printf("%ld %zu", created, latencies.size());
    if (latencies.empty())
        printf(" - - - -\n");
    else
        printf(" %.2f %.2f %.2f %.2f\n", quantile_ms(latencies, 0.50), quantile_ms(latencies, 0.90),
               quantile_ms(latencies, 0.99), quantile_ms(latencies, 1.0));
    return 0;
}
