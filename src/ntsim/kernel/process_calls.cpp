// CreateProcessA, GetExitCodeProcess, ExitProcess and GetCommandLineA over the
// machine's processes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "nt/win32.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/handles.h"
#include "ntsim/kernel/paths.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/processes.h"
#include "ntsim/kernel/threads.h"

using namespace ntsim;

namespace {

struct ProcessObject : KernelObject {
    pid_t pid = 0;
    ntsim::SimMutex lock;
    bool ended = false;
    uint32_t exitCode = STILL_ACTIVE;
    const char* Kind() const override { return "Process"; }
    uint32_t Wait(uint32_t timeoutMs) override {
        std::lock_guard<ntsim::SimMutex> guard(lock);
        if (!ended) {
            uint32_t code = 0;
            if (!ProcessWaitExit(pid, timeoutMs, &code)) return WAIT_TIMEOUT;
            ended = true;
            exitCode = code;
        }
        return WAIT_OBJECT_0;
    }
};

// The initial thread of a started process: waiting on it waits for the process.
struct ProcessThreadObject : KernelObject {
    std::shared_ptr<ProcessObject> process;
    const char* Kind() const override { return "Thread"; }
    uint32_t Wait(uint32_t timeoutMs) override { return process->Wait(timeoutMs); }
};

std::string g_commandLine;
std::once_flag g_commandLineOnce;

}  // namespace

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL, DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
    std::string name = lpApplicationName ? lpApplicationName : "";
    if (FaultFails("CreateProcessA", name.empty() && lpCommandLine ? lpCommandLine : name)) return FALSE;
    if (!ProcessAttached() || !lpStartupInfo || !lpProcessInformation || (name.empty() && !lpCommandLine))
        return Fail(ERROR_INVALID_PARAMETER);
    // Other environments, directories and creation flags are not simulated.
    (void)dwCreationFlags, (void)lpEnvironment, (void)lpCurrentDirectory;
    std::string commandLine = lpCommandLine ? lpCommandLine : "";
    std::string host;
    uint32_t err = name.empty() ? CommandLineProgram(commandLine, &name) : ProgramHostPath(name, &host);
    if (err == ERROR_SUCCESS && host.empty()) err = ProgramHostPath(name, &host);
    if (err != ERROR_SUCCESS) return Fail(err);
    Process& me = CurrentProcess();
    LaunchRequest request;
    request.machineDir = me.machineDir;
    request.image = FullWindowsPath(name);
    request.commandLine = lpCommandLine ? commandLine : "\"" + request.image + "\"";
    // A child runs as its parent's account, on its parent's window station.
    request.user = me.user;
    request.service = me.service;
    pid_t pid = 0;
    err = ProcessLaunch(request, &pid);
    if (err != ERROR_SUCCESS) return Fail(err);
    auto process = std::make_shared<ProcessObject>();
    process->pid = pid;
    auto thread = std::make_shared<ProcessThreadObject>();
    thread->process = process;
    lpProcessInformation->hProcess = HandleCreate(process);
    lpProcessInformation->hThread = HandleCreate(thread);
    lpProcessInformation->dwProcessId = (DWORD)pid;
    lpProcessInformation->dwThreadId = (DWORD)pid;
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    auto process = HandleGetAs<ProcessObject>(hProcess);
    if (!process || !lpExitCode) return Fail(process ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    *lpExitCode = process->Wait(0) == WAIT_OBJECT_0 ? process->exitCode : STILL_ACTIVE;
    return TRUE;
}

VOID ExitProcess(UINT uExitCode) {
    // The exit hooks write the hives and take the process out of the machine's table.
    ProcessDetach();
    fflush(nullptr);
    _exit((int)uExitCode);
}

LPSTR GetCommandLineA(VOID) {
    std::call_once(g_commandLineOnce, [] {
        if (ProcessAttached()) g_commandLine = CurrentProcess().commandLine;
    });
    return g_commandLine.data();
}
