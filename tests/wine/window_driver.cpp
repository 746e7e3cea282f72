// Drives the program's windows from outside, as an operator would, for the tests under
// Wine: finds a top-level window by its caption, prints where it is and what its
// controls say, presses a control, or closes it. Windows builds only.
//   window_driver find CAPTION [MS]     wait up to MS (default 10000) for the window
//   window_driver press CAPTION ID      clicks control ID (BM_CLICK), wherever it sits in the window
//   window_driver close CAPTION         WM_CLOSE
// Prints "window LEFT TOP WIDTH HEIGHT" and one "control ID CLASS TEXT" line per child;
// exit code 0 when the window was found, 1 when not.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Search {
    const char* caption;
    HWND found;
};

BOOL CALLBACK Match(HWND window, LPARAM data) {
    Search* search = reinterpret_cast<Search*>(data);
    char text[256];
    if (IsWindowVisible(window) && GetWindowTextA(window, text, sizeof text) && strcmp(text, search->caption) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND Find(const char* caption, DWORD waitMs) {
    DWORD start = GetTickCount();
    for (;;) {
        Search search = {caption, nullptr};
        EnumWindows(Match, reinterpret_cast<LPARAM>(&search));
        if (search.found || GetTickCount() - start >= waitMs) return search.found;
        Sleep(100);
    }
}

struct Control {
    int id;
    HWND found;
};

BOOL CALLBACK MatchId(HWND child, LPARAM data) {
    Control* control = reinterpret_cast<Control*>(data);
    if (GetDlgCtrlID(child) == control->id && IsWindowVisible(child)) {
        control->found = child;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
    if (!IsWindowVisible(child)) return TRUE;
    char cls[64], text[1024];
    GetClassNameA(child, cls, sizeof cls);
    // WM_GETTEXT reaches the controls of another process too (GetWindowText does not).
    text[0] = 0;
    SendMessageTimeoutA(child, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    for (char* c = text; *c; ++c)
        if (*c == '\r' || *c == '\n') *c = ' ';
    printf("control %d %s %s\n", GetDlgCtrlID(child), cls, text);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: window_driver find|press|close CAPTION [ARG]\n");
        return 2;
    }
    const char* command = argv[1];
    DWORD wait = (strcmp(command, "find") == 0 && argc > 3) ? (DWORD)atoi(argv[3]) : 10000;
    HWND window = Find(argv[2], wait);
    if (!window) {
        printf("no window \"%s\"\n", argv[2]);
        return 1;
    }
    if (strcmp(command, "press") == 0 && argc > 3) {
        // The sheet's buttons sit in the sheet, a page's controls in the page: search them all.
        Control control = {atoi(argv[3]), nullptr};
        EnumChildWindows(window, MatchId, reinterpret_cast<LPARAM>(&control));
        if (!control.found) {
            printf("no control %s in \"%s\"\n", argv[3], argv[2]);
            return 1;
        }
        // Posted: a click that opens a modal box must not hold the driver.
        PostMessageA(control.found, BM_CLICK, 0, 0);
        return 0;
    }
    if (strcmp(command, "close") == 0) {
        PostMessageA(window, WM_CLOSE, 0, 0);
        return 0;
    }
    RECT r;
    GetWindowRect(window, &r);
    printf("window %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    EnumChildWindows(window, PrintChild, 0);
    fflush(stdout);
    return 0;
}
