// The program itself across the boots of a simulated machine: installed with ntsim,
// started with "-autoinstall -quiet", run as the service at the next boot, cleaned up at
// the boot after.
#include <gtest/gtest.h>

#include <cstdlib>

#include "e2e/e2e_machine.h"

namespace {

using ntsim::CensusPlace;

class ProgramBoots : public e2e::MachineTest {
protected:
    static std::string Ntsim() { return std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim"; }
    int Sh(const std::string& args) {
        std::string cmd = Ntsim() + " " + args + " >>'" + root_ + "/commands.txt' 2>&1";
        return WEXITSTATUS(system(cmd.c_str()));
    }
    void Install() {
        ASSERT_EQ(Sh("install '" + dir_ + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'"), 0)
            << e2e::ReadHost(root_ + "/commands.txt");
    }
    int Program(const std::string& args) { return Sh("run '" + dir_ + "' -- 'C:\\TESSIV\\tessiv.exe' " + args); }
    void BootNow() { ASSERT_EQ(Sh("boot '" + dir_ + "'"), 0) << e2e::ReadHost(root_ + "/commands.txt"); }
    bool ServiceEntry() {
        ntsim::Hive system;
        EXPECT_EQ(ntsim::RegfLoadFile(C("WINNT/system32/config/SYSTEM"), &system), 0u);
        ntsim::HiveKey* set = system.root->FindSubkey("ControlSet001");
        ntsim::HiveKey* services = set ? set->FindSubkey("Services") : nullptr;
        return services && services->FindSubkey("Tessiv");
    }
    bool ProgramKey() {
        ntsim::Hive software;
        EXPECT_EQ(ntsim::RegfLoadFile(C("WINNT/system32/config/SOFTWARE"), &software), 0u);
        ntsim::HiveKey* q = software.root->FindSubkey("Quorvel");
        return q && q->FindSubkey("Tessiv");
    }
    std::string Log() { return e2e::ReadHost(C("tessiv.log")); }
    void ExpectJobDone(const std::string& oldSid, bool cleanedUp) {
        ntsim::CensusResult census = e2e::Count(dir_, oldSid);
        EXPECT_EQ(e2e::Unexpected(census, cleanedUp), 0) << e2e::ListHits(census) << Log();
        e2e::ExpectHivexOpens(dir_);
    }
};

TEST_F(ProgramBoots, StandAloneJobAndCleanUpRemovingTheProgram) {
    const std::string oldSid = "S-1-5-21-1-2-3";
    Make("nt4-workstation", oldSid);
    Install();
    const e2e::Snapshot before = e2e::Take(dir_);
    EXPECT_EQ(Program("-autoinstall -quiet -delete '-log:C:\\tessiv.log'"), 1) << e2e::ReadHost(root_ + "/commands.txt");
    EXPECT_TRUE(ServiceEntry());
    EXPECT_TRUE(e2e::fs::exists(C("tessiv.sid")));

    BootNow();  // the service runs the job and asks for the restart
    EXPECT_NE(Log().find("\nStage 9: Updating Registry Information\n"), std::string::npos) << Log();
    EXPECT_TRUE(ServiceEntry());

    BootNow();  // the rewritten hives take over, and the service runs the clean-up
    EXPECT_NE(e2e::MachineSidText(dir_), oldSid) << Log();
    ExpectJobDone(oldSid, true);
    EXPECT_FALSE(ServiceEntry());
    EXPECT_FALSE(ProgramKey());
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
    EXPECT_FALSE(e2e::fs::exists(C("tessiv.sid")));
    EXPECT_NE(Log().find("   Service Entry Removed Successfully.\n"), std::string::npos) << Log();
    BootNow();  // the temporary copy has deleted the program and scheduled itself
    EXPECT_FALSE(e2e::fs::exists(C("TESSIV/tessiv.exe")));
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/tessiv.exe")));
    EXPECT_EQ(e2e::Take(dir_).keyCounts, before.keyCounts);
}

TEST_F(ProgramBoots, RemoveAndDeleteNowRequests) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    Install();
    EXPECT_EQ(Program("-autoinstall -quiet"), 1);
    EXPECT_TRUE(ServiceEntry());
    EXPECT_TRUE(ProgramKey());
    EXPECT_EQ(Program("-remove -quiet"), -1 & 0xFF);
    EXPECT_FALSE(ServiceEntry());
    EXPECT_FALSE(ProgramKey());
}

}  // namespace
