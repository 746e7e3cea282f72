// Mutex objects: CreateMutexA, ReleaseMutex, and their wait through the handle table.
// A mutex whose owning thread ends without releasing it becomes abandoned; the
// next wait gets it with WAIT_ABANDONED, as on NT.
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/handles.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {

struct MutexObject;

// The mutexes a thread owns, so that its end can mark them abandoned.
struct OwnedMutexes {
    std::vector<std::weak_ptr<MutexObject>> owned;
    ~OwnedMutexes();
};
thread_local OwnedMutexes t_owned;

struct MutexObject : KernelObject, std::enable_shared_from_this<MutexObject> {
    std::mutex lock;
    std::condition_variable released;
    std::thread::id owner;
    bool owned = false;
    unsigned recursion = 0;
    bool abandoned = false;

    const char* Kind() const override { return "Mutex"; }

    // Caller holds lock.
    void TakeLocked() {
        owned = true;
        owner = std::this_thread::get_id();
        recursion = 1;
        t_owned.owned.push_back(weak_from_this());
    }

    uint32_t Wait(uint32_t timeoutMs) override {
        CriticalSection critical;
        std::unique_lock<std::mutex> guard(lock);
        std::thread::id me = std::this_thread::get_id();
        if (owned && owner == me) {
            ++recursion;
            return WAIT_OBJECT_0;
        }
        auto free = [this] { return !owned; };
        if (!WaitUntil(released, guard, timeoutMs, free)) return WAIT_TIMEOUT;
        TakeLocked();
        if (abandoned) {
            abandoned = false;
            return WAIT_ABANDONED;
        }
        return WAIT_OBJECT_0;
    }

    void Abandon() {
        CriticalSection critical;
        std::lock_guard<std::mutex> guard(lock);
        if (!owned || owner != std::this_thread::get_id()) return;
        owned = false;
        recursion = 0;
        abandoned = true;
        released.notify_one();
    }
};

OwnedMutexes::~OwnedMutexes() {
    for (auto& weak : owned)
        if (auto m = weak.lock()) m->Abandon();
}

std::mutex g_namedMutex;
std::map<std::string, std::weak_ptr<MutexObject>> g_named;

}  // namespace

}  // namespace ntsim

using namespace ntsim;

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    if (FaultFails("CreateMutexA", lpName ? lpName : "")) return nullptr;
    std::shared_ptr<MutexObject> m;
    bool existed = false;
    if (lpName && *lpName) {
        std::lock_guard<std::mutex> guard(g_namedMutex);
        m = g_named[lpName].lock();
        existed = m != nullptr;
        if (!m) {
            m = std::make_shared<MutexObject>();
            g_named[lpName] = m;
        }
    } else {
        m = std::make_shared<MutexObject>();
    }
    if (bInitialOwner && !existed) {
        CriticalSection critical;
        std::lock_guard<std::mutex> guard(m->lock);
        m->TakeLocked();
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return HandleCreate(m);
}

BOOL ReleaseMutex(HANDLE hMutex) {
    auto m = HandleGetAs<MutexObject>(hMutex);
    if (!m) return Fail(ERROR_INVALID_HANDLE);
    CriticalSection critical;
    std::lock_guard<std::mutex> guard(m->lock);
    if (!m->owned || m->owner != std::this_thread::get_id()) return Fail(ERROR_NOT_OWNER);
    if (--m->recursion == 0) {
        m->owned = false;
        auto& list = t_owned.owned;
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].lock() == m) {
                list.erase(list.begin() + (long)i);
                break;
            }
        m->released.notify_one();
    }
    return TRUE;
}
