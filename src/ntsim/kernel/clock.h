// The machine's clock: real by default; simulated when a test or machine.conf
// ("[clock] mode = simulated") says so. A simulated clock moves only when Sleep
// or ClockAdvance moves it, so waits of seconds cost a test nothing.
#pragma once
#include <cstdint>

namespace ntsim {

// 100-nanosecond units since 1 January 1601 (UTC), as a FILETIME counts.
uint64_t ClockFileTime();
// Milliseconds since the machine started (GetTickCount's 32 bits are its low half).
uint64_t ClockTickMs();
// Milliseconds of clock time since this process attached (or since the clock was set).
uint64_t ClockSinceStartMs();

// Real milliseconds of the host's steady clock, never simulated: the user interface's
// timers, message times and the operator's pauses run on it.
uint64_t SteadyMs();

// Switches to a simulated clock standing at the given time and tick count.
// startFileTime 0: the real time now. The choice lasts until ClockUseReal or detach.
void ClockUseSimulated(uint64_t startFileTime = 0, uint64_t startTickMs = 3600000);
void ClockUseReal();
bool ClockIsSimulated();
// Moves a simulated clock forward (a real clock cannot be moved: false).
bool ClockAdvance(uint64_t ms);
// Total milliseconds that Sleep has waited in this process since the clock was set.
uint64_t ClockSleptMs();

// Creation time of the calling thread (FILETIME units): what the thread-times
// query reports. Thread creation records it; otherwise its first query does.
void ThreadRecordCreation();
uint64_t ThreadCreationTime();

}  // namespace ntsim
