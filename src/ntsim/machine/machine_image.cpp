// `ntsim create --from-image`: the facts of a real system volume read from its own hives
// (never written: every file below the volume's root is opened for reading only), then
// machine.conf beside them, and with --copy the volume's tree copied with its descriptors.
#include "ntsim/machine/machine_image.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ntsim/kernel/conf.h"
#include "ntsim/machine/machine.h"
#include "ntsim/registry/hive.h"
#include "ntsim/registry/regf.h"
#include "ntsim/registry/regf_log.h"
#include "ntsim/security/sd.h"

namespace ntsim {

namespace {

bool IsDir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The key at a backslash-separated path below root, or null.
const HiveKey* KeyAt(const HiveKey* root, const std::string& path) {
    const HiveKey* key = root;
    size_t start = 0;
    while (key && start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) key = key->FindSubkey(std::string_view(path).substr(start, end - start));
        start = end + 1;
    }
    return key;
}

// A string value's text (REG_SZ, REG_EXPAND_SZ; a REG_MULTI_SZ's strings joined by '\n').
std::string TextOf(const HiveKey* key, const std::string& name) {
    const HiveValue* v = key ? key->FindValue(name) : nullptr;
    if (!v) return "";
    std::vector<uint16_t> units(v->data.size() / 2);
    for (size_t i = 0; i < units.size(); ++i) units[i] = (uint16_t)(v->data[2 * i] | (v->data[2 * i + 1] << 8));
    while (!units.empty() && units.back() == 0) units.pop_back();
    for (uint16_t& u : units)
        if (u == 0) u = '\n';
    return Utf16ToUtf8(units.data(), units.size());
}

bool DwordOf(const HiveKey* key, const std::string& name, uint32_t* out) {
    const HiveValue* v = key ? key->FindValue(name) : nullptr;
    if (!v || v->data.size() < 4) return false;
    *out = v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) | ((uint32_t)v->data[3] << 24);
    return true;
}

// The name in one of the policy's counted-string records (PolPrDmN): USHORT length in
// bytes, USHORT maximum, ULONG offset of the UTF-16 text from the record's start.
std::string CountedName(const HiveKey* key) {
    const HiveValue* v = key ? key->FindValue("") : nullptr;
    if (!v || v->data.size() < 8) return "";
    size_t length = v->data[0] | (v->data[1] << 8);
    size_t offset = v->data[4] | (v->data[5] << 8) | (v->data[6] << 16) | ((size_t)v->data[7] << 24);
    if (offset > v->data.size() || length > v->data.size() - offset) return "";
    std::vector<uint16_t> units(length / 2);
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = (uint16_t)(v->data[offset + 2 * i] | (v->data[offset + 2 * i + 1] << 8));
    return Utf16ToUtf8(units.data(), units.size());
}

// A dirty hive (a cut write: changes only NT's recovery from its logs puts in place)
// is named with what makes it dirty; a file that is no hive is left to the reader.
bool HiveDirty(const std::string& host, std::string* why) {
    return HiveFileClean(host, why) == ERROR_BADDB;
}

// Expands the references a profile path may hold from the image's own system root.
std::string ExpandImagePath(std::string path, const std::string& systemRoot) {
    const std::pair<const char*, std::string> names[] = {{"%SystemRoot%", systemRoot},
                                                         {"%windir%", systemRoot},
                                                         {"%SystemDrive%", systemRoot.substr(0, 2)}};
    for (const auto& n : names)
        for (const char* hit; (hit = strcasestr(path.c_str(), n.first)) != nullptr;)
            path.replace((size_t)(hit - path.c_str()), strlen(n.first), n.second);
    return path;
}

// The drive type of a MountedDevices entry: 12 bytes (disk signature and offset) name a
// partition of a fixed disk; otherwise the data is the device's name in UTF-16.
std::string MountedType(const HiveValue& v) {
    if (v.data.size() == 12) return "fixed";
    std::vector<uint16_t> units(v.data.size() / 2);
    for (size_t i = 0; i < units.size(); ++i) units[i] = (uint16_t)(v.data[2 * i] | (v.data[2 * i + 1] << 8));
    std::string device = Utf16ToUtf8(units.data(), units.size());
    if (strcasestr(device.c_str(), "CdRom")) return "cdrom";
    return "removable";
}

}  // namespace

std::string ImageHostPath(const std::string& base, const std::string& relative) {
    std::string host = base;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find_first_of("\\/", start);
        if (end == std::string::npos) end = relative.size();
        std::string comp = relative.substr(start, end - start);
        start = end + 1;
        if (comp.empty()) continue;
        std::string exact = host + "/" + comp;
        if (Exists(exact)) {
            host = exact;
            continue;
        }
        DIR* d = opendir(host.c_str());
        if (!d) return "";
        std::string found;
        while (struct dirent* e = readdir(d))
            if (strcasecmp(e->d_name, comp.c_str()) == 0) {
                found = e->d_name;
                break;
            }
        closedir(d);
        if (found.empty()) return "";
        host += "/" + found;
    }
    return host;
}

bool ReadImageFacts(const std::string& root, ImageFacts* facts, std::string* error) {
    if (!IsDir(root)) {
        *error = root + " is not a directory (the root of a Windows NT system volume)";
        return false;
    }
    // The system root: the folder of the volume's root that holds system32\config\SOFTWARE.
    std::string systemHost;
    if (DIR* d = opendir(root.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string candidate = ImageHostPath(root + "/" + e->d_name, "system32\\config\\SOFTWARE");
            if (!candidate.empty() && IsDir(root + "/" + e->d_name)) {
                facts->systemFolder = e->d_name;
                systemHost = root + "/" + e->d_name;
                break;
            }
        }
        closedir(d);
    }
    if (systemHost.empty()) {
        *error = "no system root in " + root + ": no folder there holds system32\\config\\SOFTWARE";
        return false;
    }
    std::vector<std::string> missing;
    auto load = [&](const std::string& relative, Hive* hive) {
        std::string host = ImageHostPath(systemHost, relative);
        if (host.empty()) {
            missing.push_back("the hive " + facts->systemFolder + "\\" + relative);
            return false;
        }
        std::string why;
        if (HiveDirty(host, &why)) {
            facts->dirtyHives.push_back(facts->systemFolder + "\\" + relative + " (" + why + ")");
            return false;
        }
        uint32_t rc = RegfLoadFile(host, hive);
        if (rc != 0) {
            missing.push_back("a readable hive " + facts->systemFolder + "\\" + relative + " (error " + std::to_string(rc) + ")");
            return false;
        }
        return true;
    };
    Hive software, system, sam, security, defaultHive;
    bool haveSoftware = load("system32\\config\\SOFTWARE", &software);
    bool haveSystem = load("system32\\config\\SYSTEM", &system);
    bool haveSam = load("system32\\config\\SAM", &sam);
    bool haveSecurity = load("system32\\config\\SECURITY", &security);
    load("system32\\config\\DEFAULT", &defaultHive);

    facts->systemRoot = "C:\\" + facts->systemFolder;
    if (haveSoftware) {
        const HiveKey* cv = KeyAt(software.root.get(), "Microsoft\\Windows NT\\CurrentVersion");
        std::string stated = TextOf(cv, "SystemRoot");
        // The letter is the volume's as the system knows it; the folder is the one found.
        if (stated.size() > 2 && stated[1] == ':') facts->systemRoot = std::string(1, (char)toupper(stated[0])) + ":\\" + facts->systemFolder;
        facts->version = TextOf(cv, "CurrentVersion");
        facts->build = TextOf(cv, "CurrentBuildNumber");
        facts->csd = TextOf(cv, "CSDVersion");
        if (facts->version.empty()) missing.push_back("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion \"CurrentVersion\"");
        const HiveKey* list = KeyAt(cv, "ProfileList");
        if (!list) missing.push_back("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
        for (size_t i = 0; list && i < list->subkeys.size(); ++i) {
            const HiveKey* p = list->subkeys[i].get();
            ImageFacts::Profile profile;
            profile.sid = p->name;
            profile.imagePath = TextOf(p, "ProfileImagePath");
            std::string expanded = ExpandImagePath(profile.imagePath, facts->systemRoot);
            if (expanded.size() > 3 && toupper(expanded[0]) == facts->systemRoot[0] && expanded[1] == ':') {
                std::string folder = ImageHostPath(root, expanded.substr(3));
                std::string hive = folder.empty() ? "" : ImageHostPath(folder, "ntuser.dat");
                if (!hive.empty() && !IsDir(hive)) profile.hive = hive;
            }
            std::string why;
            if (!profile.hive.empty() && HiveDirty(profile.hive, &why))
                facts->dirtyHives.push_back(expanded + "\\ntuser.dat (" + why + ")");
            facts->profiles.push_back(profile);
        }
    }
    if (haveSystem) {
        uint32_t current = 0;
        if (!DwordOf(KeyAt(system.root.get(), "Select"), "Current", &current)) {
            missing.push_back("SYSTEM\\Select \"Current\"");
        } else {
            char setName[32];
            snprintf(setName, sizeof setName, "ControlSet%03u", current);
            const HiveKey* set = KeyAt(system.root.get(), setName);
            if (!set) missing.push_back(std::string("SYSTEM\\") + setName);
            facts->name = TextOf(KeyAt(set, "Control\\ComputerName\\ComputerName"), "ComputerName");
            if (set && facts->name.empty())
                missing.push_back(std::string("SYSTEM\\") + setName + "\\Control\\ComputerName\\ComputerName \"ComputerName\"");
            facts->productType = TextOf(KeyAt(set, "Control\\ProductOptions"), "ProductType");
            if (set && facts->productType.empty())
                missing.push_back(std::string("SYSTEM\\") + setName + "\\Control\\ProductOptions \"ProductType\"");
            // The paging file's initial size, in MB after its path: setup makes it 1.5 times
            // the memory from Windows 2000 on, the memory and 12 MB on NT 4.0.
            std::string paging = TextOf(KeyAt(set, "Control\\Session Manager\\Memory Management"), "PagingFiles");
            size_t space = paging.find(' ');
            unsigned long long initial = space == std::string::npos ? 0 : strtoull(paging.c_str() + space + 1, nullptr, 10);
            if (initial > 0) {
                unsigned long long mb = facts->version == "4.0" ? (initial > 12 ? initial - 12 : initial) : initial * 2 / 3;
                facts->memory = mb * 1024 * 1024;
            }
        }
        // Drive letters: the system drive, then the others MountedDevices names.
        facts->drives.push_back({facts->systemRoot[0], "fixed"});
        if (const HiveKey* mounted = KeyAt(system.root.get(), "MountedDevices"))
            for (const HiveValue& v : mounted->values) {
                if (v.name.size() != 14 || strncasecmp(v.name.c_str(), "\\DosDevices\\", 12) != 0 || v.name[13] != ':') continue;
                char letter = (char)toupper(v.name[12]);
                if (letter < 'A' || letter > 'Z' || letter == facts->systemRoot[0]) continue;
                facts->drives.push_back({letter, MountedType(v)});
            }
    }
    if (haveSam) {
        const HiveKey* account = KeyAt(sam.root.get(), "SAM\\Domains\\Account");
        const HiveValue* v = account ? account->FindValue("V") : nullptr;
        if (!v || v->data.size() < 24) {
            missing.push_back("SAM\\SAM\\Domains\\Account \"V\" (the machine SID)");
        } else {
            facts->machineSid = SidToText(v->data.data() + v->data.size() - 24, 24);
        }
        // A controller's account domain says in its fixed record whether it is the
        // primary or a backup (the server role at 0x5C: 2 backup, 3 primary).
        uint32_t serverRole = 3;
        const HiveValue* f = account ? account->FindValue("F") : nullptr;
        if (f && f->data.size() >= 0x60) serverRole = f->data[0x5C] | (f->data[0x5D] << 8);
        if (strcasecmp(facts->productType.c_str(), "LanmanNT") == 0) facts->role = serverRole == 2 ? "bdc" : "pdc";
    }
    if (haveSecurity) {
        const HiveKey* policy = KeyAt(security.root.get(), "Policy");
        if (!policy) missing.push_back("SECURITY\\Policy");
        facts->domain = CountedName(KeyAt(policy, "PolPrDmN"));
        const HiveKey* primarySid = KeyAt(policy, "PolPrDmS");
        const HiveValue* sid = primarySid ? primarySid->FindValue("") : nullptr;
        if (facts->role.empty()) facts->role = sid && !sid->data.empty() ? "member" : "standalone";
    }
    if (!facts->dirtyHives.empty()) {
        *error = "the hives of " + root + " are dirty (changes still in their logs, the system was not shut down cleanly): ";
        for (size_t i = 0; i < facts->dirtyHives.size(); ++i) *error += (i ? ", " : "") + facts->dirtyHives[i];
        *error += "; boot it once and shut it down, or replay the logs, before the offline job";
        return false;
    }
    if (!missing.empty()) {
        *error = "the image at " + root + " lacks ";
        for (size_t i = 0; i < missing.size(); ++i) *error += (i ? "; " : "") + missing[i];
        return false;
    }
    return true;
}

namespace {

// Copies one attribute's value from a source name to a target name; true when the
// source had one.
bool CopyXattr(const std::string& from, const char* fromName, const std::string& to, const char* toName, bool* failed) {
    std::vector<uint8_t> buf(65536);
    ssize_t n = lgetxattr(from.c_str(), fromName, buf.data(), buf.size());
    if (n < 0) return false;
    if (lsetxattr(to.c_str(), toName, buf.data(), (size_t)n, 0) != 0) *failed = true;
    return true;
}

// Copies a descriptor into user.ntsim.sd. One that the host's file system cannot hold as
// it is (mkntfs gives the root a descriptor padded to 4 KB, more than an ext4 inode keeps
// beside its other attributes) is stored without its padding, its entries unchanged.
bool CopyDescriptor(const std::string& from, const char* fromName, const std::string& to, bool* failed) {
    std::vector<uint8_t> buf(65536);
    ssize_t n = lgetxattr(from.c_str(), fromName, buf.data(), buf.size());
    if (n < 0) return false;
    buf.resize((size_t)n);
    if (lsetxattr(to.c_str(), "user.ntsim.sd", buf.data(), buf.size(), 0) == 0) return true;
    SdView view;
    if ((errno != ENOSPC && errno != E2BIG) || SdParseRelative(buf.data(), buf.size(), &view) != 0) {
        *failed = true;
        return true;
    }
    // Its ACLs too are padded (an AclSize of 4 KB around eight entries): rebuilt to their entries.
    std::vector<uint8_t> dacl, sacl;
    std::vector<AceEntry> aces;
    if (view.dacl && AclParse(view.dacl, view.daclLen, &aces)) dacl = AclBuild(aces, view.dacl[0]), view.dacl = dacl.data();
    aces.clear();
    if (view.sacl && AclParse(view.sacl, view.saclLen, &aces)) sacl = AclBuild(aces, view.sacl[0]), view.sacl = sacl.data();
    std::vector<uint8_t> compact = SdBuild(view);
    if (lsetxattr(to.c_str(), "user.ntsim.sd", compact.data(), compact.size(), 0) != 0) *failed = true;
    return true;
}

// The volume's paging and hibernation files: gigabytes that no job reads, copied empty.
bool ContentNotNeeded(const std::string& name) {
    return strcasecmp(name.c_str(), "pagefile.sys") == 0 || strcasecmp(name.c_str(), "hiberfil.sys") == 0;
}

// Copies a tree with its descriptors and attributes into the stores a plain host folder
// keeps them in (user.ntsim.sd, user.ntsim.attrib with the sticky mark). top: from is the
// volume's root; empty: a file copied without its content.
bool CopyTree(const std::string& from, const std::string& to, std::string* error, bool top = false, bool empty = false) {
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) {
        *error = "cannot read " + from + ": " + strerror(errno);
        return false;
    }
    bool failed = false;
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(4096);
        ssize_t n = readlink(from.c_str(), target.data(), target.size() - 1);
        if (n < 0 || symlink(std::string(target.data(), (size_t)n).c_str(), to.c_str()) != 0) failed = true;
        if (failed) *error = "cannot copy the link " + from;
        return !failed;
    }
    if (S_ISDIR(st.st_mode)) {
        if (mkdir(to.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "cannot create " + to + ": " + strerror(errno);
            return false;
        }
    } else if (S_ISREG(st.st_mode)) {
        int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
        int out = in < 0 ? -1 : open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<char> buf(1 << 20);
        ssize_t n = 0;
        while (out >= 0 && !empty && (n = read(in, buf.data(), buf.size())) > 0)
            if (write(out, buf.data(), (size_t)n) != n) n = -1, failed = true;
        if (in < 0 || out < 0 || n < 0) failed = true;
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        if (failed) {
            *error = "cannot copy " + from + " to " + to;
            return false;
        }
    } else {
        return true;  // devices, sockets: not part of a system volume's tree
    }
    if (!CopyDescriptor(from, "system.ntfs_acl", to, &failed)) CopyDescriptor(from, "user.ntsim.sd", to, &failed);
    // The attributes: without the sticky mark a plain file's stored attributes are not read.
    bool attributes = CopyXattr(from, "system.ntfs_attrib", to, "user.ntsim.attrib", &failed) ||
                      CopyXattr(from, "user.ntsim.attrib", to, "user.ntsim.attrib", &failed);
    if (attributes && S_ISREG(st.st_mode) && chmod(to.c_str(), 0644 | S_ISVTX) != 0) failed = true;
    if (failed) {
        *error = "cannot keep the descriptor and attributes of " + from + " in " + to + " (" + strerror(errno) + ")";
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        DIR* d = opendir(from.c_str());
        if (!d) {
            *error = "cannot list " + from + ": " + strerror(errno);
            return false;
        }
        std::vector<std::string> names;
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
        for (const std::string& name : names)
            if (!CopyTree(from + "/" + name, to + "/" + name, error, false, top && ContentNotNeeded(name))) return false;
    }
    return true;
}

std::string Absolute(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string out = real;
    free(real);
    return out;
}

// The absolute path a directory has or will have: its nearest existing ancestor resolved
// (links included), the rest as written.
std::string AbsoluteToBe(const std::string& path) {
    std::string full = path.empty() || path[0] != '/' ? Absolute(".") + "/" + path : path;
    std::string head = full, tail;
    while (!head.empty() && !Exists(head)) {
        size_t slash = head.find_last_of('/');
        tail = head.substr(slash) + tail;
        head = head.substr(0, slash);
    }
    return (head.empty() ? "" : Absolute(head)) + tail;
}

}  // namespace

bool MachineCreateFromImage(const std::string& dir, const std::string& rootIn, bool copy, std::string* error) {
    std::string root = Absolute(rootIn);
    ImageFacts facts;
    if (!ReadImageFacts(root, &facts, error)) return false;
    // ntsim's own files (machine.conf, the records of a running machine) live beside the
    // drives: never in the volume. Checked before anything is made.
    std::string absDir = AbsoluteToBe(dir);
    if (absDir == root || absDir.rfind(root + "/", 0) == 0) {
        *error = "the machine directory " + dir + " lies inside the image " + root + "; it must be outside it";
        return false;
    }
    if (!MakeHostDirs(absDir)) {
        *error = "cannot create " + dir + ": " + strerror(errno);
        return false;
    }
    if (Exists(absDir + "/machine.conf")) {
        *error = dir + " already holds a machine";
        return false;
    }
    std::string drive = root;
    if (copy) {
        if (!MakeHostDirs(absDir + "/drives") || !CopyTree(root, absDir + "/drives/c", error, true)) {
            if (error->empty()) *error = "cannot create " + absDir + "/drives";
            return false;
        }
        drive = "drives/c";
    }
    Conf conf;
    ConfSection& m = conf.Add("machine");
    m.Set("preset", "image");
    m.Set("image", root);
    m.Set("name", facts.name);
    m.Set("systemroot", facts.systemRoot);
    m.Set("memory", std::to_string(facts.memory ? facts.memory : 67108864ULL));
    m.Set("version", facts.version + (facts.build.empty() ? "" : "." + facts.build));
    m.Set("role", facts.role);
    ConfSection& s = conf.Add("session");
    s.Set("user", "Administrator");
    // A temporary folder the volume has (the job's work directory goes there), so that
    // the session makes no folder of its own: the system's, else one at the root.
    std::string temp = facts.systemRoot;
    for (const std::string& candidate : {facts.systemFolder + "\\Temp", std::string("TEMP"), std::string("TMP")}) {
        std::string host = ImageHostPath(root, candidate);
        if (!host.empty() && IsDir(host)) {
            temp = facts.systemRoot.substr(0, 3) + host.substr(root.size() + 1);
            break;
        }
    }
    for (char& c : temp) c = c == '/' ? '\\' : c;
    s.Set("temp", temp);
    if (!facts.domain.empty()) s.Set("domain", facts.domain);
    for (const ImageFacts::Drive& d : facts.drives) {
        ConfSection& c = conf.Add("drive", std::string(1, d.letter));
        if (d.letter == facts.systemRoot[0]) {
            c.Set("path", drive);
            c.Set("type", "fixed");
            c.Set("fs", "NTFS");
        } else {
            // Another volume of the computer: not part of the image, so not ready.
            c.Set("path", "drives/" + std::string(1, (char)tolower(d.letter)));
            c.Set("type", d.type);
            c.Set("ready", "no");
        }
    }
    if (!ConfSave(absDir + "/machine.conf", conf)) {
        *error = "cannot write " + absDir + "/machine.conf";
        return false;
    }
    return true;
}

}  // namespace ntsim
