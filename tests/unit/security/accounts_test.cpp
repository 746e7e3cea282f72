// Accounts from the machine's SAM and SECURITY hives: name and SID lookups, the user
// name, and the tokens of the administrator and of an ordinary user.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "machine_fixture.h"
#include "nt/win32.h"
#include "ntsim/security/access.h"
#include "ntsim/kernel/faults.h"

namespace {

class AccountsTest : public MachineTest {
protected:
    struct Found {
        BOOL ok;
        DWORD error;
        std::string sid, domain;
        SID_NAME_USE use;
    };
    Found ByName(const char* name) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        char domain[64];
        DWORD cb = sizeof sid, cch = sizeof domain;
        Found f{};
        SetLastError(0xdeadbeef);
        f.ok = LookupAccountNameA(nullptr, name, sid, &cb, domain, &cch, &f.use);
        f.error = GetLastError();
        if (f.ok) {
            f.sid = ntsim::SidToText(sid, cb);
            f.domain = domain;
            EXPECT_EQ(cb, GetLengthSid(sid));
            EXPECT_EQ(cch, strlen(domain));
        }
        return f;
    }
};

TEST_F(AccountsTest, NamesOfEveryKind) {
    Attach("Administrator");
    std::string m = kMachineSidText;
    Found f = ByName("Administrator");
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.sid, m + "-500");
    EXPECT_EQ(f.domain, "NTWKS01");
    EXPECT_EQ(f.use, SidTypeUser);
    f = ByName("ntwks01\\user1");
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.sid, m + "-1000");
    f = ByName("BUILTIN\\Administrators");
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.sid, "S-1-5-32-544");
    EXPECT_EQ(f.domain, "BUILTIN");
    EXPECT_EQ(f.use, SidTypeAlias);
    f = ByName("Power Users");
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.sid, "S-1-5-32-547");
    f = ByName("Everyone");
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.sid, "S-1-1-0");
    EXPECT_EQ(f.domain, "");
    EXPECT_EQ(f.use, SidTypeWellKnownGroup);
    EXPECT_EQ(ByName("NT AUTHORITY\\SYSTEM").sid, "S-1-5-18");
    EXPECT_EQ(ByName("CREATOR OWNER").sid, "S-1-3-0");
    EXPECT_EQ(ByName("Authenticated Users").sid, "S-1-5-11");
    EXPECT_EQ(ByName("INTERACTIVE").sid, "S-1-5-4");
    EXPECT_EQ(ByName("SERVICE").sid, "S-1-5-6");
    f = ByName("NTWKS01");
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.sid, kMachineSidText);
    EXPECT_EQ(f.use, SidTypeDomain);
    for (const char* missing : {"Nobody", "OTHERDOM\\Administrator", "BUILTIN\\User1", "NTWKS01\\"}) {
        f = ByName(missing);
        EXPECT_FALSE(f.ok) << missing;
        EXPECT_EQ(f.error, (DWORD)ERROR_NONE_MAPPED) << missing;
    }
}

TEST_F(AccountsTest, BufferSizesReported) {
    Attach("Administrator");
    BYTE sid[SECURITY_MAX_SID_SIZE];
    char domain[64];
    memset(sid, 0xAA, sizeof sid);
    DWORD cb = 8, cch = sizeof domain;
    SID_NAME_USE use;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LookupAccountNameA(nullptr, "User1", sid, &cb, domain, &cch, &use));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(cb, 28u);
    EXPECT_EQ(cch, 8u);
    EXPECT_EQ(sid[0], 0xAA);
    cb = 0, cch = 0;
    EXPECT_FALSE(LookupAccountNameA(nullptr, "User1", nullptr, &cb, nullptr, &cch, &use));
    EXPECT_EQ(cb, 28u);
    EXPECT_EQ(cch, 8u);
    // The SID back to its name.
    cb = sizeof sid, cch = sizeof domain;
    ASSERT_TRUE(LookupAccountNameA(nullptr, "User1", sid, &cb, domain, &cch, &use));
    char name[64];
    DWORD cchName = 3;
    cch = sizeof domain;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LookupAccountSidA(nullptr, sid, name, &cchName, domain, &cch, &use));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(cchName, 6u);
    cchName = sizeof name;
    cch = sizeof domain;
    ASSERT_TRUE(LookupAccountSidA(nullptr, sid, name, &cchName, domain, &cch, &use));
    EXPECT_STREQ(name, "User1");
    EXPECT_EQ(cchName, 5u);
    EXPECT_STREQ(domain, "NTWKS01");
    EXPECT_EQ(use, SidTypeUser);
    *GetSidSubAuthority(sid, 4) = 4321;
    cchName = sizeof name, cch = sizeof domain;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LookupAccountSidA(nullptr, sid, name, &cchName, domain, &cch, &use));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NONE_MAPPED);
}

TEST_F(AccountsTest, UserName) {
    Attach("User1");
    char buf[32];
    DWORD size = 3;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetUserNameA(buf, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 6u);
    size = sizeof buf;
    ASSERT_TRUE(GetUserNameA(buf, &size));
    EXPECT_STREQ(buf, "User1");
    EXPECT_EQ(size, 6u);
}

bool Holds(const char* privilege) {
    std::vector<BYTE> buf = TokenInformation(TokenPrivileges);
    LUID luid;
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, privilege, &luid));
    TOKEN_PRIVILEGES* tp = (TOKEN_PRIVILEGES*)buf.data();
    for (DWORD i = 0; i < tp->PrivilegeCount; ++i)
        if (tp->Privileges[i].Luid.LowPart == luid.LowPart) return true;
    return false;
}

TEST_F(AccountsTest, AdministratorToken) {
    Attach("Administrator");
    std::string m = kMachineSidText;
    EXPECT_EQ(TokenGroupSids(), (std::vector<std::string>{m + "-513", "S-1-5-32-544", "S-1-1-0", "S-1-5-4", "S-1-5-11"}));
    for (const char* p : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME, SE_TAKE_OWNERSHIP_NAME, SE_SHUTDOWN_NAME})
        EXPECT_TRUE(Holds(p)) << p;
    EXPECT_FALSE(Holds(SE_TCB_NAME));
}

TEST_F(AccountsTest, OrdinaryUserAndServiceTokens) {
    Attach("User1");
    std::string m = kMachineSidText;
    EXPECT_EQ(TokenGroupSids(), (std::vector<std::string>{m + "-513", "S-1-5-32-545", "S-1-1-0", "S-1-5-4", "S-1-5-11"}));
    for (const char* p : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME, SE_TAKE_OWNERSHIP_NAME, SE_SHUTDOWN_NAME})
        EXPECT_FALSE(Holds(p)) << p;
    EXPECT_TRUE(Holds(SE_CHANGE_NOTIFY_NAME));
    ntsim::ProcessDetach();
    Attach("Administrator", true);  // a service under an account: SERVICE instead of INTERACTIVE
    EXPECT_EQ(TokenGroupSids(), (std::vector<std::string>{m + "-513", "S-1-5-32-544", "S-1-1-0", "S-1-5-6", "S-1-5-11"}));
}

TEST_F(AccountsTest, DatabaseFromTheHivesAtFirstUse) {
    // A machine whose SAM is unreadable has no local accounts, only the well-known ones.
    std::filesystem::remove(ConfigDir() + "SAM");
    std::filesystem::remove(ConfigDir() + "SECURITY");
    Attach("Administrator");
    EXPECT_EQ(ByName("Administrator").error, (DWORD)ERROR_NONE_MAPPED);
    EXPECT_TRUE(ByName("BUILTIN\\Administrators").ok);
    EXPECT_FALSE(Holds(SE_BACKUP_NAME));
}

TEST_F(AccountsTest, InjectedFaults) {
    Attach("Administrator");
    ntsim::FaultAdd({"LookupAccountNameA", ERROR_NOT_ENOUGH_MEMORY, 0, "*User1", false});
    EXPECT_EQ(ByName("NTWKS01\\User1").error, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(ByName("Administrator").ok);
    ntsim::FaultAdd({"GetUserNameA", ERROR_ACCESS_DENIED, 1, "", false});
    char buf[32];
    DWORD size = sizeof buf;
    EXPECT_FALSE(GetUserNameA(buf, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(GetUserNameA(buf, &size));
}

}  // namespace

namespace {

// The accounts of a machine exactly as it is created, without the test hives.
class FreshMachineAccounts : public FreshMachine {
protected:
    void Make(const char* preset, const char* sid) {
        ntsim::MachineOptions options;
        options.preset = preset;
        options.sid = sid;
        MakeMachine(options);
    }
};

TEST_F(FreshMachineAccounts, AccountsFollowTheMachineSid) {
    Make("nt4-workstation", "S-1-5-21-10-20-30");
    BYTE sid[SECURITY_MAX_SID_SIZE];
    char domain[64];
    DWORD cb = sizeof sid, cch = sizeof domain;
    SID_NAME_USE use;
    // Before the process belongs to a machine only the well-known names resolve, and
    // nothing of that is kept once it does.
    EXPECT_FALSE(LookupAccountNameA(nullptr, "Administrator", sid, &cb, domain, &cch, &use));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NONE_MAPPED);
    cb = sizeof sid, cch = sizeof domain;
    EXPECT_TRUE(LookupAccountNameA(nullptr, "Everyone", sid, &cb, domain, &cch, &use));
    EXPECT_FALSE(ntsim::PrivilegeEnabled(SE_CHANGE_NOTIFY_NAME));
    Attach("Administrator");
    EXPECT_TRUE(ntsim::PrivilegeEnabled(SE_CHANGE_NOTIFY_NAME));
    cb = sizeof sid, cch = sizeof domain;
    ASSERT_TRUE(LookupAccountNameA(nullptr, "Administrator", sid, &cb, domain, &cch, &use)) << GetLastError();
    EXPECT_EQ(ntsim::SidToText(sid, cb), "S-1-5-21-10-20-30-500");
    cb = sizeof sid, cch = sizeof domain;
    ASSERT_TRUE(LookupAccountNameA(nullptr, "User1", sid, &cb, domain, &cch, &use));
    EXPECT_EQ(ntsim::SidToText(sid, cb), "S-1-5-21-10-20-30-1000");
    std::vector<std::string> groups = TokenGroupSids();
    EXPECT_NE(std::find(groups.begin(), groups.end(), "S-1-5-32-544"), groups.end())
        << "the administrator is in Administrators";
}

}  // namespace
