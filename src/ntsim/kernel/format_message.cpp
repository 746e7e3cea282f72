// FormatMessageA for system messages: the texts of the system error codes the
// simulation gives, each ending with the system's line end, as kernel32's table holds them.
#include <cstring>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"

using ntsim::Fail;

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
    {4, "The system cannot open the file."},
    {16, "The directory cannot be removed."},
    {17, "The system cannot move the file to a different disk drive."},
    {19, "The media is write protected."},
    {23, "Data error (cyclic redundancy check)."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {65, "Network access is denied."},
    {67, "The network name cannot be found."},
    {82, "The directory or file cannot be created."},
    {109, "The pipe has been ended."},
    {120, "This function is not supported on this system."},
    {121, "The semaphore timeout period has expired."},
    {124, "The system call level is not correct."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {203, "The system could not find the environment option that was entered."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {267, "The directory name is invalid."},
    {998, "Invalid access to memory location."},
    {1004, "Invalid flags."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1016, "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
           "write out, or flush, one of the files that contain the system's image of the registry."},
    {1017, "The system has attempted to load or restore a file into the registry, but the specified file is not in "
           "a registry file format."},
    {1020, "Cannot create a symbolic link in a registry key that already has subkeys or values."},
    {1021, "Cannot create a stable subkey under a volatile parent key."},
    {1055, "The service database is locked."},
    {1057, "The account name is invalid or does not exist, or the password is invalid for the account name "
           "specified."},
    {1077, "No attempts to start the service have been made since the last boot."},
    {1116, "Unable to abort the system shutdown because no shutdown was in progress."},
    {1168, "Element not found."},
    {1300, "Not all privileges referenced are assigned to the caller."},
    {1313, "A specified privilege does not exist."},
    {1317, "The specified user does not exist."},
    {1326, "Logon failure: unknown user name or bad password."},
    {1336, "The access control list (ACL) structure is invalid."},
    {1337, "The security ID structure is invalid."},
    {1338, "The security descriptor structure is invalid."},
    {1355, "The specified domain either does not exist or could not be contacted."},
    {1400, "Invalid window handle."},
    {1460, "This operation returned because the timeout period expired."},
};

}  // namespace

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments) {
    (void)lpSource, (void)dwLanguageId, (void)Arguments;
    if (ntsim::FaultFails("FormatMessageA", std::to_string(dwMessageId))) return 0;
    // Only system messages are kept; inserts stay as they are (as with IGNORE_INSERTS).
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || !lpBuffer) return Fail(ERROR_INVALID_PARAMETER, 0);
    const char* found = nullptr;
    for (const auto& m : kMessages)
        if (m.code == dwMessageId) found = m.text;
    if (!found) return Fail(ERROR_MR_MID_NOT_FOUND, 0);
    std::string text = std::string(found) + "\r\n";
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // lpBuffer receives the address of a LocalAlloc'd buffer of at least nSize bytes.
        size_t size = text.size() + 1 > nSize ? text.size() + 1 : nSize;
        char* block = (char*)LocalAlloc(LMEM_FIXED, size);
        if (!block) return Fail(ERROR_NOT_ENOUGH_MEMORY, 0);
        memcpy(block, text.c_str(), text.size() + 1);
        *(LPSTR*)lpBuffer = block;
        return (DWORD)text.size();
    }
    if (nSize <= text.size()) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    memcpy(lpBuffer, text.c_str(), text.size() + 1);
    return (DWORD)text.size();
}
