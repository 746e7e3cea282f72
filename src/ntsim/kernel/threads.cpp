// Simulated threads: CreateThread on host threads, waitable thread objects with exit
// codes, and SuspendThread/TerminateThread by parking the thread in a signal handler
// (never while it is inside a critical section of the simulation).
#include "ntsim/kernel/threads.h"
#include "ntsim/kernel/clock.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/handles.h"
#include "nt/win32.h"

namespace ntsim {

namespace {

struct ThreadObject : KernelObject {
    DWORD id = 0;
    pthread_t native{};
    bool hasNative = false;
    std::atomic<int> suspendCount{0};
    std::atomic<bool> terminated{false};
    std::atomic<bool> parked{false};
    std::mutex mutex;
    std::condition_variable cv;
    bool started = false;
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;

    const char* Kind() const override { return "Thread"; }
    uint32_t Wait(uint32_t timeoutMs) override {
        CriticalSection critical;
        std::unique_lock<std::mutex> lock(mutex);
        auto done = [&] { return finished; };
        if (!WaitUntil(cv, lock, timeoutMs, done)) return WAIT_TIMEOUT;
        return WAIT_OBJECT_0;
    }
    void Finish(DWORD code) {
        // Waiters are told before the critical section ends: a thread that is terminated
        // parks for good as it leaves.
        CriticalSection critical;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (finished) return;
            finished = true;
            exitCode = code;
        }
        cv.notify_all();
    }
};

SimMutex g_mutex;
std::map<DWORD, std::shared_ptr<ThreadObject>> g_threads;  // by id
std::atomic<DWORD> g_nextId{0x104};
thread_local DWORD t_id = 0;
thread_local ThreadObject* t_self = nullptr;
thread_local int t_critical = 0;
thread_local volatile sig_atomic_t t_pending = 0;
int g_signal = 0;

void SleepBriefly() {
    timespec ts{0, 1000000};
    nanosleep(&ts, nullptr);
}

// Parks the calling thread while it is suspended; for ever once it was terminated.
void Park() {
    ThreadObject* self = t_self;
    if (!self) return;
    self->parked = true;
    while (self->terminated || self->suspendCount > 0) SleepBriefly();
    self->parked = false;
}

void OnSuspendSignal(int) {
    if (t_critical > 0) {
        t_pending = 1;  // parks as it leaves the critical section, holding no lock of the simulation
        return;
    }
    Park();
}

void InstallSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_signal = SIGRTMIN + 3;
        struct sigaction sa {};
        sa.sa_handler = OnSuspendSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(g_signal, &sa, nullptr);
    });
}

// Waits until the thread has parked or ended (or still should stop): a thread inside a
// critical section parks as it leaves it. Bounded, for a thread that waits inside one.
template <class StillWanted>
void WaitUntilParked(ThreadObject& t, StillWanted stillWanted) {
    for (int i = 0; i < 5000 && !t.parked && stillWanted(); ++i) {
        {
            CriticalSection critical;
            std::lock_guard<std::mutex> lock(t.mutex);
            if (t.finished) return;
        }
        SleepBriefly();
    }
}

std::shared_ptr<ThreadObject> ThreadFromHandle(HANDLE h) {
    if (h == GetCurrentThread()) {
        std::lock_guard<SimMutex> lock(g_mutex);
        auto it = g_threads.find(ThreadCurrentId());
        return it == g_threads.end() ? nullptr : it->second;
    }
    return HandleGetAs<ThreadObject>(h);
}

}  // namespace

uint32_t ThreadCurrentId() {
    if (t_id == 0) t_id = g_nextId.fetch_add(4);
    return t_id;
}

void ThreadEnterCritical() { ++t_critical; }

void ThreadLeaveCritical() {
    if (--t_critical == 0 && t_pending) {
        t_pending = 0;
        Park();
    }
}

bool ThreadEnded(uint32_t id) {
    std::lock_guard<SimMutex> lock(g_mutex);
    auto it = g_threads.find(id);
    if (it == g_threads.end()) return false;
    CriticalSection critical2;
    std::lock_guard<std::mutex> l2(it->second->mutex);
    return it->second->finished;
}

}  // namespace ntsim

using namespace ntsim;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (FaultFails("CreateThread", "")) return nullptr;
    if (!lpStartAddress) return Fail(ERROR_INVALID_PARAMETER, nullptr);
    InstallSignal();
    auto t = std::make_shared<ThreadObject>();
    t->id = g_nextId.fetch_add(4);
    t->start = lpStartAddress;
    t->parameter = lpParameter;
    t->suspendCount = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;
    {
        std::lock_guard<SimMutex> lock(g_mutex);
        g_threads[t->id] = t;
    }
    std::thread host([t] {
        t_id = t->id;
        t_self = t.get();
        ThreadRecordCreation();  // NtQueryInformationThread's creation time
        // A thread created suspended starts only when resumed.
        t->parked = true;
        while (t->suspendCount > 0 && !t->terminated) SleepBriefly();
        t->parked = false;
        if (t->terminated) return;
        DWORD code = t->start(t->parameter);
        t->Finish(code);
    });
    t->native = host.native_handle();
    t->hasNative = true;
    host.detach();
    if (lpThreadId) *lpThreadId = t->id;
    return HandleCreate(t);
}

DWORD ResumeThread(HANDLE hThread) {
    auto t = ThreadFromHandle(hThread);
    if (!t) return Fail(ERROR_INVALID_HANDLE, (DWORD)-1);
    int previous = t->suspendCount.load();
    if (previous > 0) t->suspendCount--;
    return (DWORD)previous;
}

DWORD SuspendThread(HANDLE hThread) {
    auto t = ThreadFromHandle(hThread);
    if (!t) return Fail(ERROR_INVALID_HANDLE, (DWORD)-1);
    {
        CriticalSection critical;
        std::lock_guard<std::mutex> lock(t->mutex);
        if (t->finished) return Fail(ERROR_ACCESS_DENIED, (DWORD)-1);
    }
    int previous = t->suspendCount.fetch_add(1);
    if (t.get() == t_self) {
        Park();
        return (DWORD)previous;
    }
    if (previous == 0 && t->hasNative) {
        pthread_kill(t->native, g_signal);
        // The caller goes on once the thread has stopped (after the system call it is in).
        WaitUntilParked(*t, [&] { return t->suspendCount > 0; });
    }
    return (DWORD)previous;
}

BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    auto t = ThreadFromHandle(hThread);
    if (!t) return Fail(ERROR_INVALID_HANDLE);
    if (t.get() == t_self) ExitThread(dwExitCode);
    {
        CriticalSection critical;
        std::lock_guard<std::mutex> lock(t->mutex);
        if (t->finished) return TRUE;
    }
    t->terminated = true;
    // The thread is parked for good (it runs no further code of the program) once it has
    // left the system call it is in; then its object is signalled with the exit code.
    if (!t->parked && t->hasNative) {
        pthread_kill(t->native, g_signal);
        WaitUntilParked(*t, [] { return true; });
    }
    t->Finish(dwExitCode);
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto t = ThreadFromHandle(hThread);
    if (!t || !lpExitCode) return Fail(ERROR_INVALID_HANDLE);
    CriticalSection critical;
    std::lock_guard<std::mutex> lock(t->mutex);
    *lpExitCode = t->exitCode;
    return TRUE;
}

VOID ExitThread(DWORD dwExitCode) {
    if (t_self) {
        t_self->Finish(dwExitCode);
        pthread_exit(nullptr);
    }
    // The first thread of the process: the process ends with it.
    exit((int)dwExitCode);
}

HANDLE GetCurrentThread(VOID) { return (HANDLE)(LONG_PTR)-2; }

DWORD GetCurrentThreadId(VOID) { return ThreadCurrentId(); }
