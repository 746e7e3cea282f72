// Domain trust re-establishment on a simulated network: a renamed member joins its
// domain again on NT 4.0, 2000 and XP; each step's stop with its log line; the
// workgroup fallback and its marker; bad answers from the controller.
#include <gtest/gtest.h>

#include <cstring>

#include "identity/computer_name.h"
#include "identity/domain_trust.h"
#include "ntsim/net/network.h"
#include "ntsim/security/access.h"
#include "ntsim/security/sam_records.h"
#include "unit/identity/identity_fixture.h"

namespace {

// The domain's section comes last, so that a test's lines without a header add to it.
std::string Network(const std::string& extra) {
    std::string members = extra.find("members =") == std::string::npos ? "members = NTWKS01, WORKSTATION-042\n" : "";
    return "[clock]\nmode = simulated\n[domain QDOMAIN]\nsid = S-1-5-21-7-8-9\npdc = NTPDC1\n" + members + extra;
}

// The default value of a SECURITY\Policy key as the security authority sees it, or "<none>".
std::string PolicyBytes(const std::string& path) {
    ntsim::SystemAccessScope system;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("SECURITY\\Policy\\" + path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<none>";
    char data[256];
    DWORD size = sizeof data;
    std::string out = RegQueryValueExA(key, nullptr, nullptr, nullptr, (LPBYTE)data, &size) == ERROR_SUCCESS
                          ? std::string(data, size)
                          : "<none>";
    RegCloseKey(key);
    return out;
}

std::string Wide(const std::string& text) {
    std::string out;
    for (char c : text) out += std::string{c, 0};
    return out;
}

}  // namespace

class DomainTrustTest : public IdentityTest {
protected:
    void StartMember(const std::string& version, const std::string& conf = "", const std::string& domain = "QDOMAIN") {
        TestMachineSetup setup;
        setup.version = version;
        setup.primaryDomainName = domain;
        setup.primaryDomainSid = TestSid(7, 8, 9);
        setup.confExtra = Network(conf);
        StartJob(setup);
    }
    // The primary domain's name (UTF-16 bytes, out of NT's counted-string record) and SID size.
    std::string Domain() {
        std::string record = PolicyBytes("PolPrDmN");
        std::vector<uint8_t> name;
        if (record == "<none>" || !ntsim::PolicyNameOfRecord(std::vector<uint8_t>(record.begin(), record.end()), &name))
            return "<no record>";
        return std::string(name.begin(), name.end()) + "|" + std::to_string(PolicyBytes("PolPrDmS").size());
    }
};

TEST_F(DomainTrustTest, RenamedMemberRejoinsOnEveryVersion) {
    for (const char* version : {"4.0", "5.0", "5.1"}) {
        SCOPED_TRACE(version);
        // A controller that answers slowly is waited for.
        StartMember(version, "delay = 2500\n");
        jobSettings->changeComputerName = 1;
        strcpy(jobSettings->newComputerName, "Workstation-042");
        ASSERT_EQ(ApplyNewComputerName(jobSettings), kNameChanged);
        Restart();
        fflush(log_);
        long before = ftell(log_);
        EXPECT_TRUE(ReestablishDomainTrust());
        EXPECT_EQ(Log().substr(before), "   Domain Trust Re-Established.\n");
        EXPECT_TRUE(Boxes().empty());
        // The password an unsecured join expects: the name in lower case, cut to 14 characters.
        EXPECT_EQ(PolicyBytes("Secrets\\$MACHINE.ACC\\CurrVal"), Wide("workstation-04"));
        EXPECT_EQ(Domain(), Wide("QDOMAIN") + "|24");
        EXPECT_EQ(Text("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "DefaultDomainName"), "QDOMAIN");
        bool nt5 = std::string(version) == "5.0";
        // Windows 2000 joins; the others re-create the trusted-domain object.
        EXPECT_EQ(PolicyBytes("Domains\\S-1-5-21-7-8-9\\TrDmName"), nt5 ? "<none>" : Wide("QDOMAIN"));
        EXPECT_EQ(Text("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters", "NV Domain"), nt5 ? "QDOMAIN" : "<none>");
        EXPECT_TRUE(ntsim::NetConnections().empty());  // the null session is gone again
        EndMachine();
    }
}

TEST_F(DomainTrustTest, EachStepStopsWithItsLogLine) {
    const std::string nope = "[fault]\nfunction = ";
    struct Case {
        const char* what;
        std::string conf;
        std::string log;
        std::string box;     // the error box shown, if any
        bool member;         // the policy names a domain with its SID
    } cases[] = {
        {"controller", "[netapi]\nserver_type = 0x1018\n", "", "", true},
        {"workgroup", "", "WARNING: Error getting domain name\n", "", false},
        {"local name", nope + "NetUserModalsGet\nerror = 5\n", "WARNING: Error getting local machine name\n", "", true},
        {"policy", nope + "LsaOpenPolicy\nerror = 0xC0000022\nnth = 2\n", "WARNING: Error getting domain name\n", "",
         true},
        {"no controller", "controller = silent\n", "WARNING: Error obtaining name of domain controller\n", "", true},
        {"session", nope + "NetUseAdd\nerror = 53\n", "WARNING: Error establishing session with domain controller\n", "",
         true},
        {"account", "members = NTPDC2\n",
         "\nError: Invalid account name specified in query to obtain computer account in domain\n"
         "WARNING: New Computer Account Doesn't Exist in Domain\n",
         "Error: Invalid account name specified in query to obtain computer account in domain", true},
        {"domain SID", nope + "NetUserModalsGet\nerror = 53\npath = \\\\NTPDC1\n",
         "WARNING: Error 53 obtaining domain SID\n", "", true},
        {"workstation policy", nope + "LsaOpenPolicy\nerror = 0xC0000022\nnth = 3\n",
         "WARNING: Error -1073741790 opening workstation policy\n", "", true},
        {"primary domain", nope + "LsaSetInformationPolicy\nerror = 0xC0000022\n",
         "WARNING: Error -1073741790 setting primary domain\n", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestMachineSetup setup;
        setup.primaryDomainName = c.member ? "QDOMAIN" : "WORKGROUP";
        if (c.member) setup.primaryDomainSid = TestSid(7, 8, 9);
        setup.confExtra = Network(c.conf);
        StartJob(setup);
        EXPECT_FALSE(ReestablishDomainTrust());
        EXPECT_EQ(Log(), c.log);
        EXPECT_EQ(Boxes(), c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{Box("error icon", c.box)});
        EndMachine();
    }
}

TEST_F(DomainTrustTest, AccountWaitTakesFifteenSecondsOnTheMachineClock) {
    StartMember("4.0", "members = NTPDC2\n");
    uint64_t start = ntsim::ClockSleptMs();
    WCHAR controller[] = u"\\\\NTPDC1", name[] = u"NTWKS01";
    EXPECT_FALSE(WaitForComputerAccount(controller, name));
    EXPECT_EQ(ntsim::ClockSleptMs() - start, 15000u);
    EndMachine();

    // Accounts the null session may not read count as present, after the whole wait.
    StartMember("4.0", "null_session = denied\n");
    start = ntsim::ClockSleptMs();
    EXPECT_TRUE(WaitForComputerAccount(controller, name));
    EXPECT_EQ(ntsim::ClockSleptMs() - start, 15000u);
    EXPECT_TRUE(Boxes().empty());
    // Found at once: no wait.
    EndMachine();
    StartMember("4.0");
    start = ntsim::ClockSleptMs();
    EXPECT_TRUE(WaitForComputerAccount(controller, name));
    EXPECT_EQ(ntsim::ClockSleptMs(), start);
}

TEST_F(DomainTrustTest, IpcSessionNames) {
    StartMember("4.0");
    EXPECT_TRUE(ConnectIpcSession(u"NTPDC1", TRUE));
    EXPECT_TRUE(ConnectIpcSession(u"\\\\ntpdc1", TRUE));
    EXPECT_EQ(ntsim::NetConnections(), std::vector<std::string>{"\\\\NTPDC1\\IPC$"});
    EXPECT_TRUE(ConnectIpcSession(u"\\\\NTPDC1", FALSE));
    EXPECT_TRUE(ConnectIpcSession(u"NTPDC1", FALSE));
    EXPECT_TRUE(ntsim::NetConnections().empty());
    EXPECT_FALSE(ConnectIpcSession(u"NTPDC1", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)NERR_UseNotFound);
    for (const WCHAR* bad : {(const WCHAR*)nullptr, u"", u"ABCDEFGHIJKLMNOP", u"\\\\ABCDEFGHIJKLMNOP"}) {
        SetLastError(0);
        EXPECT_FALSE(ConnectIpcSession(bad, TRUE));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_COMPUTERNAME);
    }
    EXPECT_FALSE(ConnectIpcSession(u"NTPDC9", TRUE));  // no such server on the network
}

TEST_F(DomainTrustTest, Windows2000JoinAnswers) {
    struct Case {
        const char* what;
        std::string conf;
        bool trusted;
        std::string box;
    } cases[] = {
        {"workstation starts late", "[netapi]\nworkstation = 12\n", true, ""},
        {"logon failure", "stale_accounts = NTWKS01\n", true, ""},
        {"already joined", "[fault]\nfunction = NetJoinDomain\nerror = 2691\n", true, ""},
        {"workstation never starts", "[netapi]\nworkstation = stopped\n", false,
         "Error: Timed out waiting for Workstation service to start"},
        {"refused", "[fault]\nfunction = NetJoinDomain\nerror = 5\n", false, "Error 5 joining domain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartMember("5.0", c.conf);
        EXPECT_EQ(ReestablishDomainTrust(), c.trusted);
        if (c.trusted) {
            EXPECT_TRUE(Boxes().empty());
            EXPECT_EQ(PolicyBytes("Secrets\\$MACHINE.ACC\\CurrVal"), Wide("ntwks01"));
        } else {
            EXPECT_EQ(Boxes(), std::vector<std::string>{Box("error icon", c.box)});
            EXPECT_EQ(Domain(), Wide("WORKGROUP") + "|0");  // the fallback
        }
        EndMachine();
    }
}

TEST_F(DomainTrustTest, WorkgroupFallbackOnceThenRefusal) {
    const std::string refuse = "[fault]\nfunction = LsaSetTrustedDomainInformation\nerror = 0xC0000022\n";
    StartMember("4.0", refuse);
    EXPECT_FALSE(ReestablishDomainTrust());
    EXPECT_EQ(Boxes(), std::vector<std::string>{Box("error icon", "Error -1073741790 setting domain trust relationship")});
    EXPECT_EQ(Domain(), Wide("WORKGROUP") + "|0");
    EXPECT_EQ(Text("Software\\Quorvel\\Tessiv", "WorkgroupBeforeDomain"), "1");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD values = 9;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    EXPECT_EQ(values, 1u);

    // The marker of that fallback turns the next failure into a refusal.
    ntsim::TranscriptClear();
    {
        ntsim::SystemAccessScope system;
        std::vector<uint8_t> name = ntsim::PolicyNameRecord("QDOMAIN");
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolPrDmN", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        RegSetValueExA(key, nullptr, 0, REG_BINARY, name.data(), (DWORD)name.size());
        RegCloseKey(key);
        std::vector<uint8_t> sid = TestSid(7, 8, 9);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolPrDmS", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        RegSetValueExA(key, nullptr, 0, REG_BINARY, sid.data(), 24);
        RegCloseKey(key);
    }
    EXPECT_FALSE(ReestablishDomainTrust());
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Box("error icon", "Error -1073741790 setting domain trust relationship"),
                                                 Box("error icon", "Error putting computer into domain")}));
    EXPECT_EQ(Text("Software\\Quorvel\\Tessiv", "WorkgroupBeforeDomain"), "0");
    EXPECT_EQ(Domain(), Wide("QDOMAIN") + "|24");
}

TEST_F(DomainTrustTest, LongNamesAndAnExistingTrustObject) {
    // A 20-character domain name is looked up by its first 15; a 20-character local
    // name gives a password of its first 14, in lower case.
    TestMachineSetup setup;
    setup.computerName = "ABCDEFGHIJKLMNOPQRST";
    setup.primaryDomainName = "LONGDOMAINNAME12345";
    setup.primaryDomainSid = TestSid(7, 8, 9);
    setup.confExtra = "[clock]\nmode = simulated\n[domain LONGDOMAINNAME1]\nsid = S-1-5-21-7-8-9\npdc = NTPDC1\n"
                      "members = ABCDEFGHIJKLMNOPQRST\n";
    StartJob(setup);
    // The object exists already: the collision is accepted.
    EXPECT_TRUE(ReestablishDomainTrust());
    EXPECT_TRUE(ReestablishDomainTrust());
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(PolicyBytes("Secrets\\$MACHINE.ACC\\CurrVal"), Wide("abcdefghijklmn"));
    EXPECT_EQ(Domain(), Wide("LONGDOMAINNAME1") + "|24");
}

TEST_F(DomainTrustTest, BadAnswersAreRefusedAndNothingIsReadPastThem) {
    struct Case {
        const char* answer;
        std::string log;
    } cases[] = {
        {"name-malformed", "Error: The domain controller's name in the answer is malformed or too long.\n"
                           "Error: The domain controller's name in the answer is malformed or too long.\n"
                           "WARNING: Error obtaining name of domain controller\n"},
        {"name-oversized", "Error: The domain controller's name in the answer is malformed or too long.\n"
                           "Error: The domain controller's name in the answer is malformed or too long.\n"
                           "WARNING: Error obtaining name of domain controller\n"},
        {"user-malformed", "Error: The domain controller answered with a malformed computer account record.\n"
                           "WARNING: New Computer Account Doesn't Exist in Domain\n"},
        {"user-oversized", "Error: The domain controller answered with a malformed computer account record.\n"
                           "WARNING: New Computer Account Doesn't Exist in Domain\n"},
        {"sid-malformed", "Error: The domain controller answered with a malformed domain SID.\n"
                          "WARNING: Error 1337 obtaining domain SID\n"},
        {"sid-oversized", "Error: The domain controller answered with a malformed domain SID.\n"
                          "WARNING: Error 1337 obtaining domain SID\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        StartMember("4.0", std::string("answer = ") + c.answer + "\n");
        EXPECT_FALSE(ReestablishDomainTrust());
        EXPECT_EQ(Log(), c.log);
        EXPECT_EQ(Domain(), Wide("QDOMAIN") + "|24");  // nothing changed
        EndMachine();
    }
}
