// Event objects: CreateEventA, SetEvent, ResetEvent, and their wait through the handle
// table. Named events are not shared between processes here.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/handles.h"
#include "ntsim/kernel/threads.h"

using namespace ntsim;

namespace {

struct EventObject : KernelObject {
    std::mutex lock;
    std::condition_variable changed;
    bool manualReset = false;
    bool signalled = false;
    const char* Kind() const override { return "Event"; }
    uint32_t Wait(uint32_t timeoutMs) override {
        CriticalSection critical;
        std::unique_lock<std::mutex> guard(lock);
        auto ready = [this] { return signalled; };
        if (!WaitUntil(changed, guard, timeoutMs, ready)) return WAIT_TIMEOUT;
        if (!manualReset) signalled = false;  // an auto-reset event releases one waiter
        return WAIT_OBJECT_0;
    }
};

std::shared_ptr<EventObject> EventFor(HANDLE h) {
    auto e = HandleGetAs<EventObject>(h);
    if (!e) SetLastError(ERROR_INVALID_HANDLE);
    return e;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    if (FaultFails("CreateEventA", lpName ? lpName : "")) return nullptr;
    auto e = std::make_shared<EventObject>();
    e->manualReset = bManualReset != FALSE;
    e->signalled = bInitialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return HandleCreate(e);
}

BOOL SetEvent(HANDLE hEvent) {
    auto e = EventFor(hEvent);
    if (!e) return FALSE;
    CriticalSection critical;
    std::lock_guard<std::mutex> guard(e->lock);
    e->signalled = true;
    if (e->manualReset)
        e->changed.notify_all();
    else
        e->changed.notify_one();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto e = EventFor(hEvent);
    if (!e) return FALSE;
    CriticalSection critical;
    std::lock_guard<std::mutex> guard(e->lock);
    e->signalled = false;
    return TRUE;
}
