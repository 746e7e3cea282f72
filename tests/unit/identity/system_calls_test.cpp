// The simulated system calls the identity checks rely on: the clock, mutexes,
// modules and their version-dependent exports, the version record, the policy
// object, server and workstation information, the environment.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "nt/win32.h"
#include "ntsim/kernel/clock.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/modules.h"
#include "ntsim/security/sd.h"
#include "unit/identity/test_machine.h"

using SystemCalls = TestMachine;

TEST_F(SystemCalls, ClockIsRealByDefaultAndSimulatedSleepIsInstant) {
    Create();
    EXPECT_FALSE(ntsim::ClockIsSimulated());
    time_t before = time(nullptr);
    EXPECT_LE(before - ::time(nullptr), 1);  // the machine's clock is the host's

    ntsim::ClockUseSimulated(130000000000000000ULL, 5000);  // 2012-12-13 ...
    EXPECT_EQ(GetTickCount(), 5000u);
    time_t start = time(nullptr);
    auto wall = std::chrono::steady_clock::now();
    Sleep(30000);
    EXPECT_LT(std::chrono::steady_clock::now() - wall, std::chrono::seconds(1));
    EXPECT_EQ(GetTickCount(), 35000u);
    EXPECT_EQ(time(nullptr) - start, 30);
    EXPECT_EQ(ntsim::ClockSleptMs(), 30000u);
    SYSTEMTIME st;
    GetSystemTime(&st);
    EXPECT_EQ(st.wYear, 2012);
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    EXPECT_EQ(((uint64_t)ft.dwHighDateTime << 32 | ft.dwLowDateTime), 130000000000000000ULL + 30000ULL * 10000);
}

TEST_F(SystemCalls, ClockFromMachineConfAndForgottenAtDetach) {
    TestMachineSetup setup;
    setup.confExtra = "[clock]\nmode = simulated\nstart = 130000000000000000\ntick = 777\n";
    Create(setup);
    EXPECT_TRUE(ntsim::ClockIsSimulated());
    EXPECT_EQ(GetTickCount(), 777u);
    ntsim::ProcessDetach();
    EXPECT_FALSE(ntsim::ClockIsSimulated());
}

TEST_F(SystemCalls, MutexOwnershipRecursionAndAbandonment) {
    Create();
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // recursive
    EXPECT_TRUE(ReleaseMutex(m));
    DWORD other = 0;
    std::thread([&] { other = WaitForSingleObject(m, 10); }).join();
    EXPECT_EQ(other, (DWORD)WAIT_TIMEOUT);  // still owned once
    EXPECT_TRUE(ReleaseMutex(m));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);

    // A thread that ends holding it leaves it abandoned.
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(m, 1000), (DWORD)WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(CloseHandle(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), (DWORD)WAIT_FAILED);

    ntsim::FaultAdd({"CreateMutexA", ERROR_NOT_ENOUGH_MEMORY, 0, "", false});
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

typedef NTSTATUS(WINAPI* QuerySystemTime)(PLARGE_INTEGER);
typedef NTSTATUS(WINAPI* QueryInformationThread)(HANDLE, int, PVOID, ULONG, PULONG);

template <class F>
F As(FARPROC p) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

TEST_F(SystemCalls, NtdllExportsReadTheClock) {
    Create();
    ntsim::ClockUseSimulated(130000000000000000ULL, 1000);
    HMODULE ntdll = LoadLibraryA("NTDLL.DLL");
    ASSERT_NE(ntdll, nullptr);
    EXPECT_EQ(LoadLibraryA("ntdll"), ntdll);
    auto query = As<QuerySystemTime>(GetProcAddress(ntdll, "NtQuerySystemTime"));
    ASSERT_NE(query, nullptr);
    LARGE_INTEGER now;
    EXPECT_EQ(query(&now), STATUS_SUCCESS);
    EXPECT_EQ((uint64_t)now.QuadPart, 130000000000000000ULL);

    auto thread = As<QueryInformationThread>(GetProcAddress(ntdll, "NtQueryInformationThread"));
    ASSERT_NE(thread, nullptr);
    uint64_t times[4] = {1, 1, 1, 1}, again[4] = {};
    std::thread([&] {
        ntsim::ThreadRecordCreation();
        Sleep(250);
        EXPECT_EQ(thread((HANDLE)(LONG_PTR)-2, 1, times, 32, nullptr), STATUS_SUCCESS);
    }).join();
    EXPECT_EQ(times[0], 130000000000000000ULL);  // when it started, not when it asked
    EXPECT_EQ(thread((HANDLE)(LONG_PTR)-2, 1, again, 32, nullptr), STATUS_SUCCESS);
    EXPECT_NE(thread((HANDLE)(LONG_PTR)-2, 0, again, 32, nullptr), STATUS_SUCCESS);

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(ntdll, "NtNoSuchCall"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(ntdll));
    EXPECT_TRUE(FreeLibrary(ntdll));
    EXPECT_EQ(LoadLibraryA("NOSUCH.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);

    ntsim::FaultAdd({"GetProcAddress", ERROR_PROC_NOT_FOUND, 0, "NtQuerySystemTime", false});
    EXPECT_EQ(GetProcAddress(ntdll, "NtQuerySystemTime"), nullptr);
    EXPECT_NE(GetProcAddress(ntdll, "NtQueryInformationThread"), nullptr);
    ntsim::FaultAdd({"LoadLibraryA", ERROR_MOD_NOT_FOUND, 0, "NTDLL.DLL", false});
    EXPECT_EQ(LoadLibraryA("NTDLL.DLL"), nullptr);
}

static INT_PTR WINAPI Dummy() { return 7; }

TEST_F(SystemCalls, ExportsFollowTheWindowsVersion) {
    TestMachineSetup setup;
    setup.version = "4.0";
    Create(setup);
    ntsim::ModuleAddExport("NETAPI32.DLL", "NetJoinDomainForTest", &Dummy, 5, 0);
    HMODULE net = LoadLibraryA("netapi32.dll");
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(GetProcAddress(net, "NetJoinDomainForTest"), nullptr);  // NT 4.0 lacks it
    ntsim::ProcessDetach();
    setup.version = "5.0";
    std::filesystem::remove_all(dir_);
    Create(setup);
    net = LoadLibraryA("netapi32.dll");
    FARPROC p = GetProcAddress(net, "NetJoinDomainForTest");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p(), 7);
}

TEST_F(SystemCalls, VersionRecordComesFromTheSoftwareHive) {
    TestMachineSetup setup;
    setup.version = "5.1";
    setup.build = "2600";
    Create(setup);
    OSVERSIONINFOA v;
    memset(&v, 0xAB, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_TRUE(GetVersionExA(&v));
    EXPECT_EQ(v.dwMajorVersion, 5u);
    EXPECT_EQ(v.dwMinorVersion, 1u);
    EXPECT_EQ(v.dwBuildNumber, 2600u);
    EXPECT_EQ(v.dwPlatformId, (DWORD)VER_PLATFORM_WIN32_NT);
    EXPECT_STREQ(v.szCSDVersion, "Service Pack 6");
    EXPECT_EQ((unsigned char)v.szCSDVersion[127], 0);

    v.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&v));
    v.dwOSVersionInfoSize = sizeof v;
    ntsim::FaultAdd({"GetVersionExA", ERROR_ACCESS_DENIED, 0, "", false});
    EXPECT_FALSE(GetVersionExA(&v));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

static std::string Narrow(const WCHAR* w, size_t units) {
    std::string s;
    for (size_t i = 0; i < units && w[i]; ++i) s += (char)w[i];
    return s;
}

TEST_F(SystemCalls, PolicyReadsPrimaryAndAccountDomain) {
    TestMachineSetup setup;
    setup.primaryDomainName = "DOMAIN1";
    setup.primaryDomainSid = TestSid(7, 8, 9);
    setup.machineSid = TestSid(100, 200, 300);
    Create(setup, "User1");  // any account may view local information
    LSA_OBJECT_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof attributes);
    LSA_HANDLE policy = nullptr;
    ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy), STATUS_SUCCESS);
    PVOID buffer = nullptr;
    ASSERT_EQ(LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &buffer), STATUS_SUCCESS);
    auto* primary = static_cast<POLICY_PRIMARY_DOMAIN_INFO*>(buffer);
    EXPECT_EQ(Narrow(primary->Name.Buffer, primary->Name.Length / 2), "DOMAIN1");
    ASSERT_NE(primary->Sid, nullptr);
    EXPECT_EQ(memcmp(primary->Sid, setup.primaryDomainSid.data(), 24), 0);
    EXPECT_EQ(LsaFreeMemory(buffer), STATUS_SUCCESS);
    ASSERT_EQ(LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation, &buffer), STATUS_SUCCESS);
    auto* account = static_cast<POLICY_ACCOUNT_DOMAIN_INFO*>(buffer);
    EXPECT_EQ(Narrow(account->DomainName.Buffer, account->DomainName.Length / 2), "NTWKS01");
    EXPECT_EQ(memcmp(account->DomainSid, setup.machineSid.data(), 24), 0);
    EXPECT_EQ(LsaFreeMemory(buffer), STATUS_SUCCESS);
    EXPECT_EQ(LsaClose(policy), STATUS_SUCCESS);
    EXPECT_EQ(LsaClose(policy), STATUS_INVALID_HANDLE);

    // Wider rights are for administrators.
    EXPECT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_ALL_ACCESS, &policy), STATUS_ACCESS_DENIED);
    EXPECT_EQ(LsaNtStatusToWinError(STATUS_ACCESS_DENIED), (ULONG)ERROR_ACCESS_DENIED);
    EXPECT_EQ(LsaNtStatusToWinError(STATUS_SUCCESS), (ULONG)0);
}

TEST_F(SystemCalls, StandAlonePolicyHasNoPrimaryDomainSid) {
    Create();
    LSA_OBJECT_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof attributes);
    LSA_HANDLE policy = nullptr;
    ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_ALL_ACCESS, &policy), STATUS_SUCCESS);
    PVOID buffer = nullptr;
    ASSERT_EQ(LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &buffer), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<POLICY_PRIMARY_DOMAIN_INFO*>(buffer)->Sid, nullptr);
    LsaFreeMemory(buffer);
    ntsim::FaultAdd({"LsaQueryInformationPolicy", (uint32_t)STATUS_ACCESS_DENIED, 0, "", false});
    EXPECT_EQ(LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &buffer), STATUS_ACCESS_DENIED);
    LsaClose(policy);
}

TEST_F(SystemCalls, ServerTypeFollowsProductTypeAndRole) {
    struct Case {
        const char* product;
        const char* conf;
        DWORD set, clear;
    } cases[] = {
        {"WinNT", "", SV_TYPE_WORKSTATION | SV_TYPE_NT, SV_TYPE_DOMAIN_CTRL | SV_TYPE_DOMAIN_BAKCTRL | SV_TYPE_SERVER_NT},
        {"ServerNT", "", SV_TYPE_SERVER_NT, SV_TYPE_DOMAIN_CTRL | SV_TYPE_DOMAIN_BAKCTRL},
        {"LanmanNT", "", SV_TYPE_SERVER_NT | SV_TYPE_DOMAIN_CTRL, SV_TYPE_DOMAIN_BAKCTRL},
        {"LanmanNT", "[machine]\nrole = bdc\n", SV_TYPE_DOMAIN_BAKCTRL, SV_TYPE_DOMAIN_CTRL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.product) + " " + c.conf);
        TestMachineSetup setup;
        setup.productType = c.product;
        Create(setup);
        if (*c.conf) {
            ntsim::ProcessDetach();
            std::ofstream(dir_ + "/machine.conf", std::ios::app) << c.conf;
            Attach("Administrator");
        }
        LPBYTE buffer = nullptr;
        ASSERT_EQ(NetServerGetInfo(nullptr, 101, &buffer), (DWORD)NERR_Success);
        auto* info = reinterpret_cast<SERVER_INFO_101*>(buffer);
        EXPECT_EQ(info->sv101_type & c.set, c.set);
        EXPECT_EQ(info->sv101_type & c.clear, 0u);
        EXPECT_EQ(info->sv101_version_major, 4u);
        EXPECT_EQ(info->sv101_platform_id, (DWORD)PLATFORM_ID_NT);
        EXPECT_EQ(Narrow(info->sv101_name, 64), "NTWKS01");
        EXPECT_EQ(NetApiBufferFree(buffer), (DWORD)NERR_Success);
        EXPECT_NE(NetApiBufferFree(buffer), (DWORD)NERR_Success);  // not twice
        ntsim::ProcessDetach();
        std::filesystem::remove_all(dir_);
    }
}

TEST_F(SystemCalls, ServicesThatHaveNotStartedAnswer2114And2138) {
    TestMachineSetup setup;
    setup.confExtra = "[netapi]\nserver = 12\nworkstation = stopped\n";
    Create(setup);
    ntsim::ClockUseSimulated();
    LPBYTE buffer = nullptr;
    EXPECT_EQ(NetServerGetInfo(nullptr, 101, &buffer), (DWORD)NERR_ServerNotStarted);
    EXPECT_EQ(buffer, nullptr);
    Sleep(11999);
    EXPECT_EQ(NetServerGetInfo(nullptr, 101, &buffer), (DWORD)NERR_ServerNotStarted);
    Sleep(1);
    ASSERT_EQ(NetServerGetInfo(nullptr, 101, &buffer), (DWORD)NERR_Success);
    NetApiBufferFree(buffer);
    EXPECT_EQ(NetWkstaUserGetInfo(nullptr, 1, &buffer), (DWORD)NERR_WkstaNotStarted);
    EXPECT_EQ(NetServerGetInfo(nullptr, 102, &buffer), (DWORD)ERROR_INVALID_LEVEL);
}

TEST_F(SystemCalls, WorkstationUserNamesTheAccountAndItsDomain) {
    Create(TestMachineSetup(), "User1");
    LPBYTE buffer = nullptr;
    ASSERT_EQ(NetWkstaUserGetInfo(nullptr, 1, &buffer), (DWORD)NERR_Success);
    auto* info = reinterpret_cast<WKSTA_USER_INFO_1*>(buffer);
    EXPECT_EQ(Narrow(info->wkui1_username, 64), "User1");
    EXPECT_EQ(Narrow(info->wkui1_logon_domain, 64), "NTWKS01");
    NetApiBufferFree(buffer);
}

TEST_F(SystemCalls, EnvironmentAndStrings) {
    Create();
    char buffer[64];
    memset(buffer, 'x', sizeof buffer);
    DWORD n = GetEnvironmentVariableA("systemroot", buffer, sizeof buffer);
    EXPECT_EQ(n, 8u);
    EXPECT_STREQ(buffer, "C:\\WINNT");
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetEnvironmentVariableA("SystemRoot", buffer, 8), 9u);  // too small: size with terminator
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(GetEnvironmentVariableA("NoSuchVariable", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ENVVAR_NOT_FOUND);

    EXPECT_EQ(ExpandEnvironmentStringsA("%SystemRoot%\\x %Nope% 100%", buffer, sizeof buffer), 23u);
    EXPECT_STREQ(buffer, "C:\\WINNT\\x %Nope% 100%");
    char small[6];
    memset(small, 'y', sizeof small);
    EXPECT_EQ(ExpandEnvironmentStringsA("%SystemRoot%", small, sizeof small), 9u);
    EXPECT_EQ(small[5], 0);

    EXPECT_EQ(lstrcmpiA("NoFs", "NOFS"), 0);
    EXPECT_EQ(CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, "c:\\temp", 3, "C:\\WINNT", 3), CSTR_EQUAL);
    EXPECT_EQ(CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, "D:\\", 3, "C:\\", 3), CSTR_GREATER_THAN);
    EXPECT_EQ(CompareStringA(LOCALE_SYSTEM_DEFAULT, 0, "a", -1, "A", -1), CSTR_GREATER_THAN);
    EXPECT_EQ(lstrcmpiA("\xe9t\xe9", "\xc9T\xc9"), 0);  // Latin-1 letters fold too
}

// The presets that `ntsim create` makes: their version, role and policy as the calls see them.
TEST_F(SystemCalls, PresetMachinesShowTheirVersionAndRole) {
    struct Case {
        const char* preset;
        DWORD major, minor, roleBit;
        bool member;
    } cases[] = {
        {"nt4-workstation", 4, 0, 0, false},
        {"nt4-pdc", 4, 0, SV_TYPE_DOMAIN_CTRL, false},
        {"nt4-bdc", 4, 0, SV_TYPE_DOMAIN_BAKCTRL, false},
        {"nt4-member", 4, 0, 0, true},
        {"xp-standalone", 5, 1, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.preset);
        std::filesystem::remove_all(dir_);
        ntsim::MachineOptions options;
        options.preset = c.preset;
        std::string err;
        ASSERT_TRUE(ntsim::MachineCreate(dir_, options, &err)) << err;
        Attach("Administrator");
        OSVERSIONINFOA v;
        v.dwOSVersionInfoSize = sizeof v;
        ASSERT_TRUE(GetVersionExA(&v));
        EXPECT_EQ(v.dwMajorVersion, c.major);
        EXPECT_EQ(v.dwMinorVersion, c.minor);
        LPBYTE buffer = nullptr;
        ASSERT_EQ(NetServerGetInfo(nullptr, 101, &buffer), (DWORD)NERR_Success);
        DWORD type = reinterpret_cast<SERVER_INFO_101*>(buffer)->sv101_type;
        EXPECT_EQ(type & (SV_TYPE_DOMAIN_CTRL | SV_TYPE_DOMAIN_BAKCTRL), c.roleBit);
        NetApiBufferFree(buffer);
        LSA_OBJECT_ATTRIBUTES attributes;
        memset(&attributes, 0, sizeof attributes);
        LSA_HANDLE policy = nullptr;
        ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy), STATUS_SUCCESS);
        PVOID info = nullptr;
        ASSERT_EQ(LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &info), STATUS_SUCCESS);
        if (c.roleBit == 0) {
            EXPECT_EQ(static_cast<POLICY_PRIMARY_DOMAIN_INFO*>(info)->Sid != nullptr, c.member);
        }
        LsaFreeMemory(info);
        ASSERT_EQ(LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation, &info), STATUS_SUCCESS);
        EXPECT_NE(static_cast<POLICY_ACCOUNT_DOMAIN_INFO*>(info)->DomainSid, nullptr);
        LsaFreeMemory(info);
        LsaClose(policy);
        ntsim::ProcessDetach();
    }
}
