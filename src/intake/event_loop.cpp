// Polling the audit stream and the signal descriptor, feeding the parser.
#include "intake/event_loop.h"

#include <cerrno>

#include <poll.h>
#include <unistd.h>

#include <auparse.h>

#include "agent/agent.h"
#include "frame/confine.h"
#include "frame/log.h"
#include "intake/capture.h"
#include "intake/gate.h"
#include "intake/resolve.h"

// Result when the audit parser cannot be created (ENOMEM).
static constexpr int NO_PARSER = 12;

// Runs the poll loop; every way out passes through the flush and destroy.
int event_loop(ptree const& config, int input_fd, int signal_fd)
{
    // The parser holds the address of this string as its callback data.
    std::string const key = config.get_child("realtime.key").get_value<std::string>();

    struct pollfd fds[2] = {};
    fds[0].fd = input_fd;
    fds[0].events = POLLIN;
    fds[1].fd = signal_fd;
    fds[1].events = POLLIN;

    std::string const socket_path =
        config.get_child("data_directory").get_value<std::string>() + "/events.sock";
    int socket_error = open_agent_socket(socket_path);
    if (socket_error != 0)
        return socket_error;

    auparse_state_t* au = auparse_init(AUSOURCE_FEED, nullptr);
    if (au == nullptr)
        return NO_PARSER;
    // Names reach the agent as their exact bytes, control characters included.
    auparse_set_escape_mode(au, AUPARSE_ESC_RAW);
    auparse_add_callback(au, auparse_callback, const_cast<std::string*>(&key), nullptr);
    // Set-up is complete: from here on the audit text that any local user
    // shapes is parsed by a thread that can do little else.
    if (confine_event_loop)
        confine_loop_thread(input_fd, agent_socket_fd, log_descriptor(), resolve_live_names);

    // Every chunk passes the gate, which feeds the parser whole events, but
    // for those whose key is certain not to match.
    event_gate_t gate;
    gate.au = au;
    gate.key = &key;
    char buffer[READ_BUFFER_SIZE];
    bool data_fed = false;
    int timeout = -1;
    int result = 0;

    for (;;) {
        int ready = poll(fds, 2, timeout);
        if (ready == 0) {
            gate_end_all(gate);
            auparse_feed_age_events(au);
            data_fed = false;
            timeout = -1;
            if (gate.feed_result != 0) {
                result = gate.feed_result;
                break;
            }
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
            if (count == 0) {
                result = 0;
                break;
            }
            if (count < 0) {
                if (errno != EINTR && errno != EAGAIN) {
                    result = errno;
                    break;
                }
            } else {
                gate_take(gate, buffer, static_cast<size_t>(count));
                if (gate.feed_result != 0) {
                    result = gate.feed_result;
                    break;
                }
                data_fed = true;
            }
        }

        if (fds[1].revents != 0) {
            result = 0;
            break;
        }
        timeout = data_fed ? AGE_EVENTS_TIMEOUT_MS : -1;
    }

    gate_finish(gate);
    auparse_flush_feed(au);
    auparse_destroy(au);
    return result;
}
