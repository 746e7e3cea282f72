// Application start-up: the entry point's checks in their order, the four ways of running
// (the wizard, a command-line request, the service at boot, the temporary copy) and
// ApplyOptions, which carries the command line into the wizard and the job.
#pragma once
#include "engine/command_line.h"
#include "nt/win32.h"

struct AppState {
    HANDLE serviceThread;  // the dispatcher thread when running as the service
    int role;              // MachineRole
    CommandLineOptions options;
    HMODULE richEditLibrary;
};
extern AppState appState;

// The entry point's work: returns the process exit code.
int RunProgram(HINSTANCE instance, const char* arguments);
// 1 to go on, 0 to end with exit code -1 (every refusal has shown its box).
int InitializeProgram(const char* arguments);
// The run step after a successful initialisation: the exit code.
int RunStartedProgram();
// The accepted options into the wizard and the job (and the install step or deletion
// they ask for); nothing without a wizard.
void ApplyOptions();
