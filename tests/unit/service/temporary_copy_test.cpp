// The temporary copy end to end on a simulated machine: the service's clean-up removes its
// entry and starts the copy; the copy deletes the program (in use until the service has
// ended) and schedules itself; after the restart neither file exists.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "ntsim/machine/boot.h"
#include "ntsim/kernel/clock.h"
#include "ntsim/kernel/processes.h"
#include "service/temporary_copy.h"
#include "unit/service/service_fixture.h"

namespace {

class TemporaryCopyTest : public ServiceTest {
protected:
    bool Exists(const std::string& relative) {
        struct stat st;
        return stat(Host(relative).c_str(), &st) == 0;
    }
    std::string Pending() {
        char data[4096] = {};
        DWORD size = sizeof data - 2, type = 0;
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                          &key) != 0)
            return "";
        LONG err = RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, (LPBYTE)data, &size);
        RegCloseKey(key);
        std::string text(data, err == 0 ? size : 0);
        while (!text.empty() && text.back() == 0) text.pop_back();
        for (char& c : text)
            if (c == 0) c = '|';
        return text;
    }
};

// As on NT, a process exists once the call that creates it returns: a parent that ends at
// once (the service after starting the copy) never leaves a moment with neither listed.
TEST_F(TemporaryCopyTest, ALaunchedProcessIsListedAsSoonAsTheLaunchReturns) {
    std::filesystem::create_directories(Host("Tools"));
    std::filesystem::copy_file(SERVICE_PROBE, Host("Tools/tessiv.exe"));
    for (int round = 0; round < 5; ++round) {
        ntsim::LaunchRequest request{dir_, "C:\\Tools\\tessiv.exe", "\"C:\\Tools\\tessiv.exe\" -help", "Administrator",
                                     false, ""};
        pid_t pid = 0;
        ASSERT_EQ(ntsim::ProcessLaunch(request, &pid), 0u);
        bool listed = false;
        for (const auto& p : ntsim::ProcessTableList(dir_)) listed = listed || p.pid == pid;
        EXPECT_TRUE(listed) << "round " << round;
        uint32_t code = 0;
        ASSERT_TRUE(ntsim::ProcessWaitExit(pid, 60000, &code));
    }
}

TEST_F(TemporaryCopyTest, TheProgramAndItsCopyAreGoneAfterTheRestart) {
    const std::string program = "Program Files/Tessiv/tessiv.exe";  // a path with spaces
    std::filesystem::create_directories(Host("Program Files/Tessiv"));
    std::filesystem::copy_file(SERVICE_PROBE, Host(program));
    ntsim::ProcessDetach();

    // Installed by a program inside the machine, as the logged-on administrator.
    std::string error;
    ASSERT_TRUE(ntsim::ProcessAttach(dir_, "Administrator", false, &error));
    ntsim::LaunchRequest install{dir_, "C:\\Program Files\\Tessiv\\tessiv.exe",
                                 "\"C:\\Program Files\\Tessiv\\tessiv.exe\" install", "Administrator", false, ""};
    pid_t pid = 0;
    ASSERT_EQ(ntsim::ProcessLaunch(install, &pid), 0u);
    uint32_t code = 99;
    ASSERT_TRUE(ntsim::ProcessWaitExit(pid, 60000, &code));
    EXPECT_EQ(code, 0u);
    ntsim::ProcessDetach();

    // The boot starts the service; it removes its entry and launches the copy, then ends.
    std::vector<std::string> report;
    ASSERT_EQ(ntsim::MachineBoot(dir_, &error, &report, 60000), 0u) << error;
    // The entry names the program in quotes.
    EXPECT_EQ(report, (std::vector<std::string>{"service Tessiv started: \"C:\\Program Files\\Tessiv\\tessiv.exe\"",
                                                "service Tessiv ended with exit code 0"}));
    for (int i = 0; i < 3000 && !ntsim::ProcessTableList(dir_).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ntsim::ProcessTableList(dir_).empty());
    // The copy deleted the program at once (not at the restart) and scheduled itself.
    EXPECT_FALSE(Exists(program));
    EXPECT_TRUE(Exists("TEMP/tessiv.exe"));
    ASSERT_TRUE(ntsim::ProcessAttach(dir_, "Administrator", false, &error));
    EXPECT_EQ(Pending(), "\\??\\C:\\TEMP\\tessiv.exe");
    EXPECT_EQ(serviceControl.IsServiceInstalled(), 0);
    ntsim::ProcessDetach();

    ASSERT_EQ(ntsim::MachineBoot(dir_, &error, &report, 60000), 0u) << error;
    EXPECT_FALSE(Exists(program));
    EXPECT_FALSE(Exists("TEMP/tessiv.exe"));
    EXPECT_TRUE(ntsim::ProcessAttach(dir_, "Administrator", false, &error));
}

TEST_F(TemporaryCopyTest, AProgramStillInUseAfterFifteenSecondsGoesAtTheRestart) {
    std::filesystem::create_directories(Host("Tools"));
    std::filesystem::copy_file(SERVICE_PROBE, Host("Tools/tessiv.exe"));
    // Another process of the machine runs the program file.
    pid_t other = fork();
    if (other == 0) {
        pause();
        _exit(0);
    }
    {
        std::ofstream table(dir_ + "/.processes");
        table << other << "\tC:\\Tools\\tessiv.exe\t" << std::filesystem::canonical(Host("Tools/tessiv.exe")).string() << "\n";
    }
    ntsim::CurrentProcess().imagePath = "C:\\TEMP\\tessiv.exe";
    ntsim::ClockUseSimulated();
    DeleteProgramFile("C:\\Tools\\tessiv.exe");
    uint64_t slept = ntsim::ClockSleptMs();
    ntsim::ClockUseReal();
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    // Whole seconds by the clock: the fifteenth second may have begun already.
    EXPECT_GE(slept, 14000u);
    EXPECT_LE(slept, 15100u);
    EXPECT_TRUE(Exists("Tools/tessiv.exe"));
    EXPECT_EQ(Pending(), "\\??\\C:\\Tools\\tessiv.exe||\\??\\C:\\TEMP\\tessiv.exe");
}

}  // namespace
