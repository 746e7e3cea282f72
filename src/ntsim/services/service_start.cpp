// The manager at boot: entries marked for deletion are dropped, then the auto-start
// own-process services whose program is an installed host program are started and
// waited for.
#include <signal.h>
#include <strings.h>

#include <chrono>

#include "nt/win32.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/processes.h"
#include "ntsim/security/access.h"
#include "ntsim/services/services.h"

namespace ntsim {

namespace {

struct AutoStart {
    std::string name;
    std::string commandLine;  // ImagePath with the environment expanded
    std::string image;
    std::string account;
};

std::vector<AutoStart> FindAutoStartServices() {
    std::vector<AutoStart> out;
    SystemAccessScope scope;
    HKEY services;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, &services) != ERROR_SUCCESS) return out;
    char name[260];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(services, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY key;
        if (RegOpenKeyExA(services, name, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        DWORD type = 0, start = 0, deleteFlag = 0, vtype = 0, dsize = 4;
        RegQueryValueExA(key, "Type", nullptr, &vtype, (LPBYTE)&type, &dsize);
        dsize = 4;
        RegQueryValueExA(key, "Start", nullptr, &vtype, (LPBYTE)&start, &dsize);
        dsize = 4;
        RegQueryValueExA(key, "DeleteFlag", nullptr, &vtype, (LPBYTE)&deleteFlag, &dsize);
        char image[1024] = "", account[260] = "", expanded[1024] = "";
        DWORD isize = sizeof image - 1, asize = sizeof account - 1;
        RegQueryValueExA(key, "ImagePath", nullptr, &vtype, (LPBYTE)image, &isize);
        RegQueryValueExA(key, "ObjectName", nullptr, &vtype, (LPBYTE)account, &asize);
        RegCloseKey(key);
        if (start != SERVICE_AUTO_START || !(type & SERVICE_WIN32_OWN_PROCESS) || deleteFlag) continue;
        ExpandEnvironmentStringsA(image, expanded, sizeof expanded);
        AutoStart s{name, expanded, "", account};
        // Services of the system's own programs (services.exe, lsass.exe) are not host programs.
        if (CommandLineProgram(s.commandLine, &s.image) == ERROR_SUCCESS) out.push_back(s);
    }
    RegCloseKey(services);
    return out;
}

}  // namespace

uint32_t StartAutoStartServices(const std::string& machineDir, uint32_t timeoutMs, std::vector<std::string>* report) {
    std::string error;
    if (!ProcessAttach(machineDir, "SYSTEM", true, &error)) return ERROR_PATH_NOT_FOUND;
    ServicesRemoveAllMarked();
    std::vector<AutoStart> found = FindAutoStartServices();
    // The manager's registry work is written before any service reads the hives.
    ProcessDetach();
    if (!ProcessAttach(machineDir, "SYSTEM", true, &error)) return ERROR_PATH_NOT_FOUND;

    struct Started {
        std::string name;
        pid_t pid;
    };
    std::vector<Started> started;
    for (const auto& s : found) {
        LaunchRequest r;
        r.machineDir = machineDir;
        r.image = s.image;
        r.commandLine = s.commandLine;
        r.service = true;
        r.serviceName = s.name;
        // LocalSystem, or the account named as ".\name" or "DOMAIN\name".
        std::string account = s.account;
        size_t slash = account.find('\\');
        r.user = account.empty() || strcasecmp(account.c_str(), "LocalSystem") == 0
                     ? "SYSTEM"
                     : (slash == std::string::npos ? account : account.substr(slash + 1));
        pid_t pid = 0;
        uint32_t err = ProcessLaunch(r, &pid);
        if (err != ERROR_SUCCESS) {
            if (report) report->push_back("service " + s.name + " could not start: error " + std::to_string(err));
            continue;
        }
        ServiceRuntime runtime;
        runtime.pid = pid;
        runtime.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        runtime.status.dwCurrentState = SERVICE_START_PENDING;
        ServiceRuntimeWrite(machineDir, s.name, runtime);
        if (report) report->push_back("service " + s.name + " started: " + s.commandLine);
        started.push_back({s.name, pid});
    }
    ProcessDetach();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (const auto& s : started) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        uint32_t code = 0;
        if (!ProcessWaitExit(s.pid, left.count() > 0 ? (uint32_t)left.count() : 0, &code)) {
            kill(s.pid, SIGKILL);
            ProcessWaitExit(s.pid, INFINITE, &code);
            if (report) report->push_back("service " + s.name + " did not end in time: killed");
        } else if (report) {
            report->push_back("service " + s.name + " ended with exit code " + std::to_string((int)code));
        }
        ServiceRuntime runtime = ServiceRuntimeRead(machineDir, s.name);
        runtime.status.dwCurrentState = SERVICE_STOPPED;
        ServiceRuntimeWrite(machineDir, s.name, runtime);
    }
    // Entries the services deleted while they ran go now that they have stopped.
    if (!started.empty() && ProcessAttach(machineDir, "SYSTEM", true, &error)) {
        ServicesRemoveAllMarked();
        ProcessDetach();
    }
    return ERROR_SUCCESS;
}

}  // namespace ntsim
