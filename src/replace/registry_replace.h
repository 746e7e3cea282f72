// The registry search-and-replace walk: SID texts in key names, value names and
// string values of a key's whole subtree, key renames through a hive file, and
// the removal of a key tree.
#pragma once
#include "nt/win32.h"
#include "replace/byte_replace.h"

// Registry paths (as "MACHINE\..." or "USERS\...") are built in buffers of this size.
const int kRegistryPathSize = 1024;

// Walks the key name below parent, known by path. 1 = the key was renamed (the
// caller restarts its subkey enumeration), 0 = processed, skipped or abandoned
// after a report, -1 = failure the caller must treat as an error.
int SearchReplaceKey(HKEY parent, const char* name, const char* path, const SidPairList* pairs);

// Copies the open key through a temporary hive file to newName below parent and
// deletes the old tree. The new key (KEY_ALL_ACCESS), with key closed; or none
// (reported), with key still open.
HKEY RenameKey(HKEY parent, HKEY key, const char* path, const char* oldName, const char* newName,
               const char* className);

// Deletes name below parent with everything under it, widening access by path
// when a path is given. 0, ERROR_BADKEY, ERROR_ACCESS_DENIED or the error that stopped it.
LONG DeleteKeyTree(HKEY parent, const char* name, const char* path);
