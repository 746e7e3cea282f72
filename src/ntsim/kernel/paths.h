// Windows paths inside the machine mapped to host paths: drive letters from
// machine.conf, components matched without regard to case as NT's file systems do.
#pragma once
#include <sys/stat.h>
#include <cstdint>
#include <string>

namespace ntsim {

struct DriveInfo {
    char letter = 0;        // 'C'
    std::string hostRoot;   // absolute host directory
    std::string type;       // fixed | removable | cdrom | remote
    std::string fs;         // NTFS | FAT | CDFS ...
    bool ready = true;      // a removable drive without a medium is not ready
    std::string label;
    uint32_t serial = 0;
};

// The drive of a letter (either case), from machine.conf; false when there is none.
bool DriveLookup(char letter, DriveInfo* drive);

// Full Windows path of path: "C:\x\y" as given; "\x" on the current drive; "x" relative to
// the current directory; "." and ".." resolved; forward slashes taken as backslashes.
std::string FullWindowsPath(const std::string& path);

// Host path for a Windows path. Existing components are matched without regard to case;
// the rest are kept as written (for creation). ERROR_SUCCESS, ERROR_INVALID_DRIVE (no such
// drive), ERROR_NOT_READY (drive not ready), ERROR_BAD_NETPATH (UNC), ERROR_INVALID_NAME.
// seen: when the host path was found as written and is no link, its stat (what a stat right
// after would give); else st_mode 0.
uint32_t MapWindowsPath(const std::string& path, std::string* hostPath, struct stat* seen = nullptr);

// The process's current directory (a full Windows path ending without a backslash unless a root).
std::string CurrentDirectory();
void SetCurrentDirectoryPath(const std::string& fullPath);

}  // namespace ntsim
