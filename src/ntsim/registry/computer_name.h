// Computer names as NT keeps them: the name given by SetComputerNameA/ExA waits in
// SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName (and, for the DNS names,
// the Tcpip parameters "NV Hostname" and "NV Domain") until the next boot copies it to
// ComputerName\ActiveComputerName, which GetComputerNameA and the network read.
#pragma once
#include <cstdint>
#include <string>

namespace ntsim {

// A REG_SZ (or REG_EXPAND_SZ) value under HKEY_LOCAL_MACHINE, read with the system's
// access; empty, with *found false, when there is none.
std::string SystemText(const char* path, const char* name, bool* found = nullptr);

// The active computer name: ActiveComputerName, or, on a machine that has not been
// booted by ntsim since it was made, the name machine.conf recorded at creation.
std::string ActiveComputerName();

// The boot's part: the pending names become active (ActiveComputerName, the Tcpip
// "Hostname" and "Domain", the account domain name of a workstation or server, and
// machine.conf's [machine] name). Uses the attached process when it belongs to the
// machine, otherwise attaches as LocalSystem for the duration. ERROR_SUCCESS or the
// registry's error.
uint32_t ActivateComputerName(const std::string& machineDir);

}  // namespace ntsim
