// The operator: a script that answers message boxes, types into controls, clicks
// buttons, presses wizard buttons, answers file dialogs and makes other programs'
// windows appear; and the transcript of everything the program showed. The script
// format is described in docs/operator.md.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "nt/win32.h"

namespace ntsim {

// Loads a script (replacing any earlier one). name is used in error messages
// ("name line N: ..."). On a bad line nothing is loaded and error says which.
bool OperatorLoadScript(const std::string& text, const std::string& name, std::string* error);
bool OperatorLoadScriptFile(const std::string& path, std::string* error);
// Forgets the script, the rules, the pending steps and the foreign windows' schedule.
void OperatorReset();
// True when every sequential step of the script has been performed.
bool OperatorDone();
// Steps not yet performed, as their script lines (for test failure messages).
std::vector<std::string> OperatorPendingSteps();

// The transcript: lines "[   1.234] what" in order. path empty: no file.
void TranscriptOpen(const std::string& path, bool toStderr);
void TranscriptClear();
// Every line so far without its time prefix.
std::vector<std::string> TranscriptLines();
// Adds a line (the simulation's own records; also usable by tools).
void TranscriptAdd(const std::string& line);

// Called by the user subset: the operator's one interface to it. The operator itself
// acts only through the Win32 calls any program may make (it includes nothing of the
// user subset's own state), so the dependency runs one way. The operator is set up lazily at the first UI call of an
// attached process from machine.conf [operator] (script, transcript, stderr, step
// lines) and the environment (NTSIM_OPERATOR names a script file, NTSIM_TRANSCRIPT a
// transcript file, NTSIM_TRANSCRIPT_STDERR=1 copies it to stderr).
void OperatorEnsureStarted();

// Message box: the answer (IDOK...) for a box; records the box and the answer.
int OperatorAnswerBox(const std::string& owner, const std::string& text, const std::string& caption, UINT type,
                      bool visible);
// File dialog: true with *path set when the script answers it; false for cancel.
bool OperatorAnswerFile(bool save, const std::string& title, const std::string& proposed, std::string* path);
// A modal loop on this thread is idle with `active` as its top window: performs at
// most one due step. True when it did something (the loop should look for messages again).
bool OperatorIdle(HWND active);
// Milliseconds the idle loop may sleep before the next step or foreign window is due.
uint32_t OperatorNextDueMs();
// Windows of other programs (a logon window, say) whose time has come: each is handed
// out once, and the user subset makes it appear on its desktop.
struct OperatorWindow {
    std::string title;
    std::string desktop;
};
std::vector<OperatorWindow> OperatorDueWindows();
// A secure-attention (Ctrl+Alt+Del) hot key was broadcast.
void OperatorSecureAttention();

}  // namespace ntsim
