// ntsim reg DIR export KEY: prints a key tree of the machine as text.
#include <cstdio>

#include "command.h"
#include "ntsim/security/access.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/boot.h"

static int Reg(const std::vector<std::string>& args) {
    if (args.size() != 3 || args[1] != "export") {
        fprintf(stderr, "usage: ntsim reg DIR export KEY\n");
        return 2;
    }
    std::string error;
    // As the logged-on user, so that the user's hive is mounted too; reading goes through
    // SystemAccessScope since the SAM and SECURITY trees are closed even to administrators.
    if (!ntsim::ProcessAttach(args[0], "", false, &error)) {
        fprintf(stderr, "ntsim reg: %s\n", error.c_str());
        return 1;
    }
    std::string text;
    uint32_t err;
    std::vector<std::string> damaged;
    {
        ntsim::SystemAccessScope system;
        err = ntsim::RegistryExportText(args[2], &text);
        damaged = ntsim::RegistryDamagedHives();
    }
    ntsim::ProcessDetach();
    // A damaged hive file is named, whatever was asked for: its keys are simply missing.
    for (const std::string& hive : damaged) fprintf(stderr, "ntsim reg: damaged hive file %s\n", hive.c_str());
    if (err != 0) {
        fprintf(stderr, "ntsim reg: cannot export %s (error %u)\n", args[2].c_str(), err);
        return 1;
    }
    fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

NTSIM_COMMAND(g_reg, "reg", "reg DIR export KEY           print a key tree as text", Reg);
