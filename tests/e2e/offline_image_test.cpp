// The offline job on a Windows XP system volume given as a folder (a plain copy of its
// tree): `ntsim create --from-image` reads the volume without writing to it, names what is
// missing and refuses dirty hives; scripts/offline converts it in place or rehearses on a
// copy; a failure or a cut in the job leaves the volume as it was or converted.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "e2e/e2e_machine.h"
#include "e2e/volume_state.h"
#include "e2e/xp_volume.h"
#include "ntsim/machine/machine_image.h"

namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class OfflineImage : public ::testing::Test {
protected:
    std::string base_, volume_;

    void SetUp() override {
        char tmpl[] = "/tmp/tessiv-offline-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        volume_ = base_ + "/volume";
        fs::create_directories(volume_);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(base_);
    }
    void MakeVolume(int files) {
        std::string error;
        ASSERT_TRUE(e2e::MakeXpVolume(volume_, base_, files, false, &error)) << error;
    }
    // A command's exit status; its output (both streams) in *out.
    int Sh(const std::string& command, std::string* out = nullptr) {
        std::string file = base_ + "/out.txt";
        std::string env = std::string("NTSIM='") + TESSIV_BINARY_DIR + "/tools/ntsim/ntsim' TESSIV_PROGRAM='" + TESSIV_BINARY_DIR +
                          "/tessiv' ";
        int status = system((env + command + " >'" + file + "' 2>&1").c_str());
        if (out) *out = ReadText(file);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Ntsim(const std::string& args) { return std::string("'") + TESSIV_BINARY_DIR + "/tools/ntsim/ntsim' " + args; }
    std::string Offline(const std::string& args) {
        return "TESSIV_OFFLINE_WORK='" + base_ + "/work' '" + TESSIV_SOURCE_DIR + "/scripts/offline' '" + volume_ + "' " + args;
    }
};

TEST_F(OfflineImage, CreateReadsTheVolumeItselfAndWritesNothingThere) {
    MakeVolume(30);
    if (HasFatalFailure()) return;
    std::ofstream(volume_ + "/pagefile.sys") << std::string(100000, 'p');
    e2e::VolumeState before = e2e::TakeVolume(volume_, false);
    std::string out;
    ASSERT_EQ(Sh(Ntsim("create '" + base_ + "/m' --from-image '" + volume_ + "'"), &out), 0) << out;
    ntsim::Conf conf;
    std::string error;
    ASSERT_TRUE(ntsim::ConfLoad(base_ + "/m/machine.conf", &conf, &error)) << error;
    const ntsim::ConfSection* m = conf.Find("machine");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->Get("name"), "M57-PAT");          // the real SYSTEM's computer name
    EXPECT_EQ(m->Get("systemroot"), "C:\\WINDOWS");
    EXPECT_EQ(m->Get("version"), "5.1.2600");
    EXPECT_EQ(m->Get("role"), "standalone");
    EXPECT_EQ(m->Get("memory"), std::to_string(512ULL << 20));  // "C:\pagefile.sys 768 1536": 1.5 times 512 MB
    EXPECT_EQ(conf.Find("session")->Get("temp"), "C:\\WINDOWS\\Temp");
    ASSERT_NE(conf.Find("drive", "C"), nullptr);
    EXPECT_EQ(conf.Find("drive", "C")->Get("path"), volume_);
    // The other letters of MountedDevices: a floppy, a CD-ROM and a removable disk, not in the image.
    ASSERT_NE(conf.Find("drive", "D"), nullptr);
    EXPECT_EQ(conf.Find("drive", "D")->Get("type"), "cdrom");
    EXPECT_EQ(conf.Find("drive", "D")->Get("ready"), "no");
    ASSERT_NE(conf.Find("drive", "A"), nullptr);
    EXPECT_EQ(conf.Find("drive", "A")->Get("type"), "removable");
    // The machine reads its SID and accounts from the volume.
    ASSERT_EQ(Sh(Ntsim("sid '" + base_ + "/m'"), &out), 0) << out;
    EXPECT_EQ(out, std::string(e2e::kXpSid) + "\n");
    ntsim::ImageFacts facts;
    ASSERT_TRUE(ntsim::ReadImageFacts(volume_, &facts, &error)) << error;
    bool patFound = false;
    for (const auto& p : facts.profiles)
        if (p.sid == std::string(e2e::kXpSid) + "-1003") patFound = !p.hive.empty();
    EXPECT_TRUE(patFound) << "Pat's profile hive below Documents and Settings";

    // A copy for a rehearsal: its own tree, the descriptors kept.
    ASSERT_EQ(Sh(Ntsim("create '" + base_ + "/copy' --from-image '" + volume_ + "' --copy"), &out), 0) << out;
    e2e::VolumeState copy = e2e::TakeVolume(base_ + "/copy/drives/c", false);
    EXPECT_EQ(copy.descriptors, before.descriptors);
    EXPECT_EQ(copy.hives, before.hives);
    EXPECT_EQ(copy.paths, before.paths);
    EXPECT_EQ(fs::file_size(base_ + "/copy/drives/c/pagefile.sys"), 0u) << "the paging file is copied without its content";
    EXPECT_EQ(ReadText(base_ + "/copy/drives/c/WINDOWS/system32/config/SAM"), ReadText(volume_ + "/WINDOWS/system32/config/SAM"));
    // The machine directory may not lie inside the volume.
    EXPECT_NE(Sh(Ntsim("create '" + volume_ + "/machine' --from-image '" + volume_ + "'"), &out), 0);
    EXPECT_NE(out.find("inside the image"), std::string::npos) << out;
    e2e::ExpectSameVolume(before, e2e::TakeVolume(volume_, false));
}

TEST_F(OfflineImage, MissingPiecesAreNamedAndDirtyHivesRefused) {
    MakeVolume(3);
    if (HasFatalFailure()) return;
    std::string config = volume_ + "/WINDOWS/system32/config/";
    fs::rename(config + "SECURITY", base_ + "/SECURITY");
    fs::rename(config + "default", base_ + "/default");
    std::string out;
    EXPECT_EQ(Sh(Ntsim("create '" + base_ + "/m' --from-image '" + volume_ + "'"), &out), 1) << out;
    EXPECT_NE(out.find("WINDOWS\\system32\\config\\SECURITY"), std::string::npos) << out;
    EXPECT_NE(out.find("WINDOWS\\system32\\config\\DEFAULT"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(base_ + "/m/machine.conf"));
    fs::rename(base_ + "/SECURITY", config + "SECURITY");
    fs::rename(base_ + "/default", config + "default");

    // A SYSTEM hive whose last write was cut: its two sequence numbers differ.
    e2e::VolumeState before = e2e::TakeVolume(volume_, false);
    {
        std::fstream f(config + "system", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4);
        uint32_t sequence = 0x7FFFFFF0;
        f.write(reinterpret_cast<const char*>(&sequence), 4);
    }
    std::string sum0;
    Sh("sha256sum '" + config + "system'", &sum0);
    EXPECT_EQ(Sh(Offline("-name:NEWNAME"), &out), 3) << out;
    EXPECT_NE(out.find("dirty"), std::string::npos) << out;
    EXPECT_NE(out.find("system"), std::string::npos) << out;
    std::string sum1;
    Sh("sha256sum '" + config + "system'", &sum1);
    EXPECT_EQ(sum0, sum1);
    EXPECT_FALSE(fs::exists(volume_ + "/TESSIV"));

    // An earlier job's log is neither deleted nor mixed with this job's: the volume is refused.
    {
        std::ofstream(volume_ + "/TESSIV.LOG") << "an earlier job\n";
    }
    before = e2e::TakeVolume(volume_, false);
    EXPECT_EQ(Sh(Offline("-name:NEWNAME"), &out), 3) << out;
    EXPECT_NE(out.find("already holds C:\\tessiv.log"), std::string::npos) << out;
    e2e::ExpectSameVolume(before, e2e::TakeVolume(volume_, false));
    EXPECT_EQ(ReadText(volume_ + "/TESSIV.LOG"), "an earlier job\n");
}

// The job in place: the volume converted, nothing of the job left in it but its log, the
// hives still whole (hivex opens them, the same keys) and the SAM's membership intact.
TEST_F(OfflineImage, JobInPlaceLeavesOnlyItsLog) {
    MakeVolume(300);
    if (HasFatalFailure()) return;
    e2e::VolumeState before = e2e::TakeVolume(volume_, false);
    std::string out;
    ASSERT_EQ(Sh(Offline("-name:M57-NEW"), &out), 0) << out;
    std::string dir = base_ + "/work/machine";
    ntsim::CensusResult census = e2e::Count(dir, e2e::kXpSid);
    EXPECT_EQ(census.total, census.Count(ntsim::CensusPlace::PlainFiles)) << e2e::ListHits(census);
    for (const ntsim::CensusHit& h : census.hits) EXPECT_EQ(h.file, "C:\\tessiv.log") << e2e::ListHits(census);
    e2e::VolumeState after = e2e::TakeVolume(volume_, false);
    EXPECT_EQ(after.keyCounts, before.keyCounts);
    after.descriptors.erase("/tessiv.log");
    EXPECT_EQ(after.descriptors.size(), before.descriptors.size());
    std::vector<std::string> added;
    std::set_difference(after.paths.begin(), after.paths.end(), before.paths.begin(), before.paths.end(), std::back_inserter(added));
    EXPECT_EQ(added, std::vector<std::string>{"/tessiv.log"});
    for (const auto& [hive, count] : after.keyCounts) {
        std::string cmd = "hivexml '" + volume_ + hive + "' >/dev/null 2>&1";
        EXPECT_EQ(system(cmd.c_str()), 0) << "hivexml " << hive;
    }
    EXPECT_TRUE(e2e::AdministratorInAdministrators(dir));
    EXPECT_NE(out.find("new name: M57-NEW"), std::string::npos) << out;
    EXPECT_NE(out.find("old name: M57-PAT"), std::string::npos) << out;
}

TEST_F(OfflineImage, RehearsalLeavesTheVolumeAsItWas) {
    MakeVolume(60);
    if (HasFatalFailure()) return;
    e2e::VolumeState before = e2e::TakeVolume(volume_, false);
    std::string sums0, sums1, out;
    Sh("cd '" + volume_ + "' && find . -type f -exec sha256sum {} + | sort", &sums0);
    ASSERT_EQ(Sh(Offline("--rehearse -name:M57-NEW"), &out), 0) << out;
    Sh("cd '" + volume_ + "' && find . -type f -exec sha256sum {} + | sort", &sums1);
    EXPECT_EQ(sums0, sums1);
    e2e::ExpectSameVolume(before, e2e::TakeVolume(volume_, false));
    EXPECT_NE(out.find("what the job would change"), std::string::npos) << out;
    EXPECT_NE(out.find("C:\\Documents and Settings\\Pat\\My Documents\\Folder00\\file00000.txt"), std::string::npos) << out;
    EXPECT_NE(out.find("machine hives: C:\\WINDOWS\\system32\\config\\SAM: key name"), std::string::npos) << out;
}

// The steps of the offline script by hand, so that a fault rule can be put in machine.conf.
class OfflineFaults : public OfflineImage {
protected:
    std::string dir_;
    std::string commands_;  // what ntsim said while the job ran
    // The volume as it was before the install put the program in it.
    static e2e::VolumeState WithoutProgram(e2e::VolumeState s) {
        std::erase_if(s.paths, [](const std::string& p) { return p.rfind("/TESSIV", 0) == 0; });
        std::erase_if(s.descriptors, [](const auto& d) { return d.first.rfind("/TESSIV", 0) == 0; });
        return s;
    }
    void Prepare() {
        MakeVolume(60);
        if (HasFatalFailure()) return;
        dir_ = base_ + "/m";
        std::string out;
        ASSERT_EQ(Sh(Ntsim("create '" + dir_ + "' --from-image '" + volume_ + "'"), &out), 0) << out;
        ASSERT_EQ(Sh(Ntsim("install '" + dir_ + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'"), &out), 0) << out;
    }
    bool Pending() {
        std::string out;
        Sh(Ntsim("reg '" + dir_ + "' export 'HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tessiv'"), &out);
        bool service = out.find("Tessiv]") != std::string::npos;
        Sh(Ntsim("reg '" + dir_ + "' export 'HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvel\\Tessiv'"), &out);
        return service || out.find("Tessiv]") != std::string::npos;
    }
    // Runs the install, then boots until nothing of the job is pending; the fault is in
    // force for boot number faultBoot (-1: the install).
    void RunWith(const std::string& fault, int faultBoot) {
        const std::string conf = ReadText(dir_ + "/machine.conf");
        auto arm = [&](bool on) { std::ofstream(dir_ + "/machine.conf", std::ios::trunc) << conf << (on ? fault : ""); };
        std::string out;
        commands_.clear();
        arm(faultBoot == -1);
        Sh(Ntsim("run '" + dir_ + "' -- 'C:\\TESSIV\\tessiv.exe' -autoinstall -quiet -name:M57-NEW '-log:C:\\tessiv.log'"), &out);
        commands_ += out;
        for (int boot = 0; boot < 6; ++boot) {
            arm(boot == faultBoot);
            Sh(Ntsim("boot '" + dir_ + "'"), &out);
            commands_ += out;
            arm(false);
            if (boot >= faultBoot && !Pending()) return;
        }
        ADD_FAILURE() << "still not settled after six boots\n" << ReadText(volume_ + "/tessiv.log");
    }
};

TEST_F(OfflineFaults, AFailedJobLeavesTheVolumeAsItWas) {
    Prepare();
    if (HasFatalFailure()) return;
    e2e::VolumeState before = WithoutProgram(e2e::TakeVolume(volume_, false));
    // Stage 8 cannot rewrite one of Pat's documents: the job restores everything.
    RunWith("\n[fault]\nfunction = SetNamedSecurityInfoA\npath = C:\\Documents and Settings\\Pat\\My Documents\\Folder05\\*\n"
            "error = 5\n",
            0);
    std::string log = ReadText(volume_ + "/tessiv.log");
    EXPECT_NE(log.find("Restoring"), std::string::npos) << log;
    fs::remove(volume_ + "/tessiv.log");
    // The program the install put in the volume is all that differs.
    fs::remove_all(volume_ + "/TESSIV");
    for (const auto& e : fs::directory_iterator(volume_ + "/WINDOWS/system32/config"))
        if (e.path().extension() == ".BAK") fs::remove(e.path());
    e2e::ExpectSameVolume(before, e2e::TakeVolume(volume_, false));
}

TEST_F(OfflineFaults, CutAnywhereTheVolumeIsOriginalOrConverted) {
    struct Point {
        const char* where;
        const char* rule;
        int boot;
    };
    const Point points[] = {
        {"stage 3: the record of SIDs", "function = MoveFileExA\npath = *\\SIDS.NEW\naction = kill\n", 0},
        {"stage 8: one of Pat's documents", "function = SetNamedSecurityInfoA\npath = C:\\Documents and Settings\\Pat\\*\nnth = 7\naction = kill\n", 0},
        {"clean-up: the settings", "function = RegDeleteKeyA\npath = *\\Quorvel\\Tessiv\naction = kill\n", 1},
    };
    int n = 0, originals = 0, converted = 0;
    for (const Point& point : points) {
        SCOPED_TRACE(point.where);
        fs::remove_all(volume_);
        fs::create_directories(volume_);
        fs::remove_all(base_ + "/m");
        Prepare();
        if (HasFatalFailure()) return;
        e2e::VolumeState before = WithoutProgram(e2e::TakeVolume(volume_, false));
        RunWith(std::string("\n[fault]\n") + point.rule, point.boot);
        fs::remove_all(volume_ + "/TESSIV");
        for (const auto& e : fs::directory_iterator(volume_ + "/WINDOWS/system32/config"))
            if (e.path().extension() == ".BAK") fs::remove(e.path());
        ntsim::CensusResult census = e2e::Count(dir_, e2e::kXpSid);
        EXPECT_NE(commands_.find("exit code 137"), std::string::npos) << "the cut was never reached\n" << commands_;
        bool done = e2e::Unexpected(census, true) == 0 && census.Count(ntsim::CensusPlace::HiveBackups) == 0;
        fs::remove(volume_ + "/tessiv.log");
        e2e::VolumeState after = e2e::TakeVolume(volume_, false);
        bool original = after.hives == before.hives && after.descriptors == before.descriptors && after.paths == before.paths;
        EXPECT_TRUE(original || done) << e2e::ListHits(census);
        if (!original && !done) e2e::ExpectSameVolume(before, after);
        ++n, originals += original, converted += done && !original;
    }
    printf("offline job cut at %d points: original volume %d, converted volume %d\n", n, originals, converted);
    EXPECT_EQ(originals + converted, n);
}

}  // namespace

namespace {

// The log as scripts/offline prints it: runs of three or more identical lines folded into
// the line and a count, which unfolds to exactly the log the job wrote.
TEST_F(OfflineImage, TheLogIsPrintedWithItsRunsFolded) {
    // A large NT 4.0 machine's drive: its walk renames one value name hundreds of times in a row.
    ntsim::MachineOptions options;
    options.size = "large";
    options.files = true;
    std::string error;
    ASSERT_TRUE(ntsim::MachineCreate(base_ + "/nt4", options, &error)) << error;
    volume_ = base_ + "/nt4/drives/c";
    std::string out;
    ASSERT_EQ(Sh(Offline("-name:NT4-NEW"), &out), 0) << out;
    size_t at = out.find("== the log (C:\\tessiv.log)\n");
    size_t end = out.find("\n== time per stage");
    ASSERT_NE(at, std::string::npos) << out;
    ASSERT_NE(end, std::string::npos) << out;
    std::istringstream printed(out.substr(at, end - at));
    std::string line, previous, unfolded;
    std::getline(printed, line);  // the heading
    int folds = 0, run = 0;
    const std::string mark = "   ... the line above ";
    while (std::getline(printed, line)) {
        if (line.rfind(mark, 0) == 0) {
            int n = atoi(line.c_str() + mark.size());
            EXPECT_GE(n, 2) << line;
            EXPECT_EQ(line, mark + std::to_string(n) + " more times");
            for (int i = 0; i < n; ++i) unfolded += previous + "\n";
            ++folds;
            continue;
        }
        run = line == previous ? run + 1 : 0;
        EXPECT_LT(run, 2) << "an unfolded run of " << line;
        unfolded += line + "\n";
        previous = line;
    }
    EXPECT_GE(folds, 1);
    std::string log = ReadText(volume_ + "/tessiv.log");
    std::erase(log, '\r');
    EXPECT_EQ(unfolded, log);
}

}  // namespace

namespace {

// The role comes from the volume: the product type, the policy's primary domain, and for a
// controller the account domain's server role in the SAM (a backup's is 2, a primary's 3).
TEST_F(OfflineImage, TheRoleIsReadFromTheVolume) {
    for (const char* preset : {"nt4-workstation", "nt4-member", "nt4-pdc", "nt4-bdc", "w2k-member"}) {
        SCOPED_TRACE(preset);
        ntsim::MachineOptions options;
        options.preset = preset;
        std::string error, source = base_ + "/" + preset;
        ASSERT_TRUE(ntsim::MachineCreate(source, options, &error)) << error;
        ntsim::Conf made;
        ASSERT_TRUE(ntsim::ConfLoad(source + "/machine.conf", &made, &error)) << error;
        ntsim::ImageFacts facts;
        ASSERT_TRUE(ntsim::ReadImageFacts(source + "/drives/c", &facts, &error)) << error;
        EXPECT_EQ(facts.role, made.Find("machine")->Get("role"));
        EXPECT_EQ(facts.name, made.Find("machine")->Get("name"));
        EXPECT_EQ(facts.version + "." + facts.build, made.Find("machine")->Get("version"));
    }
}

}  // namespace
