// Writing stamped lines to the plugin's log file.
#include "frame/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The open log stream, or null while no log is open.
static FILE* log_stream = nullptr;

// Size of the fixed buffer for a composed line format.
static constexpr size_t LINE_FORMAT_SIZE = 256;

// Opens path for appending as the process-wide log stream; anything but a
// regular file (a FIFO, a device) gives no log.
void open_log(char const* path)
{
    close_log();
    // Non-blocking while it opens, so that a FIFO or a device cannot hang
    // it; only a regular file is kept, with the flag cleared again.
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY, 0640);
    if (fd == -1)
        return;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || fcntl(fd, F_SETFL, O_APPEND) != 0) {
        close(fd);
        return;
    }
    FILE* stream = fdopen(fd, "a");
    if (stream == nullptr) {
        close(fd);
        return;
    }
    setvbuf(stream, nullptr, _IONBF, 0);
    log_stream = stream;
}

// Closes the log stream; a second call does nothing.
void close_log()
{
    FILE* stream = log_stream;
    if (stream == nullptr)
        return;
    log_stream = nullptr;
    fclose(stream);
}

// Returns the open log stream's descriptor, or -1.
int log_descriptor()
{
    return log_stream != nullptr ? fileno(log_stream) : -1;
}

// Writes "<stamp> <message>\n", composing the stamp into the format so the
// caller's arguments are consumed by a single vfprintf.
void log(char const* format, ...)
{
    if (log_stream == nullptr)
        return;

    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr)
        return;
    char stamp[32];
    if (strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return;

    char fixed[LINE_FORMAT_SIZE] = {};
    int composed = snprintf(fixed, sizeof fixed, "%s %s\n", stamp, format);
    if (composed < 0)
        return;

    char* line_format = fixed;
    char* allocated = nullptr;
    if (static_cast<size_t>(composed) >= sizeof fixed) {
        allocated = static_cast<char*>(malloc(static_cast<size_t>(composed) + 1));
        // Without memory for the whole format the line is dropped: a format
        // cut short could end inside a conversion.
        if (allocated == nullptr)
            return;
        snprintf(allocated, static_cast<size_t>(composed) + 1, "%s %s\n", stamp, format);
        line_format = allocated;
    }

    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vfprintf(log_stream, line_format, args);
#pragma GCC diagnostic pop
    va_end(args);
    free(allocated);
}
