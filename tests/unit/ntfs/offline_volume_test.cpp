// The offline job on a real NTFS volume: an image made with mkntfs, laid out as a
// Windows XP system volume (e2e/xp_volume.h) with thousands of documents whose descriptors
// name the machine's accounts, mounted with ntfs-3g and converted by scripts/offline. The
// rehearsal on a read-only mount leaves the image file byte for byte as it was; the job in
// place leaves nothing of itself but its log, hives hivex opens with the same keys, the
// SAM's own membership records, a volume ntfssecaudit finds clean and descriptors that a
// second mount shows rewritten.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "e2e/e2e_machine.h"
#include "e2e/volume_state.h"
#include "e2e/xp_volume.h"

namespace {

namespace fs = std::filesystem;

const int kDocuments = 2500;  // a few thousand, and the test stays under a minute on a busy machine

class OfflineVolume : public ::testing::Test {
protected:
    std::string base_, image_, mount_;
    bool mounted_ = false;

    int Sh(const std::string& command, std::string* out = nullptr) {
        std::string file = base_ + "/sh.out";
        std::string env = std::string("NTSIM='") + TESSIV_BINARY_DIR + "/tools/ntsim/ntsim' TESSIV_PROGRAM='" + TESSIV_BINARY_DIR +
                          "/tessiv' ";
        int status = system((env + command + " >'" + file + "' 2>&1").c_str());
        if (out) {
            std::ifstream in(file);
            std::stringstream s;
            s << in.rdbuf();
            *out = s.str();
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void SetUp() override {
        int fd = open("/dev/fuse", O_RDWR);
        if (fd < 0) GTEST_SKIP() << "no usable /dev/fuse: real NTFS volumes cannot be mounted here";
        close(fd);
        char tmpl[] = "/tmp/tessiv-offline-ntfs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        if (Sh("command -v mkntfs && command -v ntfs-3g && command -v ntfssecaudit && command -v hivexml") != 0)
            GTEST_SKIP() << "mkntfs, ntfs-3g, ntfssecaudit or hivexml is not installed";
        image_ = base_ + "/xp.img";
        mount_ = base_ + "/c";
        fs::create_directories(mount_);
        std::string out;
        ASSERT_EQ(Sh("truncate -s 160M '" + image_ + "' && mkntfs -F -Q -f -L SYSTEM '" + image_ + "'", &out), 0) << out;
        Mount("");
        if (!mounted_) GTEST_SKIP() << "ntfs-3g could not mount the volume";
    }
    void Mount(const std::string& options) {
        std::string out;
        mounted_ = Sh("ntfs-3g " + options + " '" + image_ + "' '" + mount_ + "'", &out) == 0;
        EXPECT_TRUE(mounted_) << out;
    }
    void Unmount() {
        if (!mounted_) return;
        // A mount still busy is detached lazily rather than left behind.
        if (Sh("fusermount -u '" + mount_ + "'") != 0 && Sh("umount '" + mount_ + "'") != 0) {
            ADD_FAILURE() << "the volume was still in use at its unmount";
            Sh("fusermount -uz '" + mount_ + "'");
        }
        mounted_ = false;
    }
    void TearDown() override {
        Unmount();
        if (!HasFailure() && !base_.empty()) fs::remove_all(base_);
    }
    std::string Sum() {
        std::string out;
        Sh("sha256sum '" + image_ + "'", &out);
        return out.substr(0, 64);
    }
    std::vector<uint8_t> Acl(const std::string& rel) {
        std::vector<uint8_t> sd(65536);
        ssize_t n = getxattr((mount_ + rel).c_str(), "system.ntfs_acl", sd.data(), sd.size());
        sd.resize(n > 0 ? (size_t)n : 0);
        return sd;
    }
};

bool Holds(const std::vector<uint8_t>& data, const ntsim::SidBytes& sid) {
    return std::search(data.begin(), data.end(), sid.begin(), sid.end()) != data.end();
}

TEST_F(OfflineVolume, RehearsalThenJobInPlace) {
    std::string error, out;
    ASSERT_TRUE(e2e::MakeXpVolume(mount_, base_, kDocuments, true, &error)) << error;
    Unmount();

    // The rehearsal on a read-only mount: the image file does not change by a byte.
    std::string sum0 = Sum();
    Mount("-o ro");
    ASSERT_TRUE(mounted_);
    ASSERT_EQ(Sh("TESSIV_OFFLINE_WORK='" + base_ + "/rehearsal' '" + TESSIV_SOURCE_DIR + "/scripts/offline' '" + mount_ +
                     "' --rehearse -name:M57-NEW",
                 &out),
              0)
        << out;
    EXPECT_NE(out.find("files whose descriptor would change"), std::string::npos) << out;
    fs::remove_all(base_ + "/rehearsal");
    Unmount();
    EXPECT_EQ(Sum(), sum0) << "the rehearsal changed the image";

    // The job in place.
    Mount("");
    ASSERT_TRUE(mounted_);
    e2e::VolumeState before = e2e::TakeVolume(mount_, true);
    const std::string doc = "/Documents and Settings/Pat/My Documents/Folder07/file00021.txt";
    ntsim::SidBytes oldMachine, pat;
    ntsim::SidFromText(e2e::kXpSid, &oldMachine);
    pat = ntsim::SidAppend(oldMachine, e2e::kPatRid);
    ASSERT_TRUE(Holds(Acl(doc), pat));
    std::string work = base_ + "/work";
    ASSERT_EQ(Sh("TESSIV_OFFLINE_WORK='" + work + "' '" + TESSIV_SOURCE_DIR + "/scripts/offline' '" + mount_ + "' -name:M57-NEW", &out),
              0)
        << out;
    std::string dir = work + "/machine";
    ntsim::CensusResult census = e2e::Count(dir, e2e::kXpSid);
    EXPECT_GT(census.filesRead, kDocuments);
    EXPECT_EQ(census.total, census.Count(ntsim::CensusPlace::PlainFiles)) << e2e::ListHits(census);
    for (const ntsim::CensusHit& h : census.hits) EXPECT_EQ(h.file, "C:\\tessiv.log") << e2e::ListHits(census);

    e2e::VolumeState after = e2e::TakeVolume(mount_, true);
    EXPECT_EQ(after.keyCounts, before.keyCounts);
    std::vector<std::string> added;
    std::set_difference(after.paths.begin(), after.paths.end(), before.paths.begin(), before.paths.end(), std::back_inserter(added));
    EXPECT_EQ(added, std::vector<std::string>{"/tessiv.log"});
    for (const auto& [hive, count] : after.keyCounts)
        EXPECT_EQ(Sh("hivexml '" + mount_ + hive + "' >/dev/null"), 0) << "hivexml " << hive;

    // Administrator in Administrators by the SAM's own records: the alias's member list and
    // the membership index below the new machine SID.
    ASSERT_EQ(Sh(std::string("'") + TESSIV_BINARY_DIR + "/tools/ntsim/ntsim' sid '" + dir + "'", &out), 0);
    std::string newSid = out.substr(0, out.find('\n'));
    ASSERT_NE(newSid, e2e::kXpSid);
    ntsim::SidBytes newMachine;
    ASSERT_TRUE(ntsim::SidFromText(newSid, &newMachine));
    ntsim::Hive sam;
    ASSERT_EQ(ntsim::RegfLoadFile(mount_ + "/WINDOWS/system32/config/SAM", &sam), 0u);
    const ntsim::HiveKey* aliases = sam.root->FindSubkey("SAM")->FindSubkey("Domains")->FindSubkey("Builtin")->FindSubkey("Aliases");
    const ntsim::HiveKey* admins = aliases->FindSubkey("00000220");
    ASSERT_NE(admins, nullptr);
    EXPECT_TRUE(Holds(admins->FindValue("C")->data, ntsim::SidAppend(newMachine, 500)));
    EXPECT_FALSE(Holds(admins->FindValue("C")->data, ntsim::SidAppend(oldMachine, 500)));
    const ntsim::HiveKey* members = aliases->FindSubkey("Members");
    const ntsim::HiveKey* mine = members ? members->FindSubkey(newSid) : nullptr;
    const ntsim::HiveKey* admin = mine ? mine->FindSubkey("000001F4") : nullptr;
    ASSERT_NE(admin, nullptr) << "Members\\" << newSid << "\\000001F4";
    const std::vector<uint8_t>& rids = admin->FindValue("")->data;
    EXPECT_TRUE(Holds(rids, {0x20, 0x02, 0, 0})) << "Administrator's aliases name Administrators";
    EXPECT_TRUE(e2e::AdministratorInAdministrators(dir));

    // The volume is consistent, and a second mount shows the new descriptors.
    std::vector<uint8_t> written = Acl(doc);
    EXPECT_TRUE(Holds(written, ntsim::SidAppend(newMachine, e2e::kPatRid)));
    Unmount();
    ASSERT_EQ(Sh("ntfssecaudit -a '" + image_ + "'", &out), 0) << out;
    EXPECT_NE(out.find("No errors were found"), std::string::npos) << out;
    Mount("-o ro");
    ASSERT_TRUE(mounted_);
    std::vector<uint8_t> again = Acl(doc);
    EXPECT_EQ(again, written);
    EXPECT_FALSE(Holds(again, pat));
    EXPECT_TRUE(Holds(again, ntsim::SidAppend(newMachine, e2e::kPatRid)));
}

}  // namespace

namespace {

// A job in place that fails in its file walk (one of Pat's folders refuses its new
// descriptor) puts the NTFS volume back: every hive key by key, every descriptor byte for
// byte as ntfs-3g shows it, and nothing of the job left but its log.
TEST_F(OfflineVolume, AFailedJobInPlacePutsTheVolumeBack) {
    std::string error, out;
    ASSERT_TRUE(e2e::MakeXpVolume(mount_, base_, 600, true, &error)) << error;
    e2e::VolumeState before = e2e::TakeVolume(mount_, true);
    std::string ntsim = std::string("'") + TESSIV_BINARY_DIR + "/tools/ntsim/ntsim' ";
    std::string dir = base_ + "/machine";
    ASSERT_EQ(Sh(ntsim + "create '" + dir + "' --from-image '" + mount_ + "'", &out), 0) << out;
    ASSERT_EQ(Sh(ntsim + "install '" + dir + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'", &out), 0) << out;
    ASSERT_EQ(Sh(ntsim + "run '" + dir + "' -- 'C:\\TESSIV\\tessiv.exe' -autoinstall -quiet -name:M57-NEW '-log:C:\\tessiv.log'", &out), 1)
        << out;
    std::ofstream(dir + "/machine.conf", std::ios::app)
        << "\n[fault]\nfunction = SetNamedSecurityInfoA\npath = C:\\Documents and Settings\\Pat\\My Documents\\Folder09\\*\nerror = 5\n";
    ASSERT_EQ(Sh(ntsim + "boot '" + dir + "'", &out), 0) << out;
    ASSERT_EQ(Sh(ntsim + "boot '" + dir + "'", &out), 0) << out;
    std::stringstream log;
    {
        std::ifstream in(mount_ + "/tessiv.log");
        log << in.rdbuf();
    }
    EXPECT_NE(log.str().find("Restoring"), std::string::npos) << log.str();
    // What the install put in the volume, the log and the hives NT keeps after a replacement.
    fs::remove_all(mount_ + "/TESSIV");
    fs::remove(mount_ + "/tessiv.log");
    for (const auto& e : fs::directory_iterator(mount_ + "/WINDOWS/system32/config"))
        if (e.path().extension() == ".BAK") fs::remove(e.path());
    e2e::ExpectSameVolume(before, e2e::TakeVolume(mount_, true));
    Unmount();
    ASSERT_EQ(Sh("ntfssecaudit -a '" + image_ + "'", &out), 0) << out;
}

}  // namespace
