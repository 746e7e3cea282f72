// Restarting a simulated machine: what NT does between a shutdown and the first logon.
#pragma once
#include <cstdint>
#include <string>

namespace ntsim {

// Boots the machine in dir: the hive replacements RegReplaceKeyA recorded take
// effect first (the kernel loads the new hives), then the session manager carries
// out the pending file renames and deletions from the new SYSTEM hive, and the
// computer name given since the last boot becomes the active one.
// ERROR_SUCCESS or the first error, with *error saying which step failed.
uint32_t MachineBoot(const std::string& dir, std::string* error);

}  // namespace ntsim
