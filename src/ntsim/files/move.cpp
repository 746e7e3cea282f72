// Moving and renaming files (MoveFileExA), at once or at the next restart, and the
// boot-time pass that carries out the operations recorded for the restart.
#define NTSIM_HOST_STDIO 1
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "nt/win32.h"
#include "ntsim/security/access.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/files/boot.h"
#include "ntsim/files/durability.h"
#include "ntsim/files/listing.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/process.h"

using namespace ntsim;

namespace {

const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char kPendingValue[] = "PendingFileRenameOperations";

// Reads the pending list (REG_MULTI_SZ) as strings, empty strings kept.
LONG ReadPending(HKEY key, std::vector<std::string>* items) {
    items->clear();
    DWORD type = 0, size = 0;
    LONG err = RegQueryValueExA(key, kPendingValue, nullptr, &type, nullptr, &size);
    if (err == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (err != ERROR_SUCCESS) return err;
    std::vector<char> data(size + 2, 0);
    err = RegQueryValueExA(key, kPendingValue, nullptr, &type, (LPBYTE)data.data(), &size);
    if (err != ERROR_SUCCESS) return err;
    // Pairs of strings; the list ends at the double NUL after the last complete pair.
    size_t i = 0;
    while (i < size) {
        size_t len = strnlen(data.data() + i, size - i);
        items->push_back(std::string(data.data() + i, len));
        i += len + 1;
    }
    while (items->size() % 2) items->pop_back();
    return ERROR_SUCCESS;
}

std::string NtPath(const std::string& full) { return "\\??\\" + full; }

uint32_t RecordForRestart(LPCSTR from, LPCSTR to, DWORD flags) {
    HKEY key;
    LONG err = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                               &key, nullptr);
    if (err != ERROR_SUCCESS) return (uint32_t)err;
    std::vector<std::string> items;
    err = ReadPending(key, &items);
    if (err == ERROR_SUCCESS) {
        items.push_back(NtPath(FullWindowsPath(from)));
        std::string target;
        if (to && *to) {
            if (flags & MOVEFILE_REPLACE_EXISTING) target = "!";
            target += NtPath(FullWindowsPath(to));
        }
        items.push_back(target);
        std::vector<char> data;
        for (const std::string& s : items) data.insert(data.end(), s.c_str(), s.c_str() + s.size() + 1);
        data.push_back(0);
        err = RegSetValueExA(key, kPendingValue, 0, REG_MULTI_SZ, (const BYTE*)data.data(), (DWORD)data.size());
    }
    RegCloseKey(key);
    return (uint32_t)err;
}

uint32_t MoveNow(const FileRef& from, const FileRef& to, DWORD flags) {
    struct stat st, dst;
    if (stat(from.host.c_str(), &st) != 0) {
        FileRef parent;
        struct stat ps;
        return FileParent(from, &parent) && stat(parent.host.c_str(), &ps) != 0 ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    }
    if (from.drive.letter != to.drive.letter && (!(flags & MOVEFILE_COPY_ALLOWED) || S_ISDIR(st.st_mode)))
        return ERROR_NOT_SAME_DEVICE;
    uint32_t err = FileAccessCheck(from, DELETE);
    if (err != ERROR_SUCCESS) {
        FileRef parent;
        if (!FileParent(from, &parent) || FileAccessCheck(parent, kFileDeleteChild) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
    }
    bool replacing = stat(to.host.c_str(), &dst) == 0;
    if (replacing) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) return ERROR_ALREADY_EXISTS;
        if (S_ISDIR(dst.st_mode) || (FileAttributesOf(to) & FILE_ATTRIBUTE_READONLY)) return ERROR_ACCESS_DENIED;
    }
    FileRef parent;
    struct stat ps;
    if (!FileParent(to, &parent) || stat(parent.host.c_str(), &ps) != 0) return ERROR_PATH_NOT_FOUND;
    if ((err = FileAccessCheck(parent, S_ISDIR(st.st_mode) ? kFileAddSubdirectory : kFileAddFile)) != ERROR_SUCCESS) return err;
    ReplacedFile replaced = DurableBeforeRename(to.host);
    if (rename(from.host.c_str(), to.host.c_str()) == 0) {
        FileChanged(from.host);
        FileChanged(to.host);
        DurableRenamed(from.host, to.host, (flags & MOVEFILE_WRITE_THROUGH) != 0, replaced);
        return ERROR_SUCCESS;
    }
    if (errno != EXDEV) return ErrnoToWin32(errno);
    // Another host file system: copy, then delete, as MOVEFILE_COPY_ALLOWED does.
    if (!CopyFileA(from.full.c_str(), to.full.c_str(), FALSE)) return GetLastError();
    if (unlink(from.host.c_str()) != 0) return ErrnoToWin32(errno);
    FileChanged(from.host);
    return ERROR_SUCCESS;
}

// "\??\C:\x" (or "!\??\C:\x") to "C:\x".
std::string FromNtPath(const std::string& s) {
    std::string p = s;
    if (!p.empty() && p[0] == '!') p.erase(0, 1);
    if (p.compare(0, 4, "\\??\\") == 0) p.erase(0, 4);
    return p;
}

}  // namespace

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (FaultFails("MoveFileExA", lpExistingFileName ? lpExistingFileName : "")) return FALSE;
    if (!lpExistingFileName || !*lpExistingFileName) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        if (dwFlags & MOVEFILE_COPY_ALLOWED) return Fail(ERROR_INVALID_PARAMETER);
        uint32_t err = RecordForRestart(lpExistingFileName, lpNewFileName, dwFlags);
        return err == ERROR_SUCCESS ? TRUE : Fail(err);
    }
    if (!lpNewFileName) return Fail(ERROR_INVALID_PARAMETER);
    FileRef from, to;
    uint32_t err = FileResolve(lpExistingFileName, &from);
    if (err != ERROR_SUCCESS) return Fail(err);
    if ((err = FileResolve(lpNewFileName, &to)) != ERROR_SUCCESS) return Fail(err);
    err = MoveNow(from, to, dwFlags);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

namespace ntsim {

uint32_t ApplyPendingFileOperations(const std::string& machineDir) {
    BootStepProcess process(machineDir);
    if (!process.Ready()) return ERROR_PATH_NOT_FOUND;
    uint32_t result = ERROR_SUCCESS;
    {
        // The session manager works before any logon: nothing stands in its way.
        SystemAccessScope scope;
        HKEY key;
        LONG err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
        if (err == ERROR_SUCCESS) {
            std::vector<std::string> items;
            err = ReadPending(key, &items);
            if (err == ERROR_SUCCESS && !items.empty()) {
                for (size_t i = 0; i + 1 < items.size(); i += 2) {
                    FileRef from, to;
                    if (FileResolve(FromNtPath(items[i]), &from) != ERROR_SUCCESS) continue;
                    if (items[i + 1].empty()) {
                        struct stat st;
                        if (stat(from.host.c_str(), &st) != 0) continue;
                        if (S_ISDIR(st.st_mode) ? rmdir(from.host.c_str()) : unlink(from.host.c_str())) continue;
                    } else if (FileResolve(FromNtPath(items[i + 1]), &to) == ERROR_SUCCESS) {
                        MoveNow(from, to, items[i + 1][0] == '!' ? MOVEFILE_REPLACE_EXISTING : 0);
                    }
                }
                err = RegDeleteValueA(key, kPendingValue);
                if (err == ERROR_SUCCESS) err = RegFlushKey(key);
            }
            RegCloseKey(key);
        }
        if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND) result = (uint32_t)err;
    }
    return result;
}

}  // namespace ntsim
