// The machine's processes: host programs installed at Windows paths, started as
// processes of the machine (CreateProcessA, the service control manager, ntsim run),
// the table of those still running, and their end at shutdown.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ntsim {

// What a new process of the machine gets: its image, command line, account and session.
struct LaunchRequest {
    std::string machineDir;
    std::string image;        // full Windows path of the program file
    std::string commandLine;  // the whole Windows command line, as given
    std::string user;         // account the process runs as
    bool service = false;     // non-interactive window station (LocalSystem services and their children)
    std::string serviceName;  // set when the service control manager starts it
};

// Resolves a Windows path to an installed host program. ERROR_SUCCESS, ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND, or ERROR_BAD_EXE_FORMAT for a file that is not a host program.
uint32_t ProgramHostPath(const std::string& windowsPath, std::string* hostPath);

// The program a command line names, found as CreateProcessA without an application name
// finds it: the quoted first token; or, unquoted, the shortest prefix ending at a space that
// names a program (".exe" added when the name has no extension). ERROR_SUCCESS with *image.
uint32_t CommandLineProgram(const std::string& commandLine, std::string* image);

// Starts the program (its host file) as a process of the machine. ERROR_SUCCESS with *pid.
uint32_t ProcessLaunch(const LaunchRequest& request, pid_t* pid);

// Waits for a process started by ProcessLaunch; false on timeout. *exitCode when it ended.
bool ProcessWaitExit(pid_t pid, uint32_t timeoutMs, uint32_t* exitCode);

struct RunningProcess {
    pid_t pid = 0;
    std::string image;     // Windows path
    std::string hostPath;  // its host file
};

// The table of running processes lives in the machine directory (".processes"). A program
// started inside the machine enters itself at attach and leaves at exit.
void ProcessTableEnter(const std::string& image, const std::string& hostPath);
std::vector<RunningProcess> ProcessTableList(const std::string& machineDir);
// True when a running process of the machine other than this one runs the host file.
bool ImageInUse(const std::string& hostPath);

// Ends every running process of the machine except this one: they get graceMs to end by
// themselves (a restart's wait for applications), then are killed. Returns how many were killed.
int EndMachineProcesses(const std::string& machineDir, uint32_t graceMs);

// The CRT's split of a Windows command line: the text after the program name.
std::string CommandLineArguments(const std::string& commandLine);

}  // namespace ntsim
