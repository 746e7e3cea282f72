// File security on a real NTFS volume: an image made with mkntfs and mounted with
// ntfs-3g is a drive of the machine; descriptors and attributes set through the Win32
// calls are checked with getfattr and, after unmounting, with ntfssecaudit.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/xattr.h>

#include <map>

#include "core/job_settings.h"
#include "core/output.h"
#include "core/sid_text.h"
#include "nt/win32.h"
#include "replace/file_walk.h"
#include "ntsim/security/sd.h"
#include "unit/security/machine_fixture.h"

using namespace ntsim;

namespace {

// Runs a shell command; its output (stdout and stderr) in *out, the exit status returned.
int Shell(const std::string& command, std::string* out = nullptr) {
    std::string file = std::filesystem::temp_directory_path() / ("tessiv-ntfs-" + std::to_string(getpid()) + ".out");
    int status = std::system((command + " >" + file + " 2>&1").c_str());
    if (out) {
        std::ifstream in(file);
        *out = std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::filesystem::remove(file);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> FromHex(const std::string& text) {
    std::vector<uint8_t> out;
    size_t at = text.find("=0x");
    if (at == std::string::npos) return out;
    for (size_t i = at + 3; i + 1 < text.size() && isxdigit((unsigned char)text[i]) && isxdigit((unsigned char)text[i + 1]); i += 2)
        out.push_back((uint8_t)strtoul(text.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

class NtfsVolumeTest : public MachineTest {
protected:
    std::string image_, mount_;
    bool mounted_ = false;

    void SetUp() override {
        int fd = open("/dev/fuse", O_RDWR);
        if (fd < 0) GTEST_SKIP() << "no usable /dev/fuse: real NTFS volumes cannot be mounted here";
        close(fd);
        if (Shell("command -v mkntfs") != 0) GTEST_SKIP() << "mkntfs is not installed";
        if (Shell("command -v ntfs-3g") != 0) GTEST_SKIP() << "ntfs-3g is not installed";
        MachineTest::SetUp();
        std::string base = std::filesystem::path(dir_).parent_path();
        image_ = base + "/ntfs.img";
        mount_ = base + "/ntfs";
        std::filesystem::create_directories(mount_);
        std::string out;
        ASSERT_EQ(Shell("truncate -s 64M " + image_), 0);
        ASSERT_EQ(Shell("mkntfs -F -Q -f -L TESSIV " + image_, &out), 0) << out;
        if (Shell("ntfs-3g " + image_ + " " + mount_, &out) != 0) GTEST_SKIP() << "ntfs-3g could not mount the volume: " << out;
        mounted_ = true;
        std::ofstream(dir_ + "/machine.conf", std::ios::app) << "\n[drive N]\npath = " << mount_ << "\ntype = fixed\nfs = NTFS\n";
    }
    void Unmount() {
        if (!mounted_) return;
        ProcessDetach();
        if (Shell("fusermount -u " + mount_) != 0) Shell("umount " + mount_);
        mounted_ = false;
    }
    void TearDown() override {
        Unmount();
        MachineTest::TearDown();
    }
    std::vector<uint8_t> NtfsAcl(const std::string& rel) {
        std::string out;
        EXPECT_EQ(Shell("getfattr -n system.ntfs_acl -e hex '" + mount_ + "/" + rel + "'", &out), 0) << out;
        return FromHex(out);
    }
};

TEST_F(NtfsVolumeTest, DescriptorsLandInTheVolume) {
    Attach("Administrator");
    Privilege(SE_RESTORE_NAME);
    char fs[16];
    ASSERT_TRUE(GetVolumeInformationA("N:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs));
    EXPECT_STREQ(fs, "NTFS");
    ASSERT_TRUE(CreateDirectoryA("N:\\Data", nullptr));
    FILE* f = fopen("N:\\Data\\report.txt", "w");
    ASSERT_NE(f, nullptr);
    fputs("line\n", f);
    fclose(f);
    // Attributes are NTFS's own.
    ASSERT_TRUE(SetFileAttributesA("N:\\Data\\report.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    std::string out;
    ASSERT_EQ(Shell("getfattr -n system.ntfs_attrib -e hex '" + mount_ + "/Data/report.txt'", &out), 0);
    EXPECT_NE(out.find("system.ntfs_attrib=0x23000000"), std::string::npos) << out;
    EXPECT_EQ(GetFileAttributesA("N:\\Data\\report.txt"), (DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    // An owner and a DACL naming the machine's accounts, as an imaged machine's files have.
    SidBytes owner = Account(500), user = Account(1000);
    auto acl = AclBuild({Ace(0, 0, 0x1F01FF, user), Ace(0, 0, 0x120089, SidEveryone())});
    char path[] = "N:\\Data\\report.txt";
    ASSERT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, owner.data(),
                                    nullptr, (PACL)acl.data(), nullptr),
              (DWORD)ERROR_SUCCESS);
    std::vector<uint8_t> stored = NtfsAcl("Data/report.txt");
    SdView v;
    ASSERT_EQ(SdParseRelative(stored.data(), stored.size(), &v), (uint32_t)ERROR_SUCCESS) << "system.ntfs_acl holds the descriptor";
    EXPECT_EQ(SidToText(v.owner, v.ownerLen), SidToText(owner));
    std::vector<AceEntry> got;
    ASSERT_TRUE(AclParse(v.dacl, v.daclLen, &got));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].sid, user);
    EXPECT_EQ(got[0].mask, 0x1F01FFu);
    // And read back through the Win32 call, byte for byte what the volume holds.
    PSECURITY_DESCRIPTOR sd;
    PACL dacl;
    ASSERT_EQ(GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(memcmp(dacl, v.dacl, v.daclLen), 0);
    LocalFree(sd);
    // The volume stays consistent and ntfs-3g's own tool sees the owner.
    Unmount();
    ASSERT_EQ(Shell("ntfssecaudit -a " + image_, &out), 0) << out;
    EXPECT_NE(out.find("No errors were found"), std::string::npos) << out;
    Shell("ntfssecaudit -v " + image_ + " /Data/report.txt", &out);
    EXPECT_NE(out.find(SidToText(owner)), std::string::npos) << out;
}

TEST_F(NtfsVolumeTest, VolumeDescriptorsDecideAccess) {
    Attach("Administrator");
    ASSERT_TRUE(CreateDirectoryA("N:\\Private", nullptr));
    auto acl = AclBuild({Ace(0, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 0x1F01FF, SidBuiltin(544))});
    char path[] = "N:\\Private";
    ASSERT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, (PACL)acl.data(), nullptr),
              (DWORD)ERROR_SUCCESS);
    FILE* f = fopen("N:\\Private\\only.txt", "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    // The new file inherited the folder's entry, written to the volume by the creation.
    std::vector<uint8_t> stored = NtfsAcl("Private/only.txt");
    SdView v;
    ASSERT_EQ(SdParseRelative(stored.data(), stored.size(), &v), (uint32_t)ERROR_SUCCESS);
    std::vector<AceEntry> got;
    ASSERT_TRUE(AclParse(v.dacl, v.daclLen, &got));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].flags, INHERITED_ACE);
    ProcessDetach();
    Attach("User1");
    WIN32_FIND_DATAA fd;
    EXPECT_EQ(FindFirstFileA("N:\\Private\\*.*", &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileA("N:\\Private\\only.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

// Every system.ntfs_acl below the mount, read with getfattr in one pass: path -> bytes.
std::map<std::string, std::vector<uint8_t>> AllAcls(const std::string& mount) {
    std::string out;
    Shell("getfattr -R -h -n system.ntfs_acl -e hex '" + mount + "'", &out);
    std::map<std::string, std::vector<uint8_t>> acls;
    std::string file;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(at, end - at);
        if (line.rfind("# file: ", 0) == 0) file = line.substr(8);
        else if (line.rfind("system.ntfs_acl=", 0) == 0) acls[file] = FromHex(line);
        at = end + 1;
    }
    return acls;
}

bool HoldsBytes(const std::vector<uint8_t>& data, const std::vector<uint8_t>& part) {
    return std::search(data.begin(), data.end(), part.begin(), part.end()) != data.end();
}

// The file walk over a real NTFS volume of a few thousand entries: afterwards no
// descriptor names the old SID (read with getfattr, not through the program), those that
// named none are byte for byte the same, entry flags and protection are kept, ntfssecaudit
// finds the volume consistent, and a restore gives every descriptor back byte for byte.
TEST_F(NtfsVolumeTest, FileWalkRewritesEveryDescriptorAndRestoresThem) {
    const std::string newText = "S-1-5-21-7-8-9";
    std::vector<AceEntry> changed(4), clean(2);
    changed[0] = {ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, 0x1F01FF, Account(1000), {}};
    changed[1] = {ACCESS_ALLOWED_ACE_TYPE, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE, 0x120089, SidBuiltin(545), {}};
    changed[2] = {ACCESS_DENIED_ACE_TYPE, 0, 0x10000, Account(501), {}};
    changed[3] = {ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 0x1F01FF, SidBuiltin(544), {}};
    clean[0] = {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, 0x1F01FF, SidBuiltin(544), {}};
    clean[1] = {ACCESS_ALLOWED_ACE_TYPE, 0, 0x120089, SidEveryone(), {}};
    auto descriptor = [&](bool old, bool isProtected) {
        SidBytes owner = old ? Account(500) : SidBuiltin(544), group = SidLocalSystem();
        std::vector<uint8_t> acl = AclBuild(old ? changed : clean);
        uint16_t control = SE_DACL_PRESENT | (isProtected ? SE_DACL_PROTECTED : 0);
        return SdBuild(control, owner.data(), group.data(), nullptr, acl.data());
    };
    // 40 folders of 50 files: every third entry clean, every fifth protected.
    std::map<std::string, std::vector<uint8_t>> before;
    int n = 0;
    for (int d = 0; d < 40; ++d) {
        std::string folder = mount_ + "/tree/d" + std::to_string(d);
        std::filesystem::create_directories(folder);
        for (int f = 0; f <= 50; ++f, ++n) {
            std::string path = f == 50 ? folder : folder + "/f" + std::to_string(f) + ".txt";
            if (f < 50) std::ofstream(path) << "x";
            std::vector<uint8_t> sd = descriptor(n % 3 != 0, n % 5 == 0);
            ASSERT_EQ(setxattr(path.c_str(), "system.ntfs_acl", sd.data(), sd.size(), 0), 0) << path;
        }
    }
    before = AllAcls(mount_ + "/tree");
    ASSERT_GE(before.size(), 2000u);

    Attach("Administrator");
    CreateJobSettings();
    Sid oldSid, newSid;
    ASSERT_TRUE(SidFromText(kMachineSidText, &oldSid) && SidFromText(newText.c_str(), &newSid));
    jobSettings->originalSid = &oldSid;
    jobSettings->newSid = &newSid;
    FreeChangedFiles();
    FILE* log = tmpfile();
    logStream = log;
    int scanned = ScanFileSystemSecurity();
    logStream = nullptr;
    std::string logText(1 << 16, '\0');
    rewind(log);
    logText.resize(fread(&logText[0], 1, logText.size(), log));
    fclose(log);
    ASSERT_EQ(scanned, 1) << logText;
    jobSettings->originalSid = jobSettings->newSid = nullptr;

    std::vector<uint8_t> oldBytes(machineSid_.begin() + 8, machineSid_.end()), newSidBytes;
    ASSERT_TRUE(SidFromText(newText, &newSidBytes));
    std::map<std::string, std::vector<uint8_t>> after = AllAcls(mount_ + "/tree");
    ASSERT_EQ(after.size(), before.size());
    size_t rewritten = 0;
    for (const auto& [path, sd] : after) {
        const std::vector<uint8_t>& was = before[path];
        EXPECT_FALSE(HoldsBytes(sd, oldBytes)) << path;
        if (!HoldsBytes(was, oldBytes)) {
            EXPECT_EQ(sd, was) << path;
            continue;
        }
        ++rewritten;
        SdView v, w;
        ASSERT_EQ(SdParseRelative(sd.data(), sd.size(), &v), 0u) << path;
        ASSERT_EQ(SdParseRelative(was.data(), was.size(), &w), 0u);
        EXPECT_EQ(v.control & SE_DACL_PROTECTED, w.control & SE_DACL_PROTECTED) << path;
        std::vector<AceEntry> aces;
        ASSERT_TRUE(AclParse(v.dacl, v.daclLen, &aces));
        ASSERT_EQ(aces.size(), changed.size()) << path;
        for (size_t i = 0; i < aces.size(); ++i) EXPECT_EQ(aces[i].flags, changed[i].flags) << path;
        EXPECT_EQ(SidToText(aces[0].sid), newText + "-1000");
        EXPECT_EQ(SidToText(v.owner, v.ownerLen), newText + "-500");
    }
    EXPECT_GE(rewritten, 1300u);

    // The volume's own check of the rewritten security, then the restore on the volume
    // mounted again (the records of the changed files live on in this process).
    std::string out;
    Unmount();
    ASSERT_EQ(Shell("ntfssecaudit -a " + image_, &out), 0) << out;
    EXPECT_NE(out.find("No errors were found"), std::string::npos) << out;
    ASSERT_EQ(Shell("ntfs-3g " + image_ + " " + mount_, &out), 0) << out;
    mounted_ = true;
    Attach("Administrator");
    ASSERT_EQ(RestoreFileSystemSecurity(), 1);
    EXPECT_TRUE(AllAcls(mount_ + "/tree") == before) << "every descriptor as it was";
    FreeChangedFiles();
    DestroyJobSettings();
    Unmount();
    ASSERT_EQ(Shell("ntfssecaudit -a " + image_, &out), 0) << out;
    EXPECT_NE(out.find("No errors were found"), std::string::npos) << out;
}

}  // namespace
