// Reader of compiled resource files (.res): the header of each entry is checked
// against the file's bounds before use; a malformed file is refused as a whole.
#include "ntsim/user/res_file.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include "ntsim/kernel/threads.h"

extern "C" {
// Defined by the tessiv_resources object library when a program links it.
extern const unsigned char tessiv_program_res[] __attribute__((weak));
extern const size_t tessiv_program_res_size __attribute__((weak));
}

namespace ntsim {

namespace {

ntsim::SimMutex g_mutex;
bool g_loaded = false;
std::vector<ResourceEntry> g_entries;

uint32_t Read32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }
uint16_t Read16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 32);
    return s;
}

// An ordinal (0xFFFF, id) or a zero-terminated UTF-16 name inside [p, end).
bool ReadNameOrOrdinal(const uint8_t*& p, const uint8_t* end, uint32_t* ordinal, std::string* name) {
    if (end - p < 2) return false;
    if (Read16(p) == 0xFFFF) {
        if (end - p < 4) return false;
        *ordinal = Read16(p + 2);
        p += 4;
        return true;
    }
    std::vector<uint16_t> chars;
    while (true) {
        if (end - p < 2) return false;
        uint16_t c = Read16(p);
        p += 2;
        if (c == 0) break;
        chars.push_back(c);
        if (chars.size() > 256) return false;
    }
    *ordinal = 0;
    *name = Upper(NarrowText(chars.data(), chars.size()));
    return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
    fclose(f);
    return true;
}

bool LoadPath(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadFile(path, &bytes)) return false;
    if (!ResourcesParse(bytes.data(), bytes.size(), &g_entries, &error)) {
        fprintf(stderr, "ntsim: ignoring resource file %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

std::string ProgramPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = 0;
    std::string exe = buf;
    return exe;
}

void EnsureLoaded() {
    if (g_loaded) return;
    g_loaded = true;
    g_entries.clear();
    std::string error;
    if (const char* path = getenv("NTSIM_RESOURCES"); path && *path && LoadPath(path)) return;
    if (&tessiv_program_res_size != nullptr && tessiv_program_res != nullptr) {
        if (ResourcesParse(tessiv_program_res, tessiv_program_res_size, &g_entries, &error)) return;
        fprintf(stderr, "ntsim: the linked resources are damaged: %s\n", error.c_str());
    }
    std::string exe = ProgramPath();
    if (exe.empty()) return;
    if (LoadPath(exe + ".res")) return;
    std::string dir = exe.substr(0, exe.rfind('/') + 1);
    LoadPath(dir + "tessiv.res");
}

}  // namespace

std::string NarrowText(const uint16_t* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) out += text[i] < 256 ? (char)text[i] : '?';
    return out;
}

bool ResourcesParse(const uint8_t* bytes, size_t size, std::vector<ResourceEntry>* out, std::string* error) {
    std::vector<ResourceEntry> entries;
    size_t offset = 0;
    while (offset < size) {
        if (size - offset < 32) {
            *error = "truncated entry header at offset " + std::to_string(offset);
            return false;
        }
        const uint8_t* p = bytes + offset;
        uint32_t dataSize = Read32(p);
        uint32_t headerSize = Read32(p + 4);
        if (headerSize < 32 || headerSize > size - offset || dataSize > size - offset - headerSize) {
            *error = "entry sizes run past the end at offset " + std::to_string(offset);
            return false;
        }
        const uint8_t* q = p + 8;
        const uint8_t* headerEnd = p + headerSize;
        ResourceEntry e;
        if (!ReadNameOrOrdinal(q, headerEnd, &e.type, &e.typeName) || !ReadNameOrOrdinal(q, headerEnd, &e.id, &e.name)) {
            *error = "bad type or name at offset " + std::to_string(offset);
            return false;
        }
        size_t pos = (size_t)(q - p);
        pos = (pos + 3) & ~(size_t)3;
        if (pos + 16 > headerSize) {
            *error = "header too short at offset " + std::to_string(offset);
            return false;
        }
        e.language = Read16(p + pos + 6);
        e.data.assign(p + headerSize, p + headerSize + dataSize);
        // The leading empty entry (type 0) marks a 32-bit .res file; it carries nothing.
        if (!(e.type == 0 && e.typeName.empty())) entries.push_back(std::move(e));
        size_t next = offset + headerSize + dataSize;
        next = (next + 3) & ~(size_t)3;
        if (next <= offset) break;
        offset = next;
    }
    out->swap(entries);
    return true;
}

bool ResourcesLoadFile(const std::string& path, std::string* error) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, &bytes)) {
        *error = "cannot read " + path;
        return false;
    }
    std::vector<ResourceEntry> entries;
    if (!ResourcesParse(bytes.data(), bytes.size(), &entries, error)) return false;
    g_entries.swap(entries);
    g_loaded = true;
    return true;
}

void ResourcesReset() {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    g_loaded = false;
    g_entries.clear();
}

const ResourceEntry* ResourceFind(uint32_t type, const char* name) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    EnsureLoaded();
    uint32_t id = 0;
    std::string text;
    if (((uintptr_t)name >> 16) == 0)
        id = (uint32_t)(uintptr_t)name;
    else if (name[0] == '#')
        id = (uint32_t)strtoul(name + 1, nullptr, 10);
    else
        text = Upper(name);
    for (const ResourceEntry& e : g_entries)
        if (e.type == type && (id ? e.id == id : (e.id == 0 && e.name == text))) return &e;
    return nullptr;
}

bool ResourceString(uint32_t id, std::string* text) {
    // Strings come in blocks of sixteen: block (id / 16) + 1, each string a count and UTF-16 text.
    const ResourceEntry* block = ResourceFind(6, (const char*)(uintptr_t)((id >> 4) + 1));
    if (!block) return false;
    const std::vector<uint8_t>& d = block->data;
    size_t pos = 0;
    for (uint32_t i = 0; i < 16; ++i) {
        if (pos + 2 > d.size()) return false;
        uint16_t len = Read16(&d[pos]);
        pos += 2;
        if ((size_t)len * 2 > d.size() - pos) return false;
        if (i == (id & 15)) {
            if (len == 0) return false;
            std::vector<uint16_t> chars(len);
            for (uint16_t k = 0; k < len; ++k) chars[k] = Read16(&d[pos + 2 * k]);
            *text = NarrowText(chars.data(), len);
            return true;
        }
        pos += (size_t)len * 2;
    }
    return false;
}

}  // namespace ntsim
