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
    // On every version (6 NT 4.0, 7 Windows 2000, 0 unknown).
    for (int version : {6, 7, 0}) {
        for (const char* good : {"PC-12", "A", "ABCDEFGHIJKLMNO", "PC_12", "pc12"})
            EXPECT_TRUE(CheckComputerNameForVersion(good, version, message, sizeof message)) << good << " " << version;
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
                   {"a=b", "A computer name cannot contain the character =."},
                   {"pc 12", "A computer name cannot contain a space."},
                   {"pc.12", "A computer name cannot contain the character .."}};
        for (const auto& b : bad) {
            EXPECT_FALSE(CheckComputerNameForVersion(b.name, version, message, sizeof message)) << b.name;
            EXPECT_STREQ(message, b.message);
        }
    }
    // NT 4.0: SetComputerNameA's character set; 2000 and later: a DNS host label.
    for (const char* name : {"PC!1", "PC{1}", "PC~1", "PC(1)", "12345"})
        EXPECT_TRUE(CheckComputerNameForVersion(name, 6, message, sizeof message)) << name;
    EXPECT_FALSE(CheckComputerNameForVersion("PC\xe9" "1", 6, message, sizeof message));
    for (const char* name : {"PC!1", "PC{1}", "PC~1", "PC(1)"}) {
        EXPECT_FALSE(CheckComputerNameForVersion(name, 7, message, sizeof message)) << name;
        EXPECT_EQ(std::string(message), std::string("A computer name cannot contain the character ") + name[2] + ".");
    }
    EXPECT_FALSE(CheckComputerNameForVersion("12345", 7, message, sizeof message));
    EXPECT_STREQ(message, "A computer name cannot be made of digits only.");
    EXPECT_TRUE(CheckComputerNameForVersion("PC\xe9" "1", 7, message, sizeof message));
    EXPECT_FALSE(CheckComputerName(nullptr, nullptr, 0));
}

// A name the check lets through is one the version's own call takes: the job never fails in
// stage 3 after every check accepted its name. The call's refusals leave the name as it was.
TEST_F(ComputerNameTest, EveryNameTheCheckAcceptsTheSystemTakes) {
    const char* names[] = {"PC 12", "pc.12", "PC!1", "PC~1", "PC(1)", "12345", "pc_12", "PC{1}", "PC-12"};
    for (const char* version : {"4.0", "5.0", "5.1"}) {
        SCOPED_TRACE(version);
        StartVersion(version);
        for (const char* name : names) {
            SCOPED_TRACE(name);
            char message[128];
            bool accepted = CheckComputerName(name, message, sizeof message);
            // Each call directly: the system's answer, whatever the check said.
            std::string before = Text(std::string(kNames) + "ComputerName", "ComputerName");
            BOOL taken;
            if (std::string(version) == "4.0") {
                taken = SetComputerNameA(name);
            } else {
                SystemFunctions functions;
                taken = functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, name);
            }
            if (!taken) {
                EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
                EXPECT_EQ(Text(std::string(kNames) + "ComputerName", "ComputerName"), before);
                EXPECT_FALSE(accepted) << "the check let through a name the system refuses";
            }
            if (accepted) {
                strcpy(jobSettings->newComputerName, name);
                EXPECT_EQ(ApplyNewComputerName(jobSettings), kNameChanged) << Log();
            }
        }
        EndMachine();
    }
}

// The system's own calls, as documented: SetComputerNameA takes letters, digits and
// ! @ # $ % ^ & ' ) ( . - _ { } ~; SetComputerNameExA takes a DNS host label (letters,
// digits, - and _, characters past ASCII; up to 63; not digits alone). A refused name
// fails with ERROR_INVALID_PARAMETER and changes nothing.
TEST_F(ComputerNameTest, TheSystemCallsTakeTheirDocumentedCharacters) {
    const std::string names = std::string(kNames) + "ComputerName";
    StartVersion("4.0");
    for (const char* name : {"A!@#$%^&')(.-_{", "}~", "12345"}) {
        EXPECT_TRUE(SetComputerNameA(name)) << name;
        EXPECT_EQ(Text(names, "ComputerName"), name);
    }
    for (const char* name : {"PC 12", "PC*1", "PC\xe9", "PC=1", "PC+1", "PC`1"}) {
        SetLastError(0);
        EXPECT_FALSE(SetComputerNameA(name)) << name;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << name;
        EXPECT_EQ(Text(names, "ComputerName"), "12345");
    }
    EndMachine();

    StartVersion("5.0");
    SystemFunctions functions;
    for (const char* name : {"pc_12", "PC-12"}) {
        EXPECT_TRUE(functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, name)) << name;
        EXPECT_EQ(Text(kTcpip, "NV Hostname"), name);
    }
    EXPECT_TRUE(functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, "PC\xe9"));  // "non-RFC", taken
    std::string label(63, 'a');
    EXPECT_TRUE(functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, label.c_str()));
    EXPECT_EQ(Text(names, "ComputerName"), std::string(15, 'A'));
    for (std::string name : {"pc.12", "PC 12", "12345", "PC!1", "PC~1", "PC&1", "PC(1)", "PC*1", "PC'1"}) {
        SetLastError(0);
        EXPECT_FALSE(functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, name.c_str())) << name;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << name;
        EXPECT_EQ(Text(kTcpip, "NV Hostname"), label);
    }
    EXPECT_FALSE(functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, (label + "a").c_str()));
    EndMachine();
}
