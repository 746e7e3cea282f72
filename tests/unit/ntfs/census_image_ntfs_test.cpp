// The census of a Windows volume on a real NTFS file system: a volume made with mkntfs and
// mounted with ntfs-3g holds the XP computer's hives, and its system.ntfs_acl attributes
// the descriptors. The census reads them, finds the machine SID in the ones that name it
// and in a Vista-style recycle bin folder, and changes nothing on the volume.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "ntsim/machine/census_image.h"
#include "ntsim/security/sd.h"

namespace {

namespace fs = std::filesystem;

const char kPatSid[] = "S-1-5-21-1292428093-1645522239-1547161642";

int Shell(const std::string& command, std::string* out = nullptr) {
    std::string file = fs::temp_directory_path() / ("tessiv-census-ntfs-" + std::to_string(getpid()) + ".out");
    int status = std::system((command + " >" + file + " 2>&1").c_str());
    if (out) {
        std::ifstream in(file);
        *out = std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    fs::remove(file);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A descriptor whose owner and one allowed entry are the account, as a profile folder's is.
std::vector<uint8_t> AccountDescriptor(const std::string& account) {
    ntsim::SidBytes sid, admins = ntsim::SidBuiltin(544);
    EXPECT_TRUE(ntsim::SidFromText(account, &sid));
    ntsim::AceEntry user, system;
    user.mask = 0x1F01FF;
    user.sid = sid;
    system.mask = 0x1F01FF;
    system.sid = ntsim::SidLocalSystem();
    std::vector<uint8_t> dacl = ntsim::AclBuild({user, system});
    return ntsim::SdBuild(SE_DACL_PRESENT, sid.data(), admins.data(), nullptr, dacl.data());
}

class CensusImageNtfsTest : public ::testing::Test {
protected:
    std::string base_, image_, mount_;
    bool mounted_ = false;

    void SetUp() override {
        int fd = open("/dev/fuse", O_RDWR);
        if (fd < 0) GTEST_SKIP() << "no usable /dev/fuse: an NTFS volume cannot be mounted here";
        close(fd);
        if (Shell("command -v mkntfs") != 0) GTEST_SKIP() << "mkntfs is not installed";
        if (Shell("command -v ntfs-3g") != 0) GTEST_SKIP() << "ntfs-3g is not installed";
        char tmpl[] = "/tmp/tessiv-census-ntfs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        image_ = base_ + "/volume.img";
        mount_ = base_ + "/mnt";
        fs::create_directories(mount_);
        std::string out;
        ASSERT_EQ(Shell("truncate -s 64M " + image_), 0);
        ASSERT_EQ(Shell("mkntfs -F -Q -f -L WINXP " + image_, &out), 0) << out;
        if (Shell("ntfs-3g " + image_ + " " + mount_, &out) != 0) GTEST_SKIP() << "ntfs-3g could not mount the volume: " << out;
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_ && Shell("fusermount -u " + mount_) != 0) Shell("umount " + mount_);
        if (!base_.empty()) fs::remove_all(base_);
    }
};

TEST_F(CensusImageNtfsTest, DescriptorsOfAnNtfsVolumeAreCounted) {
    const std::string data = std::string(TESSIV_SOURCE_DIR) + "/tests/data/xp-hives/";
    const std::string config = mount_ + "/WINDOWS/system32/config/", pat = mount_ + "/Documents and Settings/Pat";
    const std::string account = std::string(kPatSid) + "-1003";
    fs::create_directories(config);
    fs::create_directories(pat);
    fs::create_directories(mount_ + "/$Recycle.Bin/" + account);
    for (const char* f : {"SAM", "SECURITY", "SYSTEM", "README.md"}) fs::copy_file(data + f, config + f);
    fs::copy_file(data + "NTUSER.DAT", pat + "/NTUSER.DAT");
    fs::copy_file(data + "README.md", pat + "/README.md");
    std::ofstream(pat + "/notes.txt") << "notes\n";
    // Pat's folder and his recycle bin belong to him; the notes keep what ntfs-3g gave them.
    std::vector<uint8_t> sd = AccountDescriptor(account);
    for (const std::string& p : {pat, mount_ + "/$Recycle.Bin/" + account})
        ASSERT_EQ(setxattr(p.c_str(), "system.ntfs_acl", sd.data(), sd.size(), 0), 0) << p << ": " << strerror(errno);

    std::map<std::string, int64_t> before;
    for (auto& e : fs::recursive_directory_iterator(mount_)) {
        struct stat st;
        lstat(e.path().c_str(), &st);
        before[e.path().string()] = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    }

    ntsim::ImageCensus c;
    std::string error;
    ASSERT_TRUE(ntsim::CensusImage(mount_, &c, &error)) << error;
    EXPECT_EQ(c.identity.machineSid, kPatSid);
    EXPECT_EQ(c.identity.computerName, "M57-PAT");
    EXPECT_TRUE(c.descriptorsFound);
    EXPECT_GE(c.descriptorsRead, 10);
    EXPECT_EQ(c.descriptorFiles, (std::vector<std::string>{"$Recycle.Bin\\" + account + "\\", "Documents and Settings\\Pat\\"}));
    EXPECT_EQ(c.descriptorOccurrences, 4);  // owner and entry, twice
    EXPECT_EQ(c.names, (std::vector<std::string>{"$Recycle.Bin\\" + account + "\\"}));
    bool sawProfile = false;
    for (const ntsim::ImageHive& h : c.hives)
        sawProfile = sawProfile || (h.file == "Documents and Settings\\Pat\\NTUSER.DAT" && h.keySecurity > 100);
    EXPECT_TRUE(sawProfile);

    std::string out;
    struct stat st;
    EXPECT_EQ(Shell(std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim census --image " + mount_, &out), 1) << out;  // no SOFTWARE
    EXPECT_NE(out.find("descriptors: "), std::string::npos) << out;
    EXPECT_NE(out.find("2 name the machine SID (4 times)"), std::string::npos) << out;

    // Many files of the account's: the table names the first twenty, the JSON every one.
    fs::create_directories(pat + "/My Documents");
    for (int i = 0; i < 25; ++i) {
        std::string f = pat + "/My Documents/file" + std::to_string(100 + i) + ".txt";
        std::ofstream(f) << i;
        ASSERT_EQ(setxattr(f.c_str(), "system.ntfs_acl", sd.data(), sd.size(), 0), 0) << f;
        lstat(f.c_str(), &st);
        before[f] = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    }
    lstat((pat + "/My Documents").c_str(), &st);
    before[pat + "/My Documents"] = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    lstat(pat.c_str(), &st);
    before[pat] = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    EXPECT_EQ(Shell(std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim census --image " + mount_, &out), 1) << out;
    EXPECT_NE(out.find("27 name the machine SID (54 times)"), std::string::npos) << out;
    EXPECT_NE(out.find("My Documents\\file117.txt\n  ... and 7 more (--json lists them all)"), std::string::npos) << out;
    EXPECT_EQ(out.find("file118.txt"), std::string::npos) << out;
    ASSERT_EQ(Shell(std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim census --image " + mount_ + " --json", &out), 1);
    EXPECT_NE(out.find("My Documents\\\\file124.txt"), std::string::npos) << out;

    for (auto& e : fs::recursive_directory_iterator(mount_)) {
        struct stat st;
        lstat(e.path().c_str(), &st);
        EXPECT_EQ(before[e.path().string()], (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec) << e.path();
    }
}

}  // namespace
