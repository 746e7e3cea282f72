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

#include "ntsim/files/security.h"
#include "ntsim/machine/hive_shape.h"
#include "ntsim/registry/regf.h"
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

// The descriptors the tree uses: NTFS's inherited defaults, naming well-known SIDs only, and
// for each local user what the user's own files and folders carry (owner the user, group the
// machine's None, and the user's own entry).
struct Descriptors {
    Bytes shareRoot, folder, file;
    std::vector<Bytes> userFolder, userFile;

    Descriptors(const Bytes& machine, size_t users) {
        const Bytes admins = SidBuiltin(544), system = SidLocalSystem(), everyoneUsers = SidBuiltin(545),
                     creator = SidCreatorOwner();
        const uint8_t inherited = INHERITED_ACE;
        shareRoot = Descriptor(SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, admins, system,
                               {Ace(kInherit, kFull, admins), Ace(kInherit, kFull, system),
                                Ace(kInherit | INHERIT_ONLY_ACE, kFull, creator), Ace(kInherit, kReadExecute, everyoneUsers)});
        folder = Descriptor(SE_DACL_AUTO_INHERITED, admins, system,
                            {Ace(inherited | kInherit, kFull, admins), Ace(inherited | kInherit, kFull, system),
                             Ace(inherited | kInherit | INHERIT_ONLY_ACE, kFull, creator),
                             Ace(inherited | kInherit, kReadExecute, everyoneUsers)});
        file = Descriptor(SE_DACL_AUTO_INHERITED, admins, system,
                          {Ace(inherited, kFull, admins), Ace(inherited, kFull, system), Ace(inherited, kReadExecute, everyoneUsers)});
        const Bytes none = SidAppend(machine, 513);
        for (size_t i = 0; i < users; ++i) {
            Bytes user = SidAppend(machine, kServerFirstRid + (uint32_t)i);
            userFolder.push_back(Descriptor(SE_DACL_AUTO_INHERITED, user, none,
                                            {Ace(kInherit, kModify, user), Ace(inherited | kInherit, kFull, admins),
                                             Ace(inherited | kInherit, kFull, system)}));
            userFile.push_back(Descriptor(SE_DACL_AUTO_INHERITED, user, none,
                                          {Ace(inherited, kFull, user), Ace(inherited, kFull, admins), Ace(inherited, kFull, system)}));
        }
        // Without server users the local account is the machine's Administrator.
        if (!users) {
            Bytes administrator = SidAppend(machine, 500);
            userFolder.push_back(Descriptor(SE_DACL_AUTO_INHERITED, administrator, none,
                                            {Ace(kInherit, kModify, administrator), Ace(inherited | kInherit, kFull, admins)}));
            userFile.push_back(Descriptor(SE_DACL_AUTO_INHERITED, administrator, none,
                                          {Ace(inherited, kFull, administrator), Ace(inherited, kFull, admins)}));
        }
    }
};

const char* const kWords[] = {"Budget", "Report", "Minutes", "Contract", "Invoice", "Drawing", "Proposal", "Plan", "Review",
                              "Survey", "Schedule", "Forecast", "Quote", "Letter", "Memo", "Specification", "Summary",
                              "Analysis", "Customer", "Project", "Quarterly", "Final", "Draft", "Backup", "Archive"};
const char* const kExtensions[] = {".doc", ".xls", ".pdf", ".txt", ".dwg", ".ppt", ".tif", ".msg", ".zip", ".jpg"};
const char* const kFolders[] = {"Accounts", "Sales", "Marketing", "Engineering", "Legal", "Purchasing", "Support", "Admin",
                                "Projects", "Clients", "Templates", "Old", "2002", "2003", "2004", "Q1", "Q2", "Q3", "Q4",
                                "Correspondence", "Drawings", "Photos", "Misc"};

// Writes the entries of one volume and counts them: files, folders, the deepest entry, the
// largest folder, the longest path, and the entries whose descriptor names a local account.
class TreeWriter {
public:
    TreeWriter(const std::string& hostRoot, const std::string& drive, const Descriptors& sds, shape::Random* r)
        : root_(hostRoot), drive_(drive), sds_(sds), r_(*r) {}

    bool ok = true;
    size_t files = 0, folders = 0, local = 0;
    double localRate = 0;  // the share of the tree's other entries given a local account's descriptor

    void Folder(const std::string& relative, const Bytes* sd) {
        std::string host = root_ + "/" + relative;
        if (mkdir(host.c_str(), 0755) != 0 && errno != EEXIST) ok = false;
        if (sd && FileWriteStored(host, FileStore::NtsimXattr, *sd) != ERROR_SUCCESS) ok = false;
        ++folders;
        if (sd && sd != &sds_.folder && sd != &sds_.shareRoot) ++local;
    }
    void File(const std::string& relative, const Bytes& sd, size_t size) {
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
        if (&sd != &sds_.file) ++local;
    }

    // A folder's descriptor and a file's: the inherited defaults, or now and then a local user's.
    const Bytes* FolderSd() { return r_.Percent(localRate * 100) ? &sds_.userFolder[r_.Below((uint32_t)sds_.userFolder.size())] : &sds_.folder; }
    const Bytes& FileSd() { return r_.Percent(localRate * 100) ? sds_.userFile[r_.Below((uint32_t)sds_.userFile.size())] : sds_.file; }

    std::string FileName(size_t index) {
        std::string name = kWords[r_.Below(sizeof kWords / sizeof *kWords)];
        if (r_.Below(2)) name += std::string(" ") + kWords[r_.Below(sizeof kWords / sizeof *kWords)];
        return name + " " + std::to_string(index) + kExtensions[r_.Below(sizeof kExtensions / sizeof *kExtensions)];
    }

    // budget files below relative (depth names below the root), shared out unevenly among a
    // few subfolders, as the hive generator shares keys: most folders small, some large.
    void Fill(const std::string& relative, size_t budget, int depth) {
        if (!budget || !ok) return;
        size_t here = depth >= kMaxDepth - 1 || budget <= 6 ? budget : std::min(budget, (size_t)r_.Below(24));
        for (size_t i = 0; i < here; ++i) File(relative + "/" + FileName(i), FileSd(), i);
        size_t rest = budget - here;
        if (!rest) return;
        size_t fanout = 1 + r_.Below((uint32_t)std::min<size_t>(rest, 8));
        std::vector<double> weights(fanout);
        double total = 0;
        for (double& w : weights) {
            double x = (r_.Below(1000) + 1) / 1000.0;
            w = x * x * x;
            total += w;
        }
        size_t given = 0;
        for (size_t i = 0; i < fanout; ++i) {
            size_t share = i + 1 == fanout ? rest - given : (size_t)((double)rest * weights[i] / total);
            share = std::min(share, rest - given);
            given += share;
            std::string child = relative + "/" + kFolders[r_.Below(sizeof kFolders / sizeof *kFolders)] + " " + std::to_string(i);
            Folder(child, FolderSd());
            Fill(child, share, depth + 1);
        }
    }

    // One folder of count files (a scanner's drop folder, a mail archive).
    void BigFolder(const std::string& relative, size_t count, const char* stem, const char* extension) {
        Folder(relative, &sds_.folder);
        char name[64];
        for (size_t i = 0; i < count && ok; ++i) {
            snprintf(name, sizeof name, "%s%06zu%s", stem, i, extension);
            File(relative + "/" + name, FileSd(), i);
        }
    }

    // A chain of folders down to kMaxDepth whose last file's path is kLongestPath characters
    // long, as deep project folders with long descriptive names grow.
    void LongChain(const std::string& relative) {
        std::string path = relative;
        int depth = (int)std::count(relative.begin(), relative.end(), '/') + 1;
        const std::string piece = "Customer Correspondence and Signed Agreements";
        for (; depth < kMaxDepth - 1; ++depth) {
            std::string name = piece.substr(0, 14 + (size_t)depth);
            while (name.back() == ' ') name.pop_back();  // Windows drops a name's trailing spaces
            path += "/" + name;
            Folder(path, &sds_.folder);
        }
        // drive_ + "\" + path + "\" + name
        size_t used = drive_.size() + 1 + path.size() + 1;
        std::string name = "Agreement with long description of the matters settled";
        while (name.size() + 4 + used < kLongestPath) name += " and further matters";
        name = name.substr(0, kLongestPath - used - 4) + ".doc";
        File(path + "/" + name, sds_.file, 0);
    }

    const std::string& root() const { return root_; }

private:
    std::string root_, drive_;
    const Descriptors& sds_;
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
    HiveKey* key = hive.root.get();
    for (size_t i = 0; i <= under.size();) {
        size_t next = under.find('\\', i);
        if (next == std::string::npos) next = under.size();
        std::string name = under.substr(i, next - i);
        if (!name.empty()) {
            HiveKey* child = key->FindSubkey(name);
            if (!child) {
                child = key->AddSubkey(name);
                child->security = key->security;
                child->lastWrite = FileTimeNow();
            }
            key = child;
        }
        i = next + 1;
    }
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
    shape::Random r(7);
    std::string eRoot = dir + "/drives/e";
    if (!MakeHostDirs(eRoot)) {
        *error = "cannot create drive E";
        return ERROR_CANNOT_MAKE;
    }
    TreeWriter c(dir + "/drives/c", "C:", sds, &r), e(eRoot, "E:", sds, &r);
    // What the profiles and home folders give local accounts already counts towards the
    // tenth of the entries that name one; the rest of the tree makes up the difference.
    size_t forced = server.profiles * 7, entries = server.files + server.files / 10;
    double rate = entries * 0.10 > (double)forced ? (entries * 0.10 - (double)forced) / (double)entries : 0;
    c.localRate = e.localRate = rate;

    size_t systemFiles = std::min<size_t>(server.files / 50, 2500), bigFolder = server.files / 10;
    size_t profileFiles = server.profiles * 2, homeFiles = server.profiles;
    size_t rest = server.files > systemFiles + 2 * bigFolder + profileFiles + homeFiles + 1
                      ? server.files - systemFiles - 2 * bigFolder - profileFiles - homeFiles - 1
                      : 0;
    size_t programFiles = rest / 5;

    for (size_t i = 0; i < systemFiles; ++i) {
        char name[32];
        snprintf(name, sizeof name, "WINNT/system32/sys%05zu.dll", i);
        c.File(name, sds.file, i);
    }
    c.Folder("Program Files", &sds.shareRoot);
    c.Fill("Program Files", programFiles, 1);
    for (size_t i = 0; i < server.profiles; ++i) {
        std::string profile = "WINNT/Profiles/" + ServerUserName(i);
        const Bytes& folder = sds.userFolder[i];
        c.Folder(profile, &folder);
        for (const char* sub : {"Desktop", "My Documents", "Application Data", "Application Data/Microsoft", "Start Menu"})
            c.Folder(profile + "/" + sub, &folder);
        c.File(profile + "/My Documents/notes.txt", sds.userFile[i], 0);
        c.File(profile + "/Desktop/shortcut.lnk", sds.userFile[i], 1);
    }

    e.Folder("Shares", &sds.shareRoot);
    e.Folder("Home", &sds.shareRoot);
    for (size_t i = 0; i < server.profiles; ++i) {
        std::string home = "Home/" + ServerUserName(i);
        e.Folder(home, &sds.userFolder[i]);
        e.File(home + "/todo.txt", sds.userFile[i], 0);
    }
    e.Folder("Shares/Scans", &sds.folder);
    e.BigFolder("Shares/Scans/Incoming", bigFolder, "scan", ".tif");
    e.Folder("Shares/Mail", &sds.folder);
    e.BigFolder("Shares/Mail/Archive 2003", bigFolder, "msg", ".msg");
    e.Folder("Shares/Engineering", &sds.folder);
    e.LongChain("Shares/Engineering");
    e.Folder("Shares/Departments", &sds.folder);
    e.Fill("Shares/Departments", rest - programFiles, 2);

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
