// Handle table: small integers (multiples of 4, as NT's) mapped to shared objects.
#include "ntsim/kernel/handles.h"

#include <vector>
#include <mutex>
#include "ntsim/kernel/threads.h"
#include "ntsim/kernel/fail.h"

using ntsim::Fail;

namespace ntsim {

namespace {
ntsim::SimMutex g_mutex;
uintptr_t g_next = 0x100;

// The table: handles are made in steps of four, so a handle's number over four is where it
// belongs (a power-of-two table, open addressing); a slot taken by another handle sends it
// on to the next. Every call on a handle looks it up.
struct Slot {
    uintptr_t handle = 0;  // 0: empty
    std::shared_ptr<KernelObject> object;
};
std::vector<Slot> g_slots;  // made at the first handle
size_t g_count = 0;

size_t Home(uintptr_t handle) { return (size_t)(handle >> 2) & (g_slots.size() - 1); }

// The slot of handle, or the size of the table when it is not there.
size_t Find(uintptr_t handle) {
    if (g_slots.empty() || !handle) return g_slots.size();
    size_t mask = g_slots.size() - 1;
    for (size_t i = Home(handle);; i = (i + 1) & mask) {
        if (g_slots[i].handle == handle) return i;
        if (!g_slots[i].handle) return g_slots.size();
    }
}

void Place(Slot&& slot) {
    size_t mask = g_slots.size() - 1;
    size_t i = Home(slot.handle);
    while (g_slots[i].handle) i = (i + 1) & mask;
    g_slots[i] = std::move(slot);
}

// Empties slot i and moves back the handles after it that the gap would hide.
void Remove(size_t i) {
    size_t mask = g_slots.size() - 1;
    for (size_t j = (i + 1) & mask; g_slots[j].handle; j = (j + 1) & mask) {
        size_t home = Home(g_slots[j].handle);
        // The handle in j stays unless its home lies outside the cyclic range (i, j].
        bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (!stays) {
            g_slots[i] = std::move(g_slots[j]);
            i = j;
        }
    }
    g_slots[i] = Slot();
}
}  // namespace

uint32_t KernelObject::Wait(uint32_t) {
    return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
}

HANDLE HandleCreate(std::shared_ptr<KernelObject> object) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    uintptr_t h = g_next;
    g_next += 4;
    if ((g_count + 1) * 2 > g_slots.size()) {
        std::vector<Slot> old(g_slots.empty() ? 64 : g_slots.size() * 2);
        old.swap(g_slots);
        for (Slot& slot : old)
            if (slot.handle) Place(std::move(slot));
    }
    Place(Slot{h, std::move(object)});
    ++g_count;
    return (HANDLE)h;
}

std::shared_ptr<KernelObject> HandleGet(HANDLE handle) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    size_t i = Find((uintptr_t)handle);
    return i == g_slots.size() ? nullptr : g_slots[i].object;
}

bool HandleLook(HANDLE handle, void (*look)(KernelObject* object, void* context), void* context) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    size_t i = Find((uintptr_t)handle);
    if (i == g_slots.size()) return false;
    look(g_slots[i].object.get(), context);
    return true;
}

bool HandleClose(HANDLE handle) {
    std::shared_ptr<KernelObject> dying;  // destroyed outside the lock
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    size_t i = Find((uintptr_t)handle);
    if (i == g_slots.size()) return false;
    dying = std::move(g_slots[i].object);
    Remove(i);
    --g_count;
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
