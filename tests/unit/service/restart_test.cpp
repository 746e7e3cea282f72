// The restart on each version class, and the Novell logon screen operated by the
// logon-screen thread: the operator makes a screen saver and the "Novell Login" window
// appear, the transcript keeps the keystrokes and pauses in order.
#include <algorithm>
#include <chrono>
#include <thread>

#include "identity/role_checks.h"
#include "ntsim/kernel/clock.h"
#include "ntsim/machine/shutdown.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/access.h"
#include "ntsim/services/event_log.h"
#include "service/restart.h"
#include "unit/service/service_fixture.h"

namespace {

class RestartTest : public ServiceTest {
protected:
    std::string preset_ = "nt4-workstation";
    int ends_ = 0;
    ntsim::MachineOptions MachineOptions() override {
        ntsim::MachineOptions o;
        o.preset = preset_;
        return o;
    }
    void SetUp() override {
        ServiceTest::SetUp();
        ntsim::SetShutdownProcessEnd([this](unsigned) { ++ends_; });
        ProcessMutex.Create();
    }
    void TearDown() override {
        ntsim::ShutdownReset();
        ntsim::SetShutdownProcessEnd(nullptr);
        ntsim::ClockUseReal();
        logonScreenWaitMs = 30000;
        ServiceTest::TearDown();
    }
    std::vector<std::string> Shutdowns() {
        std::vector<std::string> out;
        for (const auto& e : ntsim::EventLogRead(dir_))
            if (e.log == "System") out.push_back(e.strings.empty() ? "" : e.strings[0]);
        return out;
    }
    void SetWinlogon(const char* name, const char* value) {
        HKEY key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", 0,
                                KEY_ALL_ACCESS, &key), 0);
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)value, (DWORD)strlen(value) + 1), 0);
        RegCloseKey(key);
    }
    std::string Winlogon(const char* name) {
        HKEY key;
        char value[260] = "";
        DWORD size = sizeof value - 1;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", 0,
                          KEY_READ, &key) == 0) {
            if (RegQueryValueExA(key, name, nullptr, nullptr, (LPBYTE)value, &size) != 0) strcpy(value, "(none)");
            RegCloseKey(key);
        }
        return value;
    }
    // The service on the interactive window station, as the desktop switch leaves it.
    void NovellLogonScreen(const std::string& script) {
        ntsim::ProcessDetach();
        Attach("SYSTEM", true);
        ProcessMutex.Create();
        SetWinlogon("ginadll", "NWGINA.DLL");
        SetWinlogon("ShutdownWithoutLogon", "0");
        HWINSTA station = OpenWindowStationA("WinSta0", TRUE, MAXIMUM_ALLOWED);
        ASSERT_NE(station, nullptr);
        ASSERT_TRUE(SetProcessWindowStation(station));
        std::string error;
        ASSERT_TRUE(ntsim::OperatorLoadScript(script, "operator", &error)) << error;
        ntsim::ClockUseSimulated();
    }
    // What the thread did on the screen, in order, with the pauses between.
    static std::vector<std::string> Screen() {
        std::vector<std::string> out;
        for (const auto& line : ntsim::TranscriptLines())
            if (line.rfind("key ", 0) == 0 || line.rfind("foreground", 0) == 0 || line.rfind("closes", 0) == 0 ||
                line.rfind("appears", 0) == 0 || line.rfind("broadcast", 0) == 0 ||
                line.rfind("shutdown", 0) == 0)
                out.push_back(line);
        return out;
    }
};

TEST_F(RestartTest, TheStandardLogonRestartsWithoutWaitingOnEachVersionClass) {
    for (const char* preset : {"nt4-workstation", "w2k-member", "xp-standalone"}) {
        SCOPED_TRACE(preset);
        TearDown();
        preset_ = preset;
        SetUp();
        auto start = std::chrono::steady_clock::now();
        RestartComputer("System Configuration Updated by Quorvel Tessiv Utility", 5);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        if (std::string(preset) == "xp-standalone") {
            EXPECT_EQ(Shutdowns(), (std::vector<std::string>{"NtShutdownSystem: restart at once"}));
            EXPECT_EQ(ends_, 1);
        } else {
            EXPECT_EQ(Shutdowns(), (std::vector<std::string>{
                                       "InitiateSystemShutdownA: restart in 5 s, applications forced closed, message "
                                       "\"System Configuration Updated by Quorvel Tessiv Utility\""}));
            EXPECT_EQ(ends_, 0);  // the countdown is still running
        }
        for (const auto& line : ntsim::TranscriptLines()) EXPECT_EQ(line.rfind("key ", 0), std::string::npos) << line;
        // The privilege is switched off again.
        EXPECT_FALSE(ntsim::PrivilegeEnabled(SE_SHUTDOWN_NAME));
    }
}

TEST_F(RestartTest, TheNovellLogonWindowIsCalledUpAndOperated) {
    // A screen saver runs; the logon window comes on the secure-attention key; a window
    // with the same words in lower case does not count.
    NovellLogonScreen("window \"Screen Saver\" desktop Screen-saver\n"
                      "window \"Novell Login\" desktop Winlogon on ctrl-alt-del\n"
                      "window \"novell login\" desktop Winlogon\n");
    RestartComputer("System Configuration Updated by Quorvel Tessiv Utility", 5);
    EXPECT_EQ(Winlogon("ShutdownWithoutLogon"), "0");
    auto to = [](const std::string& key) { return "key " + key + " (scan 1) to \"Novell Login\""; };
    std::vector<std::string> expected = {
        "appears: window \"Screen Saver\" of another program on WinSta0\\Screen-saver",
        "appears: window \"novell login\" of another program on WinSta0\\Winlogon",
        "key Alt down (scan 1)", "key Alt up (scan 1)", "key Escape down (scan 1)", "key Escape up (scan 1)",
        "key Escape down (scan 1)", "key Escape up (scan 1)",
        // First pass: the screen saver only, no secure-attention key.
        "closes: window \"Screen Saver\" of another program (WM_CLOSE)",
        // Second pass.
        "key Alt down (scan 1)", "key Alt up (scan 1)"};
    std::vector<std::string> screen = Screen();
    ASSERT_GT(screen.size(), expected.size());
    EXPECT_EQ(screen[expected.size()].rfind("broadcast WM_HOTKEY id 0, 0x2E0003", 0), 0u) << screen[expected.size()];
    screen.erase(screen.begin() + (long)expected.size());
    for (const std::string& line :
         {std::string("appears: window \"Novell Login\" of another program on WinSta0\\Winlogon"),
          std::string("foreground: \"Novell Login\""), to("Alt down"), to("S down"), to("S up"), to("Alt up"),
          to("Alt down"), to("R down"), to("R up"), to("Alt up"), to("Enter down"), to("Enter up"),
          std::string("shutdown: InitiateSystemShutdownA: restart in 5 s, applications forced closed, message "
                      "\"System Configuration Updated by Quorvel Tessiv Utility\"")})
        expected.push_back(line);
    EXPECT_EQ(screen, expected);
    // The pauses: 4 s, a first pass of 1 s, a second of 3.5 s, and 2 s before each of the three keys.
    EXPECT_EQ(ntsim::ClockSleptMs(), 14500u);
}

TEST_F(RestartTest, TheLogonScreenThreadMayFinishAfterTheRestartStoppedWaiting) {
    NovellLogonScreen("window \"Novell Login\" desktop Winlogon on ctrl-alt-del\n");
    // The restart no longer waits: the thread signals an event the restart has let go of.
    logonScreenWaitMs = 0;
    RestartComputer("Original Configuration Restored\nby Quorvel Tessiv Utility", 5);
    // The thread goes on to its last keystroke and writes the old value back after that.
    const std::string last = "key Enter up (scan 1) to \"Novell Login\"";
    auto done = [&] {
        auto screen = Screen();
        return std::find(screen.begin(), screen.end(), last) != screen.end();
    };
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(done());
    for (int i = 0; i < 200 && Winlogon("ShutdownWithoutLogon") != "0"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Winlogon("ShutdownWithoutLogon"), "0");
    EXPECT_EQ(Shutdowns().size(), 1u);
}

// The restart request comes once the logon-screen thread has finished: its last keystroke
// is before the shutdown, and the hives the machine wrote as it went down hold
// "ShutdownWithoutLogon" as it was before the handling.
TEST_F(RestartTest, TheLogonThreadHasFinishedBeforeTheShutdown) {
    NovellLogonScreen("window \"Novell Login\" desktop Winlogon on ctrl-alt-del\n");
    RestartComputer("System Configuration Updated by Quorvel Tessiv Utility", 5);
    std::vector<std::string> screen = Screen();
    ASSERT_GE(screen.size(), 2u);
    EXPECT_EQ(screen.back().rfind("shutdown: InitiateSystemShutdownA: restart in 5 s", 0), 0u) << screen.back();
    EXPECT_EQ(screen[screen.size() - 2], "key Enter up (scan 1) to \"Novell Login\"");
    EXPECT_EQ(Shutdowns().size(), 1u);
    // The machine goes down when the 5-second countdown is over, writing its hives.
    for (int i = 0; i < 1000 && ends_ == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(ends_, 1);
    ntsim::Hive software;
    ASSERT_EQ(ntsim::RegfLoadFile(dir_ + "/drives/c/WINNT/system32/config/SOFTWARE", &software), 0u);
    ntsim::HiveKey* key = software.root.get();
    for (const char* name : {"Microsoft", "Windows NT", "CurrentVersion", "Winlogon"})
        key = key ? key->FindSubkey(name) : nullptr;
    ASSERT_NE(key, nullptr);
    const ntsim::HiveValue* value = key->FindValue("ShutdownWithoutLogon");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, (uint32_t)REG_SZ);
    std::string text;
    for (size_t i = 0; i + 1 < value->data.size() && (value->data[i] || value->data[i + 1]); i += 2)
        text += (char)value->data[i];
    EXPECT_EQ(text, "0");
}

TEST_F(RestartTest, NoHandlingWhenSomebodyIsLoggedOn) {
    // nwgina.dll, but the input desktop is the user's (a logged-on administrator's process).
    SetWinlogon("ginadll", "nwgina.dll");
    EXPECT_FALSE(NeedsLogonScreenHandling());
    SetWinlogon("ginadll", "msgina.dll");
    ntsim::ProcessDetach();
    Attach("SYSTEM", true);
    EXPECT_FALSE(NeedsLogonScreenHandling());
    SetWinlogon("ginadll", "NWGINA.DLL");
    EXPECT_TRUE(NeedsLogonScreenHandling());
}

}  // namespace
