// The file operations NT carries out at boot: the renames and deletions that
// MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT recorded in the registry.
#pragma once
#include <cstdint>
#include <string>

namespace ntsim {

// Carries out SYSTEM\CurrentControlSet\Control\Session Manager\PendingFileRenameOperations
// of the machine in machineDir, in order, as the session manager does at boot: an
// operation that cannot be done is passed over; the value is deleted afterwards. Uses the
// attached process when it belongs to that machine, otherwise attaches as LocalSystem for
// the duration. ERROR_SUCCESS (also when nothing is pending), or the registry's error.
uint32_t ApplyPendingFileOperations(const std::string& machineDir);

}  // namespace ntsim
