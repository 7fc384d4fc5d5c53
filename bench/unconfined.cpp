// velkoran-replay's event loop left unconfined, for the benchmark: the same
// configuration, loop and agent as the replay tool, so that the two differ
// in the confinement alone.
#include <string>

#include "frame/config.h"
#include "intake/event_loop.h"

// Replays standard input to the agent configured in CONFDIR/velkoran.ini.
int main(int argc, char** argv)
{
    ptree const config = load_config(argc > 1 ? argv[1] : DEFAULT_CONFIG_DIRECTORY);
    return event_loop(config, 0, -1);
}
