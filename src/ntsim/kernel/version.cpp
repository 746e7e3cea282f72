// The simulated Windows version from SOFTWARE\Microsoft\Windows NT\CurrentVersion,
// and GetVersionExA over it.
#include "ntsim/kernel/version.h"

#include <cstdlib>
#include <cstring>

#include "nt/win32.h"
#include "ntsim/kernel/system_access.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/process.h"

using ntsim::Fail;

namespace ntsim {

namespace {

// One REG_SZ value of an open key as text, or empty.
std::string QueryText(HKEY key, const char* name) {
    char data[256];
    DWORD size = sizeof data - 1, type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)data, &size) != ERROR_SUCCESS || type != REG_SZ) return "";
    data[size < sizeof data ? size : sizeof data - 1] = 0;
    return data;
}

void ParseVersion(const std::string& text, WindowsVersion* v) {
    // "4.0", "3.51", "5.1": the minor part is read as written, so "4.10" gives 10.
    v->major = (uint32_t)strtoul(text.c_str(), nullptr, 10);
    size_t dot = text.find('.');
    v->minor = dot == std::string::npos ? 0 : (uint32_t)strtoul(text.c_str() + dot + 1, nullptr, 10);
}

}  // namespace

uint32_t SimulatedVersion(WindowsVersion* version) {
    WindowsVersion v;
    // [machine] may repeat; a later section's key wins. machine.conf's version stands
    // in only where the hive holds none.
    if (ProcessAttached())
        for (const ConfSection* machine : CurrentProcess().conf.All("machine")) {
            if (machine->Has("platform")) v.platform = (uint32_t)strtoul(machine->Get("platform").c_str(), nullptr, 0);
            if (machine->Has("version")) ParseVersion(machine->Get("version"), &v);
        }
    DWORD saved = GetLastError();
    uint32_t result = ERROR_SUCCESS;
    if (ProcessAttached()) {
        SystemAccessScope system;
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ, &key);
        if (rc == ERROR_SUCCESS) {
            std::string current = QueryText(key, "CurrentVersion");
            if (!current.empty()) ParseVersion(current, &v);
            std::string build = QueryText(key, "CurrentBuildNumber");
            if (!build.empty()) v.build = (uint32_t)strtoul(build.c_str(), nullptr, 10);
            v.csd = QueryText(key, "CSDVersion");
            RegCloseKey(key);
        } else if (rc != ERROR_FILE_NOT_FOUND) {
            result = (uint32_t)rc;
        }
    }
    SetLastError(saved);
    if (result == ERROR_SUCCESS && version) *version = v;
    return result;
}

bool VersionAtLeast(uint32_t major, uint32_t minor) {
    WindowsVersion v;
    if (SimulatedVersion(&v) != ERROR_SUCCESS) return true;
    return v.major > major || (v.major == major && v.minor >= minor);
}

}  // namespace ntsim

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (!lpVersionInformation) return Fail(ERROR_NOACCESS);
    // Only the 148-byte record is served here.
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (ntsim::FaultFails("GetVersionExA", "")) return FALSE;
    ntsim::WindowsVersion v;
    uint32_t err = ntsim::SimulatedVersion(&v);
    if (err != ERROR_SUCCESS) return Fail(err);
    lpVersionInformation->dwMajorVersion = v.major;
    lpVersionInformation->dwMinorVersion = v.minor;
    lpVersionInformation->dwBuildNumber = v.build;
    lpVersionInformation->dwPlatformId = v.platform;
    memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    strncpy(lpVersionInformation->szCSDVersion, v.csd.c_str(), sizeof lpVersionInformation->szCSDVersion - 1);
    return TRUE;
}
