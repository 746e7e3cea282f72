// The process's paths: temporary folder, system and Windows folders, the program's
// own file name, and the current directory.
#include <sys/stat.h>

#include <cstring>

#include "nt/win32.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/paths.h"
#include "ntsim/kernel/process.h"

using namespace ntsim;

namespace {
// The usual contract of these calls: the length without the NUL when it fits,
// otherwise the size needed with the NUL and nothing written.
DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
    if (!buffer || size <= text.size()) return (DWORD)text.size() + 1;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return (DWORD)text.size();
}

std::string SystemRoot() {
    std::string root = ProcessGetEnv("SystemRoot");
    return root.empty() ? "C:\\WINNT" : root;
}
}  // namespace

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    if (FaultFails("GetTempPathA", "")) return 0;
    // TMP, then TEMP, then the profile, then the Windows folder, as kernel32 looks.
    bool found = false;
    std::string path = ProcessGetEnv("TMP", &found);
    if (!found || path.empty()) path = ProcessGetEnv("TEMP", &found);
    if (!found || path.empty()) path = ProcessGetEnv("USERPROFILE", &found);
    if (!found || path.empty()) path = SystemRoot();
    path = FullWindowsPath(path);
    if (path.back() != '\\') path += '\\';
    return CopyOut(path, lpBuffer, nBufferLength);
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    if (FaultFails("GetSystemDirectoryA", "")) return 0;
    return CopyOut(SystemRoot() + "\\system32", lpBuffer, uSize);
}

UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    if (FaultFails("GetWindowsDirectoryA", "")) return 0;
    return CopyOut(SystemRoot(), lpBuffer, uSize);
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (FaultFails("GetModuleFileNameA", "")) return 0;
    if (hModule) return Fail(ERROR_MOD_NOT_FOUND, 0);
    std::string image = ProcessAttached() ? CurrentProcess().imagePath : "";
    if (image.empty()) return Fail(ERROR_MOD_NOT_FOUND, 0);
    if (!lpFilename || nSize == 0) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    // Too small: truncated and terminated, the size returned (as Windows XP does).
    if (nSize <= image.size()) {
        memcpy(lpFilename, image.c_str(), nSize - 1);
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    memcpy(lpFilename, image.c_str(), image.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return (DWORD)image.size();
}

DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    if (FaultFails("GetCurrentDirectoryA", "")) return 0;
    return CopyOut(CurrentDirectory(), lpBuffer, nBufferLength);
}

BOOL SetCurrentDirectoryA(LPCSTR lpPathName) {
    if (FaultFails("SetCurrentDirectoryA", lpPathName ? lpPathName : "")) return FALSE;
    if (!lpPathName || !*lpPathName) return Fail(ERROR_INVALID_PARAMETER);
    FileRef ref;
    uint32_t err = FileResolve(lpPathName, &ref);
    if (err != ERROR_SUCCESS) return Fail(err == ERROR_INVALID_DRIVE ? ERROR_PATH_NOT_FOUND : err);
    struct stat st;
    if (stat(ref.host.c_str(), &st) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        FileRef parent;
        if (FileParent(ref, &parent) && stat(parent.host.c_str(), &st) != 0) SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
    SetCurrentDirectoryPath(ref.full);
    return TRUE;
}
