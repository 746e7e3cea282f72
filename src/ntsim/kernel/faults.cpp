// Fault injection rules and their call counters.
#include "ntsim/kernel/faults.h"

#include <ctype.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {
struct ActiveRule {
    FaultRule rule;
    long seen = 0;
};
ntsim::SimMutex g_mutex;
std::vector<ActiveRule> g_rules;
std::atomic<void (*)()> g_hooks[kPowerLossHookCount];
// Held calls: a plain mutex for the condition variable, bracketed as a critical section.
std::mutex g_holdMutex;
std::condition_variable g_holdChanged;
int g_heldCalls = 0;        // calls that met a hold since the rules were last cleared
unsigned g_releases = 0;    // each release lets the calls held before it go on

// The held call looks for its release every millisecond, outside any critical section in
// between: a thread held there can still be suspended or terminated, as one blocked in a
// system call can.
void WaitWhileHeld() {
    unsigned heldAt;
    {
        ntsim::CriticalSection section;
        std::lock_guard<std::mutex> lock(g_holdMutex);
        ++g_heldCalls;
        heldAt = g_releases;
        g_holdChanged.notify_all();
    }
    for (;;) {
        {
            ntsim::CriticalSection section;
            std::lock_guard<std::mutex> lock(g_holdMutex);
            if (g_releases != heldAt) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void RunHook(PowerLossHook which) {
    if (void (*hook)() = g_hooks[which].load()) hook();
}
}  // namespace

bool FaultSetPowerLossHook(PowerLossHook which, void (*hook)()) {
    g_hooks[which] = hook;
    return true;
}

std::atomic<size_t> faultRuleCount{0};
std::atomic<bool> faultLosesUnflushed{false};

void FaultAdd(const FaultRule& rule) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    g_rules.push_back(ActiveRule{rule, 0});
    faultRuleCount = g_rules.size();
    if (rule.kill && rule.loseUnflushed) faultLosesUnflushed = true;
}

void FaultClearAll() {
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        g_rules.clear();
        faultRuleCount = 0;
        faultLosesUnflushed = false;
        RunHook(kForgetUnflushedFiles);
    }
    ntsim::CriticalSection section;
    std::lock_guard<std::mutex> lock(g_holdMutex);
    g_heldCalls = 0;
    ++g_releases;
    g_holdChanged.notify_all();
}

bool FaultWaitHeld(uint32_t timeoutMs) {
    ntsim::CriticalSection section;
    std::unique_lock<std::mutex> lock(g_holdMutex);
    return WaitUntil(g_holdChanged, lock, timeoutMs, [] { return g_heldCalls > 0; });
}

void FaultReleaseHeld() {
    ntsim::CriticalSection section;
    std::lock_guard<std::mutex> lock(g_holdMutex);
    ++g_releases;
    g_holdChanged.notify_all();
}

bool FaultArmedByRule(const char* function) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    for (const auto& active : g_rules)
        if (active.rule.function == "*" || active.rule.function == function) return true;
    return false;
}

bool GlobMatch(const std::string& pattern, const std::string& text) {
    // Iterative matcher with one backtrack point: linear in practice, never recursive.
    size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || tolower((unsigned char)pattern[p]) == tolower((unsigned char)text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool FaultHit(const char* function, const std::string& path, uint32_t* error) {
    bool hold = false, fail = false, kill = false, flushFirst = false, loseUnflushed = false;
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        for (auto& active : g_rules) {
            const FaultRule& r = active.rule;
            if (r.function != "*" && r.function != function) continue;
            if (!r.pattern.empty() && !GlobMatch(r.pattern, path)) continue;
            ++active.seen;
            if (r.nth != 0 && active.seen != r.nth) continue;
            if (r.hold) {
                hold = true;
                continue;
            }
            if (r.kill) {
                kill = true;
                flushFirst = r.flushFirst;
                loseUnflushed = r.loseUnflushed;
            } else {
                fail = true;
                *error = r.error;
            }
            break;
        }
    }
    if (hold) WaitWhileHeld();  // outside the rules' lock: the test goes on calling meanwhile
    if (!kill) return fail;
    if (flushFirst) RunHook(kFlushRegistry);
    if (loseUnflushed) RunHook(kLoseUnflushedFiles);
    _exit(137);  // as a power cut: nothing else is written
}

bool FaultFails(const char* function, const std::string& path) {
    uint32_t error = 0;
    if (faultRuleCount.load(std::memory_order_relaxed) == 0) return false;  // the common case, without the lock
    if (!FaultHit(function, path, &error)) return false;
    SetLastError(error);
    return true;
}

}  // namespace ntsim
