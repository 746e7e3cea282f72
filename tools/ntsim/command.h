// ntsim subcommands register themselves here: one file per command.
#pragma once
#include <string>
#include <vector>

struct NtsimCommand {
    const char* name;
    const char* usage;  // one line, after "ntsim "
    int (*run)(const std::vector<std::string>& args);  // args after the command name; returns exit code
};

struct NtsimCommandRegistrar {
    explicit NtsimCommandRegistrar(const NtsimCommand& command);
};

#define NTSIM_COMMAND(var, name, usage, fn) static NtsimCommandRegistrar var(NtsimCommand{name, usage, fn})
