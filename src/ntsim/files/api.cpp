// Files and directories by Windows path: attributes, directory creation and removal,
// deletion, copying, moving (also at the next restart), temporary names, and the
// find-first / find-next enumeration; every call access-checked against the file security.
#define NTSIM_HOST_STDIO 1
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "nt/win32.h"
#include "ntsim/security/access.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/files/listing.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/handles.h"
#include "ntsim/kernel/processes.h"
#include "ntsim/security/sd.h"
#include "ntsim/kernel/threads.h"

using namespace ntsim;

namespace {

bool Exists(const std::string& host, struct stat* st = nullptr) {
    struct stat s;
    return stat(host.c_str(), st ? st : &s) == 0;
}

// ERROR_FILE_NOT_FOUND when the folder exists, ERROR_PATH_NOT_FOUND when it does not.
uint32_t MissingError(const FileRef& ref) {
    FileRef parent;
    struct stat st;
    if (FileParent(ref, &parent) && (!Exists(parent.host, &st) || !S_ISDIR(st.st_mode))) return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

// found: whether the host file exists, and its stat: the one the resolution made when it
// made one, which a stat right after would only repeat.
bool Resolve(LPCSTR path, FileRef* ref, bool* found = nullptr, struct stat* st = nullptr) {
    if (!path || !*path) return Fail(ERROR_PATH_NOT_FOUND), false;
    uint32_t err = FileResolve(path, ref, st);
    if (err != ERROR_SUCCESS) return Fail(err == ERROR_INVALID_DRIVE ? ERROR_PATH_NOT_FOUND : err), false;
    if (found) *found = st->st_mode != 0 || Exists(ref->host, st);
    return true;
}

// Resolves a path for a call, running fault injection first.
bool Begin(const char* function, LPCSTR path, FileRef* ref, bool* found = nullptr, struct stat* st = nullptr) {
    uint32_t err = 0;
    if (FaultHit(function, path ? path : "", &err)) return Fail(err), false;
    return Resolve(path, ref, found, st);
}

// Deleting needs DELETE on the object or FILE_DELETE_CHILD on its folder, as on NT.
uint32_t CheckDelete(const FileRef& ref) {
    if (FileAccessCheck(ref, DELETE) == ERROR_SUCCESS) return ERROR_SUCCESS;
    FileRef parent;
    if (FileParent(ref, &parent) && FileAccessCheck(parent, kFileDeleteChild, 0, nullptr, true) == ERROR_SUCCESS)
        return ERROR_SUCCESS;
    return ERROR_ACCESS_DENIED;
}

// Creating a name in a folder: the folder must exist and grant the right to add it.
// folderDescriptor: where to keep the folder's descriptor, which the new file inherits from;
// folderExists: the caller has just seen the folder.
uint32_t CheckCreate(const FileRef& ref, uint32_t right, std::vector<uint8_t>* folderDescriptor = nullptr,
                     bool folderExists = false) {
    FileRef parent;
    struct stat st;
    if (!FileParent(ref, &parent)) return ERROR_ACCESS_DENIED;
    if (!folderExists && (!Exists(parent.host, &st) || !S_ISDIR(st.st_mode))) return ERROR_PATH_NOT_FOUND;
    return FileAccessCheck(parent, right, 0, folderDescriptor, true);
}

uint64_t FileTimeOf(const struct timespec& ts) {
    return ((uint64_t)ts.tv_sec + 11644473600ull) * 10000000ull + (uint64_t)ts.tv_nsec / 100;
}
void SetFileTime(FILETIME* ft, const struct timespec& ts) {
    uint64_t v = FileTimeOf(ts);
    ft->dwLowDateTime = (DWORD)v;
    ft->dwHighDateTime = (DWORD)(v >> 32);
}

uint32_t CopyContents(const std::string& from, const std::string& to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return ErrnoToWin32(errno);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        int e = errno;
        close(in);
        return ErrnoToWin32(e);
    }
    char buf[65536];
    uint32_t err = ERROR_SUCCESS;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            err = ErrnoToWin32(errno);
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf + done, (size_t)(n - done));
            if (w < 0) {
                err = ErrnoToWin32(errno);
                break;
            }
            done += w;
        }
        if (err) break;
    }
    close(in);
    if (close(out) != 0 && !err) err = ErrnoToWin32(errno);
    return err;
}

// Fills in what the host knows of one listed name; a name gone meanwhile is marked so.
void ReadEntry(int folderFd, FileRef* child, size_t base, ListedEntry* entry, uint8_t* gone) {
    struct stat cs;
    if (fstatat(folderFd, entry->name.c_str(), &cs, 0) != 0) {
        *gone = 1;
        return;
    }
    bool dots = entry->name == "." || entry->name == "..";
    child->host.replace(base, std::string::npos, entry->name);
    entry->attributes = dots ? FILE_ATTRIBUTE_DIRECTORY : FileAttributesOf(*child, &cs);
    SetFileTime(&entry->created, cs.st_ctim);
    SetFileTime(&entry->accessed, cs.st_atim);
    SetFileTime(&entry->written, cs.st_mtim);
    entry->size = S_ISDIR(cs.st_mode) ? 0 : (uint64_t)cs.st_size;
}

void ToFindData(const ListedEntry& entry, WIN32_FIND_DATAA* fd) {
    memset(fd, 0, sizeof *fd);
    fd->dwFileAttributes = entry.attributes;
    fd->ftCreationTime = entry.created;
    fd->ftLastAccessTime = entry.accessed;
    fd->ftLastWriteTime = entry.written;
    fd->nFileSizeHigh = (DWORD)(entry.size >> 32);
    fd->nFileSizeLow = (DWORD)entry.size;
    memcpy(fd->cFileName, entry.name.c_str(), entry.name.size() + 1);
}

// A find handle. The host's per-name calls are most of what listing a folder costs, so a
// large folder is read on by a second thread once the first entry is known, while the
// caller works on the entries already read; FindNextFileA waits for an entry not yet read.
struct FindObject : KernelObject {
    FolderListing listing;  // the entries, which DeleteFileA may use while the handle is open
    std::mutex mutex;  // guards the change of listing.read that readMore announces
    std::condition_variable readMore;
    std::atomic<bool> stop{false};
    std::thread reader;

    ~FindObject() override {
        stop = true;
        if (reader.joinable()) reader.join();
    }
    const char* Kind() const override { return "Find"; }

    void ReadFrom(size_t first) {
        FileRef child = listing.folder;
        child.host += '/';
        size_t base = child.host.size();
        size_t count = listing.entries.size();
        for (size_t i = first; i < count && !stop; ++i) {
            ReadEntry(listing.folderFd, &child, base, &listing.entries[i], &listing.gone[i]);
            if ((i + 1) % 32 == 0 || i + 1 == count) {
                std::lock_guard<std::mutex> lock(mutex);
                listing.read.store(i + 1, std::memory_order_release);
                readMore.notify_all();
            }
        }
    }

    // Not suspended while it waits: the reader needs the mutex to go on.
    void WaitFor(size_t index) {
        if (listing.read.load(std::memory_order_acquire) > index) return;
        ThreadEnterCritical();
        {
            std::unique_lock<std::mutex> lock(mutex);
            readMore.wait(lock, [&] { return listing.read.load(std::memory_order_acquire) > index; });
        }
        ThreadLeaveCritical();
    }
};

// Windows' wildcard rules: "*.*" is everything, "*" and "?" as usual, no case.
bool NameMatches(const std::string& pattern, const std::string& name) {
    if (pattern == "*.*" || pattern == "*") return true;
    if (pattern.size() > 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0 &&
        GlobMatch(pattern.substr(0, pattern.size() - 2), name))
        return true;  // "name.*" also matches "name"
    return GlobMatch(pattern, name);
}

}  // namespace

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    FileRef ref;
    if (!Begin("GetFileAttributesA", lpFileName, &ref)) return INVALID_FILE_ATTRIBUTES;
    uint32_t a = FileAttributesOf(ref);
    if (a == INVALID_FILE_ATTRIBUTES) SetLastError(MissingError(ref));
    return a;
}

BOOL GetFileAttributesExA(LPCSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId, LPVOID lpFileInformation) {
    FileRef ref;
    if (!Begin("GetFileAttributesExA", lpFileName, &ref)) return FALSE;
    if (fInfoLevelId != GetFileExInfoStandard || !lpFileInformation) return Fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (!Exists(ref.host, &st)) return Fail(MissingError(ref));
    WIN32_FILE_ATTRIBUTE_DATA* d = (WIN32_FILE_ATTRIBUTE_DATA*)lpFileInformation;
    d->dwFileAttributes = FileAttributesOf(ref);
    SetFileTime(&d->ftCreationTime, st.st_ctim);
    SetFileTime(&d->ftLastAccessTime, st.st_atim);
    SetFileTime(&d->ftLastWriteTime, st.st_mtim);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : (uint64_t)st.st_size;
    d->nFileSizeHigh = (DWORD)(size >> 32);
    d->nFileSizeLow = (DWORD)size;
    return TRUE;
}

BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    FileRef ref;
    if (!Begin("SetFileAttributesA", lpFileName, &ref)) return FALSE;
    if (!Exists(ref.host)) return Fail(MissingError(ref));
    uint32_t err = FileAccessCheck(ref, kFileWriteAttributes);
    if (err == ERROR_SUCCESS) err = FileStoreAttributes(ref, dwFileAttributes);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    FileRef ref;
    if (!Begin("CreateDirectoryA", lpPathName, &ref)) return FALSE;
    if (Exists(ref.host)) return Fail(ERROR_ALREADY_EXISTS);
    uint32_t err = CheckCreate(ref, kFileAddSubdirectory);
    if (err != ERROR_SUCCESS) return Fail(err);
    if (mkdir(ref.host.c_str(), 0755) != 0) return Fail(ErrnoToWin32(errno));
    FileStoreNewDescriptor(ref, true);
    if (lpSecurityAttributes && lpSecurityAttributes->lpSecurityDescriptor && ref.store != FileStore::None) {
        // The caller's descriptor replaces what was inherited, part by part.
        SdView given, mine;
        std::vector<uint8_t> inherited;
        bool secured;
        if (SdParseAny(lpSecurityAttributes->lpSecurityDescriptor, &given) == ERROR_SUCCESS &&
            FileDescriptor(ref, &inherited, &secured) == ERROR_SUCCESS &&
            SdParseRelative(inherited.data(), inherited.size(), &mine) == ERROR_SUCCESS) {
            uint16_t control = (uint16_t)(mine.control | (given.control & (SE_DACL_PRESENT | SE_SACL_PRESENT)));
            // Given lists are stored with the generic rights of the entries that apply to the
            // folder itself mapped, as NT assigns them.
            std::vector<uint8_t> dacl, sacl;
            if (given.dacl) dacl.assign(given.dacl, given.dacl + given.daclLen);
            if (given.sacl) sacl.assign(given.sacl, given.sacl + given.saclLen);
            AclMapGeneric(dacl.data(), dacl.size(), FileGenericMapping());
            AclMapGeneric(sacl.data(), sacl.size(), FileGenericMapping());
            FileWriteStored(ref.host, ref.store,
                            SdBuild(control, given.owner ? given.owner : mine.owner, given.group ? given.group : mine.group,
                                    (given.control & SE_SACL_PRESENT) ? (given.sacl ? sacl.data() : nullptr) : mine.sacl,
                                    (given.control & SE_DACL_PRESENT) ? (given.dacl ? dacl.data() : nullptr) : mine.dacl));
        }
    }
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR lpPathName) {
    FileRef ref;
    if (!Begin("RemoveDirectoryA", lpPathName, &ref)) return FALSE;
    struct stat st;
    if (!Exists(ref.host, &st)) return Fail(MissingError(ref));
    if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
    if (FileAttributesOf(ref) & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED);
    uint32_t err = CheckDelete(ref);
    if (err != ERROR_SUCCESS) return Fail(err);
    if (rmdir(ref.host.c_str()) != 0) return Fail(ErrnoToWin32(errno));
    FileChanged(ref.host);
    return TRUE;
}

BOOL DeleteFileA(LPCSTR lpFileName) {
    if (FaultFails("DeleteFileA", lpFileName ? lpFileName : "")) return FALSE;
    // A file an open find handle has just listed: the listing holds what the checks
    // below would read again. Should the unlink fail, the full checks give the error.
    if (lpFileName && *lpFileName && ListingDelete(FullWindowsPath(lpFileName))) return TRUE;
    FileRef ref;
    bool found;
    struct stat st;
    if (!Resolve(lpFileName, &ref, &found, &st)) return FALSE;
    if (!found) return Fail(MissingError(ref));
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (FileAttributesOf(ref, &st) & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED);
    uint32_t err = CheckDelete(ref);
    if (err != ERROR_SUCCESS) return Fail(err);
    // The image of a running program cannot be deleted.
    if (ImageInUse(ref.host)) return Fail(ERROR_ACCESS_DENIED);
    if (unlink(ref.host.c_str()) != 0) return Fail(ErrnoToWin32(errno));
    FileChanged(ref.host);
    return TRUE;
}

BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    FileRef from, to;
    if (!Begin("CopyFileA", lpExistingFileName, &from)) return FALSE;
    uint32_t err = lpNewFileName ? FileResolve(lpNewFileName, &to) : ERROR_PATH_NOT_FOUND;
    if (err != ERROR_SUCCESS) return Fail(err);
    struct stat st;
    if (!Exists(from.host, &st)) return Fail(MissingError(from));
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if ((err = FileAccessCheck(from, kFileGenericRead)) != ERROR_SUCCESS) return Fail(err);
    uint32_t attributes = FileAttributesOf(from);
    mode_t hostMode = st.st_mode & 0777;
    bool existed = Exists(to.host, &st);
    if (existed) {
        if (bFailIfExists) return Fail(ERROR_FILE_EXISTS);
        if (S_ISDIR(st.st_mode) || (FileAttributesOf(to) & FILE_ATTRIBUTE_READONLY)) return Fail(ERROR_ACCESS_DENIED);
        err = FileAccessCheck(to, kFileGenericWrite);
    } else {
        err = CheckCreate(to, kFileAddFile);
    }
    if (err != ERROR_SUCCESS) return Fail(err);
    if ((err = CopyContents(from.host, to.host)) != ERROR_SUCCESS) return Fail(err);
    // A copied host program stays runnable, as a copied .exe does.
    if (hostMode & 0111) chmod(to.host.c_str(), hostMode);
    if (!existed) FileStoreNewDescriptor(to, false);
    // The copy keeps the attributes and is marked for backup.
    FileStoreAttributes(to, (attributes & ~(uint32_t)FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_ARCHIVE);
    return TRUE;
}

UINT GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique, LPSTR lpTempFileName) {
    FileRef dir;
    bool found;
    struct stat st;
    if (!Begin("GetTempFileNameA", lpPathName, &dir, &found, &st)) return 0;
    if (!lpTempFileName) return Fail(ERROR_INVALID_PARAMETER), 0;
    if (!found || !S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY), 0;
    std::string prefix = lpPrefixString ? std::string(lpPrefixString).substr(0, 3) : "";
    std::string base = dir.full + (dir.full.back() == '\\' ? "" : "\\") + prefix;
    UINT start = uUnique ? uUnique : (UINT)((getpid() ^ (unsigned)time(nullptr)) & 0xFFFF);
    for (UINT k = 0; k < 0x10000; ++k) {
        UINT n = uUnique ? uUnique : ((start + k) & 0xFFFF);
        if (!n) continue;
        char name[MAX_PATH];
        if (snprintf(name, sizeof name, "%s%X.TMP", base.c_str(), n) >= (int)sizeof name) return Fail(ERROR_BUFFER_OVERFLOW), 0;
        if (uUnique) {
            strcpy(lpTempFileName, name);
            return n;
        }
        FileRef ref;
        if (FileResolve(name, &ref) != ERROR_SUCCESS) continue;
        std::vector<uint8_t> folder;
        uint32_t err = CheckCreate(ref, kFileAddFile, &folder, true);  // the folder was seen above
        if (err != ERROR_SUCCESS) return Fail(err), 0;
        int fd = open(ref.host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return Fail(ErrnoToWin32(errno)), 0;
        }
        close(fd);
        FileStoreNewDescriptor(ref, false, folder.empty() ? nullptr : &folder);
        strcpy(lpTempFileName, name);
        return n;
    }
    return Fail(ERROR_FILE_EXISTS), 0;
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    uint32_t err = 0;
    if (FaultHit("FindFirstFileA", lpFileName ? lpFileName : "", &err)) return Fail(err), INVALID_HANDLE_VALUE;
    if (!lpFileName || !*lpFileName || !lpFindFileData) return Fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
    std::string full = FullWindowsPath(lpFileName);
    size_t slash = full.find_last_of('\\');
    std::string pattern = full.substr(slash + 1);
    std::string folder = slash <= 2 ? full.substr(0, 3) : full.substr(0, slash);
    if (pattern.empty()) return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    FileRef dir;
    if ((err = FileResolve(folder, &dir)) != ERROR_SUCCESS)
        return Fail(err == ERROR_INVALID_DRIVE ? ERROR_PATH_NOT_FOUND : err), INVALID_HANDLE_VALUE;
    struct stat st;
    if (!Exists(dir.host, &st) || !S_ISDIR(st.st_mode)) return Fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
    auto find = std::make_shared<FindObject>();
    ListingBegin(&find->listing);
    // kernel32 opens the folder for backup: an enabled SeBackupPrivilege lists any folder.
    if ((err = FileAccessCheck(dir, kFileListDirectory, kBackupIntent, &find->listing.descriptor)) != ERROR_SUCCESS)
        return Fail(err), INVALID_HANDLE_VALUE;
    DIR* d = opendir(dir.host.c_str());
    if (!d) return Fail(ErrnoToWin32(errno)), INVALID_HANDLE_VALUE;
    FolderListing& listing = find->listing;
    bool root = folder.size() <= 3;
    while (struct dirent* e = readdir(d)) {
        const char* name = e->d_name;
        // A root has no "." and ".." entries on NT; other folders list both.
        if (root && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)) continue;
        if (strlen(name) >= MAX_PATH || !NameMatches(pattern, name)) continue;
        listing.entries.emplace_back().name = name;
    }
    listing.folder = dir;
    // The folder stays open for the reader and for DeleteFileA while the listing is kept.
    listing.folderFd = fcntl(dirfd(d), F_DUPFD_CLOEXEC, 0);
    size_t count = listing.entries.size();
    listing.gone.assign(count, 0);
    FileRef child = dir;
    child.host += '/';
    size_t base = child.host.size();
    int fd = listing.folderFd >= 0 ? listing.folderFd : dirfd(d);
    size_t first = 0;
    while (first < count) {
        ReadEntry(fd, &child, base, &listing.entries[first], &listing.gone[first]);
        if (!listing.gone[first]) break;
        ++first;
    }
    size_t read = first < count ? first + 1 : count;
    listing.read = read;
    static const bool twoProcessors = std::thread::hardware_concurrency() > 1;
    if (count - read >= 64 && listing.folderFd >= 0 && twoProcessors) {
        try {
            find->reader = std::thread([f = find.get(), read] { f->ReadFrom(read); });
        } catch (const std::system_error&) {
        }
    }
    if (!find->reader.joinable()) {
        for (size_t i = read; i < count; ++i) ReadEntry(fd, &child, base, &listing.entries[i], &listing.gone[i]);
        listing.read = count;
    }
    closedir(d);
    if (first >= count) return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    ToFindData(listing.entries[first], lpFindFileData);
    listing.returned = first + 1;
    ListingOpen(&listing);
    return HandleCreate(find);
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    if (FaultFails("FindNextFileA", "")) return FALSE;
    auto find = HandleGetAs<FindObject>(hFindFile);
    if (!find) return Fail(ERROR_INVALID_HANDLE);
    FolderListing& listing = find->listing;
    size_t next = listing.returned.load(std::memory_order_relaxed);
    for (;; ++next) {
        if (next >= listing.entries.size()) return Fail(ERROR_NO_MORE_FILES);
        find->WaitFor(next);
        if (!listing.gone[next]) break;
    }
    ToFindData(listing.entries[next], lpFindFileData);
    listing.returned.store(next + 1, std::memory_order_release);
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    if (!HandleGetAs<FindObject>(hFindFile) || !HandleClose(hFindFile)) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
