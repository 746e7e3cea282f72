// Enumeration and key information: RegEnumKeyExA (subkeys in NT's
// case-insensitive order), RegEnumValueA (values in stored order) and
// RegQueryInfoKeyA (longest names in characters, longest data in stored bytes).
#include <algorithm>
#include <cstring>

#include "ntsim/kernel/faults.h"
#include "ntsim/registry/internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {
namespace reg {
std::string StoredToAnsi(const std::vector<uint8_t>& data);
// The ANSI text of stored UTF-16LE bytes, one byte a unit, written to out.
void StoredToAnsiInto(const std::vector<uint8_t>& data, char* out);

namespace {
// A tree name in the ANSI code page: an ASCII name is the same bytes and is used as it is
// (enumerations run for every key); another is converted into scratch.
const std::string& AnsiName(const std::string& name, std::string* scratch) {
    if (IsAsciiText(name)) return name;
    *scratch = Utf8ToAnsi(name);
    return *scratch;
}

// The value at an index: of a class view, the user's values in their order and then the
// machine's of other names; null past the last.
const HiveValue* MergedValue(const Resolved& r, size_t index) {
    if (!r.user) return index < r.key->values.size() ? &r.key->values[index] : nullptr;
    if (index < r.user->values.size()) return &r.user->values[index];
    index -= r.user->values.size();
    for (const HiveValue& v : r.machine->values)
        if (!r.user->FindValue(v.name) && index-- == 0) return &v;
    return nullptr;
}
}  // namespace
}
}  // namespace ntsim

using namespace ntsim;
using namespace ntsim::reg;

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                          LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegEnumKeyExA", hKey, nullptr, &err)) return (LONG)err;
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    if (!(r.granted & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    const HiveKey* sub = nullptr;
    if (r.user) {
        // A class view lists the user's keys and the machine's together. Both lists are in
        // NT's name order: merged, a name of both once (the user's).
        size_t u = 0, m = 0, index = 0;
        const auto& mine = r.user->subkeys;
        const auto& machine = r.machine->subkeys;
        while (!sub && (u < mine.size() || m < machine.size())) {
            int order = u == mine.size() ? 1 : m == machine.size() ? -1 : HiveNameCompare(mine[u]->name, machine[m]->name);
            const HiveKey* next = order <= 0 ? mine[u].get() : machine[m].get();
            if (order <= 0) ++u;
            if (order >= 0) ++m;
            if (index++ == dwIndex) sub = next;
        }
        if (!sub) return ERROR_NO_MORE_ITEMS;
    } else {
        if (dwIndex >= r.key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
        sub = r.key->subkeys[dwIndex].get();
    }
    std::string scratch;
    const std::string& name = AnsiName(sub->name, &scratch);
    size_t nameLength = name.size(), classLength = sub->className.size() / 2;  // one ANSI byte a stored unit
    if (lpftLastWriteTime) {
        lpftLastWriteTime->dwLowDateTime = (DWORD)sub->lastWrite;
        lpftLastWriteTime->dwHighDateTime = (DWORD)(sub->lastWrite >> 32);
    }
    // Too small a buffer (room is needed for the terminator) leaves both sizes as they were.
    if (nameLength >= *lpcchName || (lpClass && lpcchClass && classLength >= *lpcchClass)) return ERROR_MORE_DATA;
    memcpy(lpName, name.data(), nameLength);
    lpName[nameLength] = 0;
    *lpcchName = (DWORD)nameLength;
    if (lpcchClass) {
        *lpcchClass = (DWORD)classLength;
        if (lpClass) {
            StoredToAnsiInto(sub->className, lpClass);
            lpClass[classLength] = 0;
        }
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegEnumValueA", hKey, nullptr, &err)) return (LONG)err;
    if ((lpData && !lpcbData) || lpReserved || !lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (!(r.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    const HiveValue* found = MergedValue(r, dwIndex);
    if (!found) return ERROR_NO_MORE_ITEMS;
    const HiveValue& v = *found;
    bool isString = IsStringType(v.type);
    // String data is one ANSI byte a stored UTF-16 unit.
    DWORD size = isString ? (DWORD)(v.data.size() / 2) : (DWORD)v.data.size();
    std::string scratch;
    const std::string& name = AnsiName(v.name, &scratch);
    size_t nameLength = name.size();
    // Data too large for its buffer touches neither buffer. Data that fits is written even
    // when the name does not; the name is then cut to its buffer (with its terminator) and
    // its length left as it was. Type and data size are reported either way.
    bool dataOverflow = lpData && size > *lpcbData;
    bool nameOverflow = nameLength >= *lpcchValueName;
    if (!dataOverflow) {
        if (lpData && size) {
            if (isString)
                StoredToAnsiInto(v.data, (char*)lpData);
            else
                memcpy(lpData, v.data.data(), size);
            if (isString && size < *lpcbData && lpData[size - 1]) lpData[size] = 0;
        }
        if (!nameOverflow) {
            memcpy(lpValueName, name.data(), nameLength);
            lpValueName[nameLength] = 0;
            *lpcchValueName = (DWORD)nameLength;
        } else if (*lpcchValueName) {
            memcpy(lpValueName, name.data(), *lpcchValueName - 1);
            lpValueName[*lpcchValueName - 1] = 0;
        }
    }
    bool overflow = dataOverflow || nameOverflow;
    if (lpType) *lpType = v.type;
    if (lpcbData) *lpcbData = size;
    return overflow ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                             LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    (void)lpReserved;
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegQueryInfoKeyA", hKey, nullptr, &err)) return (LONG)err;
    if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (!(r.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    const HiveKey* key = r.key;
    LONG status = ERROR_SUCCESS;
    std::string cls = StoredToAnsi(key->className);
    if (lpClass && lpcchClass && *lpcchClass) {
        DWORD capacity = *lpcchClass;
        if (cls.size() >= capacity) {
            memcpy(lpClass, cls.data(), capacity - 1);
            lpClass[capacity - 1] = 0;
            *lpcchClass = capacity - 1;
            status = ERROR_MORE_DATA;
        } else {
            memcpy(lpClass, cls.data(), cls.size());
            lpClass[cls.size()] = 0;
            *lpcchClass = (DWORD)cls.size();
        }
    } else if (lpcchClass) {
        *lpcchClass = (DWORD)cls.size();
    }
    // NT reports name lengths in UTF-16 characters and data lengths in stored bytes, also to the A function.
    // A name has no more UTF-16 units than UTF-8 bytes: only a name longer in bytes than
    // the longest so far is measured.
    // A class view counts the user's entries and the machine's of other names, and takes the
    // longest lengths over both.
    size_t maxSub = 0, maxClass = 0, maxName = 0, maxData = 0;
    size_t subkeys = 0, values = 0;
    const HiveKey* parts[2] = {r.user ? r.user : key, r.machine};
    for (const HiveKey* part : parts) {
        if (!part) continue;
        bool behind = part == r.machine;
        for (const auto& sub : part->subkeys) {
            if (sub->name.size() > maxSub) maxSub = std::max(maxSub, Utf16Length(sub->name));
            maxClass = std::max(maxClass, sub->className.size() / 2);
            if (!behind || !r.user->FindSubkey(sub->name)) ++subkeys;
        }
        for (const auto& v : part->values) {
            if (v.name.size() > maxName) maxName = std::max(maxName, Utf16Length(v.name));
            maxData = std::max(maxData, v.data.size());
            if (!behind || !r.user->FindValue(v.name)) ++values;
        }
    }
    if (lpcSubKeys) *lpcSubKeys = (DWORD)subkeys;
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = (DWORD)maxSub;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = (DWORD)maxClass;
    if (lpcValues) *lpcValues = (DWORD)values;
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = (DWORD)maxName;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = (DWORD)maxData;
    if (lpcbSecurityDescriptor) {
        *lpcbSecurityDescriptor = (DWORD)DescriptorSize(key);
    }
    if (lpftLastWriteTime) {
        lpftLastWriteTime->dwLowDateTime = (DWORD)key->lastWrite;
        lpftLastWriteTime->dwHighDateTime = (DWORD)(key->lastWrite >> 32);
    }
    return status;
}
