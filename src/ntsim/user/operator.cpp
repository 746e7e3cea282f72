// The operator script: parsed into standing answers for message boxes and a list of
// steps performed in order whenever a modal loop is idle; and the windows of other
// programs that it makes appear.
#include "ntsim/user/operator.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "ntsim/kernel/clock.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {

enum class StepKind { Wait, WaitFor, Type, Click, Check, Uncheck, Focus, Press, SysMenu, Close, File };

struct Step {
    StepKind kind;
    int line = 0;
    std::string source;  // the script line
    int control = 0;
    std::string text;    // typed text, title pattern, button name, file path ("" with cancel)
    bool cancel = false;
    uint32_t ms = 0;
};

struct BoxRule {
    int line = 0;
    std::string pattern;
    std::string button;
    bool once = false;
    bool used = false;
};

struct ForeignWindow {
    int line = 0;
    std::string title;
    std::string desktop = "WinSta0\\Default";
    uint32_t delayMs = 0;
    bool onSecureAttention = false;
    uint64_t due = 0;  // 0: not yet scheduled
    bool shown = false;
};

struct Script {
    std::string name;
    std::vector<BoxRule> rules;
    std::vector<Step> steps;
    std::vector<ForeignWindow> windows;
    uint32_t timeoutMs = 30000;
    uint32_t idleMs = 0;  // 0: a dialog with nothing left to do waits, as for a person
};

ntsim::SimRecursiveMutex g_mutex;
Script g_script;
size_t g_next = 0;             // index of the next step
uint64_t g_stepSince = 0;      // when the next step was first tried
uint64_t g_idleSince = 0;      // when the idle loop last had nothing to do
bool g_started = false;        // set up from machine.conf and the environment
bool g_scriptGiven = false;    // a test loaded the script itself

// Splits a line into words; "quoted text" is one word ("" inside quotes is a quote).
bool Tokenize(const std::string& line, std::vector<std::string>* words, std::vector<bool>* quoted, std::string* error) {
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') break;
        if (c == '"') {
            std::string w;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        w += '"';
                        i += 2;
                        continue;
                    }
                    closed = true;
                    ++i;
                    break;
                }
                w += line[i++];
            }
            if (!closed) {
                *error = "unterminated quoted text";
                return false;
            }
            words->push_back(w);
            quoted->push_back(true);
            continue;
        }
        std::string w;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') w += line[i++];
        words->push_back(w);
        quoted->push_back(false);
    }
    return true;
}

bool Same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool ParseNumber(const std::string& w, uint32_t* out) {
    if (w.empty()) return false;
    char* end = nullptr;
    unsigned long v = strtoul(w.c_str(), &end, 0);
    if (*end || v > 0x7FFFFFFF) return false;
    *out = (uint32_t)v;
    return true;
}

const char* kButtons[] = {"OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No", "Close", "Help", "TryAgain", "Continue"};

int ButtonId(const std::string& name) {
    for (int i = 0; i < 11; ++i)
        if (Same(name, kButtons[i])) return i + 1;
    return 0;
}

std::string ButtonName(int id) { return id >= 1 && id <= 11 ? kButtons[id - 1] : "button " + std::to_string(id); }

// The buttons a box of this type has, in order (the first is the default unless MB_DEFBUTTONn).
std::vector<int> BoxButtons(UINT type) {
    switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
        return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
        return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
        return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
        return {IDYES, IDNO};
    case MB_RETRYCANCEL:
        return {IDRETRY, IDCANCEL};
    case MB_CANCELTRYCONTINUE:
        return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
    }
    return {IDOK};
}

std::string IconName(UINT type) {
    switch (type & MB_ICONMASK) {
    case MB_ICONHAND:
        return "error icon";
    case MB_ICONQUESTION:
        return "question icon";
    case MB_ICONEXCLAMATION:
        return "warning icon";
    case MB_ICONASTERISK:
        return "information icon";
    }
    return "no icon";
}

bool ParseLine(const std::string& line, int number, Script* s, std::string* error) {
    std::vector<std::string> w;
    std::vector<bool> q;
    if (!Tokenize(line, &w, &q, error)) return false;
    if (w.empty()) return true;
    const std::string& verb = w[0];
    auto need = [&](size_t n, const char* usage) {
        if (w.size() != n) {
            *error = std::string("expected: ") + usage;
            return false;
        }
        return true;
    };
    auto control = [&](const std::string& word, int* id) {
        uint32_t v;
        if (!ParseNumber(word, &v)) {
            *error = "\"" + word + "\" is not a control id";
            return false;
        }
        *id = (int)v;
        return true;
    };
    Step step;
    step.line = number;
    step.source = line;
    if (Same(verb, "answer")) {
        BoxRule r;
        r.line = number;
        size_t at = 1;
        if (w.size() > 1 && !q[1] && Same(w[1], "once")) r.once = true, at = 2;
        if (w.size() != at + 2 || !q[at]) {
            *error = "expected: answer [once] \"text pattern\" BUTTON";
            return false;
        }
        r.pattern = w[at];
        r.button = w[at + 1];
        if (!ButtonId(r.button)) {
            *error = "unknown button \"" + r.button + "\" (OK, Cancel, Abort, Retry, Ignore, Yes, No, TryAgain, Continue)";
            return false;
        }
        s->rules.push_back(r);
        return true;
    }
    if (Same(verb, "timeout") || Same(verb, "idle")) {
        uint32_t secs;
        if (!need(2, Same(verb, "idle") ? "idle SECONDS" : "timeout SECONDS")) return false;
        if (!ParseNumber(w[1], &secs)) {
            *error = "\"" + w[1] + "\" is not a number of seconds";
            return false;
        }
        (Same(verb, "idle") ? s->idleMs : s->timeoutMs) = secs * 1000;
        return true;
    }
    if (Same(verb, "window")) {
        ForeignWindow f;
        f.line = number;
        if (w.size() < 2 || !q[1]) {
            *error = "expected: window \"title\" [desktop NAME] [after MILLISECONDS | on ctrl-alt-del]";
            return false;
        }
        f.title = w[1];
        for (size_t i = 2; i < w.size(); i += 2) {
            if (i + 1 >= w.size()) {
                *error = "\"" + w[i] + "\" needs a value";
                return false;
            }
            if (Same(w[i], "desktop"))
                f.desktop = w[i + 1].find('\\') == std::string::npos ? "WinSta0\\" + w[i + 1] : w[i + 1];
            else if (Same(w[i], "after")) {
                if (!ParseNumber(w[i + 1], &f.delayMs)) {
                    *error = "\"" + w[i + 1] + "\" is not a number of milliseconds";
                    return false;
                }
            } else if (Same(w[i], "on") && Same(w[i + 1], "ctrl-alt-del"))
                f.onSecureAttention = true;
            else {
                *error = "unknown window option \"" + w[i] + "\" (desktop, after, on ctrl-alt-del)";
                return false;
            }
        }
        s->windows.push_back(f);
        return true;
    }
    if (Same(verb, "wait")) {
        if (w.size() == 3 && Same(w[1], "for") && q[2]) {
            step.kind = StepKind::WaitFor;
            step.text = w[2];
        } else if (w.size() == 2 && ParseNumber(w[1], &step.ms)) {
            step.kind = StepKind::Wait;
        } else {
            *error = "expected: wait MILLISECONDS, or wait for \"title pattern\"";
            return false;
        }
    } else if (Same(verb, "type")) {
        if (!need(3, "type CONTROL \"text\"") || !control(w[1], &step.control)) return false;
        step.kind = StepKind::Type;
        step.text = w[2];
    } else if (Same(verb, "click") || Same(verb, "check") || Same(verb, "uncheck") || Same(verb, "focus")) {
        if (!need(2, (verb + " CONTROL").c_str()) || !control(w[1], &step.control)) return false;
        step.kind = Same(verb, "click")   ? StepKind::Click
                    : Same(verb, "check") ? StepKind::Check
                    : Same(verb, "focus") ? StepKind::Focus
                                          : StepKind::Uncheck;
    } else if (Same(verb, "press")) {
        if (!need(2, "press Back|Next|Finish|Cancel|OK")) return false;
        static const char* names[] = {"Back", "Next", "Finish", "Cancel", "OK"};
        bool known = false;
        for (const char* n : names) known = known || Same(w[1], n);
        if (!known) {
            *error = "unknown button \"" + w[1] + "\" (Back, Next, Finish, Cancel, OK)";
            return false;
        }
        step.kind = StepKind::Press;
        step.text = w[1];
    } else if (Same(verb, "sysmenu")) {
        if (!need(2, "sysmenu COMMAND (a number, or Minimize, Restore, Close)")) return false;
        step.kind = StepKind::SysMenu;
        if (Same(w[1], "Minimize"))
            step.control = SC_MINIMIZE;
        else if (Same(w[1], "Restore"))
            step.control = SC_RESTORE;
        else if (Same(w[1], "Close"))
            step.control = SC_CLOSE;
        else if (!control(w[1], &step.control))
            return false;
    } else if (Same(verb, "close")) {
        if (!need(1, "close")) return false;
        step.kind = StepKind::Close;
    } else if (Same(verb, "file")) {
        if (w.size() != 2) {
            *error = "expected: file \"path\", or file cancel";
            return false;
        }
        step.kind = StepKind::File;
        if (!q[1] && Same(w[1], "cancel"))
            step.cancel = true;
        else
            step.text = w[1];
    } else {
        *error = "unknown action \"" + verb + "\"";
        return false;
    }
    s->steps.push_back(step);
    return true;
}

bool ParseScript(const std::string& text, const std::string& name, Script* s, std::string* error) {
    s->name = name;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string why;
        if (!ParseLine(line, number, s, &why)) {
            *error = name + " line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

void Install(Script&& s) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    g_script = std::move(s);
    g_next = 0;
    g_stepSince = 0;
    g_idleSince = 0;
    uint64_t now = SteadyMs();
    for (auto& f : g_script.windows)
        if (!f.onSecureAttention) f.due = now + f.delayMs;
}

std::string HostPath(const std::string& path) {
    if (path.empty() || path[0] == '/' || !ProcessAttached()) return path;
    return MachineFile(path);
}

// ---- performing steps ----

// The operator sees the screen as a person does, through the calls any program may
// make; a wizard is a window with the sheet's Finish button.
const int kSheetBack = 12323, kSheetNext = 12324, kSheetFinish = 12325;

bool IsWizard(HWND active) { return active && GetDlgItem(active, kSheetFinish) != nullptr; }

// The window a step acts on: the active top window's visible page (a property sheet's
// current page, or any dialog shown inside it) when it has one, else the window itself.
HWND ActivePage(HWND active) {
    struct Search {
        HWND parent;
        HWND page;
    } search{active, nullptr};
    EnumChildWindows(
        active,
        [](HWND c, LPARAM p) -> BOOL {
            auto* s = (Search*)p;
            char cls[16] = "";
            GetClassNameA(c, cls, sizeof cls);
            if (GetParent(c) != s->parent || strcmp(cls, "#32770") != 0 || !IsWindowVisible(c)) return TRUE;
            s->page = c;
            return FALSE;
        },
        (LPARAM)&search);
    return search.page ? search.page : active;
}

HWND FindControl(HWND active, int id) {
    HWND page = ActivePage(active);
    if (page && page != active)
        if (HWND c = GetDlgItem(page, id)) return c;
    return GetDlgItem(active, id);
}

bool Usable(HWND c) { return c && IsWindowVisible(c) && IsWindowEnabled(c); }

std::string Title(HWND h) {
    char text[1024] = "";
    GetWindowTextA(h, text, sizeof text);
    return text;
}

// Tries the step on the active window: 1 done, 0 not possible yet, -1 impossible.
int Perform(const Step& s, HWND active, std::string* why) {
    HWND page = ActivePage(active);
    std::string where = "\"" + Title(page) + "\"";
    switch (s.kind) {
    case StepKind::Wait:
        return 1;
    case StepKind::WaitFor:
        if (GlobMatch(s.text, Title(active)) || GlobMatch(s.text, Title(page))) return 1;
        *why = "\"" + Title(page) + "\" is showing";
        return 0;
    case StepKind::Type:
    case StepKind::Click:
    case StepKind::Check:
    case StepKind::Uncheck:
    case StepKind::Focus: {
        HWND c = FindControl(active, s.control);
        if (!Usable(c)) {
            *why = c ? "control " + std::to_string(s.control) + " is disabled or hidden"
                     : "no control " + std::to_string(s.control) + " in " + where;
            return 0;
        }
        char cls[32] = "";
        GetClassNameA(c, cls, sizeof cls);
        if (s.kind == StepKind::Type) {
            if (strcasecmp(cls, "Edit") != 0 && strcasecmp(cls, "RICHEDIT") != 0) {
                *why = "control " + std::to_string(s.control) + " is not an edit control";
                return -1;
            }
            TranscriptAdd("operator: types \"" + s.text + "\" into " + where + " control " + std::to_string(s.control));
            SetFocus(c);
            // Select everything and type over it, as a person replacing a field's text.
            SendMessageA(c, EM_SETSEL, 0, -1);
            SendMessageA(c, WM_CHAR, '\b', 0);
            for (char ch : s.text) SendMessageA(c, WM_CHAR, (WPARAM)(unsigned char)ch, 0);
            return 1;
        }
        if (s.kind == StepKind::Focus) {
            TranscriptAdd("operator: focus on " + where + " control " + std::to_string(s.control));
            SetFocus(c);
            return 1;
        }
        if (strcasecmp(cls, "Button") != 0) {
            *why = "control " + std::to_string(s.control) + " is not a button";
            return -1;
        }
        if (s.kind != StepKind::Click) {
            bool checked = SendMessageA(c, BM_GETCHECK, 0, 0) == BST_CHECKED;
            if (checked == (s.kind == StepKind::Check)) {
                TranscriptAdd("operator: " + where + " control " + std::to_string(s.control) + " is already " +
                              (checked ? "checked" : "unchecked"));
                return 1;
            }
        }
        TranscriptAdd("operator: clicks " + where + " control " + std::to_string(s.control) + " \"" + Title(c) + "\"");
        SendMessageA(c, BM_CLICK, 0, 0);
        return 1;
    }
    case StepKind::Press: {
        bool sheet = IsWizard(active);
        if (Same(s.text, "OK") || (!sheet && Same(s.text, "Cancel"))) {
            int id = Same(s.text, "OK") ? IDOK : IDCANCEL;
            HWND b = GetDlgItem(active, id);
            if (!Usable(b)) {
                *why = "no usable " + s.text + " button in " + where;
                return 0;
            }
            TranscriptAdd("operator: presses " + s.text + " in " + where);
            SendMessageA(b, BM_CLICK, 0, 0);
            return 1;
        }
        if (!sheet) {
            *why = where + " is not a wizard";
            return 0;
        }
        int id = Same(s.text, "Back") ? kSheetBack : Same(s.text, "Next") ? kSheetNext : Same(s.text, "Finish") ? kSheetFinish : IDCANCEL;
        HWND b = GetDlgItem(active, id);
        if (!Usable(b)) {
            *why = "the " + s.text + " button of " + where + " is disabled or hidden";
            return 0;
        }
        TranscriptAdd("operator: presses " + s.text + " (\"" + Title(b) + "\") on " + where);
        SendMessageA(b, BM_CLICK, 0, 0);
        return 1;
    }
    case StepKind::SysMenu: {
        HMENU menu = GetSystemMenu(active, FALSE);
        SendMessageA(active, WM_INITMENUPOPUP, (WPARAM)menu, MAKELPARAM(0, TRUE));
        UINT state = GetMenuState(menu, (UINT)s.control, MF_BYCOMMAND);
        if (state == (UINT)-1 || (state & (MF_GRAYED | MF_DISABLED))) {
            *why = "system menu command " + std::to_string(s.control) + " is " + (state == (UINT)-1 ? "missing" : "grayed");
            return 0;
        }
        TranscriptAdd("operator: system menu command " + std::to_string(s.control) + " on \"" + Title(active) + "\"");
        SendMessageA(active, WM_SYSCOMMAND, (WPARAM)s.control, 0);
        return 1;
    }
    case StepKind::Close:
        TranscriptAdd("operator: closes \"" + Title(active) + "\"");
        SendMessageA(active, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 1;
    case StepKind::File:
        *why = "no file dialog is open";
        return 0;
    }
    return -1;
}

}  // namespace

bool OperatorLoadScript(const std::string& text, const std::string& name, std::string* error) {
    Script s;
    if (!ParseScript(text, name, &s, error)) return false;
    Install(std::move(s));
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    g_scriptGiven = true;
    return true;
}

bool OperatorLoadScriptFile(const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read operator script " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return OperatorLoadScript(text.str(), path, error);
}

void OperatorReset() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    g_script = Script{};
    g_next = 0;
    g_started = false;
    g_scriptGiven = false;
    TranscriptOpen("", false);
    TranscriptClear();
}

bool OperatorDone() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    return g_next >= g_script.steps.size();
}

std::vector<std::string> OperatorPendingSteps() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    std::vector<std::string> out;
    for (size_t i = g_next; i < g_script.steps.size(); ++i)
        out.push_back("line " + std::to_string(g_script.steps[i].line) + ": " + g_script.steps[i].source);
    return out;
}

void OperatorEnsureStarted() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    if (g_started) return;
    g_started = true;
    std::string transcript;
    bool toStderr = false;
    std::string scriptText, scriptName = "machine.conf [operator]";
    std::string error;
    if (ProcessAttached()) {
        if (const ConfSection* s = CurrentProcess().conf.Find("operator")) {
            transcript = s->Get("transcript", "");
            toStderr = Same(s->Get("stderr", "no"), "yes");
            std::string file = s->Get("script", "");
            if (!file.empty()) {
                std::ifstream in(HostPath(file));
                if (!in)
                    fprintf(stderr, "ntsim: cannot read the operator script %s\n", file.c_str());
                std::stringstream t;
                t << in.rdbuf();
                scriptText = t.str();
                scriptName = file;
            }
            for (const auto& kv : s->entries)
                if (Same(kv.first, "step")) scriptText += kv.second + "\n";
        }
    }
    if (const char* env = getenv("NTSIM_OPERATOR"); env && *env) {
        std::ifstream in(env);
        if (!in) fprintf(stderr, "ntsim: cannot read the operator script %s\n", env);
        std::stringstream t;
        t << in.rdbuf();
        scriptText = t.str();
        scriptName = env;
    }
    if (const char* env = getenv("NTSIM_TRANSCRIPT"); env && *env) transcript = env;
    if (const char* env = getenv("NTSIM_TRANSCRIPT_STDERR"); env && *env == '1') toStderr = true;
    TranscriptOpen(transcript.empty() ? "" : HostPath(transcript), toStderr);
    // A script a test loaded itself stays; the transcript settings still apply.
    if (!scriptText.empty() && !g_scriptGiven) {
        Script s;
        if (ParseScript(scriptText, scriptName, &s, &error)) {
            Install(std::move(s));
        } else {
            fprintf(stderr, "ntsim: operator script error: %s\n", error.c_str());
            TranscriptAdd("operator script error: " + error);
        }
    }
    if (ProcessAttached()) {
        const Process& p = CurrentProcess();
        TranscriptAdd("program: " + (p.commandLine.empty() ? std::string("(test)") : p.commandLine) + " as " + p.user +
                      (p.service ? " (service)" : ""));
    }
}

namespace {

// The box's own modal loop, as on Windows: what already waits for the thread (a second
// click posted behind the first, a line another thread sent) is delivered while the box
// is up, before the operator answers. Bounded, so that a window that posts to itself
// for ever cannot keep the box from its answer.
void DeliverWaitingMessages() {
    MSG m;
    for (int i = 0; i < 1000 && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (m.message == WM_QUIT) {
            PostQuitMessage((int)m.wParam);  // left for the loop outside the box
            break;
        }
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

}  // namespace

int OperatorAnswerBox(const std::string& owner, const std::string& text, const std::string& caption, UINT type,
                      bool visible) {
    std::vector<int> buttons = BoxButtons(type);
    size_t defIndex = (type & MB_DEFMASK) >> 8;
    int def = defIndex < buttons.size() ? buttons[defIndex] : buttons[0];
    std::string list;
    for (int b : buttons) list += (list.empty() ? "" : "/") + ButtonName(b);
    std::string head = "box \"" + caption + "\"" + (owner.empty() ? "" : " owned by \"" + owner + "\"") + " [" + list +
                       ", " + IconName(type) + ((type & MB_SERVICE_NOTIFICATION) ? ", service notification" : "") +
                       "]: \"" + text + "\"";
    TranscriptAdd(head);
    if (!visible) {
        // Nobody sees a box on a non-interactive desktop; it would wait for ever. It is
        // recorded as such and given its default button so that the run goes on.
        TranscriptAdd("  not seen (not on the interactive desktop): default button " + ButtonName(def));
        return def;
    }
    DeliverWaitingMessages();
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    for (BoxRule& r : g_script.rules) {
        if (r.used || !GlobMatch(r.pattern, text)) continue;
        int id = ButtonId(r.button);
        bool has = false;
        for (int b : buttons) has = has || b == id;
        if (!has) {
            TranscriptAdd("  operator: " + g_script.name + " line " + std::to_string(r.line) + " answers " + r.button +
                          ", which this box does not have");
            continue;
        }
        if (r.once) r.used = true;
        TranscriptAdd("  answered " + ButtonName(id) + " (" + g_script.name + " line " + std::to_string(r.line) + ")");
        return id;
    }
    TranscriptAdd("  no answer in the script: default button " + ButtonName(def));
    return def;
}

bool OperatorAnswerFile(bool save, const std::string& title, const std::string& proposed, std::string* path) {
    TranscriptAdd(std::string("file dialog \"") + title + "\" (" + (save ? "save" : "open") + "), proposed \"" +
                  proposed + "\"");
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    if (g_next < g_script.steps.size() && g_script.steps[g_next].kind == StepKind::File) {
        const Step& s = g_script.steps[g_next++];
        g_stepSince = 0;
        if (s.cancel) {
            TranscriptAdd("  cancelled (" + g_script.name + " line " + std::to_string(s.line) + ")");
            return false;
        }
        *path = s.text;
        TranscriptAdd("  answered \"" + s.text + "\" (" + g_script.name + " line " + std::to_string(s.line) + ")");
        return true;
    }
    TranscriptAdd("  no answer in the script: cancelled");
    return false;
}

bool OperatorIdle(HWND active) {
    Step step;
    size_t claimed;
    uint64_t since;
    {
        std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
        uint64_t now = SteadyMs();
        if (g_next >= g_script.steps.size()) {
            if (g_script.idleMs == 0) return false;
            if (g_idleSince == 0) g_idleSince = now;
            if (now - g_idleSince < g_script.idleMs) return false;
            g_idleSince = 0;
            TranscriptAdd("operator: nothing left to do for \"" + Title(active) + "\" after " +
                          std::to_string(g_script.idleMs / 1000) + " s: presses Escape");
            claimed = SIZE_MAX;
        } else {
            g_idleSince = 0;
            step = g_script.steps[g_next];
            if (g_stepSince == 0) g_stepSince = now;
            if (step.kind == StepKind::Wait) {
                if (now - g_stepSince < step.ms) return false;
                ++g_next;
                g_stepSince = 0;
                return true;
            }
            // Claimed before it is performed: performing it may open a nested modal
            // loop, which goes on with the following steps.
            claimed = g_next++;
            since = g_stepSince;
            g_stepSince = 0;
        }
    }
    if (claimed == SIZE_MAX) {
        SendMessageA(active, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(active, IDCANCEL));
        return true;
    }
    std::string why;
    int done = Perform(step, active, &why);
    if (done == 1) return true;
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    uint64_t now = SteadyMs();
    if (done == -1 || now - since >= g_script.timeoutMs) {
        TranscriptAdd("operator: " + g_script.name + " line " + std::to_string(step.line) + " (" + step.source +
                      ") not possible: " + why +
                      (done == -1 ? "" : "; gave up after " + std::to_string(g_script.timeoutMs / 1000) + " s"));
        return true;
    }
    // Not possible yet: the step waits for its window or control.
    if (g_next == claimed + 1) {
        g_next = claimed;
        g_stepSince = since;
    }
    return false;
}

uint32_t OperatorNextDueMs() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    uint64_t now = SteadyMs();
    uint64_t best = 1000;
    if (g_next < g_script.steps.size()) {
        const Step& s = g_script.steps[g_next];
        if (s.kind == StepKind::Wait && g_stepSince) best = std::min<uint64_t>(best, g_stepSince + s.ms > now ? g_stepSince + s.ms - now : 0);
        else best = std::min<uint64_t>(best, 20);
    }
    for (const auto& f : g_script.windows)
        if (!f.shown && f.due) best = std::min<uint64_t>(best, f.due > now ? f.due - now : 0);
    return (uint32_t)best;
}

std::vector<OperatorWindow> OperatorDueWindows() {
    std::vector<OperatorWindow> due;
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    uint64_t now = SteadyMs();
    for (auto& f : g_script.windows)
        if (!f.shown && f.due && f.due <= now) {
            f.shown = true;
            due.push_back({f.title, f.desktop});
        }
    return due;
}

void OperatorSecureAttention() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    uint64_t now = SteadyMs();
    for (auto& f : g_script.windows)
        if (f.onSecureAttention && !f.due) f.due = now + f.delayMs;
}

}  // namespace ntsim

