// Loadable modules of the simulated machine: each DLL's exports with the Windows
// version that introduced them, so GetProcAddress fails on a version that lacks one.
#pragma once
#include <cstdint>

#include "nt/win32.h"

namespace ntsim {

// Adds an export. A function missing before minMajor.minMinor is not found there.
// The built-in table (modules.cpp) holds NTDLL's native calls; other simulated
// subsystems add theirs before the program looks them up.
void ModuleAddExport(const char* dll, const char* name, FARPROC function, uint32_t minMajor = 3,
                     uint32_t minMinor = 51);

}  // namespace ntsim
