// ntsim events DIR: prints the machine's event log (the Application and System logs), oldest first.
#include <cstdio>

#include "command.h"
#include "ntsim/services/event_log.h"

static int Events(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        fprintf(stderr, "usage: ntsim events DIR\n");
        return 2;
    }
    for (const auto& e : ntsim::EventLogRead(args[0])) printf("%s\n", ntsim::EventLogFormat(e).c_str());
    return 0;
}

NTSIM_COMMAND(g_events, "events", "events DIR                   print the machine's event log", Events);
