// The system preparation tool: its entry blocks the start for 5 s (600 s as the service),
// a stale entry is dropped and logged, and the answer file loses its password key only.
#include <fstream>

#include "core/job_settings.h"
#include "ntsim/kernel/clock.h"
#include "service/prep_tool.h"
#include "unit/service/service_fixture.h"

namespace {

class PrepToolTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        ntsim::ClockUseSimulated();
    }
    void TearDown() override {
        ntsim::ClockUseReal();
        ServiceTest::TearDown();
    }
    void InstallTool(const char* program) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceA(manager, "PSysDup2", SERVICE_ALL_ACCESS);
        if (!service)
            service = CreateServiceA(manager, "PSysDup2", "PSysDup2", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "C:\\WINNT\\system32\\sysprep.exe",
                                     nullptr, nullptr, "", nullptr, nullptr);
        ASSERT_NE(service, nullptr);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        // The stored program path as the tool left it (possibly empty).
        HKEY key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\PSysDup2", 0,
                                KEY_SET_VALUE, &key), 0);
        RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, (const BYTE*)program, (DWORD)strlen(program) + 1);
        RegCloseKey(key);
    }
    const std::string box_ =
        "Microsoft System Preparation Tool is currently installed.\n\nTessiv cannot run until this tool has "
        "completed and removed itself.";
};

TEST_F(PrepToolTest, ThePresentToolBlocksTheStartForItsWait) {
    EXPECT_EQ(IsPrepToolPending(), 0);
    EXPECT_EQ(WaitForPrepTool(), 0);
    EXPECT_EQ(ntsim::ClockSleptMs(), 0u);

    std::ofstream(Host("WINNT/system32/sysprep.exe")) << "tool";
    InstallTool("C:\\WINNT\\system32\\sysprep.exe");
    EXPECT_EQ(IsPrepToolPending(), 1);
    EXPECT_EQ(WaitForPrepTool(), -1);
    EXPECT_EQ(ntsim::ClockSleptMs(), 5000u);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Box("error icon", box_)}));

    // As the service: ten minutes, and the box reaches the interactive desktop.
    serviceMode = TRUE;
    ntsim::TranscriptClear();
    EXPECT_EQ(WaitForPrepTool(), -1);
    EXPECT_EQ(ntsim::ClockSleptMs(), 5000u + 600000u);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Box("error icon", box_, true)}));

    // An entry without a program path counts as present.
    InstallTool("");
    EXPECT_EQ(IsPrepToolPending(), 1);
}

TEST_F(PrepToolTest, AnEntryWhoseProgramIsGoneIsRemovedAndLogged) {
    InstallTool("\"C:\\WINNT\\system32\\sysprep.exe\" -quiet");  // the text is tested as it stands
    std::ofstream(Host("WINNT/system32/sysprep.exe")) << "tool";
    std::string log = root_ + "/run.log";
    logStream = fopen(log.c_str(), "w");
    EXPECT_EQ(WaitForPrepTool(), 0);
    fclose(logStream);
    logStream = nullptr;
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "Removing SysPrep service entry since binary file was removed\n");
    EXPECT_EQ(IsPrepToolPending(), 0);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(PrepToolTest, ThePasswordKeyAloneLeavesTheAnswerFile) {
    RemovePrepToolPassword();  // no file: nothing made
    EXPECT_FALSE(std::ifstream(Host("WINNT/system32/$nt4pre$.inf")).good());
    std::ofstream(Host("WINNT/system32/$nt4pre$.inf"))
        << "[NT4Preinstall]\r\nAdminPassword=secret\r\nComputerName=WKS\r\n\r\n[Other]\r\nAdminPassword=kept\r\n";
    RemovePrepToolPassword();
    std::ifstream in(Host("WINNT/system32/$nt4pre$.inf"));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "[NT4Preinstall]\r\nComputerName=WKS\r\n\r\n[Other]\r\nAdminPassword=kept\r\n");
}

}  // namespace
