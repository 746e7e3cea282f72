// The machine's clock (real or simulated) and the time calls that read it:
// Sleep, GetTickCount, GetSystemTime, GetLocalTime, GetSystemTimeAsFileTime, time().
#include "ntsim/kernel/clock.h"

#include <time.h>

#include <cstdlib>
#include <chrono>
#include <mutex>

#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;  // 1970-01-01 in FILETIME units

ntsim::SimRecursiveMutex g_mutex;
bool g_configured = false;  // set up for the attached process
bool g_simulated = false;
bool g_explicit = false;     // chosen by a test rather than machine.conf
uint64_t g_simFileTime = 0;
uint64_t g_simTick = 0;
uint64_t g_startTick = 0;
uint64_t g_slept = 0;

uint64_t RealFileTime() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochFileTime + (uint64_t)ts.tv_sec * 10000000ULL + (uint64_t)ts.tv_nsec / 100;
}

uint64_t RealTick() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000ULL + (uint64_t)ts.tv_nsec / 1000000;
}

// The setting lasts for one attached process: detaching forgets it.
void ForgetAtDetach() {
    if (ProcessAttached())
        AtProcessExit(1000, [] {
            std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
            g_configured = g_simulated = g_explicit = false;
            g_slept = 0;
        });
}

void Configure() {
    if (g_configured) return;
    g_configured = true;
    g_simulated = false;
    g_slept = 0;
    if (ProcessAttached()) {
        if (const ConfSection* c = CurrentProcess().conf.Find("clock")) {
            if (c->Get("mode", "real") == "simulated") {
                g_simulated = true;
                g_simFileTime = strtoull(c->Get("start", "0").c_str(), nullptr, 0);
                if (g_simFileTime == 0) g_simFileTime = RealFileTime();
                g_simTick = strtoull(c->Get("tick", "3600000").c_str(), nullptr, 0);
            }
        }
        ForgetAtDetach();
    }
    g_startTick = g_simulated ? g_simTick : RealTick();
}
}  // namespace

uint64_t ClockFileTime() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    Configure();
    return g_simulated ? g_simFileTime : RealFileTime();
}

uint64_t SteadyMs() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t ClockTickMs() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    Configure();
    return g_simulated ? g_simTick : RealTick();
}

uint64_t ClockSinceStartMs() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    Configure();
    return (g_simulated ? g_simTick : RealTick()) - g_startTick;
}

void ClockUseSimulated(uint64_t startFileTime, uint64_t startTickMs) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    if (!g_configured) ForgetAtDetach();
    g_configured = g_simulated = g_explicit = true;
    g_simFileTime = startFileTime ? startFileTime : RealFileTime();
    g_simTick = startTickMs;
    g_startTick = startTickMs;
    g_slept = 0;
}

void ClockUseReal() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    if (!g_configured) ForgetAtDetach();
    g_configured = true;
    g_simulated = g_explicit = false;
    g_startTick = RealTick();
    g_slept = 0;
}

bool ClockIsSimulated() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    Configure();
    return g_simulated;
}

bool ClockAdvance(uint64_t ms) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    Configure();
    if (!g_simulated) return false;
    g_simTick += ms;
    g_simFileTime += ms * 10000ULL;
    return true;
}

uint64_t ClockSleptMs() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    return g_slept;
}

namespace {
thread_local uint64_t t_created = 0;
}

void ThreadRecordCreation() { t_created = ClockFileTime(); }

uint64_t ThreadCreationTime() {
    if (t_created == 0) t_created = ClockFileTime();
    return t_created;
}

}  // namespace ntsim

using namespace ntsim;

VOID Sleep(DWORD dwMilliseconds) {
    {
        std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
        Configure();
        g_slept += dwMilliseconds;
        if (g_simulated) {
            // A simulated wait is over at once: the clock jumps instead.
            g_simTick += dwMilliseconds;
            g_simFileTime += (uint64_t)dwMilliseconds * 10000ULL;
            return;
        }
    }
    struct timespec ts;
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = (long)(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

DWORD GetTickCount(VOID) { return (DWORD)ClockTickMs(); }

VOID GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    uint64_t ft = ClockFileTime();
    lpSystemTimeAsFileTime->dwLowDateTime = (DWORD)ft;
    lpSystemTimeAsFileTime->dwHighDateTime = (DWORD)(ft >> 32);
}

static void FileTimeToParts(uint64_t ft, LPSYSTEMTIME st) {
    uint64_t ms = ft / 10000ULL;
    time_t seconds = (time_t)(ms / 1000ULL) - (time_t)(kUnixEpochFileTime / 10000000ULL);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    st->wYear = (WORD)(parts.tm_year + 1900);
    st->wMonth = (WORD)(parts.tm_mon + 1);
    st->wDayOfWeek = (WORD)parts.tm_wday;
    st->wDay = (WORD)parts.tm_mday;
    st->wHour = (WORD)parts.tm_hour;
    st->wMinute = (WORD)parts.tm_min;
    st->wSecond = (WORD)parts.tm_sec;
    st->wMilliseconds = (WORD)(ms % 1000ULL);
}

VOID GetSystemTime(LPSYSTEMTIME lpSystemTime) { FileTimeToParts(ClockFileTime(), lpSystemTime); }

// The simulated machine keeps its clock in UTC (no time zone is configured).
VOID GetLocalTime(LPSYSTEMTIME lpSystemTime) { FileTimeToParts(ClockFileTime(), lpSystemTime); }

time_t NtsimTime(time_t* seconds) {
    time_t now = (time_t)((ClockFileTime() - kUnixEpochFileTime) / 10000000ULL);
    if (seconds) *seconds = now;
    return now;
}
