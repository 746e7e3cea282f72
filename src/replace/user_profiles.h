// The user profile hives: every profile in the system's profile list has its hive
// (ntuser.dat) loaded, saved as it was, rewritten, saved again, byte-scanned and
// scheduled to replace the profile's hive file at its next load.
#pragma once
#include "nt/win32.h"
#include "replace/byte_replace.h"

// Every profile but the local system's and local service's. 1 = all handled, 0 = stopped
// by a failure (reported, except when the registry walk itself failed).
int ProcessUserProfiles(const SidPairList* pairs);

// Makes the hive of a profile available as HKEY_USERS\<name>: expands the stored path in
// place (the buffer holds 1024 bytes; storedSize is the stored value's size), appends
// "\ntuser.dat" to a folder, and loads the file. 1 when the hive is available (loaded
// now, or already loaded because its user is logged on), else 0.
int LoadUserHive(const char* name, char* path, DWORD storedSize);

// Asks the registry to take file in place of the hive of the profile saved as name at its
// next load (keeping the present hive as file + ".BAK"). The profile is looked up in the
// profile list under name, or under the name a pair of renames gave it (the registry walk
// renames a key named after an old SID). 1, or 0 (reported).
int ScheduleProfileHive(const char* name, const char* file, const SidPairList* renames);
