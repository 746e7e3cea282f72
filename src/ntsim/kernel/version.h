// The simulated Windows version, read as NT keeps it: SOFTWARE\Microsoft\Windows
// NT\CurrentVersion ("CurrentVersion" "4.0", "CurrentBuildNumber", "CSDVersion").
// machine.conf "[machine] platform = N" may name another platform id (default 2, NT).
#pragma once
#include <cstdint>
#include <string>

namespace ntsim {

struct WindowsVersion {
    uint32_t platform = 2;  // VER_PLATFORM_WIN32_NT
    uint32_t major = 4;
    uint32_t minor = 0;
    uint32_t build = 1381;
    std::string csd;        // "Service Pack 6"
};

// ERROR_SUCCESS with the version, or the registry's error when it cannot be read.
uint32_t SimulatedVersion(WindowsVersion* version);

// True when the simulated version is at least major.minor.
bool VersionAtLeast(uint32_t major, uint32_t minor);

}  // namespace ntsim
