// Shared bits of the user-interface conformance cases: the program's module (whose
// resources the cases load) and the resource ids.
#pragma once
#include "conformance/conformance.h"
#include "wizard/resource.h"

inline HINSTANCE UiInstance() {
#ifdef _WIN32
    return GetModuleHandleA(nullptr);
#else
    return (HINSTANCE)1;
#endif
}
