// Shared pieces of the registry conformance cases: a fresh scratch key per case,
// deleting trees, privileges, scratch files and byte-pattern probes.
#pragma once
#include <cstring>
#include <string>

#include "conformance/conformance.h"

// Deletes a key and everything below it (RegDeleteKeyA removes leaves only).
inline LONG DeleteTree(HKEY parent, const char* name) {
    HKEY key;
    LONG err = RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key);
    if (err) return err;
    char child[256];
    for (;;) {
        DWORD length = sizeof child;
        if (RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if ((err = DeleteTree(key, child)) != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, name);
}

// HKEY_LOCAL_MACHINE\<kConformanceRoot>\<name>, empty, opened with all access; its path in *path.
inline HKEY CaseKey(const char* name, std::string* path = nullptr) {
    std::string p = std::string(kConformanceRoot) + "\\" + name;
    DeleteTree(HKEY_LOCAL_MACHINE, p.c_str());
    HKEY key = nullptr;
    LONG err = RegCreateKeyExA(HKEY_LOCAL_MACHINE, p.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    ok(err == ERROR_SUCCESS, "creating the case key %s: %ld", p.c_str(), (long)err);
    if (path) *path = p;
    return key;
}

inline void EndCase(HKEY key, const char* name) {
    RegCloseKey(key);
    std::string p = std::string(kConformanceRoot) + "\\" + name;
    DeleteTree(HKEY_LOCAL_MACHINE, p.c_str());
}

inline BOOL SetPrivilege(const char* name, BOOL on) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return FALSE;
    TOKEN_PRIVILEGES tp;
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    BOOL done = LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid) &&
                AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
    CloseHandle(token);
    return done;
}

// A scratch file path that does not exist yet.
inline std::string ScratchFile(const char* name) {
#ifdef _WIN32
    char dir[MAX_PATH];
    DWORD n = GetTempPathA(sizeof dir, dir);
    std::string path = (n && n < sizeof dir) ? std::string(dir) : std::string("C:\\");
    path += name;
    DeleteFileA(path.c_str());
    return path;
#else
    return std::string("C:\\TEMP\\") + name;  // the simulated machine is new for every run
#endif
}

// Counts bytes of buf[from..size) that still hold the fill pattern.
inline bool Untouched(const unsigned char* buf, size_t from, size_t size, unsigned char fill) {
    for (size_t i = from; i < size; ++i)
        if (buf[i] != fill) return false;
    return true;
}
