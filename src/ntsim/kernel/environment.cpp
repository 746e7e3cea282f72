// The process environment as Win32 shows it: GetEnvironmentVariableA and
// ExpandEnvironmentStringsA over the variables the process was given at attach.
#include <cstring>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/process.h"

using ntsim::Fail;

DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    if (!lpName) return Fail(ERROR_INVALID_PARAMETER, 0);
    if (ntsim::FaultFails("GetEnvironmentVariableA", lpName)) return 0;
    bool found = false;
    std::string value = ntsim::ProcessGetEnv(lpName, &found);
    if (!found) return Fail(ERROR_ENVVAR_NOT_FOUND, 0);
    // Too small: the size needed, terminator included; the buffer is left alone.
    if (!lpBuffer || nSize <= value.size()) return (DWORD)value.size() + 1;
    memcpy(lpBuffer, value.c_str(), value.size() + 1);
    return (DWORD)value.size();
}

// %NAME% is replaced by the variable's value; an unknown name or a lone % stays as written.
DWORD ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
    if (!lpSrc) return Fail(ERROR_INVALID_PARAMETER, 0);
    std::string out;
    const char* p = lpSrc;
    while (*p) {
        if (*p == '%') {
            const char* end = strchr(p + 1, '%');
            if (end && end > p + 1) {
                bool found = false;
                std::string value = ntsim::ProcessGetEnv(std::string(p + 1, (size_t)(end - p - 1)), &found);
                if (found) {
                    out += value;
                    p = end + 1;
                    continue;
                }
                out.append(p, (size_t)(end - p));
                p = end;
                continue;
            }
        }
        out += *p++;
    }
    DWORD needed = (DWORD)out.size() + 1;
    if (lpDst && nSize >= needed) {
        memcpy(lpDst, out.c_str(), needed);
    } else if (lpDst && nSize > 0) {
        // As NT does: what fits, cut and terminated; the result says how much is needed.
        memcpy(lpDst, out.c_str(), nSize - 1);
        lpDst[nSize - 1] = 0;
    }
    return needed;
}
