// LoadStringA over the program's string table: exact texts, cutting to the buffer,
// missing ids.
#include <cstring>

#include "conformance/ui_common.h"

CONFORMANCE_TEST(ui_load_string_table) {
    char buf[1100];
    int n = LoadStringA(UiInstance(), IDS_UNC_DATAFILE, buf, sizeof buf);
    const char* expected =
        "Tessiv cannot read or write a data file from a UNC path.  Please specify a filename on the local machine.";
    ok(n == (int)strlen(expected), "length %d, expected %d", n, (int)strlen(expected));
    ok(strcmp(buf, expected) == 0, "text \"%s\"", buf);
    n = LoadStringA(UiInstance(), IDS_ROLE_BDC2, buf, sizeof buf);
    ok(n > 0 && strncmp(buf, "1.\tRun this utility", 19) == 0, "tab kept: \"%.30s\"", buf);
    n = LoadStringA(UiInstance(), IDS_TERMINAL_SERVER, buf, sizeof buf);
    ok(n == 28 && strcmp(buf, "(Terminal Server detected)\n\n") == 0, "newlines kept: %d", n);
    const UINT ids[] = {101, 110, 111, 150, 151, 160, 161, 170, 171, 172, 180, 181, 182, 300, 303, 304, 305, 306,
                        307, 308, 309, 402, 403, 500, 57345, 57346, 57347, 57348, 57349, 57350};
    for (UINT id : ids) ok(LoadStringA(UiInstance(), id, buf, sizeof buf) > 0, "string %u present", id);
}

CONFORMANCE_TEST(ui_load_string_cut_and_missing) {
    char buf[16];
    memset(buf, 'x', sizeof buf);
    int n = LoadStringA(UiInstance(), IDS_ABOUTBOX, buf, 6);
    ok(n == 5, "cut to the buffer: %d", n);
    ok(strcmp(buf, "&Abou") == 0, "cut text \"%s\"", buf);
    ok(buf[6] == 'x', "byte past the buffer untouched: %02x", (unsigned char)buf[6]);
    buf[0] = 'x';
    n = LoadStringA(UiInstance(), 4242, buf, sizeof buf);
    ok(n == 0, "missing id gives 0, got %d", n);
    ok(buf[0] == 0, "missing id empties the buffer: %02x", (unsigned char)buf[0]);
}
