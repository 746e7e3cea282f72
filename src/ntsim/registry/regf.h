// The regf hive file format (versions 1.3 and 1.5): reading a file image into a
// Hive and writing a Hive back. A hive file is untrusted input: every offset and
// length is checked, and corruption is an error code, never a crash.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ntsim/registry/hive.h"

namespace ntsim {

// Reads a hive image. ERROR_SUCCESS; ERROR_NOT_REGISTRY_FILE (1017) when it is not a
// regf hive (signature, version, size); ERROR_BADDB (1009) when its structure is corrupt.
uint32_t RegfRead(const uint8_t* data, size_t size, Hive* hive);

// Reads a hive file; also ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED.
uint32_t RegfLoadFile(const std::string& hostPath, Hive* hive);

// Serialises a hive in the version hive.minorVersion names (volatile keys are left out).
uint32_t RegfWrite(const Hive& hive, std::vector<uint8_t>* out);
// The same for a tree in place (a mounted hive's keys), its root written under rootName.
// With a layout, the keys' cells (HiveKey::cell) and the layout describe the image written.
uint32_t RegfWriteTree(const HiveKey& root, const std::string& rootName, uint32_t minorVersion, std::vector<uint8_t>* out,
                       const uint16_t* fileName = nullptr, HiveLayout* layout = nullptr);

// Writes a hive file atomically: a temporary file beside it, renamed over it (synced on
// the host first when host syncs are on, ntsim/kernel/host_sync.h).
uint32_t RegfSaveFile(const Hive& hive, const std::string& hostPath);
// fileName: the base block's 32 UTF-16 units (the tail of the hive's path), or none.
// With a layout (a mounted hive), the file's sequence number follows the one before it.
uint32_t RegfSaveTree(const HiveKey& root, const std::string& rootName, uint32_t minorVersion, const std::string& hostPath,
                      const uint16_t* fileName = nullptr, HiveLayout* layout = nullptr);

// Writes a tree to a new file (ERROR_ALREADY_EXISTS when there is one), as RegSaveKeyA makes it.
uint32_t RegfCreateFile(const HiveKey& root, const std::string& rootName, uint32_t minorVersion, const std::string& hostPath);

// Writes the changed keys of a mounted hive (HiveKey::dirty, keys without a cell) into
// its file in place, as NT's flush writes only the dirty cells: the new cells first, the
// base block's primary sequence number raised, then the records that point at them and
// the secondary sequence number, then the old cells freed. *declined (nothing written)
// when the layout does not describe the file as it is: the caller writes it whole. fd, when
// given, is the file already open for reading and writing; it stays open.
uint32_t RegfUpdateFile(const HiveKey& root, const std::string& rootName, uint32_t minorVersion, const std::string& hostPath,
                        HiveLayout* layout, bool* declined, int fd = -1);

// The sequence number in a hive file's base block (0 when unreadable).
uint32_t RegfFileSequence(const std::string& hostPath);

// Puts the last 31 characters of a hive's path into its base block name, as NT does.
void RegfSetFileName(Hive* hive, const std::string& path);

}  // namespace ntsim
