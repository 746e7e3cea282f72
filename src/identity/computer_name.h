// The computer name change of stage 3: the operator's prompt when no name was given,
// the platform call that suits the version, the registry values of the network stack
// and the logon screen, and the mark that makes the clean-up run re-establish trust.
#pragma once
#include <cstddef>

#include "core/job_settings.h"
#include "nt/win32.h"

// The private message sent to the status window to ask for a name: wParam is the
// address of the accepted flag (cleared by the sender), lParam the NewNameRequest.
const UINT AskNewComputerName = 0x8522;

// What the prompt works on: the prompt dialog's window while it is open, and the
// name entered (the dialog takes up to 63 characters).
struct NewNameRequest {
    HWND dialog;
    char name[64];
};
// The request under way, for the prompt dialog to reach; none otherwise.
extern NewNameRequest* newNameRequest;

enum ComputerNameResult {
    kNameFailed = 0,      // reported; the run ends with the restore of the original registry
    kNameChanged = 1,     // the name waits for the next start; establishDomainTrust is stored
    kNameSkipped = 2,     // the operator cancelled the prompt
    kNameNotStored = 3    // changed, but the settings could not be stored: the run ends, no restore
};

// Sets changesMade of the job once it begins to write the name: only the original hives
// give the old name back.
ComputerNameResult ApplyNewComputerName(JobSettings* job);

// Whether name can be a computer name on this machine's Windows version: 1 to 15
// characters, no control characters, spaces or dots, none of " / \ [ ] : | < > + = ; , ? *,
// and what the version's own call refuses (NT 4.0: SetComputerNameA's character set;
// 2000 and later: a DNS host label). TRUE, or FALSE with a message for the operator in
// message (when given).
BOOL CheckComputerName(const char* name, char* message, size_t messageSize);
// The same for the version class given (GetOsVersionClass; 0 when unknown: both rules).
BOOL CheckComputerNameForVersion(const char* name, int versionClass, char* message, size_t messageSize);
