// What the registry's source files share: the process's registry state (the two
// root keys with their mounted hives), key handles, path walks, access checks,
// text conversions and the bookkeeping of changes.
#pragma once
#include <sys/types.h>
#include <time.h>

#include <array>
#include <map>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/handles.h"
#include "ntsim/registry/hive.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {
namespace reg {

// One hive file mounted below \Registry\Machine or \Registry\User.
struct Mount {
    HiveKey* root = nullptr;     // the mount's root key, owned by the parent root's subkeys
    HiveKey* parent = nullptr;   // the machine or users root
    std::string hostPath;        // the hive file
    std::string windowsPath;     // the same file as the machine names it (for hivelist)
    std::string rootName;        // the root key's own name as the file stores it
    uint32_t minorVersion = 3;
    std::array<uint16_t, 32> fileName{};  // the base block's name, written back as it was read
    HiveLayout layout;           // where the file keeps each key, for flushes that write only changes
    bool dirty = false;          // changed since it was read or last written
    bool permanent = false;      // mounted at start-up (system hives, the logged-on user's): never unloaded
    bool holdsVolatile = false;  // volatile keys were made in it (they would not survive a re-read)
    dev_t dev = 0;               // file identity, for the sharing check of RegLoadKeyA
    ino_t ino = 0;
    struct timespec changed {};  // its change time when last read or written here
    // Names of keys deleted since the last write, by the upper-cased path of their parent
    // below the root: what a merge with another process's write must delete too.
    std::map<std::string, std::vector<std::string>> removed;
};

// A hive file that exists but could not be read: its key is missing, and whoever asks
// for it is told that the registry is damaged rather than that the key does not exist.
struct DamagedHive {
    HiveKey* parent = nullptr;  // the machine or users root
    std::string name;           // the key it would have been mounted as
    std::string windowsPath;    // the file
    uint32_t error = 0;         // the reader's error (ERROR_BADDB, ERROR_REGISTRY_CORRUPT, ...)
};

struct State {
    std::string machineDir;
    uint64_t attachNumber = 0;  // the process attach this registry was loaded for
    std::vector<DamagedHive> damaged;
    std::unique_ptr<HiveKey> machine;  // \Registry\Machine: HKEY_LOCAL_MACHINE
    std::unique_ptr<HiveKey> users;    // \Registry\User: HKEY_USERS
    std::vector<std::unique_ptr<Mount>> mounts;
    std::string userSid;               // the logged-on user's SID text when its hive is mounted
    // A counter shared by the machine's processes (a mapped file), raised whenever one of
    // them writes a hive: the cheap test of whether hives must be looked at again.
    uint64_t* generation = nullptr;
    uint64_t seenGeneration = 0;
};

// An open key. Deleting the key (or a subtree holding it) marks the handle so
// that later calls on it fail with ERROR_KEY_DELETED, as NT's do.
struct KeyObject : KernelObject {
    HiveKey* key = nullptr;
    // A key opened below HKEY_CLASSES_ROOT that the user's classes and the machine's both
    // hold: key is the user's (writes go there), this the machine's shown behind it.
    HiveKey* machineClass = nullptr;
    uint32_t granted = 0;
    bool deleted = false;
    bool stale = false;  // the registry it named was torn down (process detached)
    std::string path;    // full path text, kept for fault rules once the key is gone (deleted, torn down)
    KeyObject* previousLive = nullptr;  // the list of live key objects (see LiveKeys)
    KeyObject* nextLive = nullptr;
    KeyObject();
    ~KeyObject() override;
    const char* Kind() const override { return "Key"; }
};

// The registry lock: every Reg* call holds it for its whole duration.
ntsim::SimRecursiveMutex& Mutex();

// The registry of this process, loading the hives on first use after an attach.
// Null when no machine is attached.
State* GetState();
// Reads again the hives that other processes wrote since (see RefreshMounts). Only at the
// start of a call, before any key of the tree is held: it replaces trees. The registry
// afterwards, as GetState gives it.
State* RefreshState();

// Generic rights of keys.
const GENERIC_MAPPING& KeyMapping();

// The key a handle names. ERROR_SUCCESS, ERROR_INVALID_HANDLE or ERROR_KEY_DELETED.
struct Resolved {
    HiveKey* key = nullptr;
    uint32_t granted = 0;
    bool predefined = false;
    // A merged class view (Windows 2000 and later): the user's key listed and searched
    // before the machine's. Both set, or neither; key is the one of them writes go to.
    HiveKey* user = nullptr;
    HiveKey* machine = nullptr;
};
uint32_t ResolveHandle(HKEY handle, Resolved* out);
// On Windows 2000 and later HKEY_CLASSES_ROOT shows the user's classes
// (HKEY_CURRENT_USER\Software\Classes) over the machine's (HKEY_LOCAL_MACHINE\SOFTWARE\Classes),
// and so does every key opened below it (a class view, see Resolved); NT 4.0 shows the machine's.
HKEY NewKeyHandle(HiveKey* key, uint32_t granted, HiveKey* machineClass = nullptr);
// The key a path names below a key of a merged class view, as another such view: the
// user's key with the machine's behind it when both hold the path, else the one that does.
// ERROR_SUCCESS with *found (and *machineClass), or the walk's error in the machine's.
uint32_t WalkClassView(const Resolved& parent, const std::string& path, bool openLink, HiveKey** found,
                       HiveKey** machineClass);

// Full path text of a key ("HKEY_LOCAL_MACHINE\SOFTWARE\X") in UTF-8.
std::string KeyPath(const HiveKey* key);
// The path text of a handle (for fault rules), with an ANSI subkey appended when given.
std::string HandlePath(HKEY handle, const char* subkey);
// FaultHit for a call on a key handle; the path is built only when a rule may match.
bool KeyFaultHit(const char* function, HKEY handle, const char* subkey, uint32_t* error);
inline bool KeyFault(const char* function, HKEY handle, const char* subkey, uint32_t* error) {
    return FaultArmed(function) && KeyFaultHit(function, handle, subkey, error);
}

bool IsRootKey(const HiveKey* key);     // \Registry\Machine or \Registry\User
Mount* MountOf(const HiveKey* key);     // the hive holding key; null for the roots
Mount* MountAt(const HiveKey* key);     // the mount whose root is key, or null

// Walks a backslash-separated UTF-8 path below start, following symbolic links
// (except at the last component when openLink). ERROR_SUCCESS with *found;
// ERROR_FILE_NOT_FOUND with *deepest/*rest naming the first missing component;
// ERROR_BAD_PATHNAME for a path that starts with a backslash.
uint32_t WalkPath(HiveKey* start, const std::string& path, bool openLink, HiveKey** found, HiveKey** deepest = nullptr,
                  std::vector<std::string>* rest = nullptr);

// Access check of desired rights on a key for the process token, with the
// backup/restore semantics of REG_OPTION_BACKUP_RESTORE.
uint32_t CheckKeyAccess(const HiveKey* key, uint32_t desired, uint32_t options, uint32_t* granted);
// The descriptor a new key gets: from the creator's descriptor when given, else inherited from parent.
uint32_t NewKeyDescriptor(const HiveKey* parent, const void* given, SharedDescriptor* out);
// Size of the descriptor a key reports.
size_t DescriptorSize(const HiveKey* key);
// True when the privilege is enabled (or the simulation itself is working).
bool HasPrivilege(const char* name);

// Remembers that a key is being deleted from its parent (see Mount::removed).
void NoteRemovedKey(const HiveKey* key);
// Records a change to key: its last-write time and the hive's dirty flag.
void Touch(HiveKey* key);
// Marks handles open on keys of the subtree (with or without its top) as deleted.
void InvalidateSubtree(const HiveKey* top, bool includeTop);
// True when a handle other than except is open on a key of the subtree.
bool HandlesOpenBelow(const HiveKey* top, bool includeTop);
// Makes every open key handle invalid (the registry it named is gone).
void ForgetAllKeys();
// Points handles open on keys below oldRoot at the keys of the same path below newRoot
// (or marks them deleted when newRoot has no such key).
void RemapHandles(const HiveKey* oldRoot, HiveKey* newRoot);

// Hive files: writing one mount, and all dirty ones.
uint32_t SaveMount(Mount& mount);
void FlushAllMounts();
// Mounts a hive tree under parent with the given name; the tree's root is renamed.
Mount* AttachHive(State& state, HiveKey* parent, const std::string& name, Hive&& hive, const std::string& hostPath,
                  bool permanent);
// Rewrites the volatile Control\hivelist of the current control set: one value per mounted
// hive, "\REGISTRY\MACHINE\SAM" = "\Device\Harddisk0\Partition1\WINNT\system32\config\SAM", as NT keeps it.
void UpdateHiveList(State& state);
// Unmounts (and frees) a mount.
void DetachMount(State& state, Mount* mount);
// True when the host file is mounted anywhere in this registry.
bool FileMounted(const State& state, const std::string& hostPath);
// Hives loaded with RegLoadKeyA are recorded machine-wide (the file ".loaded-hives" in the
// machine directory, with the loading process's id), so that another process of the machine
// sees the file as in use. Claim returns false when a live process other than this one holds it.
bool ClaimLoadedHive(const std::string& hostPath);
void ReleaseLoadedHive(const std::string& hostPath);

// Windows-1252 (the ANSI code page) and the UTF-16LE of the hive.
std::vector<uint16_t> AnsiToUtf16(const char* text, size_t length);
std::string Utf16ToAnsi(const uint16_t* units, size_t count);
std::string AnsiToUtf8(const char* text);
std::string Utf8ToAnsi(const std::string& text);
bool IsStringType(uint32_t type);

}  // namespace reg
}  // namespace ntsim
