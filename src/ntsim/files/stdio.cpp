// The C runtime's file opening by Windows path (fopen, _stat): the path mapped into the
// machine and access-checked, text mode translating CR LF as Windows' runtime does.
#define NTSIM_HOST_STDIO 1
#include <ctype.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/files/durability.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/threads.h"

using namespace ntsim;

namespace {

// A path the simulation itself uses for a host file (it has '/' and no drive or backslash
// start); Windows programs write backslashes.
bool HostPath(const char* path) {
    if (!ProcessAttached()) return true;
    if (path[0] == '\\' || (isalpha((unsigned char)path[0]) && path[1] == ':')) return false;
    return strchr(path, '/') != nullptr;
}

int ErrnoOf(uint32_t error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD: return EACCES;
    case ERROR_INVALID_NAME: return EINVAL;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    default: return EIO;
    }
}

FILE* Refuse(uint32_t error) {
    SetLastError(error);
    errno = ErrnoOf(error);
    return nullptr;
}

// Text mode over a binary host stream: '\n' goes out as CR LF, CR LF comes in as '\n'.
ssize_t TextRead(void* cookie, char* buf, size_t size) {
    FILE* f = (FILE*)cookie;
    size_t n = 0;
    while (n < size) {
        int c = getc(f);
        if (c == EOF) break;
        if (c == '\r') {
            int next = getc(f);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                ungetc(next, f);
        }
        buf[n++] = (char)c;
    }
    return ferror(f) ? -1 : (ssize_t)n;
}

ssize_t TextWrite(void* cookie, const char* buf, size_t size) {
    FILE* f = (FILE*)cookie;
    for (size_t i = 0; i < size; ++i) {
        if (buf[i] == '\n' && putc('\r', f) == EOF) return -1;
        if (putc(buf[i], f) == EOF) return -1;
    }
    // The outer stream calls this only when it flushes or its buffer is full: pass
    // the bytes on at once, so fflush on the program's stream reaches the file.
    return fflush(f) == 0 ? (ssize_t)size : -1;
}

int TextSeek(void* cookie, off64_t* offset, int whence) {
    FILE* f = (FILE*)cookie;
    if (fseeko(f, *offset, whence) != 0) return -1;
    *offset = ftello(f);
    return 0;
}

int TextClose(void* cookie) { return fclose((FILE*)cookie); }

// The Windows path each program stream was opened with, for faults by path; for a stream
// that writes, its host file and whether it was opened in commit mode ("c": a flush
// reaches the disk, as the C runtime's _commit does).
struct StreamInfo {
    std::string path;
    std::string host;
    bool writes = false;
    bool commit = false;
};
ntsim::SimMutex streamsMutex;
std::map<FILE*, StreamInfo> streamPaths;

void Remember(FILE* stream, const char* path, const std::string& host, bool writes, bool commit) {
    std::lock_guard<ntsim::SimMutex> lock(streamsMutex);
    streamPaths[stream] = {path, host, writes, commit};
}

// The stream's host file when it writes and the durable state is tracked; empty otherwise.
std::string TrackedHost(FILE* stream, bool* commit) {
    if (!DurabilityTracked()) return "";
    std::lock_guard<ntsim::SimMutex> lock(streamsMutex);
    auto it = streamPaths.find(stream);
    if (it == streamPaths.end() || !it->second.writes) return "";
    *commit = it->second.commit;
    return it->second.host;
}

// True when a fault rule makes this call on a program stream fail.
bool StreamFault(const char* function, FILE* stream, bool forget = false) {
    std::string path;
    {
        std::lock_guard<ntsim::SimMutex> lock(streamsMutex);
        auto it = streamPaths.find(stream);
        if (it == streamPaths.end()) return false;  // a host stream of the simulation
        path = it->second.path;
        if (forget) streamPaths.erase(it);
    }
    uint32_t err = 0;
    if (!FaultHit(function, path, &err)) return false;
    SetLastError(err);
    errno = ErrnoOf(err);
    return true;
}

}  // namespace

size_t NtsimFwrite(const void* data, size_t size, size_t count, FILE* stream) {
    if (stream && StreamFault("fwrite", stream)) return 0;
    bool commit = false;
    std::string host = stream ? TrackedHost(stream, &commit) : "";
    if (!host.empty()) {
        // What the file holds now is durable when nothing was written since its last flush.
        fflush(stream);
        DurableBeforeWrite(host);
    }
    return fwrite(data, size, count, stream);
}

int NtsimFflush(FILE* stream) {
    if (stream && StreamFault("fflush", stream)) return EOF;
    bool commit = false;
    std::string host = stream ? TrackedHost(stream, &commit) : "";
    int result = fflush(stream);
    if (result == 0 && commit && !host.empty()) DurableFlushed(host);
    return result;
}

int NtsimFclose(FILE* stream) {
    if (!stream) return EOF;
    // A failed close has still released the stream, as the C runtime's does. The close
    // does not commit, even in commit mode: the C runtime commits in fflush only.
    bool fail = StreamFault("fclose", stream, true);
    int result = fclose(stream);
    return fail ? EOF : result;
}

int NtsimFseek(FILE* stream, long offset, int whence) {
    uint32_t err = 0;
    if (FaultHit("fseek", "", &err)) {
        errno = ErrnoOf(err);
        return -1;
    }
    return fseek(stream, offset, whence);
}

FILE* NtsimFopen(const char* path, const char* mode) {
    if (!path || !mode) return Refuse(ERROR_INVALID_PARAMETER);
    if (HostPath(path)) return fopen(path, mode);
    uint32_t err = 0;
    if (FaultHit("fopen", path, &err)) return Refuse(err);
    // Windows' mode letters: r w a, +, b or t, and "c" (commit: a flush reaches the disk);
    // anything else ("n", "S", ...) is a hint.
    char access = mode[0];
    if (access != 'r' && access != 'w' && access != 'a') return Refuse(ERROR_INVALID_PARAMETER);
    bool plus = strchr(mode, '+') != nullptr, binary = strchr(mode, 'b') != nullptr;
    FileRef ref;
    if ((err = FileResolve(path, &ref)) != ERROR_SUCCESS) return Refuse(err == ERROR_INVALID_DRIVE ? ERROR_PATH_NOT_FOUND : err);
    struct stat st;
    bool exists = stat(ref.host.c_str(), &st) == 0;
    bool writes = access != 'r' || plus;
    if (exists) {
        if (S_ISDIR(st.st_mode)) return Refuse(ERROR_ACCESS_DENIED);
        if (writes && (FileAttributesOf(ref) & FILE_ATTRIBUTE_READONLY)) return Refuse(ERROR_ACCESS_DENIED);
        uint32_t desired = (access == 'r' || plus ? (uint32_t)kFileGenericRead : 0u) | (writes ? (uint32_t)kFileGenericWrite : 0u);
        if ((err = FileAccessCheck(ref, desired)) != ERROR_SUCCESS) return Refuse(err);
    } else {
        if (access == 'r') {
            FileRef parent;
            struct stat ps;
            return Refuse(FileParent(ref, &parent) && stat(parent.host.c_str(), &ps) != 0 ? ERROR_PATH_NOT_FOUND
                                                                                             : ERROR_FILE_NOT_FOUND);
        }
        FileRef parent;
        struct stat ps;
        if (!FileParent(ref, &parent) || stat(parent.host.c_str(), &ps) != 0 || !S_ISDIR(ps.st_mode))
            return Refuse(ERROR_PATH_NOT_FOUND);
        if ((err = FileAccessCheck(parent, kFileAddFile)) != ERROR_SUCCESS) return Refuse(err);
    }
    char hostMode[4] = {access, 0, 0, 0};
    size_t k = 1;
    if (plus) hostMode[k++] = '+';
    hostMode[k] = 'b';
    // "w" empties the file at once: its durable data is kept before.
    if (writes) DurableBeforeWrite(ref.host);
    FILE* f = fopen(ref.host.c_str(), hostMode);
    if (!f) return Refuse(ErrnoToWin32(errno));
    if (!exists) FileStoreNewDescriptor(ref, false);
    bool commit = strchr(mode, 'c') != nullptr;
    if (binary) {
        Remember(f, path, ref.host, writes, commit);
        return f;
    }
    cookie_io_functions_t io = {TextRead, TextWrite, TextSeek, TextClose};
    FILE* text = fopencookie(f, hostMode, io);
    if (!text) {
        fclose(f);
        return Refuse(ERROR_NOT_ENOUGH_MEMORY);
    }
    Remember(text, path, ref.host, writes, commit);
    return text;
}

int _stat(const char* path, struct _stat* buffer) {
    if (!path || !buffer) {
        errno = EINVAL;
        return -1;
    }
    uint32_t err = 0;
    if (FaultHit("_stat", path, &err)) {
        errno = ErrnoOf(err);
        return -1;
    }
    FileRef ref;
    struct stat st;
    if (FileResolve(path, &ref) != ERROR_SUCCESS || stat(ref.host.c_str(), &st) != 0) {
        errno = ENOENT;
        return -1;
    }
    memset(buffer, 0, sizeof *buffer);
    buffer->st_dev = buffer->st_rdev = (unsigned)(toupper((unsigned char)ref.full[0]) - 'A');
    buffer->st_mode = (unsigned short)((S_ISDIR(st.st_mode) ? _S_IFDIR : _S_IFREG) | 0444 |
                                       ((FileAttributesOf(ref) & FILE_ATTRIBUTE_READONLY) ? 0 : 0222) |
                                       (S_ISDIR(st.st_mode) ? 0111 : 0));
    buffer->st_nlink = 1;
    buffer->st_size = S_ISDIR(st.st_mode) ? 0 : (long)st.st_size;
    buffer->st_atim = st.st_atim;
    buffer->st_mtim = st.st_mtim;
    buffer->st_ctim = st.st_ctim;
    return 0;
}
