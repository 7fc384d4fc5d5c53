// The plugin's main loop: audit text in, parser callbacks out.
#pragma once

#include "frame/config.h"

// Largest audit message the audit library defines; the size of every read.
constexpr size_t READ_BUFFER_SIZE = 8970;
// Quiet time after fed input before the events still open are ended as they
// stand and reported.
constexpr int AGE_EVENTS_TIMEOUT_MS = 5000;

// Opens the agent socket, feeds everything read from input_fd through the
// gate to a feed-mode audit parser until end of input, a readable signal_fd
// or a failure, then flushes and destroys the parser. Returns 0, an errno value, 12 when no
// parser can be made, or the parser's non-zero feed result (a rejected line
// is no failure: see gate_take).
int event_loop(ptree const& config, int input_fd, int signal_fd);
