// The computer name change on NT 4.0, 2000 and XP, in a workgroup and as a domain
// member; the prompt through the status window's message; the names NT refuses.
#include <gtest/gtest.h>

#include <cstring>

#include "identity/computer_name.h"
#include "identity/system_functions.h"
#include "unit/identity/identity_fixture.h"

namespace {

const char kTcpip[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
const char kWinlogon[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char kNames[] = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\";

// What the stand-in for the status window does with the prompt.
enum class Operator { kOk, kEdit, kCancel, kTooLong };
Operator g_operator;
int g_asked;
bool g_requestPublished;

LRESULT CALLBACK StatusWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != AskNewComputerName) return DefWindowProcA(window, message, wParam, lParam);
    ++g_asked;
    int* accepted = reinterpret_cast<int*>(wParam);
    NewNameRequest* request = reinterpret_cast<NewNameRequest*>(lParam);
    if (!accepted || !request) return 1;
    g_requestPublished = newNameRequest == request && *accepted == 0 && request->name[0] == 0;
    // The dialog opens with the current name.
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameA(request->name, &size);
    if (g_operator == Operator::kCancel) return 1;
    if (g_operator == Operator::kEdit) strcpy(request->name, "newpc");
    if (g_operator == Operator::kTooLong) strcpy(request->name, "ABCDEFGHIJKLMNOPQRST");
    *accepted = 1;
    return 1;
}

}  // namespace

class ComputerNameTest : public IdentityTest {
protected:
    void StartVersion(const std::string& version, bool member = false) {
        TestMachineSetup setup;
        setup.version = version;
        if (member) {
            setup.primaryDomainName = "QDOMAIN";
            setup.primaryDomainSid = TestSid(7, 8, 9);
        }
        StartJob(setup);
        jobSettings->changeComputerName = 1;
        RegistryKey winlogon(HKEY_LOCAL_MACHINE, kWinlogon);
        ASSERT_EQ(winlogon.Open(TRUE, FALSE, 0), 0);
        ASSERT_EQ(winlogon.WriteString("DefaultDomainName", member ? "QDOMAIN" : "NTWKS01"), 0);
    }
    HWND StatusWindow(Operator answer) {
        g_operator = answer;
        g_asked = 0;
        g_requestPublished = false;
        WNDCLASSA wc{};
        wc.lpfnWndProc = StatusWindowProc;
        wc.lpszClassName = "TestStatusWindow";
        RegisterClassA(&wc);
        currentDialog = CreateWindowExA(0, "TestStatusWindow", "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                        nullptr, nullptr);
        return currentDialog;
    }
    static DWORD StoredTrustFlag() {
        HKEY key = nullptr;
        DWORD value = 99, size = sizeof value;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv", 0, KEY_READ, &key) == ERROR_SUCCESS) {
            RegQueryValueExA(key, "EstDomTrust", nullptr, nullptr, (LPBYTE)&value, &size);
            RegCloseKey(key);
        }
        return value;
    }
};

TEST_F(ComputerNameTest, Nt4WorkgroupNameFromTheCommandLine) {
    StartVersion("4.0");
    strcpy(jobSettings->newComputerName, "pc-12");
    EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameChanged);
    EXPECT_EQ(ActiveName(), "NTWKS01");  // until the next start
    EXPECT_EQ(Text(std::string(kNames) + "ComputerName", "ComputerName"), "pc-12");
    EXPECT_EQ(Text(kTcpip, "Hostname"), "pc-12");
    EXPECT_EQ(Text(kWinlogon, "DefaultDomainName"), "PC-12");
    EXPECT_EQ(Text(kWinlogon, "AltDefaultDomainName"), "<none>");
    EXPECT_EQ(jobSettings->establishDomainTrust, 1u);
    EXPECT_EQ(StoredTrustFlag(), 1u);
    EXPECT_EQ(Log(), "\nStage 3: Changing Computer Name\nNew Computer Name: pc-12\n");
    EXPECT_TRUE(Boxes().empty());

    Restart();
    EXPECT_EQ(ActiveName(), "pc-12");
    EXPECT_EQ(Text(std::string(kNames) + "ActiveComputerName", "ComputerName"), "pc-12");
    EXPECT_EQ(Text(kTcpip, "Hostname"), "pc-12");
    EXPECT_EQ(Text(kWinlogon, "DefaultDomainName"), "PC-12");
}

TEST_F(ComputerNameTest, Windows2000AndXpUseTheExtendedCall) {
    for (const char* version : {"5.0", "5.1"}) {
        SCOPED_TRACE(version);
        StartVersion(version);
        strcpy(jobSettings->newComputerName, "pc-12");
        EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameChanged);
        EXPECT_EQ(Text(std::string(kNames) + "ComputerName", "ComputerName"), "PC-12");
        EXPECT_EQ(Text(kTcpip, "NV Hostname"), "pc-12");
        EXPECT_EQ(Text(kTcpip, "Hostname"), "<none>");  // nothing written by the program on this path
        EXPECT_EQ(Text(kWinlogon, "DefaultDomainName"), "PC-12");
        // Only Windows 2000 keeps the second logon-screen value.
        EXPECT_EQ(Text(kWinlogon, "AltDefaultDomainName"), std::string(version) == "5.0" ? "PC-12" : "<none>");
        Restart();
        EXPECT_EQ(ActiveName(), "PC-12");
        EXPECT_EQ(Text(kTcpip, "Hostname"), "pc-12");
        EXPECT_EQ(Text(kWinlogon, "DefaultDomainName"), "PC-12");
        EndMachine();
    }
}

TEST_F(ComputerNameTest, DomainMemberKeepsItsLogonDomain) {
    for (const char* version : {"4.0", "5.0"}) {
        SCOPED_TRACE(version);
        StartVersion(version, true);
        strcpy(jobSettings->newComputerName, "PC-12");
        EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameChanged);
        EXPECT_EQ(Text(kWinlogon, "DefaultDomainName"), "QDOMAIN");
        EXPECT_EQ(Text(kWinlogon, "AltDefaultDomainName"), "<none>");
        EXPECT_EQ(jobSettings->establishDomainTrust, 1u);
        EndMachine();
    }
}

TEST_F(ComputerNameTest, RefusedNamesFailTheStep) {
    StartVersion("4.0");
    strcpy(jobSettings->newComputerName, "pc/12");  // taken as given from the command line
    EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameFailed);
    ntsim::FaultAdd({"SetComputerNameA", ERROR_ACCESS_DENIED, 0, "", false});
    strcpy(jobSettings->newComputerName, "pc-12");
    EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameFailed);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Box("error icon", "Error 87 setting new computer name"),
                                                 Box("error icon", "Error 5 setting new computer name")}));
    EXPECT_EQ(jobSettings->establishDomainTrust, 0u);
    EXPECT_EQ(Text(kTcpip, "Hostname"), "<none>");
    EXPECT_EQ(Text(kWinlogon, "DefaultDomainName"), "NTWKS01");
    EndMachine();

    // Windows 2000 whose kernel32 does not give out the extended call.
    StartVersion("5.0");
    ntsim::FaultAdd({"GetProcAddress", ERROR_PROC_NOT_FOUND, 0, "SetComputerNameExA", false});
    strcpy(jobSettings->newComputerName, "pc-12");
    EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameFailed);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{
                           Box("error icon", "Error 127 setting new computer name via SetComputerNameEx()")}));
    EXPECT_EQ(Text(std::string(kNames) + "ComputerName", "ComputerName"), "NTWKS01");
}

TEST_F(ComputerNameTest, PromptOkEditAndCancel) {
    StartVersion("4.0");
    StatusWindow(Operator::kOk);
    EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameChanged);  // the current name again
    EXPECT_EQ(g_asked, 1);
    EXPECT_TRUE(g_requestPublished);
    EXPECT_EQ(newNameRequest, nullptr);
    EXPECT_STREQ(jobSettings->newComputerName, "NTWKS01");
    EXPECT_EQ(Text(kTcpip, "Hostname"), "NTWKS01");
    EXPECT_EQ(jobSettings->establishDomainTrust, 1u);

    jobSettings->newComputerName[0] = 0;
    jobSettings->establishDomainTrust = 0;
    g_operator = Operator::kEdit;
    EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameChanged);
    EXPECT_STREQ(jobSettings->newComputerName, "newpc");
    EXPECT_EQ(Text(kWinlogon, "DefaultDomainName"), "NEWPC");

    jobSettings->newComputerName[0] = 0;
    jobSettings->establishDomainTrust = 0;
    g_operator = Operator::kCancel;
    EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameSkipped);
    EXPECT_EQ(jobSettings->newComputerName[0], 0);
    EXPECT_EQ(jobSettings->establishDomainTrust, 0u);
    EXPECT_EQ(Text(std::string(kNames) + "ComputerName", "ComputerName"), "newpc");

    // A name the dialog should have refused is not cut to fit.
    g_operator = Operator::kTooLong;
    EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameFailed);
    EXPECT_EQ(jobSettings->newComputerName[0], 0);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Box("error icon", "A computer name can be at most 15 characters long.")}));

    ntsim::FaultAdd({"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 0, "", false});
    EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameFailed);
    EXPECT_EQ(Boxes().back(), Box("error icon", "Error: Out of Memory"));
    EXPECT_EQ(g_asked, 4);
}

TEST(ComputerNameCheck, LengthAndCharacters) {
    char message[128];
    for (const char* good : {"PC-12", "A", "ABCDEFGHIJKLMNO", "pc 12", "pc.12", "PC_12"})
        EXPECT_TRUE(CheckComputerName(good, message, sizeof message)) << good;
    struct {
        const char* name;
        const char* message;
    } bad[] = {{"", "Please enter a computer name."},
               {"ABCDEFGHIJKLMNOP", "A computer name can be at most 15 characters long."},
               {" PC", "A computer name cannot begin or end with a space."},
               {"PC ", "A computer name cannot begin or end with a space."},
               {"PC\t1", "A computer name cannot contain control characters."},
               {"PC*1", "A computer name cannot contain the character *."},
               {"PC\\1", "A computer name cannot contain the character \\."},
               {"a=b", "A computer name cannot contain the character =."}};
    for (const auto& b : bad) {
        EXPECT_FALSE(CheckComputerName(b.name, message, sizeof message)) << b.name;
        EXPECT_STREQ(message, b.message);
    }
    EXPECT_FALSE(CheckComputerName(nullptr, nullptr, 0));
}
