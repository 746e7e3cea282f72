// Byte-pattern and text replacement: in memory buffers, texts and multi-string
// lists, in files given a hex pattern, and the removal of a directory tree.
#pragma once
#include "nt/win32.h"

// Pairs of equal-length byte patterns (the length travels beside the list).
struct BytePairList {
    int count;  // 0..4
    const BYTE* oldPattern[4];
    const BYTE* newPattern[4];
};

// Pairs of SID texts; old and new text of a pair may differ in length.
struct SidPairList {
    int count;  // 0..4
    const char* oldText[4];
    const char* newText[4];
};

// Results: 0 = replaced at least once, -1 = nothing replaced, -2 = failure (reported).
const int kReplaced = 0;
const int kNotFound = -1;
const int kReplaceFailed = -2;

// Every non-overlapping occurrence, left to right; patterns of equal length.
int ReplaceBytesInBuffer(BYTE* buffer, int bufferLength, const BYTE* oldPattern, int oldLength,
                         const BYTE* newPattern, int newLength);
int ReplaceBytesAllPairs(BYTE* buffer, int bufferLength, const BytePairList* pairs, int patternLength);

// The first occurrence of oldText in the zero-terminated text held by a buffer of
// *capacity bytes; the text may grow or shrink within the capacity.
int ReplaceBufferText(char* text, const DWORD* capacity, const char* oldText, const char* newText);
int ReplaceTextAllPairs(char* text, const DWORD* capacity, const SidPairList* pairs);

// The first occurrence in each string of a multi-string list held by a buffer of
// *size bytes; on 0, *size is the list's new size with its closing empty string.
int ReplaceMultiStringText(char* buffer, DWORD* size, const char* oldText, const char* newText);
int ReplaceMultiStringAllPairs(char* buffer, DWORD* size, const SidPairList* pairs);

// Every occurrence of a byte pattern given as hex text, in place in the file, past
// its first 4096 bytes. Counts into replacedCount and sets changesMade of the job. A scan
// that a failure ends early fails (-2), whatever it had replaced.
int ReplaceHexInFile(const char* path, const char* oldHex, const char* newHex);
// The same; *interrupted tells whether a failure ended the scan early: the result is 0
// when replacements were made before it (they stay in the file), -2 when none were.
int ReplaceHexInFileEx(const char* path, const char* oldHex, const char* newHex, BOOL* interrupted);

// Deletes a directory with everything below it. 1, or 0 after a report.
int DeleteDirectoryTree(const char* path);
