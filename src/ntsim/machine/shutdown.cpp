// The machine's shutdown and restart requests.
#include "ntsim/machine/shutdown.h"

#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/processes.h"
#include "ntsim/registry/boot.h"
#include "ntsim/security/access.h"
#include "ntsim/services/event_log.h"
#include "ntsim/user/operator.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {

std::mutex g_mutex;
std::condition_variable g_cancelled;
bool g_inProgress = false;
unsigned g_generation = 0;
std::function<void(unsigned)> g_end;

void DefaultEnd(unsigned exitCode) {
    ProcessDetach();
    fflush(nullptr);
    _exit((int)exitCode);
}

void Record(const std::string& what) {
    EventEntry e;
    e.log = "System";
    e.type = "Information";
    e.source = "ntsim";
    e.eventId = 1074;
    e.strings = {what};
    EventLogAppend(e);
    TranscriptAdd("shutdown: " + what);
}

// The shutdown itself: the hives are written, every other process of the machine ends,
// then this one.
void ShutDownNow() {
    std::function<void(unsigned)> end;
    {
        CriticalSection critical;
        std::lock_guard<std::mutex> lock(g_mutex);
        end = g_end ? g_end : DefaultEnd;
    }
    if (ProcessAttached()) {
        RegistryShutdown();
        EndMachineProcesses(CurrentProcess().machineDir, 0);
    }
    end(0);
}

bool Begin(uint32_t* error) {
    CriticalSection critical;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_inProgress) {
        *error = ERROR_SHUTDOWN_IN_PROGRESS;
        return false;
    }
    g_inProgress = true;
    return true;
}

// After the given delay (the countdown of the shutdown dialog) the machine goes down,
// unless the process has ended by itself before.
void ShutDownAfter(uint32_t seconds) {
    unsigned generation;
    {
        CriticalSection critical;
        std::lock_guard<std::mutex> lock(g_mutex);
        generation = g_generation;
    }
    std::thread([seconds, generation] {
        std::unique_lock<std::mutex> lock(g_mutex);
        if (g_cancelled.wait_for(lock, std::chrono::seconds(seconds), [&] { return g_generation != generation; }))
            return;
        lock.unlock();
        ShutDownNow();
    }).detach();
}

}  // namespace

void SetShutdownProcessEnd(std::function<void(unsigned)> end) {
    CriticalSection critical;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_end = std::move(end);
}

void ShutdownReset() {
    CriticalSection critical;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_inProgress = false;
    ++g_generation;
    g_cancelled.notify_all();
}

NTSTATUS NtShutdownSystem(int action) {
    uint32_t fault = 0;
    if (FaultHit("NtShutdownSystem", "", &fault)) return (NTSTATUS)0xC0000001L;  // STATUS_UNSUCCESSFUL
    if (action < 0 || action > 2) return STATUS_INVALID_PARAMETER;
    if (!PrivilegeEnabled(SE_SHUTDOWN_NAME)) return (NTSTATUS)0xC0000061L;  // STATUS_PRIVILEGE_NOT_HELD
    uint32_t error = 0;
    if (!Begin(&error)) return (NTSTATUS)0xC000004AL;  // a shutdown is already under way
    static const char* const kActions[] = {"shut down", "restart", "power off"};
    Record(std::string("NtShutdownSystem: ") + kActions[action] + " at once");
    // No application is asked anything: the machine goes down now.
    ShutDownNow();
    return STATUS_SUCCESS;
}

}  // namespace ntsim

using namespace ntsim;

// Both shutdown calls need the shutdown privilege and no shutdown under way; the last
// error says which was missing.
static bool MayBeginShutdown() {
    uint32_t error = 0;
    if (!PrivilegeEnabled(SE_SHUTDOWN_NAME)) return Fail(ERROR_PRIVILEGE_NOT_HELD, false);
    if (!Begin(&error)) return Fail(error, false);
    return true;
}

BOOL InitiateSystemShutdownA(LPSTR lpMachineName, LPSTR lpMessage, DWORD dwTimeout, BOOL bForceAppsClosed,
                             BOOL bRebootAfterShutdown) {
    if (FaultFails("InitiateSystemShutdownA", "")) return FALSE;
    if (!ProcessAttached()) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (lpMachineName && *lpMachineName) {
        std::string name = lpMachineName;
        if (name.rfind("\\\\", 0) == 0) name = name.substr(2);
        if (strcasecmp(name.c_str(), ProcessGetEnv("COMPUTERNAME").c_str()) != 0) return Fail(RPC_S_SERVER_UNAVAILABLE);
    }
    if (!MayBeginShutdown()) return FALSE;
    Record(std::string("InitiateSystemShutdownA: ") + (bRebootAfterShutdown ? "restart" : "shut down") + " in " +
           std::to_string(dwTimeout) + " s, applications " + (bForceAppsClosed ? "forced closed" : "asked to close") +
           ", message \"" + (lpMessage ? lpMessage : "") + "\"");
    // A process that ends by itself first takes the countdown with it, and its exit
    // does not wait for it.
    AtProcessExit(5, [] { ShutdownReset(); });
    ShutDownAfter(dwTimeout);
    return TRUE;
}

BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    (void)dwReason;
    if (FaultFails("ExitWindowsEx", "")) return FALSE;
    if (!ProcessAttached()) return Fail(ERROR_INVALID_PARAMETER);
    UINT action = uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF);
    if (action == EWX_LOGOFF) {
        Record(std::string("ExitWindowsEx: log off") + (uFlags & EWX_FORCE ? ", forced" : ""));
        return TRUE;
    }
    if (!MayBeginShutdown()) return FALSE;
    Record(std::string("ExitWindowsEx: ") + (action & EWX_REBOOT ? "restart" : action & EWX_POWEROFF ? "power off" : "shut down") +
           (uFlags & EWX_FORCE ? ", applications forced closed" : ""));
    // The call returns at once; the shutdown follows.
    ShutDownAfter(0);
    return TRUE;
}
