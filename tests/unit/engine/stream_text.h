// The whole text written so far to a log stream that a test captures.
#pragma once
#include <cstdio>
#include <string>

inline std::string StreamText(FILE* stream) {
    std::string text;
    if (!stream) return text;
    fflush(stream);
    rewind(stream);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stream)) > 0) text.append(buf, n);
    return text;
}
