// Fault injection: any simulated call can be made to fail with a chosen error,
// at its n-th call or for a path pattern, or end the process there (a power cut).
// Rules come from [fault] sections of machine.conf or from a test. Besides Win32 names,
// "BootHiveSwap" names each rename of the hive swap at boot (path: the live hive file).
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace ntsim {

struct FaultRule {
    std::string function;  // Win32 name such as "RegOpenKeyExA"; "*" matches every function
    uint32_t error = 0;    // the error the call fails with
    long nth = 0;          // only the n-th matching call (1-based); 0 = every matching call
    std::string pattern;   // glob over the call's path or key name, case-insensitive; empty = any
    bool kill = false;     // end the process at that call instead of failing it: an abrupt
                           // end (no destructors, no flush), so registry changes not yet
                           // flushed are lost, as a power loss loses them
    bool flushFirst = false;  // with kill: the registry's lazy writer had just written every
                              // changed hive before the cut, so only the call itself is lost
    bool loseUnflushed = false;  // with kill: the power loss also takes what Windows had not
                                 // made durable (files/durability.h); tracked from FaultAdd on
    bool hold = false;  // neither fail nor kill: the call waits there until FaultReleaseHeld,
                        // so a test can act at a known point of a running job
};

void FaultAdd(const FaultRule& rule);
void FaultClearAll();  // also lets every held call go on
// A hold rule's call: true once one has come since the rules were cleared (waiting up to
// timeoutMs); the release lets every call held at that moment go on.
bool FaultWaitHeld(uint32_t timeoutMs);
void FaultReleaseHeld();

// Called at the start of a simulated function with the path or key name it works on.
// True when this call must fail; *error then holds the code to fail with.
bool FaultHit(const char* function, const std::string& path, uint32_t* error);
// FaultHit for a call that reports failure through the last error: true when this call
// must fail, the last error then being the rule's code.
bool FaultFails(const char* function, const std::string& path);
// The number of rules in force: none outside the fault tests, where the checks below end
// at once (every simulated call makes one).
extern std::atomic<size_t> faultRuleCount;
// True while a kill rule with loseUnflushed is in force.
extern std::atomic<bool> faultLosesUnflushed;
bool FaultArmedByRule(const char* function);
// False when no rule can match function: the caller then need not build the path at all,
// which for a key handle is a walk up the tree and a string per call.
inline bool FaultArmed(const char* function) {
    return faultRuleCount.load(std::memory_order_relaxed) != 0 && FaultArmedByRule(function);
}

// Case-insensitive glob: '*' any run, '?' one character.
bool GlobMatch(const std::string& pattern, const std::string& text);

// What a kill rule's power cut does to the state the subsystems above keep unwritten: the
// registry's lazy flush first (a kill after a lazy flush), the files' uncommitted data lost
// (loseUnflushed), the files' record forgotten when the rules are cleared. Each subsystem
// sets its own at start-up; one left unset does nothing.
enum PowerLossHook { kFlushRegistry, kLoseUnflushedFiles, kForgetUnflushedFiles, kPowerLossHookCount };
bool FaultSetPowerLossHook(PowerLossHook which, void (*hook)());

}  // namespace ntsim
