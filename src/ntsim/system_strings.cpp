// String calls of kernel32 in the machine's ANSI code page, Windows-1252: it has no
// double-byte lead bytes, and its letters fold case in ASCII and in Latin-1.
#include <cstring>

#include "nt/win32.h"

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
    if (!lpString1 || !lpString2 || (dwCmpFlags & ~(DWORD)NORM_IGNORECASE)) {
        SetLastError(!lpString1 || !lpString2 ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FLAGS);
        return 0;
    }
    // A negative count means the string is zero-terminated; a count stops early at a zero.
    int n1 = cchCount1 < 0 ? (int)strlen(lpString1) : (int)strnlen(lpString1, (size_t)cchCount1);
    int n2 = cchCount2 < 0 ? (int)strlen(lpString2) : (int)strnlen(lpString2, (size_t)cchCount2);
    int r = Compare(lpString1, n1, lpString2, n2, (dwCmpFlags & NORM_IGNORECASE) != 0);
    return r < 0 ? CSTR_LESS_THAN : (r == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN);
}

BOOL IsDBCSLeadByte(BYTE) { return FALSE; }
