// The hive files of a freshly installed system for a machine preset.
#pragma once
#include <cstdint>
#include <string>

#include "ntsim/kernel/conf.h"
#include "ntsim/machine/machine.h"

namespace ntsim {

// Writes SAM, SECURITY, SOFTWARE, SYSTEM, DEFAULT and the profiles' ntuser.dat below
// dir/drives/c/WINNT, and adds what the hives imply to conf ([machine] name, version,
// role; [domain NAME]). ERROR_SUCCESS or an error code with *error saying why.
uint32_t MachineWriteHives(const std::string& dir, const MachineOptions& options, Conf* conf, std::string* error);

}  // namespace ntsim
