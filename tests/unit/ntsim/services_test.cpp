// The service side of the manager in one process: the dispatcher runs the service main
// function, a stop request reaches the handler on the dispatcher's thread, the dispatcher
// returns once the service reports stopped; the event log keeps what ReportEventA wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "nt/win32.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/services/event_log.h"
#include "ntsim/services/services.h"
#include "unit/fresh_machine.h"

namespace {

SERVICE_STATUS_HANDLE g_handle;
std::thread::id g_handlerThread;

void Report(DWORD state, DWORD accepted) {
    SERVICE_STATUS s = {SERVICE_WIN32, state, accepted, 0, 0, 0, 0};
    SetServiceStatus(g_handle, &s);
}

VOID WINAPI Handler(DWORD control) {
    g_handlerThread = std::this_thread::get_id();
    if (control == SERVICE_CONTROL_STOP) Report(SERVICE_STOPPED, 0);
}

VOID WINAPI Main(DWORD, LPSTR*) {
    g_handle = RegisterServiceCtrlHandlerA("Probe", Handler);
    Report(SERVICE_START_PENDING, 0);
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
}

class ServicesTest : public FreshMachine {
protected:
    void SetUp() override {
        FreshMachine::SetUp();
        MakeMachine();
        Attach("", true);
    }
    void TearDown() override {
        ntsim::ServiceSetStartedAs("");
        FreshMachine::TearDown();
    }
};

TEST_F(ServicesTest, DispatcherRunsTheServiceAndDeliversAStopRequest) {
    SERVICE_TABLE_ENTRYA table[] = {{(LPSTR) "Probe", Main}, {nullptr, nullptr}};
    // A process the manager did not start cannot connect.
    ntsim::ServiceSetStartedAs("");
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceA(manager, "Probe", "Probe Service", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\probe.exe", nullptr, nullptr,
                                       "", nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status;
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE);

    ntsim::ServiceSetStartedAs("Probe");
    ntsim::ServiceStatusHistoryClear();
    std::thread dispatcher([&] { EXPECT_TRUE(StartServiceCtrlDispatcherA(table)); });
    for (int i = 0; i < 500 && ntsim::ServiceRuntimeRead(dir_, "Probe").status.dwCurrentState != SERVICE_RUNNING; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Deleted while it runs: only marked, and gone once it has stopped and the last handle is closed.
    EXPECT_TRUE(DeleteService(service));
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    std::thread::id dispatcherThread = dispatcher.get_id();
    dispatcher.join();
    EXPECT_EQ(g_handlerThread, dispatcherThread);
    auto history = ntsim::ServiceStatusHistory();
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[2].dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_FALSE(ntsim::ServiceRunning(dir_, "Probe"));
    CloseServiceHandle(service);
    EXPECT_EQ(OpenServiceA(manager, "Probe", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
    CloseServiceHandle(manager);
}

TEST_F(ServicesTest, EventLogKeepsEntriesAndSystemMessagesHaveTheirLineEnd) {
    HANDLE source = RegisterEventSourceA(nullptr, "Tessiv");
    ASSERT_NE(source, nullptr);
    LPCSTR strings[2] = {"\n\nTessiv error: 5", "SetServiceStatus"};
    EXPECT_TRUE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr));
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_FALSE(DeregisterEventSource(source));
    auto entries = ntsim::EventLogRead(dir_);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].log, "Application");
    EXPECT_EQ(entries[0].type, "Error");
    EXPECT_EQ(entries[0].source, "Tessiv");
    EXPECT_EQ(entries[0].strings, (std::vector<std::string>{"\n\nTessiv error: 5", "SetServiceStatus"}));

    LPSTR text = nullptr;
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    ASSERT_GT(FormatMessageA(flags, nullptr, 1072, 0, (LPSTR)&text, 0, nullptr), 0u);
    EXPECT_STREQ(text, "The specified service has been marked for deletion.\r\n");
    LocalFree(text);
    EXPECT_EQ(FormatMessageA(flags, nullptr, 0xDEAD, 0, (LPSTR)&text, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
}

}  // namespace
