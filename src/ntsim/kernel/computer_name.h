// Computer names as NT keeps them: the name given by SetComputerNameA/ExA waits in
// SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName (and, for the DNS names,
// the Tcpip parameters "NV Hostname" and "NV Domain") until the next boot copies it to
// ComputerName\ActiveComputerName, which GetComputerNameA and the network read.
#pragma once
#include <cstdint>
#include <string>

namespace ntsim {

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
