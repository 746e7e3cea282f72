// ntsim run DIR [--service] -- WINPATH [ARG...]: runs a program installed in the machine,
// as the logged-on user on the interactive desktop, or as LocalSystem on the service's
// window station; waits for it and returns its exit code.
#include <cstdio>
#include <cstring>

#include "command.h"
#include "ntsim/kernel/paths.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/processes.h"

static int Run(const std::vector<std::string>& args) {
    size_t dash = 0;
    while (dash < args.size() && args[dash] != "--") ++dash;
    bool service = false;
    for (size_t i = 1; i < dash; ++i) {
        if (args[i] == "--service") service = true;
        else dash = args.size();
    }
    if (args.empty() || dash + 1 >= args.size()) {
        fprintf(stderr, "usage: ntsim run DIR [--service] -- WINPATH [ARG...]\n");
        return 2;
    }
    std::string error;
    if (!ntsim::ProcessAttach(args[0], "", service, &error)) {
        fprintf(stderr, "ntsim run: %s\n", error.c_str());
        return 2;
    }
    ntsim::LaunchRequest r;
    r.machineDir = args[0];
    r.image = ntsim::FullWindowsPath(args[dash + 1]);
    r.user = ntsim::CurrentProcess().user;
    r.service = service;
    r.commandLine = "\"" + r.image + "\"";
    for (size_t i = dash + 2; i < args.size(); ++i)
        r.commandLine += " " + (args[i].find_first_of(" \t") != std::string::npos ? "\"" + args[i] + "\"" : args[i]);
    pid_t pid = 0;
    uint32_t err = ntsim::ProcessLaunch(r, &pid);
    ntsim::ProcessDetach();
    if (err != 0) {
        fprintf(stderr, "ntsim run: cannot start %s (error %u)\n", r.image.c_str(), err);
        return 2;
    }
    uint32_t code = 0;
    ntsim::ProcessWaitExit(pid, 0xFFFFFFFF, &code);
    return (int)code;
}

NTSIM_COMMAND(g_run, "run", "run DIR [--service] -- WINPATH [ARG...]   run a program in the machine", Run);
