// A fresh machine's files: profile folders owned by their users, a data tree whose
// entries grant, deny and audit local accounts (inherit-only and protected entries
// among them), files that name no local account at all, and a FAT drive.
#include "ntsim/machine/machine_files.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "ntsim/files/security.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sd.h"

namespace ntsim {

namespace {

typedef std::vector<uint8_t> Bytes;

const uint32_t kFull = 0x001F01FF, kModify = 0x001301BF, kRead = 0x001200A9;
const uint8_t kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

AceEntry Ace(uint8_t type, uint8_t flags, uint32_t mask, const Bytes& sid) {
    AceEntry e;
    e.type = type;
    e.flags = flags;
    e.mask = mask;
    e.sid = sid;
    return e;
}

Bytes Descriptor(const Bytes& owner, const Bytes& group, const std::vector<AceEntry>& dacl, uint16_t extra = 0,
                 const std::vector<AceEntry>* sacl = nullptr) {
    Bytes d = AclBuild(dacl), s;
    uint16_t control = SE_DACL_PRESENT | extra;
    if (sacl) {
        s = AclBuild(*sacl);
        control |= SE_SACL_PRESENT;
    }
    return SdBuild(control, owner.data(), group.data(), sacl ? s.data() : nullptr, d.data());
}

class Writer {
public:
    Writer(const std::string& hostRoot) : root_(hostRoot) {}
    bool ok = true;

    void Folder(const std::string& relative, const Bytes& sd) {
        std::string host = root_ + "/" + relative;
        if (!MakeHostDirs(host)) ok = false;
        Secure(host, sd);
    }
    void File(const std::string& relative, const std::string& text, const Bytes* sd) {
        std::string host = root_ + "/" + relative;
        std::ofstream out(host, std::ios::binary);
        out << text;
        if (!out) ok = false;
        out.close();
        if (sd) Secure(host, *sd);
    }

private:
    void Secure(const std::string& host, const Bytes& sd) {
        if (FileWriteStored(host, FileStore::NtsimXattr, sd) != ERROR_SUCCESS) ok = false;
    }
    std::string root_;
};


void Text(HiveKey* key, const std::string& name, const std::string& text) {
    HiveValue v;
    v.name = name;
    v.type = 1;  // REG_SZ
    for (uint16_t u : Utf8ToUtf16(text)) v.data.insert(v.data.end(), {(uint8_t)u, (uint8_t)(u >> 8)});
    v.data.insert(v.data.end(), {0, 0});
    key->values.push_back(v);
}

std::string SidString(const Bytes& sid) {
    std::string s = "S-1-" + std::to_string(sid[7]);
    for (size_t i = 8; i + 4 <= sid.size(); i += 4)
        s += "-" + std::to_string(sid[i] | sid[i + 1] << 8 | sid[i + 2] << 16 | (uint32_t)sid[i + 3] << 24);
    return s;
}

// Thousands of keys: class registrations that name no account, and per-user installer data below
// the user's SID, in SOFTWARE and in the user's own hive.
uint32_t AddLargeKeys(const std::string& dir, const Bytes& user, std::string* error) {
    std::string software = dir + "/drives/c/WINNT/system32/config/SOFTWARE";
    std::string userHive = dir + "/drives/c/WINNT/Profiles/User1/ntuser.dat";
    std::string sidText = SidString(user);
    for (const std::string& file : {software, userHive}) {
        Hive hive;
        uint32_t rc = RegfLoadFile(file, &hive);
        if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND) continue;  // a preset without that profile
        if (rc != ERROR_SUCCESS) {
            *error = "cannot read " + file;
            return rc;
        }
        bool machine = file == software;
        for (int i = 0; i < 1200; ++i) {
            char clsid[64];
            snprintf(clsid, sizeof clsid, "{%08X-51D0-11D2-8B3A-00A0C9%06X}", 0x1A2B0000u + (unsigned)i, (unsigned)i);
            HiveKey* k = MachineKeyPath(hive.root.get(), std::string(machine ? "Classes\\CLSID\\" : "Software\\Classes\\CLSID\\") + clsid);
            Text(k, "", "Component " + std::to_string(i));
            Text(MachineKeyPath(k, "InprocServer32"), "", "C:\\WINNT\\system32\\comp" + std::to_string(i % 97) + ".dll");
        }
        std::string base = machine ? "Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\" + sidText + "\\Products\\"
                                   : "Software\\Microsoft\\Installer\\Products\\";
        for (int i = 0; i < 300; ++i) {
            HiveKey* k = MachineKeyPath(hive.root.get(), base + "P" + std::to_string(1000 + i));
            Text(k, "InstallSource", "C:\\Data\\Setup\\" + std::to_string(i));
            Text(k, "Owner", sidText);
        }
        rc = RegfSaveFile(hive, file);
        if (rc != ERROR_SUCCESS) {
            *error = "cannot write " + file;
            return rc;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace

HiveKey* MachineKeyPath(HiveKey* root, const std::string& path) {
    HiveKey* k = root;
    size_t i = 0;
    while (i <= path.size()) {
        size_t next = path.find('\\', i);
        if (next == std::string::npos) next = path.size();
        std::string name = path.substr(i, next - i);
        if (!name.empty()) {
            HiveKey* child = k->FindSubkey(name);
            if (!child) {
                child = k->AddSubkey(name);
                child->security = k->security;
                child->lastWrite = FileTimeNow();
            }
            k = child;
        }
        i = next + 1;
    }
    return k;
}

uint32_t MachineWriteFiles(const std::string& dir, const MachineOptions& options, Conf* conf, std::string* error) {
    Hive security;
    uint32_t rc = RegfLoadFile(dir + "/drives/c/WINNT/system32/config/SECURITY", &security);
    HiveKey* policy = rc == ERROR_SUCCESS ? security.root->FindSubkey("Policy") : nullptr;
    HiveKey* acdms = policy ? policy->FindSubkey("PolAcDmS") : nullptr;
    const HiveValue* value = acdms ? acdms->FindValue("") : nullptr;
    if (!value || value->data.size() != 24) {
        *error = "the new SECURITY hive holds no machine SID";
        return rc ? rc : ERROR_BADDB;
    }
    const Bytes machine = value->data;
    const Bytes admins = SidBuiltin(544), system = SidLocalSystem(), everyone = SidEveryone(),
                creator = SidCreatorOwner(), administrator = SidAppend(machine, 500), guest = SidAppend(machine, 501),
                user = SidAppend(machine, 1000), users = SidBuiltin(545),
                none = SidAppend(machine, 513);

    Writer c(dir + "/drives/c");
    const std::vector<AceEntry> base = {Ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFull, admins),
                                        Ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFull, system)};
    // Profile folders belong to their users (the folders exist for the profiles with a hive);
    // what a local account creates gets its primary group, the machine's "None".
    for (const auto& p : {std::make_pair(std::string("Administrator"), administrator), std::make_pair(std::string("User1"), user)}) {
        struct stat st;
        std::string folder = "WINNT/Profiles/" + p.first;
        if (stat((dir + "/drives/c/" + folder).c_str(), &st) != 0) continue;
        std::vector<AceEntry> aces = base;
        aces.insert(aces.begin(), Ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFull, p.second));
        Bytes sd = Descriptor(p.second, none, aces);
        c.Folder(folder, sd);
        c.Folder(folder + "/Desktop", sd);
        c.Folder(folder + "/Personal", sd);
        c.File(folder + "/Personal/notes.txt", "notes of " + p.first + "\r\n", &sd);
    }
    // The data tree: User1 may change it, Guest is denied, Users read it; new files belong to their creator.
    std::vector<AceEntry> data = {Ace(ACCESS_DENIED_ACE_TYPE, kInherit, kFull, guest),
                                  Ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFull, admins),
                                  Ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFull, system),
                                  Ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kModify, user),
                                  Ace(ACCESS_ALLOWED_ACE_TYPE, kInherit | INHERIT_ONLY_ACE, kFull, creator),
                                  Ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kRead, users)};
    std::vector<AceEntry> audit = {Ace(SYSTEM_AUDIT_ACE_TYPE, kInherit | FAILED_ACCESS_ACE_FLAG, kFull, user)};
    Bytes dataSd = Descriptor(admins, system, data, 0, &audit);
    Bytes ownedSd = Descriptor(user, none, data);
    Bytes privateSd = Descriptor(administrator, none,
                                 {Ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFull, administrator),
                                  Ace(ACCESS_ALLOWED_ACE_TYPE, kInherit, kFull, system)},
                                 SE_DACL_PROTECTED);
    Bytes publicSd = Descriptor(admins, system, {Ace(ACCESS_ALLOWED_ACE_TYPE, 0, kRead, everyone)});
    c.Folder("Data", dataSd);
    c.Folder("Data/Shared", dataSd);
    c.File("Data/Shared/readme.txt", "Shared documents\r\n", &ownedSd);
    c.File("Data/Shared/budget.xls", std::string(2048, 'b'), &ownedSd);
    c.Folder("Data/Private", privateSd);
    c.File("Data/Private/passwords.txt", "nothing here\r\n", &privateSd);
    c.File("Data/public.txt", "for everyone\r\n", &publicSd);
    if (options.size == "large") {
        for (int p = 0; p < 40; ++p) {
            std::string project = "Data/Projects/P" + std::to_string(100 + p);
            c.Folder(project, p % 4 ? dataSd : privateSd);
            for (int d = 0; d < 8; ++d) {
                std::string folder = project + "/D" + std::to_string(d);
                c.Folder(folder, dataSd);
                for (int f = 0; f < 10; ++f)
                    c.File(folder + "/doc" + std::to_string(f) + ".txt", "document " + std::to_string(f) + "\r\n",
                           f % 3 ? &ownedSd : f % 2 ? &publicSd : &dataSd);
            }
        }
        rc = AddLargeKeys(dir, user, error);
        if (rc != ERROR_SUCCESS) return rc;
    }
    if (!c.ok) {
        *error = "cannot write the files of drive C";
        return ERROR_CANNOT_MAKE;
    }

    // D: a FAT drive: files, but no security to rewrite.
    Writer d(dir + "/drives/d");
    if (!MakeHostDirs(dir + "/drives/d/Backup")) {
        *error = "cannot create drive D";
        return ERROR_CANNOT_MAKE;
    }
    d.File("Backup/readme.txt", "old backups\r\n", nullptr);
    ConfSection& drive = conf->Add("drive", "D");
    drive.Set("path", "drives/d");
    drive.Set("type", "fixed");
    drive.Set("fs", "FAT");
    return ERROR_SUCCESS;
}

}  // namespace ntsim
