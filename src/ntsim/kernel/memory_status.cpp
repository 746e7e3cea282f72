// GlobalMemoryStatus: the machine's physical memory from machine.conf ([machine] memory,
// in bytes), with the page file and address space of a 32-bit NT process around it.
#include <cstdlib>
#include <cstring>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/process.h"

using namespace ntsim;

namespace {

const unsigned long long kDefaultMemory = 67108864;  // what `ntsim create` writes
const SIZE_T kUserSpace = 0x7FFE0000;                // 2 GB less the guard regions

unsigned long long MachineMemory() {
    if (!ProcessAttached()) return kDefaultMemory;
    const ConfSection* machine = CurrentProcess().conf.Find("machine");
    if (!machine || !machine->Has("memory")) return kDefaultMemory;
    std::string text = machine->Get("memory");
    char* end = nullptr;
    unsigned long long bytes = strtoull(text.c_str(), &end, 0);
    return (end && *end == 0 && !text.empty()) ? bytes : kDefaultMemory;
}

}  // namespace

VOID GlobalMemoryStatus(LPMEMORYSTATUS lpBuffer) {
    if (!lpBuffer) return;
    unsigned long long total = MachineMemory();
    // A count that SIZE_T cannot hold reads as its largest value, as on 32-bit Windows.
    SIZE_T phys = total > (unsigned long long)(SIZE_T)-1 ? (SIZE_T)-1 : (SIZE_T)total;
    memset(lpBuffer, 0, sizeof *lpBuffer);
    lpBuffer->dwLength = sizeof *lpBuffer;
    lpBuffer->dwMemoryLoad = 50;
    lpBuffer->dwTotalPhys = phys;
    lpBuffer->dwAvailPhys = phys / 2;
    lpBuffer->dwTotalPageFile = phys + phys / 2 >= phys ? phys + phys / 2 : (SIZE_T)-1;
    lpBuffer->dwAvailPageFile = phys;
    lpBuffer->dwTotalVirtual = kUserSpace;
    lpBuffer->dwAvailVirtual = kUserSpace - 0x01000000;
}
