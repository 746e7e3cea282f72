// The system preparation tool (sysprep): waiting at start-up until its one-shot service
// "PSysDup2" has finished, dropping a stale entry of it, and removing the administrator
// password its answer file leaves behind.
#pragma once
#include "nt/win32.h"

extern const char* const kPrepToolService;  // "PSysDup2"

// 1 when the tool's service entry exists and its program file exists (an empty program
// path counts as present); otherwise 0, after dropping an entry whose program file is gone.
int IsPrepToolPending();

// The start-up wait: up to 600 s as the service, 5 s otherwise, for the tool to finish.
// 0 to go on; -1 (the run's result) after the box when the tool is still installed.
int WaitForPrepTool();

// Deletes "AdminPassword" in the section "NT4Preinstall" of the system directory's
// "$nt4pre$.inf"; a missing file or key changes nothing.
void RemovePrepToolPassword();
