// The unchanged loop, for the benchmark: velkoran-replay as it was before
// the gate, with the plugin's own capture, selection and datagram code
// behind a feed-mode parser that is fed every 8970-byte read straight away
// (auparse_feed of the chunk, then an empty feed) and ages its events only
// when the input goes quiet. Confined and set up as the replay tool is, so
// that the two differ in the gate alone.
// Usage: bench-ungated CONFDIR   (audit text on standard input)
#include <cerrno>
#include <csignal>
#include <string>

#include <malloc.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <auparse.h>

#include "agent/agent.h"
#include "frame/config.h"
#include "frame/confine.h"
#include "frame/log.h"
#include "intake/capture.h"
#include "intake/event_loop.h"

// Result when the audit parser cannot be created (ENOMEM).
static constexpr int NO_PARSER = 12;

// The event loop before the gate: reads, feeds the parser each chunk as it
// comes, until end of input, a readable signal_fd or a failure.
static int ungated_loop(ptree const& config, int input_fd, int signal_fd)
{
    // The parser holds the address of this string as its callback data.
    std::string const key = config.get_child("realtime.key").get_value<std::string>();

    struct pollfd fds[2] = {};
    fds[0].fd = input_fd;
    fds[0].events = POLLIN;
    fds[1].fd = signal_fd;
    fds[1].events = POLLIN;

    int socket_error = open_agent_socket(config.get_child("data_directory").get_value<std::string>() +
                                         "/events.sock");
    if (socket_error != 0)
        return socket_error;

    auparse_state_t* au = auparse_init(AUSOURCE_FEED, nullptr);
    if (au == nullptr)
        return NO_PARSER;
    auparse_set_escape_mode(au, AUPARSE_ESC_RAW);
    auparse_add_callback(au, auparse_callback, const_cast<std::string*>(&key), nullptr);
    confine_loop_thread(input_fd, agent_socket_fd, log_descriptor(), false);

    char buffer[READ_BUFFER_SIZE];
    bool data_fed = false;
    int timeout = -1;
    int result = 0;
    for (;;) {
        int ready = poll(fds, 2, timeout);
        if (ready == 0) {
            auparse_feed_age_events(au);
            data_fed = false;
            timeout = -1;
            continue;
        }
        if (ready == -1) {
            if (errno == EINTR)
                continue;
            result = errno;
            break;
        }
        if (fds[0].revents != 0) {
            ssize_t count = read(input_fd, buffer, sizeof buffer);
            if (count == 0)
                break;
            if (count < 0) {
                if (errno != EINTR && errno != EAGAIN) {
                    result = errno;
                    break;
                }
            } else {
                result = auparse_feed(au, buffer, static_cast<size_t>(count));
                if (result != 0)
                    break;
                result = auparse_feed(au, "", 0);
                if (result != 0)
                    break;
                data_fed = true;
            }
        }
        if (fds[1].revents != 0)
            break;
        timeout = data_fed ? AGE_EVENTS_TIMEOUT_MS : -1;
    }
    auparse_flush_feed(au);
    auparse_destroy(au);
    return result;
}

// Sets up as velkoran-replay does and replays standard input to the agent
// configured in CONFDIR/velkoran.ini.
int main(int argc, char** argv)
{
    // One heap for every thread, as in the replay tool.
    mallopt(M_ARENA_MAX, 1);
    ptree const config = load_config(argc > 1 ? argv[1] : DEFAULT_CONFIG_DIRECTORY);
    sigset_t routed;
    sigemptyset(&routed);
    sigaddset(&routed, SIGINT);
    sigaddset(&routed, SIGTERM);
    sigaddset(&routed, SIGHUP);
    sigprocmask(SIG_BLOCK, &routed, nullptr);
    int signal_fd = signalfd(-1, &routed, SFD_CLOEXEC);
    int result = ungated_loop(config, 0, signal_fd);
    if (signal_fd != -1)
        close(signal_fd);
    return result;
}
