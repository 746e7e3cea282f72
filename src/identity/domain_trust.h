// Domain trust re-establishment in the clean-up run after a name change: the domain
// must know the computer under its new name, and the computer keeps the matching
// machine password; when joining fails the computer falls back, once, to "WORKGROUP".
#pragma once
#include "identity/system_functions.h"
#include "nt/win32.h"

// Finds the local name itself. TRUE when the trust was re-established.
BOOL ReestablishDomainTrust();

// Adds, or with add FALSE deletes, a null session to the controller's "\IPC$" share.
// A missing name, or one longer than 15 characters, fails with ERROR_INVALID_COMPUTERNAME.
BOOL ConnectIpcSession(const WCHAR* controller, BOOL add);
// TRUE when the domain holds the account NAME$ (within 15 seconds).
BOOL WaitForComputerAccount(const WCHAR* controller, const WCHAR* localName);
// TRUE with a LocalAlloc copy of the controller's domain SID in *domainSid (LocalFree it).
BOOL GetDomainSidFromController(SystemFunctions* functions, const WCHAR* controller, PSID* domainSid);
// Joins the domain (Windows 2000) or re-creates the trusted-domain object (other
// versions), then stores the machine password. domainName is upper-cased in place.
BOOL SetDomainTrust(SystemFunctions* functions, LSA_HANDLE policy, PSID domainSid, WCHAR* domainName,
                    const WCHAR* localName);
