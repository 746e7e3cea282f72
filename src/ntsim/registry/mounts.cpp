// The process's registry and its hive files: the mounts made when a process
// first uses the registry, the CurrentControlSet link, writing dirty hives at
// RegFlushKey, process exit and shutdown, and mounting and unmounting hives.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/paths.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/registry/boot.h"
#include "ntsim/registry/internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {
namespace reg {

namespace {
std::unique_ptr<State> g_state;
bool g_loading = false;

bool FileIdentity(const std::string& hostPath, dev_t* dev, ino_t* ino, struct timespec* changed = nullptr) {
    struct stat st;
    if (stat(hostPath.c_str(), &st) != 0) return false;
    *dev = st.st_dev;
    *ino = st.st_ino;
    if (changed) *changed = st.st_ctim;
    return true;
}

bool SameTime(const struct timespec& a, const struct timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// True when the file is still the one the mount last read or wrote: the same file, not
// changed since (its change time), with the same sequence number (which every write raises).
// fd: the mount's file, open for reading.
bool UnchangedOpen(const Mount& m, int fd) {
    struct stat st;
    uint32_t seq[2];
    return fstat(fd, &st) == 0 && st.st_dev == m.dev && st.st_ino == m.ino && SameTime(st.st_ctim, m.changed) &&
           pread(fd, seq, sizeof seq, 4) == (ssize_t)sizeof seq && std::max(seq[0], seq[1]) == m.layout.sequence;
}

// UnchangedOpen by the mount's path.
bool Unchanged(const Mount& m) {
    int fd = open(m.hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool same = UnchangedOpen(m, fd);
    close(fd);
    return same;
}

std::string SystemRoot() {
    const ConfSection* machine = CurrentProcess().conf.Find("machine");
    return machine ? machine->Get("systemroot", "C:\\WINNT") : "C:\\WINNT";
}

// Expands %NAME% references from the process environment, as ExpandEnvironmentStrings would.
std::string ExpandVariables(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (end == std::string::npos) {
            out += text[i++];
            continue;
        }
        bool found = false;
        std::string value = ProcessGetEnv(text.substr(i + 1, end - i - 1), &found);
        out += found ? value : text.substr(i, end - i + 1);
        i = end + 1;
    }
    return out;
}

// A hive file read into *hive. A file that exists but cannot be read is remembered as
// damaged under the key it would have been (parent, name).
bool LoadHiveFile(const std::string& windowsPath, Hive* hive, std::string* hostPath, State* state = nullptr,
                  HiveKey* parent = nullptr, const std::string& name = "") {
    if (MapWindowsPath(windowsPath, hostPath) != ERROR_SUCCESS) return false;
    uint32_t err;
    {
        MachineLock lock;
        err = RegfLoadFile(*hostPath, hive);
    }
    if (err == ERROR_SUCCESS) return true;
    struct stat st;
    if (state && parent && stat(hostPath->c_str(), &st) == 0) {
        DamagedHive d;
        d.parent = parent;
        d.name = name;
        d.windowsPath = FullWindowsPath(windowsPath);
        d.error = err;
        state->damaged.push_back(d);
    }
    return false;
}

std::string Utf16Value(const HiveValue* v) {
    if (!v) return "";
    std::vector<uint16_t> units(v->data.size() / 2);
    for (size_t i = 0; i < units.size(); ++i) units[i] = (uint16_t)(v->data[2 * i] | (v->data[2 * i + 1] << 8));
    while (!units.empty() && units.back() == 0) units.pop_back();
    return Utf16ToUtf8(units.data(), units.size());
}

HiveKey* Descend(HiveKey* key, const char* path) {
    HiveKey* found = nullptr;
    if (!key || WalkPath(key, path, true, &found) != ERROR_SUCCESS) return nullptr;
    return found;
}

// The logged-on user's SID text: the machine SID (PolAcDmS) and the account's RID
// (the type of its SAM Names entry), as the security authority would build it.
std::string AccountSidText(State& state, const std::string& user) {
    HiveKey* policy = Descend(state.machine.get(), "SECURITY\\Policy\\PolAcDmS");
    HiveKey* names = Descend(state.machine.get(), "SAM\\SAM\\Domains\\Account\\Users\\Names");
    if (!policy || !names) return "";
    const HiveValue* sid = policy->FindValue("");
    HiveKey* account = names->FindSubkey(user);
    const HiveValue* rid = account ? account->FindValue("") : nullptr;
    if (!sid || sid->data.size() != 24 || !rid) return "";
    const uint8_t* d = sid->data.data();
    auto sub = [&](int i) { return (uint32_t)(d[8 + 4 * i] | (d[9 + 4 * i] << 8) | (d[10 + 4 * i] << 16) | ((uint32_t)d[11 + 4 * i] << 24)); };
    char text[96];
    snprintf(text, sizeof text, "S-1-5-%u-%u-%u-%u-%u", sub(0), sub(1), sub(2), sub(3), rid->type);
    return text;
}

// The profile of the logged-on user: its ProfileList entry by SID, or else the
// entry whose profile folder carries the account's name.
void MountUserHive(State& state, const std::string& user) {
    HiveKey* list = Descend(state.machine.get(), "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    if (!list) return;
    std::string sid = AccountSidText(state, user);
    HiveKey* entry = sid.empty() ? nullptr : list->FindSubkey(sid);
    if (!entry) {
        for (auto& candidate : list->subkeys) {
            std::string path = Utf16Value(candidate->FindValue("ProfileImagePath"));
            size_t slash = path.find_last_of('\\');
            std::string folder = slash == std::string::npos ? path : path.substr(slash + 1);
            if (!folder.empty() && HiveNameCompare(folder, user) == 0) {
                entry = candidate.get();
                break;
            }
        }
    }
    if (!entry) return;
    std::string image = ExpandVariables(Utf16Value(entry->FindValue("ProfileImagePath")));
    if (image.empty()) return;
    Hive hive;
    std::string hostPath;
    if (!LoadHiveFile(image + "\\ntuser.dat", &hive, &hostPath, &state, state.users.get(), entry->name)) return;
    if (Mount* m = AttachHive(state, state.users.get(), entry->name, std::move(hive), hostPath, true)) {
        m->windowsPath = FullWindowsPath(image + "\\ntuser.dat");
        state.userSid = entry->name;
    }
}

// A volatile link named name below parent to the key whose full path target gives.
HiveKey* AddVolatileLink(HiveKey* parent, const char* name, const std::string& target, const SharedDescriptor& security) {
    HiveKey* link = parent->AddSubkey(name);
    link->isVolatile = true;
    link->flags |= kKeySymLink;
    link->security = security;
    HiveValue value;
    value.name = "SymbolicLinkValue";
    value.type = REG_LINK;
    std::vector<uint16_t> units = Utf8ToUtf16(target);
    for (uint16_t u : units) {
        value.data.push_back((uint8_t)(u & 0xFF));
        value.data.push_back((uint8_t)(u >> 8));
    }
    link->values.push_back(std::move(value));
    return link;
}

// The keys NT makes in SYSTEM at every boot and keeps in memory only (a hive file never
// holds them): CurrentControlSet, a link to the control set that Select\Current names;
// in that set, Control\ComputerName\ActiveComputerName with the name this boot runs under
// (machine.conf's, which the boot step sets), and Hardware Profiles\Current, a link to the
// profile in use (0001, the only one a machine of ntsim has), which HKEY_CURRENT_CONFIG opens.
// Control\hivelist is UpdateHiveList's.
void MakeBootKeys(HiveKey* system) {
    HiveKey* select = system->FindSubkey("Select");
    const HiveValue* current = select ? select->FindValue("Current") : nullptr;
    if (!current || current->data.size() < 4) return;
    uint32_t n = current->data[0] | (current->data[1] << 8) | (current->data[2] << 16) | ((uint32_t)current->data[3] << 24);
    char setName[32];
    snprintf(setName, sizeof setName, "ControlSet%03u", n);
    HiveKey* set = system->FindSubkey(setName);
    if (!system->FindSubkey("CurrentControlSet"))
        AddVolatileLink(system, "CurrentControlSet", std::string("\\Registry\\Machine\\SYSTEM\\") + setName,
                        set ? set->security : system->security);
    if (!set) return;
    HiveKey* control = set->FindSubkey("Control");
    HiveKey* names = control ? control->FindSubkey("ComputerName") : nullptr;
    if (names && !names->FindSubkey("ActiveComputerName")) {
        std::string name;
        if (const ConfSection* machine = CurrentProcess().conf.Find("machine")) name = machine->Get("name");
        const HiveKey* stored = names->FindSubkey("ComputerName");
        const HiveValue* storedName = stored ? stored->FindValue("ComputerName") : nullptr;
        HiveKey* active = names->AddSubkey("ActiveComputerName");
        active->isVolatile = true;
        active->security = names->security;
        HiveValue value;
        value.name = "ComputerName";
        value.type = REG_SZ;
        if (name.empty() && storedName) {
            value.data = storedName->data;
        } else {
            std::vector<uint16_t> units = Utf8ToUtf16(name);
            units.push_back(0);
            for (uint16_t u : units) {
                value.data.push_back((uint8_t)(u & 0xFF));
                value.data.push_back((uint8_t)(u >> 8));
            }
        }
        active->values.push_back(std::move(value));
    }
    HiveKey* profiles = set->FindSubkey("Hardware Profiles");
    HiveKey* profile = profiles ? profiles->FindSubkey("0001") : nullptr;
    if (profile && !profiles->FindSubkey("Current"))
        AddVolatileLink(profiles, "Current",
                        std::string("\\Registry\\Machine\\SYSTEM\\") + setName + "\\Hardware Profiles\\0001",
                        profile->security);
}

void Load(State& state) {
    std::string config = SystemRoot() + "\\system32\\config\\";
    static const char* const kMachineHives[] = {"SAM", "SECURITY", "SOFTWARE", "SYSTEM"};
    for (const char* name : kMachineHives) {
        Hive hive;
        std::string hostPath;
        if (!LoadHiveFile(config + name, &hive, &hostPath, &state, state.machine.get(), name)) continue;
        Mount* m = AttachHive(state, state.machine.get(), name, std::move(hive), hostPath, true);
        if (m) m->windowsPath = config + name;
        if (m && strcmp(name, "SYSTEM") == 0) MakeBootKeys(m->root);
    }
    Hive defaultHive;
    std::string hostPath;
    if (LoadHiveFile(config + "DEFAULT", &defaultHive, &hostPath, &state, state.users.get(), ".DEFAULT"))
        if (Mount* m = AttachHive(state, state.users.get(), ".DEFAULT", std::move(defaultHive), hostPath, true))
            m->windowsPath = config + "DEFAULT";
    const Process& process = CurrentProcess();
    if (!process.service && strcasecmp(process.user.c_str(), "SYSTEM") != 0) MountUserHive(state, process.user);
    UpdateHiveList(state);
}

// At process exit the changes reach the hive files; then the registry is gone.
void Unload() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    if (!g_state) return;
    FlushAllMounts();
    for (auto& m : g_state->mounts)
        if (!m->permanent) ReleaseLoadedHive(m->hostPath);
    ForgetAllKeys();
    if (g_state->generation) munmap(g_state->generation, 8);
    g_state.reset();
}
}  // namespace

namespace {
// Puts a tree read from the mount's file in place of the mount's tree; open handles follow by path.
void ReplaceTree(State& state, Mount* m, Hive&& hive, dev_t dev, ino_t ino, const struct timespec& changed) {
    std::unique_ptr<HiveKey> root = std::move(hive.root);
    root->name = m->root->name;
    root->parent = m->parent;
    bool system = m->parent == state.machine.get() && HiveNameCompare(root->name, "SYSTEM") == 0;
    if (system) MakeBootKeys(root.get());
    RemapHandles(m->root, root.get());
    HiveKey* fresh = root.get();
    for (auto& slot : m->parent->subkeys)
        if (slot.get() == m->root) {
            slot = std::move(root);
            break;
        }
    m->root = fresh;
    m->rootName = hive.rootName.empty() ? fresh->name : hive.rootName;
    m->minorVersion = hive.minorVersion;
    m->layout = std::move(hive.layout);
    m->dev = dev;
    m->ino = ino;
    m->changed = changed;
    if (system) UpdateHiveList(state);
}

// Another process of the machine may have written a hive since this one read it. A hive
// this process has not changed is read again then (its open handles follow by path), so
// that processes see each other's flushed changes; a changed one is merged at its next
// write (MergeFromFile).
void RefreshMounts(State& state) {
    for (auto& m : state.mounts) {
        if (m->dirty || m->holdsVolatile) continue;
        if (Unchanged(*m)) continue;  // else written by another process, in place or whole
        dev_t dev;
        ino_t ino;
        struct timespec changed;
        Hive hive;
        uint32_t err;
        {
            MachineLock lock;
            err = RegfLoadFile(m->hostPath, &hive);
            if (!FileIdentity(m->hostPath, &dev, &ino, &changed)) continue;
        }
        if (err != ERROR_SUCCESS || !hive.root) continue;
        ReplaceTree(state, m.get(), std::move(hive), dev, ino, changed);
    }
}

std::string UpperName(const std::string& name) {
    std::string out = name;
    for (char& c : out) c = (char)toupper((unsigned char)c);
    return out;
}

// The path of a key below its hive's root, upper-cased: how deletions are remembered.
std::string PathInHive(const HiveKey* key, const Mount& m) {
    std::vector<const std::string*> names;  // leaf first; joined once rather than level by level
    size_t length = 0;
    for (; key && key != m.root; key = key->parent) {
        names.push_back(&key->name);
        length += key->name.size() + 1;
    }
    std::string path;
    path.reserve(length);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        path += '\\';
        for (char c : **it) path += (char)toupper((unsigned char)c);
    }
    return path;
}

// Puts this process's changes since its last write (the keys' dirty marks, the keys it
// made, the names it deleted) on top of theirs, the tree another process wrote.
void MergeKey(const Mount& m, const HiveKey& ours, HiveKey* theirs, const std::string& path) {
    if (ours.dirty & kDirtyValues) {
        theirs->values = ours.values;
        HiveMarkDirty(theirs, kDirtyValues);
    }
    if (ours.dirty & kDirtyRecord) {
        theirs->className = ours.className;
        theirs->security = ours.security;
        theirs->flags = ours.flags;
        theirs->lastWrite = ours.lastWrite;
        HiveMarkDirty(theirs, kDirtyRecord);
        auto gone = m.removed.find(path);
        if (gone != m.removed.end())
            for (const std::string& name : gone->second)
                if (!ours.FindSubkey(name))
                    if (HiveKey* t = theirs->FindSubkey(name)) theirs->RemoveSubkey(t);
    }
    for (const auto& sub : ours.subkeys) {
        if (sub->isVolatile) continue;
        if (sub->cell == kNoCell) {
            // Made here since the last write: this process's key, whole.
            if (HiveKey* t = theirs->FindSubkey(sub->name)) theirs->RemoveSubkey(t);
            std::unique_ptr<HiveKey> copy = HiveCopyTree(*sub, nullptr);
            HiveKey* k = theirs->AddSubkey(sub->name);
            k->className = std::move(copy->className);
            k->lastWrite = copy->lastWrite;
            k->flags = copy->flags;
            k->security = copy->security;
            k->values = std::move(copy->values);
            k->subkeys = std::move(copy->subkeys);
            for (auto& c : k->subkeys) c->parent = k;
        } else if (sub->dirty) {
            // A key the other process deleted takes the changes made inside it along.
            if (HiveKey* t = theirs->FindSubkey(sub->name)) MergeKey(m, *sub, t, path + "\\" + UpperName(sub->name));
        }
    }
}

// The file changed under a mount this process changed too: both sets of changes are kept,
// as the one registry of NT keeps every process's, instead of the last writer's file
// winning. Hives holding volatile keys keep the old way (a re-read would lose them).
void MergeFromFile(Mount& m) {
    if (!g_state || m.holdsVolatile) return;
    Hive hive;
    dev_t dev;
    ino_t ino;
    struct timespec changed;
    if (RegfLoadFile(m.hostPath, &hive) != ERROR_SUCCESS || !hive.root || !FileIdentity(m.hostPath, &dev, &ino, &changed)) return;
    MergeKey(m, *m.root, hive.root.get(), "");
    ReplaceTree(*g_state, &m, std::move(hive), dev, ino, changed);
}
}  // namespace

void NoteRemovedKey(const HiveKey* key) {
    Mount* m = MountOf(key);
    if (!m || !key->parent || key == m->root) return;
    // What was deleted inside the key goes with it; a key the file never held needs no note.
    // So deleting a tree leaves first keeps one note per level, not one per key.
    std::string parentPath = PathInHive(key->parent, *m);
    if (!m->removed.empty()) m->removed.erase(parentPath + "\\" + UpperName(key->name));
    if (key->cell != kNoCell) m->removed[parentPath].push_back(key->name);
}

void UpdateHiveList(State& state) {
    HiveKey* system = state.machine->FindSubkey("SYSTEM");
    HiveKey* control = nullptr;
    if (!system || WalkPath(system, "CurrentControlSet\\Control", false, &control) != ERROR_SUCCESS) return;
    HiveKey* list = control->FindSubkey("hivelist");
    if (list && !list->isVolatile) return;  // a stored one is the file's business
    if (!list) {
        list = control->AddSubkey("hivelist");
        list->isVolatile = true;
        list->security = control->security;
    }
    list->values.clear();
    for (const auto& m : state.mounts) {
        std::string name = std::string(m->parent == state.machine.get() ? "\\REGISTRY\\MACHINE\\" : "\\REGISTRY\\USER\\") + m->root->name;
        std::string file;
        if (m->windowsPath.size() > 2 && m->windowsPath[1] == ':') {
            char device[48];
            int letter = toupper((unsigned char)m->windowsPath[0]);
            snprintf(device, sizeof device, "\\Device\\Harddisk0\\Partition%d", letter >= 'C' ? letter - 'C' + 1 : 1);
            file = device + m->windowsPath.substr(2);
        }
        HiveValue v;
        v.name = name;
        v.type = REG_SZ;
        std::vector<uint16_t> units = Utf8ToUtf16(file);
        units.push_back(0);
        for (uint16_t u : units) {
            v.data.push_back((uint8_t)(u & 0xFF));
            v.data.push_back((uint8_t)(u >> 8));
        }
        list->values.push_back(std::move(v));
    }
    list->lastWrite = FileTimeNow();
}

namespace {
State* GetStateLocked();
}

State* GetState() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    return GetStateLocked();
}

namespace {
// GetState with the registry's lock held.
State* GetStateLocked() {
    if (!ProcessAttached()) return nullptr;
    // Called by every registry function: the attach number is the cheap test, the folder the sound one.
    if (g_state && g_state->attachNumber == CurrentProcess().attachNumber) return g_state.get();
    if (g_state && g_state->machineDir == CurrentProcess().machineDir) {
        g_state->attachNumber = CurrentProcess().attachNumber;
        return g_state.get();
    }
    if (g_loading) return g_state.get();
    if (g_state) Unload();
    g_loading = true;
    g_state = std::make_unique<State>();
    g_state->machineDir = CurrentProcess().machineDir;
    g_state->attachNumber = CurrentProcess().attachNumber;
    g_state->machine = std::make_unique<HiveKey>();
    g_state->machine->name = "MACHINE";
    g_state->users = std::make_unique<HiveKey>();
    g_state->users->name = "USER";
    int fd = open((g_state->machineDir + "/.registry-generation").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        struct stat st;
        if (fstat(fd, &st) == 0 && (st.st_size >= 8 || ftruncate(fd, 8) == 0)) {
            void* map = mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED) g_state->generation = (uint64_t*)map;
        }
        close(fd);
    }
    if (g_state->generation) g_state->seenGeneration = __atomic_load_n(g_state->generation, __ATOMIC_ACQUIRE);
    Load(*g_state);
    g_loading = false;
    AtProcessExit(50, [] { Unload(); });
    return g_state.get();
}
}  // namespace

State* RefreshState() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    State* state = GetStateLocked();
    if (!state || g_loading) return state;
    if (state->generation) {
        uint64_t now = __atomic_load_n(state->generation, __ATOMIC_ACQUIRE);
        if (now == state->seenGeneration) return state;
        state->seenGeneration = now;
    }
    RefreshMounts(*state);
    return GetStateLocked();
}

Mount* AttachHive(State& state, HiveKey* parent, const std::string& name, Hive&& hive, const std::string& hostPath,
                  bool permanent) {
    if (!hive.root || parent->FindSubkey(name)) return nullptr;
    auto mount = std::make_unique<Mount>();
    mount->rootName = hive.rootName.empty() ? hive.root->name : hive.rootName;
    mount->minorVersion = hive.minorVersion;
    mount->fileName = hive.fileName;
    mount->layout = std::move(hive.layout);
    mount->hostPath = hostPath;
    mount->permanent = permanent;
    mount->parent = parent;
    FileIdentity(hostPath, &mount->dev, &mount->ino, &mount->changed);
    std::unique_ptr<HiveKey> root = std::move(hive.root);
    root->name = name;
    root->parent = parent;
    mount->root = root.get();
    auto it = std::lower_bound(parent->subkeys.begin(), parent->subkeys.end(), name,
                               [](const std::unique_ptr<HiveKey>& k, const std::string& s) { return HiveNameCompare(k->name, s) < 0; });
    parent->subkeys.insert(it, std::move(root));
    state.mounts.push_back(std::move(mount));
    return state.mounts.back().get();
}

void DetachMount(State& state, Mount* mount) {
    InvalidateSubtree(mount->root, true);
    mount->parent->RemoveSubkey(mount->root);
    for (auto it = state.mounts.begin(); it != state.mounts.end(); ++it)
        if (it->get() == mount) {
            state.mounts.erase(it);
            break;
        }
}

bool FileMounted(const State& state, const std::string& hostPath) {
    dev_t dev;
    ino_t ino;
    bool known = FileIdentity(hostPath, &dev, &ino);
    for (const auto& m : state.mounts) {
        if (m->hostPath == hostPath) return true;
        if (known && m->dev == dev && m->ino == ino) return true;
    }
    return false;
}

namespace {
// The record of loaded hives: "pid<TAB>host path" lines. Entries of processes that are gone
// (killed without unloading) are dropped whenever the record is rewritten.
std::string LoadedRecord() { return CurrentProcess().machineDir + "/.loaded-hives"; }

std::vector<std::pair<long, std::string>> ReadLoaded() {
    std::vector<std::pair<long, std::string>> entries;
    FILE* f = fopen(LoadedRecord().c_str(), "r");
    if (!f) return entries;
    char line[4200];
    while (fgets(line, sizeof line, f)) {
        char* tab = strchr(line, '\t');
        if (!tab) continue;
        *tab = 0;
        std::string path = tab + 1;
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
        long pid = strtol(line, nullptr, 10);
        if (pid > 0 && (kill((pid_t)pid, 0) == 0 || errno == EPERM)) entries.emplace_back(pid, path);
    }
    fclose(f);
    return entries;
}

void WriteLoaded(const std::vector<std::pair<long, std::string>>& entries) {
    std::string temp = LoadedRecord() + ".tmp";
    FILE* f = fopen(temp.c_str(), "w");
    if (!f) return;
    for (const auto& e : entries) fprintf(f, "%ld\t%s\n", e.first, e.second.c_str());
    fclose(f);
    rename(temp.c_str(), LoadedRecord().c_str());
}
}  // namespace

bool ClaimLoadedHive(const std::string& hostPath) {
    MachineLock lock;
    auto entries = ReadLoaded();
    for (const auto& e : entries)
        if (e.second == hostPath && e.first != (long)getpid()) return false;
    entries.emplace_back((long)getpid(), hostPath);
    WriteLoaded(entries);
    return true;
}

void ReleaseLoadedHive(const std::string& hostPath) {
    MachineLock lock;
    auto entries = ReadLoaded();
    for (auto it = entries.begin(); it != entries.end();)
        it = (it->first == (long)getpid() && it->second == hostPath) ? entries.erase(it) : it + 1;
    WriteLoaded(entries);
}

uint32_t SaveMount(Mount& mount) {
    if (!mount.dirty) return ERROR_SUCCESS;
    // Written from the live tree (the registry lock keeps it still), under the root's own name:
    // in place, only the changed keys, when the file is still the one this process knows;
    // else whole, to a new file that replaces it.
    // The file is opened once for the test, the update and its new identity.
    uint32_t err;
    bool inPlace = false;
    {
        MachineLock lock;
        int fd = open(mount.hostPath.c_str(), O_RDWR | O_CLOEXEC);
        if (!(fd >= 0 ? UnchangedOpen(mount, fd) : Unchanged(mount))) {
            mount.layout.known = false;
            MergeFromFile(mount);
        }
        bool declined = true;
        err = RegfUpdateFile(*mount.root, mount.rootName, mount.minorVersion, mount.hostPath, &mount.layout, &declined, fd);
        struct stat st;
        if (!declined && err == ERROR_SUCCESS && fd >= 0 && fstat(fd, &st) == 0) {
            mount.dev = st.st_dev;
            mount.ino = st.st_ino;
            mount.changed = st.st_ctim;
            inPlace = true;
        }
        if (fd >= 0) close(fd);
        if (declined)
            err = RegfSaveTree(*mount.root, mount.rootName, mount.minorVersion, mount.hostPath, mount.fileName.data(),
                               &mount.layout);
    }
    if (err != ERROR_SUCCESS) return err;
    if (g_state && g_state->generation) {
        // Other processes look at their hives again. This one need not, unless another
        // process wrote since it last looked: its own write is what it holds already.
        uint64_t before = __atomic_fetch_add(g_state->generation, 1, __ATOMIC_ACQ_REL);
        if (before == g_state->seenGeneration) g_state->seenGeneration = before + 1;
    }
    mount.dirty = false;
    mount.removed.clear();
    if (!inPlace) FileIdentity(mount.hostPath, &mount.dev, &mount.ino, &mount.changed);  // a whole write made a new file
    return ERROR_SUCCESS;
}

void FlushAllMounts() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    if (!g_state) return;
    for (auto& m : g_state->mounts) {
        uint32_t err = SaveMount(*m);
        if (err != ERROR_SUCCESS)
            fprintf(stderr, "ntsim: cannot write hive %s: error %u\n", m->hostPath.c_str(), err);
    }
}

}  // namespace reg

void RegistryShutdown() { reg::FlushAllMounts(); }

// A kill after a lazy flush writes the registry first.
static const bool g_flushHookSet = FaultSetPowerLossHook(kFlushRegistry, RegistryShutdown);

}  // namespace ntsim
