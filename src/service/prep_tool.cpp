// The system preparation tool integration.
#include "service/prep_tool.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/output.h"

const char* const kPrepToolService = "PSysDup2";

namespace {

const DWORD kConfigBufferSize = 8192;

}  // namespace

int IsPrepToolPending() {
    // The manager may not answer yet at boot.
    time_t deadline = time(nullptr) + (serviceMode ? 30 : 5);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    while (!manager && time(nullptr) < deadline) {
        Sleep(500);
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    }
    if (!manager) return 0;
    SC_HANDLE service = OpenServiceA(manager, kPrepToolService, SERVICE_ALL_ACCESS);
    if (!service) {
        CloseServiceHandle(manager);
        return 0;
    }
    int pending = 1;
    auto* config = (LPQUERY_SERVICE_CONFIGA)LocalAlloc(LPTR, kConfigBufferSize);
    DWORD needed = 0;
    // The stored text is tested as it stands, quotes and arguments included.
    if (config && QueryServiceConfigA(service, config, kConfigBufferSize, &needed) && config->lpBinaryPathName &&
        config->lpBinaryPathName[0] && GetFileAttributesA(config->lpBinaryPathName) == INVALID_FILE_ATTRIBUTES) {
        LogLine("Removing SysPrep service entry since binary file was removed", logStream);
        DeleteService(service);
        pending = 0;
    }
    if (config) LocalFree(config);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return pending;
}

int WaitForPrepTool() {
    time_t deadline = time(nullptr) + (serviceMode ? 600 : 5);
    while (IsPrepToolPending() && time(nullptr) < deadline) Sleep(1000);
    if (!IsPrepToolPending()) return 0;
    ShowAppMessage(nullptr,
                   "Microsoft System Preparation Tool is currently installed.\n\nTessiv cannot run until this tool has "
                   "completed and removed itself.",
                   MB_ICONERROR);
    return -1;
}

void RemovePrepToolPassword() {
    char path[MAX_PATH + 16];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    strcat(path, "\\$nt4pre$.inf");
    WritePrivateProfileStringA("NT4Preinstall", "AdminPassword", nullptr, path);
}
