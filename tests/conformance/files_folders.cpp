// Conformance of the files subset: volumes, folders, enumeration, attributes, copying,
// moving, process paths and the C runtime's text mode.
#include <stdio.h>
#include <string.h>

#include "conformance/conformance.h"

// Compares without case, as Windows compares paths (n = 0: whole strings).
static int SameText(const char* a, const char* b, size_t n) {
    for (size_t i = 0; n == 0 || i < n; ++i) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? (char)(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? (char)(b[i] - 32) : b[i];
        if (x != y) return 0;
        if (!x) return 1;
    }
    return 1;
}

static void Scratch(char* out, size_t size, const char* name) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    snprintf(out, size, "%stessiv-conf-%s", temp, name);
}

CONFORMANCE_TEST(files_volumes) {
    char drives[128];
    DWORD n = GetLogicalDriveStringsA(127, drives);
    ok(n > 0 && n < 127, "drive list of %lu characters", (unsigned long)n);
    int haveC = 0;
    for (const char* d = drives; *d; d += strlen(d) + 1)
        if ((d[0] == 'C' || d[0] == 'c') && strcmp(d + 1, ":\\") == 0) haveC = 1;
    ok(haveC, "C:\\ is in the list");
    ok(GetLogicalDriveStringsA(2, drives) == n + 1, "a short buffer gets the size needed");
    ok(GetDriveTypeA("C:\\") == DRIVE_FIXED, "C: is fixed: %u", GetDriveTypeA("C:\\"));
    char fs[64];
    DWORD flags = 0, maxLen = 0;
    ok(GetVolumeInformationA("C:\\", NULL, 0, NULL, &maxLen, &flags, fs, sizeof fs) && fs[0] && maxLen == 255,
       "volume information of C: (%s, %lu)", fs, (unsigned long)maxLen);
}

CONFORMANCE_TEST(files_folders_and_enumeration) {
    char dir[2 * MAX_PATH], path[3 * MAX_PATH], other[3 * MAX_PATH], pattern[3 * MAX_PATH];
    Scratch(dir, sizeof dir, "enum");
    ok(CreateDirectoryA(dir, NULL), "CreateDirectoryA %s: %lu", dir, (unsigned long)GetLastError());
    SetLastError(0xdeadbeef);
    ok(!CreateDirectoryA(dir, NULL) && GetLastError() == ERROR_ALREADY_EXISTS, "again: %lu", (unsigned long)GetLastError());
    snprintf(path, sizeof path, "%s\\no\\child", dir);
    ok(!CreateDirectoryA(path, NULL) && GetLastError() == ERROR_PATH_NOT_FOUND, "missing parent: %lu", (unsigned long)GetLastError());
    snprintf(path, sizeof path, "%s\\a.txt", dir);
    FILE* f = fopen(path, "w");
    ok(f != NULL, "fopen for writing");
    if (f) {
        fputs("one\ntwo\n", f);
        fclose(f);
    }
    f = fopen(path, "rb");
    char raw[32] = {0};
    size_t got = f ? fread(raw, 1, sizeof raw, f) : 0;
    if (f) fclose(f);
    ok(got == 10 && memcmp(raw, "one\r\ntwo\r\n", 10) == 0, "text mode wrote CR LF (%u bytes)", (unsigned)got);
    snprintf(pattern, sizeof pattern, "%s\\*.*", dir);
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern, &fd);
    int dots = 0, files = 0;
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (!strcmp(fd.cFileName, ".") || !strcmp(fd.cFileName, "..")) dots++;
            else if (!strcmp(fd.cFileName, "a.txt") && fd.nFileSizeLow == 10) files++;
        } while (FindNextFileA(h, &fd));
        ok(GetLastError() == ERROR_NO_MORE_FILES, "end of the list: %lu", (unsigned long)GetLastError());
        FindClose(h);
    }
    ok(dots == 2 && files == 1, "found %d dot entries and %d files", dots, files);
    snprintf(pattern, sizeof pattern, "%s\\*.doc", dir);
    SetLastError(0xdeadbeef);
    ok(FindFirstFileA(pattern, &fd) == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND, "no match: %lu",
       (unsigned long)GetLastError());
    snprintf(pattern, sizeof pattern, "%s\\none\\*.*", dir);
    ok(FindFirstFileA(pattern, &fd) == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND, "no folder: %lu",
       (unsigned long)GetLastError());
    // Attributes, copying and moving.
    ok(SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), "SetFileAttributesA");
    ok((GetFileAttributesA(path) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)) == (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
       "read-only and hidden");
    todo_wine("Wine reports every regular file as archived") {
        ok(GetFileAttributesA(path) == (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), "attributes %lx",
           (unsigned long)GetFileAttributesA(path));
    }
    SetLastError(0xdeadbeef);
    ok(!DeleteFileA(path) && GetLastError() == ERROR_ACCESS_DENIED, "a read-only file is not deleted: %lu", (unsigned long)GetLastError());
    snprintf(other, sizeof other, "%s\\b.txt", dir);
    ok(CopyFileA(path, other, TRUE), "CopyFileA");
    SetLastError(0xdeadbeef);
    ok(!CopyFileA(path, other, TRUE) && GetLastError() == ERROR_FILE_EXISTS, "existing target: %lu", (unsigned long)GetLastError());
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesA(other, FILE_ATTRIBUTE_NORMAL);
    todo_wine("Wine reports every regular file as archived") {
        ok(GetFileAttributesA(path) == FILE_ATTRIBUTE_NORMAL, "normal: %lx", (unsigned long)GetFileAttributesA(path));
    }
    SetLastError(0xdeadbeef);
    ok(!MoveFileExA(path, other, 0) && GetLastError() == ERROR_ALREADY_EXISTS, "move onto a file: %lu", (unsigned long)GetLastError());
    ok(MoveFileExA(path, other, MOVEFILE_REPLACE_EXISTING), "move replacing");
    ok(GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND, "moved away");
    SetLastError(0xdeadbeef);
    ok(!RemoveDirectoryA(dir) && GetLastError() == ERROR_DIR_NOT_EMPTY, "a full folder stays: %lu", (unsigned long)GetLastError());
    ok(DeleteFileA(other), "DeleteFileA");
    ok(RemoveDirectoryA(dir), "RemoveDirectoryA");
}

CONFORMANCE_TEST(files_process_paths) {
    char buf[MAX_PATH], win[MAX_PATH];
    DWORD n = GetTempPathA(sizeof buf, buf);
    ok(n > 3 && n == strlen(buf) && buf[n - 1] == '\\', "temp path %s ends with a backslash", buf);
    ok(GetTempPathA(2, buf) == n + 1, "short buffer: the size needed");
    UINT s = GetSystemDirectoryA(buf, sizeof buf);
    UINT w = GetWindowsDirectoryA(win, sizeof win);
    ok(s > w && w > 2 && SameText(buf, win, w) && SameText(buf + w, "\\system32", 0), "%s below %s", buf, win);
    ok(GetSystemDirectoryA(buf, 3) == s + 1, "short buffer: the size needed");
    char old[MAX_PATH], now[MAX_PATH];
    GetCurrentDirectoryA(sizeof old, old);
    GetWindowsDirectoryA(win, sizeof win);
    ok(SetCurrentDirectoryA(win), "SetCurrentDirectoryA");
    ok(GetCurrentDirectoryA(sizeof now, now) == strlen(win) && SameText(now, win, 0), "now %s", now);
    SetLastError(0xdeadbeef);
    ok(!SetCurrentDirectoryA("C:\\tessiv-no-such-folder") && GetLastError() == ERROR_FILE_NOT_FOUND, "missing folder: %lu",
       (unsigned long)GetLastError());
    SetCurrentDirectoryA(old);
}

// A file opened by handle and read and written through views of a mapping: what the byte
// scan of hive files relies on, and the refusals around it.
CONFORMANCE_TEST(files_mapped_views) {
    char dir[2 * MAX_PATH], path[3 * MAX_PATH], empty[3 * MAX_PATH];
    Scratch(dir, sizeof dir, "mapping");
    CreateDirectoryA(dir, NULL);
    snprintf(path, sizeof path, "%s\\data.bin", dir);
    snprintf(empty, sizeof empty, "%s\\empty.bin", dir);
    const DWORD size = 3 * 65536 + 100;
    FILE* f = fopen(path, "wb");
    for (DWORD i = 0; f && i < size; ++i) fputc((int)(i % 251), f);
    if (f) fclose(f);
    f = fopen(empty, "wb");
    if (f) fclose(f);

    SetLastError(0xdeadbeef);
    char missing[3 * MAX_PATH];
    snprintf(missing, sizeof missing, "%s\\none.bin", dir);
    ok(CreateFileA(missing, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE &&
           GetLastError() == ERROR_FILE_NOT_FOUND,
       "a missing file: %lu", (unsigned long)GetLastError());
    snprintf(missing, sizeof missing, "%s\\none\\x.bin", dir);
    ok(CreateFileA(missing, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE &&
           GetLastError() == ERROR_PATH_NOT_FOUND,
       "a missing folder: %lu", (unsigned long)GetLastError());

    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ok(file != INVALID_HANDLE_VALUE, "CreateFileA: %lu", (unsigned long)GetLastError());
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD high = 0xdeadbeef;
    ok(GetFileSize(file, &high) == size && high == 0, "GetFileSize");
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, 0, NULL);
    ok(mapping != NULL, "CreateFileMappingA: %lu", (unsigned long)GetLastError());

    SetLastError(0xdeadbeef);
    ok(!MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 4096, 100) && GetLastError() == ERROR_MAPPED_ALIGNMENT,
       "an offset off the 64 KiB granularity: %lu", (unsigned long)GetLastError());
    SetLastError(0xdeadbeef);
    ok(!MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 3 * 65536, 101) && GetLastError() == ERROR_ACCESS_DENIED,
       "a view past the section's end: %lu", (unsigned long)GetLastError());

    // The last view, to the section's end; a write in it is in the file once flushed.
    unsigned char* view = (unsigned char*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 3 * 65536, 0);
    ok(view != NULL, "MapViewOfFile: %lu", (unsigned long)GetLastError());
    if (view) {
        ok(view[0] == (3 * 65536) % 251 && view[99] == (3 * 65536 + 99) % 251, "the view holds the file's bytes");
        memcpy(view + 10, "TESSIV", 6);
        ok(FlushViewOfFile(view, 0), "FlushViewOfFile: %lu", (unsigned long)GetLastError());
        ok(UnmapViewOfFile(view), "UnmapViewOfFile: %lu", (unsigned long)GetLastError());
    }
    ok(FlushFileBuffers(file), "FlushFileBuffers: %lu", (unsigned long)GetLastError());
    ok(CloseHandle(mapping) && CloseHandle(file), "handles closed");
    unsigned char back[16] = {0};
    f = fopen(path, "rb");
    if (f) {
        fseek(f, 3 * 65536 + 8, SEEK_SET);
        ok(fread(back, 1, 10, f) == 10, "read back");
        fclose(f);
    }
    ok(memcmp(back + 2, "TESSIV", 6) == 0 && back[0] == (3 * 65536 + 8) % 251, "the write is in the file");

    // A file opened for reading only gives only a read-only section, and no writable view.
    file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    SetLastError(0xdeadbeef);
    ok(!CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, 0, NULL) && GetLastError() == ERROR_ACCESS_DENIED,
       "a writable section of a read-only handle: %lu", (unsigned long)GetLastError());
    mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
    SetLastError(0xdeadbeef);
    ok(mapping && !MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) && GetLastError() == ERROR_ACCESS_DENIED,
       "a writable view of a read-only section: %lu", (unsigned long)GetLastError());
    SetLastError(0xdeadbeef);
    ok(!FlushFileBuffers(file) && GetLastError() == ERROR_ACCESS_DENIED, "flushing a read-only handle: %lu",
       (unsigned long)GetLastError());
    if (mapping) CloseHandle(mapping);
    CloseHandle(file);

    // An empty file has nothing to map.
    file = CreateFileA(empty, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    SetLastError(0xdeadbeef);
    ok(file != INVALID_HANDLE_VALUE && !CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, 0, NULL) &&
           GetLastError() == ERROR_FILE_INVALID,
       "a section of an empty file: %lu", (unsigned long)GetLastError());
    CloseHandle(file);
    DeleteFileA(path);
    DeleteFileA(empty);
    RemoveDirectoryA(dir);
}
