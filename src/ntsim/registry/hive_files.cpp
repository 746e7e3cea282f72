// Hive files named by the caller: RegSaveKeyA, RegLoadKeyA, RegUnLoadKeyA,
// RegRestoreKeyA and RegReplaceKeyA (recorded here, applied at the next boot).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/host_sync.h"
#include "ntsim/kernel/paths.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/registry/boot.h"
#include "ntsim/registry/internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

const char* const kPendingHiveReplacements = "pending-hive-replacements";

namespace reg {
namespace {

// Host path of a file argument: ERROR_SUCCESS, or the path's error; *exists tells whether it is there.
uint32_t MapFileArgument(const char* file, std::string* host, bool* exists) {
    struct stat st;
    uint32_t err = MapWindowsPath(FullWindowsPath(AnsiToUtf8(file)), host, &st);
    if (err != ERROR_SUCCESS) return err;
    *exists = st.st_mode != 0 || stat(host->c_str(), &st) == 0;
    if (*exists && S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    if (!*exists) {
        size_t slash = host->find_last_of('/');
        std::string dir = slash == std::string::npos ? "." : host->substr(0, slash);
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

uint32_t ReadHive(const std::string& host, Hive* hive) {
    MachineLock lock;
    return RegfLoadFile(host, hive);
}

// A path in the record of pending replacements: relative to the machine directory when inside it.
std::string RecordPath(const std::string& machineDir, const std::string& host) {
    std::string prefix = machineDir + "/";
    return host.compare(0, prefix.size(), prefix) == 0 ? host.substr(prefix.size()) : host;
}

}  // namespace
}  // namespace reg
}  // namespace ntsim

using namespace ntsim;
using namespace ntsim::reg;

LONG WINAPI RegSaveKeyA(HKEY hKey, LPCSTR lpFile, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    (void)lpSecurityAttributes;  // the file's own security is not kept by the simulation's files here
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (FaultHit("RegSaveKeyA", lpFile ? lpFile : "", &err)) return (LONG)err;
    if (!lpFile || !*lpFile) return ERROR_INVALID_PARAMETER;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (!HasPrivilege("SeBackupPrivilege")) return ERROR_PRIVILEGE_NOT_HELD;
    Mount* mount = MountOf(r.key);
    if (!mount) return ERROR_ACCESS_DENIED;  // the roots are not in any hive
    std::string host;
    bool exists = false;
    if ((err = MapFileArgument(lpFile, &host, &exists)) != ERROR_SUCCESS) return (LONG)err;
    if (exists) return ERROR_ALREADY_EXISTS;  // NT creates the file and never overwrites one
    MachineLock machineLock;
    return (LONG)RegfCreateFile(*r.key, mount->root == r.key ? mount->rootName : r.key->name, mount->minorVersion, host);
}

LONG WINAPI RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (FaultHit("RegLoadKeyA", lpFile ? lpFile : "", &err)) return (LONG)err;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    // Hives mount only directly below HKEY_LOCAL_MACHINE or HKEY_USERS.
    if (!IsRootKey(r.key) || !lpSubKey || !*lpSubKey || strchr(lpSubKey, '\\') || !lpFile || !*lpFile)
        return ERROR_INVALID_PARAMETER;
    if (!HasPrivilege("SeRestorePrivilege")) return ERROR_PRIVILEGE_NOT_HELD;
    std::string host;
    bool exists = false;
    if ((err = MapFileArgument(lpFile, &host, &exists)) != ERROR_SUCCESS) return (LONG)err;
    if (!exists) return ERROR_FILE_NOT_FOUND;
    State* state = GetState();
    // The registry holds its hive files open exclusively: a loaded file cannot be loaded again.
    if (FileMounted(*state, host)) return ERROR_SHARING_VIOLATION;
    std::string name = AnsiToUtf8(lpSubKey);
    if (r.key->FindSubkey(name)) return ERROR_ALREADY_EXISTS;
    Hive hive;
    if ((err = ReadHive(host, &hive)) != ERROR_SUCCESS) return (LONG)err;
    if (!ClaimLoadedHive(host)) return ERROR_SHARING_VIOLATION;  // loaded by another process
    Mount* mount = AttachHive(*state, r.key, name, std::move(hive), host, false);
    if (!mount) {
        ReleaseLoadedHive(host);
        return ERROR_BADDB;
    }
    mount->windowsPath = FullWindowsPath(AnsiToUtf8(lpFile));
    UpdateHiveList(*state);
    return ERROR_SUCCESS;
}

LONG WINAPI RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegUnLoadKeyA", hKey, lpSubKey, &err)) return (LONG)err;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (!IsRootKey(r.key) || !lpSubKey || !*lpSubKey) return ERROR_INVALID_PARAMETER;
    if (!HasPrivilege("SeRestorePrivilege")) return ERROR_PRIVILEGE_NOT_HELD;
    HiveKey* key = nullptr;
    if ((err = WalkPath(r.key, AnsiToUtf8(lpSubKey), true, &key)) != ERROR_SUCCESS) return (LONG)err;
    Mount* mount = MountAt(key);
    if (!mount) return ERROR_INVALID_PARAMETER;
    // The system hives and the logged-on user's stay; so does a hive with open keys.
    if (mount->permanent || HandlesOpenBelow(key, true)) return ERROR_ACCESS_DENIED;
    if ((err = SaveMount(*mount)) != ERROR_SUCCESS) return (LONG)err;
    ReleaseLoadedHive(mount->hostPath);
    DetachMount(*GetState(), mount);
    UpdateHiveList(*GetState());
    return ERROR_SUCCESS;
}

LONG WINAPI RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (FaultHit("RegRestoreKeyA", lpFile ? lpFile : "", &err)) return (LONG)err;
    if (!lpFile || !*lpFile) return ERROR_INVALID_PARAMETER;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (!HasPrivilege("SeRestorePrivilege")) return ERROR_PRIVILEGE_NOT_HELD;
    // A volatile whole-hive restore (a new hive over a root) is not part of this registry.
    if (dwFlags & REG_WHOLE_HIVE_VOLATILE) return ERROR_INVALID_PARAMETER;
    if (IsRootKey(r.key)) return ERROR_ACCESS_DENIED;
    std::string host;
    bool exists = false;
    if ((err = MapFileArgument(lpFile, &host, &exists)) != ERROR_SUCCESS) return (LONG)err;
    if (!exists) return ERROR_FILE_NOT_FOUND;
    Hive hive;
    if ((err = ReadHive(host, &hive)) != ERROR_SUCCESS) return (LONG)err;
    // Open keys below would lose their key: NT refuses unless the caller forces it.
    if (HandlesOpenBelow(r.key, false)) {
        if (!(dwFlags & REG_FORCE_RESTORE)) return ERROR_ACCESS_DENIED;
        InvalidateSubtree(r.key, false);
    }
    // The key keeps its name and security; its values, class and subkeys become the file's.
    HiveKey* key = r.key;
    for (const auto& sub : key->subkeys) NoteRemovedKey(sub.get());
    key->values = std::move(hive.root->values);
    key->className = std::move(hive.root->className);
    key->subkeys = std::move(hive.root->subkeys);
    for (auto& sub : key->subkeys) {
        sub->parent = key;
        HiveForgetCells(sub.get());  // their cells are the other file's
    }
    HiveMarkDirty(key, kDirtyValues);
    Touch(key);
    return ERROR_SUCCESS;
}

LONG WINAPI RegReplaceKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpNewFile, LPCSTR lpOldFile) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (FaultHit("RegReplaceKeyA", lpNewFile ? lpNewFile : "", &err)) return (LONG)err;
    if (!lpNewFile || !*lpNewFile || !lpOldFile || !*lpOldFile) return ERROR_INVALID_PARAMETER;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    HiveKey* key = nullptr;
    if ((err = WalkPath(r.key, AnsiToUtf8(lpSubKey), false, &key)) != ERROR_SUCCESS) return (LONG)err;
    if (!HasPrivilege("SeRestorePrivilege")) return ERROR_PRIVILEGE_NOT_HELD;
    Mount* mount = MountAt(key);
    if (!mount) return ERROR_INVALID_PARAMETER;  // only a whole hive can be replaced
    std::string newHost, oldHost;
    bool newExists = false, oldExists = false;
    if ((err = MapFileArgument(lpNewFile, &newHost, &newExists)) != ERROR_SUCCESS) return (LONG)err;
    if (!newExists) return ERROR_FILE_NOT_FOUND;
    if ((err = MapFileArgument(lpOldFile, &oldHost, &oldExists)) != ERROR_SUCCESS) return (LONG)err;
    if (oldExists) return ERROR_ALREADY_EXISTS;
    Hive probe;
    if ((err = ReadHive(newHost, &probe)) != ERROR_SUCCESS) return (LONG)err;
    // Recorded in the machine directory; the next boot swaps the files before any hive is loaded.
    const std::string& dir = CurrentProcess().machineDir;
    std::string record = dir + "/" + kPendingHiveReplacements;
    MachineLock machineLock;
    std::string existing;
    {
        std::ifstream in(record);
        std::stringstream ss;
        ss << in.rdbuf();
        existing = ss.str();
    }
    existing += RecordPath(dir, mount->hostPath) + "\t" + RecordPath(dir, newHost) + "\t" + RecordPath(dir, oldHost) + "\n";
    std::string temp = record + ".tmp";
    FILE* f = fopen(temp.c_str(), "wb");
    if (!f) return ERROR_ACCESS_DENIED;
    bool written = fwrite(existing.data(), 1, existing.size(), f) == existing.size();
    written = (fflush(f) == 0) && written;
    if (written) HostSync(fileno(f));
    fclose(f);
    if (!written || rename(temp.c_str(), record.c_str()) != 0) {
        unlink(temp.c_str());
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}
