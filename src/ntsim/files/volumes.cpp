// Drives and volumes of the simulated machine (from machine.conf): the drive list,
// drive types and volume information.
#include <ctype.h>
#include <strings.h>

#include <cstring>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/paths.h"
#include "ntsim/kernel/process.h"

using namespace ntsim;

namespace {

// The drive a root path names: "C:\", "C:", "c:\" or a path on it; null for the current drive.
bool RootDrive(LPCSTR root, DriveInfo* drive) {
    std::string path = root ? root : CurrentDirectory();
    if (path.size() < 2 || path[1] != ':' || !isalpha((unsigned char)path[0])) return false;
    return DriveLookup(path[0], drive);
}
}  // namespace

DWORD GetLogicalDrives(void) {
    if (FaultFails("GetLogicalDrives", "")) return 0;
    DWORD mask = 0;
    DriveInfo d;
    for (char c = 'A'; c <= 'Z'; ++c)
        if (DriveLookup(c, &d)) mask |= 1u << (c - 'A');
    SetLastError(ERROR_SUCCESS);
    return mask;
}

DWORD GetLogicalDriveStringsA(DWORD nBufferLength, LPSTR lpBuffer) {
    if (FaultFails("GetLogicalDriveStringsA", "")) return 0;
    std::string list;
    DriveInfo d;
    for (char c = 'A'; c <= 'Z'; ++c)
        if (DriveLookup(c, &d)) {
            list += c;
            list += ":\\";
            list += '\0';
        }
    // The length without the final NUL; the size needed (with it) when it does not fit.
    if (!lpBuffer || nBufferLength < list.size() + 1) return (DWORD)list.size() + 1;
    memcpy(lpBuffer, list.data(), list.size());
    lpBuffer[list.size()] = 0;
    return (DWORD)list.size();
}

UINT GetDriveTypeA(LPCSTR lpRootPathName) {
    if (FaultFails("GetDriveTypeA", lpRootPathName ? lpRootPathName : "")) return DRIVE_UNKNOWN;
    DriveInfo d;
    if (!RootDrive(lpRootPathName, &d)) return DRIVE_NO_ROOT_DIR;
    if (strcasecmp(d.type.c_str(), "fixed") == 0) return DRIVE_FIXED;
    if (strcasecmp(d.type.c_str(), "removable") == 0) return DRIVE_REMOVABLE;
    if (strcasecmp(d.type.c_str(), "cdrom") == 0) return DRIVE_CDROM;
    if (strcasecmp(d.type.c_str(), "remote") == 0) return DRIVE_REMOTE;
    if (strcasecmp(d.type.c_str(), "ramdisk") == 0) return DRIVE_RAMDISK;
    return DRIVE_UNKNOWN;
}

BOOL GetVolumeInformationA(LPCSTR lpRootPathName, LPSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
                           LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
                           LPSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize) {
    if (FaultFails("GetVolumeInformationA", lpRootPathName ? lpRootPathName : "")) return FALSE;
    std::string root = lpRootPathName ? lpRootPathName : CurrentDirectory().substr(0, 3);
    // A root path must end with a backslash.
    if (root.empty() || root.back() != '\\') return Fail(ERROR_INVALID_NAME);
    DriveInfo d;
    if (!RootDrive(root.c_str(), &d)) return Fail(ERROR_PATH_NOT_FOUND);
    if (!d.ready) return Fail(ERROR_NOT_READY);
    std::string fs = d.fs.empty() ? "NTFS" : d.fs;
    for (char& c : fs) c = (char)toupper((unsigned char)c);
    if ((lpVolumeNameBuffer && nVolumeNameSize <= d.label.size()) ||
        (lpFileSystemNameBuffer && nFileSystemNameSize <= fs.size())) {
        return Fail(ERROR_BAD_LENGTH);
    }
    if (lpVolumeNameBuffer) memcpy(lpVolumeNameBuffer, d.label.c_str(), d.label.size() + 1);
    if (lpFileSystemNameBuffer) memcpy(lpFileSystemNameBuffer, fs.c_str(), fs.size() + 1);
    if (lpVolumeSerialNumber) *lpVolumeSerialNumber = d.serial ? d.serial : 0x1C2D0000u + (uint32_t)(d.letter - 'A');
    if (lpMaximumComponentLength) *lpMaximumComponentLength = 255;
    if (lpFileSystemFlags) {
        if (fs == "NTFS")
            *lpFileSystemFlags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
                                 FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION;
        else if (fs == "CDFS")
            *lpFileSystemFlags = FILE_CASE_SENSITIVE_SEARCH | FILE_UNICODE_ON_DISK;
        else
            *lpFileSystemFlags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    }
    return TRUE;
}
