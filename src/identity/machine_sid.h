// The machine SID source: reading the account domain SID from the policy store
// (PolAcDmS) under temporarily widened key security, and generating a new one.
#pragma once
#include "core/sid_text.h"
#include "nt/win32.h"

// Reads PolAcDmS's default value into buffer (*size bytes, 24 by the callers).
// Reports nothing; every DACL it widened is put back before it returns.
BOOL ReadMachineSid(const char* accountName, BYTE* buffer, DWORD* size);

// A new machine SID from the SID allocator (release it with FreeSid); FALSE after a report.
BOOL GenerateMachineSid(Sid** newSid);

// Adds a full-access grant for the account to the key's DACL. The previous DACL
// stays inside *descriptor (release it with LocalFree) for RestoreKeyDacl.
BOOL GrantKeyFullAccess(const char* objectName, const char* accountName, PACL* previousDacl,
                        PSECURITY_DESCRIPTOR* descriptor);
// Puts the previous DACL back; FALSE, doing nothing, when there is none.
BOOL RestoreKeyDacl(const char* objectName, PACL previousDacl);

// One identifying number from a seed: two draws of the C library's generator
// (state * 214013 + 2531011, bits 16-30), first * 65536 + second.
DWORD SidNumberFromSeed(DWORD seed);
