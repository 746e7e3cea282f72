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
const long kSkippedBytes = 4096;
// Bytes read per pass. The scan keeps the last n-1 bytes of a pass so that a pattern
// spanning two passes is found; a larger pass than the base block's 4096 bytes keeps
// the number of reads (and so the time) low, at a constant 1 MiB of memory.
const size_t kChunk = 1u << 20;

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
// few places need the full comparison.
size_t RarestByte(const BYTE* pattern, size_t n) {
    size_t best = 0;
    for (size_t i = 1; i < n; ++i)
        if (Commonness(pattern[i]) <= Commonness(pattern[best])) best = i;
    return best;
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
    return ReplaceHexInFileEx(path, oldHex, newHex, nullptr);
}

int ReplaceHexInFileEx(const char* path, const char* oldHex, const char* newHex, BOOL* interrupted) {
    if (interrupted) *interrupted = FALSE;
    if (!path) path = "";
    if (debugMode) Log("Searching for replacements in '%s'...", path);
    if (!oldHex || !newHex || strlen(oldHex) != strlen(newHex)) {
        ReportError("ERROR: Strings must be the same length", logStream);
        return kReplaceFailed;
    }
    // Commit mode: the final fflush puts the rewritten bytes on the disk, before the file
    // is scheduled to become a live hive.
    FILE* file = fopen(path, "r+bc");
    if (!file) {
        Report("ERROR: Unable to open '%s'", path);
        return kReplaceFailed;
    }
    // Unbuffered: each read goes straight into the window, each write straight to the file.
    setvbuf(file, nullptr, _IONBF, 0);

    const size_t n = strlen(oldHex) / 2;  // a trailing odd digit carries no byte
    BYTE* window = n ? static_cast<BYTE*>(malloc(n - 1 + kChunk)) : nullptr;
    BYTE* oldPattern = n ? static_cast<BYTE*>(malloc(n)) : nullptr;
    BYTE* newPattern = n ? static_cast<BYTE*>(malloc(n)) : nullptr;
    if (n && (!window || !oldPattern || !newPattern)) {
        free(window);
        free(oldPattern);
        free(newPattern);
        fclose(file);
        ReportError("ERROR: Out Of Memory", logStream);
        return kReplaceFailed;
    }

    DWORD count = 0;
    bool changed = false;
    // An empty pattern has nothing to find; a file no longer than its base block neither.
    if (n > 0 && fseek(file, kSkippedBytes, SEEK_SET) == 0) {
        DecodeHex(oldHex, n, oldPattern);
        DecodeHex(newHex, n, newPattern);
        const size_t anchor = RarestByte(oldPattern, n);
        const BYTE anchorByte = oldPattern[anchor];
        // window[0..carry) holds the last bytes of the previous pass; base is the file
        // offset of window[0]; next is the first file offset a match may start at, so
        // matches never overlap, also across passes.
        size_t carry = 0;
        long long base = kSkippedBytes;
        long long next = kSkippedBytes;
        bool failed = false;
        BOOL ignored;
        BOOL* stopped = interrupted ? interrupted : &ignored;
        while (!failed) {
            size_t got = fread(window + carry, 1, kChunk, file);
            if (got == 0) break;
            size_t valid = carry + got;
            size_t w = next > base ? (size_t)(next - base) : 0;
            while (!failed && valid >= n && w <= valid - n) {
                // Look for the pattern's rarest byte, then compare the whole pattern around it.
                const BYTE* hit =
                    static_cast<const BYTE*>(memchr(window + w + anchor, anchorByte, valid - n - w + 1));
                if (!hit) break;
                w = (size_t)(hit - window) - anchor;
                if (memcmp(window + w, oldPattern, n) != 0) {
                    ++w;
                    continue;
                }
                changed = true;
                long long offset = base + (long long)w;
                long here = ftell(file);
                if (offset > LONG_MAX || fseek(file, (long)offset, SEEK_SET) != 0 ||
                    fwrite(newPattern, 1, n, file) != n) {
                    Report("Error writing to file '%s'", path);
                    failed = true;
                    *stopped = TRUE;
                    break;
                }
                if (here < 0 || fseek(file, here, SEEK_SET) != 0) {
                    Report("Error reading from file '%s'", path);
                    failed = true;
                    *stopped = TRUE;
                    break;
                }
                ++count;
                w += n;
                next = offset + (long long)n;
            }
            if (got < kChunk && feof(file)) break;
            // Keep the last n-1 bytes: the start of a pattern that the next pass completes.
            size_t keep = n - 1 < valid ? n - 1 : valid;
            memmove(window, window + valid - keep, keep);
            base += (long long)(valid - keep);
            carry = keep;
        }
        if (changed && !failed && fflush(file) != 0) {
            Report("Error writing to file '%s'", path);
            failed = true;
            *stopped = TRUE;
        }
    }
    fclose(file);
    free(window);
    free(oldPattern);
    free(newPattern);

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
