// SID values: the 24-byte form, "S-1-5-21-a-b-c" texts, hex patterns and byte patterns.
#include "core/sid_text.h"

#include <cstdio>
#include <cstring>

void SidInitialize(Sid* value) {
    memset(value, 0, sizeof *value);
    value->revision = 1;
    value->subAuthorityCount = 4;
    value->identifierAuthority[5] = 5;
    value->subAuthority[0] = 21;
}

void SidToText(const Sid* value, char* text, size_t size) {
    if (!text || size == 0) return;
    snprintf(text, size, "S-%u-%u-%u-%u-%u-%u", (unsigned)value->revision, (unsigned)value->identifierAuthority[5],
             (unsigned)value->subAuthority[0], (unsigned)value->subAuthority[1], (unsigned)value->subAuthority[2],
             (unsigned)value->subAuthority[3]);
}

// One decimal number of at most max; advances *p past its digits. No sign, no blanks:
// a number is what the text form writes, and anything else is not a SID.
static bool ReadNumber(const char** p, unsigned long long max, unsigned long long* out) {
    const char* s = *p;
    if (*s < '0' || *s > '9') return false;
    unsigned long long v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + (unsigned)(*s - '0');
        if (v > max) return false;  // stops at once: a long run of digits cannot overflow v
        ++s;
    }
    *p = s;
    *out = v;
    return true;
}

int SidFromText(const char* text, Sid* value) {
    if (!value) return 0;
    SidInitialize(value);
    if (!text || text[0] != 'S' || text[1] != '-') return 0;
    const char* p = text + 2;
    unsigned long long n[6];
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            if (*p != '-') return 0;
            ++p;
        }
        if (!ReadNumber(&p, i < 2 ? 0xFFull : 0xFFFFFFFFull, &n[i])) return 0;
    }
    value->revision = (BYTE)n[0];
    value->identifierAuthority[5] = (BYTE)n[1];
    for (int i = 0; i < 4; ++i) value->subAuthority[i] = (DWORD)n[2 + i];
    return 1;
}

void SidToHexPattern(const Sid* value, char* text, size_t size) {
    if (!text || size == 0) return;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(value);
    size_t at = 0;
    text[0] = 0;
    for (size_t i = 7; i < kSidSize && at + 2 < size; ++i, at += 2) snprintf(text + at, size - at, "%02X", bytes[i]);
}

const BYTE* SidBytePattern(const Sid* value) { return reinterpret_cast<const BYTE*>(value) + 2; }

bool SidEqual(const Sid* a, const Sid* b) { return memcmp(a, b, kSidSize) == 0; }
