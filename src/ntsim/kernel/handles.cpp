// Handle table: small integers (multiples of 4, as NT's) mapped to shared objects.
#include "ntsim/kernel/handles.h"

#include <unordered_map>
#include <mutex>
#include "ntsim/kernel/threads.h"
#include "ntsim/kernel/fail.h"

using ntsim::Fail;

namespace ntsim {

namespace {
ntsim::SimMutex g_mutex;
std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> g_table;
uintptr_t g_next = 0x100;
}  // namespace

uint32_t KernelObject::Wait(uint32_t) {
    return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
}

HANDLE HandleCreate(std::shared_ptr<KernelObject> object) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    uintptr_t h = g_next;
    g_next += 4;
    g_table[h] = std::move(object);
    return (HANDLE)h;
}

std::shared_ptr<KernelObject> HandleGet(HANDLE handle) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    auto it = g_table.find((uintptr_t)handle);
    return it == g_table.end() ? nullptr : it->second;
}

bool HandleClose(HANDLE handle) {
    std::shared_ptr<KernelObject> dying;  // destroyed outside the lock
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    auto it = g_table.find((uintptr_t)handle);
    if (it == g_table.end()) return false;
    dying = std::move(it->second);
    g_table.erase(it);
    return true;
}

}  // namespace ntsim

BOOL CloseHandle(HANDLE hObject) {
    if (!ntsim::HandleClose(hObject)) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<ntsim::KernelObject> object = ntsim::HandleGet(hHandle);
    if (!object) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    return object->Wait(dwMilliseconds);
}
