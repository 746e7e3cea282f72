// The service control manager's state shared by its calls, the dispatcher and the boot:
// service entries in SYSTEM\CurrentControlSet\Services, the run state of each service
// (".services/<name>" in the machine directory) and the control requests sent to it.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nt/win32.h"

namespace ntsim {

extern const char* const kServicesKey;  // "SYSTEM\CurrentControlSet\Services"

// What the machine knows of a running service: its process and its last reported status.
struct ServiceRuntime {
    pid_t pid = 0;
    SERVICE_STATUS status{};
};
// The run state of a service; a service without one, or whose process has ended, is stopped.
ServiceRuntime ServiceRuntimeRead(const std::string& machineDir, const std::string& name);
void ServiceRuntimeWrite(const std::string& machineDir, const std::string& name, const ServiceRuntime& runtime);
bool ServiceRunning(const std::string& machineDir, const std::string& name);

// Control requests: appended by ControlService, taken by the service's dispatcher.
void ServicePostControl(const std::string& machineDir, const std::string& name, uint32_t control);
bool ServiceTakeControl(const std::string& machineDir, const std::string& name, uint32_t* control);
bool ServiceControlPending(const std::string& machineDir, const std::string& name);

// Removes the entry of a service marked for deletion once it no longer runs and this
// process holds no handle to it, as the manager does when the last handle closes or
// the service stops. True when the entry was removed.
bool ServiceRemoveIfMarked(const std::string& name);
// At start-up the manager drops every entry marked for deletion. The attached process's registry.
void ServicesRemoveAllMarked();

// The boot's part: starts every auto-start own-process service whose program is an
// installed host program, as LocalSystem (or its account) on the non-interactive window
// station, and waits for them to end (at most timeoutMs; the rest are killed). One line
// per service started into *report. ERROR_SUCCESS or the registry's error.
uint32_t StartAutoStartServices(const std::string& machineDir, uint32_t timeoutMs, std::vector<std::string>* report);

// The name the service control manager started this process as (empty: not a service
// process). Tests that run a service in-process set it.
std::string ServiceStartedAs();
void ServiceSetStartedAs(const std::string& name);
// Every status this process reported with SetServiceStatus, in order (for tests).
// Waits for the last service main function this process started to return (a process that
// ends takes that thread with it; tests that go on in the same process wait for it).
bool ServiceMainWaitEnd(unsigned milliseconds);
std::vector<SERVICE_STATUS> ServiceStatusHistory();
void ServiceStatusHistoryClear();

}  // namespace ntsim
