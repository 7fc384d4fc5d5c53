// Entry of velkoran-replay: pushes recorded audit text from standard input
// through the plugin's own event loop, to the configured agent or, with
// --print, to standard output. No launcher check, no log.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <malloc.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "frame/config.h"
#include "frame/confine.h"
#include "frame/replay.h"
#include "intake/event_loop.h"

// Exit status for a command line that cannot be used.
static constexpr int USAGE_STATUS = 2;

// Writes the usage text to stream.
static void usage(FILE* stream)
{
    fprintf(stream,
            "Usage: %s [--print] [CONFDIR]\n"
            "Replays audit text from standard input through the real-time plugin's event loop.\n"
            "CONFDIR holds velkoran.ini (default %s). Datagrams go to the configured agent,\n"
            "or with --print to standard output, one escaped line each.\n",
            program_invocation_short_name, DEFAULT_CONFIG_DIRECTORY);
}

// Routes SIGINT, SIGTERM and SIGHUP into a signal descriptor, so that an
// interrupted replay still flushes the parser and removes its folder.
// Returns the descriptor, or -1.
static int route_signals()
{
    sigset_t routed;
    sigemptyset(&routed);
    sigaddset(&routed, SIGINT);
    sigaddset(&routed, SIGTERM);
    sigaddset(&routed, SIGHUP);
    sigprocmask(SIG_BLOCK, &routed, nullptr);
    return signalfd(-1, &routed, SFD_CLOEXEC);
}

// Settles the command line, loads the configuration and replays standard input.
int main(int argc, char** argv)
{
    bool print = false;
    std::string config_dir = DEFAULT_CONFIG_DIRECTORY;
    int operands = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--print") == 0) {
            print = true;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else if (argv[i][0] == '-' || ++operands > 1) {
            usage(stderr);
            return USAGE_STATUS;
        } else {
            config_dir = argv[i];
        }
    }

    // One heap for every thread: the C library's per-thread heaps read a
    // file under /proc when they shrink, which the confined loop may not.
    mallopt(M_ARENA_MAX, 1);
    ptree const config = load_config(config_dir);
    int signal_fd = route_signals();
    // Recorded text may come from anywhere: the loop parses it confined.
    confine_event_loop = true;
    int result = print ? replay_printing(config, 0, signal_fd, stdout)
                       : event_loop(config, 0, signal_fd);
    if (signal_fd != -1)
        close(signal_fd);
    return result;
}
