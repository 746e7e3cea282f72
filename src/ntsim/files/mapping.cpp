// File mappings and their views: an unnamed section over a file opened by handle, views
// of it at offsets of the allocation granularity, their flush and their removal. A view
// is a shared host mapping of the file, so what the program writes in it is in the file
// at once, as in the system's cache; a power loss that takes unflushed data takes it back
// unless the file was flushed after its last writable view was unmapped.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "nt/win32.h"
#include "ntsim/files/durability.h"
#include "ntsim/files/file_handles.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/threads.h"

using namespace ntsim;

namespace {

// Views start at multiples of it, as on every Windows version.
const uint64_t kAllocationGranularity = 65536;

struct SectionObject : KernelObject {
    std::shared_ptr<FileObject> file;
    uint64_t size = 0;
    bool writable = false;  // PAGE_READWRITE
    const char* Kind() const override { return "Section"; }
};

struct View {
    size_t length = 0;
    std::shared_ptr<SectionObject> section;  // keeps the file open while the view lives
    bool writable = false;
};

ntsim::SimMutex g_viewsMutex;
std::map<uintptr_t, View> g_views;  // by base address

// The view holding address, or end().
std::map<uintptr_t, View>::iterator ViewHolding(uintptr_t address) {
    auto it = g_views.upper_bound(address);
    if (it == g_views.begin()) return g_views.end();
    --it;
    return address < it->first + it->second.length ? it : g_views.end();
}

}  // namespace

namespace ntsim {

bool MappedForWriting(const std::string& host) {
    std::lock_guard<ntsim::SimMutex> lock(g_viewsMutex);
    for (const auto& entry : g_views)
        if (entry.second.writable && entry.second.section->file->host == host) return true;
    return false;
}

}  // namespace ntsim

HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes, DWORD flProtect,
                          DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
    (void)lpFileMappingAttributes;
    // Sections backed by the paging file, and named ones other processes could open, are
    // not simulated.
    if (hFile == INVALID_HANDLE_VALUE || lpName) return Fail(ERROR_NOT_SUPPORTED, (HANDLE) nullptr);
    std::shared_ptr<FileObject> file = FileObjectOf(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE, (HANDLE) nullptr);
    if (FaultFails("CreateFileMappingA", file->path)) return nullptr;
    DWORD protect = flProtect & 0xFF;
    if (protect != PAGE_READONLY && protect != PAGE_READWRITE && protect != PAGE_WRITECOPY)
        return Fail(ERROR_INVALID_PARAMETER, (HANDLE) nullptr);
    if (!file->canRead || (protect == PAGE_READWRITE && !file->canWrite)) return Fail(ERROR_ACCESS_DENIED, (HANDLE) nullptr);
    struct stat st;
    if (fstat(file->fd, &st) != 0) return Fail(ErrnoToWin32(errno), (HANDLE) nullptr);
    uint64_t fileSize = (uint64_t)st.st_size;
    uint64_t size = ((uint64_t)dwMaximumSizeHigh << 32) | dwMaximumSizeLow;
    if (size == 0) {
        if (fileSize == 0) return Fail(ERROR_FILE_INVALID, (HANDLE) nullptr);  // nothing to map
        size = fileSize;
    } else if (size > fileSize) {
        // Windows grows the file to a larger section; not simulated.
        return Fail(ERROR_NOT_SUPPORTED, (HANDLE) nullptr);
    }
    auto section = std::make_shared<SectionObject>();
    section->file = file;
    section->size = size;
    section->writable = protect == PAGE_READWRITE;
    return HandleCreate(section);
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
    std::shared_ptr<SectionObject> section = HandleGetAs<SectionObject>(hFileMappingObject);
    if (!section) return Fail(ERROR_INVALID_HANDLE, (LPVOID) nullptr);
    if (FaultFails("MapViewOfFile", section->file->path)) return nullptr;
    uint64_t offset = ((uint64_t)dwFileOffsetHigh << 32) | dwFileOffsetLow;
    if (offset % kAllocationGranularity) return Fail(ERROR_MAPPED_ALIGNMENT, (LPVOID) nullptr);
    const bool write = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
    const bool copy = dwDesiredAccess == FILE_MAP_COPY;
    if (write && !section->writable) return Fail(ERROR_ACCESS_DENIED, (LPVOID) nullptr);
    if (offset >= section->size) return Fail(ERROR_ACCESS_DENIED, (LPVOID) nullptr);
    uint64_t length = dwNumberOfBytesToMap ? (uint64_t)dwNumberOfBytesToMap : section->size - offset;
    if (length > section->size - offset) return Fail(ERROR_ACCESS_DENIED, (LPVOID) nullptr);
    int protection = PROT_READ | (write || copy ? PROT_WRITE : 0);
    void* base = mmap(nullptr, (size_t)length, protection, copy ? MAP_PRIVATE : MAP_SHARED, section->file->fd,
                      (off_t)offset);
    if (base == MAP_FAILED) return Fail(ERROR_NOT_ENOUGH_MEMORY, (LPVOID) nullptr);
    // The file's data as it is now is what a power loss gives back until it is flushed.
    if (write) DurableBeforeWrite(section->file->host);
    std::lock_guard<ntsim::SimMutex> lock(g_viewsMutex);
    g_views[(uintptr_t)base] = View{(size_t)length, section, write};
    return base;
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress) {
    View view;
    {
        std::lock_guard<ntsim::SimMutex> lock(g_viewsMutex);
        auto it = g_views.find((uintptr_t)lpBaseAddress);
        if (it == g_views.end()) return Fail(ERROR_INVALID_ADDRESS);
        if (FaultFails("UnmapViewOfFile", it->second.section->file->path)) return FALSE;
        view = it->second;
        g_views.erase(it);
    }
    munmap(const_cast<void*>(lpBaseAddress), view.length);
    return TRUE;
}

BOOL FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush) {
    std::string path;
    {
        std::lock_guard<ntsim::SimMutex> lock(g_viewsMutex);
        auto it = ViewHolding((uintptr_t)lpBaseAddress);
        if (it == g_views.end()) return Fail(ERROR_INVALID_ADDRESS);
        if ((uintptr_t)lpBaseAddress + dwNumberOfBytesToFlush > it->first + it->second.length)
            return Fail(ERROR_INVALID_PARAMETER);
        path = it->second.section->file->path;
    }
    // The host mapping is shared with the file: the data is in it already. What reaches
    // the disk for good is decided by FlushFileBuffers.
    if (FaultFails("FlushViewOfFile", path)) return FALSE;
    return TRUE;
}
