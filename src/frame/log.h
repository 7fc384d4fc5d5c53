// The plugin's own log file: stamped lines appended to realtime.log.
#pragma once

// Opens (creating with mode 0640) the log file at path for appending,
// unbuffered. Closes a log that is already open first. Anything but a
// regular file (a FIFO, a device) gives no log, without blocking. Failure
// is silent.
void open_log(char const* path);

// Appends one line: local time as "%Y-%m-%d %H:%M:%S", a blank, the message
// expanded from the printf-style format, a line feed. No-op without a log.
void log(char const* format, ...) __attribute__((format(printf, 1, 2)));

// Closes the log if one is open.
void close_log();

// Descriptor of the open log, or -1 while no log is open.
int log_descriptor();
