// The seam: the Win32 subset that the program calls, by its Windows names.
// On Windows this is the SDK itself; on Linux the same names, types, constants
// and struct layouts are declared in nt/linux/ and implemented by the simulated
// NT machine. Nothing else in the program knows which platform it is on.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <accctrl.h>
#include <aclapi.h>
#include <lm.h>
#include <ntsecapi.h>
#include <commctrl.h>
#include <commdlg.h>
#include <richedit.h>
#include <stdio.h>
#include <sys/stat.h>
#else
#include "nt/linux/base.h"
#include "nt/linux/registry.h"
#include "nt/linux/security.h"
#include "nt/linux/files.h"
#include "nt/linux/system.h"
#include "nt/linux/user.h"
#include "nt/linux/services.h"
#endif
