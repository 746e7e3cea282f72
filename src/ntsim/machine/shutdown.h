// Shutting the machine down: InitiateSystemShutdownA, ExitWindowsEx and NtShutdownSystem
// record the request in the System event log, write the hives and end the machine's
// processes, this one last.
#pragma once
#include <functional>

#include "nt/win32.h"

namespace ntsim {

NTSTATUS NtShutdownSystem(int action);

// How this process ends when the machine shuts down. The default detaches from the
// machine and exits; a test that runs the program in-process replaces it (and the calls
// then return as if the restart had not yet come).
void SetShutdownProcessEnd(std::function<void(unsigned exitCode)> end);
// Forgets a shutdown in progress (its delayed end of this process is cancelled).
void ShutdownReset();

}  // namespace ntsim
