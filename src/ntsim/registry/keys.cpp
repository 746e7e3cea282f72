// Keys: RegOpenKeyExA, RegOpenKeyA, RegCreateKeyExA, RegDeleteKeyA, RegFlushKey.
#include <cstring>

#include "ntsim/kernel/faults.h"
#include "ntsim/registry/internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {
namespace reg {
namespace {

uint32_t OpenKey(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    HiveKey* found = nullptr;
    HiveKey* machineClass = nullptr;
    Resolved r;
    uint32_t err = ResolveHandle(hKey, &r);
    // A handle that names no key fails before the open and leaves the result as it was;
    // any later failure clears it, as NT's open of the key does.
    if (err != ERROR_SUCCESS) return err;
    *phkResult = nullptr;
    // Below HKEY_CLASSES_ROOT a key is the user's and the machine's together.
    if (r.user && (err = WalkClassView(r, AnsiToUtf8(lpSubKey), (ulOptions & REG_OPTION_OPEN_LINK) != 0, &found,
                                       &machineClass)) != ERROR_SUCCESS)
        return err;
    // An ASCII path (what a walk of the tree and the security calls open) costs one tree
    // step per name, taken on the caller's text. A path with a name that is not found, is
    // a link or is empty goes the whole way, which also tells why.
    bool simple = !found && lpSubKey && *lpSubKey;
    for (size_t i = 0; simple && lpSubKey[i]; ++i) simple = (unsigned char)lpSubKey[i] < 0x80;
    for (const char* name = lpSubKey; simple;) {
        const char* end = strchr(name, '\\');
        size_t length = end ? (size_t)(end - name) : strlen(name);
        HiveKey* next = length ? (found ? found : r.key)->FindSubkey(std::string_view(name, length)) : nullptr;
        if (!next || (next->flags & kKeySymLink)) {
            found = nullptr;
            break;
        }
        found = next;
        if (!end) break;
        name = end + 1;
    }
    if (!found &&
        (err = WalkPath(r.key, AnsiToUtf8(lpSubKey), (ulOptions & REG_OPTION_OPEN_LINK) != 0, &found)) != ERROR_SUCCESS)
        return err;
    uint32_t granted = 0;
    if ((err = CheckKeyAccess(found, samDesired, ulOptions, &granted)) != ERROR_SUCCESS) return err;
    *phkResult = NewKeyHandle(found, granted, machineClass);
    return ERROR_SUCCESS;
}

bool IsPredefined(HKEY hKey) {
    uintptr_t v = (uintptr_t)hKey;
    return (uint32_t)v >= 0x80000000u && (uint32_t)v <= 0x80000006u && (v >> 32) == 0xFFFFFFFFu;
}

}  // namespace
}  // namespace reg
}  // namespace ntsim

using namespace ntsim;
using namespace ntsim::reg;

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegOpenKeyExA", hKey, lpSubKey, &err)) {
        if (phkResult) *phkResult = nullptr;
        return (LONG)err;
    }
    // A predefined key with no subkey is handed back as it is.
    if (phkResult && (!lpSubKey || !*lpSubKey) && IsPredefined(hKey)) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    return (LONG)OpenKey(hKey, lpSubKey, ulOptions, samDesired, phkResult);
}

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegOpenKeyA", hKey, lpSubKey, &err)) return (LONG)err;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    // With no subkey the same handle comes back, without a new open.
    if (!lpSubKey || !*lpSubKey) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    return (LONG)OpenKey(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegCreateKeyExA", hKey, lpSubKey, &err)) return (LONG)err;
    if (!phkResult) return ERROR_BADKEY;
    if (Reserved) return ERROR_INVALID_PARAMETER;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    HiveKey* found = nullptr;
    HiveKey* deepest = nullptr;
    HiveKey* machineClass = nullptr;
    std::vector<std::string> rest;
    // Below HKEY_CLASSES_ROOT an existing key of either is opened as the two together; a new
    // one is made below the key writes go to (the user's where it exists, else the machine's).
    err = r.user ? WalkClassView(r, AnsiToUtf8(lpSubKey), (dwOptions & REG_OPTION_OPEN_LINK) != 0, &found, &machineClass)
                 : ERROR_FILE_NOT_FOUND;
    if (err != ERROR_SUCCESS)
        err = WalkPath(r.key, AnsiToUtf8(lpSubKey), (dwOptions & REG_OPTION_OPEN_LINK) != 0, &found, &deepest, &rest);
    if (err == ERROR_SUCCESS) {
        uint32_t granted = 0;
        if ((err = CheckKeyAccess(found, samDesired, dwOptions, &granted)) != ERROR_SUCCESS) return (LONG)err;
        *phkResult = NewKeyHandle(found, granted, machineClass);
        if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }
    if (err != ERROR_FILE_NOT_FOUND || !deepest) return (LONG)err;
    // The roots hold only hive mounts: nothing can be created there.
    if (IsRootKey(deepest)) return ERROR_ACCESS_DENIED;
    uint32_t parentAccess = 0;
    if ((err = CheckKeyAccess(deepest, KEY_CREATE_SUB_KEY, dwOptions, &parentAccess)) != ERROR_SUCCESS) return (LONG)err;
    if (!(dwOptions & REG_OPTION_BACKUP_RESTORE) && !(parentAccess & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    if (deepest->isVolatile && !(dwOptions & REG_OPTION_VOLATILE)) return ERROR_CHILD_MUST_BE_VOLATILE;
    if ((samDesired & ACCESS_SYSTEM_SECURITY) && !HasPrivilege("SeSecurityPrivilege")) return ERROR_PRIVILEGE_NOT_HELD;
    const void* given = lpSecurityAttributes ? lpSecurityAttributes->lpSecurityDescriptor : nullptr;
    // Check the descriptor before anything is created, so a refusal leaves no key behind.
    SharedDescriptor probe;
    if ((err = NewKeyDescriptor(deepest, given, &probe)) != ERROR_SUCCESS) return (LONG)err;
    HiveKey* parent = deepest;
    for (size_t i = 0; i < rest.size(); ++i) {
        SharedDescriptor security;
        NewKeyDescriptor(parent, given, &security);
        HiveKey* key = parent->AddSubkey(rest[i]);
        key->isVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
        if (key->isVolatile)
            if (Mount* m = MountOf(key)) m->holdsVolatile = true;
        key->security = security;
        if (i + 1 == rest.size()) {
            if (lpClass && *lpClass) {
                std::vector<uint16_t> units = AnsiToUtf16(lpClass, strlen(lpClass));
                for (uint16_t u : units) {
                    key->className.push_back((uint8_t)(u & 0xFF));
                    key->className.push_back((uint8_t)(u >> 8));
                }
            }
            if (dwOptions & REG_OPTION_CREATE_LINK) key->flags |= kKeySymLink;
        }
        Touch(parent);
        Touch(key);
        parent = key;
    }
    // The creator of a key gets the access it asked for.
    uint32_t granted = 0;
    if (dwOptions & REG_OPTION_BACKUP_RESTORE)
        CheckKeyAccess(parent, samDesired, dwOptions, &granted);
    else {
        const GENERIC_MAPPING& m = KeyMapping();
        granted = samDesired & ~(uint32_t)(KEY_WOW64_64KEY | KEY_WOW64_32KEY | MAXIMUM_ALLOWED | GENERIC_READ | GENERIC_WRITE |
                                           GENERIC_EXECUTE | GENERIC_ALL);
        if (samDesired & (MAXIMUM_ALLOWED | GENERIC_ALL)) granted |= m.GenericAll;
        if (samDesired & GENERIC_READ) granted |= m.GenericRead;
        if (samDesired & GENERIC_WRITE) granted |= m.GenericWrite;
        if (samDesired & GENERIC_EXECUTE) granted |= m.GenericExecute;
    }
    *phkResult = NewKeyHandle(parent, granted);
    if (lpdwDisposition) *lpdwDisposition = REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegDeleteKeyA", hKey, lpSubKey, &err)) return (LONG)err;
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    HiveKey* key = nullptr;
    if ((err = WalkPath(r.key, AnsiToUtf8(lpSubKey), false, &key)) != ERROR_SUCCESS) return (LONG)err;
    uint32_t granted = 0;
    if ((err = CheckKeyAccess(key, DELETE, 0, &granted)) != ERROR_SUCCESS) return (LONG)err;
    if (!(granted & DELETE)) return ERROR_ACCESS_DENIED;
    // NT deletes only leaves, and never a hive's root or a key marked no-delete.
    if (IsRootKey(key) || MountAt(key) || (key->flags & kKeyNoDelete) || !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
    HiveKey* parent = key->parent;
    InvalidateSubtree(key, true);
    Touch(parent);
    NoteRemovedKey(key);
    parent->RemoveSubkey(key);
    return ERROR_SUCCESS;
}

LONG WINAPI RegFlushKey(HKEY hKey) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegFlushKey", hKey, nullptr, &err)) return (LONG)err;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (IsRootKey(r.key)) {
        State* state = GetState();
        for (auto& m : state->mounts)
            if (m->parent == r.key && (err = SaveMount(*m)) != ERROR_SUCCESS) return (LONG)err;
        return ERROR_SUCCESS;
    }
    Mount* m = MountOf(r.key);
    return m ? (LONG)SaveMount(*m) : ERROR_SUCCESS;
}
