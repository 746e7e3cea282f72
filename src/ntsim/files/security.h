// File security of the simulated machine's drives: where a file's descriptor lives
// (system.ntfs_acl on an ntfs-3g mount, user.ntsim.sd elsewhere, none on FAT), the
// descriptor a file without one inherits, and the access check of file operations.
#pragma once
#include <sys/stat.h>
#include <cstdint>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/paths.h"

namespace ntsim {

// File access rights (winnt.h), used by the checks below.
enum : uint32_t {
    kFileListDirectory = 0x0001,  // FILE_LIST_DIRECTORY / FILE_READ_DATA
    kFileAddFile = 0x0002,        // FILE_ADD_FILE / FILE_WRITE_DATA
    kFileAddSubdirectory = 0x0004,
    kFileDeleteChild = 0x0040,
    kFileWriteAttributes = 0x0100,
    kFileGenericRead = 0x00120089,
    kFileGenericWrite = 0x00120116,
    kFileGenericExecute = 0x001200A0,
    kFileAllAccess = 0x001F01FF,
};
const GENERIC_MAPPING& FileGenericMapping();

enum class FileStore { None, NtsimXattr, NtfsAcl };

// A Windows path resolved to its drive and host path.
struct FileRef {
    std::string full;  // full Windows path ("C:\x\y")
    std::string host;  // host path
    DriveInfo drive;
    FileStore store = FileStore::None;
};
// ERROR_SUCCESS, or what MapWindowsPath gives (ERROR_INVALID_DRIVE, ERROR_NOT_READY, ...).
// seen: the host file's stat when the resolution made one (as MapWindowsPath gives it).
uint32_t FileResolve(const std::string& path, FileRef* ref, struct stat* seen = nullptr);
// The parent of a resolved path (false for a root).
bool FileParent(const FileRef& ref, FileRef* parent);
// FileResolve for a reader of the stored descriptor. A path that names its file exactly as
// written, with a descriptor stored, is resolved by reading that descriptor (*read true): one
// host call, as NT's open by name is one lookup. Otherwise as FileResolve, *read false.
uint32_t FileResolveReading(const std::string& path, FileRef* ref, std::vector<uint8_t>* sd, bool* read);

// The descriptor stored with a host file, if any.
bool FileReadStored(const std::string& host, FileStore store, std::vector<uint8_t>* sd);
uint32_t FileWriteStored(const std::string& host, FileStore store, const std::vector<uint8_t>& sd);

// The file's descriptor: stored, or inherited down from the drive's root (whose default is
// NT 4.0's: Administrators, SYSTEM and CREATOR OWNER full control, Everyone change).
// The file must exist. FAT drives: false in *secured, and a descriptor with a null DACL.
// folder: the caller knows the path is a folder if it exists (the folder of an existing
// path): one that keeps no descriptor is then known to exist without a stat.
uint32_t FileDescriptor(const FileRef& ref, std::vector<uint8_t>* sd, bool* secured, bool folder = false);

// Access check of the process token for an existing file or directory.
// ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_PRIVILEGE_NOT_HELD. descriptor: where to keep
// the descriptor the check read, when the caller wants it.
uint32_t FileAccessCheck(const FileRef& ref, uint32_t desired, uint32_t flags = 0,
                         std::vector<uint8_t>* descriptor = nullptr, bool folder = false);

// Gives a just created file or directory the descriptor it inherits, owned by the creator.
// folderDescriptor: its folder's descriptor when the caller has just read it for the access
// check of the creation; else it is read here.
void FileStoreNewDescriptor(const FileRef& ref, bool isDirectory, const std::vector<uint8_t>* folderDescriptor = nullptr);

// The file's Windows attributes (FILE_ATTRIBUTE_*), kept in system.ntfs_attrib on an ntfs-3g
// mount and in user.ntsim.attrib elsewhere; INVALID_FILE_ATTRIBUTES when it does not exist.
// known: the file's stat when the caller has it already (saves a system call per file).
uint32_t FileAttributesOf(const FileRef& ref, const struct stat* known = nullptr);
uint32_t FileStoreAttributes(const FileRef& ref, uint32_t attributes);

// The Win32 error for a failed host call's errno.
uint32_t ErrnoToWin32(int error);

}  // namespace ntsim
