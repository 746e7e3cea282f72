// The census of a Windows system volume: paths found without regard to case, as Windows
// finds them; hives checked clean (HiveFileClean) before the regf reader reads them; the
// tree walked without following links, descriptors read from system.ntfs_acl.
#include "ntsim/machine/census_image.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "ntsim/files/security.h"
#include "ntsim/machine/census.h"
#include "ntsim/registry/hive.h"
#include "ntsim/registry/regf.h"
#include "ntsim/registry/regf_log.h"
#include "ntsim/security/sd.h"

namespace ntsim {

namespace {

const char* const kMachineHives[] = {"SAM", "SECURITY", "SOFTWARE", "SYSTEM", "DEFAULT", "COMPONENTS", "DRIVERS"};

bool IsDir(const std::string& host) {
    struct stat st;
    return lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool IsFile(const std::string& host) {
    struct stat st;
    return lstat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The entries of a folder, sorted, without "." and "..".
std::vector<std::string> List(const std::string& host) {
    std::vector<std::string> names;
    if (DIR* d = opendir(host.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A path below the root given Windows style, each part found without regard to case.
// True with the host path and the path as the volume spells it.
bool Resolve(const std::string& root, const std::string& rel, std::string* host, std::string* spelled) {
    std::string h = root, s;
    size_t at = 0;
    while (at <= rel.size()) {
        size_t end = rel.find('\\', at);
        if (end == std::string::npos) end = rel.size();
        std::string part = rel.substr(at, end - at);
        at = end + 1;
        if (part.empty()) continue;
        std::string found;
        struct stat st;
        if (lstat((h + "/" + part).c_str(), &st) == 0) {
            found = part;
        } else {
            for (const std::string& n : List(h))
                if (strcasecmp(n.c_str(), part.c_str()) == 0) {
                    found = n;
                    break;
                }
        }
        if (found.empty()) return false;
        h += "/" + found;
        s += (s.empty() ? "" : "\\") + found;
    }
    *host = h;
    *spelled = s;
    return true;
}

// Reads a hive of the image if it is clean; the record says what became of it.
bool ReadImageHive(const std::string& host, Hive* hive, ImageHive* record) {
    std::string why;
    uint32_t err = HiveFileClean(host, &why);
    if (err == ERROR_BADDB) {
        record->state = ImageHiveState::Dirty;
        record->problem = "dirty: " + why;
        return false;
    }
    if (err == ERROR_SUCCESS) err = RegfLoadFile(host, hive);
    if (err != ERROR_SUCCESS || !hive->root) {
        record->state = ImageHiveState::Unreadable;
        record->problem = "not a readable hive (error " + std::to_string(err) + (why.empty() ? "" : ": " + why) + ")";
        return false;
    }
    return true;
}

const HiveKey* KeyAt(const HiveKey* key, const std::string& path) {
    size_t at = 0;
    while (key && at < path.size()) {
        size_t end = path.find('\\', at);
        if (end == std::string::npos) end = path.size();
        key = key->FindSubkey(path.substr(at, end - at));
        at = end + 1;
    }
    return key;
}

const HiveValue* ValueAt(const Hive& hive, const std::string& key, const std::string& name) {
    const HiveKey* k = hive.root ? KeyAt(hive.root.get(), key) : nullptr;
    return k ? k->FindValue(name) : nullptr;
}

// A REG_SZ or REG_EXPAND_SZ value's text, up to its terminating zero.
std::string Text(const HiveValue* v) {
    if (!v || v->data.size() < 2) return "";
    std::vector<uint16_t> units(v->data.size() / 2);
    memcpy(units.data(), v->data.data(), units.size() * 2);
    size_t n = 0;
    while (n < units.size() && units[n]) ++n;
    return Utf16ToUtf8(units.data(), n);
}

std::string SidValue(const HiveValue* v, bool last24) {
    if (!v || v->data.empty()) return "";
    const uint8_t* p = v->data.data();
    size_t n = v->data.size();
    if (last24) {
        if (n < 24) return "";
        p += n - 24;
        n = 24;
    }
    size_t len = SidCheck(p, n);
    return len ? SidToText(p, len) : "";
}

std::string Lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

// The Windows folder: the only top folder with system32\config, else the one the SOFTWARE
// hive of one of them names as SystemRoot, else WINDOWS, else WINNT, else the first.
bool FindSystemRoot(const std::string& root, std::string* systemRoot, std::string* error) {
    std::vector<std::string> candidates;
    for (const std::string& n : List(root)) {
        std::string host, spelled;
        if (IsDir(root + "/" + n) && Resolve(root, n + "\\system32\\config", &host, &spelled) && IsDir(host))
            candidates.push_back(n);
    }
    if (candidates.empty()) {
        *error = "no system root: no folder with system32\\config below " + root;
        return false;
    }
    if (candidates.size() > 1) {
        for (const std::string& c : candidates) {
            std::string host, spelled;
            if (!Resolve(root, c + "\\system32\\config\\SOFTWARE", &host, &spelled) || !IsFile(host)) continue;
            Hive software;
            ImageHive record;
            if (!ReadImageHive(host, &software, &record)) continue;
            std::string named = Text(ValueAt(software, "Microsoft\\Windows NT\\CurrentVersion", "SystemRoot"));
            size_t slash = named.find_last_of('\\');
            if (slash != std::string::npos) named = named.substr(slash + 1);
            if (strcasecmp(named.c_str(), c.c_str()) == 0) {
                *systemRoot = c;
                return true;
            }
        }
    }
    for (const char* usual : {"WINDOWS", "WINNT"})
        for (const std::string& c : candidates)
            if (strcasecmp(c.c_str(), usual) == 0) {
                *systemRoot = c;
                return true;
            }
    *systemRoot = candidates[0];
    return true;
}

// A profile folder named by ProfileImagePath ("%SystemDrive%\Users\Pat", "C:\WINNT\Profiles\x",
// "%SystemRoot%\system32\config\systemprofile") as a path below the root.
std::string ProfileBelowRoot(std::string path, const std::string& systemRoot) {
    auto replace = [&](const char* var, const std::string& with) {
        size_t n = strlen(var);
        if (path.size() >= n && strncasecmp(path.c_str(), var, n) == 0) path = with + path.substr(n);
    };
    replace("%SystemDrive%", "");
    replace("%SystemRoot%", systemRoot);
    replace("%windir%", systemRoot);
    if (path.size() >= 2 && path[1] == ':') path = path.substr(2);
    while (!path.empty() && path[0] == '\\') path.erase(0, 1);
    return path;
}

void FoldHits(const CensusResult& hits, ImageHive* record) {
    for (const CensusHit& h : hits.hits) {
        switch (h.kind) {
            case CensusKind::KeyName: record->keyNames += h.count; break;
            case CensusKind::ValueName: record->valueNames += h.count; break;
            case CensusKind::StringData: record->stringData += h.count; break;
            case CensusKind::ValueData: record->binaryData += h.count; break;
            case CensusKind::KeySecurity: record->keySecurity += h.count; break;
            case CensusKind::ClassName: record->classNames += h.count; break;
            default: break;
        }
    }
}

}  // namespace

bool IdentifyImage(const std::string& root, ImageIdentity* identity, std::string* error) {
    *identity = ImageIdentity();
    identity->root = root;
    if (!IsDir(root)) {
        *error = "not a folder: " + root;
        return false;
    }
    if (!FindSystemRoot(root, &identity->systemRoot, error)) return false;
    std::string config = identity->systemRoot + "\\system32\\config\\";
    auto load = [&](const char* name, Hive* hive) {
        std::string host, spelled;
        if (!Resolve(root, config + name, &host, &spelled) || !IsFile(host)) {
            identity->problems.push_back(config + name + ": missing");
            return false;
        }
        ImageHive record;
        if (ReadImageHive(host, hive, &record)) return true;
        identity->problems.push_back(spelled + ": " + record.problem);
        return false;
    };
    Hive sam, security, system;
    if (load("SAM", &sam)) identity->samSid = SidValue(ValueAt(sam, "SAM\\Domains\\Account", "V"), true);
    if (load("SECURITY", &security)) {
        identity->policySid = SidValue(ValueAt(security, "Policy\\PolAcDmS", ""), false);
        identity->machineAccountSid = SidValue(ValueAt(security, "Policy\\PolMachineAccountS", ""), false);
    }
    if (load("SYSTEM", &system)) {
        const HiveValue* current = ValueAt(system, "Select", "Current");
        if (current && current->data.size() >= 4) {
            uint32_t n;
            memcpy(&n, current->data.data(), 4);
            char set[32];
            snprintf(set, sizeof set, "ControlSet%03u", n);
            identity->computerName =
                Text(ValueAt(system, std::string(set) + "\\Control\\ComputerName\\ComputerName", "ComputerName"));
        }
    }
    identity->machineSid = !identity->samSid.empty() ? identity->samSid : identity->policySid;
    if (identity->SidsDisagree())
        identity->problems.push_back("the SAM's machine SID " + identity->samSid + " and the policy's (PolAcDmS) " +
                                     identity->policySid + " disagree");
    if (identity->machineSid.empty()) {
        *error = "no machine SID: neither the SAM nor the security policy of " + identity->systemRoot + " gives one";
        return false;
    }
    return true;
}

bool CensusImage(const std::string& root, ImageCensus* census, std::string* error) {
    *census = ImageCensus();
    if (!IdentifyImage(root, &census->identity, error)) return false;
    const std::string& sid = census->identity.machineSid;
    const std::string& systemRoot = census->identity.systemRoot;
    std::set<std::string> seen;  // hives by lower-case host path
    // keep: where the hive read stays for the caller (SOFTWARE, whose ProfileList follows).
    auto count = [&](const std::string& rel, ImageHiveKind kind, const std::string& account, Hive* keep = nullptr) {
        std::string host, spelled;
        if (!Resolve(root, rel, &host, &spelled) || !IsFile(host) || !seen.insert(Lower(host)).second) return false;
        ImageHive record;
        record.file = spelled;
        record.kind = kind;
        record.account = account;
        Hive local;
        Hive& hive = keep ? *keep : local;
        bool read = ReadImageHive(host, &hive, &record);
        if (read) {
            CensusResult hits;
            CensusHiveTree(*hive.root, spelled, CensusPlace::MachineHives, sid, &hits);
            FoldHits(hits, &record);
        } else {
            std::vector<std::string>& problems = census->identity.problems;  // the SAM, SECURITY and SYSTEM were named already
            std::string problem = spelled + ": " + record.problem;
            if (std::find(problems.begin(), problems.end(), problem) == problems.end()) problems.push_back(problem);
        }
        census->hives.push_back(record);
        return read;
    };
    std::string config = systemRoot + "\\system32\\config\\";
    Hive software;
    bool haveSoftware = false;
    for (const char* name : kMachineHives) {
        bool isSoftware = strcmp(name, "SOFTWARE") == 0;
        bool read = count(config + name, ImageHiveKind::Machine, "", isSoftware ? &software : nullptr);
        haveSoftware = haveSoftware || (isSoftware && read);
    }
    for (const char* name : kMachineHives) count(config + "RegBack\\" + name, ImageHiveKind::Backup, "");

    // Profiles: those ProfileList names, then any other folder of the usual places with a hive.
    std::vector<std::pair<std::string, std::string>> profiles;  // folder below the root, account SID
    {
        std::string host, spelled;
        if (!Resolve(root, config + "SOFTWARE", &host, &spelled) || !IsFile(host))
            census->identity.problems.push_back(config + "SOFTWARE: missing (profiles found by their folders only)");
        if (haveSoftware)
            if (const HiveKey* list = KeyAt(software.root.get(), "Microsoft\\Windows NT\\CurrentVersion\\ProfileList"))
                for (const auto& entry : list->subkeys) {
                    std::string path = Text(entry->FindValue("ProfileImagePath"));
                    if (!path.empty()) profiles.push_back({ProfileBelowRoot(path, systemRoot), entry->name});
                }
        software = Hive();  // a Windows 10 SOFTWARE hive is hundreds of megabytes in memory
    }
    for (const std::string& parent : {std::string("Documents and Settings"), std::string("Users"), systemRoot + "\\Profiles"}) {
        std::string host, spelled;
        if (!Resolve(root, parent, &host, &spelled) || !IsDir(host)) continue;
        for (const std::string& n : List(host))
            if (IsDir(host + "/" + n)) profiles.push_back({spelled + "\\" + n, ""});
    }
    for (const auto& [folder, account] : profiles) {
        count(folder + "\\NTUSER.DAT", ImageHiveKind::Profile, account);
        count(folder + "\\Local Settings\\Application Data\\Microsoft\\Windows\\UsrClass.dat", ImageHiveKind::Classes, account);
        count(folder + "\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat", ImageHiveKind::Classes, account);
    }

    // Every file and folder: its name, and its NTFS descriptor where the volume gives one.
    std::vector<std::pair<std::string, std::string>> stack{{root, ""}};  // host, path below the root
    while (!stack.empty()) {
        auto [host, rel] = stack.back();
        stack.pop_back();
        std::vector<std::string> entries = List(host);
        for (size_t i = entries.size(); i-- > 0;) {
            const std::string& n = entries[i];
            std::string childHost = host + "/" + n, childRel = rel.empty() ? n : rel + "\\" + n;
            struct stat st;
            if (lstat(childHost.c_str(), &st) != 0) continue;
            ++census->entriesWalked;
            bool folder = S_ISDIR(st.st_mode);
            if (CensusCountText(n, sid) > 0) census->names.push_back(childRel + (folder ? "\\" : ""));
            if (!folder && !S_ISREG(st.st_mode)) continue;  // links and devices are neither read nor followed
            std::vector<uint8_t> sd;
            if (FileReadStored(childHost, FileStore::NtfsAcl, &sd)) {
                census->descriptorsFound = true;
                ++census->descriptorsRead;
                if (int k = CensusCountBytes(sd.data(), sd.size(), sid)) {
                    census->descriptorOccurrences += k;
                    census->descriptorFiles.push_back(childRel + (folder ? "\\" : ""));
                }
            }
            if (folder) stack.push_back({childHost, childRel});
        }
    }
    std::sort(census->names.begin(), census->names.end());
    std::sort(census->descriptorFiles.begin(), census->descriptorFiles.end());
    return true;
}

int ImageCensus::Total() const {
    int n = descriptorOccurrences + (int)names.size();
    for (const ImageHive& h : hives) n += h.Total();
    return n;
}

std::vector<std::vector<size_t>> SharedMachineSids(const std::vector<ImageIdentity>& identities) {
    std::vector<std::vector<size_t>> groups;
    std::map<std::string, size_t> bySid;  // upper-case SID -> group index
    std::vector<std::vector<size_t>> all;
    for (size_t i = 0; i < identities.size(); ++i) {
        std::string key = identities[i].machineSid;
        if (key.empty()) continue;
        for (char& c : key) c = (char)toupper((unsigned char)c);
        auto [it, added] = bySid.emplace(key, all.size());
        if (added) all.emplace_back();
        all[it->second].push_back(i);
    }
    for (auto& g : all)
        if (g.size() > 1) groups.push_back(std::move(g));
    return groups;
}

const char* ImageHiveKindName(ImageHiveKind kind) {
    switch (kind) {
        case ImageHiveKind::Machine: return "machine";
        case ImageHiveKind::Backup: return "backup";
        case ImageHiveKind::Profile: return "profile";
        case ImageHiveKind::Classes: return "classes";
    }
    return "?";
}

const char* ImageHiveStateName(ImageHiveState state) {
    switch (state) {
        case ImageHiveState::Read: return "read";
        case ImageHiveState::Dirty: return "dirty";
        case ImageHiveState::Unreadable: return "unreadable";
    }
    return "?";
}

}  // namespace ntsim
