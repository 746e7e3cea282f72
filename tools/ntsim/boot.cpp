// ntsim boot DIR: restarts the machine (pending hive replacements, pending file operations,
// then the auto-start services, waited for).
#include <cstdio>

#include "command.h"
#include "ntsim/machine/boot.h"

static int Boot(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        fprintf(stderr, "usage: ntsim boot DIR\n");
        return 2;
    }
    std::string error;
    std::vector<std::string> report;
    uint32_t rc = ntsim::MachineBoot(args[0], &error, &report);
    for (const auto& line : report) printf("%s\n", line.c_str());
    if (rc != 0) {
        fprintf(stderr, "ntsim boot: %s\n", error.c_str());
        return 1;
    }
    printf("booted %s\n", args[0].c_str());
    return 0;
}

NTSIM_COMMAND(g_boot, "boot", "boot DIR                     restart: pending hive and file operations, auto-start services", Boot);
