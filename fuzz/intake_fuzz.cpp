// libFuzzer target over the intake: arbitrary bytes, cut into chunks that the
// input chooses, reach the real capture, selection and datagram chain through
// a feed-mode audit parser. A sink bound in a temporary folder plays the
// agent; a thread reads it and aborts on any datagram of the wrong form.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "agent/agent.h"
#include "intake_input.h"

namespace {

std::string const audit_key = "velkoran"; // the configured key of every run
std::string sink_dir;                     // temporary folder of the agent socket
int sink_fd = -1;                         // the bound agent socket
int marker_fd = -1;                       // bound elsewhere; its datagram ends one input

std::mutex marker_mutex;            // guards marker_seen
std::condition_variable marker_cv;  // signalled when the reader meets a marker
bool marker_seen = false;           // the reader has handled everything up to the marker

// Removes the agent socket and its folder when the fuzzer exits.
void remove_sink()
{
    unlink((sink_dir + "/events.sock").c_str());
    rmdir(sink_dir.c_str());
}

// Reads the sink for ever: datagrams from the plugin's unbound socket are
// checked, the marker's (from a bound sender) wakes the input's thread.
void read_sink()
{
    static char buffer[65536];
    for (;;) {
        struct sockaddr_un from = {};
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(sink_fd, buffer, sizeof buffer, 0,
                             reinterpret_cast<struct sockaddr*>(&from), &from_len);
        if (n < 0)
            continue;
        if (from_len > sizeof from.sun_family) {
            std::lock_guard<std::mutex> lock(marker_mutex);
            marker_seen = true;
            marker_cv.notify_one();
            continue;
        }
        std::string const datagram(buffer, static_cast<size_t>(n));
        if (!datagram_well_formed(datagram)) {
            fprintf(stderr, "malformed datagram (%zd bytes): ", n);
            fwrite(buffer, 1, static_cast<size_t>(n), stderr);
            fputc('\n', stderr);
            abort();
        }
    }
}

// Sends the marker and waits until the reader has checked every datagram
// that the input before it caused.
void wait_for_reader()
{
    std::unique_lock<std::mutex> lock(marker_mutex);
    marker_seen = false;
    struct sockaddr_un to = {};
    to.sun_family = AF_UNIX;
    strncpy(to.sun_path, (sink_dir + "/events.sock").c_str(), sizeof to.sun_path - 1);
    if (sendto(marker_fd, "", 0, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to) != 0)
        abort();
    marker_cv.wait(lock, [] { return marker_seen; });
}

} // namespace

// Binds the sink, opens the agent socket towards it and starts the reader.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // libFuzzer may end without running atexit handlers; scripts/fuzz points
    // TMPDIR into build-fuzz/ so that nothing is left behind in /tmp.
    char const* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/velkoran-fuzz-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr)
        abort();
    sink_dir = dir;
    atexit(remove_sink);
    std::string const socket_path = sink_dir + "/events.sock";

    sink_fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    if (bind(sink_fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0)
        abort();

    // An abstract name: the reader tells the marker from the plugin by it.
    marker_fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un marker = {};
    marker.sun_family = AF_UNIX;
    snprintf(marker.sun_path + 1, sizeof marker.sun_path - 1, "velkoran-fuzz-marker-%d", getpid());
    if (bind(marker_fd, reinterpret_cast<struct sockaddr*>(&marker), sizeof marker) != 0)
        abort();

    if (open_agent_socket(socket_path) != 0)
        abort();
    std::thread(read_sink).detach();
    return 0;
}

// One input through a fresh parser; returns when its datagrams are checked.
extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
    size_t const header = std::min(size, FUZZ_HEADER_SIZE);
    if (hits_known_parser_leak(reinterpret_cast<char const*>(data) + header, size - header))
        return -1;
    feed_fuzz_input(data, size, audit_key);
    wait_for_reader();
    return 0;
}
