// The boot sequence of a simulated machine.
#include "ntsim/machine/boot.h"

#include <cstdlib>

#include "ntsim/files/boot.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/registry/computer_name.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/processes.h"
#include "ntsim/registry/boot.h"
#include "ntsim/services/services.h"

namespace ntsim {

namespace {
// A power loss while the boot swaps the hives: the [fault] rules of machine.conf for "BootHiveSwap".
void LoadBootFaults(const std::string& dir) {
    Conf conf;
    std::string ignored;
    if (!ConfLoad(dir + "/machine.conf", &conf, &ignored)) return;
    for (const ConfSection* s : conf.All("fault")) {
        if (s->Get("function") != "BootHiveSwap") continue;
        FaultRule r;
        r.function = "BootHiveSwap";
        r.nth = strtol(s->Get("nth", "0").c_str(), nullptr, 0);
        r.pattern = s->Get("path", "");
        r.kill = true;
        FaultAdd(r);
    }
}
}  // namespace

uint32_t MachineBoot(const std::string& dir, std::string* error, std::vector<std::string>* report,
                     uint32_t serviceTimeoutMs) {
    // A process of the old boot must not carry its registry into the new one.
    if (ProcessAttached() && CurrentProcess().machineDir == dir) ProcessDetach();
    // The restart ends what still runs of the old boot (a little time to end by itself first).
    EndMachineProcesses(dir, 20000);
    LoadBootFaults(dir);
    uint32_t rc = ApplyPendingHiveReplacements(dir);
    if (rc != 0) {
        *error = "applying the pending hive replacements failed with error " + std::to_string(rc);
        return rc;
    }
    rc = ApplyPendingFileOperations(dir);
    if (rc != 0) {
        *error = "carrying out the pending file operations failed with error " + std::to_string(rc);
        return rc;
    }
    rc = ActivateComputerName(dir);
    if (rc != 0) {
        *error = "making the new computer name active failed with error " + std::to_string(rc);
        return rc;
    }
    rc = StartAutoStartServices(dir, serviceTimeoutMs, report);
    if (rc != 0) {
        *error = "starting the services failed with error " + std::to_string(rc);
        return rc;
    }
    return 0;
}

}  // namespace ntsim
