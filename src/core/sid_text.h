// The machine or domain SID in its fixed 24-byte form, and its text, hex-pattern
// and raw byte forms.
#pragma once
#include <cstddef>

#include "nt/win32.h"

// A machine or domain SID exactly as NT lays it out, with four sub-authorities.
struct Sid {
    BYTE revision;                // byte 0: always 1
    BYTE subAuthorityCount;       // byte 1: always 4
    BYTE identifierAuthority[6];  // bytes 2-7, big-endian: 0,0,0,0,0,5
    DWORD subAuthority[4];        // bytes 8-23, little-endian: 21 and three identifying numbers
};
static_assert(sizeof(Sid) == 24, "a Sid is 24 bytes");

const size_t kSidSize = 24;
const size_t kSidTextSize = 256;        // every text form lives in a buffer of this size
const size_t kSidHexPatternLength = 34;  // 17 bytes as two digits each
const size_t kSidBytePatternLength = 22;  // bytes 2..23

// revision 1, count 4, authority 0,0,0,0,0,5, sub-authorities 21,0,0,0.
void SidInitialize(Sid* value);

// "S-%u-%u-%u-%u-%u-%u": revision, authority byte 7, sub-authorities 0-3. Bounded by size.
void SidToText(const Sid* value, char* text, size_t size);

// The reverse: 1 when all six numbers were read, 0 otherwise (value then holds the
// initial form with whatever numbers were read). Numbers are plain decimal digits;
// one that does not fit its field (32 bits, or 8 bits for the first two) is refused.
int SidFromText(const char* text, Sid* value);

// Bytes 7..23 as 34 upper-case hex digits, bounded by size.
void SidToHexPattern(const Sid* value, char* text, size_t size);

// Bytes 2..23: the identifier authority and the four sub-authorities (22 bytes).
const BYTE* SidBytePattern(const Sid* value);

// All 24 bytes equal.
bool SidEqual(const Sid* a, const Sid* b);
