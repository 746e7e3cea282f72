// FormatMessageA for system messages: the texts of the system error codes the
// simulation gives, each ending with the system's line end, as kernel32's table holds them.
#include <cstring>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/faults.h"

namespace {

struct SystemMessage {
    DWORD code;
    const char* text;
};

const SystemMessage kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough storage is available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough storage is available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {18, "There are no more files."},
    {21, "The device is not ready."},
    {32, "The process cannot access the file because it is being used by another process."},
    {53, "The network path was not found."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {259, "No more data is available."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1015, "The registry is corrupted. The structure of one of the files that contains registry data is corrupted, "
           "or the image of the file in memory is corrupted, or the file could not be recovered because the "
           "alternate copy or log was absent or corrupted."},
    {1018, "Illegal operation attempted on a registry key which has been marked for deletion."},
    {1051, "A stop control has been sent to a service which other running services are dependent on."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1056, "An instance of the service is already running."},
    {1058, "The service cannot be started, either because it is disabled or because it has no enabled devices "
           "associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1065, "The database specified does not exist."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1078, "The name is already in use as either a service name or a service display name."},
    {1115, "A system shutdown is in progress."},
    {1314, "A required privilege is not held by the client."},
    {1332, "No mapping between account names and security IDs was done."},
    {1722, "The RPC server is unavailable."},
};

}  // namespace

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments) {
    (void)lpSource, (void)dwLanguageId, (void)Arguments;
    uint32_t fault = 0;
    if (ntsim::FaultHit("FormatMessageA", std::to_string(dwMessageId), &fault)) {
        SetLastError(fault);
        return 0;
    }
    // Only system messages are kept; inserts stay as they are (as with IGNORE_INSERTS).
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* found = nullptr;
    for (const auto& m : kMessages)
        if (m.code == dwMessageId) found = m.text;
    if (!found) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    std::string text = std::string(found) + "\r\n";
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // lpBuffer receives the address of a LocalAlloc'd buffer of at least nSize bytes.
        size_t size = text.size() + 1 > nSize ? text.size() + 1 : nSize;
        char* block = (char*)LocalAlloc(LMEM_FIXED, size);
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        memcpy(block, text.c_str(), text.size() + 1);
        *(LPSTR*)lpBuffer = block;
        return (DWORD)text.size();
    }
    if (nSize <= text.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(lpBuffer, text.c_str(), text.size() + 1);
    return (DWORD)text.size();
}
