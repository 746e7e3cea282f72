// The process token through the Win32 calls: user, groups, privileges and their adjustment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine_fixture.h"
#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/security/sd.h"

namespace {

class TokenTest : public MachineTest {
protected:
    HANDLE Open(DWORD access) {
        HANDLE h = nullptr;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), access, &h));
        return h;
    }
    std::vector<BYTE> Info(HANDLE h, TOKEN_INFORMATION_CLASS cls) {
        DWORD need = 0;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(GetTokenInformation(h, cls, nullptr, 0, &need));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
        std::vector<BYTE> buf(need + 16, 0xEE);
        DWORD got = 0;
        EXPECT_TRUE(GetTokenInformation(h, cls, buf.data(), need, &got));
        EXPECT_EQ(got, need);
        EXPECT_EQ(buf[need], 0xEE) << "wrote past the reported length";
        return buf;
    }
    // Attributes of a privilege in the token, or -1 when it does not hold it.
    long PrivilegeState(HANDLE h, const char* name) {
        auto buf = Info(h, TokenPrivileges);
        LUID luid;
        EXPECT_TRUE(LookupPrivilegeValueA(nullptr, name, &luid));
        TOKEN_PRIVILEGES* tp = (TOKEN_PRIVILEGES*)buf.data();
        for (DWORD i = 0; i < tp->PrivilegeCount; ++i)
            if (tp->Privileges[i].Luid.LowPart == luid.LowPart) return (long)tp->Privileges[i].Attributes;
        return -1;
    }
    BOOL Enable(HANDLE h, const char* name, DWORD attrs = SE_PRIVILEGE_ENABLED) {
        TOKEN_PRIVILEGES tp = {1, {{{0, 0}, attrs}}};
        EXPECT_TRUE(LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid));
        SetLastError(0xdeadbeef);
        return AdjustTokenPrivileges(h, FALSE, &tp, 0, nullptr, nullptr);
    }
};

TEST_F(TokenTest, SystemUserAndGroups) {
    Attach("SYSTEM", true);
    HANDLE h = Open(TOKEN_QUERY);
    auto user = Info(h, TokenUser);
    EXPECT_EQ(ntsim::SidToText((const uint8_t*)((TOKEN_USER*)user.data())->User.Sid, 68), "S-1-5-18");
    auto groups = Info(h, TokenGroups);
    TOKEN_GROUPS* tg = (TOKEN_GROUPS*)groups.data();
    std::vector<std::string> texts;
    for (DWORD i = 0; i < tg->GroupCount; ++i) texts.push_back(ntsim::SidToText((const uint8_t*)tg->Groups[i].Sid, 68));
    EXPECT_EQ(texts, (std::vector<std::string>{"S-1-5-32-544", "S-1-1-0", "S-1-5-11"}));
    EXPECT_TRUE(tg->Groups[0].Attributes & SE_GROUP_OWNER);
    EXPECT_TRUE(CloseHandle(h));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(TokenTest, AdministrativePrivilegesStartDisabled) {
    Attach("SYSTEM", true);
    HANDLE h = Open(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES);
    for (const char* name : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME, SE_TAKE_OWNERSHIP_NAME, SE_SHUTDOWN_NAME})
        EXPECT_EQ(PrivilegeState(h, name), 0) << name;
    EXPECT_EQ(PrivilegeState(h, SE_CHANGE_NOTIFY_NAME), SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT);
    EXPECT_TRUE(Enable(h, SE_BACKUP_NAME));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(PrivilegeState(h, SE_BACKUP_NAME), SE_PRIVILEGE_ENABLED);
    // Disable again, reading the previous state.
    TOKEN_PRIVILEGES tp = {1, {{{0, 0}, 0}}}, prev;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_BACKUP_NAME, &tp.Privileges[0].Luid));
    DWORD len = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(AdjustTokenPrivileges(h, FALSE, &tp, 4, &prev, &len)) << "previous state does not fit";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(len, (DWORD)sizeof(TOKEN_PRIVILEGES));
    EXPECT_EQ(PrivilegeState(h, SE_BACKUP_NAME), SE_PRIVILEGE_ENABLED) << "nothing changed";
    EXPECT_TRUE(AdjustTokenPrivileges(h, FALSE, &tp, sizeof prev, &prev, &len));
    EXPECT_EQ(prev.PrivilegeCount, 1u);
    EXPECT_EQ(prev.Privileges[0].Attributes, (DWORD)SE_PRIVILEGE_ENABLED);
    EXPECT_EQ(PrivilegeState(h, SE_BACKUP_NAME), 0);
    CloseHandle(h);
}

TEST_F(TokenTest, PrivilegeNotHeldIsNotAllAssigned) {
    Attach("Nobody");  // an account the machine does not know: an ordinary, unprivileged token
    HANDLE h = Open(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES);
    for (const char* name : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME, SE_TAKE_OWNERSHIP_NAME, SE_SHUTDOWN_NAME}) {
        EXPECT_EQ(PrivilegeState(h, name), -1) << name;
        EXPECT_TRUE(Enable(h, name));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ALL_ASSIGNED) << name;
    }
    CloseHandle(h);
}

TEST_F(TokenTest, AccessOfTheTokenHandle) {
    Attach("SYSTEM", true);
    HANDLE h = Open(TOKEN_QUERY);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Enable(h, SE_BACKUP_NAME));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(h);
    h = Open(TOKEN_ADJUST_PRIVILEGES);
    DWORD need = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetTokenInformation(h, TokenUser, nullptr, 0, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(h);
}

TEST_F(TokenTest, PrivilegeNames) {
    Attach("SYSTEM", true);
    LUID luid = {0xdead, 0};
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "sebackupprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 17u);
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &luid));
    EXPECT_EQ(luid.LowPart, 19u);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SUCH_PRIVILEGE);
    char name[64];
    DWORD cch = sizeof name;
    LUID restore = {18, 0};
    ASSERT_TRUE(LookupPrivilegeNameA(nullptr, &restore, name, &cch));
    EXPECT_STREQ(name, "SeRestorePrivilege");
}

TEST_F(TokenTest, InjectedFaults) {
    Attach("SYSTEM", true);
    ntsim::FaultAdd({"OpenProcessToken", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
    HANDLE h = nullptr;
    SetLastError(0);
    EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    h = Open(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
    ntsim::FaultAdd({"AdjustTokenPrivileges", ERROR_ACCESS_DENIED, 1, "", false});
    EXPECT_FALSE(Enable(h, SE_BACKUP_NAME));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(PrivilegeState(h, SE_BACKUP_NAME), 0) << "a failed adjustment changes nothing";
    ntsim::FaultAdd({"LookupPrivilegeValueA", ERROR_NO_SUCH_PRIVILEGE, 0, "SeRestore*", false});
    LUID luid;
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME, &luid));
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, SE_BACKUP_NAME, &luid));
    CloseHandle(h);
}

}  // namespace
