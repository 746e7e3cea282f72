// Simulated threads: ids, suspension points and the thread objects behind thread handles.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ntsim {

// The calling thread's id (assigned at its first use; multiples of 4 as NT's).
uint32_t ThreadCurrentId();
// A thread inside a critical section of the simulation (holding one of its locks) is
// not parked by SuspendThread/TerminateThread until it leaves the outermost section,
// as NT finishes a system call before it stops a thread: a suspended thread must never
// hold a lock that the suspending thread needs. Every lock of the simulation is one of
// the two below, or (where a condition variable needs a plain mutex) is bracketed.
void ThreadEnterCritical();
void ThreadLeaveCritical();
// True when the thread with this id has ended (returned, exited or was terminated).
bool ThreadEnded(uint32_t id);

// The simulation's locks: a thread holding one is a thread in a critical section.
template <class M>
class SuspensionSafe {
public:
    void lock() {
        ThreadEnterCritical();
        mutex_.lock();
    }
    bool try_lock() {
        ThreadEnterCritical();
        if (mutex_.try_lock()) return true;
        ThreadLeaveCritical();
        return false;
    }
    void unlock() {
        mutex_.unlock();
        ThreadLeaveCritical();
    }

private:
    M mutex_;
};
using SimMutex = SuspensionSafe<std::mutex>;
using SimRecursiveMutex = SuspensionSafe<std::recursive_mutex>;

// Brackets a plain mutex held across a condition variable's wait.
struct CriticalSection {
    CriticalSection() { ThreadEnterCritical(); }
    ~CriticalSection() { ThreadLeaveCritical(); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
};

// Waits on the condition until ready() holds, as a wait on an NT object does: for at
// most timeoutMs, or without a limit for INFINITE. False when the time ran out.
template <class Ready>
bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs, Ready ready) {
    if (timeoutMs == 0xFFFFFFFFu /*INFINITE*/) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace ntsim
