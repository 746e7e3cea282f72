// The 32-bit program on a 64-bit Windows: refused at start-up, before it changes anything.
#pragma once
#include "engine/command_line.h"

// Shown and logged when the program runs under WoW64 (names the 64-bit program).
extern const char* const kWow64Refusal;

// 1 when the process is a 32-bit one on a 64-bit Windows (IsWow64Process, bound by name:
// NT 4.0 and 2000 lack it, and so cannot be 64-bit): the box has been shown and the text
// appended to the log that the command line names, or as the service to the stored one.
// 0 otherwise, with nothing done.
int RefuseOnWow64(const CommandLineOptions& options);
