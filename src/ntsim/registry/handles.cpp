// Key handles and predefined keys: what an HKEY names, full key paths, path
// walks through symbolic links, change bookkeeping, and RegCloseKey.

#include "ntsim/security/access.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/version.h"
#include "ntsim/registry/internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {
namespace reg {

namespace {
// Never destroyed: key objects left in the handle table die after static destructors have run.
// Every key object, linked through the objects themselves: a walk opens and closes a
// handle for every key it visits.
KeyObject* g_liveKeys = nullptr;

struct LiveKeyList {
    struct Iterator {
        KeyObject* at;
        KeyObject* operator*() const { return at; }
        Iterator& operator++() {
            at = at->nextLive;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return at != other.at; }
    };
    Iterator begin() const { return {g_liveKeys}; }
    Iterator end() const { return {nullptr}; }
};

LiveKeyList LiveKeys() { return {}; }

// The path a handle keeps once its key is gone: the key's path as KeyPath gives it, made
// without the registry state, which may be on its way out.
void KeepPath(KeyObject* object) {
    std::vector<const HiveKey*> chain;
    for (const HiveKey* k = object->key; k; k = k->parent) chain.push_back(k);
    if (chain.empty()) return;
    std::string path = chain.back()->name == "USER" ? "HKEY_USERS" : "HKEY_LOCAL_MACHINE";
    for (size_t i = chain.size() - 1; i-- > 0;) {
        path += "\\";
        path += chain[i]->name;
    }
    object->path = std::move(path);
}

bool Within(const HiveKey* key, const HiveKey* top) {
    for (const HiveKey* k = key; k; k = k->parent)
        if (k == top) return true;
    return false;
}

const int kMaxLinkHops = 16;

uint32_t WalkFrom(HiveKey* start, const std::vector<std::string>& comps, size_t first, bool openLink, int* hops,
                  HiveKey** found, HiveKey** deepest, std::vector<std::string>* rest);

// The target of a symbolic link key: its REG_LINK value "SymbolicLinkValue", an NT
// path such as \Registry\Machine\SYSTEM\ControlSet001.
// As on NT, a key opened through a link is its target, so the unnamed value read there is
// the target's; a link opened with REG_OPTION_OPEN_LINK holds "SymbolicLinkValue" and no
// unnamed value. A link's unnamed value is therefore never presented as REG_LINK: the
// registry walk's check for an unnamed REG_LINK value catches only a key that stores one.
uint32_t FollowLink(HiveKey* link, int* hops, HiveKey** target) {
    if (++*hops > kMaxLinkHops) return ERROR_FILE_NOT_FOUND;
    const HiveValue* v = link->FindValue("SymbolicLinkValue");
    if (!v || v->type != REG_LINK) return ERROR_FILE_NOT_FOUND;
    std::vector<uint16_t> units(v->data.size() / 2);
    for (size_t i = 0; i < units.size(); ++i) units[i] = (uint16_t)(v->data[2 * i] | (v->data[2 * i + 1] << 8));
    while (!units.empty() && units.back() == 0) units.pop_back();
    std::string text = Utf16ToUtf8(units.data(), units.size());
    std::vector<std::string> comps;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t next = text.find('\\', pos);
        if (next == std::string::npos) next = text.size();
        if (next > pos) comps.push_back(text.substr(pos, next - pos));
        pos = next + 1;
    }
    State* state = GetState();
    if (!state || comps.size() < 2 || HiveNameCompare(comps[0], "Registry") != 0) return ERROR_FILE_NOT_FOUND;
    HiveKey* root = nullptr;
    if (HiveNameCompare(comps[1], "Machine") == 0)
        root = state->machine.get();
    else if (HiveNameCompare(comps[1], "User") == 0)
        root = state->users.get();
    else
        return ERROR_FILE_NOT_FOUND;
    return WalkFrom(root, comps, 2, false, hops, target, nullptr, nullptr);
}

uint32_t WalkFrom(HiveKey* start, const std::vector<std::string>& comps, size_t first, bool openLink, int* hops,
                  HiveKey** found, HiveKey** deepest, std::vector<std::string>* rest) {
    HiveKey* cur = start;
    for (size_t i = first; i < comps.size(); ++i) {
        HiveKey* next = cur->FindSubkey(comps[i]);
        if (!next && i == first) {
            // A hive whose file is damaged is not "not found": the registry says it is corrupt.
            if (State* state = GetState())
                for (const DamagedHive& d : state->damaged)
                    if (d.parent == cur && HiveNameCompare(d.name, comps[i]) == 0) return ERROR_REGISTRY_CORRUPT;
        }
        if (!next) {
            if (deepest) *deepest = cur;
            if (rest) rest->assign(comps.begin() + (long)i, comps.end());
            return ERROR_FILE_NOT_FOUND;
        }
        bool last = i + 1 == comps.size();
        if ((next->flags & kKeySymLink) && !(last && openLink)) {
            HiveKey* target = nullptr;
            if (FollowLink(next, hops, &target) != ERROR_SUCCESS) {
                if (deepest) *deepest = nullptr;
                return ERROR_FILE_NOT_FOUND;
            }
            next = target;
        }
        cur = next;
    }
    *found = cur;
    return ERROR_SUCCESS;
}
}  // namespace

ntsim::SimRecursiveMutex& Mutex() {
    static ntsim::SimRecursiveMutex* mutex = new ntsim::SimRecursiveMutex;
    return *mutex;
}

KeyObject::KeyObject() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    nextLive = g_liveKeys;
    if (g_liveKeys) g_liveKeys->previousLive = this;
    g_liveKeys = this;
}

KeyObject::~KeyObject() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    if (previousLive)
        previousLive->nextLive = nextLive;
    else
        g_liveKeys = nextLive;
    if (nextLive) nextLive->previousLive = previousLive;
}

const GENERIC_MAPPING& KeyMapping() {
    static const GENERIC_MAPPING mapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    return mapping;
}

bool IsRootKey(const HiveKey* key) {
    State* state = GetState();
    return state && (key == state->machine.get() || key == state->users.get());
}

Mount* MountAt(const HiveKey* key) {
    State* state = GetState();
    if (!state) return nullptr;
    for (auto& m : state->mounts)
        if (m->root == key) return m.get();
    return nullptr;
}

Mount* MountOf(const HiveKey* key) {
    const HiveKey* k = key;
    while (k && k->parent && k->parent->parent) k = k->parent;
    if (!k || !k->parent) return nullptr;  // a root key itself
    return MountAt(k);
}

std::string KeyPath(const HiveKey* key) {
    State* state = GetState();
    std::vector<const HiveKey*> chain;
    for (const HiveKey* k = key; k; k = k->parent) chain.push_back(k);
    std::string path;
    for (size_t i = chain.size(); i-- > 0;) {
        const HiveKey* k = chain[i];
        if (!k->parent) {
            path = (state && k == state->users.get()) ? "HKEY_USERS" : "HKEY_LOCAL_MACHINE";
        } else {
            path += "\\";
            path += k->name;
        }
    }
    return path;
}

static const char* PredefinedName(HKEY handle) {
    switch ((uint32_t)(uintptr_t)handle) {
        case 0x80000000u: return "HKEY_CLASSES_ROOT";
        case 0x80000001u: return "HKEY_CURRENT_USER";
        case 0x80000002u: return "HKEY_LOCAL_MACHINE";
        case 0x80000003u: return "HKEY_USERS";
        case 0x80000004u: return "HKEY_PERFORMANCE_DATA";
        case 0x80000005u: return "HKEY_CURRENT_CONFIG";
        case 0x80000006u: return "HKEY_DYN_DATA";
    }
    return nullptr;
}

static bool IsPredefinedValue(HKEY handle) {
    uintptr_t v = (uintptr_t)handle;
    return (v >> 31) != 0 && (uint32_t)v >= 0x80000000u && (uint32_t)v <= 0x80000006u &&
           (sizeof(v) == 4 || (v >> 32) == 0xFFFFFFFFu);
}

// The user's classes in the registry as it is (no reading of hives again, which could
// replace the tree a caller already holds a key of).
static HiveKey* UserClassesIn(State* state) {
    if (!VersionAtLeast(5, 0)) return nullptr;
    HiveKey* user = nullptr;
    if (!state->userSid.empty()) user = state->users->FindSubkey(state->userSid);
    if (!user) user = state->users->FindSubkey(".DEFAULT");
    HiveKey* software = user ? user->FindSubkey("Software") : nullptr;
    return software ? software->FindSubkey("Classes") : nullptr;
}

uint32_t WalkClassView(const Resolved& parent, const std::string& path, bool openLink, HiveKey** found,
                       HiveKey** machineClass) {
    *machineClass = nullptr;
    HiveKey* mine = nullptr;
    HiveKey* machine = nullptr;
    bool inUser = WalkPath(parent.user, path, openLink, &mine) == ERROR_SUCCESS;
    uint32_t err = WalkPath(parent.machine, path, openLink, &machine);
    if (inUser) {
        *found = mine;
        if (err == ERROR_SUCCESS && machine != mine) *machineClass = machine;
        return ERROR_SUCCESS;
    }
    if (err == ERROR_SUCCESS) *found = machine;
    return err;
}

uint32_t ResolveHandle(HKEY handle, Resolved* out) {
    *out = Resolved();
    if (!handle) return ERROR_INVALID_HANDLE;
    State* state = RefreshState();  // every call resolves its handle first, before it holds any key
    if (IsPredefinedValue(handle)) {
        if (!state) return ERROR_INVALID_HANDLE;
        out->predefined = true;
        HiveKey* key = nullptr;
        if (handle == HKEY_LOCAL_MACHINE) {
            out->key = state->machine.get();
            out->granted = KEY_ALL_ACCESS;
            return ERROR_SUCCESS;
        }
        if (handle == HKEY_USERS) {
            out->key = state->users.get();
            out->granted = KEY_ALL_ACCESS;
            return ERROR_SUCCESS;
        }
        if (handle == HKEY_CURRENT_USER) {
            // A service (or a session without a loaded profile) sees .DEFAULT, as LocalSystem does.
            if (!state->userSid.empty()) key = state->users->FindSubkey(state->userSid);
            if (!key) key = state->users->FindSubkey(".DEFAULT");
        } else if (handle == HKEY_CLASSES_ROOT) {
            HiveKey* software = state->machine->FindSubkey("SOFTWARE");
            key = software ? software->FindSubkey("Classes") : nullptr;
            // The root itself is the machine's (its writes go there), the user's shown before it.
            if (HiveKey* user = key ? UserClassesIn(state) : nullptr) {
                out->user = user;
                out->machine = key;
            }
        } else if (handle == HKEY_CURRENT_CONFIG) {
            WalkPath(state->machine.get(), "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current", false, &key);
        }
        if (!key) return ERROR_INVALID_HANDLE;
        // As advapi32 does, the predefined handle is opened with MAXIMUM_ALLOWED.
        if (CheckKeyAccess(key, MAXIMUM_ALLOWED, 0, &out->granted) != ERROR_SUCCESS) out->granted = 0;
        out->key = key;
        return ERROR_SUCCESS;
    }
    // A glance at the key object in the handle table: no reference is taken.
    uint32_t err = ERROR_INVALID_HANDLE;
    struct Look {
        Resolved* out;
        uint32_t* err;
    } look{out, &err};
    HandleLook((HANDLE)handle,
               [](KernelObject* o, void* context) {
                   Look* l = (Look*)context;
                   KeyObject* object = KernelObjectAs<KeyObject>(o);
                   if (!object || object->stale) return;
                   if (object->deleted) {
                       *l->err = ERROR_KEY_DELETED;
                       return;
                   }
                   l->out->key = object->key;
                   l->out->granted = object->granted;
                   if (object->machineClass) {
                       l->out->user = object->key;
                       l->out->machine = object->machineClass;
                   }
                   *l->err = ERROR_SUCCESS;
               },
               &look);
    return err;
}

HKEY NewKeyHandle(HiveKey* key, uint32_t granted, HiveKey* machineClass) {
    auto object = std::make_shared<KeyObject>();
    object->key = key;
    object->machineClass = machineClass;
    object->granted = granted;
    return (HKEY)HandleCreate(object);
}

std::string HandlePath(HKEY handle, const char* subkey) {
    std::string path;
    if (const char* name = IsPredefinedValue(handle) ? PredefinedName(handle) : nullptr) {
        Resolved r;
        path = (ResolveHandle(handle, &r) == ERROR_SUCCESS) ? KeyPath(r.key) : name;
    } else if (auto object = HandleGetAs<KeyObject>((HANDLE)handle)) {
        path = object->key ? KeyPath(object->key) : object->path;
    }
    if (subkey && *subkey) {
        std::string sub = AnsiToUtf8(subkey);
        while (!sub.empty() && sub.back() == '\\') sub.pop_back();
        if (!sub.empty()) path += "\\" + sub;
    }
    return path;
}

bool KeyFaultHit(const char* function, HKEY handle, const char* subkey, uint32_t* error) {
    return FaultHit(function, HandlePath(handle, subkey), error);
}

uint32_t WalkPath(HiveKey* start, const std::string& path, bool openLink, HiveKey** found, HiveKey** deepest,
                  std::vector<std::string>* rest) {
    if (!path.empty() && path[0] == '\\') return ERROR_BAD_PATHNAME;
    std::vector<std::string> comps;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('\\', pos);
        if (next == std::string::npos) next = path.size();
        if (next > pos) comps.push_back(path.substr(pos, next - pos));
        pos = next + 1;
    }
    int hops = 0;
    return WalkFrom(start, comps, 0, openLink, &hops, found, deepest, rest);
}

void Touch(HiveKey* key) {
    key->lastWrite = FileTimeNow();
    if (key->isVolatile) return;
    HiveMarkDirty(key, kDirtyRecord);
    if (Mount* m = MountOf(key)) m->dirty = true;
}

void InvalidateSubtree(const HiveKey* top, bool includeTop) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    for (KeyObject* object : LiveKeys()) {
        if (object->deleted || object->stale || !object->key) continue;
        // The machine's key behind a class view gone, the user's key is all the view shows.
        if (object->machineClass && Within(object->machineClass, top) && (includeTop || object->machineClass != top))
            object->machineClass = nullptr;
        if (!Within(object->key, top) || (!includeTop && object->key == top)) continue;
        KeepPath(object);
        object->deleted = true;
        object->key = nullptr;
    }
}

bool HandlesOpenBelow(const HiveKey* top, bool includeTop) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    for (KeyObject* object : LiveKeys()) {
        if (object->deleted || object->stale || !object->key) continue;
        if (Within(object->key, top) && (includeTop || object->key != top)) return true;
    }
    return false;
}

void RemapHandles(const HiveKey* oldRoot, HiveKey* newRoot) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    for (KeyObject* object : LiveKeys()) {
        if (object->machineClass && Within(object->machineClass, oldRoot)) {
            std::vector<const HiveKey*> chain;
            for (const HiveKey* k = object->machineClass; k != oldRoot; k = k->parent) chain.push_back(k);
            HiveKey* target = newRoot;
            for (size_t i = chain.size(); i-- > 0 && target;) target = target->FindSubkey(chain[i]->name);
            object->machineClass = target;
        }
        if (object->deleted || object->stale || !object->key || !Within(object->key, oldRoot)) continue;
        std::vector<const HiveKey*> chain;
        for (const HiveKey* k = object->key; k != oldRoot; k = k->parent) chain.push_back(k);
        HiveKey* target = newRoot;
        for (size_t i = chain.size(); i-- > 0 && target;) target = target->FindSubkey(chain[i]->name);
        if (!target) KeepPath(object);
        object->key = target;
        object->deleted = target == nullptr;
    }
}

// Handles that outlive the registry they named (the process detached) become invalid.
void ForgetAllKeys() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    for (KeyObject* object : LiveKeys()) {
        if (!object->stale && object->key) KeepPath(object);
        object->stale = true;
        object->key = nullptr;
        object->machineClass = nullptr;
    }
}

}  // namespace reg
}  // namespace ntsim

using namespace ntsim;
using namespace ntsim::reg;

LONG WINAPI RegCloseKey(HKEY hKey) {
    uint32_t err = 0;
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    if (KeyFault("RegCloseKey", hKey, nullptr, &err)) return (LONG)err;
    if (!hKey) return ERROR_INVALID_HANDLE;
    if (IsPredefinedValue(hKey)) return ERROR_SUCCESS;
    if (!HandleGetAs<KeyObject>((HANDLE)hKey)) return ERROR_INVALID_HANDLE;
    HandleClose((HANDLE)hKey);
    return ERROR_SUCCESS;
}
