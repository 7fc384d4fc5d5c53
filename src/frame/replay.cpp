// Printing the datagrams of a replayed audit stream.
#include "frame/replay.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "intake/event_loop.h"

// Length of a UTF-8 sequence that starts with lead byte b and encodes a
// printable character (U+00A0 and above), or 0 when data at i holds none.
static size_t printable_utf8_length(unsigned char const* data, size_t size, size_t i)
{
    unsigned char b = data[i];
    size_t length;
    unsigned int code;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        code = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        code = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        code = b & 0x07;
    } else {
        return 0;
    }
    if (size - i < length)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((data[i + k] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (data[i + k] & 0x3F);
    }
    // Over-long forms, surrogates, values past U+10FFFF and the C1 controls.
    static unsigned int const smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ||
        code < 0xA0)
        return 0;
    return length;
}

// Escapes one datagram into one printable line.
std::string escape_datagram(char const* data, size_t size)
{
    static char const hex[] = "0123456789abcdef";
    unsigned char const* bytes = reinterpret_cast<unsigned char const*>(data);
    std::string line;
    line.reserve(size);
    for (size_t i = 0; i < size;) {
        unsigned char b = bytes[i];
        if (b == '\\') {
            line += "\\\\";
        } else if (b == '\n') {
            line += "\\n";
        } else if (b == '\r') {
            line += "\\r";
        } else if (b == '\t') {
            line += "\\t";
        } else if (b >= 0x20 && b < 0x7F) {
            line += static_cast<char>(b);
        } else if (size_t length = printable_utf8_length(bytes, size, i)) {
            line.append(data + i, length);
            i += length;
            continue;
        } else {
            line += "\\x";
            line += hex[b >> 4];
            line += hex[b & 0x0F];
        }
        ++i;
    }
    return line;
}

// Writes every datagram queued on fd to out, without waiting, each whole
// (buffer grows to the longest); once writing out fails, sets
// *output_error to its errno and only drains the queue from then on.
static void print_queued(int fd, FILE* out, std::vector<char>& buffer, int* output_error)
{
    for (;;) {
        ssize_t size = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0)
            return;
        if (static_cast<size_t>(size) > buffer.size())
            buffer.resize(static_cast<size_t>(size));
        ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0)
            return;
        if (*output_error != 0)
            continue;
        std::string line = escape_datagram(buffer.data(), static_cast<size_t>(n));
        line += '\n';
        if (fwrite(line.data(), 1, line.size(), out) != line.size())
            *output_error = errno != 0 ? errno : EIO;
    }
}

// Receives and prints datagrams on sink_fd until stop_fd becomes readable,
// then prints what is still queued and returns. When out cannot be written
// (its reader gone, a full disk), stops the replay as SIGTERM does and sets
// *output_error to the errno.
static void print_datagrams(int sink_fd, int stop_fd, FILE* out, int* output_error)
{
    // A closed output fails the write with EPIPE instead of ending the
    // process before it removes its folder.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    std::vector<char> buffer(65536);
    struct pollfd fds[2] = {{sink_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        bool const failed_before = *output_error != 0;
        print_queued(sink_fd, out, buffer, output_error);
        if (*output_error == 0 && fflush(out) != 0)
            *output_error = errno;
        // Nobody reads the rest: end the loop through the signal descriptor
        // that the caller routes SIGTERM into.
        if (!failed_before && *output_error != 0)
            kill(getpid(), SIGTERM);
        if (fds[1].revents != 0)
            break;
    }
    // Every send of the loop returned before the stop: all of it is queued.
    print_queued(sink_fd, out, buffer, output_error);
    if (*output_error == 0 && fflush(out) != 0)
        *output_error = errno;
}

// Runs the event loop, then closes stop_fd to tell the printer that every
// datagram has been sent. A thread of its own: where the loop confines
// itself, the printer and the clean-up stay free.
static void run_loop(ptree const* config, int input_fd, int signal_fd, int stop_fd, int* result)
{
    *result = event_loop(*config, input_fd, signal_fd);
    close(stop_fd);
}

// Reports a failed set-up step on standard error; returns its errno.
static int setup_failure(char const* what)
{
    int error = errno;
    fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, what, strerror(error));
    return error;
}

// Runs the event loop towards a private socket whose datagrams are printed.
int replay_printing(ptree const& config, int input_fd, int signal_fd, FILE* out)
{
    char dir[] = "/tmp/velkoran-replay-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return setup_failure("mkdtemp");
    std::string const socket_path = std::string(dir) + "/events.sock";

    int result = 0;
    int sink_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int stop_fds[2] = {-1, -1};
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);

    if (sink_fd == -1) {
        result = setup_failure("socket");
    } else if (bind(sink_fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
        result = setup_failure("bind");
    } else if (pipe2(stop_fds, O_CLOEXEC) != 0) {
        result = setup_failure("pipe");
    } else {
        // The same settings, except that the agent is this process.
        ptree private_config = config;
        private_config.put("data_directory", std::string(dir));

        int output_error = 0;
        std::thread loop(run_loop, &private_config, input_fd, signal_fd, stop_fds[1], &result);
        print_datagrams(sink_fd, stop_fds[0], out, &output_error);
        loop.join();
        close(stop_fds[0]);
        if (result == 0)
            result = output_error;
    }
    if (sink_fd != -1)
        close(sink_fd);
    unlink(socket_path.c_str());
    rmdir(dir);
    return result;
}
