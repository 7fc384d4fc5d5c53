// Replaying recorded audit text through the plugin's own event loop, with
// the datagrams printed instead of sent to the configured agent.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "frame/config.h"

// Turns one datagram into one line of text: printable ASCII and valid UTF-8
// characters from U+00A0 up stay as they are; a backslash becomes "\\",
// newline, carriage return and tab become "\n", "\r" and "\t", and every
// other byte becomes "\xHH" (two lower-case hex digits). No newline is added.
std::string escape_datagram(char const* data, size_t size);

// Runs event_loop on a thread of its own over input_fd and signal_fd with the
// agent socket moved to a private temporary directory, where the calling
// thread receives every datagram, whatever its length, and writes it to out as one escaped line,
// flushed as it comes. Every datagram sent is written before it returns.
// When out cannot be written (its reader gone), the loop is stopped as by
// SIGTERM, which the caller routes into signal_fd. The directory is removed
// on every way out. Returns the loop's result, else the errno of a failed
// write to out, or the errno of a failed set-up (with a message on
// standard error).
int replay_printing(ptree const& config, int input_fd, int signal_fd, FILE* out);
