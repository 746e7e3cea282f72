// Text conversions of the ANSI registry calls: Windows-1252 to and from the
// UTF-16LE that hives store, and the UTF-8 that the hive tree keeps names in.
#include "ntsim/registry/internal.h"

namespace ntsim {
namespace reg {

namespace {
// Windows-1252 bytes 0x80..0x9F; the rest of the code page equals Latin-1.
// Bytes the code page leaves undefined map to the same code point, as Windows does.
const uint16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                            0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                            0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint16_t AnsiUnit(unsigned char c) { return (c >= 0x80 && c <= 0x9F) ? kHigh[c - 0x80] : c; }

char UnitAnsi(uint16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return (char)u;
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == u) return (char)(0x80 + i);
    return '?';  // no best-fit mapping: the default character
}
}  // namespace

std::vector<uint16_t> AnsiToUtf16(const char* text, size_t length) {
    std::vector<uint16_t> out(length);
    for (size_t i = 0; i < length; ++i) out[i] = AnsiUnit((unsigned char)text[i]);
    return out;
}

std::string Utf16ToAnsi(const uint16_t* units, size_t count) {
    std::string out(count, '\0');
    for (size_t i = 0; i < count; ++i) out[i] = UnitAnsi(units[i]);
    return out;
}

std::string AnsiToUtf8(const char* text) {
    if (!text) return std::string();
    size_t n = 0;
    while (text[n]) ++n;
    if (IsAsciiText(std::string_view(text, n))) return std::string(text, n);  // the same bytes in all three encodings
    std::vector<uint16_t> units = AnsiToUtf16(text, n);
    return Utf16ToUtf8(units.data(), units.size());
}

std::string Utf8ToAnsi(const std::string& text) {
    if (IsAsciiText(text)) return text;
    std::vector<uint16_t> units = Utf8ToUtf16(text);
    return Utf16ToAnsi(units.data(), units.size());
}

bool IsStringType(uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace reg
}  // namespace ntsim
