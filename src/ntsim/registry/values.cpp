// Values: RegQueryValueExA, RegSetValueExA, RegDeleteValueA. String data is
// UTF-16LE in the hive and the ANSI code page at these calls; sizes are
// reported in ANSI bytes, as the A functions report them.
#include <cstring>

#include "ntsim/kernel/faults.h"
#include "ntsim/registry/internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {
namespace reg {

void StoredToAnsiInto(const std::vector<uint8_t>& data, char* out) {
    size_t count = data.size() / 2, i = 0;
    // Four ASCII units at a time (nearly all stored text): each unit's high byte is zero and
    // its low byte below 0x80; the low bytes are the characters.
    for (const uint8_t* p = data.data(); i + 4 <= count; i += 4, p += 8) {
        if ((p[1] | p[3] | p[5] | p[7]) || ((p[0] | p[2] | p[4] | p[6]) & 0x80)) break;
        out[i] = (char)p[0];
        out[i + 1] = (char)p[2];
        out[i + 2] = (char)p[4];
        out[i + 3] = (char)p[6];
    }
    for (; i < count; ++i) {
        uint16_t unit = (uint16_t)(data[2 * i] | (data[2 * i + 1] << 8));
        out[i] = unit < 0x80 ? (char)unit : Utf16ToAnsi(&unit, 1)[0];
    }
}

std::string StoredToAnsi(const std::vector<uint8_t>& data) {
    std::string out(data.size() / 2, '\0');
    StoredToAnsiInto(data, out.data());
    return out;
}

}  // namespace reg
}  // namespace ntsim

using namespace ntsim;
using namespace ntsim::reg;

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegQueryValueExA", hKey, nullptr, &err)) return (LONG)err;
    if ((lpData && !lpcbData) || lpReserved) return ERROR_INVALID_PARAMETER;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (!(r.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    // A class view finds the user's value before the machine's.
    std::string name = AnsiToUtf8(lpValueName);
    const HiveValue* v = (r.user ? r.user : r.key)->FindValue(name);
    if (!v && r.machine) v = r.machine->FindValue(name);
    if (!v) {
        // A size query of a missing value answers 0; with a buffer the size stays as it was.
        if (lpcbData && !lpData) *lpcbData = 0;
        return ERROR_FILE_NOT_FOUND;
    }
    LONG status = ERROR_SUCCESS;
    DWORD size;
    if (IsStringType(v->type)) {
        std::string ansi = StoredToAnsi(v->data);
        size = (DWORD)ansi.size();
        if (lpData && size) {
            if (size > *lpcbData) {
                status = ERROR_MORE_DATA;
            } else {
                memcpy(lpData, ansi.data(), size);
                // Data stored without its terminator gets one when the buffer has room, as NT does.
                if (size < *lpcbData && lpData[size - 1]) lpData[size] = 0;
            }
        }
    } else {
        size = (DWORD)v->data.size();
        if (lpData) {
            if (size > *lpcbData)
                status = ERROR_MORE_DATA;
            else if (size)
                memcpy(lpData, v->data.data(), size);
        }
    }
    if (lpType) *lpType = v->type;
    if (lpcbData) *lpcbData = size;
    return status;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, CONST BYTE* lpData, DWORD cbData) {
    (void)Reserved;  // ignored, as NT does
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegSetValueExA", hKey, nullptr, &err)) return (LONG)err;
    if (!lpData && cbData) return ERROR_NOACCESS;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (!(r.granted & KEY_SET_VALUE) || IsRootKey(r.key)) return ERROR_ACCESS_DENIED;
    std::vector<uint8_t> stored;
    if (IsStringType(dwType)) {
        // A size that leaves out the terminator right behind the text takes it in, as NT does
        // (it looks one byte past the size it was given).
        if (cbData && lpData[cbData - 1] && !lpData[cbData]) ++cbData;
        std::vector<uint16_t> units = AnsiToUtf16((const char*)lpData, cbData);
        stored.reserve(units.size() * 2);
        for (uint16_t u : units) {
            stored.push_back((uint8_t)(u & 0xFF));
            stored.push_back((uint8_t)(u >> 8));
        }
    } else if (cbData) {
        stored.assign(lpData, lpData + cbData);
    }
    std::string name = AnsiToUtf8(lpValueName);
    HiveValue* v = r.key->FindValue(name);
    if (!v) {
        r.key->values.push_back(HiveValue());
        v = &r.key->values.back();
        v->name = name;
    }
    v->type = dwType;
    v->data = std::move(stored);
    HiveMarkDirty(r.key, kDirtyValues);
    Touch(r.key);
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegDeleteValueA", hKey, nullptr, &err)) return (LONG)err;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (!(r.granted & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::string name = AnsiToUtf8(lpValueName);
    for (auto it = r.key->values.begin(); it != r.key->values.end(); ++it)
        if (HiveNameCompare(it->name, name) == 0) {
            r.key->values.erase(it);
            HiveMarkDirty(r.key, kDirtyValues);
            Touch(r.key);
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}
