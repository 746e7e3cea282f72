// The registry search-and-replace walk (SearchReplaceKey), key renames through a
// temporary hive file (RenameKey) and the removal of a key tree (DeleteKeyTree).
#include "replace/registry_replace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/job_settings.h"
#include "core/output.h"

namespace {

// Owner, group, DACL and SACL.
const SECURITY_INFORMATION kAllSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
const SECURITY_INFORMATION kNoSacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

const int kMaxGrants = 3;

bool SameTextIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = (*a >= 'a' && *a <= 'z') ? (char)(*a - 32) : *a;
        char y = (*b >= 'a' && *b <= 'z') ? (char)(*b - 32) : *b;
        if (x != y) return false;
        if (!x) return true;
    }
}

// Keys the walk must never touch: the performance data and product type keys,
// the control-set link and clone, the messaging profiles.
bool IsExcluded(const char* name, const char* path) {
    if (SameTextIgnoringCase(name, "Perflib") || SameTextIgnoringCase(name, "ProductOptions")) return true;
    return SameTextIgnoringCase(path, "MACHINE\\SYSTEM\\CurrentControlSet") ||
           SameTextIgnoringCase(path, "MACHINE\\SYSTEM\\Clone") ||
           SameTextIgnoringCase(path, "MACHINE\\SOFTWARE\\Microsoft\\Windows Messaging Subsystem");
}

// A key of the SAM's alias membership index: Aliases\Members\<domain SID>. It is named by
// a domain SID alone, so only a name that is an old SID as a whole is one to rename (a
// longer domain SID that merely starts with the same digits is another domain).
bool IsMembershipDomainKey(const char* path) {
    const char* last = strrchr(path, '\\');
    const char* tail = "\\Aliases\\Members";
    size_t n = strlen(tail);
    return last && (size_t)(last - path) >= n && strncmp(last - n, tail, n) == 0;
}

enum LineTarget { kStatusOnly, kLogFile, kErrorBox };

// One formatted line: to the status line (and the log only with verbose-log), to the
// status line and the log, or as an error report. Its buffer lives only for the call,
// so the recursion of the walk does not carry it. The walk's lines reach the status line
// as progress lines, a few a second, so that the window never slows the walk.
void Say(LineTarget target, const char* format, ...) {
    char text[1400];
    va_list args;
    va_start(args, format);
    if (strcmp(format, "%s") == 0) {
        // Every key's path on the status line: copied as the format would copy it.
        const char* line = va_arg(args, const char*);
        if (!line) line = "(null)";
        size_t n = strnlen(line, sizeof text - 1);
        memcpy(text, line, n);
        text[n] = 0;
    } else {
        vsnprintf(text, sizeof text, format, args);
    }
    va_end(args);
    if (target == kErrorBox)
        ReportError(text, logStream);
    else
        ProgressLine(text, (target == kLogFile || verboseLog) ? logStream : nullptr);
}

// A key's DACL as read before the first grant, to be written back afterwards.
struct SavedDacl {
    PSECURITY_DESCRIPTOR descriptor = nullptr;  // holds dacl and its control bits; LocalFree
    PACL dacl = nullptr;
    bool widened = false;  // a grant was written
};

// Writes the DACL of descriptor to the key a security path names ("MACHINE\..." or
// "USERS\..."), through a handle and RegSetKeySecurity: the key gets exactly these bytes.
// The security API's write by name would, from Windows 2000 on, also recompute the key's
// inherited entries and those of every key below it, which no later write undoes.
DWORD WriteKeyDacl(const char* path, PSECURITY_DESCRIPTOR descriptor) {
    HKEY root = nullptr;
    const char* rest = nullptr;
    if (strncmp(path, "MACHINE", 7) == 0 && (path[7] == '\\' || !path[7])) {
        root = HKEY_LOCAL_MACHINE;
        rest = path + 7;
    } else if (strncmp(path, "USERS", 5) == 0 && (path[5] == '\\' || !path[5])) {
        root = HKEY_USERS;
        rest = path + 5;
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    if (*rest) ++rest;
    HKEY key = nullptr;
    LONG err = RegOpenKeyExA(root, rest, 0, WRITE_DAC, &key);
    if (err != ERROR_SUCCESS) return (DWORD)err;
    err = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    RegCloseKey(key);
    return (DWORD)err;
}

// Gives userName full access to the key named by path: reads its DACL, merges one
// GENERIC_ALL grant without inheritance and writes the result. ERROR_SUCCESS or the
// error of the call that failed. The first DACL read is kept in saved when given.
DWORD GrantFullAccess(const char* path, SavedDacl* saved) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD err = GetNamedSecurityInfoA(path, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                      nullptr, &descriptor);
    if (err != ERROR_SUCCESS) return err;
    EXPLICIT_ACCESS_A access;
    memset(&access, 0, sizeof access);
    BuildExplicitAccessWithNameA(&access, jobSettings->userName, GENERIC_ALL, GRANT_ACCESS, NO_INHERITANCE);
    PACL merged = nullptr;
    err = SetEntriesInAclA(1, &access, dacl, &merged);
    if (err == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR widened;
        if (!InitializeSecurityDescriptor(&widened, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&widened, TRUE, merged, FALSE))
            err = GetLastError();
        else
            err = WriteKeyDacl(path, &widened);
    }
    if (merged) LocalFree(merged);
    if (saved && !saved->descriptor) {
        saved->descriptor = descriptor;
        saved->dacl = dacl;
    } else {
        LocalFree(descriptor);
    }
    if (err == ERROR_SUCCESS) {
        // A widened DACL is a change of the key's security until it is put back.
        if (jobSettings) jobSettings->changesMade = TRUE;
        if (saved) saved->widened = true;
    }
    return err;
}

// Writes a saved DACL back (when one was widened), as it was read with its protection
// from inheritance, and releases it.
DWORD PutBackDacl(const char* path, SavedDacl* saved) {
    DWORD err = ERROR_SUCCESS;
    if (saved->widened) err = WriteKeyDacl(path, saved->descriptor);
    if (saved->descriptor) LocalFree(saved->descriptor);
    *saved = SavedDacl();
    return err;
}

// Reads the complete security of a key into *descriptor (LocalFree), starting with a
// 20-byte buffer. Without the security privilege the SACL cannot be read: the rest is
// still kept rather than nothing. The parts read, or 0.
SECURITY_INFORMATION ReadKeySecurity(HKEY key, PSECURITY_DESCRIPTOR* descriptor) {
    *descriptor = nullptr;
    for (SECURITY_INFORMATION info : {kAllSecurity, kNoSacl}) {
        DWORD size = 20;
        PSECURITY_DESCRIPTOR buffer = LocalAlloc(LMEM_FIXED, size);
        if (!buffer) return 0;
        LONG err = RegGetKeySecurity(key, info, buffer, &size);
        if (err == ERROR_INSUFFICIENT_BUFFER) {
            LocalFree(buffer);
            buffer = LocalAlloc(LMEM_FIXED, size);
            if (!buffer) return 0;
            err = RegGetKeySecurity(key, info, buffer, &size);
        }
        if (err == ERROR_SUCCESS) {
            *descriptor = buffer;
            return info;
        }
        LocalFree(buffer);
    }
    return 0;
}

// The state of one visited key: its handle, path copy, working buffers and saved DACL.
// The working buffers share one allocation (block): the walk visits every key, often
// more than once, and eight allocations a key cost more than the rest of its visit.
struct KeyVisit {
    HKEY key = nullptr;
    bool renamed = false;
    SavedDacl saved;
    char* path = nullptr;
    DWORD pathCapacity = 0;
    char* newName = nullptr;
    DWORD newNameCapacity = 0;
    char* valueName = nullptr;
    char* oldValueName = nullptr;
    DWORD valueNameCapacity = 0;
    char* data = nullptr;
    DWORD dataCapacity = 0;
    char* childName = nullptr;
    char* childClass = nullptr;
    DWORD childClassCapacity = 0;
    char* childPath = nullptr;
    char* ownClass = nullptr;
    DWORD ownClassCapacity = 0;
    char* block = nullptr;

    void FreeBuffers() {
        for (char** p : {&path, &block})
            if (*p) LocalFree(*p);
        path = block = nullptr;
        newName = valueName = oldValueName = data = childName = childClass = childPath = ownClass = nullptr;
    }
};

// Step 4: opens the key, widening access up to three times. False when the key is left.
bool OpenKey(HKEY parent, const char* name, KeyVisit* v) {
    LONG err = RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &v->key);
    int grants = 0;
    while (err == ERROR_ACCESS_DENIED) {
        if (GrantFullAccess(v->path, &v->saved) != ERROR_SUCCESS) return false;
        // After the third grant there is no further open: the key is left below.
        if (++grants == kMaxGrants) break;
        err = RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &v->key);
    }
    if (err == ERROR_SUCCESS) return true;
    v->key = nullptr;
    if (err == ERROR_FILE_NOT_FOUND) return false;
    if (err == ERROR_ACCESS_DENIED) {
        // Still denied after three grants: the handle stays empty and the key is left
        // as a failed size query, without calling the registry with no handle.
        Say(kLogFile, "SR Error %d querying information for '%s'", (int)err, name);
        return false;
    }
    Say(kErrorBox, "SR Error %d opening key '%s'", (int)err, name);
    return false;
}

// Step 6: sizes the working buffers from the key's longest names and data.
bool AllocateBuffers(const char* name, KeyVisit* v) {
    DWORD classLength = 0, longestSubkey = 0, longestClass = 0, longestValueName = 0, longestData = 0;
    LONG err = RegQueryInfoKeyA(v->key, nullptr, &classLength, nullptr, nullptr, &longestSubkey, &longestClass, nullptr,
                                &longestValueName, &longestData, nullptr, nullptr);
    if (err != ERROR_SUCCESS) {
        Say(kLogFile, "SR Error %d querying information for '%s'", (int)err, name);
        return false;
    }
    DWORD nameLength = (DWORD)strlen(name);
    v->newNameCapacity = (nameLength + 1 > longestSubkey + 1 ? nameLength + 1 : longestSubkey + 1) + 64;
    v->valueNameCapacity = longestValueName + 65;
    v->dataCapacity = longestData + 1 + 5120;
    v->childClassCapacity = longestClass + 1;
    v->ownClassCapacity = classLength + 1;
    size_t total = 2 * (size_t)v->newNameCapacity + 2 * (size_t)v->valueNameCapacity + v->childClassCapacity +
                   kRegistryPathSize + v->ownClassCapacity + v->dataCapacity;
    // Whole 4 KiB steps: nearly every key then asks for the size the key before it gave
    // back, which the heap hands out again at once instead of searching its free blocks.
    total = (total + 4095) & ~(size_t)4095;
    v->block = (char*)LocalAlloc(LMEM_FIXED, total);
    if (!v->block) {
        Say(kErrorBox, "Error: SR Out of memory");
        return false;
    }
    char* next = v->block;
    auto take = [&next](size_t size) {
        char* p = next;
        next += size;
        return p;
    };
    v->newName = take(v->newNameCapacity);
    v->childName = take(v->newNameCapacity);
    v->valueName = take(v->valueNameCapacity);
    v->oldValueName = take(v->valueNameCapacity);
    v->childClass = take(v->childClassCapacity);
    v->childPath = take(kRegistryPathSize);
    v->ownClass = take(v->ownClassCapacity);
    v->data = take(v->dataCapacity);
    return true;
}

// Step 7: the key's own name. False when the key is abandoned.
bool ReplaceKeyName(HKEY parent, const char* name, const SidPairList* pairs, KeyVisit* v) {
    memcpy(v->newName, name, strlen(name) + 1);
    int result = kNotFound;
    if (IsMembershipDomainKey(v->path)) {
        int count = pairs->count < 0 ? 0 : (pairs->count > 4 ? 4 : pairs->count);
        for (int i = 0; i < count && result == kNotFound; ++i)
            if (SameTextIgnoringCase(name, pairs->oldText[i]) && strlen(pairs->newText[i]) < v->newNameCapacity) {
                memcpy(v->newName, pairs->newText[i], strlen(pairs->newText[i]) + 1);
                result = kReplaced;
            }
    } else {
        result = ReplaceTextAllPairs(v->newName, &v->newNameCapacity, pairs);
    }
    if (result == kReplaceFailed) {
        Say(kErrorBox, "SR Error during registry search replacing key name");
        return false;
    }
    if (result != kReplaced) return true;
    if (parent == HKEY_USERS) {
        // A loaded user hive's root: its name changes with the profile at the next boot.
        Say(kStatusOnly, "Information: Key '%s' to be renamed upon next boot", name);
        return true;
    }
    // The copy keeps the old key's own class; without one it gets none.
    DWORD classSize = v->ownClassCapacity;
    if (RegQueryInfoKeyA(v->key, v->ownClass, &classSize, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        v->ownClass[0] = 0;
    HKEY renamedKey = RenameKey(parent, v->key, v->path, name, v->newName, v->ownClass);
    if (!renamedKey) {
        Say(kErrorBox, "Error: SR failed renaming key '%s'", name);
        return false;
    }
    v->key = renamedKey;
    v->renamed = true;  // whatever follows, the parent must enumerate again
    // The path's last component is this key's name. Replacing the first SID text in the
    // whole path would instead hit an ancestor of the same name (a user hive's root).
    char* last = strrchr(v->path, '\\');
    size_t keep = last ? (size_t)(last - v->path) + 1 : 0;
    size_t newLength = strlen(v->newName);
    if (keep + newLength + 1 > v->pathCapacity) {
        Say(kErrorBox, "Error: SR failed renaming string");
        return false;
    }
    memcpy(v->path + keep, v->newName, newLength + 1);
    return true;
}

// The SID texts in string data of dataSize bytes, piece by piece between its NULs: a
// string with a NUL before its end, an empty string inside a list, a missing terminator
// all stay as they were; only the SID texts change, and with them the length. The
// result as ReplaceTextAllPairs gives it; *newSize is the data's new length on 0.
int ReplaceStringData(char* data, DWORD dataSize, DWORD capacity, const SidPairList* pairs, DWORD* newSize) {
    DWORD grow = 0;
    int count = pairs->count < 0 ? 0 : (pairs->count > 4 ? 4 : pairs->count);
    for (int i = 0; i < count; ++i) {
        size_t o = strlen(pairs->oldText[i]), n = strlen(pairs->newText[i]);
        if (n > o) grow += (DWORD)(n - o);
    }
    // The output is made at the first replacement: until then it would be the data itself,
    // and most values hold no SID.
    char* output = nullptr;
    char* piece = (char*)LocalAlloc(LMEM_FIXED, dataSize + grow + 1);
    if (!piece) {
        Say(kErrorBox, "Error: SR Out of memory");
        return kReplaceFailed;
    }
    int result = kNotFound;
    DWORD in = 0, out = 0;
    while (in < dataSize && result != kReplaceFailed) {
        DWORD length = (DWORD)strnlen(data + in, dataSize - in);
        memcpy(piece, data + in, length);
        piece[length] = 0;
        DWORD pieceCapacity = length + grow + 1;
        int r = length ? ReplaceTextAllPairs(piece, &pieceCapacity, pairs) : kNotFound;
        if (r == kReplaceFailed) {
            result = r;
            break;
        }
        if (r == kReplaced && !output) {
            output = (char*)LocalAlloc(LMEM_FIXED, capacity);
            if (!output) {
                Say(kErrorBox, "Error: SR Out of memory");
                result = kReplaceFailed;
                break;
            }
            memcpy(output, data, out);  // the pieces before this one, as they were
        }
        if (r == kReplaced) result = kReplaced;
        DWORD written = (DWORD)strlen(piece);
        bool terminated = in + length < dataSize;  // the NUL that ended this piece is data too
        if (out + written + (terminated ? 1 : 0) > capacity) {
            Say(kErrorBox, "Error: RBT buffer too small (bufsize = %d; needed = %d)\n", (int)capacity,
                (int)(out + written + 1));
            result = kReplaceFailed;
            break;
        }
        if (output) {
            memcpy(output + out, piece, written);
            if (terminated) output[out + written] = 0;
        }
        out += written + (terminated ? 1 : 0);
        in += length + 1;
    }
    if (result == kReplaced) {
        memcpy(data, output, out);
        *newSize = out;
    }
    if (output) LocalFree(output);
    LocalFree(piece);
    return result;
}

// Step 8: value contents and names. False when the key is abandoned.
bool ReplaceValues(const SidPairList* pairs, KeyVisit* v) {
    DWORD index = 0;
    // A rename sends the enumeration back to the first value, so a refused rename is met
    // again after every later rename in the key: it is reported the first time only. The
    // refused values keep their names and their order, so in each pass they are met in
    // the same order, and only one met beyond those already reported is new.
    DWORD refusedThisPass = 0, refusedReported = 0;
    for (;;) {
        DWORD nameSize = v->valueNameCapacity;
        // Two bytes stay free for the terminators put after the data.
        DWORD dataSize = v->dataCapacity - 2;
        DWORD type = 0;
        if (RegEnumValueA(v->key, index, v->valueName, &nameSize, nullptr, &type, (BYTE*)v->data, &dataSize) !=
            ERROR_SUCCESS)
            return true;
        if (dataSize == 0) {
            ++index;
            continue;
        }
        // A string list stored without its closing empty string gets one.
        v->data[dataSize] = 0;
        v->data[dataSize + 1] = 0;

        int content = kNotFound;
        DWORD newSize = dataSize;
        if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)
            content = ReplaceStringData(v->data, dataSize, v->dataCapacity - 2, pairs, &newSize);
        if (content == kReplaced) Say(kLogFile, "Renaming value contents of: %s", v->valueName);
        if (content == kReplaceFailed) {
            Say(kErrorBox, "Error: SR failed trying to replace value contents of '%s'", v->valueName);
            return false;
        }

        memcpy(v->oldValueName, v->valueName, nameSize + 1);
        int name = ReplaceTextAllPairs(v->valueName, &v->valueNameCapacity, pairs);
        if (name == kReplaced) Say(kLogFile, "Renaming value: %s", v->oldValueName);
        if (name == kReplaceFailed) {
            Say(kErrorBox, "Error: SR failed during replacement of value '%s'", v->oldValueName);
            return false;
        }
        if (name == kReplaced &&
            RegQueryValueExA(v->key, v->valueName, nullptr, nullptr, nullptr, nullptr) != ERROR_FILE_NOT_FOUND) {
            // A value of the new name exists: writing over it would lose it. Both stay,
            // the old one under its own name (with its contents rewritten).
            if (++refusedThisPass > refusedReported) {
                refusedReported = refusedThisPass;
                Say(kErrorBox, "Error: SR cannot rename value '%s': a value named '%s' exists", v->oldValueName,
                    v->valueName);
            }
            memcpy(v->valueName, v->oldValueName, nameSize + 1);
            name = kNotFound;
        }
        if (content != kReplaced && name != kReplaced) {
            ++index;
            continue;
        }
        // RegSetValueExA takes a string's terminator in when it lies just past the size given
        // (the data was terminated above): a string stored without one is written with another
        // byte there, so that it keeps its length.
        bool isString = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
        char after = v->data[newSize];
        if (isString && newSize && v->data[newSize - 1] && !after) v->data[newSize] = 1;
        LONG written = RegSetValueExA(v->key, v->valueName, 0, type, (const BYTE*)v->data, newSize);
        v->data[newSize] = after;
        if (written != ERROR_SUCCESS) {
            Say(kErrorBox, "Error: SR failed in trying to replace value '%s'", v->oldValueName);
            return false;
        }
        if (jobSettings) jobSettings->changesMade = TRUE;
        if (name != kReplaced) {
            ++index;
            continue;
        }
        if (RegDeleteValueA(v->key, v->oldValueName) != ERROR_SUCCESS) {
            Say(kErrorBox, "Error: SR failed in trying to delete old value '%s'", v->oldValueName);
            return false;
        }
        index = 0;  // values already handled no longer match
        refusedThisPass = 0;
    }
}

// Step 9: every subkey; a renamed child restarts the enumeration.
void WalkSubkeys(const SidPairList* pairs, KeyVisit* v) {
    DWORD index = 0;
    for (;;) {
        DWORD nameSize = v->newNameCapacity, classSize = v->childClassCapacity;
        if (RegEnumKeyExA(v->key, index, v->childName, &nameSize, nullptr, v->childClass, &classSize, nullptr) !=
            ERROR_SUCCESS)
            return;
        // The child's path is the key's path, a backslash and the child's name.
        size_t pathLength = strlen(v->path), nameLength = strlen(v->childName);
        if (pathLength + 1 + nameLength >= (size_t)kRegistryPathSize) {
            // No path names this child for the security calls: it is reported and passed over.
            Say(kErrorBox, "Error: SR registry path too long for subkey '%s'", v->childName);
            ++index;
            continue;
        }
        memcpy(v->childPath, v->path, pathLength);
        v->childPath[pathLength] = '\\';
        memcpy(v->childPath + pathLength + 1, v->childName, nameLength + 1);
        int result = SearchReplaceKey(v->key, v->childName, v->childPath, pairs);
        if (result == -1) return;
        index = result == 1 ? 0 : index + 1;
    }
}

}  // namespace

int SearchReplaceKey(HKEY parent, const char* name, const char* path, const SidPairList* pairs) {
    if (!name || !path) return -1;
    if (IsExcluded(name, path)) return 0;

    KeyVisit v;
    size_t pathLength = strlen(path);
    v.pathCapacity = (DWORD)pathLength + 64;
    v.path = (char*)LocalAlloc(LMEM_FIXED, v.pathCapacity);
    if (!v.path) {
        Say(kErrorBox, "Error: SR Out of memory");
        return -1;
    }
    memcpy(v.path, path, pathLength + 1);
    Say(kStatusOnly, "%s", v.path);

    if (OpenKey(parent, name, &v)) {
        DWORD type = 0;
        if (RegQueryValueExA(v.key, "", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS && type == REG_LINK) {
            Say(kStatusOnly, "Skipping symbolic link '%s'", name);
        } else if (AllocateBuffers(name, &v) && ReplaceKeyName(parent, name, pairs, &v) && ReplaceValues(pairs, &v)) {
            WalkSubkeys(pairs, &v);
        }
    }

    // Exit step: the key closes and a widened DACL goes back by the current path.
    if (v.key) RegCloseKey(v.key);
    int result = v.renamed ? 1 : 0;
    if (DWORD err = PutBackDacl(v.path, &v.saved); err != ERROR_SUCCESS) {
        // The key stays open to the account and its parent stops walking: neither may pass
        // unnoticed.
        Say(kErrorBox, "Error %d: SR could not restore the security of key '%s'", (int)err, v.path);
        result = -1;
    }
    v.FreeBuffers();
    return result;
}

HKEY RenameKey(HKEY parent, HKEY key, const char* path, const char* oldName, const char* newName,
               const char* className) {
    Say(kLogFile, "Renaming subkey: %s", path);

    // RegSaveKeyA refuses an existing file: the name is made, then its file removed.
    char folder[MAX_PATH], file[MAX_PATH];
    if (!GetWorkFolder(folder) || !GetTempFileNameA(folder, "HIVE", 0, file)) {
        Say(kErrorBox, "Error %d saving registry key '%s'", (int)GetLastError(), oldName);
        return nullptr;
    }
    DeleteFileA(file);
    RegFlushKey(key);
    LONG err = RegSaveKeyA(key, file, nullptr);
    if (err != ERROR_SUCCESS) {
        DeleteFileA(file);
        Say(kErrorBox, "Error %d saving registry key '%s'", (int)err, oldName);
        return nullptr;
    }

    PSECURITY_DESCRIPTOR security = nullptr;
    SECURITY_INFORMATION securityParts = ReadKeySecurity(key, &security);

    // A key that already has the new name is never written over: restoring into it
    // would erase what it holds, and after a failed removal of an old tree the walk
    // would meet that tree again and copy it over its own copy for ever.
    HKEY newKey = nullptr;
    DWORD disposition = 0;
    err = RegCreateKeyExA(parent, newName, 0, const_cast<char*>(className), REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                          nullptr, &newKey, &disposition);
    if (err == ERROR_SUCCESS && disposition != REG_CREATED_NEW_KEY) {
        RegCloseKey(newKey);
        err = ERROR_ALREADY_EXISTS;
    }
    if (err != ERROR_SUCCESS) {
        Say(kErrorBox, "Error %d, disposition %d creating new subkey '%s'", (int)err, (int)disposition, newName);
        DeleteFileA(file);
        if (security) LocalFree(security);
        return nullptr;
    }

    SavedDacl oldDacl;
    if (GrantFullAccess(path, &oldDacl) != ERROR_SUCCESS) {
        RegCloseKey(newKey);
        if (RegDeleteKeyA(parent, newName) == ERROR_SUCCESS) jobSettings->changesMade = TRUE;
        PutBackDacl(path, &oldDacl);
        DeleteFileA(file);
        if (security) LocalFree(security);
        return nullptr;
    }

    err = RegRestoreKeyA(newKey, file, 0);
    DeleteFileA(file);
    if (err != ERROR_SUCCESS) {
        Say(kErrorBox, "Error %d restoring hive to key '%s'", (int)err, newName);
        // The copy this call created goes again, and the old key keeps its own DACL.
        RegCloseKey(newKey);
        DeleteKeyTree(parent, newName, nullptr);
        PutBackDacl(path, &oldDacl);
        if (security) LocalFree(security);
        return nullptr;
    }
    if (securityParts) {
        err = RegSetKeySecurity(newKey, securityParts, security);
        if (err != ERROR_SUCCESS) Say(kErrorBox, "Error %d copying security to key '%s'", (int)err, newName);
    }
    if (security) LocalFree(security);
    jobSettings->changesMade = TRUE;
    RegCloseKey(key);

    LONG deleted = DeleteKeyTree(parent, oldName, path);
    if (deleted != ERROR_SUCCESS) {
        Say(kErrorBox, "Error %d deleting hive '%s'", (int)deleted, oldName);
        // What is left of the old key is not left open to everyone.
        PutBackDacl(path, &oldDacl);
    }
    oldDacl.widened = false;  // gone with the old key
    PutBackDacl(path, &oldDacl);
    return newKey;
}

LONG DeleteKeyTree(HKEY parent, const char* name, const char* path) {
    if (!name || !*name) return ERROR_BADKEY;
    if (path && GrantFullAccess(path, nullptr) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
    HKEY key;
    if (RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return ERROR_BADKEY;
    // The name and path buffers come from the heap: a tree may be hundreds of levels deep.
    struct ChildNames {
        char name[1024];
        char path[kRegistryPathSize];
    };
    ChildNames* buffers = (ChildNames*)LocalAlloc(LMEM_FIXED, sizeof(ChildNames));
    if (!buffers) {
        RegCloseKey(key);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    char* child = buffers->name;
    char* childPath = buffers->path;
    LONG result;
    for (;;) {
        DWORD size = 1024;
        result = RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) {
            result = RegDeleteKeyA(parent, name);
            break;
        }
        if (result != ERROR_SUCCESS) break;
        // A child whose path does not fit is deleted without widening its access.
        const char* sub = nullptr;
        if (path) {
            int length = snprintf(childPath, kRegistryPathSize, "%s\\%s", path, child);
            if (length >= 0 && length < kRegistryPathSize) sub = childPath;
        }
        result = DeleteKeyTree(key, child, sub);
        if (result != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    LocalFree(buffers);
    return result;
}
