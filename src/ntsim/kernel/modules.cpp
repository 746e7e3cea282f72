// LoadLibraryA, GetModuleHandleA, GetProcAddress, FreeLibrary over a table of DLLs
// and their exports; NTDLL's NtQuerySystemTime and NtQueryInformationThread; KERNEL32's
// IsWow64Process. A DLL is there from the Windows version that first shipped it, unless
// machine.conf says it is missing: "[modules] missing = IPHLPAPI.DLL, PSAPI.DLL".
#include "ntsim/kernel/modules.h"

#include <strings.h>

#include <cstring>
#include <mutex>
#include <string>
#include <deque>
#include <vector>

#include "ntsim/kernel/clock.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/version.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {
// ntdll's export, made by the machine's shutdown above this folder; the table below only
// names it.
NTSTATUS NtShutdownSystem(int action);
}  // namespace ntsim

namespace ntsim {

namespace {

struct Export {
    std::string name;
    FARPROC function;
    uint32_t minMajor, minMinor;
};

struct Module {
    std::string name;  // upper case, with ".DLL"
    bool alwaysLoaded;  // kernel32 and ntdll are in every process
    long loads = 0;
    std::vector<Export> exports;
    uint32_t sinceMajor = 3, sinceMinor = 10;  // the first version that ships it; 99: none does
};

ntsim::SimRecursiveMutex g_mutex;

NTSTATUS NtQuerySystemTime(PLARGE_INTEGER SystemTime) {
    if (!SystemTime) return STATUS_ACCESS_DENIED;  // NT faults on a bad pointer
    SystemTime->QuadPart = (LONGLONG)ClockFileTime();
    return STATUS_SUCCESS;
}

// Class 1 (ThreadTimes): creation, exit, kernel and user time, 64 bits each.
NTSTATUS NtQueryInformationThread(HANDLE ThreadHandle, int ThreadInformationClass, PVOID ThreadInformation,
                                  ULONG ThreadInformationLength, PULONG ReturnLength) {
    if (ThreadInformationClass != 1) return STATUS_INVALID_INFO_CLASS;
    // Only the current thread's pseudo-handle (-2) is served.
    if (ThreadHandle != (HANDLE)(LONG_PTR)-2) return STATUS_INVALID_HANDLE;
    if (ThreadInformationLength != 32) return (NTSTATUS)0xC0000004L;  // STATUS_INFO_LENGTH_MISMATCH
    if (!ThreadInformation) return STATUS_ACCESS_DENIED;
    uint64_t times[4] = {ThreadCreationTime(), 0, 0, 0};
    memcpy(ThreadInformation, times, sizeof times);
    if (ReturnLength) *ReturnLength = 32;
    return STATUS_SUCCESS;
}

// A 64-bit Windows ("[machine] architecture = x64") runs the machine's programs as the
// 32-bit program runs there, under WoW64: the answer is TRUE. Only the current process's
// pseudo-handle (-1) is served.
BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
    if (FaultFails("IsWow64Process", "")) return FALSE;
    if (hProcess != (HANDLE)(LONG_PTR)-1) return Fail(ERROR_INVALID_HANDLE);
    if (!Wow64Process) return Fail(ERROR_NOACCESS);
    BOOL wow64 = FALSE;
    if (ProcessAttached())
        for (const ConfSection* machine : CurrentProcess().conf.All("machine"))
            if (machine->Has("architecture")) wow64 = strcasecmp(machine->Get("architecture").c_str(), "x64") == 0;
    *Wow64Process = wow64;
    return TRUE;
}

template <class F>
FARPROC Proc(F function) {
    // Through void(*)(), the generic function pointer that casts may pass without complaint.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// A deque: modules never move, so their addresses serve as HMODULE values.
std::deque<Module>& Modules() {
    // The functions the program binds by name at run time, with the version that first
    // exported each: NT 4.0 lacks SetComputerNameExA and NetJoinDomain, Windows 2000
    // IsWow64Process (XP has it from its Service Pack 2).
    static std::deque<Module> modules = {
        {"NTDLL.DLL",
         true,
         0,
         {{"NtQuerySystemTime", Proc(&NtQuerySystemTime), 3, 10},
          {"NtQueryInformationThread", Proc(&NtQueryInformationThread), 3, 10},
          {"NtShutdownSystem", Proc(&NtShutdownSystem), 3, 10}}},
        {"KERNEL32.DLL",
         true,
         0,
         {{"Sleep", Proc(&Sleep), 3, 10},
          {"GetTickCount", Proc(&GetTickCount), 3, 10},
          {"GetComputerNameA", Proc(&GetComputerNameA), 3, 10},
          {"SetComputerNameA", Proc(&SetComputerNameA), 3, 10},
          {"SetComputerNameExA", Proc(&SetComputerNameExA), 5, 0},
          {"IsWow64Process", Proc(&IsWow64Process), 5, 1}}},
        {"ADVAPI32.DLL",
         false,
         0,
         {{"LsaStorePrivateData", Proc(&LsaStorePrivateData), 3, 51},
          {"LsaSetTrustedDomainInformation", Proc(&LsaSetTrustedDomainInformation), 4, 0}}},
        {"USER32.DLL", false, 0, {}},
        // The rich edit control (class "RICHEDIT"), loaded by the program at start-up.
        {"RICHED32.DLL", false, 0, {}},
        {"NETAPI32.DLL",
         false,
         0,
         {{"NetServerGetInfo", Proc(&NetServerGetInfo), 3, 10},
          {"NetApiBufferFree", Proc(&NetApiBufferFree), 3, 10},
          {"NetUserModalsGet", Proc(&NetUserModalsGet), 3, 10},
          {"NetUserGetInfo", Proc(&NetUserGetInfo), 3, 10},
          {"NetGetDCName", Proc(&NetGetDCName), 3, 10},
          {"NetUseAdd", Proc(&NetUseAdd), 3, 10},
          {"NetUseDel", Proc(&NetUseDel), 3, 10},
          {"NetJoinDomain", Proc(&NetJoinDomain), 5, 0}}},
        // Loaded and released by the program without binding from them.
        {"IPHLPAPI.DLL", false, 0, {}, 4, 0},
        {"USERENV.DLL", false, 0, {}, 4, 0},
        {"SECUR32.DLL", false, 0, {}, 4, 0},
        {"PSAPI.DLL", false, 0, {}, 5, 0},
        {"ACTIVEDS.DLL", false, 0, {}, 5, 0},
    };
    return modules;
}

std::string CanonicalName(const char* name) {
    std::string n = name;
    size_t slash = n.find_last_of("\\/");
    if (slash != std::string::npos) n = n.substr(slash + 1);
    for (char& c : n) c = (char)toupper((unsigned char)c);
    if (n.find('.') == std::string::npos) n += ".DLL";
    return n;
}

Module* Find(const char* name) {
    std::string n = CanonicalName(name);
    for (Module& m : Modules())
        if (m.name == n) return &m;
    return nullptr;
}

// Whether the machine has the DLL: shipped with its version and not named missing.
bool Present(const Module& m) {
    if (m.alwaysLoaded) return true;
    if (!VersionAtLeast(m.sinceMajor, m.sinceMinor)) return false;
    if (ProcessAttached())
        for (const ConfSection* s : CurrentProcess().conf.All("modules")) {
            std::string list = s->Get("missing");
            for (size_t at = 0; at < list.size();) {
                size_t comma = list.find(',', at);
                if (comma == std::string::npos) comma = list.size();
                std::string item = list.substr(at, comma - at);
                size_t b = item.find_first_not_of(" \t"), e = item.find_last_not_of(" \t");
                if (b != std::string::npos && CanonicalName(item.substr(b, e - b + 1).c_str()) == m.name) return false;
                at = comma + 1;
            }
        }
    return true;
}

Module* FromHandle(HMODULE h) {
    for (Module& m : Modules())
        if ((HMODULE)&m == h) return &m;
    return nullptr;
}

}  // namespace

void ModuleAddExport(const char* dll, const char* name, FARPROC function, uint32_t minMajor, uint32_t minMinor) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    Module* m = Find(dll);
    if (!m) {
        Modules().push_back(Module{CanonicalName(dll), false, 0, {}});
        m = &Modules().back();
    }
    for (Export& e : m->exports)
        if (e.name == name) {
            e.function = function;
            e.minMajor = minMajor;
            e.minMinor = minMinor;
            return;
        }
    m->exports.push_back(Export{name, function, minMajor, minMinor});
}

}  // namespace ntsim

using namespace ntsim;

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
    uint32_t err = 0;
    if (!lpLibFileName) return Fail(ERROR_INVALID_PARAMETER, nullptr);
    if (FaultHit("LoadLibraryA", lpLibFileName, &err)) return Fail(err, nullptr);
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    Module* m = Find(lpLibFileName);
    if (!m || !Present(*m)) return Fail(ERROR_MOD_NOT_FOUND, nullptr);
    ++m->loads;
    return (HMODULE)m;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    if (!lpModuleName) return (HMODULE)&Modules()[1];  // the program itself: kernel32 stands in
    Module* m = Find(lpModuleName);
    if (!m || (!m->alwaysLoaded && m->loads == 0)) return Fail(ERROR_MOD_NOT_FOUND, nullptr);
    return (HMODULE)m;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    Module* m = FromHandle(hModule);
    if (!m) return Fail(ERROR_MOD_NOT_FOUND, nullptr);
    // Lookups by ordinal (a value below 0x10000) are not served: no export has one here.
    if ((uintptr_t)lpProcName < 0x10000) return Fail(ERROR_PROC_NOT_FOUND, nullptr);
    if (FaultFails("GetProcAddress", lpProcName)) return nullptr;
    for (const Export& e : m->exports)
        if (e.name == lpProcName) {
            if (!VersionAtLeast(e.minMajor, e.minMinor)) break;
            return e.function;
        }
    return Fail(ERROR_PROC_NOT_FOUND, nullptr);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    Module* m = FromHandle(hLibModule);
    if (!m || (m->loads == 0 && !m->alwaysLoaded)) return Fail(ERROR_INVALID_HANDLE);
    if (m->loads > 0) --m->loads;
    return TRUE;
}
