// The thread's last error, as kernel32 keeps it.
#include "nt/win32.h"

static thread_local DWORD t_lastError = 0;

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
