// Simulated threads: ids, suspension points and the thread objects behind thread handles.
#pragma once
#include <cstdint>

namespace ntsim {

// The calling thread's id (assigned at its first use; multiples of 4 as NT's).
uint32_t ThreadCurrentId();
// A thread inside a critical section of the simulation (holding one of its locks) is
// not parked by SuspendThread/TerminateThread until it leaves the outermost section:
// a suspended thread must never hold a lock that the suspending thread needs.
// Code that holds a lock across calls (the machine lock, the UI lock) brackets it.
void ThreadEnterCritical();
void ThreadLeaveCritical();
// True when the thread with this id has ended (returned, exited or was terminated).
bool ThreadEnded(uint32_t id);

}  // namespace ntsim
