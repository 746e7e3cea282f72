// Machine role and environment checks: version classes, roles and their waits,
// the refusal rule, the product suite, and the administrator check.
#include <gtest/gtest.h>

#include <fstream>

#include "core/output.h"
#include "identity/role_checks.h"
#include "ntsim/kernel/clock.h"
#include "ntsim/user/operator.h"
#include "unit/identity/test_machine.h"
#include "unit/ui/transcript_checks.h"

class RoleChecks : public TestMachine, protected ProgramBoxes {
protected:
    void TearDown() override {
        ProcessMutex.Close();
        serviceMode = FALSE;
        TestMachine::TearDown();
    }
    // A new process on a machine with the given version (and platform id).
    OsVersionClass ClassFor(const std::string& version, int platform = 2) {
        ntsim::ProcessDetach();
        std::filesystem::remove_all(dir_);
        TestMachineSetup setup;
        setup.version = version;
        setup.confExtra = "[machine]\nplatform = " + std::to_string(platform) + "\n";
        Create(setup);
        ProcessMutex.Close();
        EXPECT_TRUE(ProcessMutex.Create());
        return GetOsVersionClass();
    }
};

TEST_F(RoleChecks, VersionClasses) {
    struct Case {
        const char* version;
        int platform;
        OsVersionClass expected;
    } cases[] = {{"3.51", 2, 5}, {"4.0", 2, 6}, {"5.0", 2, 7}, {"5.1", 2, 8}, {"5.2", 2, 8}, {"6.0", 2, 9},
                 {"6.1", 2, 8},  {"3.1", 2, 8}, {"4.1", 2, 8}, {"7.0", 2, 8}, {"4.0", 1, 2}, {"4.10", 1, 3},
                 {"4.90", 1, 4}, {"1.0", 0, 1}, {"4.0", 3, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(ClassFor(c.version, c.platform), c.expected) << c.version << " platform " << c.platform;
        EXPECT_EQ(platformId, (DWORD)c.platform);
    }
    // Computed once per process: a later change of the record is not seen.
    ClassFor("4.0");
    ntsim::FaultAdd({"GetVersionExA", ERROR_ACCESS_DENIED, 0, "", false});
    EXPECT_EQ(GetOsVersionClass(), 6);
    // A record that cannot be read leaves class 0 for the rest of the process.
    ntsim::FaultClearAll();
    ProcessMutex.Close();
    ProcessMutex.Create();
    ntsim::FaultAdd({"GetVersionExA", ERROR_ACCESS_DENIED, 0, "", false});
    EXPECT_EQ(GetOsVersionClass(), 0);
    ntsim::FaultClearAll();
    EXPECT_EQ(GetOsVersionClass(), 0);
    EXPECT_EQ(ProcessMutex.locks, 0);
}

TEST_F(RoleChecks, ProcessMutexCountsItsLocks) {
    Create();
    ASSERT_TRUE(ProcessMutex.Create());
    EXPECT_TRUE(ProcessMutex.Lock(INFINITE));
    EXPECT_TRUE(ProcessMutex.Lock(0));
    EXPECT_EQ(ProcessMutex.locks, 2);
    bool other = true;
    std::thread([&] { other = ProcessMutex.Lock(10); }).join();
    EXPECT_FALSE(other);
    ProcessMutex.Unlock();
    ProcessMutex.Unlock();
    EXPECT_EQ(ProcessMutex.locks, 0);
    // A thread that ends holding it leaves it abandoned: the next lock still succeeds.
    std::thread([&] { ProcessMutex.Lock(INFINITE); }).join();
    EXPECT_TRUE(ProcessMutex.Lock(1000));
    ProcessMutex.Unlock();
    ProcessMutex.locks = 0;
}

TEST_F(RoleChecks, RolesFromServerTypeAndPolicy) {
    struct Case {
        const char* product;
        std::string conf;
        bool member;
        int role;
    } cases[] = {
        {"WinNT", "", false, kStandAlone},
        {"WinNT", "", true, kDomainMember},
        {"ServerNT", "", true, kDomainMember},
        {"LanmanNT", "", false, kPrimaryDomainController},
        {"LanmanNT", "[machine]\nrole = bdc\n", false, kBackupDomainController},
        {"WinNT", "[netapi]\nserver_type = 0x18\n", false, kPrimaryDomainController},  // both bits: primary
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.product) + " " + c.conf);
        ntsim::ProcessDetach();
        std::filesystem::remove_all(dir_);
        TestMachineSetup setup;
        setup.productType = c.product;
        setup.confExtra = c.conf;
        if (c.member) setup.primaryDomainSid = TestSid(7, 8, 9);
        Create(setup);
        EXPECT_EQ(DetectMachineRole(FALSE), c.role);
        EXPECT_EQ(IsDomainMember(), c.member);
    }
}

TEST_F(RoleChecks, WaitsForTheServerServiceFiveOrThirtySeconds) {
    TestMachineSetup setup;
    setup.primaryDomainSid = TestSid(7, 8, 9);
    setup.confExtra = "[clock]\nmode = simulated\n[netapi]\nserver = 12\n";
    Create(setup);
    // Interactive: gives up after 5 seconds, and the member counts as stand-alone.
    uint64_t t0 = ntsim::ClockSinceStartMs();
    EXPECT_EQ(DetectMachineRole(FALSE), kStandAlone);
    uint64_t waited = ntsim::ClockSinceStartMs() - t0;
    EXPECT_GE(waited, 4500u);
    EXPECT_LE(waited, 6000u);
    // The service waits up to 30 seconds: the server answers at 12.
    EXPECT_EQ(DetectMachineRole(TRUE), kDomainMember);
    EXPECT_LE(ntsim::ClockSinceStartMs() - t0, 13000u);

    ntsim::ProcessDetach();
    std::ofstream(dir_ + "/machine.conf", std::ios::app) << "[netapi]\nserver = stopped\n";
    Attach("Administrator");
    t0 = ntsim::ClockSinceStartMs();
    EXPECT_EQ(DetectMachineRole(TRUE), kStandAlone);
    waited = ntsim::ClockSinceStartMs() - t0;
    EXPECT_GE(waited, 29500u);
    EXPECT_LE(waited, 31000u);
    // Any other failure of the server call: stand-alone at once.
    ntsim::FaultAdd({"NetServerGetInfo", ERROR_ACCESS_DENIED, 0, "", false});
    t0 = ntsim::ClockSinceStartMs();
    EXPECT_EQ(DetectMachineRole(TRUE), kStandAlone);
    EXPECT_EQ(ntsim::ClockSinceStartMs() - t0, 0u);
}

TEST_F(RoleChecks, PolicyFailuresAreReported) {
    Create();
    ntsim::TranscriptClear();
    ntsim::FaultAdd({"LsaOpenPolicy", (uint32_t)STATUS_ACCESS_DENIED, 1, "", false});
    EXPECT_FALSE(IsDomainMember());
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    ntsim::FaultAdd({"LsaQueryInformationPolicy", (uint32_t)STATUS_INTERNAL_DB_CORRUPTION, 1, "", false});
    EXPECT_FALSE(IsDomainMember());
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("error icon", "Error -1073741790 opening local system policy"));
    EXPECT_EQ(boxes[1], Box("error icon", "Error -1073741596 obtaining domain status"));
}

TEST_F(RoleChecks, RefusalOfDirectoryDomainControllers) {
    Create();
    for (int role = 0; role <= 3; ++role)
        for (int cls = 0; cls <= 9; ++cls)
            EXPECT_EQ(IsDirectoryDomainController(role, cls), role == 2 && cls >= 7) << role << " " << cls;
    ntsim::TranscriptClear();
    EXPECT_FALSE(RefuseDirectoryDomainController(kPrimaryDomainController, 6));
    EXPECT_FALSE(RefuseDirectoryDomainController(kBackupDomainController, 8));
    EXPECT_TRUE(RefuseDirectoryDomainController(kPrimaryDomainController, 7));
    serviceMode = TRUE;
    EXPECT_TRUE(RefuseDirectoryDomainController(kPrimaryDomainController, 8));
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("no icon", "This utility cannot be used on Active Directory domain controllers!"));
    EXPECT_EQ(boxes[1], Box("no icon", "This utility cannot be used on Active Directory domain controllers!", true));
}

TEST_F(RoleChecks, ProductSuite) {
    TestMachineSetup setup;
    setup.withSuite = true;
    setup.productSuite = {"Small Business", "Terminal Server"};
    Create(setup);
    EXPECT_TRUE(IsProductSuiteInstalled("Terminal Server"));
    EXPECT_FALSE(IsProductSuiteInstalled("terminal server"));
    EXPECT_FALSE(IsProductSuiteInstalled("Terminal"));

    ntsim::ProcessDetach();
    std::filesystem::remove_all(dir_);
    setup.suiteAsSingleString = true;
    setup.productSuite = {"Terminal Server"};
    Create(setup);
    EXPECT_FALSE(IsProductSuiteInstalled("Terminal Server"));  // not a list

    ntsim::ProcessDetach();
    std::filesystem::remove_all(dir_);
    setup.withSuite = false;
    Create(setup);
    EXPECT_FALSE(IsProductSuiteInstalled("Terminal Server"));  // no value
    ntsim::FaultAdd({"RegOpenKeyA", ERROR_ACCESS_DENIED, 0, "", false});
    EXPECT_FALSE(IsProductSuiteInstalled("Terminal Server"));
}

TEST_F(RoleChecks, AdministratorAndOrdinaryUser) {
    TestMachineSetup setup;
    setup.machineSid = TestSid(10, 20, 30);
    Create(setup);
    ntsim::TranscriptClear();
    JobSettings job;
    job.SetDefaults();
    ASSERT_TRUE(CheckAdministrator(&job));
    ASSERT_NE(job.originalSid, nullptr);
    EXPECT_EQ(memcmp(job.originalSid, setup.machineSid.data(), 24), 0);
    EXPECT_TRUE(Boxes().empty());
    FreeSidBuffer(job.originalSid);

    ntsim::ProcessDetach();
    Attach("User1");
    JobSettings user;
    user.SetDefaults();
    EXPECT_FALSE(CheckAdministrator(&user));
    ntsim::FaultAdd({"GetUserNameA", ERROR_NOT_ENOUGH_MEMORY, 0, "", false});
    EXPECT_FALSE(CheckAdministrator(&user));
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("error icon",
                            "Error: You do not have enough permissions to run this utility.\n\nPlease logon as the "
                            "local system Administrator."));
    EXPECT_EQ(boxes[1], Box("error icon", "Error: Unable to read current user name from registry"));
    FreeSidBuffer(user.originalSid);
}
