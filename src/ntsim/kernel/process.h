// The process bootstrap: which simulated machine, session and account this host
// process belongs to, its exit hooks, and the per-machine lock.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ntsim/kernel/conf.h"

namespace ntsim {

struct Process {
    std::string machineDir;   // host directory of the machine
    uint64_t attachNumber = 0;  // counts the attaches of this host process: tells one attach from the next
    Conf conf;                // its machine.conf as loaded at attach
    std::string user;         // account name the process runs as ("Administrator", "SYSTEM", ...)
    bool service = false;     // runs as a service (LocalSystem, non-interactive window station)
    std::string imagePath;    // Windows path of the running program, if any
    std::string commandLine;  // full Windows-style command line
    // Environment variables (names compared case-insensitively): SystemRoot, windir,
    // TEMP, TMP, COMPUTERNAME, USERNAME, USERPROFILE, plus machine.conf [environment].
    std::vector<std::pair<std::string, std::string>> environment;
};

// The process environment's value of name (case-insensitive), or empty with *found false.
std::string ProcessGetEnv(const std::string& name, bool* found = nullptr);
void ProcessSetEnv(const std::string& name, const std::string& value);

// Attaches this host process to the machine in dir. user empty: the logged-on
// user named in machine.conf ([session] user), or "SYSTEM" for a service.
bool ProcessAttach(const std::string& dir, const std::string& user, bool service, std::string* error);

// Runs the exit hooks (hives are written) and forgets the machine.
void ProcessDetach();

bool ProcessAttached();
Process& CurrentProcess();  // only valid while attached

// The process a boot step works in: this one when it belongs to the machine, otherwise
// this process attached as LocalSystem for the step and detached at its end.
class BootStepProcess {
public:
    explicit BootStepProcess(const std::string& machineDir);
    ~BootStepProcess();
    bool Ready() const { return ready_; }  // false when the machine could not be attached
    BootStepProcess(const BootStepProcess&) = delete;
    BootStepProcess& operator=(const BootStepProcess&) = delete;

private:
    bool ready_ = true;
    bool attachedHere_ = false;
};

// Host path of a file inside the machine directory.
std::string MachineFile(const std::string& relative);

// Hooks run by ProcessDetach, lowest order first; also at normal exit().
void AtProcessExit(int order, std::function<void()> hook);

// Serialises simulated processes of one machine while they touch shared files.
class MachineLock {
public:
    MachineLock();
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

private:
    int fd_ = -1;
    bool outer_ = false;
};

}  // namespace ntsim
