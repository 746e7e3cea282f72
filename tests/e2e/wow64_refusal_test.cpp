// The 32-bit program on a 64-bit Windows (machine.conf "[machine] architecture = x64":
// IsWow64Process answers TRUE there). Every way of running refuses with one box before it
// changes anything, and the refusal goes to the log that was asked for; the machine is
// compared key by key afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "e2e/e2e_machine.h"

namespace {

const char* const kRefusal = "Error: This is the 32-bit Tessiv program, and this computer runs a 64-bit edition of Windows.";

class Wow64Refusal : public e2e::MachineTest {
protected:
    // A machine with the program installed, whose transcript (boxes included) goes to root_.
    void MakeWithProgram(const std::string& preset) {
        Make(preset, "S-1-5-21-1-2-3");
        ASSERT_EQ(RunNtsim("install '" + dir_ + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'"), 0)
            << Commands();
        std::ofstream(dir_ + "/machine.conf", std::ios::app) << "\n[operator]\ntranscript = " << root_
                                                             << "/transcript.txt\n"
                                                             << "step = idle 5\n";  // a wizard would be cancelled
    }
    // A later [machine] section's key wins: the machine becomes a 64-bit (or 32-bit) Windows.
    void Architecture(const char* name) {
        std::ofstream(dir_ + "/machine.conf", std::ios::app) << "\n[machine]\narchitecture = " << name << "\n";
    }
    int Program(const std::string& args) { return RunNtsim("run '" + dir_ + "' -- 'C:\\TESSIV\\tessiv.exe' " + args); }
    std::string Transcript() { return e2e::ReadHost(root_ + "/transcript.txt"); }
    // The refusal boxes shown so far, and that nothing else was.
    int RefusalBoxes() {
        int boxes = 0;
        std::string t = Transcript();
        for (size_t at = t.find(kRefusal); at != std::string::npos; at = t.find(kRefusal, at + 1)) ++boxes;
        EXPECT_EQ(t.find("Quorvel SID Utility"), std::string::npos) << "no wizard: " << t;
        return boxes;
    }
    bool ServiceEntry() {
        return !e2e::HiveText(dir_ + "/drives/c/WINNT/system32/config/SYSTEM", "ControlSet001\\Services\\Tessiv",
                              "ImagePath")
                    .empty();
    }
    bool ProgramKey() {
        return !e2e::HiveText(dir_ + "/drives/c/WINNT/system32/config/SOFTWARE", "Quorvel\\Tessiv", "LogFileName")
                    .empty();
    }
    std::string Log() { return e2e::ReadHost(C("tessiv.log")); }
    // Hives key by key and every file's descriptor as before; the log is the one new file.
    void ExpectUnchanged(const e2e::Snapshot& before) {
        e2e::Snapshot after = e2e::Take(dir_);
        after.descriptors.erase("/drives/c/tessiv.log");
        e2e::ExpectSame(before, after);
        EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
    }
};

TEST_F(Wow64Refusal, UnattendedInstallRemoveAndWizardAreRefusedOn64BitWindows) {
    MakeWithProgram("xp-standalone");
    Architecture("x64");
    const e2e::Snapshot before = e2e::Take(dir_);
    EXPECT_EQ(Program("-autoinstall -quiet -name:NEWNAME '-log:C:\\tessiv.log'"), -1 & 0xFF) << Commands();
    EXPECT_EQ(RefusalBoxes(), 1) << "quiet leaves out success boxes only: " << Transcript();
    EXPECT_NE(Transcript().find("[OK, error icon]"), std::string::npos) << Transcript();
    EXPECT_NE(Transcript().find("Please run the 64-bit Tessiv program (tessiv.exe for x64) instead."), std::string::npos)
        << Transcript();
    EXPECT_NE(Log().find(std::string("\n") + kRefusal), std::string::npos) << Log();
    EXPECT_FALSE(ServiceEntry());
    EXPECT_FALSE(ProgramKey());
    EXPECT_FALSE(e2e::fs::exists(C("tessiv.sid")));
    ExpectUnchanged(before);

    // The wizard is never shown; without a log option no log is written.
    e2e::fs::remove(C("tessiv.log"));
    EXPECT_EQ(Program(""), -1 & 0xFF) << Commands();
    EXPECT_EQ(RefusalBoxes(), 2) << Transcript();
    EXPECT_FALSE(e2e::fs::exists(C("tessiv.log")));
    ExpectUnchanged(before);
}

TEST_F(Wow64Refusal, RemoveIsRefusedAndLeavesTheInstalledService) {
    // Installed while the machine was a 32-bit Windows; the same image on a 64-bit one.
    MakeWithProgram("xp-standalone");
    EXPECT_EQ(Program("-autoinstall -quiet"), 1) << Commands();
    ASSERT_TRUE(ServiceEntry());
    Architecture("x64");
    const e2e::Snapshot before = e2e::Take(dir_);
    EXPECT_EQ(Program("-remove -log"), -1 & 0xFF) << Commands();
    EXPECT_EQ(RefusalBoxes(), 1) << Transcript();
    EXPECT_NE(Log().find(kRefusal), std::string::npos) << "the default log: " << Log();
    EXPECT_TRUE(ServiceEntry());
    EXPECT_TRUE(ProgramKey());
    ExpectUnchanged(before);
}

TEST_F(Wow64Refusal, TheServiceRefusesAtBootAndLogsWhereItsSettingsSay) {
    MakeWithProgram("xp-standalone");
    EXPECT_EQ(Program("-autoinstall -quiet -name:NEWNAME '-log:C:\\tessiv.log'"), 1) << Commands();
    ASSERT_TRUE(ServiceEntry());
    Architecture("x64");
    const e2e::Snapshot before = e2e::Take(dir_);
    ASSERT_EQ(RunNtsim("boot '" + dir_ + "'"), 0) << Commands();
    EXPECT_EQ(RefusalBoxes(), 1) << Transcript();
    EXPECT_NE(Log().find(std::string("\n") + kRefusal), std::string::npos) << Log();
    EXPECT_EQ(Log().find("Stage 1"), std::string::npos) << "no job: " << Log();
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV"))) << "no work directory";
    EXPECT_TRUE(ProgramKey());
    ExpectUnchanged(before);
}

TEST_F(Wow64Refusal, The32BitWindowsAndNt40RunTheProgram) {
    // NT 4.0 has no 64-bit edition and no IsWow64Process: the binding by name finds none.
    for (const char* preset : {"xp-standalone", "nt4-workstation"}) {
        SCOPED_TRACE(preset);
        e2e::fs::remove_all(dir_);
        e2e::fs::remove(root_ + "/transcript.txt");
        MakeWithProgram(preset);
        Architecture(std::string(preset) == "nt4-workstation" ? "x64" : "x86");
        EXPECT_EQ(Program("-autoinstall -quiet"), 1) << Commands();
        EXPECT_EQ(RefusalBoxes(), 0) << Transcript();
        EXPECT_TRUE(ServiceEntry());
        EXPECT_TRUE(ProgramKey());
    }
}

}  // namespace
