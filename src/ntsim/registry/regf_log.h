// Whether a hive file is clean, as NT would find it at its next load: read from the
// file and the transaction logs beside it, never written. A dirty hive holds changes
// that only NT's recovery from its logs puts in place, so an offline reader or writer
// must refuse it rather than take the primary file for the whole hive.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace ntsim {

// ERROR_SUCCESS when the hive file at hostPath is clean: its base block's checksum holds,
// its two sequence numbers are equal, and no log beside it ("<name>.LOG", ".LOG1",
// ".LOG2", in any case) holds changes not yet written to it. Those are:
//  - an old-format log (NT 4.0 to Windows 8: base block of type 1, then a "DIRT" vector
//    and the dirty pages) that is whole (its sequence numbers equal, its checksum right),
//    has dirty pages and a sequence number newer than the hive's;
//  - a new-format log (Windows 8.1 and later: type 6, then "HvLE" entries) with an intact
//    entry (both Marvin32 hashes right) whose sequence number is the hive's or later.
// A dirty hive is ERROR_BADDB with *why saying what makes it dirty (the log's name
// included); a file that is no hive gives RegfLoadFile's errors (ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NOT_REGISTRY_FILE) with *why too.
uint32_t HiveFileClean(const std::string& hostPath, std::string* why);

// Marvin32 of size bytes with the seed, as (high state << 32) | low state: the checksum
// of the new-format log's entries (seed 0xC5554E7A884DEF82, the bytes 82 EF 4D 88 7A 4E 55 C5).
uint64_t Marvin32(const uint8_t* data, size_t size, uint64_t seed);
constexpr uint64_t kHiveLogMarvinSeed = 0xC5554E7A884DEF82ULL;

}  // namespace ntsim
