// Fuzz target for the replacement primitives: ReplaceBytesInBuffer,
// ReplaceBufferText, ReplaceMultiStringText and ReplaceHexInFile receive sizes,
// texts and file contents taken from the input. Every buffer is allocated at
// exactly its stated size (so the sanitizer sees any write past it), and the
// results are checked against what the primitives promise.
//
// Input: byte 0 picks the primitive; bytes 1-2 a capacity; the rest is split at
// the first two 0xFF bytes into buffer contents, old and new text (or pattern).
// Corpus: the six hand-made seeds (one per primitive and failure kind) and the
// files named grown_*, kept from a libFuzzer run that started from those seeds.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// The primitives and what they call, built into this target.
#include "../../src/core/job_settings.cpp"
#include "../../src/core/output.cpp"
#include "../../src/core/sid_text.cpp"
#include "../../src/replace/byte_replace.cpp"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"

namespace {

std::string g_machine;

// One simulated machine for the whole run: the hex scan works on its files.
void Attach() {
    if (!g_machine.empty()) return;
    char tmpl[] = "/tmp/tessiv-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    g_machine = std::string(tmpl) + "/m";
    std::string err;
    ntsim::MachineOptions options;
    if (!ntsim::MachineCreate(g_machine, options, &err) || !ntsim::ProcessAttach(g_machine, "Administrator", false, &err))
        abort();
    // The log receives the reports; boxes are answered by the operator's default.
    logStream = fopen("/dev/null", "w");
}

void Check(bool condition) {
    if (!condition) abort();
}

std::vector<std::string> Split(const uint8_t* data, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && parts.size() < 3)
            parts.emplace_back();
        else
            parts.back() += (char)data[i];
    }
    parts.resize(3);
    return parts;
}

void FuzzBytes(const std::string& buffer, const std::string& o, const std::string& n) {
    std::vector<uint8_t> buf(buffer.begin(), buffer.end());
    uint8_t* heap = static_cast<uint8_t*>(malloc(buf.size() ? buf.size() : 1));
    memcpy(heap, buf.data(), buf.size());
    uint8_t* op = static_cast<uint8_t*>(malloc(o.size() + 1));
    uint8_t* np = static_cast<uint8_t*>(malloc(n.size() + 1));
    memcpy(op, o.data(), o.size());
    memcpy(np, n.data(), n.size());
    int r = ReplaceBytesInBuffer(heap, (int)buf.size(), op, (int)o.size(), np, (int)n.size());
    Check(r == 0 || r == -1 || r == -2);
    if (o.size() != n.size()) Check(r == -2);
    if (r == -1) Check(memcmp(heap, buf.data(), buf.size()) == 0);
    free(heap);
    free(op);
    free(np);
}

void FuzzText(const std::string& text, size_t capacity, const std::string& o, const std::string& n) {
    char* buf = static_cast<char*>(malloc(capacity ? capacity : 1));
    size_t copy = text.size() < capacity ? text.size() : capacity;
    memcpy(buf, text.data(), copy);
    if (copy < capacity) buf[copy] = 0;
    DWORD cap = (DWORD)capacity;
    int r = ReplaceBufferText(buf, &cap, o.c_str(), n.c_str());
    Check(cap == capacity);
    Check(r == 0 || r == -1 || r == -2);
    if (r == 0) Check(strnlen(buf, capacity) < capacity);
    free(buf);
}

void FuzzMulti(const std::string& list, size_t capacity, const std::string& o, const std::string& n) {
    char* buf = static_cast<char*>(malloc(capacity ? capacity : 1));
    size_t copy = list.size() < capacity ? list.size() : capacity;
    memcpy(buf, list.data(), copy);
    memset(buf + copy, 0, capacity - copy);
    std::vector<char> before(buf, buf + capacity);
    DWORD size = (DWORD)capacity;
    int r = ReplaceMultiStringText(buf, &size, o.c_str(), n.c_str());
    Check(r == 0 || r == -1 || r == -2);
    if (r == 0) {
        Check(size <= capacity && size >= 2);
        Check(buf[size - 1] == 0 && buf[size - 2] == 0);
    } else {
        Check(size == capacity && memcmp(buf, before.data(), capacity) == 0);
    }
    free(buf);
}

std::string Hex(const std::string& bytes, size_t digits) {
    static const char* kDigits = "0123456789abcdefABCDEFgz";
    std::string out;
    for (size_t i = 0; i < digits; ++i) out += kDigits[(uint8_t)(i < bytes.size() ? bytes[i] : i) % 24];
    return out;
}

void FuzzHexFile(const std::string& contents, size_t prefix, const std::string& o, const std::string& n) {
    std::string host = g_machine + "/drives/c/fuzz.dat";
    // The interesting part of the file lies past its 4096-byte base block.
    std::string file(prefix, '\x05');
    file += contents;
    FILE* f = ::fopen(host.c_str(), "wb");
    if (!f) abort();
    fwrite(file.data(), 1, file.size(), f);
    fclose(f);
    size_t digits = o.size() % 40;
    std::string oldHex = Hex(o, digits), newHex = Hex(n, n.size() % 7 == 0 ? digits + 1 : digits);
    int r = ReplaceHexInFile("C:\\fuzz.dat", oldHex.c_str(), newHex.c_str());
    Check(r == 0 || r == -1 || r == -2);
    f = ::fopen(host.c_str(), "rb");
    if (!f) abort();
    std::string after(file.size() + 1, 0);
    size_t got = fread(&after[0], 1, after.size(), f);
    fclose(f);
    Check(got == file.size());  // the size never changes
    Check(memcmp(after.data(), file.data(), file.size() < 4096 ? file.size() : 4096) == 0);  // base block untouched
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Attach();
    if (size < 3) return 0;
    size_t capacity = (size_t)data[1] | ((size_t)(data[2] & 0x03) << 8);
    std::vector<std::string> parts = Split(data + 3, size - 3);
    switch (data[0] % 4) {
        case 0: FuzzBytes(parts[0], parts[1], parts[2]); break;
        case 1: FuzzText(parts[0], capacity, parts[1], parts[2]); break;
        case 2: FuzzMulti(parts[0], capacity, parts[1], parts[2]); break;
        case 3: FuzzHexFile(parts[0], 4000 + capacity % 200, parts[1], parts[2]); break;
    }
    return 0;
}
