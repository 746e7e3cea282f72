// The command line: parsing every form of every option, and the validation's
// boxes in their order with their icons.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/command_line.h"
#include "identity/role_checks.h"
#include "unit/engine/engine_fixture.h"

using CommandLine = EngineTest;

namespace {
// Arguments as start-up hands them over: one leading "-" or "/" removed.
CommandLineOptions Parse(std::initializer_list<const char*> args) {
    CommandLineOptions o;
    size_t i = 0;
    for (const char* a : args) {
        bool prefix = a[0] == '-' || a[0] == '/';
        o.ParseOption(prefix ? a + 1 : a, prefix, ++i == args.size());
    }
    return o;
}
}  // namespace

TEST(CommandLineParse, EveryOptionInEveryCase) {
    for (const char* a : {"/Name:PC7", "-NAME:PC7", "name:PC7"}) {
        CommandLineOptions o = Parse({a});
        EXPECT_EQ(o.nameGiven, 1) << a;
        EXPECT_EQ(o.name, "PC7") << a;
    }
    EXPECT_EQ(Parse({"-names"}).name, "");
    EXPECT_EQ(Parse({"-names"}).nameGiven, 1);
    EXPECT_EQ(Parse({"name"}).name, "");
    EXPECT_EQ(Parse({"-nofs"}).fileSystem, 0);
    EXPECT_EQ(Parse({"NOFS"}).fileSystem, 0);
    EXPECT_EQ(Parse({"-nofs", "-fs"}).fileSystem, 1);
    EXPECT_EQ(Parse({}).fileSystem, 1);
    CommandLineOptions all = Parse({"-install", "/REMOVE", "clean", "-Delete", "-verbose", "-sysprep", "-autoinstall",
                                    "-quiet", "-d!"});
    EXPECT_EQ(all.install + all.remove + all.clean + all.deleteProgram + all.verbose + all.sysprep + all.autoinstall +
                  all.quiet + all.debug,
              9);
    EXPECT_EQ(all.invalid, 0);

    CommandLineOptions log = Parse({"-logfile.txt"});
    EXPECT_EQ(log.logGiven, 1);
    EXPECT_EQ(log.logFile, "ile.txt");
    EXPECT_EQ(Parse({"-log"}).logFile, "");
    EXPECT_EQ(Parse({"-log"}).logGiven, 1);
    EXPECT_EQ(Parse({"-LOG:C:\\Logs\\Run.log"}).logFile, "C:\\Logs\\Run.log");
    CommandLineOptions data = Parse({"-DATA:c:\\sync.dat"});
    EXPECT_EQ(data.dataGiven, 1);
    EXPECT_EQ(data.dataFile, "c:\\sync.dat");
    EXPECT_EQ(Parse({"-data:"}).dataFile, "");
    EXPECT_EQ(Parse({"-starting"}).start, 1);
    EXPECT_EQ(Parse({"/START"}).start, 1);
    CommandLineOptions del = Parse({"-deletenow:\"C:\\Program Files\\tessiv.exe\""});
    EXPECT_EQ(del.deleteNow, 1);
    EXPECT_EQ(del.deleteNowPath, "C:\\Program Files\\tessiv.exe");
    EXPECT_EQ(Parse({"-deletenow:\"\"\"x\"\""}).deleteNowPath, "x");

    CommandLineOptions bad = Parse({"-bogus", "-install", "--second"});
    EXPECT_EQ(bad.invalid, 1);
    EXPECT_EQ(bad.invalidText, "-second");  // the last one, without its one removed prefix
    CommandLineOptions none;
    none.ParseOption(nullptr, FALSE, TRUE);
    EXPECT_EQ(none.invalid, 1);
    EXPECT_EQ(Parse({"d"}).invalid, 1);
    EXPECT_EQ(Parse({"installs"}).invalid, 1);  // equality options are not prefixes
}

TEST_F(CommandLine, ValidationOrderMessagesAndIcons) {
    Start();
    machineRole = kStandAlone;
    struct Case {
        std::initializer_list<const char*> args;
        std::string box;
    } cases[] = {
        {{"-bogus", "-remove", "-install"}, Box("warning icon", "Invalid command line option!  Command line option: bogus.")},
        {{"-remove", "-install", "-data:"},
         Box("warning icon", "Error: Conflicting Parameters:\\n\\n'-remove' cannot be combined with '-install'")},
        {{"-remove", "-start"}, Box("warning icon", "Error: Conflicting Parameters:\\n\\n'remove' cannot be combined with '-start'")},
        {{"-data:"}, Box("warning icon", "Error: Datafile name omitted from command line option")},
        {{"-data:c:\\x.dat", "-clean"},
         Box("error icon", "A data file is only used for primary and backup domain controllers!")},
        {{"-clean", "-install"},
         Box("warning icon", "Error: Conflicting Parameters:\\n\\n'-install' option cannot be combined with '-clean'")},
        {{"-sysprep", "-start"},
         Box("warning icon", "Error: Conflicting Parameters:\\n\\n'-sysprep' option cannot be combined with '-start'")},
        {{"-log:\\\\server\\share\\x.log"},
         Box("error icon", "Tessiv cannot write a log file to a UNC path.  Please specify a filename on the local machine.")},
        {{"-name:SIXTEENCHARSNAME"},
         Box("warning icon", "Error: The computer name 'SIXTEENCHARSNAME' is too long.\\n\\nA computer name can have at most 15 characters.")},
        {{"-name:BAD*NAME"},
         Box("warning icon", "Error: The computer name 'BAD*NAME' contains characters that a computer name cannot hold.")},
    };
    for (const Case& c : cases) {
        ntsim::TranscriptClear();
        CommandLineOptions o = Parse(c.args);
        EXPECT_EQ(o.ValidateOptions(), 0) << c.box;
        std::vector<std::string> boxes = Boxes();
        ASSERT_EQ(boxes.size(), 1u) << c.box;
        // The transcript shows line ends as written in the text.
        std::string expected = c.box;
        for (size_t at; (at = expected.find("\\n")) != std::string::npos;) expected.replace(at, 2, "\n");
        EXPECT_EQ(boxes[0], expected);
    }
    ntsim::TranscriptClear();
    EXPECT_EQ(Parse({"-name:FIFTEENCHARSXXX", "-nofs", "-log:c:\\x.log", "-start", "-quiet"}).ValidateOptions(), 1);
    EXPECT_EQ(Parse({"-name"}).ValidateOptions(), 1);  // an empty name is asked for later
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(CommandLine, DataFileRulesFollowTheRole) {
    Start();
    std::ofstream(Host("sync.dat")) << "Old-Domain-SID: S-1-5-21-1-2-3\n";
    machineRole = kStandAlone;
    EXPECT_EQ(Parse({"-data:c:\\sync.dat"}).ValidateOptions(), 0);  // even though the file exists
    machineRole = kDomainMember;  // reads the file, as a backup controller does
    EXPECT_EQ(Parse({"-data:c:\\sync.dat"}).ValidateOptions(), 1);
    machineRole = kPrimaryDomainController;
    EXPECT_EQ(Parse({"-data:c:\\new.dat"}).ValidateOptions(), 1);  // written later, need not exist
    EXPECT_EQ(Parse({"-data:c:\\new\\sync.dat"}).ValidateOptions(), 1);  // nor its folder: the writer makes it
    EXPECT_EQ(Parse({"-data:q:\\new\\sync.dat"}).ValidateOptions(), 0);  // but not on a drive that is not there
    machineRole = kBackupDomainController;
    EXPECT_EQ(Parse({"-data:c:\\sync.dat"}).ValidateOptions(), 1);
    EXPECT_EQ(Parse({"-data:c:\\missing.dat"}).ValidateOptions(), 0);
    // Both UNC: only the data file's message.
    machineRole = kPrimaryDomainController;
    EXPECT_EQ(Parse({"-data:\\\\srv\\share\\s.dat", "-log:\\\\srv\\share\\l.log"}).ValidateOptions(), 0);
    machineRole = kStandAlone;
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[0], Box("error icon", "A data file is only used for primary and backup domain controllers!"));
    EXPECT_EQ(boxes[1], Box("error icon",
                            "Error: The folder 'q:\\new' does not exist.\n\nPlease specify a file in an existing folder."));
    EXPECT_EQ(boxes[2], Box("error icon", "The data file c:\\missing.dat cannot be found or cannot be opened!"));
    EXPECT_EQ(boxes[3], Box("error icon",
                            "Tessiv cannot read or write a data file from a UNC path.  Please specify a filename on the "
                            "local machine."));
}

TEST_F(CommandLine, ServiceBoxesAndOverlongPaths) {
    Start(TestMachineSetup(), "SYSTEM", true);
    machineRole = kStandAlone;
    EXPECT_EQ(Parse({"-remove", "-install"}).ValidateOptions(), 0);
    std::string longLog = "-log:c:\\" + std::string(300, 'l');
    EXPECT_EQ(Parse({longLog.c_str()}).ValidateOptions(), 0);
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("warning icon",
                            "Error: Conflicting Parameters:\n\n'-remove' cannot be combined with '-install'", true));
    EXPECT_NE(boxes[1].find("is too long"), std::string::npos) << boxes[1];
}

// A new name follows the rules of the machine's Windows version, as stage 3's call will
// judge it: NT 4.0's SetComputerNameA takes no space or dot, 2000's first DNS label no dot,
// no symbol and not digits alone.
namespace {
void ExpectNameRules(bool nt4, std::vector<std::string> boxes) {
    ASSERT_EQ(boxes.size(), nt4 ? 2u : 4u);
    EXPECT_EQ(boxes[0], ProgramBoxes::Box("warning icon", "Error: The computer name 'pc.12' contains characters that a "
                                                          "computer name cannot hold."));
    EXPECT_EQ(boxes[1], ProgramBoxes::Box("warning icon", "Error: The computer name 'PC 12' contains characters that a "
                                                          "computer name cannot hold."));
}
}  // namespace

TEST_F(CommandLine, TheNewNameFollowsTheRulesOfNt4) {
    Start();  // NT 4.0
    ProcessMutex.Create();  // the version class is read again
    machineRole = kStandAlone;
    EXPECT_EQ(Parse({"-name:pc.12"}).ValidateOptions(), 0);
    EXPECT_EQ(Parse({"-name:PC 12"}).ValidateOptions(), 0);
    EXPECT_EQ(Parse({"-name:PC!1"}).ValidateOptions(), 1);
    EXPECT_EQ(Parse({"-name:12345"}).ValidateOptions(), 1);
    EXPECT_EQ(Parse({"-name:pc_12"}).ValidateOptions(), 1);
    ExpectNameRules(true, Boxes());
    ProcessMutex.Close();
}

TEST_F(CommandLine, TheNewNameFollowsTheRulesOfWindows2000) {
    TestMachineSetup setup;
    setup.version = "5.0";
    Start(setup);
    ProcessMutex.Create();
    machineRole = kStandAlone;
    EXPECT_EQ(Parse({"-name:pc.12"}).ValidateOptions(), 0);
    EXPECT_EQ(Parse({"-name:PC 12"}).ValidateOptions(), 0);
    EXPECT_EQ(Parse({"-name:PC!1"}).ValidateOptions(), 0);
    EXPECT_EQ(Parse({"-name:12345"}).ValidateOptions(), 0);
    EXPECT_EQ(Parse({"-name:pc_12"}).ValidateOptions(), 1);
    ExpectNameRules(false, Boxes());
    ProcessMutex.Close();
}

// A file the job writes may lie in folders that do not exist yet: the log's and the
// synchronization file's writers make them. A file in the way of the folder, or a drive that
// is not there, is refused as before.
TEST_F(CommandLine, WrittenFilesMayLieInFoldersStillToBeMade) {
    Start();
    std::ofstream(Host("plain.txt")) << "a file, not a folder";
    machineRole = kPrimaryDomainController;
    EXPECT_EQ(Parse({"-log:c:\\logs\\tessiv\\run.log", "-data:c:\\sync\\new\\domain.dat"}).ValidateOptions(), 1);
    EXPECT_EQ(Parse({"-log:c:\\plain.txt\\run.log"}).ValidateOptions(), 0);
    EXPECT_EQ(Parse({"-log:q:\\logs\\run.log"}).ValidateOptions(), 0);
    EXPECT_EQ(Parse({"-log:\\logs\\run.log"}).ValidateOptions(), 1);  // below the current drive's root
    machineRole = kStandAlone;
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("error icon", "Error: The folder 'c:\\plain.txt' does not exist.\n\nPlease specify a file "
                                          "in an existing folder."));
    EXPECT_EQ(boxes[1], Box("error icon", "Error: The folder 'q:\\logs' does not exist.\n\nPlease specify a file in "
                                          "an existing folder."));
    // Nothing was made by the checks.
    EXPECT_FALSE(std::filesystem::exists(Host("logs")));
    EXPECT_FALSE(std::filesystem::exists(Host("sync")));
}
