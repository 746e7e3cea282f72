// Registry conformance: values of every kind through the ANSI calls, sizes
// and ERROR_MORE_DATA, terminators, enumeration buffers and argument checks.
#include "conformance/registry_cases.h"

CONFORMANCE_TEST(registry_value_sizes_and_types) {
    HKEY root = CaseKey("values");
    ok(RegSetValueExA(root, "sz", 0, REG_SZ, (const BYTE*)"hello", 6) == ERROR_SUCCESS, "set REG_SZ");
    ok(RegSetValueExA(root, "dword", 0, REG_DWORD, (const BYTE*)"\x78\x56\x34\x12", 4) == ERROR_SUCCESS, "set REG_DWORD");
    ok(RegSetValueExA(root, "multi", 0, REG_MULTI_SZ, (const BYTE*)"a\0bc\0", 6) == ERROR_SUCCESS, "set REG_MULTI_SZ");
    ok(RegSetValueExA(root, "expand", 0, REG_EXPAND_SZ, (const BYTE*)"%X%", 4) == ERROR_SUCCESS, "set REG_EXPAND_SZ");
    ok(RegSetValueExA(root, "empty", 0, REG_BINARY, nullptr, 0) == ERROR_SUCCESS, "set empty REG_BINARY");
    ok(RegSetValueExA(root, nullptr, 0, REG_SZ, (const BYTE*)"def", 4) == ERROR_SUCCESS, "set the default value");

    unsigned char buf[32];
    DWORD type = 0, size = 0;
    // Size only.
    LONG err = RegQueryValueExA(root, "sz", nullptr, &type, nullptr, &size);
    ok(err == ERROR_SUCCESS && type == REG_SZ && size == 6, "size query: %ld type %lu size %lu", (long)err,
       (unsigned long)type, (unsigned long)size);
    // Too small: ERROR_MORE_DATA with the size needed.
    size = 3;
    err = RegQueryValueExA(root, "sz", nullptr, &type, buf, &size);
    ok(err == ERROR_MORE_DATA && size == 6, "small buffer: %ld size %lu", (long)err, (unsigned long)size);
    // Exact, with a pattern behind it.
    memset(buf, 0xAA, sizeof buf);
    size = sizeof buf;
    err = RegQueryValueExA(root, "sz", nullptr, &type, buf, &size);
    ok(err == ERROR_SUCCESS && size == 6 && strcmp((char*)buf, "hello") == 0, "REG_SZ: %ld size %lu", (long)err, (unsigned long)size);
    ok(Untouched(buf, 6, sizeof buf, 0xAA), "nothing written past the string");
    memset(buf, 0xAA, sizeof buf);
    size = sizeof buf;
    err = RegQueryValueExA(root, "dword", nullptr, &type, buf, &size);
    ok(err == ERROR_SUCCESS && type == REG_DWORD && size == 4 && buf[0] == 0x78 && buf[3] == 0x12, "REG_DWORD: %ld", (long)err);
    ok(Untouched(buf, 4, sizeof buf, 0xAA), "nothing written past the DWORD");
    memset(buf, 0xAA, sizeof buf);
    size = sizeof buf;
    err = RegQueryValueExA(root, "multi", nullptr, &type, buf, &size);
    ok(err == ERROR_SUCCESS && type == REG_MULTI_SZ && size == 6 && memcmp(buf, "a\0bc\0", 6) == 0, "REG_MULTI_SZ: %ld size %lu",
       (long)err, (unsigned long)size);
    size = sizeof buf;
    err = RegQueryValueExA(root, "expand", nullptr, &type, buf, &size);
    ok(err == ERROR_SUCCESS && type == REG_EXPAND_SZ && size == 4 && strcmp((char*)buf, "%X%") == 0, "REG_EXPAND_SZ kept as written");
    size = sizeof buf;
    err = RegQueryValueExA(root, "empty", nullptr, &type, buf, &size);
    ok(err == ERROR_SUCCESS && type == REG_BINARY && size == 0, "empty value: %ld size %lu", (long)err, (unsigned long)size);
    size = sizeof buf;
    err = RegQueryValueExA(root, "", nullptr, &type, buf, &size);
    ok(err == ERROR_SUCCESS && size == 4 && strcmp((char*)buf, "def") == 0, "default value by empty name: %ld", (long)err);
    // Value names are case-insensitive.
    size = sizeof buf;
    ok(RegQueryValueExA(root, "SZ", nullptr, nullptr, buf, &size) == ERROR_SUCCESS, "name in other case");
    // Argument checks.
    ok(RegQueryValueExA(root, "sz", nullptr, nullptr, buf, nullptr) == ERROR_INVALID_PARAMETER, "data without size");
    DWORD reserved = 0;
    ok(RegQueryValueExA(root, "sz", &reserved, nullptr, nullptr, nullptr) == ERROR_INVALID_PARAMETER, "reserved given");
    ok(RegQueryValueExA(root, "missing", nullptr, nullptr, nullptr, nullptr) == ERROR_FILE_NOT_FOUND, "missing value");
    // A missing value's size query answers 0; with a buffer the size is left as it was.
    size = 0xDEADBEEF;
    err = RegQueryValueExA(root, "missing", nullptr, &type, nullptr, &size);
    ok(err == ERROR_FILE_NOT_FOUND && size == 0, "missing value, size only: %ld size %lu", (long)err, (unsigned long)size);
    size = sizeof buf;
    memset(buf, 0xAA, sizeof buf);
    err = RegQueryValueExA(root, "missing", nullptr, &type, buf, &size);
    ok(err == ERROR_FILE_NOT_FOUND && size == sizeof buf, "missing value with a buffer: %ld size %lu", (long)err,
       (unsigned long)size);
    ok(Untouched(buf, 0, sizeof buf, 0xAA), "and the buffer untouched");
    ok(RegSetValueExA(root, "bad", 0, REG_BINARY, nullptr, 4) == ERROR_NOACCESS, "size without data");
    // Replace, then delete.
    ok(RegSetValueExA(root, "sz", 0, REG_DWORD, (const BYTE*)"\1\0\0\0", 4) == ERROR_SUCCESS, "replace with another type");
    size = sizeof buf;
    RegQueryValueExA(root, "sz", nullptr, &type, buf, &size);
    ok(type == REG_DWORD && size == 4, "replaced: type %lu size %lu", (unsigned long)type, (unsigned long)size);
    ok(RegDeleteValueA(root, "sz") == ERROR_SUCCESS, "delete value");
    ok(RegDeleteValueA(root, "sz") == ERROR_FILE_NOT_FOUND, "delete it again");
    EndCase(root, "values");
}

CONFORMANCE_TEST(registry_string_terminators) {
    HKEY root = CaseKey("terminators");
    // Written without its terminator: the size says so, and a buffer with room gets one.
    ok(RegSetValueExA(root, "bare", 0, REG_SZ, (const BYTE*)"abcX", 3) == ERROR_SUCCESS, "set 3 bytes of a string");
    unsigned char buf[16];
    memset(buf, 0xAA, sizeof buf);
    DWORD size = sizeof buf;
    LONG err = RegQueryValueExA(root, "bare", nullptr, nullptr, buf, &size);
    ok(err == ERROR_SUCCESS && size == 3 && memcmp(buf, "abc", 3) == 0, "bare string: %ld size %lu", (long)err, (unsigned long)size);
    ok(buf[3] == 0, "a terminator is added after it: %02x", buf[3]);
    ok(Untouched(buf, 4, sizeof buf, 0xAA), "and nothing more");
    // A size one short of the terminator that follows the text: the terminator is taken too.
    ok(RegSetValueExA(root, "short", 0, REG_SZ, (const BYTE*)"abc", 3) == ERROR_SUCCESS, "set a string one short");
    size = sizeof buf;
    err = RegQueryValueExA(root, "short", nullptr, nullptr, buf, &size);
    ok(err == ERROR_SUCCESS && size == 4 && memcmp(buf, "abc", 4) == 0, "string one short: %ld size %lu", (long)err,
       (unsigned long)size);
    ok(RegSetValueExA(root, "shortx", 0, REG_EXPAND_SZ, (const BYTE*)"%A%", 3) == ERROR_SUCCESS, "set an expandable one short");
    size = sizeof buf;
    err = RegQueryValueExA(root, "shortx", nullptr, nullptr, buf, &size);
    ok(err == ERROR_SUCCESS && size == 4 && memcmp(buf, "%A%", 4) == 0, "expandable one short: %ld size %lu", (long)err,
       (unsigned long)size);
    // A list: one terminator is taken, not the list's closing one.
    ok(RegSetValueExA(root, "shortm", 0, REG_MULTI_SZ, (const BYTE*)"a\0bc\0", 4) == ERROR_SUCCESS, "set a list one short");
    size = sizeof buf;
    memset(buf, 0xAA, sizeof buf);
    err = RegQueryValueExA(root, "shortm", nullptr, nullptr, buf, &size);
    ok(err == ERROR_SUCCESS && size == 5 && memcmp(buf, "a\0bc\0", 5) == 0, "list one short: %ld size %lu", (long)err,
       (unsigned long)size);
    ok(Untouched(buf, 5, sizeof buf, 0xAA), "the list as stored, nothing added on the way out");
    // Empty data stays empty.
    ok(RegSetValueExA(root, "none", 0, REG_SZ, (const BYTE*)"", 0) == ERROR_SUCCESS, "set an empty string");
    size = sizeof buf;
    err = RegQueryValueExA(root, "none", nullptr, nullptr, buf, &size);
    ok(err == ERROR_SUCCESS && size == 0, "zero-byte string: %ld size %lu", (long)err, (unsigned long)size);
    // Windows-1252 texts survive the trip through the hive's UTF-16.
    const char text[] = "\x80 caf\xe9";
    ok(RegSetValueExA(root, "ansi", 0, REG_SZ, (const BYTE*)text, sizeof text) == ERROR_SUCCESS, "set ANSI text");
    size = sizeof buf;
    err = RegQueryValueExA(root, "ansi", nullptr, nullptr, buf, &size);
    ok(err == ERROR_SUCCESS && size == sizeof text && memcmp(buf, text, sizeof text) == 0, "ANSI text back: %ld size %lu", (long)err,
       (unsigned long)size);
    EndCase(root, "terminators");
}

CONFORMANCE_TEST(registry_enum_value_buffers) {
    HKEY root = CaseKey("enumvalue");
    RegSetValueExA(root, "Test", 0, REG_SZ, (const BYTE*)"foobar", 7);
    char name[16];
    unsigned char data[16];
    DWORD nameLength = 3, dataLength = sizeof data, type = 0;
    // Name too small: ERROR_MORE_DATA, type and data size reported, name length as it was.
    LONG err = RegEnumValueA(root, 0, name, &nameLength, nullptr, &type, data, &dataLength);
    ok(err == ERROR_MORE_DATA, "small name buffer: %ld", (long)err);
    ok(nameLength == 3, "name length kept: %lu", (unsigned long)nameLength);
    ok(type == REG_SZ && dataLength == 7, "type %lu, data size %lu", (unsigned long)type, (unsigned long)dataLength);
    // Data that fits is written although the name does not; the name is cut to the buffer.
    memset(name, 'x', sizeof name);
    memset(data, 0xAA, sizeof data);
    nameLength = 3;
    dataLength = sizeof data;
    err = RegEnumValueA(root, 0, name, &nameLength, nullptr, &type, data, &dataLength);
    ok(err == ERROR_MORE_DATA && nameLength == 3 && dataLength == 7, "small name buffer with data: %ld %lu %lu", (long)err,
       (unsigned long)nameLength, (unsigned long)dataLength);
    ok(memcmp(data, "foobar", 7) == 0 && Untouched(data, 7, sizeof data, 0xAA), "the data written: %.7s", (char*)data);
    ok(memcmp(name, "Te", 3) == 0 && name[3] == 'x', "the name cut to the buffer: %.3s", name);
    // An empty name buffer takes nothing.
    memset(name, 'x', sizeof name);
    nameLength = 0;
    dataLength = sizeof data;
    err = RegEnumValueA(root, 0, name, &nameLength, nullptr, &type, data, &dataLength);
    ok(err == ERROR_MORE_DATA && nameLength == 0 && name[0] == 'x', "empty name buffer: %ld", (long)err);
    // Both too small: neither buffer is touched.
    memset(name, 'x', sizeof name);
    memset(data, 0xAA, sizeof data);
    nameLength = 3;
    dataLength = 2;
    err = RegEnumValueA(root, 0, name, &nameLength, nullptr, &type, data, &dataLength);
    ok(err == ERROR_MORE_DATA && nameLength == 3 && dataLength == 7, "both small: %ld", (long)err);
    ok(name[0] == 'x' && Untouched(data, 0, sizeof data, 0xAA), "neither buffer touched");
    // Data too small: the name that fits is not written either.
    memset(name, 'x', sizeof name);
    memset(data, 0xAA, sizeof data);
    nameLength = sizeof name;
    dataLength = 2;
    err = RegEnumValueA(root, 0, name, &nameLength, nullptr, &type, data, &dataLength);
    ok(err == ERROR_MORE_DATA && dataLength == 7, "small data buffer: %ld, needs %lu", (long)err, (unsigned long)dataLength);
    ok(nameLength == sizeof name && name[0] == 'x' && Untouched(data, 0, sizeof data, 0xAA),
       "neither the name nor the data written: %lu", (unsigned long)nameLength);
    // Fitting, with patterns behind both.
    memset(name, 0xAA, sizeof name);
    memset(data, 0xAA, sizeof data);
    nameLength = sizeof name;
    dataLength = sizeof data;
    err = RegEnumValueA(root, 0, name, &nameLength, nullptr, &type, data, &dataLength);
    ok(err == ERROR_SUCCESS && nameLength == 4 && strcmp(name, "Test") == 0, "name: %ld %lu", (long)err, (unsigned long)nameLength);
    ok(dataLength == 7 && strcmp((char*)data, "foobar") == 0, "data: %lu", (unsigned long)dataLength);
    ok(Untouched((unsigned char*)name, 5, sizeof name, 0xAA), "nothing past the name");
    ok(Untouched(data, 7, sizeof data, 0xAA), "nothing past the data");
    // Name only: no data buffer at all.
    nameLength = sizeof name;
    err = RegEnumValueA(root, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    ok(err == ERROR_SUCCESS, "name only: %ld", (long)err);
    ok(RegEnumValueA(root, 0, nullptr, &nameLength, nullptr, nullptr, nullptr, nullptr) == ERROR_INVALID_PARAMETER, "no name buffer");
    ok(RegEnumValueA(root, 0, name, &nameLength, nullptr, nullptr, data, nullptr) == ERROR_INVALID_PARAMETER, "data without size");
    EndCase(root, "enumvalue");
}
