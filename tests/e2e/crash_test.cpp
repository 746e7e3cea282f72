// Jobs cut off by a power loss: the job's process ends abruptly at a chosen call (its
// registry changes not yet flushed are lost, and in the lossy mode also the file data and
// renames Windows had not made durable), the machine boots, and the service's runs that
// follow leave either the original machine or the completed job, never a mix, and never a
// second change. Standalone machines, both controllers, a member reading a synchronization
// file and the preparation tool's mode, with SIDs already in file security before the run.
// Also a power loss while the boot itself swaps the hives.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "core/job_settings.h"
#include "core/output.h"
#include "e2e/e2e_machine.h"
#include "engine/hive_copies.h"
#include "engine/stage_driver.h"
#include "identity/role_checks.h"
#include "ntsim/kernel/clock.h"
#include "ntsim/kernel/faults.h"
#include "replace/file_walk.h"

namespace {

namespace fs = std::filesystem;

const int kKilled = 137;

struct KillPoint {
    const char* where;
    ntsim::FaultRule rule;
    char expect;  // 'o' the original machine, 'd' the completed job
    ntsim::FaultRule recoveryRule = {};  // a cut in the service's run at the boot after
    ntsim::FaultRule failure = {};       // a failure before the cut: the cut comes in its restore
};

ntsim::FaultRule Kill(const char* function, const char* path, long nth, bool flushFirst = false) {
    return {function, 0, nth, path, true, flushFirst};
}

// The same cut, taking also what was not durable.
ntsim::FaultRule Lossy(ntsim::FaultRule rule) {
    if (rule.kill) rule.loseUnflushed = true;
    return rule;
}

// A machine the sweep runs on: a preset, its SID, and what the job is told.
struct MachineKind {
    const char* name;
    const char* preset;
    const char* sid;
    int useSyncFile = 0;    // reads D:\domain.sid (a backup controller or a member)
    int writeSyncFile = 0;  // writes it (a primary controller)
    const char* sysprepOldSid = nullptr;  // the preparation tool's mode: the SID before the tool
};

const char* const kDomain = "S-1-5-21-2000111222-333444555-1666777888";  // the member preset's domain
const char* const kNewDomain = "S-1-5-21-7-8-9";  // announced by the synchronization file

// A descriptor owned by Administrators whose DACL names the given SIDs.
std::vector<uint8_t> NamingSd(const std::vector<std::string>& sids) {
    std::vector<ntsim::AceEntry> aces;
    for (const std::string& text : sids) {
        ntsim::AceEntry ace;
        ace.flags = CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE;
        ace.mask = 0x1F01FF;
        ntsim::SidFromText(text, &ace.sid);
        aces.push_back(ace);
    }
    ntsim::SidBytes owner, group;
    ntsim::SidFromText("S-1-5-32-544", &owner);
    ntsim::SidFromText("S-1-5-18", &group);
    std::vector<uint8_t> dacl = ntsim::AclBuild(aces);
    return ntsim::SdBuild(SE_DACL_PRESENT, owner.data(), group.data(), nullptr, dacl.data());
}

// A file on drive C whose descriptor names sids.
void PutNamingFile(const std::string& dir, const std::string& relative, const std::vector<std::string>& sids) {
    std::string host = dir + "/drives/c/" + relative;
    std::ofstream(host) << "x";
    ASSERT_EQ(ntsim::FileWriteStored(host, ntsim::FileStore::NtsimXattr, NamingSd(sids)), 0u) << host;
}

// One process of the machine, as the service starts it; the clock is simulated so that
// every run generates the same new SID and the completed jobs compare equal.
void StartProcess(const std::string& dir) {
    std::string error;
    if (!ntsim::ProcessAttach(dir, "", true, &error)) _exit(90);
    ntsim::ClockUseSimulated(130000000000000000ULL, 5000);
    CreateJobSettings();
    ProcessMutex.Create();
    machineRole = DetectMachineRole(TRUE);
    jobSettings->useLogFile = 1;
    snprintf(jobSettings->logFileName, MAX_PATH, "D:\\LOGS\\tessiv.log");
}

void EndProcess() {
    FreeChangedFiles();
    DestroyJobSettings();
    ProcessMutex.Close();
    ntsim::ProcessDetach();
}

// The body in a child process: its exit code, kKilled when a fault cut it off.
template <class Body>
int InChild(Body body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The restore after a failure, as the service run does it but without its question about
// the service entry and without the restart, which the test makes itself.
int RestoreAfterFailure(int) {
    int hives = RestoreFileSystemSecurity() == -1 ? 0 : RestoreOriginalHives();
    if (hives == 1) {
        jobSettings->systemShutDown = 1;
        jobSettings->SaveSettings(0);
    }
    return 1;
}

// What the service does at one boot: the stored settings choose the job or its clean-up,
// and a run that asks for a restart stores the settings first as the worker does.
// 0 job done / 2 recovered (restart), 1 cleaned up, 3 error, 4 nothing stored, or kKilled.
int ServiceRun(const std::string& dir, const ntsim::FaultRule& cut, const ntsim::FaultRule& failure = {}) {
    return InChild([&] {
        StartProcess(dir);
        jobCallbacks.abortAndRestore = RestoreAfterFailure;
        HKEY stored = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv", 0, KEY_READ, &stored) != ERROR_SUCCESS) {
            EndProcess();
            return 4;
        }
        RegCloseKey(stored);
        jobSettings->LoadSettings();
        if (!failure.function.empty()) ntsim::FaultAdd(failure);
        if (!cut.function.empty()) ntsim::FaultAdd(cut);
        int result = RunJob();
        if (result == 0 || result == kJobRecovered) {
            jobSettings->systemShutDown = 1;
            jobSettings->SaveSettings(0);
        }
        ntsim::FaultClearAll();
        EndProcess();
        return result < 0 ? 3 : result;
    });
}

bool Same(const e2e::Snapshot& a, const e2e::Snapshot& b) { return a.hives == b.hives && a.descriptors == b.descriptors; }

class Crash : public e2e::MachineTest {
protected:
    std::string base_;
    e2e::Snapshot original_, done_;
    std::string originalSid_, doneSid_;
    int orphans_ = 0;  // empty work directories left by a run cut off before it stored its settings

    void TearDown() override {
        ntsim::FaultClearAll();
        e2e::MachineTest::TearDown();
    }

    // A machine with the settings the install stores, its original state, and the state
    // the job leaves when nothing cuts it off.
    void Prepare(const MachineKind& kind = {"standalone", "nt4-workstation", "S-1-5-21-1-2-3"}) {
        base_ = root_ + "/base-" + kind.name;
        Make(kind.preset, kind.sid, base_);
        if (HasFatalFailure()) return;
        // SIDs in file security before the run: the old ones the job rewrites, and the new
        // ones that were there already and must stay.
        const std::string oldDomain = kind.useSyncFile && std::string(kind.preset) == "nt4-bdc" ? kind.sid : kDomain;
        if (kind.useSyncFile) {
            std::ofstream(base_ + "/drives/d/domain.sid")
                << "Old-Domain-SID: " << oldDomain << "\nNew-Domain-SID: " << kNewDomain << "\n";
            PutNamingFile(base_, "Data/Shared/fromdomain.txt", {std::string(kNewDomain) + "-1105", oldDomain + "-1106"});
            PutNamingFile(base_, "Data/newdomain.txt", {std::string(kNewDomain) + "-1107"});
        }
        if (kind.sysprepOldSid) {
            PutNamingFile(base_, "Data/Shared/beforetool.txt", {std::string(kind.sysprepOldSid) + "-1000"});
            PutNamingFile(base_, "Data/beforetool.txt", {std::string(kind.sysprepOldSid) + "-1001", std::string(kind.sid) + "-1000"});
            PutNamingFile(base_, "Data/Shared/beforetool2.txt", {std::string(kind.sysprepOldSid) + "-1002"});
        }
        original_ = e2e::Take(base_);
        originalSid_ = e2e::MachineSidText(base_);
        ASSERT_EQ(InChild([&] {
                      StartProcess(base_);
                      jobSettings->useSyncFile = kind.useSyncFile;
                      jobSettings->writeSyncFile = kind.writeSyncFile;
                      if (kind.useSyncFile || kind.writeSyncFile) snprintf(jobSettings->dataFileName, MAX_PATH, "D:\\domain.sid");
                      int writeSidFile = 0;
                      if (kind.sysprepOldSid) {
                          jobSettings->useSysPrep = 1;
                          if (!jobSettings->originalSid) jobSettings->originalSid = NewSidBuffer();
                          SidFromText(kind.sysprepOldSid, jobSettings->originalSid);
                          writeSidFile = 1;
                      }
                      int ok = jobSettings->SaveSettings(writeSidFile);
                      EndProcess();
                      return ok ? 0 : 1;
                  }),
                  0);
        std::string reference = Copy(std::string("done-") + kind.name);
        ASSERT_EQ(ServiceRun(reference, {}), 0);
        Settle(reference, {});
        done_ = e2e::Take(reference);
        doneSid_ = e2e::MachineSidText(reference);
        if (!kind.sysprepOldSid) {
            ASSERT_NE(doneSid_, originalSid_);
        }
        ASSERT_FALSE(Same(original_, done_));
        fs::remove_all(reference);
    }

    // A copy of a machine with its files' descriptors (extended attributes).
    std::string Copy(const std::string& name, const std::string& from = "") {
        std::string dir = root_ + "/" + name;
        std::string command = "cp -a '" + (from.empty() ? base_ : from) + "' '" + dir + "'";
        EXPECT_EQ(system(command.c_str()), 0) << command;
        return dir;
    }

    // Boots and lets the service run until it has nothing left to do (at most five boots);
    // the cut, if any, is made in the first run. The first run's result.
    int Settle(const std::string& dir, const ntsim::FaultRule& cut) {
        int first = -1;
        for (int boot = 0; boot < 5; ++boot) {
            Boot(dir);
            int code = ServiceRun(dir, boot == 0 ? cut : ntsim::FaultRule());
            if (boot == 0) first = code;
            if (code == 1 || code == 4) return first;
            if (code != 0 && code != kJobRecovered && code != kKilled) {
                ADD_FAILURE() << "service run ended with " << code << "\n" << e2e::ReadHost(dir + "/drives/d/LOGS/tessiv.log");
                return first;
            }
        }
        ADD_FAILURE() << "still not settled after five boots";
        return first;
    }

    // 'o' original, 'd' done, 't' changed twice (a machine SID that is neither the one before
    // nor the one the job gives), 'x' a mix (reported against what was expected).
    char Outcome(const std::string& dir, char expect) {
        // A run cut off in stage 1 before it stored its settings leaves its work directory
        // unknown to the next run, which makes another: the empty folders stay behind.
        std::string orphan = dir + "/drives/c/TEMP/TESSIV";
        if (fs::exists(orphan)) {
            for (const auto& entry : fs::recursive_directory_iterator(orphan))
                EXPECT_TRUE(entry.is_directory()) << "left in the first work directory: " << entry.path();
            fs::remove_all(orphan);
            ++orphans_;
        }
        e2e::Snapshot now = e2e::Take(dir);
        if (Same(now, original_)) return 'o';
        if (Same(now, done_)) return 'd';
        std::string sid = e2e::MachineSidText(dir);
        if (sid != originalSid_ && sid != doneSid_) {
            ADD_FAILURE() << "the machine SID changed twice: " << sid;
            return 't';
        }
        const e2e::Snapshot& expected = expect == 'd' ? done_ : original_;
        e2e::ExpectSame(expected, now);
        for (const auto& [path, sd] : now.descriptors)
            EXPECT_TRUE(expected.descriptors.count(path)) << "a file that was not there: " << path;
        return 'x';
    }

    struct Counts {
        int points = 0, original = 0, done = 0, mixed = 0, twice = 0;
    };

    // Each kill point on a copy of the base machine: the cut run, then boots until the
    // service has nothing left to do; the outcome against the one the point expects.
    Counts Sweep(const KillPoint* points, size_t count, bool lossy, const char* kind = "standalone") {
        Counts counts;
        for (size_t i = 0; i < count; ++i) {
            const KillPoint& point = points[i];
            SCOPED_TRACE(std::string(point.where) + (lossy ? " (unflushed data lost)" : ""));
            std::string dir = Copy("k" + std::to_string(counts.points++));
            ntsim::FaultRule cut = lossy ? Lossy(point.rule) : point.rule;
            ntsim::FaultRule recoveryCut = lossy ? Lossy(point.recoveryRule) : point.recoveryRule;
            // Without a cut in the job, the cut comes in the clean-up run of the boot after it.
            EXPECT_EQ(ServiceRun(dir, cut, point.failure), point.rule.function.empty() ? 0 : kKilled)
                << "the cut was never reached";
            int first = Settle(dir, recoveryCut);
            if (!point.recoveryRule.function.empty()) {
                EXPECT_EQ(first, kKilled) << "the second cut was never reached";
            }
            char outcome = Outcome(dir, point.expect);
            ++(outcome == 'o' ? counts.original : outcome == 'd' ? counts.done : outcome == 't' ? counts.twice : counts.mixed);
            EXPECT_EQ(outcome, point.expect);
            EXPECT_FALSE(fs::exists(dir + "/drives/c/TEMP/TESSIV/SIDS"));
            // A run cut off once it had changed something is recovered, and the log says so.
            std::string log = e2e::ReadHost(dir + "/drives/d/LOGS/tessiv.log");
            if (point.expect == 'o' && log.find("\nStage 4:") != std::string::npos) {
                EXPECT_NE(log.find("\nRecovering Interrupted Run:\n"), std::string::npos) << log;
            }
            if (std::string(point.where) == "stage 8: fourth descriptor") {
                // The recovery gives back the three files the run rewrote, as the record names them.
                EXPECT_NE(log.find("\nSUCCESS: 3 security assignments restored\n"), std::string::npos) << log;
            }
            fs::remove_all(dir);
        }
        printf("%s machine%s: kill points: %d; original machine: %d, completed job: %d, mixed: %d, changed twice: %d; "
               "empty work directories left: %d\n",
               kind, lossy ? ", unflushed data lost" : "", counts.points, counts.original, counts.done, counts.mixed,
               counts.twice, orphans_);
        EXPECT_EQ(counts.mixed, 0);
        EXPECT_EQ(counts.twice, 0);
        return counts;
    }
};

TEST_F(Crash, KilledAnywhereTheMachineIsOriginalOrDone) {
    Prepare();
    const KillPoint points[] = {
        {"stage 1: work directory", Kill("CreateDirectoryA", "*\\TESSIV", 1), 'd'},
        {"stage 1: settings not yet flushed", Kill("RegFlushKey", "*\\Quorvel\\Tessiv", 1), 'd'},
        {"stage 2: SAM copy", Kill("RegSaveKeyA", "*\\ORIGINAL\\SAM", 1), 'o'},
        {"stage 2: default user copy", Kill("RegSaveKeyA", "*\\ORIGINAL\\USERS\\.DEFAULT", 1), 'o'},
        {"stage 3: SID record", Kill("MoveFileExA", "*\\SIDS.NEW", 1), 'o'},
        {"stage 4: first profile saved", Kill("RegSaveKeyA", "*\\TESSIV\\USERS\\S-*", 1), 'o'},
        {"stage 4: first profile scheduled", Kill("RegUnLoadKeyA", "", 1), 'o'},
        {"stage 4: second profile scheduled", Kill("RegReplaceKeyA", "*\\TESSIV\\USERS\\S-*", 2, true), 'o'},
        {"stage 4: profile walk, key security", Kill("RegSetKeySecurity", "HKEY_USERS\\S-*", 2, true), 'o'},
        {"stage 5: first SAM key security", Kill("RegSetKeySecurity", "HKEY_LOCAL_MACHINE\\SAM\\*", 1), 'o'},
        {"stage 5: SAM key copied, old one not yet deleted", Kill("RegDeleteKeyA", "HKEY_LOCAL_MACHINE\\SAM\\*", 1), 'o'},
        {"stage 5: SAM key's last subkey moved", Kill("RegDeleteKeyA", "HKEY_LOCAL_MACHINE\\SAM\\*", 4, true), 'o'},
        {"stage 5: SOFTWARE key copied", Kill("RegRestoreKeyA", "", 4), 'o'},
        {"stage 5: SOFTWARE key security", Kill("RegSetKeySecurity", "HKEY_LOCAL_MACHINE\\SOFTWARE\\*", 3, true), 'o'},
        // The second write to a key of the old name is the put-back of the first one widened.
        {"stage 5: SOFTWARE access widened", Kill("RegSetKeySecurity", "HKEY_LOCAL_MACHINE\\SOFTWARE\\*\\S-1-5-21-1-2-3-*", 2), 'o'},
        {"stage 5: third SOFTWARE key renamed", Kill("RegDeleteKeyA", "HKEY_LOCAL_MACHINE\\SOFTWARE\\*", 3), 'o'},
        {"stage 5: last SOFTWARE key copied", Kill("RegRestoreKeyA", "", 7, true), 'o'},
        {"stage 6: working SAM", Kill("RegSaveKeyA", "*\\TESSIV\\SAM", 1), 'o'},
        {"stage 6: working SOFTWARE", Kill("RegSaveKeyA", "*\\TESSIV\\SOFTWARE", 1, true), 'o'},
        {"stage 7: byte scan of SECURITY, view mapped", Kill("MapViewOfFile", "*\\TESSIV\\SECURITY", 1), 'o'},
        {"stage 7: byte scan of SAM, view written", Kill("FlushViewOfFile", "*\\TESSIV\\SAM", 1, true), 'o'},
        {"stage 7: byte scan of SOFTWARE, view flushed", Kill("UnmapViewOfFile", "*\\TESSIV\\SOFTWARE", 1), 'o'},
        {"stage 7: byte scan of SAM, before its file is flushed", Kill("FlushFileBuffers", "*\\TESSIV\\SAM", 1, true), 'o'},
        {"stage 8: first descriptor", Kill("SetNamedSecurityInfoA", "C:\\*", 1), 'o'},
        {"stage 8: fourth descriptor", Kill("SetNamedSecurityInfoA", "C:\\*", 4, true), 'o'},
        {"stage 8: profile folder", Kill("SetNamedSecurityInfoA", "C:\\*", 7), 'o'},
        {"stage 8: a profile's file", Kill("SetNamedSecurityInfoA", "C:\\*", 11, true), 'o'},
        {"stage 8: last descriptor", Kill("SetNamedSecurityInfoA", "C:\\*", 14), 'o'},
        {"stage 9: SECURITY scheduled", Kill("RegReplaceKeyA", "*\\TESSIV\\SOFTWARE", 1), 'o'},
        {"stage 9: three hives scheduled", Kill("RegReplaceKeyA", "*\\TESSIV\\SYSTEM", 1, true), 'o'},
        {"stage 9: record not yet discarded", Kill("DeleteFileA", "*\\TESSIV\\SIDS", 1), 'o'},
        {"after stage 9: settings", Kill("RegFlushKey", "*\\Quorvel\\Tessiv", 2), 'd'},
        {"stage 8, then the recovery's file walk", Kill("SetNamedSecurityInfoA", "C:\\*", 10), 'o',
         Kill("SetNamedSecurityInfoA", "C:\\*", 3)},
        {"stage 9, then the recovery's third hive", Kill("RegReplaceKeyA", "*\\TESSIV\\SAM", 1), 'o',
         Kill("RegReplaceKeyA", "*\\ORIGINAL\\*", 3)},
        {"stage 7, then the recovery's second profile", Kill("FlushViewOfFile", "*\\TESSIV\\SAM", 1), 'o',
         Kill("RegReplaceKeyA", "*\\ORIGINAL\\USERS\\S-*", 2, true)},
        {"stage 8 failed, its restore cut in the hives", Kill("RegReplaceKeyA", "*\\ORIGINAL\\SOFTWARE", 1), 'o', {},
         {"SetNamedSecurityInfoA", ERROR_ACCESS_DENIED, 0, "C:\\WINNT\\Profiles\\User1", false}},
        {"stage 9 failed, its restore cut in the profiles", Kill("RegReplaceKeyA", "*\\ORIGINAL\\USERS\\S-*", 2, true),
         'o', {}, {"RegReplaceKeyA", ERROR_ACCESS_DENIED, 0, "*\\TESSIV\\SYSTEM", false}},
        {"clean-up: work directory half removed", {}, 'd', Kill("DeleteFileA", "C:\\TEMP\\TESSIV\\*", 5, true)},
        {"clean-up: settings not yet removed", {}, 'd', Kill("RegDeleteKeyA", "*\\Quorvel\\Tessiv", 1)},
        {"stage 5, then the recovery's end", Kill("RegDeleteKeyA", "HKEY_LOCAL_MACHINE\\SOFTWARE\\*", 1, true), 'o',
         Kill("DeleteFileA", "*\\TESSIV\\SIDS", 1)},
    };
    Counts counts = Sweep(points, sizeof points / sizeof points[0], false);
    EXPECT_EQ(orphans_, 1);  // only the cut before the first settings were flushed
    // The same cuts, taking also what was written but not flushed.
    orphans_ = 0;
    Counts lossy = Sweep(points, sizeof points / sizeof points[0], true);
    EXPECT_EQ(orphans_, 1);
    (void)counts, (void)lossy;
}

// Both controllers, a member reading a synchronization file and the preparation tool's
// mode, each with SIDs in file security before the run that the job must leave alone (the
// new domain SID a member or backup controller already holds, the SID the preparation tool
// gave): cut anywhere, with or without what was not flushed, the machine is the original or
// the completed job.
TEST_F(Crash, EveryRoleAndThePreparationToolsModeAreOriginalOrDone) {
    const MachineKind kinds[] = {
        {"primary controller", "nt4-pdc", "S-1-5-21-1-2-3", 0, 1},
        {"backup controller", "nt4-bdc", "S-1-5-21-1-2-3", 1, 0},
        {"member", "nt4-member", "S-1-5-21-31-32-33", 1, 0},
        {"sysprep", "nt4-workstation", "S-1-5-21-1-2-3", 0, 0, "S-1-5-21-61-62-63"},
    };
    const KillPoint points[] = {
        {"stage 3: SID record", Kill("MoveFileExA", "*\\SIDS.NEW", 1), 'o'},
        {"stage 6: working SOFTWARE", Kill("RegSaveKeyA", "*\\TESSIV\\SOFTWARE", 1, true), 'o'},
        {"stage 8: first descriptor", Kill("SetNamedSecurityInfoA", "C:\\*", 1), 'o'},
        {"stage 8: third descriptor", Kill("SetNamedSecurityInfoA", "C:\\*", 3, true), 'o'},
        {"stage 9: three hives scheduled", Kill("RegReplaceKeyA", "*\\TESSIV\\SYSTEM", 1, true), 'o'},
        {"stage 9: record not yet discarded", Kill("DeleteFileA", "*\\TESSIV\\SIDS", 1), 'o'},
        {"after stage 9: settings", Kill("RegFlushKey", "*\\Quorvel\\Tessiv", 2), 'd'},
        {"stage 8, then the recovery's file security", Kill("SetNamedSecurityInfoA", "C:\\*", 3), 'o',
         Kill("SetNamedSecurityInfoA", "C:\\*", 2)},
        {"stage 9, then the recovery's third hive", Kill("RegReplaceKeyA", "*\\TESSIV\\SAM", 1), 'o',
         Kill("RegReplaceKeyA", "*\\ORIGINAL\\*", 3)},
        {"clean-up: work directory half removed", {}, 'd', Kill("DeleteFileA", "C:\\TEMP\\TESSIV\\*", 5, true)},
        {"clean-up: settings not yet removed", {}, 'd', Kill("RegDeleteKeyA", "*\\Quorvel\\Tessiv", 1)},
    };
    for (const MachineKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        Prepare(kind);
        if (HasFatalFailure()) return;
        Sweep(points, sizeof points / sizeof points[0], false, kind.name);
        Sweep(points, sizeof points / sizeof points[0], true, kind.name);
        fs::remove_all(base_);
    }
}

TEST_F(Crash, PowerLossWhileTheBootSwapsTheHives) {
    Prepare();
    // The completed job's swaps (two profiles, then four machine hives), and the swaps of the
    // original copies after a run cut off in stage 8 (five machine hives, two profiles): the
    // boot is cut before a rename, and the boot after it must finish the swap.
    std::string done = Copy("done-unbooted");
    ASSERT_EQ(ServiceRun(done, {}), 0);
    std::string restore = Copy("restore-unbooted");
    ASSERT_EQ(ServiceRun(restore, Kill("SetNamedSecurityInfoA", "C:\\*", 8)), kKilled);
    Boot(restore);
    ASSERT_EQ(ServiceRun(restore, {}), kJobRecovered);
    int cuts = 0;
    for (const std::string& from : {done, restore}) {
        char expect = from == done ? 'd' : 'o';
        for (long nth = 1;; nth += expect == 'd' ? 1 : 2) {
            SCOPED_TRACE(from + ", cut before rename " + std::to_string(nth));
            std::string dir = Copy("cut", from);
            int code = InChild([&] {
                ntsim::FaultAdd(Kill("BootHiveSwap", "", nth));
                std::string error;
                return ntsim::MachineBoot(dir, &error) == 0 ? 0 : 1;
            });
            if (code != kKilled) {
                EXPECT_EQ(code, 0);  // the boot has fewer renames than nth
                fs::remove_all(dir);
                break;
            }
            ++cuts;
            Settle(dir, {});
            EXPECT_EQ(Outcome(dir, expect), expect);
            fs::remove_all(dir);
        }
    }
    printf("boots cut while swapping hives: %d\n", cuts);
    EXPECT_GE(cuts, 19);
}

// The program itself, as the service of a primary controller: cut off in stage 8 by a power
// loss (a kill rule in machine.conf) after it wrote the synchronization file, it recovers at
// the next boot, withdraws the file (the domain keeps its SID) and restarts; the boot after
// that finds the original machine and cleans up.
TEST_F(Crash, TheServiceRecoversAfterACut) {
    auto sh = [&](const std::string& args) {
        std::string cmd = std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim " + args + " >>'" + root_ + "/commands.txt' 2>&1";
        return WEXITSTATUS(system(cmd.c_str()));
    };
    Make("nt4-pdc", "S-1-5-21-1-2-3");
    ASSERT_EQ(sh("install '" + dir_ + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'"), 0);
    const e2e::Snapshot original = e2e::Take(dir_);
    ASSERT_EQ(sh("run '" + dir_ + "' -- 'C:\\TESSIV\\tessiv.exe' -autoinstall -quiet '-log:D:\\tessiv.log' "
                 "'-data:D:\\domain.sid'"),
              1);
    const std::string conf = e2e::ReadHost(dir_ + "/machine.conf");
    std::ofstream(dir_ + "/machine.conf", std::ios::app)
        << "\n[fault]\nfunction = SetNamedSecurityInfoA\npath = C:\\Data\\Shared\\*\naction = kill\n";
    ASSERT_EQ(sh("boot '" + dir_ + "'"), 0);  // the job, cut off in stage 8
    std::string log = e2e::ReadHost(dir_ + "/drives/d/tessiv.log");
    ASSERT_NE(log.find("\nStage 8:"), std::string::npos) << log;
    ASSERT_EQ(log.find("\nStage 9:"), std::string::npos) << log;
    EXPECT_NE(e2e::ReadHost(dir_ + "/drives/d/domain.sid").find("Old-Domain-SID: S-1-5-21-1-2-3\n"), std::string::npos);
    std::ofstream(dir_ + "/machine.conf", std::ios::trunc) << conf;
    ASSERT_EQ(sh("boot '" + dir_ + "'"), 0);  // the recovery, and its restart
    log = e2e::ReadHost(dir_ + "/drives/d/tessiv.log");
    EXPECT_NE(log.find("\nRecovering Interrupted Run:\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Synchronization file 'D:\\domain.sid' removed"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(dir_ + "/drives/d/domain.sid"));
    EXPECT_NE(e2e::ReadHost(dir_ + "/eventlog.txt").find("Original Configuration Restored"), std::string::npos);
    ASSERT_EQ(sh("boot '" + dir_ + "'"), 0);  // the originals are back; the clean-up
    EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
    EXPECT_FALSE(fs::exists(C("TEMP/TESSIV")));
    e2e::ExpectSame(original, e2e::Take(dir_));
}

// A primary controller cut off in stage 3 as it writes its record of SIDs: the record comes
// before the synchronization file, so no file announces a domain SID that the domain never
// took; the next boot finds the run unfinished but unchanged and cleans up.
TEST_F(Crash, APrimaryControllerCutBeforeItsRecordLeavesNoSynchronizationFile) {
    auto sh = [&](const std::string& args) {
        std::string cmd = std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim " + args + " >>'" + root_ + "/commands.txt' 2>&1";
        return WEXITSTATUS(system(cmd.c_str()));
    };
    Make("nt4-pdc", "S-1-5-21-1-2-3");
    ASSERT_EQ(sh("install '" + dir_ + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'"), 0);
    const e2e::Snapshot original = e2e::Take(dir_);
    ASSERT_EQ(sh("run '" + dir_ + "' -- 'C:\\TESSIV\\tessiv.exe' -autoinstall -quiet '-log:D:\\tessiv.log' "
                 "'-data:D:\\domain.sid'"),
              1);
    const std::string conf = e2e::ReadHost(dir_ + "/machine.conf");
    std::ofstream(dir_ + "/machine.conf", std::ios::app)
        << "\n[fault]\nfunction = MoveFileExA\npath = *\\SIDS.NEW\naction = kill\n";
    ASSERT_EQ(sh("boot '" + dir_ + "'"), 0);  // the job, cut off in stage 3
    std::string log = e2e::ReadHost(dir_ + "/drives/d/tessiv.log");
    ASSERT_NE(log.find("\nStage 3: Examining SID\n"), std::string::npos) << log;
    ASSERT_EQ(log.find("\nStage 4:"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(dir_ + "/drives/d/domain.sid")) << e2e::ReadHost(dir_ + "/drives/d/domain.sid");
    std::ofstream(dir_ + "/machine.conf", std::ios::trunc) << conf;
    ASSERT_EQ(sh("boot '" + dir_ + "'"), 0);  // the clean-up
    log = e2e::ReadHost(dir_ + "/drives/d/tessiv.log");
    EXPECT_NE(log.find("   Service Entry Removed Successfully.\n"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(dir_ + "/drives/d/domain.sid"));
    EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
    EXPECT_FALSE(fs::exists(C("TEMP/TESSIV")));
    e2e::ExpectSame(original, e2e::Take(dir_));
}

// A job run now, from the wizard without the service, cut off by a power loss in stage 8:
// the run installed the one-shot service before it began, so the next boot recovers the
// original machine and the boot after it cleans up and removes the service.
TEST_F(Crash, AJobRunNowIsRecoveredAtTheNextBoot) {
    auto sh = [&](const std::string& args) {
        std::string cmd = std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim " + args + " >>'" + root_ + "/commands.txt' 2>&1";
        return WEXITSTATUS(system(cmd.c_str()));
    };
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    ASSERT_EQ(sh("install '" + dir_ + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'"), 0);
    const e2e::Snapshot original = e2e::Take(dir_);
    const std::string conf = e2e::ReadHost(dir_ + "/machine.conf");
    std::ofstream(dir_ + "/machine.conf", std::ios::app)
        << "\n[fault]\nfunction = SetNamedSecurityInfoA\npath = C:\\Data\\Shared\\*\naction = kill\n";
    sh("run '" + dir_ + "' -- 'C:\\TESSIV\\tessiv.exe' -start -quiet '-log:D:\\tessiv.log'");  // cut off
    std::string log = e2e::ReadHost(dir_ + "/drives/d/tessiv.log");
    ASSERT_NE(log.find("\nStage 8:"), std::string::npos) << log;
    ASSERT_EQ(log.find("\nStage 9:"), std::string::npos) << log;
    std::ofstream(dir_ + "/machine.conf", std::ios::trunc) << conf;
    ASSERT_EQ(sh("boot '" + dir_ + "'"), 0);  // the recovery, and its restart
    log = e2e::ReadHost(dir_ + "/drives/d/tessiv.log");
    EXPECT_NE(log.find("\nRecovering Interrupted Run:\n"), std::string::npos) << log;
    ASSERT_EQ(sh("boot '" + dir_ + "'"), 0);  // the originals are back; the clean-up
    log = e2e::ReadHost(dir_ + "/drives/d/tessiv.log");
    EXPECT_NE(log.find("   Service Entry Removed Successfully.\n"), std::string::npos) << log;
    EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
    EXPECT_FALSE(fs::exists(C("TEMP/TESSIV")));
    e2e::ExpectSame(original, e2e::Take(dir_));
}

// The program itself at every boot, started by the boot as the service the install made,
// so that its start-up decides by what it finds (the stored settings, the record of SIDs,
// or nothing at all), as on a real machine; a power loss is a kill rule in machine.conf
// for one boot, with or without what was not flushed.
class RealStartUp : public e2e::MachineTest {
protected:
    std::string base_;
    e2e::Snapshot original_, done_;
    std::string originalSid_, doneSid_;

    int Sh(const std::string& args) {
        std::string cmd = std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim " + args + " >>'" + root_ + "/commands.txt' 2>&1";
        return WEXITSTATUS(system(cmd.c_str()));
    }
    std::string Copy(const std::string& name, const std::string& from) {
        std::string dir = root_ + "/" + name;
        std::string command = "cp -a '" + from + "' '" + dir + "'";
        EXPECT_EQ(system(command.c_str()), 0) << command;
        return dir;
    }
    bool Pending(const std::string& dir) {
        ntsim::Hive system, software;
        if (ntsim::RegfLoadFile(dir + "/drives/c/WINNT/system32/config/SYSTEM", &system) != 0 ||
            ntsim::RegfLoadFile(dir + "/drives/c/WINNT/system32/config/SOFTWARE", &software) != 0)
            return true;
        ntsim::HiveKey* set = system.root->FindSubkey("ControlSet001");
        ntsim::HiveKey* services = set ? set->FindSubkey("Services") : nullptr;
        ntsim::HiveKey* company = software.root->FindSubkey("Quorvel");
        return (services && services->FindSubkey("Tessiv")) || (company && company->FindSubkey("Tessiv"));
    }
    // Boots until neither the service entry nor the settings are left (at most six boots);
    // the fault, if any, is in force for boot number faultBoot (0 = the first).
    void Settle(const std::string& dir, const std::string& fault, int faultBoot) {
        const std::string conf = e2e::ReadHost(dir + "/machine.conf");
        for (int boot = 0; boot < 6; ++boot) {
            if (!fault.empty() && boot == faultBoot) std::ofstream(dir + "/machine.conf", std::ios::app) << fault;
            ASSERT_EQ(Sh("boot '" + dir + "'"), 0) << e2e::ReadHost(root_ + "/commands.txt");
            if (!fault.empty() && boot == faultBoot) std::ofstream(dir + "/machine.conf", std::ios::trunc) << conf;
            if (boot >= faultBoot && !Pending(dir)) return;
        }
        ADD_FAILURE() << "still not settled after six boots\n" << e2e::ReadHost(dir + "/drives/d/tessiv.log");
    }
    void Prepare() {
        base_ = root_ + "/base";
        Make("nt4-workstation", "S-1-5-21-1-2-3", base_);
        ASSERT_EQ(Sh("install '" + base_ + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'"), 0);
        // The same new SID in every run, so that the completed jobs compare equal.
        std::ofstream(base_ + "/machine.conf", std::ios::app)
            << "\n[clock]\nmode = simulated\nstart = 130000000000000000\ntick = 5000\n";
        original_ = e2e::Take(base_);
        originalSid_ = e2e::MachineSidText(base_);
        ASSERT_EQ(Sh("run '" + base_ + "' -- 'C:\\TESSIV\\tessiv.exe' -autoinstall -quiet '-log:D:\\tessiv.log'"), 1);
        std::string reference = Copy("done", base_);
        Settle(reference, "", 0);
        done_ = e2e::Take(reference);
        doneSid_ = e2e::MachineSidText(reference);
        ASSERT_NE(doneSid_, originalSid_);
        fs::remove_all(reference);
    }
    // The outcome of one cut: 'o', 'd', 't' (a second SID change) or 'x' (a mix).
    char Cut(const std::string& name, const std::string& fault, int faultBoot) {
        std::string dir = Copy(name, base_);
        Settle(dir, fault, faultBoot);
        e2e::Snapshot now = e2e::Take(dir);
        std::string sid = e2e::MachineSidText(dir);
        char outcome = Same(now, original_) ? 'o' : Same(now, done_) ? 'd' : sid != originalSid_ && sid != doneSid_ ? 't' : 'x';
        if (outcome == 'x') e2e::ExpectSame(done_, now);
        if (outcome == 'o' || outcome == 'd') fs::remove_all(dir);
        return outcome;
    }
};

std::string Fault(const char* function, const char* path, long nth, bool lossy, bool flushFirst = false) {
    return std::string("\n[fault]\nfunction = ") + function + "\npath = " + path + "\nnth = " + std::to_string(nth) +
           "\naction = " + (flushFirst ? "kill-after-flush" : "kill") + (lossy ? "\npower-loss = unflushed" : "") + "\n";
}

TEST_F(RealStartUp, CutAtAnyBootTheMachineIsOriginalOrDone) {
    Prepare();
    if (HasFatalFailure()) return;
    struct Point {
        const char* where;
        const char* function;
        const char* path;
        long nth;
        int boot;  // 0 the job's boot, 1 the clean-up's
        char expect;
        bool flushFirst = false;
    };
    const Point points[] = {
        {"stage 3: SID record", "MoveFileExA", "*\\SIDS.NEW", 1, 0, 'o'},
        {"stage 7: byte scan of SAM", "FlushViewOfFile", "*\\TESSIV\\SAM", 1, 0, 'o'},
        {"stage 8: a data file", "SetNamedSecurityInfoA", "C:\\Data\\Shared\\*", 1, 0, 'o'},
        {"stage 9: record not yet discarded", "DeleteFileA", "*\\TESSIV\\SIDS", 1, 0, 'o'},
        {"after stage 9: settings", "RegFlushKey", "*\\Quorvel\\Tessiv", 2, 0, 'd'},
        {"clean-up: work directory half removed", "DeleteFileA", "C:\\TEMP\\TESSIV\\*", 5, 1, 'd', true},
        {"clean-up: settings not yet deleted", "RegDeleteKeyA", "*\\Quorvel\\Tessiv", 1, 1, 'd'},
    };
    int n = 0, counts[4] = {0, 0, 0, 0};
    for (bool lossy : {false, true}) {
        for (const Point& point : points) {
            SCOPED_TRACE(std::string(point.where) + (lossy ? " (unflushed data lost)" : ""));
            char outcome = Cut("k" + std::to_string(n++), Fault(point.function, point.path, point.nth, lossy, point.flushFirst),
                               point.boot);
            ++counts[outcome == 'o' ? 0 : outcome == 'd' ? 1 : outcome == 'x' ? 2 : 3];
            EXPECT_EQ(outcome, point.expect);
        }
    }
    printf("the program's own start-up: kill points: %d; original machine: %d, completed job: %d, mixed: %d, "
           "changed twice: %d\n",
           n, counts[0], counts[1], counts[2], counts[3]);
    EXPECT_EQ(counts[2], 0);
    EXPECT_EQ(counts[3], 0);
}

// Cuts between the clean-up's later steps: its settings are deleted, and the service entry is
// still there at the next boot, which starts the program with no settings: it must clean up
// and never start a second job.
TEST_F(RealStartUp, CutBetweenTheCleanUpsStepsTheMachineIsDone) {
    Prepare();
    if (HasFatalFailure()) return;
    int n = 0, twice = 0, mixed = 0;
    for (bool lossy : {false, true}) {
        // Settings deleted, then the SID file; the service entry's removal.
        for (auto [function, path] : {std::pair{"DeleteFileA", "*\\tessiv.sid"}, {"DeleteService", ""}}) {
            SCOPED_TRACE(std::string(function) + (lossy ? " (unflushed data lost)" : ""));
            char outcome = Cut("c" + std::to_string(n++), Fault(function, path, 1, lossy), 1);
            const std::string commands = e2e::ReadHost(root_ + "/commands.txt");
            int cuts = 0;
            for (size_t at = commands.find("exit code 137"); at != std::string::npos; at = commands.find("exit code 137", at + 1))
                ++cuts;
            EXPECT_EQ(cuts, n) << "the cut was never reached";
            twice += outcome == 't';
            mixed += outcome == 'x';
            EXPECT_EQ(outcome, 'd');
        }
    }
    printf("the clean-up's later steps: kill points: %d; mixed: %d, changed twice: %d\n", n, mixed, twice);
    EXPECT_EQ(mixed, 0);
    EXPECT_EQ(twice, 0);
}

}  // namespace
