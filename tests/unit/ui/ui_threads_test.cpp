// Threads: suspended creation, waiting, exit codes, suspension that really stops the
// thread, termination; and the message loop of a hidden window with its quit message.
#include <sys/resource.h>

#include <atomic>
#include <cstdio>

#include "ui_machine.h"

using Threads = UiMachine;

namespace {

std::atomic<long> g_counter{0};
std::atomic<bool> g_stop{false};

DWORD WINAPI Count(LPVOID) {
    while (!g_stop) {
        g_counter++;
        Pause(1);
    }
    return 9;
}

DWORD WINAPI ReturnParameter(LPVOID p) { return (DWORD)(uintptr_t)p; }

DWORD WINAPI ExitEarly(LPVOID) {
    ExitThread(33);
    return 1;
}

}  // namespace

TEST_F(Threads, CreatedSuspendedStartsOnResumeAndReportsItsExitCode) {
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, ReturnParameter, (LPVOID)42, CREATE_SUSPENDED, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(id % 4, 0u);
    DWORD code = 0;
    EXPECT_EQ(WaitForSingleObject(t, 50), (DWORD)WAIT_TIMEOUT) << "a suspended thread does not run";
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(WaitForSingleObject(t, 5000), (DWORD)WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(ResumeThread(t), 0u);
    EXPECT_TRUE(CloseHandle(t));
    HANDLE e = CreateThread(nullptr, 0, ExitEarly, nullptr, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 5000), (DWORD)WAIT_OBJECT_0);
    GetExitCodeThread(e, &code);
    EXPECT_EQ(code, 33u);
    CloseHandle(e);
}

TEST_F(Threads, SuspendStopsTheThreadUntilResumedAndTerminateEndsIt) {
    g_counter = 0;
    g_stop = false;
    HANDLE t = CreateThread(nullptr, 0, Count, nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
    while (g_counter < 5) Pause(1);
    EXPECT_EQ(SuspendThread(t), 0u);
    EXPECT_EQ(SuspendThread(t), 1u);
    long frozen = g_counter;
    Pause(60);
    EXPECT_LE(g_counter - frozen, 1) << "a suspended thread makes no progress";
    EXPECT_EQ(ResumeThread(t), 2u);
    Pause(30);
    EXPECT_EQ(g_counter - frozen <= 1, true) << "still suspended once";
    EXPECT_EQ(ResumeThread(t), 1u);
    long resumed = g_counter;
    Pause(60);
    EXPECT_GT(g_counter, resumed) << "runs again";
    SuspendThread(t);
    EXPECT_TRUE(TerminateThread(t, 0xFFFFFFFF));
    EXPECT_EQ(WaitForSingleObject(t, 1000), (DWORD)WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 0xFFFFFFFFu);
    long after = g_counter;
    Pause(50);
    EXPECT_EQ(g_counter, after) << "a terminated thread runs no further code";
    CloseHandle(t);
    SetLastError(0);
    EXPECT_EQ(SuspendThread((HANDLE)0x7777), (DWORD)-1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(Threads, CreateThreadFaultFailsWithTheChosenError) {
    ntsim::FaultAdd({"CreateThread", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, ReturnParameter, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    HANDLE t = CreateThread(nullptr, 0, ReturnParameter, nullptr, 0, nullptr);
    EXPECT_NE(t, nullptr) << "only the first call fails";
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}

// ---- a hidden window and its message loop ----

namespace {

int g_timerTicks = 0;
std::vector<UINT> g_seen;

LRESULT CALLBACK ServiceWindowProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    if (msg == WM_USER + 1 || msg == WM_TIMER) g_seen.push_back(msg);
    if (msg == WM_DESTROY) {
        g_seen.push_back(msg);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(h, msg, w, l);
}

DWORD WINAPI EndFromAnotherThread(LPVOID p) {
    Pause(30);
    SendNotifyMessageA((HWND)p, WM_DESTROY, 0, 0);
    return 0;
}

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) { g_timerTicks++; }

}  // namespace

TEST_F(Threads, HiddenWindowLoopEndsWhenAnotherThreadSendsDestroy) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = ServiceWindowProc;
    wc.hInstance = instance_;
    wc.hIcon = LoadIconA(instance_, MAKEINTRESOURCE(IDI_TESSIV));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = "Tessiv";
    ASSERT_NE(RegisterClassA(&wc), 0);
    SetLastError(0);
    EXPECT_EQ(RegisterClassA(&wc), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);
    HWND h = CreateWindowExA(0, "Tessiv", "Tessiv", 0xCF0000, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, nullptr, nullptr, instance_, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(IsWindowVisible(h));
    g_seen.clear();
    g_timerTicks = 0;
    PostMessageA(h, WM_USER + 1, 0, 0);
    UINT_PTR timer = SetTimer(nullptr, 0, 10, Tick);
    HANDLE t = CreateThread(nullptr, 0, EndFromAnotherThread, h, 0, nullptr);
    MSG m;
    int loops = 0;
    while (GetMessageA(&m, nullptr, 0, 0)) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
        ++loops;
    }
    EXPECT_EQ(m.message, (UINT)WM_QUIT);
    ASSERT_GE(g_seen.size(), 2u);
    EXPECT_EQ(g_seen.front(), (UINT)(WM_USER + 1));
    EXPECT_EQ(g_seen.back(), (UINT)WM_DESTROY);
    EXPECT_GE(g_timerTicks, 1) << "the thread timer fired while the loop waited";
    KillTimer(nullptr, timer);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_TRUE(DestroyWindow(h));
    SetLastError(0);
    EXPECT_FALSE(PostMessageA(h, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostThreadMessageA(0x7FFFFFFC, WM_USER, 0, 0)) << "no such thread";
}

TEST_F(Threads, AWindowIsDestroyedOnlyByItsOwnThread) {
    HWND h = CreateWindowExA(0, "Static", "mine", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    struct Args {
        HWND h;
        BOOL ok;
        DWORD error;
    } a{h, TRUE, 0};
    HANDLE t = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD {
        Args* a = (Args*)p;
        a->ok = DestroyWindow(a->h);
        a->error = GetLastError();
        return 0;
    }, &a, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindow(h));
    EXPECT_TRUE(DestroyWindow(h));
}

// ---- suspending a thread that talks to a dialog ----

namespace {

struct Chatter {
    HWND dialog = nullptr;
    std::atomic<long> lines{0};
};

DWORD WINAPI ChatterThread(LPVOID p) {
    Chatter* c = (Chatter*)p;
    char line[32];
    for (long i = 0;; ++i) {
        snprintf(line, sizeof line, "line %ld", i);
        SetDlgItemTextA(c->dialog, IDC_STATUS_DETAIL, line);
        c->lines++;
    }
    return 0;
}

}  // namespace

TEST_F(Threads, ASuspendedSenderNeverHoldsTheDialogUp) {
    // The abort: the worker sends progress lines while the dialog's thread suspends it,
    // asks a question, and terminates it. The dialog's thread must never block.
    HWND dlg = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_STATUS), nullptr, nullptr, 0);
    ASSERT_NE(dlg, nullptr);
    Chatter c;
    c.dialog = dlg;
    HANDLE t = CreateThread(nullptr, 0, ChatterThread, &c, 0, nullptr);
    MSG m;
    for (int round = 0; round < 20; ++round) {
        long before = c.lines;
        while (c.lines < before + 3) PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
        EXPECT_EQ(SuspendThread(t), 0u);
        long frozen = c.lines;
        for (int i = 0; i < 5; ++i) PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
        SetDlgItemTextA(dlg, IDC_STATUS_HEADING, "Aborting process at user request...");
        EXPECT_EQ(MessageBoxA(nullptr, "Are you sure you want to abort this procedure?", "C", MB_YESNOCANCEL), IDYES);
        EXPECT_LE(c.lines - frozen, 1) << "no progress while suspended";
        EXPECT_EQ(ResumeThread(t), 1u);
    }
    SuspendThread(t);
    EXPECT_TRUE(TerminateThread(t, 0xFFFFFFFF));
    EXPECT_EQ(WaitForSingleObject(t, 1000), (DWORD)WAIT_OBJECT_0);
    for (int i = 0; i < 5; ++i) PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    char text[64];
    GetDlgItemTextA(dlg, IDC_STATUS_HEADING, text, sizeof text);
    EXPECT_STREQ(text, "Aborting process at user request...");
    CloseHandle(t);
    DestroyWindow(dlg);
}

// ---- a sent message wakes its receiver only ----

namespace {

struct Bystander {
    DWORD id = 0;
    std::atomic<bool> waiting{false};
    long switches = -1;  // voluntary context switches while it waited for its quit
};

long VoluntarySwitches() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

DWORD WINAPI BystanderLoop(LPVOID p) {
    Bystander* b = (Bystander*)p;
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue
    long before = VoluntarySwitches();
    b->waiting = true;
    while (GetMessageA(&m, nullptr, 0, 0)) {
    }
    b->switches = VoluntarySwitches() - before;
    return 0;
}

struct Lines {
    HWND dialog = nullptr;
    DWORD owner = 0;
};

DWORD WINAPI SendLines(LPVOID p) {
    Lines* l = (Lines*)p;
    char line[32];
    for (int i = 0; i < 400; ++i) {
        snprintf(line, sizeof line, "line %d", i);
        SetDlgItemTextA(l->dialog, IDC_STATUS_DETAIL, line);
    }
    PostThreadMessageA(l->owner, WM_USER + 7, 0, 0);
    return 0;
}

}  // namespace

TEST_F(Threads, ProgressLinesSentToADialogDoNotWakeOtherWaitingThreads) {
    HWND dlg = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_STATUS), nullptr, nullptr, 0);
    ASSERT_NE(dlg, nullptr);
    Bystander b;
    HANDLE idle = CreateThread(nullptr, 0, BystanderLoop, &b, 0, &b.id);
    while (!b.waiting) Pause(1);
    Lines lines{dlg, GetCurrentThreadId()};
    HANDLE sender = CreateThread(nullptr, 0, SendLines, &lines, 0, nullptr);
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) && m.message != WM_USER + 7) DispatchMessageA(&m);
    EXPECT_EQ(WaitForSingleObject(sender, 5000), (DWORD)WAIT_OBJECT_0);
    char text[32];
    GetDlgItemTextA(dlg, IDC_STATUS_DETAIL, text, sizeof text);
    EXPECT_STREQ(text, "line 399");
    ASSERT_TRUE(PostThreadMessageA(b.id, WM_QUIT, 0, 0));
    EXPECT_EQ(WaitForSingleObject(idle, 5000), (DWORD)WAIT_OBJECT_0);
    EXPECT_GE(b.switches, 1) << "woken by its own quit";
    EXPECT_LT(b.switches, 40) << "400 messages to another thread woke the waiting thread";
    CloseHandle(sender);
    CloseHandle(idle);
    DestroyWindow(dlg);
}
