// Byte-pattern and text replacement primitives, the hex-pattern file scan and
// the removal of a directory tree.
#include "replace/byte_replace.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/job_settings.h"
#include "core/output.h"

int ReplaceBytesInBuffer(BYTE* buffer, int bufferLength, const BYTE* oldPattern, int oldLength,
                         const BYTE* newPattern, int newLength) {
    if (oldLength != newLength) {
        ReportError("Internal Error: ReplaceBytesInBuffer() parameters must be the same length", logStream);
        return kReplaceFailed;
    }
    // An empty pattern matches nothing (it would never advance).
    if (!buffer || !oldPattern || !newPattern || oldLength <= 0 || bufferLength < 0 || oldLength > bufferLength)
        return kNotFound;
    const int n = oldLength;
    const BYTE first = oldPattern[0];
    int p = 0;
    bool replaced = false;
    while (p <= bufferLength - n) {
        const BYTE* hit = static_cast<const BYTE*>(memchr(buffer + p, first, (size_t)(bufferLength - n - p + 1)));
        if (!hit) break;
        int q = (int)(hit - buffer);
        if (memcmp(buffer + q + 1, oldPattern + 1, (size_t)(n - 1)) != 0) {
            p = q + 1;
            continue;
        }
        memcpy(buffer + q, newPattern, (size_t)n);
        replaced = true;
        p = q + n;  // never look at bytes just written
    }
    return replaced ? kReplaced : kNotFound;
}

int ReplaceBytesAllPairs(BYTE* buffer, int bufferLength, const BytePairList* pairs, int patternLength) {
    if (!pairs) return kNotFound;
    int result = kNotFound;
    int count = pairs->count < 0 ? 0 : (pairs->count > 4 ? 4 : pairs->count);
    for (int i = 0; i < count; ++i) {
        int r = ReplaceBytesInBuffer(buffer, bufferLength, pairs->oldPattern[i], patternLength, pairs->newPattern[i],
                                     patternLength);
        if (r == kReplaceFailed) return kReplaceFailed;
        if (r == kReplaced) result = kReplaced;
    }
    return result;
}

int ReplaceBufferText(char* text, const DWORD* capacity, const char* oldText, const char* newText) {
    // A buffer whose text is not terminated within its capacity is as unusable as none.
    size_t length = text && capacity ? strnlen(text, *capacity) : 0;
    if (!text || !capacity || !oldText || !newText || length >= *capacity) {
        ReportError("Error: Invalid buffer passed to ReplaceBufferText()", logStream);
        return kReplaceFailed;
    }
    size_t oldLength = strlen(oldText);
    size_t newLength = strlen(newText);
    if (oldLength == 0 || length < oldLength) return kNotFound;
    char* at = strstr(text, oldText);
    if (!at) return kNotFound;
    unsigned long long needed = (unsigned long long)newLength + length - oldLength + 1;
    if ((unsigned long long)*capacity < needed) {
        char message[128];
        snprintf(message, sizeof message, "Error: RBT buffer too small (bufsize = %d; needed = %d)\n", (int)*capacity,
                 (int)needed);
        ReportError(message, logStream);
        return kReplaceFailed;
    }
    size_t offset = (size_t)(at - text);
    size_t tail = length - offset - oldLength;
    memmove(text + offset + newLength, text + offset + oldLength, tail);
    memcpy(text + offset, newText, newLength);
    text[offset + newLength + tail] = 0;
    return kReplaced;
}

int ReplaceTextAllPairs(char* text, const DWORD* capacity, const SidPairList* pairs) {
    if (!pairs) return kNotFound;
    int result = kNotFound;
    int count = pairs->count < 0 ? 0 : (pairs->count > 4 ? 4 : pairs->count);
    for (int i = 0; i < count; ++i) {
        int r = ReplaceBufferText(text, capacity, pairs->oldText[i], pairs->newText[i]);
        if (r == kReplaceFailed) return kReplaceFailed;
        if (r == kReplaced) result = kReplaced;
    }
    return result;
}

int ReplaceMultiStringText(char* buffer, DWORD* size, const char* oldText, const char* newText) {
    if (!buffer || !size || !oldText || !newText) {
        ReportError("Error: Invalid buffer passed to ReplaceBufferText()", logStream);
        return kReplaceFailed;
    }
    const size_t capacity = *size;
    long long difference = (long long)strlen(newText) - (long long)strlen(oldText);
    const size_t grow = difference > 0 ? (size_t)difference : 0;
    char* output = static_cast<char*>(malloc(capacity ? capacity : 1));
    if (!output) return kReplaceFailed;
    if (capacity == 0 || buffer[0] == 0) {
        free(output);
        return kNotFound;
    }
    size_t in = 0, out = 0;
    bool changed = false;
    while (in + 1 < capacity && buffer[in] != 0) {
        // A last string without its terminator ends at the capacity.
        size_t length = strnlen(buffer + in, capacity - in);
        DWORD scratchSize = (DWORD)(length + grow + 1);
        char* scratch = static_cast<char*>(malloc(scratchSize));
        if (!scratch) {
            free(output);
            return kReplaceFailed;
        }
        memcpy(scratch, buffer + in, length);
        scratch[length] = 0;
        int r = ReplaceBufferText(scratch, &scratchSize, oldText, newText);
        if (r == kReplaceFailed) {
            free(scratch);
            free(output);
            return kReplaceFailed;
        }
        if (r == kReplaced) changed = true;
        size_t piece = strlen(scratch) + 1;
        if (out + piece > capacity) {
            free(scratch);
            free(output);
            return kReplaceFailed;
        }
        memcpy(output + out, scratch, piece);
        out += piece;
        free(scratch);
        in += length + 1;
    }
    if (!changed) {
        free(output);
        return kNotFound;
    }
    if (out + 1 > capacity) {
        free(output);
        return kReplaceFailed;
    }
    output[out++] = 0;  // the closing empty string
    memcpy(buffer, output, out);
    *size = (DWORD)out;
    free(output);
    return kReplaced;
}

int ReplaceMultiStringAllPairs(char* buffer, DWORD* size, const SidPairList* pairs) {
    if (!pairs) return kNotFound;
    int result = kNotFound;
    int count = pairs->count < 0 ? 0 : (pairs->count > 4 ? 4 : pairs->count);
    for (int i = 0; i < count; ++i) {
        // The size one pair leaves is the capacity the next one gets.
        int r = ReplaceMultiStringText(buffer, size, pairs->oldText[i], pairs->newText[i]);
        if (r == kReplaceFailed) return kReplaceFailed;
        if (r == kReplaced) result = kReplaced;
    }
    return result;
}

namespace {

// The first 4096 bytes of a hive file (its base block) are never searched or written.
const unsigned long long kSkippedBytes = 4096;
// The file is searched through views of this many bytes (plus the n-1 bytes a pattern that
// starts in a view can reach into the next), mapped one at a time: the scan reads the
// system's cached pages where they lie, with no copy into a buffer of its own, and the
// process never holds more of the file than one view. A multiple of the 64 KiB at which
// views must start on every Windows version. The files are the job's own working copies,
// just written to the local disk; a read error in a view would end the process as a cut
// does, and the next boot's recovery puts the machine back.
const unsigned long long kView = 2ull << 20;

// Nibble of one hex digit: its upper-case form minus '0', or minus 0x37 past '9'.
int Nibble(char digit) {
    int u = (unsigned char)digit;
    if (u >= 'a' && u <= 'z') u -= 32;
    return (u >= '0' && u <= '9') ? u - '0' : u - 0x37;
}

// How common a byte is in hive files and other binary data, roughly: zeros, 0xFF fill,
// small numbers and the ASCII of UTF-16 names are everywhere, high bytes are rare.
int Commonness(BYTE b) {
    if (b == 0) return 1000;
    if (b == 0xFF) return 500;
    if (b < 0x20) return 300 - 4 * b;
    if (b < 0x80) return ((b | 0x20) >= 'a' && (b | 0x20) <= 'z') || (b >= '0' && b <= '9') ? 200 : 100;
    return 10;
}

// The position of the pattern byte the scan looks for first: the rarest one, so that
// few places need a closer look; skip names a position not to choose (n: none).
size_t RarestByte(const BYTE* pattern, size_t n, size_t skip) {
    size_t best = n;
    for (size_t i = 0; i < n; ++i)
        if (i != skip && (best == n || Commonness(pattern[i]) <= Commonness(pattern[best]))) best = i;
    return best;
}

// Positions the scan passes over at once when neither of the pattern's two rarest bytes
// sits in place at any of them: most of a file, looked at with wide instructions.
const size_t kBlock = 1024;

// The first of count blocks of kBlock positions in which some position i has a[i] == aByte
// and b[i] == bByte, or count when none has. The inner loop has no early exit, so that the
// compiler turns it into vector instructions.
inline __attribute__((always_inline)) size_t FirstCandidateBlockBody(const BYTE* a, const BYTE* b, BYTE aByte,
                                                                      BYTE bByte, size_t count) {
    for (size_t k = 0; k < count; ++k, a += kBlock, b += kBlock) {
        BYTE least = 0xFF;
        for (size_t i = 0; i < kBlock; ++i) {
            BYTE t = (BYTE)((a[i] ^ aByte) | (b[i] ^ bByte));
            least = t < least ? t : least;
        }
        if (least == 0) return k;
    }
    return count;
}

typedef size_t (*BlockFilter)(const BYTE* a, const BYTE* b, BYTE aByte, BYTE bByte, size_t count);

size_t FirstCandidateBlock(const BYTE* a, const BYTE* b, BYTE aByte, BYTE bByte, size_t count) {
    return FirstCandidateBlockBody(a, b, aByte, bByte, count);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// The same loop with the 32-byte instructions of processors since 2013, and with the
// 64-byte ones of some since 2017, used only where the processor and the system (which
// must save their registers) both support them.
__attribute__((target("avx2"))) size_t FirstCandidateBlockWide(const BYTE* a, const BYTE* b, BYTE aByte, BYTE bByte,
                                                               size_t count) {
    return FirstCandidateBlockBody(a, b, aByte, bByte, count);
}

__attribute__((target("avx512bw,prefer-vector-width=512"))) size_t FirstCandidateBlockWidest(const BYTE* a,
                                                                                             const BYTE* b, BYTE aByte,
                                                                                             BYTE bByte, size_t count) {
    return FirstCandidateBlockBody(a, b, aByte, bByte, count);
}
#endif

BlockFilter ChooseBlockFilter() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw")) return FirstCandidateBlockWidest;
    if (__builtin_cpu_supports("avx2")) return FirstCandidateBlockWide;
#endif
    return FirstCandidateBlock;
}

void DecodeHex(const char* hex, size_t n, BYTE* out) {
    for (size_t i = 0; i < n; ++i) out[i] = (BYTE)((Nibble(hex[2 * i]) << 4) + Nibble(hex[2 * i + 1]));
}

void Report(const char* format, const char* path) {
    char message[1024];
    snprintf(message, sizeof message, format, path);
    ReportError(message, logStream);
}

void Log(const char* format, const char* a, const char* b = nullptr) {
    char message[1024];
    if (b)
        snprintf(message, sizeof message, format, a, b);
    else
        snprintf(message, sizeof message, format, a);
    LogLine(message, logStream);
}

}  // namespace

int ReplaceHexInFile(const char* path, const char* oldHex, const char* newHex) {
    // A scan cut off midway leaves a file only partly rewritten: a failure like any other.
    BOOL interrupted = FALSE;
    int result = ReplaceHexInFileEx(path, oldHex, newHex, &interrupted);
    return interrupted ? kReplaceFailed : result;
}

int ReplaceHexInFileEx(const char* path, const char* oldHex, const char* newHex, BOOL* interrupted) {
    if (interrupted) *interrupted = FALSE;
    if (!path) path = "";
    if (debugMode) Log("Searching for replacements in '%s'...", path);
    if (!oldHex || !newHex || strlen(oldHex) != strlen(newHex)) {
        ReportError("ERROR: Strings must be the same length", logStream);
        return kReplaceFailed;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Report("ERROR: Unable to open '%s'", path);
        return kReplaceFailed;
    }
    const size_t n = strlen(oldHex) / 2;  // a trailing odd digit carries no byte
    BYTE* oldPattern = n ? static_cast<BYTE*>(malloc(n)) : nullptr;
    BYTE* newPattern = n ? static_cast<BYTE*>(malloc(n)) : nullptr;
    if (n && (!oldPattern || !newPattern)) {
        free(oldPattern);
        free(newPattern);
        CloseHandle(file);
        ReportError("ERROR: Out Of Memory", logStream);
        return kReplaceFailed;
    }
    DWORD sizeHigh = 0;
    DWORD sizeLow = GetFileSize(file, &sizeHigh);
    if (sizeLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        free(oldPattern);
        free(newPattern);
        CloseHandle(file);
        Report("Error reading from file '%s'", path);
        if (interrupted) *interrupted = TRUE;
        return kReplaceFailed;
    }
    const unsigned long long size = ((unsigned long long)sizeHigh << 32) | sizeLow;

    DWORD count = 0;
    bool changed = false;
    bool failed = false;
    BOOL ignored;
    BOOL* stopped = interrupted ? interrupted : &ignored;
    // An empty pattern has nothing to find; a file with no room for it past its base block
    // neither (and an empty file cannot be mapped).
    HANDLE mapping = nullptr;
    if (n > 0 && size >= kSkippedBytes + n) {
        mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
        if (!mapping) {
            Report("Error reading from file '%s'", path);
            failed = true;
        }
    }
    if (mapping) {
        DecodeHex(oldHex, n, oldPattern);
        DecodeHex(newHex, n, newPattern);
        // The pattern's two rarest bytes: a block of positions where they never both sit in
        // place is passed over whole; in the others the rarest is looked for and the second
        // checked in place before the whole comparison, since a call to compare each place the
        // rarest byte finds would cost as much as the search itself. A one-byte pattern checks
        // its only byte twice.
        const size_t anchor = RarestByte(oldPattern, n, n);
        const BYTE anchorByte = oldPattern[anchor];
        const size_t second = n > 1 ? RarestByte(oldPattern, n, anchor) : anchor;
        const BYTE secondByte = oldPattern[second];
        const BlockFilter firstCandidateBlock = ChooseBlockFilter();
        // next is the first file offset a match may start at, so that matches never overlap,
        // also across views. Each view holds the positions [base, base + kView) that a whole
        // pattern fits after, and the bytes such a pattern reaches into the next view.
        unsigned long long next = kSkippedBytes;
        for (unsigned long long base = 0; !failed && base + n <= size; base += kView) {
            if (next >= base + kView) continue;  // every position of this view lies before next
            const unsigned long long reach = size - base < kView + n - 1 ? size - base : kView + n - 1;
            BYTE* window = static_cast<BYTE*>(
                MapViewOfFile(mapping, FILE_MAP_WRITE, (DWORD)(base >> 32), (DWORD)base, (SIZE_T)reach));
            if (!window) {
                Report("Error reading from file '%s'", path);
                failed = true;
                break;
            }
            const size_t valid = (size_t)reach;
            size_t w = next > base ? (size_t)(next - base) : 0;
            size_t closeUntil = w;  // positions below it are in a block that has a candidate
            bool viewChanged = false;
            while (valid >= n && w <= valid - n) {
                const size_t last = valid - n;  // the last position a whole pattern fits at
                if (w >= closeUntil) {
                    size_t blocks = (last - w + 1) / kBlock;
                    size_t k = blocks ? firstCandidateBlock(window + w + anchor, window + w + second, anchorByte,
                                                            secondByte, blocks)
                                      : 0;
                    w += k * kBlock;
                    if (k < blocks) {
                        closeUntil = w + kBlock;
                    } else if (blocks) {
                        continue;  // the positions left are fewer than a block
                    } else {
                        closeUntil = last + 1;
                    }
                }
                // Look for the pattern's rarest byte, then compare the whole pattern around it.
                const BYTE* hit = static_cast<const BYTE*>(memchr(window + w + anchor, anchorByte, closeUntil - w));
                if (!hit) {
                    w = closeUntil;
                    continue;
                }
                w = (size_t)(hit - window) - anchor;
                if (window[w + second] != secondByte || memcmp(window + w, oldPattern, n) != 0) {
                    ++w;
                    continue;
                }
                memcpy(window + w, newPattern, n);
                viewChanged = true;
                changed = true;
                ++count;
                w += n;
                next = base + w;
            }
            // The view's changes go to the file before it is unmapped.
            if (viewChanged && !FlushViewOfFile(window, 0)) {
                Report("Error writing to file '%s'", path);
                failed = true;
            }
            if (!UnmapViewOfFile(window) && !failed) {
                Report("Error writing to file '%s'", path);
                failed = true;
            }
        }
        CloseHandle(mapping);
    }
    // The rewritten bytes are put on the disk before the file is scheduled to become a
    // live hive.
    if (changed && !failed && !FlushFileBuffers(file)) {
        Report("Error writing to file '%s'", path);
        failed = true;
    }
    if (failed) *stopped = TRUE;
    CloseHandle(file);
    free(oldPattern);
    free(newPattern);
    if (failed && !changed) return kReplaceFailed;

    if (!changed) {
        if (debugMode) Log("INFORMATION: Hex String '%s' Not Found in '%s'", oldHex, path);
        return kNotFound;
    }
    if (debugMode) {
        char message[1024];
        snprintf(message, sizeof message, "Success: %d replacements made in '%s'", (int)count, path);
        LogLine(message, logStream);
    }
    if (jobSettings) {
        jobSettings->replacedCount += count;
        jobSettings->changesMade = 1;
    }
    return kReplaced;
}

int DeleteDirectoryTree(const char* path) {
    char pattern[MAX_PATH];
    char child[MAX_PATH];
    if (!path || !*path) return 0;
    size_t length = strlen(path);
    bool slash = path[length - 1] == '\\';
    if (snprintf(pattern, sizeof pattern, slash ? "%s*.*" : "%s\\*.*", path) >= (int)sizeof pattern) {
        Report("Error deleting directory '%s'", path);
        return 0;
    }
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const char* name = found.cFileName;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
            if (snprintf(child, sizeof child, slash ? "%s%s" : "%s\\%s", path, name) >= (int)sizeof child) {
                FindClose(find);
                Report("Error deleting file '%s'", child);
                return 0;
            }
            // Read-only, hidden and system entries would refuse deletion. An entry that
            // has none of them needs no change, which spares one call per file.
            if (found.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
                SetFileAttributesA(child, FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (!DeleteDirectoryTree(child)) {
                    FindClose(find);
                    return 0;
                }
            } else if (!DeleteFileA(child)) {
                FindClose(find);
                Report("Error deleting file '%s'", child);
                return 0;
            }
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    // RemoveDirectoryA takes the path without a trailing backslash (a root keeps its own).
    char directory[MAX_PATH];
    snprintf(directory, sizeof directory, "%s", path);
    size_t end = strlen(directory);
    if (end > 3 && directory[end - 1] == '\\') directory[end - 1] = 0;
    if (!RemoveDirectoryA(directory)) {
        Report("Error deleting directory '%s'", path);
        return 0;
    }
    return 1;
}
