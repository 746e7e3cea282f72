// The kernel handle table: tokens, threads, mutexes, find handles, modules and
// every other object a HANDLE names. CloseHandle releases through it.
#pragma once
#include <memory>
#include <typeinfo>

#include "nt/win32.h"

namespace ntsim {

struct KernelObject {
    virtual ~KernelObject() = default;
    virtual const char* Kind() const = 0;
    // WaitForSingleObject on this object: WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or
    // WAIT_FAILED (objects that cannot be waited on, with ERROR_INVALID_HANDLE).
    virtual uint32_t Wait(uint32_t timeoutMs);
};

HANDLE HandleCreate(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> HandleGet(HANDLE handle);
// The object as a T, or null: an object of exactly that type (the usual case) needs no cast search.
template <class T>
T* KernelObjectAs(KernelObject* object) {
    if (!object) return nullptr;
    return typeid(*object) == typeid(T) ? static_cast<T*>(object) : dynamic_cast<T*>(object);
}
template <class T>
std::shared_ptr<T> HandleGetAs(HANDLE handle) {
    // The result shares the table's count rather than taking a second one.
    std::shared_ptr<KernelObject> object = HandleGet(handle);
    T* typed = KernelObjectAs<T>(object.get());
    if (!typed) return nullptr;
    return std::shared_ptr<T>(std::move(object), typed);
}
// Calls look with the handle's object while the table holds it, without taking a reference
// (the call on every key handle needs only a glance at it). look must not make or close
// handles. False when the handle names no object.
bool HandleLook(HANDLE handle, void (*look)(KernelObject* object, void* context), void* context);
// Forgets the handle; the object lives on while other handles or users hold it.
bool HandleClose(HANDLE handle);

}  // namespace ntsim
