// A server-sized machine: SOFTWARE and the users' hives grown to a real server's shape with
// the hive generator, and a file server's tree over C: and a second NTFS volume E:, written
// straight to the host (file and descriptor), as hundreds of thousands of files must be made
// in minutes, not through the simulated calls.
#include "ntsim/machine/machine_server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "ntsim/files/security.h"
#include "ntsim/machine/machine_files.h"
#include "ntsim/machine/hive_shape.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/access.h"
#include "ntsim/security/sd.h"

namespace ntsim {

namespace {

typedef std::vector<uint8_t> Bytes;

const uint32_t kFull = 0x001F01FF, kModify = 0x001301BF, kReadExecute = 0x001200A9;
const uint8_t kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
// The deepest entry of the tree lies this many names below its drive's root.
const int kMaxDepth = 12;
// The longest path written, in characters with the drive ("E:\..."): below MAX_PATH (260)
// with its terminator, as the ANSI calls take no longer one.
const size_t kLongestPath = 258;

AceEntry Ace(uint8_t flags, uint32_t mask, const Bytes& sid) {
    AceEntry e;
    e.type = ACCESS_ALLOWED_ACE_TYPE;
    e.flags = flags;
    e.mask = mask;
    e.sid = sid;
    return e;
}

Bytes Descriptor(uint16_t control, const Bytes& owner, const Bytes& group, const std::vector<AceEntry>& dacl) {
    Bytes d = AclBuild(dacl);
    return SdBuild((uint16_t)(SE_DACL_PRESENT | control), owner.data(), group.data(), nullptr, d.data());
}

// What the tree's entries hold of their own; what they inherit is added as NT adds it
// (Inherited below), so that the tree is what NTFS keeps and a descriptor set again on a
// folder propagates nothing new. The defaults name well-known SIDs only; a local user's
// file or folder has the user as owner (the parent's CREATOR OWNER entry then names the
// user too) and the machine's None as group; home and profile folders grant their user
// an entry that everything below them inherits.
struct Descriptors {
    Bytes shareRoot, own;
    std::vector<Bytes> userOwn, userHome, userProfile;

    Descriptors(const Bytes& machine, size_t users) {
        const Bytes admins = SidBuiltin(544), system = SidLocalSystem(), everyoneUsers = SidBuiltin(545),
                    creator = SidCreatorOwner();
        shareRoot = Descriptor(SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, admins, system,
                               {Ace(kInherit, kFull, admins), Ace(kInherit, kFull, system),
                                Ace(kInherit | INHERIT_ONLY_ACE, kFull, creator), Ace(kInherit, kReadExecute, everyoneUsers)});
        own = Descriptor(SE_DACL_AUTO_INHERITED, admins, system, {});
        const Bytes none = SidAppend(machine, 513);
        // Without server users the local account is the machine's Administrator.
        std::vector<Bytes> accounts;
        for (size_t i = 0; i < users; ++i) accounts.push_back(SidAppend(machine, kServerFirstRid + (uint32_t)i));
        if (!users) accounts.push_back(SidAppend(machine, 500));
        for (const Bytes& user : accounts) {
            userOwn.push_back(Descriptor(SE_DACL_AUTO_INHERITED, user, none, {}));
            userHome.push_back(Descriptor(SE_DACL_AUTO_INHERITED, user, none, {Ace(kInherit, kModify, user)}));
            userProfile.push_back(Descriptor(SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, user, none,
                                             {Ace(kInherit, kFull, user), Ace(kInherit, kFull, admins), Ace(kInherit, kFull, system)}));
        }
    }
};

// An entry's descriptor: its own part with what it inherits from its parent's, and whether it
// names a local account. Kept by both, as a tree repeats a few dozen of them.
class Inherited {
public:
    explicit Inherited(const Bytes& machine) : machine_(machine.begin() + 8, machine.end()) {}
    const Bytes& Of(const Bytes& parent, const Bytes& own, bool container, bool* local) {
        std::string key(parent.begin(), parent.end());
        key += container ? '\1' : '\0';
        key.append(own.begin(), own.end());
        auto it = cache_.find(key);
        if (it == cache_.end()) {
            Entry e;
            e.sd = parent.empty() ? own
                                  : AutoInheritDescriptor(parent.data(), parent.size(), own.data(), own.size(), container,
                                                          FileGenericMapping(), DACL_SECURITY_INFORMATION);
            e.local = std::search(e.sd.begin(), e.sd.end(), machine_.begin(), machine_.end()) != e.sd.end();
            it = cache_.emplace(std::move(key), std::move(e)).first;
        }
        *local = it->second.local;
        return it->second.sd;
    }

private:
    struct Entry {
        Bytes sd;
        bool local = false;
    };
    Bytes machine_;  // the machine SID's bytes that any account of it holds
    std::map<std::string, Entry> cache_;
};

const char* const kWords[] = {"Budget", "Report", "Minutes", "Contract", "Invoice", "Drawing", "Proposal", "Plan", "Review",
                              "Survey", "Schedule", "Forecast", "Quote", "Letter", "Memo", "Specification", "Summary",
                              "Analysis", "Customer", "Project", "Quarterly", "Final", "Draft", "Backup", "Archive"};
const char* const kExtensions[] = {".doc", ".xls", ".pdf", ".txt", ".dwg", ".ppt", ".tif", ".msg", ".zip", ".jpg"};
const char* const kFolders[] = {"Accounts", "Sales", "Marketing", "Engineering", "Legal", "Purchasing", "Support", "Admin",
                                "Projects", "Clients", "Templates", "Old", "2002", "2003", "2004", "Q1", "Q2", "Q3", "Q4",
                                "Correspondence", "Drawings", "Photos", "Misc"};

// Writes the entries of one volume and counts them: files, folders, and the entries whose
// descriptor names a local account. Each entry is given its own part of a descriptor and
// its parent's; an empty parent stands for a folder without a stored descriptor.
class TreeWriter {
public:
    TreeWriter(const std::string& hostRoot, const std::string& drive, const Descriptors& sds, Inherited* inherited,
               shape::Random* r)
        : root_(hostRoot), drive_(drive), sds_(sds), inherited_(*inherited), r_(*r) {}

    bool ok = true;
    size_t files = 0, folders = 0, local = 0;
    double localRate = 0;  // the share of the tree's other entries that a local user owns

    // Makes the folder and gives back its descriptor, the parent of what goes in it.
    const Bytes& Folder(const std::string& relative, const Bytes& parent, const Bytes& own) {
        bool named = false;
        const Bytes& sd = inherited_.Of(parent, own, true, &named);
        std::string host = root_ + "/" + relative;
        if (mkdir(host.c_str(), 0755) != 0 && errno != EEXIST) ok = false;
        if (FileWriteStored(host, FileStore::NtsimXattr, sd) != ERROR_SUCCESS) ok = false;
        ++folders;
        local += named;
        return sd;
    }
    void File(const std::string& relative, const Bytes& parent, const Bytes& own, size_t size) {
        bool named = false;
        const Bytes& sd = inherited_.Of(parent, own, false, &named);
        std::string host = root_ + "/" + relative;
        int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) {
            ok = false;
            return;
        }
        // Content enough to be a file; the job reads descriptors, never the data.
        char text[64];
        int n = snprintf(text, sizeof text, "%s %zu\r\n", relative.c_str() + relative.rfind('/') + 1, size);
        if (write(fd, text, (size_t)std::min(n, (int)sizeof text - 1)) < 0) ok = false;
        close(fd);
        if (FileWriteStored(host, FileStore::NtsimXattr, sd) != ERROR_SUCCESS) ok = false;
        ++files;
        local += named;
    }

    // An entry's own part: the defaults, or now and then a local user's.
    const Bytes& Own() { return r_.Percent(localRate * 100) ? sds_.userOwn[r_.Below((uint32_t)sds_.userOwn.size())] : sds_.own; }

    std::string FileName(size_t index) {
        std::string name = kWords[r_.Below(sizeof kWords / sizeof *kWords)];
        if (r_.Below(2)) name += std::string(" ") + kWords[r_.Below(sizeof kWords / sizeof *kWords)];
        return name + " " + std::to_string(index) + kExtensions[r_.Below(sizeof kExtensions / sizeof *kExtensions)];
    }

    // budget files below relative (depth names below the root), shared out unevenly among a
    // few subfolders, as the hive generator shares keys: most folders small, some large.
    void Fill(const std::string& relative, const Bytes& sd, size_t budget, int depth) {
        if (!budget || !ok) return;
        size_t here = depth >= kMaxDepth - 1 || budget <= 6 ? budget : std::min(budget, (size_t)r_.Below(24));
        for (size_t i = 0; i < here; ++i) File(relative + "/" + FileName(i), sd, Own(), i);
        size_t rest = budget - here;
        if (!rest) return;
        size_t fanout = 1 + r_.Below((uint32_t)std::min<size_t>(rest, 8));
        std::vector<size_t> shares = shape::SplitShares(r_, rest, fanout);
        for (size_t i = 0; i < fanout; ++i) {
            size_t share = shares[i];
            std::string child = relative + "/" + kFolders[r_.Below(sizeof kFolders / sizeof *kFolders)] + " " + std::to_string(i);
            Fill(child, Folder(child, sd, Own()), share, depth + 1);
        }
    }

    // One folder of count files (a scanner's drop folder, a mail archive).
    void BigFolder(const std::string& relative, const Bytes& parent, size_t count, const char* stem, const char* extension) {
        const Bytes& sd = Folder(relative, parent, sds_.own);
        char name[64];
        for (size_t i = 0; i < count && ok; ++i) {
            snprintf(name, sizeof name, "%s%06zu%s", stem, i, extension);
            File(relative + "/" + name, sd, Own(), i);
        }
    }

    // A chain of folders down to kMaxDepth whose last file's path is kLongestPath characters
    // long, as deep project folders with long descriptive names grow.
    void LongChain(const std::string& relative, const Bytes& parent) {
        std::string path = relative;
        const Bytes* sd = &parent;
        int depth = (int)std::count(relative.begin(), relative.end(), '/') + 1;
        const std::string piece = "Customer Correspondence and Signed Agreements";
        for (; depth < kMaxDepth - 1; ++depth) {
            std::string name = piece.substr(0, 14 + (size_t)depth);
            while (name.back() == ' ') name.pop_back();  // Windows drops a name's trailing spaces
            path += "/" + name;
            sd = &Folder(path, *sd, sds_.own);
        }
        // drive_ + "\" + path + "\" + name
        size_t used = drive_.size() + 1 + path.size() + 1;
        std::string name = "Agreement with long description of the matters settled";
        while (name.size() + 4 + used < kLongestPath) name += " and further matters";
        name = name.substr(0, kLongestPath - used - 4) + ".doc";
        File(path + "/" + name, *sd, sds_.own, 0);
    }

private:
    std::string root_, drive_;
    const Descriptors& sds_;
    Inherited& inherited_;
    shape::Random& r_;
};

// Grows a hive's key with keys of real shape, and writes it back.
uint32_t GrowHive(const std::string& file, const std::string& under, const shape::HiveShape& growth, uint64_t seed,
                  std::string* error) {
    Hive hive;
    uint32_t rc = RegfLoadFile(file, &hive);
    if (rc != ERROR_SUCCESS) {
        *error = "cannot read " + file;
        return rc;
    }
    HiveKey* key = MachineKeyPath(hive.root.get(), under);
    shape::detail::Generator generator(growth);
    generator.r = shape::Random(seed);
    generator.Fill(key, growth.keys, 3);
    rc = RegfSaveFile(hive, file);
    if (rc != ERROR_SUCCESS) *error = "cannot write " + file;
    return rc;
}

Bytes MachineSid(const std::string& dir, std::string* error) {
    Hive security;
    if (RegfLoadFile(dir + "/drives/c/WINNT/system32/config/SECURITY", &security) == ERROR_SUCCESS) {
        HiveKey* policy = security.root->FindSubkey("Policy");
        HiveKey* acdms = policy ? policy->FindSubkey("PolAcDmS") : nullptr;
        const HiveValue* value = acdms ? acdms->FindValue("") : nullptr;
        if (value && value->data.size() == 24) return value->data;
    }
    *error = "the new SECURITY hive holds no machine SID";
    return {};
}

// The file tree of a member file server: C: holds the system's files, the programs and the
// profiles; E: the shares, the users' home folders, two folders of a tenth of the files each,
// and a chain of long names to the greatest depth.
uint32_t WriteServerFiles(const std::string& dir, const ServerShape& server, const Bytes& machine, Conf* conf,
                          std::string* error) {
    Descriptors sds(machine, server.profiles);
    Inherited inherited(machine);
    shape::Random r(7);
    std::string eRoot = dir + "/drives/e";
    if (!MakeHostDirs(eRoot)) {
        *error = "cannot create drive E";
        return ERROR_CANNOT_MAKE;
    }
    TreeWriter c(dir + "/drives/c", "C:", sds, &inherited, &r), e(eRoot, "E:", sds, &inherited, &r);
    // What the profiles and home folders give local accounts already counts towards the
    // tenth of the entries that name one; the rest of the tree makes up the difference.
    size_t forced = server.profiles * 9, entries = server.files + server.files / 10;
    double rate = entries * 0.10 > (double)forced ? (entries * 0.10 - (double)forced) / (double)entries : 0;
    c.localRate = e.localRate = rate;

    size_t systemFiles = std::min<size_t>(server.files / 50, 2500), bigFolder = server.files / 10;
    size_t profileFiles = server.profiles * 2, homeFiles = server.profiles;
    size_t rest = server.files > systemFiles + 2 * bigFolder + profileFiles + homeFiles + 1
                      ? server.files - systemFiles - 2 * bigFolder - profileFiles - homeFiles - 1
                      : 0;
    size_t programFiles = rest / 5;

    // System files inherit from system32, which keeps no descriptor of its own here.
    const Bytes none;
    for (size_t i = 0; i < systemFiles; ++i) {
        char name[32];
        snprintf(name, sizeof name, "WINNT/system32/sys%05zu.dll", i);
        c.File(name, sds.shareRoot, sds.own, i);
    }
    c.Fill("Program Files", c.Folder("Program Files", none, sds.shareRoot), programFiles, 1);
    for (size_t i = 0; i < server.profiles; ++i) {
        std::string profile = "WINNT/Profiles/" + ServerUserName(i);
        const Bytes& root = c.Folder(profile, none, sds.userProfile[i]);
        const Bytes& documents = c.Folder(profile + "/My Documents", root, sds.userOwn[i]);
        const Bytes& desktop = c.Folder(profile + "/Desktop", root, sds.userOwn[i]);
        const Bytes& data = c.Folder(profile + "/Application Data", root, sds.userOwn[i]);
        c.Folder(profile + "/Application Data/Microsoft", data, sds.userOwn[i]);
        c.Folder(profile + "/Start Menu", root, sds.userOwn[i]);
        c.File(profile + "/My Documents/notes.txt", documents, sds.userOwn[i], 0);
        c.File(profile + "/Desktop/shortcut.lnk", desktop, sds.userOwn[i], 1);
    }

    const Bytes& shares = e.Folder("Shares", none, sds.shareRoot);
    const Bytes& homes = e.Folder("Home", none, sds.shareRoot);
    for (size_t i = 0; i < server.profiles; ++i) {
        std::string home = "Home/" + ServerUserName(i);
        e.File(home + "/todo.txt", e.Folder(home, homes, sds.userHome[i]), sds.userOwn[i], 0);
    }
    e.BigFolder("Shares/Scans/Incoming", e.Folder("Shares/Scans", shares, sds.own), bigFolder, "scan", ".tif");
    e.BigFolder("Shares/Mail/Archive 2003", e.Folder("Shares/Mail", shares, sds.own), bigFolder, "msg", ".msg");
    e.LongChain("Shares/Engineering", e.Folder("Shares/Engineering", shares, sds.own));
    e.Fill("Shares/Departments", e.Folder("Shares/Departments", shares, sds.own), rest - programFiles, 2);

    if (!c.ok || !e.ok) {
        *error = "cannot write the server's files";
        return ERROR_CANNOT_MAKE;
    }
    ConfSection& drive = conf->Add("drive", "E");
    drive.Set("path", "drives/e");
    drive.Set("type", "fixed");
    drive.Set("fs", "NTFS");
    return ERROR_SUCCESS;
}

}  // namespace

ServerShape ServerShapeOf(const MachineOptions& options) {
    ServerShape server;
    if (options.size == "server") {
        server.files = 100000;
        server.profiles = 10;
    } else if (options.size == "terminal-server") {
        server.files = 100000;
        server.profiles = 500;
        server.terminalServer = true;
    }
    if (options.fileCount >= 0) server.files = (size_t)options.fileCount;
    if (options.profileCount >= 0) server.profiles = (size_t)options.profileCount;
    // A server's SOFTWARE: some tens of thousands of keys (fewer for the small trees of tests).
    if (server.files || server.profiles) server.softwareKeys = std::clamp<size_t>(server.files / 2, 1000, 40000);
    return server;
}

std::string ServerDefaultPreset(const std::string& size) {
    return size == "server" || size == "terminal-server" ? "w2003-member" : "";
}

std::string ServerUserName(size_t i) {
    char name[32];
    snprintf(name, sizeof name, "tsuser%04zu", i + 1);
    return name;
}

uint32_t MachineWriteServer(const std::string& dir, const MachineOptions& options, Conf* conf, std::string* error) {
    const ServerShape server = ServerShapeOf(options);
    if (!server.softwareKeys) return ERROR_SUCCESS;
    // A server's memory, of which a quarter is the registry's quota where no limit is set.
    if (ConfSection* m = conf->Find("machine")) m->Set("memory", "1073741824");
    Bytes machine = MachineSid(dir, error);
    if (machine.empty()) return ERROR_BADDB;
    // SOFTWARE: class registrations, installer and application data of a real server's shape;
    // a few values name the Administrator's profile by its SID.
    shape::HiveShape software;
    software.keys = server.softwareKeys;
    software.values = server.softwareKeys * 7 / 2;
    software.sidData = 0.02;
    software.sid = SidToText(SidAppend(machine, 500));
    std::string config = dir + "/drives/c/WINNT/system32/config/";
    uint32_t rc = GrowHive(config + "SOFTWARE", "Classes\\Installer", software, 3, error);
    if (rc != ERROR_SUCCESS) return rc;
    // Each user's hive: the settings of a user's programs, some naming the user's own SID.
    for (size_t i = 0; i < server.profiles; ++i) {
        shape::HiveShape user;
        user.keys = 400;
        user.values = 1500;
        user.sidData = 0.5;
        user.sid = SidToText(SidAppend(machine, kServerFirstRid + (uint32_t)i));
        rc = GrowHive(dir + "/drives/c/WINNT/Profiles/" + ServerUserName(i) + "/ntuser.dat", "Software\\Vendors", user,
                      100 + i, error);
        if (rc != ERROR_SUCCESS) return rc;
    }
    if (!options.files) return ERROR_SUCCESS;
    return WriteServerFiles(dir, server, machine, conf, error);
}

}  // namespace ntsim
