// The ntsim command: makes, runs, boots and inspects simulated NT machines.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"

static std::vector<NtsimCommand>& Commands() {
    static std::vector<NtsimCommand> commands;
    return commands;
}

NtsimCommandRegistrar::NtsimCommandRegistrar(const NtsimCommand& command) { Commands().push_back(command); }

static void Usage(FILE* out) {
    fprintf(out, "usage:\n");
    for (const auto& c : Commands()) fprintf(out, "  ntsim %s\n", c.usage);
}

int main(int argc, char** argv) {
    if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
        Usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const auto& c : Commands())
        if (!strcmp(c.name, argv[1])) return c.run(std::vector<std::string>(argv + 2, argv + argc));
    fprintf(stderr, "ntsim: unknown command '%s'\n", argv[1]);
    Usage(stderr);
    return 2;
}
