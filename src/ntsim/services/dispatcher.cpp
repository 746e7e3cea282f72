// The service side of the manager: StartServiceCtrlDispatcherA, RegisterServiceCtrlHandlerA
// and SetServiceStatus. A process that the manager started as a service connects here; its
// service main function runs on a thread of its own, and control requests reach the
// registered handler on the dispatcher's thread, as NT delivers them.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "nt/win32.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/process.h"
#include "ntsim/services/services.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {

ntsim::SimMutex g_mutex;
std::string g_startedAs;
bool g_startedAsKnown = false;
bool g_dispatching = false;
LPHANDLER_FUNCTION g_handler = nullptr;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
std::atomic<bool> g_stopped{false};
std::vector<SERVICE_STATUS> g_history;
std::atomic<uintptr_t> g_nextHandle{0x5c100};
// The last service main thread's end, shared with that thread (it may outlive the dispatcher).
std::shared_ptr<std::atomic<bool>> g_mainEnded = std::make_shared<std::atomic<bool>>(true);

}  // namespace

std::string ServiceStartedAs() {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    if (!g_startedAsKnown) {
        const char* name = getenv("NTSIM_SERVICE_NAME");
        g_startedAs = name ? name : "";
        g_startedAsKnown = true;
    }
    return g_startedAs;
}

void ServiceSetStartedAs(const std::string& name) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    g_startedAs = name;
    g_startedAsKnown = true;
    g_dispatching = false;
    g_handler = nullptr;
    g_statusHandle = nullptr;
    g_stopped = false;
}

bool ServiceMainWaitEnd(unsigned milliseconds) {
    std::shared_ptr<std::atomic<bool>> ended;
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        ended = g_mainEnded;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!*ended) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::vector<SERVICE_STATUS> ServiceStatusHistory() {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    return g_history;
}

void ServiceStatusHistoryClear() {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    g_history.clear();
}

}  // namespace ntsim

using namespace ntsim;

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
    if (FaultFails("StartServiceCtrlDispatcherA", "")) return FALSE;
    if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceName || !lpServiceStartTable[0].lpServiceProc)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string name = ServiceStartedAs();
    if (name.empty() || !ProcessAttached()) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        if (g_dispatching) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
        g_dispatching = true;
        g_stopped = false;
    }
    std::string dir = CurrentProcess().machineDir;
    ServiceRuntime runtime;
    runtime.pid = getpid();
    runtime.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    runtime.status.dwCurrentState = SERVICE_START_PENDING;
    ServiceRuntimeWrite(dir, name, runtime);
    // An own-process service runs the first entry of the table, whatever its name.
    LPSERVICE_MAIN_FUNCTIONA main = lpServiceStartTable[0].lpServiceProc;
    // Shared with the service main thread, which may outlive this call.
    auto mainEnded = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        g_mainEnded = mainEnded;
    }
    std::thread serviceMain([mainEnded, main, name] {
        std::string arg0 = name;
        LPSTR argv[2] = {arg0.data(), nullptr};
        main(1, argv);
        *mainEnded = true;
    });
    serviceMain.detach();
    for (;;) {
        uint32_t control = 0;
        if (ServiceTakeControl(dir, name, &control)) {
            LPHANDLER_FUNCTION handler;
            {
                std::lock_guard<ntsim::SimMutex> lock(g_mutex);
                handler = g_handler;
            }
            if (handler) handler(control);
        }
        if (g_stopped) break;
        // A service main function that ended without ever reaching the manager leaves nothing to wait for.
        bool noHandler;
        {
            std::lock_guard<ntsim::SimMutex> lock(g_mutex);
            noHandler = g_statusHandle == nullptr;
        }
        if (*mainEnded && noHandler) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    runtime = ServiceRuntimeRead(dir, name);
    runtime.status.dwCurrentState = SERVICE_STOPPED;
    runtime.status.dwControlsAccepted = 0;
    ServiceRuntimeWrite(dir, name, runtime);
    ServiceRemoveIfMarked(name);
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        g_dispatching = false;
    }
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc) {
    if (FaultFails("RegisterServiceCtrlHandlerA", lpServiceName ? lpServiceName : "")) return nullptr;
    if (!lpServiceName || !lpHandlerProc) return Fail(ERROR_INVALID_PARAMETER, nullptr);
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    if (!g_dispatching) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
    g_handler = lpHandlerProc;
    if (!g_statusHandle) g_statusHandle = (SERVICE_STATUS_HANDLE)(g_nextHandle += 8);
    return g_statusHandle;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
    if (FaultFails("SetServiceStatus", "")) return FALSE;
    std::string name;
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        if (!hServiceStatus || hServiceStatus != g_statusHandle) return Fail(ERROR_INVALID_HANDLE);
        name = g_startedAs;
    }
    if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS);
    DWORD state = lpServiceStatus->dwCurrentState;
    if (state < SERVICE_STOPPED || state > SERVICE_PAUSED || !(lpServiceStatus->dwServiceType & SERVICE_WIN32))
        return Fail(ERROR_INVALID_DATA);
    ServiceRuntime runtime;
    runtime.pid = getpid();
    runtime.status = *lpServiceStatus;
    if (ProcessAttached()) ServiceRuntimeWrite(CurrentProcess().machineDir, name, runtime);
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        g_history.push_back(*lpServiceStatus);
    }
    if (state == SERVICE_STOPPED) g_stopped = true;
    return TRUE;
}
