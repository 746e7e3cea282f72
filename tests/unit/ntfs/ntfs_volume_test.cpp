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

#include "nt/win32.h"
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
        ASSERT_EQ(Shell("truncate -s 16M " + image_), 0);
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
    std::vector<AceEntry> aces(2);
    aces[0].mask = 0x1F01FF;
    aces[0].sid = user;
    aces[1].mask = 0x120089;
    aces[1].sid = SidEveryone();
    auto acl = AclBuild(aces);
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
    std::vector<AceEntry> aces(1);
    aces[0].flags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    aces[0].mask = 0x1F01FF;
    aces[0].sid = SidBuiltin(544);
    auto acl = AclBuild(aces);
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

}  // namespace
