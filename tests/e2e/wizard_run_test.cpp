// The program as an administrator meets it: started on a simulated machine with ntsim,
// its wizard walked by the operator, the job run at once or installed for the next boot,
// and every bad answer refused before anything on the machine changes. The transcript of
// the walk that runs the job is kept in the build tree (artifacts/wizard_run_transcript.txt).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "e2e/e2e_machine.h"
#include "unit/ui/transcript_checks.h"

namespace {

const std::string kOldSid = "S-1-5-21-1-2-3";

class WizardRun : public e2e::MachineTest {
protected:
    int Sh(const std::string& command) {
        std::string cmd = command + " >>'" + root_ + "/commands.txt' 2>&1";
        return WEXITSTATUS(system(cmd.c_str()));
    }
    // A machine of the preset with the program installed; machine.conf's text may be edited.
    void MakeWithProgram(const std::string& preset, const std::string& from = "", const std::string& to = "") {
        Make(preset, kOldSid);
        if (!from.empty()) {
            std::string conf = e2e::ReadHost(dir_ + "/machine.conf");
            size_t at = conf.find(from);
            ASSERT_NE(at, std::string::npos) << conf;
            std::ofstream(dir_ + "/machine.conf") << conf.replace(at, from.size(), to);
        }
        ASSERT_EQ(Sh(Ntsim() + " install '" + dir_ + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'"), 0)
            << e2e::ReadHost(root_ + "/commands.txt");
    }
    // Runs the program as the logged-on administrator, the operator following the script and
    // the transcript going to the file (root_/transcript.txt unless named); the exit code, and
    // the transcript's text in *seen.
    int Program(const std::string& args, const std::string& script, std::string* seen, std::string transcript = "") {
        if (transcript.empty()) transcript = root_ + "/transcript.txt";
        std::ofstream(root_ + "/operator.txt") << "timeout 10\n" << script;
        std::remove(transcript.c_str());
        std::string quoted;
        for (size_t at = 0; at < args.size();) {
            size_t space = args.find(' ', at);
            if (space == std::string::npos) space = args.size();
            quoted += " '" + args.substr(at, space - at) + "'";
            at = space + 1;
        }
        int code = Sh("NTSIM_OPERATOR='" + root_ + "/operator.txt' NTSIM_TRANSCRIPT='" + transcript + "' " + Ntsim() +
                      " run '" + dir_ + "' -- 'C:\\TESSIV\\tessiv.exe'" + quoted);
        *seen = e2e::ReadHost(transcript);
        return code;
    }
    void BootNow() { ASSERT_EQ(Sh(Ntsim() + " boot '" + dir_ + "'"), 0) << e2e::ReadHost(root_ + "/commands.txt"); }
    std::string SystemHive() { return C("WINNT/system32/config/SYSTEM"); }
    bool ServiceEntry() { return !e2e::HiveText(SystemHive(), "ControlSet001\\Services\\Tessiv", "ImagePath").empty(); }
    void ExpectJobDone(bool cleanedUp) {
        EXPECT_NE(e2e::MachineSidText(dir_), kOldSid);
        ntsim::CensusResult census = e2e::Count(dir_, kOldSid);
        EXPECT_EQ(e2e::Unexpected(census, cleanedUp), 0) << e2e::ListHits(census);
        e2e::ExpectHivexOpens(dir_);
        EXPECT_TRUE(e2e::AdministratorInAdministrators(dir_));
    }
};

// A primary controller: every page walked, a new name and the synchronization file typed,
// Finish ("&Start") runs the job behind the status window in this process and restarts.
TEST_F(WizardRun, OperatorWalksEveryPageAndTheJobRunsNow) {
    MakeWithProgram("nt4-pdc");
    const std::string artifacts = std::string(TESSIV_BINARY_DIR) + "/artifacts";
    e2e::fs::create_directories(artifacts);
    std::string seen;
    int code = Program("",
                       "wait for \"*Welcome\"\n"
                       "press Next\n"
                       "wait for \"*Computer Information\"\n"
                       "type 1021 \"C:\\sync.dat\"\n"
                       "press Next\n"
                       "wait for \"*Program Options\"\n"
                       "type 1002 \"NEWPDC\"\n"
                       "check 1014\n"
                       "type 1016 \"C:\\tessiv.log\"\n"
                       "press Finish\n",
                       &seen, artifacts + "/wizard_run_transcript.txt");
    EXPECT_EQ(code, 1) << "the sheet's result, before the restart's countdown ends\n" << seen;
    EXPECT_TRUE(transcript::InOrder(seen, {"shown: dialog \"Quorvel SID Utility - Welcome\"", "IMPORTANT INFORMATION",
                               "operator: presses Next", "Quorvel SID Utility - Computer Information",
                               "This computer is functioning as a Primary Domain Controller",
                               "1022 Button [x] \"Create Synchronization &File:\"", "types \"C:\\sync.dat\"",
                               "Quorvel SID Utility - Program Options", "types \"NEWPDC\"",
                               "presses Finish (\"&Start\")", "shown: dialog 146 \"Quorvel SID Replacement Service\"",
                               "Stage 1: Initializing", "Stage 3: Changing Computer Name", "Stage 8: Examining File",
                               "Stage 9: Updating Registry Information", "Complete:",
                               "shutdown: InitiateSystemShutdownA: restart",
                               "closed: dialog 146 \"Quorvel SID Replacement Service\" with 0",
                               "closed: wizard \"\" with 1"}));
    EXPECT_EQ(seen.find("box \""), std::string::npos) << "no message box on the way";
    EXPECT_NE(e2e::ReadHost(C("tessiv.log")).find("Complete:"), std::string::npos);
    // The one-shot service that cleans up at the next boot, or recovers a run cut off by a
    // power loss; it was installed quietly.
    EXPECT_TRUE(ServiceEntry()) << "run now installs the service for the next boot";
    EXPECT_EQ(seen.find("installed successfully"), std::string::npos) << seen;

    BootNow();  // the rewritten hives take over, and the service cleans up
    ExpectJobDone(true);
    const std::string sync = e2e::ReadHost(C("sync.dat"));
    EXPECT_TRUE(transcript::InOrder(sync, {"Old-Domain-SID: " + kOldSid + "\n", "New-Domain-SID: " + e2e::MachineSidText(dir_)}));
    EXPECT_EQ(e2e::HiveText(SystemHive(), "ControlSet001\\Control\\ComputerName\\ComputerName", "ComputerName"),
              "NEWPDC");
    EXPECT_FALSE(ServiceEntry()) << "the clean-up removes the service";
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
}

// A stand-alone machine: Run at Next Boot, the install page's Finish ("&Install") stores the
// settings and the service; the next boot runs the job, the one after cleans up.
TEST_F(WizardRun, InstallPageInstallsTheServiceAndTheNextBootRunsTheJob) {
    MakeWithProgram("nt4-workstation");
    std::string seen;
    int code = Program("",
                       "wait for \"*Welcome\"\n"
                       "press Next\n"
                       "press Next\n"
                       "wait for \"*Program Options\"\n"
                       "click 1031\n"
                       "press Next\n"
                       "wait for \"*Install Automatic Service\"\n"
                       "press Finish\n",
                       &seen);
    EXPECT_EQ(code, 1) << seen;
    EXPECT_TRUE(transcript::InOrder(seen, {"presses Finish (\"&Install\")",
                               "Quorvel Tessiv Service installed successfully and will run upon next boot.",
                               "closed: wizard"}));
    EXPECT_TRUE(ServiceEntry());
    EXPECT_EQ(e2e::MachineSidText(dir_), kOldSid) << "nothing runs before the next boot";

    BootNow();  // the service runs the job and restarts
    BootNow();  // the rewritten hives take over, and the service cleans up
    ExpectJobDone(true);
    EXPECT_FALSE(ServiceEntry());
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
}

// The options that move the wizard: "install" opens on the install page with the command
// line's choices in place ("remove" takes them away again); "start" presses Finish by itself
// and the job runs now.
TEST_F(WizardRun, InstallOpensOnTheInstallPageAndStartRunsTheJobByItself) {
    MakeWithProgram("nt4-workstation");
    std::string seen;
    int code = Program("-install -name:NEWBOX",
                       "wait for \"*Install Automatic Service\"\n"
                       "press Back\n"
                       "wait for \"*Program Options\"\n"
                       "press Next\n"
                       "press Finish\n",
                       &seen);
    EXPECT_EQ(code, 1) << seen;
    EXPECT_EQ(seen.find("shown: dialog 104"), std::string::npos) << "the welcome page never shows";
    EXPECT_TRUE(transcript::InOrder(seen, {"shown: dialog 141", "presses Back", "1002 Edit \"NEWBOX\"", "1031 Button [x]",
                               "presses Finish (\"&Install\")", "installed successfully"}));
    EXPECT_TRUE(ServiceEntry());
    const std::string software = C("WINNT/system32/config/SOFTWARE");
    EXPECT_EQ(e2e::HiveText(software, "Quorvel\\Tessiv", "NewComputerName"), "NEWBOX");
    // "remove" with "quiet" takes both away without a word.
    EXPECT_EQ(Program("-remove -quiet", "", &seen), 255);
    EXPECT_EQ(seen.find("box "), std::string::npos) << seen;
    EXPECT_FALSE(ServiceEntry());
    EXPECT_EQ(e2e::HiveText(software, "Quorvel\\Tessiv", "NewComputerName"), "");

    e2e::fs::remove_all(dir_);
    MakeWithProgram("nt4-workstation");
    code = Program("-start", "", &seen);
    EXPECT_EQ(code, 1) << seen;
    EXPECT_EQ(seen.find("operator: "), std::string::npos) << "nobody pressed anything";
    EXPECT_TRUE(transcript::InOrder(seen, {"shown: dialog 106", "shown: dialog 146", "Stage 9: Updating Registry Information",
                               "shutdown: InitiateSystemShutdownA: restart", "closed: wizard \"\" with 1"}));
    EXPECT_TRUE(ServiceEntry());
    BootNow();
    ExpectJobDone(true);
    EXPECT_FALSE(ServiceEntry());
}

// Every start-up refusal and every bad option, file name and computer name, on the command
// line or typed into the wizard: its message, the exit code, and the machine unchanged.
TEST_F(WizardRun, BadInputIsRefusedWithItsMessageAndChangesNothing) {
    const std::string longPath = "C:\\" + std::string(300, 'x') + ".log";
    const std::string cancel = "";  // the start ends before any wizard
    // A wizard page walked to the field, the bad value given, the page refused, then Cancel.
    auto onPage = [](const std::string& page, const std::string& steps) {
        return page == "options"
                   ? "wait for \"*Welcome\"\npress Next\npress Next\nwait for \"*Program Options\"\n" + steps +
                         "press Finish\npress Cancel\n"
                   : "wait for \"*Welcome\"\npress Next\nwait for \"*Computer Information\"\n" + steps +
                         "press Next\npress Cancel\n";
    };
    const struct {
        const char* preset;
        const char* confFrom;
        const char* confTo;
        std::string args;
        std::string script;
        int exitCode;
        std::string message;
    } rows[] = {
        // The start-up's checks, each before the next: an invalid option is only seen after the
        // controls and the role, and before the rights.
        {"nt4-workstation", "user = Administrator", "user = User1", "", cancel, 255,
         "Error: You do not have enough permissions to run this utility."},
        {"nt4-workstation", "user = Administrator", "user = User1", "-bogus", cancel, 255, "Invalid command line option!"},
        {"nt4-workstation", "[drive C]", "[modules]\nmissing = RICHED32.DLL\n\n[drive C]", "-bogus", cancel, 255,
         "Error: Unable to initialize controls."},
        {"w2k-member", "[drive C]", "[netapi]\nserver_type = 0x100B\n\n[drive C]", "-bogus", cancel, 255,  // a controller
         "This utility cannot be used on Active Directory domain controllers!"},
        {"nt4-workstation", "", "", "-remove", cancel, 255, "Service Not Installed."},
        {"nt4-workstation", "", "", "-remove -install", cancel, 255, "'-remove' cannot be combined with '-install'"},
        // Options.
        {"nt4-workstation", "", "", "-bogus", cancel, 255, "Invalid command line option!  Command line option: bogus."},
        {"nt4-workstation", "", "", "-name:ABCDEFGHIJKLMNOP", cancel, 255, "is too long"},
        {"nt4-workstation", "", "", "-name:BAD*NAME", cancel, 255, "contains characters that a computer name cannot hold"},
        {"nt4-workstation", "", "", "-log:\\\\server\\logs\\run.log", cancel, 255, "cannot write a log file to a UNC path"},
        {"nt4-workstation", "", "", "-log:" + longPath, cancel, 255, "is too long.\n\nA path can have at most 259"},
        {"nt4-workstation", "", "", "-log:Q:\\NoSuchFolder\\run.log", cancel, 255,
         "The folder 'Q:\\NoSuchFolder' does not exist."},
        {"nt4-workstation", "", "", "-data:C:\\sync.dat", cancel, 255, "A data file is only used for primary and backup"},
        {"nt4-bdc", "", "", "-data:C:\\missing.dat", cancel, 255,
         "The data file C:\\missing.dat cannot be found or cannot be opened!"},
        {"nt4-pdc", "", "", "-data:\\\\server\\sync.dat", cancel, 255, "cannot read or write a data file from a UNC path"},
        {"nt4-pdc", "", "", "-data:Q:\\NoSuchFolder\\sync.dat", cancel, 255, "The folder 'Q:\\NoSuchFolder' does not exist."},
        {"nt4-workstation", "", "", "-deletenow:" + longPath, cancel, 255, "is too long"},
        // The wizard's fields.
        {"nt4-workstation", "", "", "", onPage("options", "type 1002 \"BAD*NAME\"\n"), 0,
         "A computer name cannot contain the character *."},
        {"nt4-workstation", "", "", "", onPage("options", "type 1002 \"PC.12\"\n"), 0,
         "A computer name cannot contain the character .."},
        {"nt4-workstation", "", "", "", onPage("options", "check 1014\ntype 1016 \"\"\n"), 0,
         "You must specify a log file or uncheck the option before proceeding"},
        {"nt4-workstation", "", "", "", onPage("options", "check 1014\ntype 1016 \"\\\\server\\logs\\run.log\"\n"), 0,
         "Tessiv cannot write a log file to a UNC path."},
        {"nt4-workstation", "", "", "", onPage("options", "check 1014\ntype 1016 \"Q:\\NoSuchFolder\\run.log\"\n"), 0,
         "The folder 'Q:\\NoSuchFolder' does not exist."},
        {"nt4-pdc", "", "", "", onPage("info", "type 1021 \"\"\n"), 0,
         "You must specify a synchronization file or uncheck the option before proceeding"},
        {"nt4-pdc", "", "", "", onPage("info", "type 1021 \"\\\\server\\sync.dat\"\n"), 0,
         "Tessiv cannot read or write a data file from a UNC path."},
        {"nt4-pdc", "", "", "", onPage("info", "type 1021 \"Q:\\NoSuchFolder\\sync.dat\"\n"), 0,
         "The folder 'Q:\\NoSuchFolder' does not exist."},
        {"nt4-bdc", "", "", "", onPage("info", "type 1021 \"C:\\missing.dat\"\n"), 0,
         "The data file C:\\missing.dat cannot be found or cannot be opened!"},
    };
    std::string machineOf;  // preset and machine.conf edit of the machine in dir_
    e2e::Snapshot before;
    for (const auto& row : rows) {
        std::string which = std::string(row.preset) + row.confFrom + row.confTo;
        if (which != machineOf) {
            e2e::fs::remove_all(dir_);
            MakeWithProgram(row.preset, row.confFrom, row.confTo);
            before = e2e::Take(dir_);
            machineOf = which;
        }
        // A wizard left open by mistake is closed with Escape rather than waited for.
        std::string seen;
        int code = Program(row.args, "idle 3\n" + row.script, &seen);
        SCOPED_TRACE(row.args + "\n" + row.script);
        EXPECT_EQ(code, row.exitCode) << seen;
        EXPECT_TRUE(transcript::InOrder(seen, {"box \"Quorvel Tessiv Service\"", row.message}));
        EXPECT_EQ(seen.find("box \"", seen.find("box \"") + 1), std::string::npos) << "one box only\n" << seen;
        e2e::ExpectSame(before, e2e::Take(dir_));
        EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
        EXPECT_FALSE(ServiceEntry());
    }
}

}  // namespace
