// How a simulated call fails: the calling thread's last error is set and the call
// returns its failure value, as the system's own calls do.
#pragma once
#include "nt/win32.h"

namespace ntsim {

// "return Fail(ERROR_X);" in a call that fails with FALSE; "return Fail(ERROR_X, nullptr);"
// (or 0, -1, ...) in one that fails with another value.
template <class T = BOOL>
T Fail(DWORD error, T failure = FALSE) {
    SetLastError(error);
    return failure;
}

}  // namespace ntsim
