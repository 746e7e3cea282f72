// The service entry through the service control manager: install over an existing entry,
// the quiet option, removal (also of an entry already marked for deletion), refusal to a
// non-administrator, and the message of every failure.
#include <fstream>

#include "ntsim/services/services.h"
#include "unit/service/service_fixture.h"

namespace {

class ServiceEntryTest : public ServiceTest {
protected:
    // The stored configuration of "Tessiv" as QueryServiceConfigA gives it (empty program when absent).
    struct Config {
        DWORD type = 0, start = 0, errorControl = 0;
        std::string program, display, account, dependencies;
    };
    Config Query() {
        Config c;
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager ? OpenServiceA(manager, "tessiv", SERVICE_QUERY_CONFIG) : nullptr;
        alignas(8) char buffer[8192];
        DWORD needed = 0;
        if (service && QueryServiceConfigA(service, (LPQUERY_SERVICE_CONFIGA)buffer, sizeof buffer, &needed)) {
            auto* q = (LPQUERY_SERVICE_CONFIGA)buffer;
            c = {q->dwServiceType, q->dwStartType, q->dwErrorControl, q->lpBinaryPathName, q->lpDisplayName,
                 q->lpServiceStartName, std::string(q->lpDependencies, 2)};
        }
        if (service) CloseServiceHandle(service);
        if (manager) CloseServiceHandle(manager);
        return c;
    }
    int ServiceKeys() {
        HKEY services;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &services), 0);
        char name[260];
        int count = 0;
        for (DWORD i = 0;; ++i) {
            DWORD size = sizeof name;
            if (RegEnumKeyExA(services, i, name, &size, nullptr, nullptr, nullptr, nullptr) != 0) break;
            count += strcasecmp(name, "Tessiv") == 0;
        }
        RegCloseKey(services);
        return count;
    }
    const std::string installed_ = "Quorvel Tessiv Service installed successfully and will run upon next boot.";
};

TEST_F(ServiceEntryTest, InstallingTwiceLeavesOneEntryForTheSecondProgram) {
    EXPECT_EQ(serviceControl.IsServiceInstalled(), 0);
    EXPECT_EQ(serviceControl.InstallService(), 1);
    ntsim::CurrentProcess().imagePath = "C:\\Program Files\\Tessiv\\tessiv.exe";
    EXPECT_EQ(serviceControl.InstallService(), 1);
    EXPECT_EQ(serviceControl.IsServiceInstalled(), 1);
    EXPECT_EQ(ServiceKeys(), 1);
    Config c = Query();
    // Quoted: the manager must not take C:\Program for the program and "Files\..." for its argument.
    EXPECT_EQ(c.program, "\"C:\\Program Files\\Tessiv\\tessiv.exe\"");
    EXPECT_EQ(c.type, (DWORD)SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(c.start, (DWORD)SERVICE_AUTO_START);
    EXPECT_EQ(c.errorControl, (DWORD)SERVICE_ERROR_NORMAL);
    EXPECT_EQ(c.display, "Quorvel Tessiv Service");
    EXPECT_EQ(c.account, "LocalSystem");
    EXPECT_EQ(c.dependencies, std::string(2, '\0'));
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Box("information icon", installed_), Box("information icon", installed_)}));

    // Removal, then a second removal that finds nothing.
    EXPECT_EQ(serviceControl.RemoveService(), 1);
    EXPECT_EQ(serviceControl.IsServiceInstalled(), 0);
    EXPECT_EQ(ServiceKeys(), 0);
    ntsim::TranscriptClear();
    EXPECT_EQ(serviceControl.RemoveService(), 0);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Box("error icon", "OpenService failed - Error 1060 - The specified "
                                                                   "service does not exist as an installed service.\n")}));
}

TEST_F(ServiceEntryTest, QuietLeavesOutOnlyTheSuccessBoxes) {
    serviceControl.quiet = 1;
    EXPECT_EQ(serviceControl.InstallService(), 1);
    EXPECT_EQ(serviceControl.RemoveService(), 1);
    EXPECT_TRUE(Boxes().empty());
    // Without a program path the install fails, and says so even when quiet.
    ntsim::CurrentProcess().imagePath = "";
    EXPECT_EQ(serviceControl.InstallService(), 0);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Box("error icon", "Unable to install Quorvel Tessiv Service - Error 126 "
                                                                   "- The specified module could not be found.\n")}));
}

TEST_F(ServiceEntryTest, AnEntryMarkedForDeletionWhileItRunsIsRemovedQuietlyAndGoesWhenItStops) {
    ASSERT_EQ(serviceControl.InstallService(), 1);
    // The service runs (its process is this one).
    ntsim::ServiceRuntime running;
    running.pid = getpid();
    running.status = {SERVICE_WIN32, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    ntsim::ServiceRuntimeWrite(dir_, "Tessiv", running);
    ntsim::TranscriptClear();
    EXPECT_EQ(serviceControl.RemoveService(), 1);
    EXPECT_EQ(serviceControl.IsServiceInstalled(), 1);  // only marked
    EXPECT_EQ(serviceControl.RemoveService(), 1);       // ERROR_SERVICE_MARKED_FOR_DELETE counts as done
    EXPECT_TRUE(Boxes().empty());
    // A new entry cannot take its place yet.
    EXPECT_EQ(serviceControl.InstallService(), 0);
    EXPECT_EQ(Boxes().back(), Box("error icon", "CreateService failed - Error 1072 - The specified service has been "
                                                "marked for deletion."));
    running.status.dwCurrentState = SERVICE_STOPPED;
    ntsim::ServiceRuntimeWrite(dir_, "Tessiv", running);
    EXPECT_TRUE(ntsim::ServiceRemoveIfMarked("Tessiv"));
    EXPECT_EQ(serviceControl.IsServiceInstalled(), 0);
}

TEST_F(ServiceEntryTest, FailuresShowOneBoxEachWithTheSystemText) {
    ASSERT_EQ(serviceControl.InstallService(), 1);
    // The old entry cannot be removed: the create step then meets it.
    ntsim::FaultAdd({"DeleteService", ERROR_ACCESS_DENIED, 0, "", false});
    ntsim::TranscriptClear();
    EXPECT_EQ(serviceControl.InstallService(), 0);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{
                           Box("error icon", "DeleteService failed - Error 5 - Access is denied.\n"),
                           Box("error icon", "CreateService failed - Error 1073 - The specified service already exists.")}));
    ntsim::FaultClearAll();

    // A non-administrator cannot open the manager with all access.
    ntsim::ProcessDetach();
    Attach("User1");
    EXPECT_EQ(serviceControl.IsServiceInstalled(), 0);
    EXPECT_EQ(serviceControl.InstallService(), 0);
    EXPECT_EQ(serviceControl.RemoveService(), 0);
    const std::string denied = Box("error icon", "OpenSCManager failed - Error 5 - Access is denied.\n");
    EXPECT_EQ(Boxes(), (std::vector<std::string>{denied, denied}));
    SetLastError(0);
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(OpenServiceA(manager, "Tessiv", SERVICE_ALL_ACCESS), nullptr);
    SC_HANDLE readOnly = OpenServiceA(manager, "Tessiv", SERVICE_QUERY_CONFIG);
    ASSERT_NE(readOnly, nullptr);
    EXPECT_FALSE(DeleteService(readOnly));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseServiceHandle(readOnly);
    CloseServiceHandle(manager);
}

TEST_F(ServiceEntryTest, ASystemErrorWithoutTextEndsTheProcessAfterOneBox) {
    ntsim::OperatorEnsureStarted();  // before the transcript file, which its start would replace
    std::string transcript = root_ + "/transcript.txt";
    ntsim::TranscriptOpen(transcript, false);
    EXPECT_EXIT(
        {
            SetLastError(0x2A2A2A);
            serviceControl.FormatSystemError();
        },
        ::testing::ExitedWithCode(1), "");
    std::ifstream in(transcript);
    std::string line;
    std::vector<std::string> boxes;
    while (std::getline(in, line))
        if (line.find("] box ") != std::string::npos) boxes.push_back(line.substr(line.find("box ")));
    EXPECT_EQ(boxes, (std::vector<std::string>{Box("error icon", "Internal Error: Error text buffer too small")}));
    ntsim::TranscriptOpen("", false);
}

}  // namespace
