// Optional functions bound by name on each simulated version, and the registry key object.
#include <gtest/gtest.h>

#include <cstring>

#include "identity/role_checks.h"
#include "identity/system_functions.h"
#include "unit/identity/identity_fixture.h"

class SystemFunctionsTest : public IdentityTest {
protected:
    void CreateVersion(const std::string& version, const std::string& conf = "") {
        TestMachineSetup setup;
        setup.version = version;
        setup.confExtra = conf;
        StartJob(setup);
    }
};

TEST_F(SystemFunctionsTest, Nt4LacksTheExtendedNameCallAndTheDomainJoin) {
    CreateVersion("4.0");
    SystemFunctions functions;
    for (int i = 0; i < 3; ++i) EXPECT_NE(functions.libraries[i], nullptr) << i;
    EXPECT_EQ(functions.libraries[5], nullptr);  // PSAPI came with Windows 2000
    EXPECT_EQ(functions.libraries[9], nullptr);  // ADSIID is no DLL on any version
    // Nothing is called: the system's calls would succeed with this name, and refuse no domain with 87.
    EXPECT_FALSE(functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, "pc-12"));
    EXPECT_EQ(functions.NetJoinDomain(nullptr, nullptr, nullptr, nullptr, nullptr, 0x61), 3u);
    EXPECT_EQ(Text("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName", "ComputerName"), "NTWKS01");
    LPBYTE buffer = nullptr;
    ASSERT_EQ(functions.NetServerGetInfo(nullptr, 101, &buffer), (DWORD)NERR_Success);
    EXPECT_EQ(functions.NetApiBufferFree(buffer), (DWORD)NERR_Success);
    ASSERT_EQ(functions.NetUserModalsGet(nullptr, 2, &buffer), (DWORD)NERR_Success);
    EXPECT_EQ(functions.NetApiBufferFree(buffer), (DWORD)NERR_Success);
}

TEST_F(SystemFunctionsTest, Windows2000AndXpBindEveryFunction) {
    for (const char* version : {"5.0", "5.1"}) {
        SCOPED_TRACE(version);
        CreateVersion(version);
        {
            SystemFunctions functions;
            for (int i = 0; i < 9; ++i) EXPECT_NE(functions.libraries[i], nullptr) << i;
            EXPECT_TRUE(functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, "pc-12"));
            // Called for real: a workgroup machine's domain does not answer.
            EXPECT_EQ(functions.NetJoinDomain(nullptr, u"NODOMAIN", nullptr, nullptr, nullptr, 0x61),
                      (DWORD)ERROR_NO_SUCH_DOMAIN);
        }
        EndMachine();
    }
}

TEST_F(SystemFunctionsTest, MissingLibraryAndOtherPlatformLeaveEveryFunctionUnbound) {
    CreateVersion("5.0", "[modules]\nmissing = netapi32.dll, IPHLPAPI\n");
    {
        SystemFunctions functions;
        EXPECT_EQ(functions.libraries[1], nullptr);
        EXPECT_EQ(functions.libraries[3], nullptr);
        EXPECT_NE(functions.libraries[0], nullptr);
        LPBYTE buffer = nullptr;
        EXPECT_EQ(functions.NetServerGetInfo(nullptr, 101, &buffer), (DWORD)ERROR_PROC_NOT_FOUND);
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(functions.NetJoinDomain(nullptr, u"X", nullptr, nullptr, nullptr, 0x61), 3u);
        EXPECT_TRUE(functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, "pc-12"));
    }
    EndMachine();
    CreateVersion("5.0", "[machine]\nplatform = 1\n");
    SystemFunctions functions;
    for (HMODULE library : functions.libraries) EXPECT_EQ(library, nullptr);
    LPBYTE buffer = nullptr;
    EXPECT_NE(functions.NetServerGetInfo(nullptr, 101, &buffer), (DWORD)NERR_Success);
    EXPECT_NE(functions.NetUserModalsGet(nullptr, 2, &buffer), (DWORD)NERR_Success);
    EXPECT_NE(functions.LsaStorePrivateData(nullptr, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_NE(functions.LsaSetTrustedDomainInformation(nullptr, nullptr, TrustedDomainNameInformation, nullptr),
              STATUS_SUCCESS);
    EXPECT_FALSE(functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, "pc-12"));
}

TEST_F(SystemFunctionsTest, IsWow64ProcessOnlyFromXpAndTrueOnA64BitWindows) {
    // NT 4.0 and 2000 had no 64-bit edition and lack the call: FALSE, the answer untouched.
    for (const char* version : {"4.0", "5.0"}) {
        SCOPED_TRACE(version);
        CreateVersion(version, "[machine]\narchitecture = x64\n");
        {
            SystemFunctions functions;
            BOOL wow64 = 7;
            EXPECT_FALSE(functions.IsWow64Process(GetCurrentProcess(), &wow64));
            EXPECT_EQ(wow64, 7);
        }
        EndMachine();
    }
    for (const char* architecture : {"x86", "x64"}) {
        SCOPED_TRACE(architecture);
        CreateVersion("5.1", std::string("[machine]\narchitecture = ") + architecture + "\n");
        {
            SystemFunctions functions;
            BOOL wow64 = 7;
            EXPECT_TRUE(functions.IsWow64Process(GetCurrentProcess(), &wow64));
            EXPECT_EQ(wow64, std::string(architecture) == "x64" ? TRUE : FALSE);
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(functions.IsWow64Process(nullptr, &wow64));
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        }
        EndMachine();
    }
}

TEST_F(SystemFunctionsTest, UnboundIsLookedUpAgainAndBoundNeverAgain) {
    CreateVersion("4.0");
    SystemFunctions functions;
    LPBYTE buffer = nullptr;
    ntsim::FaultAdd({"GetProcAddress", ERROR_PROC_NOT_FOUND, 1, "NetServerGetInfo", false});
    EXPECT_EQ(functions.NetServerGetInfo(nullptr, 101, &buffer), (DWORD)ERROR_PROC_NOT_FOUND);
    ASSERT_EQ(functions.NetServerGetInfo(nullptr, 101, &buffer), (DWORD)NERR_Success);
    functions.NetApiBufferFree(buffer);
    // Every further lookup would fail now: the bound entry point is kept.
    ntsim::FaultAdd({"GetProcAddress", ERROR_PROC_NOT_FOUND, 0, "", false});
    ASSERT_EQ(functions.NetServerGetInfo(nullptr, 101, &buffer), (DWORD)NERR_Success);
    EXPECT_EQ(functions.NetApiBufferFree(buffer), (DWORD)NERR_Success);
}

TEST_F(SystemFunctionsTest, RegistryKeyResultCodes) {
    CreateVersion("4.0");
    char text[64] = "unchanged";
    RegistryKey never;
    EXPECT_EQ(never.root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(never.ReadString("x", text, sizeof text), (int)kKeyNotOpen);
    EXPECT_EQ(never.WriteString("x", "y"), (int)kKeyNotOpen);
    EXPECT_EQ(never.Close(), (int)kKeyNotOpen);

    RegistryKey missing(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv");
    EXPECT_EQ(missing.OpenForReading(0), (int)kKeyOpenFailed);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    RegistryKey key(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv");
    ASSERT_EQ(key.Open(TRUE, FALSE, 0), 0);
    EXPECT_EQ(key.Open(TRUE, FALSE, 0), (int)kKeyAlreadyOpen);
    EXPECT_EQ(key.SetPath("Software\\Other"), (int)kKeyAlreadyOpen);
    EXPECT_EQ(key.SetRoot(HKEY_USERS), (int)kKeyAlreadyOpen);
    EXPECT_STREQ(key.path, "Software\\Quorvel\\Tessiv");
    EXPECT_EQ(key.root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(key.WriteString("Empty", ""), 0);
    EXPECT_EQ(key.WriteString("", "default"), 0);
    DWORD number = 7;
    ASSERT_EQ(RegSetValueExA(key.handle, "Number", 0, REG_DWORD, (const BYTE*)&number, 4), ERROR_SUCCESS);
    EXPECT_EQ(key.Close(), 0);
    EXPECT_EQ(key.Close(), (int)kKeyNotOpen);

    ASSERT_EQ(key.OpenForReading(0), 0);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(key.handle, "Empty", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(key.ReadString("Number", text, sizeof text), (int)kValueNotString);
    EXPECT_EQ(key.ReadString("Absent", text, sizeof text), (int)kValueReadFailed);
    EXPECT_EQ(key.ReadString("", text, sizeof text), 0);
    EXPECT_STREQ(text, "default");
    EXPECT_EQ(key.ReadString("", text, 7), (int)kValueReadFailed);  // "default" needs 8 bytes
    EXPECT_EQ(key.WriteString("Denied", "x"), (int)kValueWriteFailed);  // opened for reading only
}
