// The program itself across the boots of simulated machines: installed with ntsim,
// started with "-autoinstall -quiet" and its options, run as the service at the next
// boot, cleaned up at the boot after.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "core/sid_text.h"
#include "e2e/e2e_machine.h"

namespace {

using ntsim::CensusPlace;

class ProgramBoots : public e2e::MachineTest {
protected:
    // A machine with the program installed as C:\TESSIV\tessiv.exe.
    void MakeWithProgram(const std::string& preset, const std::string& sid, const std::string& dir) {
        Make(preset, sid, dir);
        ASSERT_EQ(RunNtsim("install '" + dir + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'"), 0) << Commands();
    }
    // The program's unattended install, with a log, on the machine in dir.
    void Prepare(const std::string& options, const std::string& dir) {
        EXPECT_EQ(RunNtsim("run '" + dir + "' -- 'C:\\TESSIV\\tessiv.exe' -autoinstall -quiet '-log:C:\\tessiv.log' " + options), 1)
            << Commands();
    }
    int Program(const std::string& args) { return RunNtsim("run '" + dir_ + "' -- 'C:\\TESSIV\\tessiv.exe' " + args); }
    void BootNow(const std::string& dir) { ASSERT_EQ(RunNtsim("boot '" + dir + "'"), 0) << Commands(); }
    // Two boots: the service runs the job and restarts; the rewritten hives take over and
    // the service runs the clean-up.
    void JobAndCleanUp(const std::string& dir) {
        BootNow(dir);
        EXPECT_NE(Log(dir).find("\nStage 9: Updating Registry Information\n"), std::string::npos) << Log(dir);
        BootNow(dir);
        EXPECT_NE(Log(dir).find("   Service Entry Removed Successfully.\n"), std::string::npos) << Log(dir);
    }
    static std::string Config(const std::string& dir, const std::string& hive) {
        return dir + "/drives/c/WINNT/system32/config/" + hive;
    }
    static bool ServiceEntry(const std::string& dir) {
        ntsim::Hive system;
        EXPECT_EQ(ntsim::RegfLoadFile(Config(dir, "SYSTEM"), &system), 0u);
        ntsim::HiveKey* set = system.root->FindSubkey("ControlSet001");
        ntsim::HiveKey* services = set ? set->FindSubkey("Services") : nullptr;
        return services && services->FindSubkey("Tessiv");
    }
    static ntsim::HiveKey* ProgramKey(ntsim::Hive* software) {
        ntsim::HiveKey* q = software->root->FindSubkey("Quorvel");
        return q ? q->FindSubkey("Tessiv") : nullptr;
    }
    static bool ProgramKey(const std::string& dir) {
        ntsim::Hive software;
        EXPECT_EQ(ntsim::RegfLoadFile(Config(dir, "SOFTWARE"), &software), 0u);
        return ProgramKey(&software) != nullptr;
    }
    static std::string Log(const std::string& dir) { return e2e::ReadHost(dir + "/drives/c/tessiv.log"); }
    // What a completed job may leave of the old SID: its log, the backups of the replaced
    // hives, and the work directory until the clean-up run.
    static void ExpectGone(const std::string& dir, const std::string& sid, bool cleanedUp) {
        ntsim::CensusResult census = e2e::Count(dir, sid);
        EXPECT_EQ(e2e::Unexpected(census, cleanedUp), 0) << sid << "\n" << e2e::ListHits(census) << Log(dir);
    }
    // After the clean-up: nothing of the job but its log, every hive readable by hivex.
    static void ExpectCleanedUp(const std::string& dir, const std::string& oldSid) {
        ExpectGone(dir, oldSid, true);
        e2e::ExpectHivexOpens(dir);
        EXPECT_FALSE(ServiceEntry(dir));
        EXPECT_FALSE(ProgramKey(dir));
        EXPECT_FALSE(e2e::fs::exists(dir + "/drives/c/TEMP/TESSIV"));
        EXPECT_FALSE(e2e::fs::exists(dir + "/drives/c/tessiv.sid"));
    }
    void SetMachineSid(const std::string& dir, const std::string& sid) {
        ntsim::Hive security;
        ASSERT_EQ(ntsim::RegfLoadFile(Config(dir, "SECURITY"), &security), 0u);
        Sid value;
        SidFromText(sid.c_str(), &value);
        security.root->FindSubkey("Policy")->FindSubkey("PolAcDmS")->FindValue("")->data.assign((uint8_t*)&value,
                                                                                              (uint8_t*)&value + 24);
        ASSERT_EQ(ntsim::RegfSaveFile(security, Config(dir, "SECURITY")), 0u);
    }
};

TEST_F(ProgramBoots, StandAloneJobAndCleanUpRemovingTheProgram) {
    const std::string oldSid = "S-1-5-21-1-2-3";
    MakeWithProgram("nt4-workstation", oldSid, dir_);
    const e2e::Snapshot before = e2e::Take(dir_);
    Prepare("-delete", dir_);
    EXPECT_TRUE(ServiceEntry(dir_));
    EXPECT_TRUE(e2e::fs::exists(C("tessiv.sid")));

    BootNow(dir_);  // the service runs the job and asks for the restart
    EXPECT_NE(Log(dir_).find("\nStage 8: Examining File System Security\n"), std::string::npos) << Log(dir_);
    EXPECT_NE(Log(dir_).find("\nStage 9: Updating Registry Information\n"), std::string::npos) << Log(dir_);
    EXPECT_TRUE(ServiceEntry(dir_));
    EXPECT_GT(e2e::Count(dir_, oldSid).Count(CensusPlace::WorkDirectory), 0);  // the original copies

    // The rewritten hives take over, and the service runs the clean-up; everything any
    // program of this boot shows, the temporary copy's included, goes to one transcript.
    const std::string transcript = root_ + "/cleanup-transcript.txt";
    ASSERT_EQ(WEXITSTATUS(system(("NTSIM_TRANSCRIPT='" + transcript + "' " + Ntsim() + " boot '" + dir_ + "' >>'" +
                                  root_ + "/commands.txt' 2>&1")
                                     .c_str())),
              0)
        << Commands();
    // The copy deletes the program once the service has ended, and ends without a word.
    for (int i = 0; i < 300 && e2e::fs::exists(C("TESSIV/tessiv.exe")); ++i) usleep(100000);
    EXPECT_FALSE(e2e::fs::exists(C("TESSIV/tessiv.exe"))) << "deleted by the copy, not at the next boot";
    usleep(500000);  // the copy's last steps after the deletion
    std::string seen = e2e::ReadHost(transcript);
    EXPECT_EQ(seen.find("dispatching service"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("box \""), std::string::npos) << seen;
    std::string newSid = e2e::MachineSidText(dir_);
    EXPECT_NE(newSid, oldSid);
    EXPECT_NE(Log(dir_).find("       New Sid: " + newSid + "\n"), std::string::npos) << Log(dir_);
    ExpectCleanedUp(dir_, oldSid);
    EXPECT_GT(e2e::Count(dir_, newSid).Count(CensusPlace::FileSecurity), 0);
    EXPECT_TRUE(e2e::AdministratorInAdministrators(dir_));
    BootNow(dir_);  // the temporary copy has deleted the program and scheduled itself
    EXPECT_FALSE(e2e::fs::exists(C("TESSIV/tessiv.exe")));
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/tessiv.exe")));
    EXPECT_EQ(e2e::Take(dir_).keyCounts, before.keyCounts);
}

// A program below a folder with a space: the service entry names it with quotes, so that
// the manager never starts C:\Program.exe, which anybody who may write to C:\ could plant, as
// the local system in its place. The log's folder does not exist yet: the log's writer
// makes it, and the start-up does not refuse it.
TEST_F(ProgramBoots, ServiceBelowAFolderWithASpaceStartsOnlyTheProgram) {
    Make("nt4-workstation", "S-1-5-21-1-2-3", dir_);
    const std::string program = "C:\\Program Files\\Tessiv\\tessiv.exe";
    ASSERT_EQ(RunNtsim("install '" + dir_ + "' '" + TESSIV_BINARY_DIR + "/tessiv' '" + program + "'"), 0) << Commands();
    const std::string planted = C("Program.exe");
    {
        std::ofstream script(planted);
        script << "#!/bin/sh\necho ran >> \"$NTSIM_MACHINE/planted.txt\"\n";
    }
    e2e::fs::permissions(planted, e2e::fs::perms::owner_all | e2e::fs::perms::group_exec | e2e::fs::perms::others_exec);

    EXPECT_EQ(RunNtsim("run '" + dir_ + "' -- '" + program + "' -autoinstall -quiet '-log:C:\\Logs\\Tessiv\\run.log'"), 1)
        << Commands();
    EXPECT_EQ(e2e::HiveText(Config(dir_, "SYSTEM"), "ControlSet001\\Services\\Tessiv", "ImagePath"),
              "\"" + program + "\"");
    EXPECT_EQ(e2e::HiveText(Config(dir_, "SOFTWARE"), "Quorvel\\Tessiv", "LogFileName"), "C:\\Logs\\Tessiv\\run.log");
    EXPECT_FALSE(e2e::fs::exists(C("Logs"))) << "made by the log's writer, not by the checks";

    BootNow(dir_);
    EXPECT_FALSE(e2e::fs::exists(dir_ + "/planted.txt")) << "the planted program ran as the service";
    std::string log = e2e::ReadHost(C("Logs/Tessiv/run.log"));
    EXPECT_NE(log.find("\nStage 9: Updating Registry Information\n"), std::string::npos) << log << Commands();
}

TEST_F(ProgramBoots, RemoveAndDeleteNowRequests) {
    MakeWithProgram("nt4-workstation", "S-1-5-21-1-2-3", dir_);
    EXPECT_EQ(Program("-autoinstall -quiet"), 1);
    EXPECT_TRUE(ServiceEntry(dir_));
    EXPECT_TRUE(ProgramKey(dir_));
    EXPECT_EQ(Program("-remove -quiet"), -1 & 0xFF);
    EXPECT_FALSE(ServiceEntry(dir_));
    EXPECT_FALSE(ProgramKey(dir_));
}

TEST_F(ProgramBoots, FileSystemSecuritySkipped) {
    MakeWithProgram("nt4-workstation", "S-1-5-21-4-5-6", dir_);
    const e2e::Snapshot before = e2e::Take(dir_);
    Prepare("-nofs", dir_);
    JobAndCleanUp(dir_);
    EXPECT_NE(Log(dir_).find("\nStage 8: File System Security (skipped)\n\nStage 9:"), std::string::npos) << Log(dir_);
    e2e::Snapshot after = e2e::Take(dir_);
    for (const auto& [path, sd] : before.descriptors) EXPECT_TRUE(after.descriptors[path] == sd) << path;
    EXPECT_GT(e2e::Count(dir_, "S-1-5-21-4-5-6").Count(CensusPlace::FileSecurity), 0);
}

TEST_F(ProgramBoots, SysprepWaitsForTheNewSidThenCarriesItThrough) {
    const std::string before = "S-1-5-21-7-7-7", after = "S-1-5-21-8-8-8";
    MakeWithProgram("nt4-workstation", before, dir_);
    Prepare("-sysprep", dir_);  // the SID file keeps the SID the tool has not changed yet
    BootNow(dir_);
    EXPECT_NE(Log(dir_).find("SysPrep hasn't completed, aborting until next run...\n"), std::string::npos) << Log(dir_);
    EXPECT_EQ(e2e::MachineSidText(dir_), before);
    EXPECT_TRUE(ServiceEntry(dir_));
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV/ORIGINAL/SAM")));

    // The tool gives the machine its new SID in the policy; the job carries it everywhere else.
    SetMachineSid(dir_, after);
    JobAndCleanUp(dir_);
    EXPECT_NE(Log(dir_).find("   Running in conjuction with Microsoft SysPrep\n"), std::string::npos) << Log(dir_);
    EXPECT_EQ(e2e::MachineSidText(dir_), after);
    ExpectCleanedUp(dir_, before);
}

// In sysprep mode without the SID file from before the tool ran, or with a short one, the
// run goes on with both SIDs equal and says so; it is never taken for a tool that has not
// finished, which would restart the machine at every boot. The job changes no SID, and the
// boot after it cleans up.
TEST_F(ProgramBoots, SysprepWithoutItsSidFileRunsOnWithTheCurrentSid) {
    const std::string sid = "S-1-5-21-7-7-7";
    int n = 0;
    for (const char* content : {(const char*)nullptr, "short"}) {
        SCOPED_TRACE(content ? "short SID file" : "no SID file");
        std::string dir = root_ + "/s" + std::to_string(n++);
        MakeWithProgram("nt4-workstation", sid, dir);
        const e2e::Snapshot before = e2e::Take(dir);
        Prepare("-sysprep", dir);
        if (content)
            std::ofstream(dir + "/drives/c/tessiv.sid", std::ios::binary | std::ios::trunc) << content;
        else
            e2e::fs::remove(dir + "/drives/c/tessiv.sid");
        JobAndCleanUp(dir);
        std::string log = Log(dir);
        EXPECT_EQ(log.find("SysPrep hasn't completed"), std::string::npos) << log;
        EXPECT_NE(log.find("   The SID file '\\tessiv.sid' is missing or incomplete: the run goes on with the current "
                           "SID\n"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("  Original Sid: " + sid + "\n       New Sid: " + sid + "\n"), std::string::npos) << log;
        EXPECT_EQ(e2e::MachineSidText(dir), sid);
        EXPECT_FALSE(ServiceEntry(dir));
        EXPECT_FALSE(ProgramKey(dir));
        EXPECT_FALSE(e2e::fs::exists(dir + "/drives/c/TEMP/TESSIV"));
        EXPECT_TRUE(before.hives == e2e::Take(dir).hives) << "every key as it was";
    }
}

// A service that starts without stored settings (a clean-up cut off once it had removed
// them) starts no job that nobody asked for: it removes its entry and says why in the
// event log, and the machine keeps its SID.
TEST_F(ProgramBoots, AServiceWithoutStoredSettingsRunsNoJobAndRemovesItself) {
    const std::string sid = "S-1-5-21-4-5-6";
    MakeWithProgram("nt4-workstation", sid, dir_);
    const e2e::Snapshot before = e2e::Take(dir_);
    Prepare("", dir_);
    ntsim::Hive software;
    ASSERT_EQ(ntsim::RegfLoadFile(Config(dir_, "SOFTWARE"), &software), 0u);
    ntsim::HiveKey* company = software.root->FindSubkey("Quorvel");
    ASSERT_TRUE(company && ProgramKey(&software));
    ASSERT_TRUE(software.root->RemoveSubkey(company));
    ASSERT_EQ(ntsim::RegfSaveFile(software, Config(dir_, "SOFTWARE")), 0u);

    BootNow(dir_);
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV"))) << "no job began";
    EXPECT_EQ(Log(dir_), "");
    EXPECT_FALSE(ServiceEntry(dir_));
    EXPECT_FALSE(ProgramKey(dir_));
    EXPECT_NE(e2e::ReadHost(dir_ + "/eventlog.txt").find("No stored settings of a job: the service runs no job and removes its entry"),
              std::string::npos)
        << e2e::ReadHost(dir_ + "/eventlog.txt");
    BootNow(dir_);
    EXPECT_EQ(e2e::MachineSidText(dir_), sid);
    EXPECT_TRUE(before.hives == e2e::Take(dir_).hives) << "every key as it was";
}

TEST_F(ProgramBoots, DomainMemberRenamedAndTrustReestablished) {
    MakeWithProgram("nt4-member", "S-1-5-21-41-42-43", dir_);
    // The administrator has made the computer's new account in the domain beforehand.
    ntsim::Conf conf;
    std::string error;
    ASSERT_TRUE(ntsim::ConfLoad(dir_ + "/machine.conf", &conf, &error)) << error;
    ntsim::ConfSection* domain = conf.Find("domain", "QDOMAIN");
    ASSERT_NE(domain, nullptr);
    domain->Set("members", domain->Get("members") + ", NEWMEMBER");
    ASSERT_TRUE(ntsim::ConfSave(dir_ + "/machine.conf", conf));

    Prepare("-name:NEWMEMBER", dir_);
    JobAndCleanUp(dir_);
    EXPECT_NE(Log(dir_).find("New Computer Name: NEWMEMBER\n"), std::string::npos) << Log(dir_);
    EXPECT_NE(Log(dir_).find("   Domain Trust Re-Established.\n"), std::string::npos) << Log(dir_);
    EXPECT_EQ(e2e::HiveText(Config(dir_, "SYSTEM"), "ControlSet001\\Control\\ComputerName\\ComputerName", "ComputerName"),
              "NEWMEMBER");
    ExpectCleanedUp(dir_, "S-1-5-21-41-42-43");
    EXPECT_TRUE(e2e::AdministratorInAdministrators(dir_));
}

// A power loss while the clean-up re-establishes the trust of a renamed member, just after
// the registry's lazy writer wrote what the clean-up had changed: the stored settings are
// still there, so the next boot does the clean-up again, trust included, and never a
// second job.
TEST_F(ProgramBoots, ACleanUpCutOffInTheTrustIsDoneAgainAtTheNextBoot) {
    MakeWithProgram("nt4-member", "S-1-5-21-41-42-43", dir_);
    ntsim::Conf conf;
    std::string error;
    ASSERT_TRUE(ntsim::ConfLoad(dir_ + "/machine.conf", &conf, &error)) << error;
    ntsim::ConfSection* domain = conf.Find("domain", "QDOMAIN");
    ASSERT_NE(domain, nullptr);
    domain->Set("members", domain->Get("members") + ", NEWMEMBER");
    ASSERT_TRUE(ntsim::ConfSave(dir_ + "/machine.conf", conf));
    const std::string plain = e2e::ReadHost(dir_ + "/machine.conf");

    Prepare("-name:NEWMEMBER", dir_);
    BootNow(dir_);  // the job
    ASSERT_NE(Log(dir_).find("\nStage 9: Updating Registry Information\n"), std::string::npos) << Log(dir_);
    std::ofstream(dir_ + "/machine.conf", std::ios::app) << "\n[fault]\nfunction = NetGetDCName\naction = kill-after-flush\n";
    BootNow(dir_);  // the clean-up, cut off in the trust
    const std::string newSid = e2e::MachineSidText(dir_);
    EXPECT_NE(newSid, "S-1-5-21-41-42-43");
    EXPECT_EQ(Log(dir_).find("   Domain Trust Re-Established.\n"), std::string::npos) << Log(dir_);
    std::ofstream(dir_ + "/machine.conf", std::ios::trunc) << plain;
    BootNow(dir_);  // the clean-up again
    BootNow(dir_);  // nothing left to run
    std::string log = Log(dir_);
    EXPECT_NE(log.find("   Domain Trust Re-Established.\n"), std::string::npos) << log;
    size_t jobs = 0;
    for (size_t at = log.find("Stage 1: Initializing"); at != std::string::npos; at = log.find("Stage 1: Initializing", at + 1))
        ++jobs;
    EXPECT_EQ(jobs, 1u) << log;
    EXPECT_EQ(e2e::MachineSidText(dir_), newSid);
    EXPECT_EQ(e2e::HiveText(Config(dir_, "SYSTEM"), "ControlSet001\\Control\\ComputerName\\ComputerName", "ComputerName"),
              "NEWMEMBER");
    ExpectCleanedUp(dir_, "S-1-5-21-41-42-43");
}

TEST_F(ProgramBoots, DomainSidCarriedByTheSynchronizationFile) {
    // The member's domain is the preset's; its controllers share the domain's SID.
    const std::string domain = "S-1-5-21-2000111222-333444555-1666777888", memberSid = "S-1-5-21-31-32-33";
    std::string pdc = root_ + "/pdc", bdc = root_ + "/bdc", member = root_ + "/member";
    MakeWithProgram("nt4-pdc", domain, pdc);
    MakeWithProgram("nt4-bdc", domain, bdc);
    MakeWithProgram("nt4-member", memberSid, member);
    const std::string data = "'-data:C:\\SYNC\\domain.sid'";

    // The primary controller's job runs at once: the file is written as the SID changes.
    e2e::fs::create_directories(pdc + "/drives/c/SYNC");
    RunNtsim("run '" + pdc + "' -- 'C:\\TESSIV\\tessiv.exe' -start -quiet '-log:C:\\tessiv.log' " + data);
    BootNow(pdc);
    std::string newDomain = e2e::MachineSidText(pdc);
    EXPECT_NE(newDomain, domain);
    EXPECT_EQ(e2e::ReadHost(pdc + "/drives/c/SYNC/domain.sid"),
              "Old-Domain-SID: " + domain + "\nNew-Domain-SID: " + newDomain + "\n");
    ExpectGone(pdc, domain, false);

    // The one file, carried to the other two machines.
    for (const std::string& dir : {bdc, member}) {
        e2e::fs::create_directories(dir + "/drives/c/SYNC");
        e2e::fs::copy_file(pdc + "/drives/c/SYNC/domain.sid", dir + "/drives/c/SYNC/domain.sid");
    }
    Prepare(data, bdc);
    Prepare(data, member);

    JobAndCleanUp(bdc);
    EXPECT_EQ(e2e::MachineSidText(bdc), newDomain);  // the backup controller takes the new SID over
    ExpectCleanedUp(bdc, domain);

    JobAndCleanUp(member);
    std::string newMember = e2e::MachineSidText(member);
    EXPECT_NE(newMember, memberSid);
    EXPECT_NE(newMember, newDomain);
    ExpectCleanedUp(member, memberSid);
    ExpectGone(member, domain, true);  // the domain SID in its policy and in its accounts' places
    EXPECT_GT(e2e::Count(member, newDomain).Count(CensusPlace::MachineHives), 0);
}

}  // namespace
