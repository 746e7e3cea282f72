// Where file descriptors live on the host, what a file without one inherits, and the
// access check that file operations make against them.
#define NTSIM_HOST_STDIO 1
#include "ntsim/files/security.h"

#include <strings.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "ntsim/security/access.h"
#include "ntsim/files/listing.h"
#include "ntsim/security/sd.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {
const GENERIC_MAPPING kFileMapping = {kFileGenericRead, kFileGenericWrite, kFileGenericExecute, kFileAllAccess};
const char kNtfsAcl[] = "system.ntfs_acl";
const char kNtsimSd[] = "user.ntsim.sd";

ntsim::SimMutex g_mountMutex;
std::map<std::string, bool> g_ntfs3g;  // host drive root -> is an ntfs-3g mount

// The mount holding host (longest mount point that is a prefix) is ntfs-3g's FUSE mount.
bool OnNtfs3g(const std::string& host) {
    struct statfs fs;
    if (statfs(host.c_str(), &fs) != 0 || (unsigned long)fs.f_type != 0x65735546UL) return false;  // FUSE
    FILE* f = fopen("/proc/mounts", "r");
    if (!f) return false;
    char line[4096];
    size_t best = 0;
    bool ntfs = false;
    while (fgets(line, sizeof line, f)) {
        char src[1024], dir[1024], type[256];
        if (sscanf(line, "%1023s %1023s %255s", src, dir, type) != 3) continue;
        size_t n = strlen(dir);
        if (host.compare(0, n, dir) != 0 || (host.size() > n && host[n] != '/' && n != 1)) continue;
        if (n < best) continue;
        best = n;
        ntfs = strcmp(type, "fuseblk") == 0 || strcmp(type, "fuse.ntfs-3g") == 0 || strcmp(type, "fuse.lowntfs-3g") == 0 ||
               strcmp(type, "fuse") == 0;
    }
    fclose(f);
    return ntfs;
}

FileStore StoreOf(const DriveInfo& drive) {
    if (strcasecmp(drive.fs.c_str(), "NTFS") != 0) return FileStore::None;
    std::lock_guard<ntsim::SimMutex> lock(g_mountMutex);
    auto it = g_ntfs3g.find(drive.hostRoot);
    if (it == g_ntfs3g.end()) it = g_ntfs3g.emplace(drive.hostRoot, OnNtfs3g(drive.hostRoot)).first;
    return it->second ? FileStore::NtfsAcl : FileStore::NtsimXattr;
}

AceEntry Allow(uint8_t flags, uint32_t mask, SidBytes sid) {
    AceEntry e;
    e.flags = flags;
    e.mask = mask;
    e.sid = std::move(sid);
    return e;
}

// NT 4.0's default for an NTFS root.
std::vector<uint8_t> RootDescriptor() {
    const uint8_t inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    std::vector<AceEntry> aces = {Allow(inherit, kFileAllAccess, SidBuiltin(DOMAIN_ALIAS_RID_ADMINS)),
                                  Allow(inherit, kFileAllAccess, SidLocalSystem()),
                                  Allow(inherit | INHERIT_ONLY_ACE, kFileAllAccess, SidCreatorOwner()),
                                  Allow(inherit, 0x001301BF, SidEveryone())};  // change: read, write, execute, delete
    std::vector<uint8_t> dacl = AclBuild(aces);
    SidBytes owner = SidBuiltin(DOMAIN_ALIAS_RID_ADMINS), group = SidLocalSystem();
    return SdBuild(SE_DACL_PRESENT, owner.data(), group.data(), nullptr, dacl.data());
}

// Who a file without a stored descriptor counts as created by: the system, for Administrators.
const Token& InstallerToken() {
    static const Token t = [] {
        Token k;
        k.user = SidLocalSystem();
        k.owner = SidBuiltin(DOMAIN_ALIAS_RID_ADMINS);
        k.primaryGroup = SidLocalSystem();
        return k;
    }();
    return t;
}

}  // namespace

const GENERIC_MAPPING& FileGenericMapping() { return kFileMapping; }

uint32_t FileResolve(const std::string& path, FileRef* ref, struct stat* seen) {
    *ref = FileRef();
    uint32_t err = MapWindowsPath(path, &ref->host, seen);
    if (err != ERROR_SUCCESS) return err;
    ref->full = FullWindowsPath(path);
    if (ref->full.size() > 3 && ref->full.back() == '\\') ref->full.pop_back();
    if (!DriveLookup(ref->full[0], &ref->drive)) return ERROR_INVALID_DRIVE;
    while (ref->host.size() > ref->drive.hostRoot.size() && ref->host.back() == '/') ref->host.pop_back();
    ref->store = StoreOf(ref->drive);
    return ERROR_SUCCESS;
}

uint32_t FileResolveReading(const std::string& path, FileRef* ref, std::vector<uint8_t>* sd, bool* read) {
    *read = false;
    std::string full = path.empty() ? std::string() : FullWindowsPath(path);
    DriveInfo drive;
    // The host path MapWindowsPath takes when the name exists as written; anything else
    // (another case, wildcards, a missing file, no descriptor) takes the full resolution.
    if (full.size() >= 3 && full[1] == ':' && full[2] == '\\' && full.find_first_of("<>|\"*?") == std::string::npos &&
        DriveLookup(full[0], &drive) && drive.ready) {
        FileStore store = StoreOf(drive);
        std::string host = drive.hostRoot + "/";
        for (size_t k = 3; k < full.size(); ++k) host += full[k] == '\\' ? '/' : full[k];
        while (host.size() > drive.hostRoot.size() && host.back() == '/') host.pop_back();
        if (store != FileStore::None && host.find("/./") == std::string::npos && FileReadStored(host, store, sd)) {
            *ref = FileRef();
            ref->full = std::move(full);
            if (ref->full.size() > 3 && ref->full.back() == '\\') ref->full.pop_back();
            ref->host = std::move(host);
            ref->drive = std::move(drive);
            ref->store = store;
            *read = true;
            return ERROR_SUCCESS;
        }
    }
    return FileResolve(path, ref);
}

bool FileParent(const FileRef& ref, FileRef* parent) {
    if (ref.full.size() <= 3) return false;
    size_t slash = ref.full.find_last_of('\\');
    size_t hostSlash = ref.host.find_last_of('/');
    if (slash == std::string::npos || hostSlash == std::string::npos) return false;
    *parent = ref;
    parent->full = ref.full.substr(0, slash < 3 ? 3 : slash);
    parent->host = ref.host.substr(0, hostSlash);
    if (parent->host.size() < ref.drive.hostRoot.size()) parent->host = ref.drive.hostRoot;
    return true;
}

bool FileReadStored(const std::string& host, FileStore store, std::vector<uint8_t>* sd) {
    if (store == FileStore::None) return false;
    const char* name = store == FileStore::NtfsAcl ? kNtfsAcl : kNtsimSd;
    // Most descriptors are small: one read into a stack buffer, a size probe only when it is not enough.
    uint8_t small[1024];
    ssize_t n = getxattr(host.c_str(), name, small, sizeof small);
    if (n > 0) {
        sd->assign(small, small + n);
        return true;
    }
    if (errno != ERANGE) return false;
    n = getxattr(host.c_str(), name, nullptr, 0);
    if (n <= 0 || n > 0x40000) return false;
    sd->resize((size_t)n);
    n = getxattr(host.c_str(), name, sd->data(), sd->size());
    if (n <= 0) return false;
    sd->resize((size_t)n);
    return true;
}

uint32_t FileWriteStored(const std::string& host, FileStore store, const std::vector<uint8_t>& sd) {
    if (store == FileStore::None) return ERROR_NOT_SUPPORTED;
    const char* name = store == FileStore::NtfsAcl ? kNtfsAcl : kNtsimSd;
    if (setxattr(host.c_str(), name, sd.data(), sd.size(), 0) != 0) {
        if (errno == ENOENT) return ERROR_FILE_NOT_FOUND;
        if (errno == EACCES || errno == EPERM) return ERROR_ACCESS_DENIED;
        if (errno == ENOSPC || errno == EDQUOT) return ERROR_DISK_FULL;
        return ERROR_NOT_SUPPORTED;
    }
    FileChanged(host);
    return ERROR_SUCCESS;
}

uint32_t FileDescriptor(const FileRef& ref, std::vector<uint8_t>* sd, bool* secured, bool folder) {
    *secured = ref.store != FileStore::None;
    // A stored descriptor also proves the file exists: the stat is needed only without one,
    // and not for a folder whose missing descriptor (rather than a missing path) was the answer.
    if (*secured && FileReadStored(ref.host, ref.store, sd)) {
        SdView v;
        return SdParseRelative(sd->data(), sd->size(), &v);
    }
    bool knownFolder = folder && *secured && errno == ENODATA;
    struct stat st;
    if (knownFolder)
        st.st_mode = S_IFDIR;
    else if (stat(ref.host.c_str(), &st) != 0)
        return ERROR_FILE_NOT_FOUND;
    if (!*secured) {
        // FAT keeps no security: everyone may do everything, as a null DACL says.
        *sd = SdBuild(SE_DACL_PRESENT, nullptr, nullptr, nullptr, nullptr);
        return ERROR_SUCCESS;
    }
    FileRef parent;
    if (!FileParent(ref, &parent)) {
        *sd = RootDescriptor();
        return ERROR_SUCCESS;
    }
    std::vector<uint8_t> up;
    bool s;
    uint32_t err = FileDescriptor(parent, &up, &s, true);
    if (err != ERROR_SUCCESS) return err;
    *sd = InheritDescriptor(up.data(), up.size(), S_ISDIR(st.st_mode), InstallerToken(), &kFileMapping);
    return ERROR_SUCCESS;
}

uint32_t FileAccessCheck(const FileRef& ref, uint32_t desired, uint32_t flags, std::vector<uint8_t>* descriptor,
                         bool folder) {
    if (ref.store == FileStore::None) return ERROR_SUCCESS;
    std::vector<uint8_t> sd;
    bool secured;
    uint32_t err = FileDescriptor(ref, &sd, &secured, folder);
    if (err != ERROR_SUCCESS) return err == ERROR_INVALID_SECURITY_DESCR ? ERROR_ACCESS_DENIED : err;
    uint32_t granted;
    err = AccessCheckEx(sd.data(), sd.size(), desired, kFileMapping, flags, &granted);
    if (descriptor) *descriptor = std::move(sd);
    return err;
}

void FileStoreNewDescriptor(const FileRef& ref, bool isDirectory, const std::vector<uint8_t>* folderDescriptor) {
    if (ref.store == FileStore::None) return;
    FileRef parent;
    std::vector<uint8_t> read;
    bool secured;
    if (!folderDescriptor &&
        (!FileParent(ref, &parent) || FileDescriptor(parent, &read, &secured, true) != ERROR_SUCCESS))
        return;
    const std::vector<uint8_t>& up = folderDescriptor ? *folderDescriptor : read;
    std::vector<uint8_t> sd = InheritDescriptor(up.data(), up.size(), isDirectory, CurrentToken(), &kFileMapping);
    FileWriteStored(ref.host, ref.store, sd);
}

uint32_t FileAttributesOf(const FileRef& ref, const struct stat* known) {
    struct stat st;
    if (known)
        st = *known;
    else if (stat(ref.host.c_str(), &st) != 0)
        return INVALID_FILE_ATTRIBUTES;
    // Elsewhere than on ntfs-3g, a file with stored attributes carries the sticky bit, which
    // means nothing on a Linux file: without it there is nothing to read.
    if (ref.store != FileStore::NtfsAcl && S_ISREG(st.st_mode) && !(st.st_mode & S_ISVTX)) return FILE_ATTRIBUTE_ARCHIVE;
    uint32_t stored = 0;
    bool have = false;
    const char* name = ref.store == FileStore::NtfsAcl ? "system.ntfs_attrib" : "user.ntsim.attrib";
    uint8_t buf[4];
    if (getxattr(ref.host.c_str(), name, buf, sizeof buf) == 4) {
        stored = (uint32_t)buf[0] | ((uint32_t)buf[1] << 8) | ((uint32_t)buf[2] << 16) | ((uint32_t)buf[3] << 24);
        have = true;
    }
    stored &= ~(uint32_t)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
    if (S_ISDIR(st.st_mode)) {
        // A host link to a folder is what NT shows as a junction: a folder with a reparse point.
        struct stat own;
        if (lstat(ref.host.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) stored |= FILE_ATTRIBUTE_REPARSE_POINT;
        return stored | FILE_ATTRIBUTE_DIRECTORY;
    }
    if (!have) return FILE_ATTRIBUTE_ARCHIVE;  // a file written by the host: as NTFS marks a new file
    return stored ? stored : FILE_ATTRIBUTE_NORMAL;
}

uint32_t FileStoreAttributes(const FileRef& ref, uint32_t attributes) {
    struct stat st;
    if (stat(ref.host.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
    uint32_t a = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                               FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    const char* name = "user.ntsim.attrib";
    if (ref.store == FileStore::NtfsAcl) {
        // ntfs-3g keeps the real attribute word, directory bit included.
        name = "system.ntfs_attrib";
        if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
        else if (!a) a = FILE_ATTRIBUTE_NORMAL;
    } else if (S_ISREG(st.st_mode) && !(st.st_mode & S_ISVTX) && chmod(ref.host.c_str(), (st.st_mode & 07777) | S_ISVTX) != 0) {
        return ErrnoToWin32(errno);  // the mark first: a mark without attributes reads as none
    }
    uint8_t buf[4] = {(uint8_t)a, (uint8_t)(a >> 8), (uint8_t)(a >> 16), (uint8_t)(a >> 24)};
    if (setxattr(ref.host.c_str(), name, buf, sizeof buf, 0) != 0) return ErrnoToWin32(errno);
    FileChanged(ref.host);
    return ERROR_SUCCESS;
}

uint32_t ErrnoToWin32(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EIO: return ERROR_GEN_FAILURE;
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace ntsim
