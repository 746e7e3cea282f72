// Files by handle: CreateFileA for an existing file, its size, and the flush that puts its
// data on the disk. The data itself is reached through a mapping (files/mapping.cpp).
#include "ntsim/files/file_handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "nt/win32.h"
#include "ntsim/files/durability.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"

namespace ntsim {

FileObject::~FileObject() {
    if (fd >= 0) close(fd);
}

std::shared_ptr<FileObject> FileObjectOf(HANDLE handle) { return HandleGetAs<FileObject>(handle); }

}  // namespace ntsim

using namespace ntsim;

namespace {

// The generic rights in a desired access turned into the file's specific ones.
uint32_t FileRights(uint32_t desired) {
    const GENERIC_MAPPING& mapping = FileGenericMapping();
    uint32_t rights = desired & ~(uint32_t)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ) rights |= mapping.GenericRead;
    if (desired & GENERIC_WRITE) rights |= mapping.GenericWrite;
    if (desired & GENERIC_EXECUTE) rights |= mapping.GenericExecute;
    if (desired & GENERIC_ALL) rights |= mapping.GenericAll;
    return rights;
}

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)dwShareMode;  // sharing is not simulated: no other program opens the machine's files
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    if (!lpFileName || !*lpFileName) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (FaultFails("CreateFileA", lpFileName)) return INVALID_HANDLE_VALUE;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    // Only the opening of an existing file is simulated; creation goes through fopen.
    if (dwCreationDisposition != OPEN_EXISTING) return Fail(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
    FileRef ref;
    uint32_t err = FileResolve(lpFileName, &ref);
    if (err != ERROR_SUCCESS) return Fail(err == ERROR_INVALID_DRIVE ? ERROR_PATH_NOT_FOUND : err, INVALID_HANDLE_VALUE);
    struct stat st;
    if (stat(ref.host.c_str(), &st) != 0) {
        FileRef parent;
        struct stat ps;
        bool folder = FileParent(ref, &parent) && stat(parent.host.c_str(), &ps) == 0 && S_ISDIR(ps.st_mode);
        return Fail(folder ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    // A folder opens only with backup semantics, which give no data to map.
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    uint32_t rights = FileRights(dwDesiredAccess);
    const bool writes = (rights & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    const bool reads = (rights & FILE_READ_DATA) != 0;
    if (writes && (FileAttributesOf(ref, &st) & FILE_ATTRIBUTE_READONLY))
        return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (rights && (err = FileAccessCheck(ref, rights)) != ERROR_SUCCESS) return Fail(err, INVALID_HANDLE_VALUE);
    int fd = open(ref.host.c_str(), (writes ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return Fail(ErrnoToWin32(errno), INVALID_HANDLE_VALUE);
    auto file = std::make_shared<FileObject>();
    file->fd = fd;
    file->path = lpFileName;
    file->host = ref.host;
    file->canRead = reads;
    file->canWrite = writes;
    return HandleCreate(file);
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    std::shared_ptr<FileObject> file = FileObjectOf(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
    if (FaultFails("GetFileSize", file->path)) return INVALID_FILE_SIZE;
    struct stat st;
    if (fstat(file->fd, &st) != 0) return Fail(ErrnoToWin32(errno), INVALID_FILE_SIZE);
    uint64_t size = (uint64_t)st.st_size;
    if (lpFileSizeHigh) *lpFileSizeHigh = (DWORD)(size >> 32);
    // A size whose low part reads as the failure value says so with a last error of none.
    if ((DWORD)size == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
    return (DWORD)size;
}

BOOL FlushFileBuffers(HANDLE hFile) {
    std::shared_ptr<FileObject> file = FileObjectOf(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    if (!file->canWrite) return Fail(ERROR_ACCESS_DENIED);
    if (FaultFails("FlushFileBuffers", file->path)) return FALSE;
    // What the file holds now is on the disk, unless a view that may write it is still
    // mapped: the simulation cannot see those writes, so it counts none of them as made
    // durable until the view is gone (a program flushes its view, unmaps it, then this).
    if (!MappedForWriting(file->host)) DurableFlushed(file->host);
    return TRUE;
}
