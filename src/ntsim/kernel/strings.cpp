// String calls of kernel32 in the machine's ANSI code page, Windows-1252: it has no
// double-byte lead bytes, and its letters fold case in ASCII and in Latin-1.
#include <cstring>

#include "nt/win32.h"
#include "ntsim/kernel/fail.h"

using ntsim::Fail;

static unsigned char FoldUpper(unsigned char c) {
    if (c >= 'a' && c <= 'z') return (unsigned char)(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (unsigned char)(c - 32);  // a-grave .. thorn, not division
    if (c == 0x9A || c == 0x9C || c == 0x9E) return (unsigned char)(c - 16);  // s-caron, oe, z-caron
    if (c == 0xFF) return 0x9F;                                                // y-diaeresis
    return c;
}

int lstrlenA(LPCSTR lpString) { return lpString ? (int)strlen(lpString) : 0; }

static int Compare(LPCSTR a, int na, LPCSTR b, int nb, bool ignoreCase) {
    int n = na < nb ? na : nb;
    for (int i = 0; i < n; ++i) {
        unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
        if (ignoreCase) x = FoldUpper(x), y = FoldUpper(y);
        if (x != y) return x < y ? -1 : 1;
    }
    return na == nb ? 0 : (na < nb ? -1 : 1);
}

int lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return lpString1 == lpString2 ? 0 : (lpString1 ? 1 : -1);
    return Compare(lpString1, (int)strlen(lpString1), lpString2, (int)strlen(lpString2), true);
}

int CompareStringA(LCID, DWORD dwCmpFlags, LPCSTR lpString1, int cchCount1, LPCSTR lpString2, int cchCount2) {
    if (!lpString1 || !lpString2 || (dwCmpFlags & ~(DWORD)NORM_IGNORECASE))
        return Fail(!lpString1 || !lpString2 ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FLAGS, 0);
    // A negative count means the string is zero-terminated; a count stops early at a zero.
    int n1 = cchCount1 < 0 ? (int)strlen(lpString1) : (int)strnlen(lpString1, (size_t)cchCount1);
    int n2 = cchCount2 < 0 ? (int)strlen(lpString2) : (int)strnlen(lpString2, (size_t)cchCount2);
    int r = Compare(lpString1, n1, lpString2, n2, (dwCmpFlags & NORM_IGNORECASE) != 0);
    return r < 0 ? CSTR_LESS_THAN : (r == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN);
}

BOOL IsDBCSLeadByte(BYTE) { return FALSE; }

// Windows-1252 for the ANSI code page: 0x80-0x9F hold these characters, the rest is Latin-1.
static const uint16_t kHigh1252[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                       0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

static uint16_t AnsiToUnit(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kHigh1252[c - 0x80] : c; }

static int UnitToAnsi(uint16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u < 0x100)) return u;
    for (int i = 0; i < 32; ++i)
        if (kHigh1252[i] == u) return 0x80 + i;
    return -1;
}

int WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!lpWideCharStr || cbMultiByte < 0 || (CodePage != CP_ACP && CodePage != CP_OEMCP))
        return Fail(ERROR_INVALID_PARAMETER, 0);
    int count = cchWideChar;
    if (count < 0) {
        count = 0;
        while (lpWideCharStr[count]) ++count;
        ++count;  // the terminator is converted too
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    if (cbMultiByte == 0) return count;
    if (count > cbMultiByte) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    for (int i = 0; i < count; ++i) {
        int c = UnitToAnsi((uint16_t)lpWideCharStr[i]);
        if (c < 0) {
            c = lpDefaultChar ? (unsigned char)*lpDefaultChar : '?';
            if (lpUsedDefaultChar) *lpUsedDefaultChar = TRUE;
        }
        lpMultiByteStr[i] = (char)c;
    }
    return count;
}

int MultiByteToWideChar(UINT CodePage, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
    if (!lpMultiByteStr || cchWideChar < 0 || (CodePage != CP_ACP && CodePage != CP_OEMCP))
        return Fail(ERROR_INVALID_PARAMETER, 0);
    int count = cbMultiByte < 0 ? (int)strlen(lpMultiByteStr) + 1 : cbMultiByte;
    if (cchWideChar == 0) return count;
    if (count > cchWideChar) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    for (int i = 0; i < count; ++i) lpWideCharStr[i] = (WCHAR)AnsiToUnit((unsigned char)lpMultiByteStr[i]);
    return count;
}
