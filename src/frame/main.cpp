// Entry of the plugin: version options, configuration, launcher check, log,
// signals, then the event loop until the audit daemon stops it.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/signalfd.h>
#include <unistd.h>

#include "frame/config.h"
#include "frame/confine.h"
#include "frame/launcher.h"
#include "frame/log.h"
#include "intake/event_loop.h"
#include "intake/resolve.h"

static constexpr char const* VERSION = "1.1.0-1";

// Answers the first version option on the command line, if any.
// Returns true when one was found and answered.
static bool answer_version_option(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--version") == 0 || strcmp(argv[i], "-v") == 0) {
            printf("%s\n", "Velkoran auditd plugin 1.1.0-1");
            printf("Built for %s %s (%s)\n\n", "CentOS", "8", "x86_64");
            printf("This program is not intended to be called directly.\n");
            return true;
        }
        if (strcmp(argv[i], "-V") == 0) {
            printf("%s\n", VERSION);
            return true;
        }
    }
    return false;
}

// Blocks SIGTERM and SIGCHLD into a new signal descriptor, ignores SIGHUP and
// moves to "/". Returns the descriptor (-1 if signalfd failed).
static int arrange_signals()
{
    sigset_t routed;
    sigemptyset(&routed);
    sigaddset(&routed, SIGTERM);
    sigaddset(&routed, SIGCHLD);
    sigprocmask(SIG_BLOCK, &routed, nullptr);
    int signal_fd = signalfd(-1, &routed, 0);

    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ignore.sa_flags = 0;
    sigaction(SIGHUP, &ignore, nullptr);

    if (chdir("/") != 0) {
        // Not fatal: relative settings then resolve against the old directory.
    }
    return signal_fd;
}

int main(int argc, char** argv)
{
    ptree config;
    if (answer_version_option(argc, argv))
        return 0;
    std::string const config_dir = argc > 1 ? argv[1] : DEFAULT_CONFIG_DIRECTORY;

    config = load_config(config_dir);
    if (!parent_is_auditd(stderr, "/proc/"))
        return 1;

    std::string const log_path = config.get_child("log_directory").get_value<std::string>() + "/realtime.log";
    open_log(log_path.c_str());
    int signal_fd = arrange_signals();

    log("---");
    log("Real-time scanning plugin started");
    confine_event_loop = true;
    // The events are this host's own: names relative to a folder
    // descriptor can be looked up in the running processes.
    resolve_live_names = true;
    int result = event_loop(config, 0, signal_fd);
    log("Real-time scanning plugin shutting down");

    close(signal_fd);
    close_log();
    return result;
}
