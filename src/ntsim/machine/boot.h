// Restarting a simulated machine: what NT does between a shutdown and the first logon.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ntsim {

// Boots the machine in dir: the hive replacements RegReplaceKeyA recorded take
// effect first (the kernel loads the new hives), then the session manager carries
// out the pending file renames and deletions from the new SYSTEM hive, and the
// computer name given since the last boot becomes the active one; then the service
// control manager starts the auto-start services that are installed host programs and the
// boot waits for them to end (at most serviceTimeoutMs each boot), one line each in *report.
// Processes still running from before are ended first. ERROR_SUCCESS or the first error,
// with *error saying which step failed.
uint32_t MachineBoot(const std::string& dir, std::string* error, std::vector<std::string>* report = nullptr,
                     uint32_t serviceTimeoutMs = 600000);

}  // namespace ntsim
