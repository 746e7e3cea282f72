// A key tree as readable text, for `ntsim reg DIR export KEY` and for tests:
// one [path] block per key, its values with type and data, symbolic links named
// with their target instead of being followed.
#include <cinttypes>
#include <cstdio>

#include "ntsim/registry/boot.h"
#include "ntsim/registry/internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {
namespace reg {
namespace {

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string Units(const std::vector<uint8_t>& data, size_t begin, size_t end) {
    std::vector<uint16_t> units;
    for (size_t i = begin; i + 1 < end; i += 2) units.push_back((uint16_t)(data[i] | (data[i + 1] << 8)));
    return Utf16ToUtf8(units.data(), units.size());
}

std::string Hex(const std::vector<uint8_t>& data) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < data.size(); ++i) {
        snprintf(b, sizeof b, i ? " %02x" : "%02x", data[i]);
        out += b;
    }
    return out;
}

const char* TypeName(uint32_t type) {
    static const char* const names[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
    return type < 12 ? names[type] : nullptr;
}

std::string ValueText(const HiveValue& v) {
    std::string out = v.name.empty() ? "@" : Quote(v.name);
    char type[32];
    if (TypeName(v.type))
        snprintf(type, sizeof type, "%s", TypeName(v.type));
    else
        snprintf(type, sizeof type, "type 0x%x", v.type);
    out += " = ";
    out += type;
    const auto& d = v.data;
    if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_LINK) && d.size() % 2 == 0) {
        size_t end = d.size();
        if (end >= 2 && d[end - 1] == 0 && d[end - 2] == 0) end -= 2;
        out += " " + Quote(Units(d, 0, end));
    } else if (v.type == REG_MULTI_SZ && d.size() % 2 == 0) {
        size_t start = 0;
        for (size_t i = 0; i + 1 < d.size(); i += 2)
            if (d[i] == 0 && d[i + 1] == 0) {
                if (i == start) break;  // the list's closing empty string
                out += " " + Quote(Units(d, start, i));
                start = i + 2;
            }
    } else if (v.type == REG_DWORD && d.size() == 4) {
        uint32_t n = d[0] | (d[1] << 8) | (d[2] << 16) | ((uint32_t)d[3] << 24);
        char num[40];
        snprintf(num, sizeof num, " 0x%08x (%u)", n, n);
        out += num;
    } else if (v.type == REG_QWORD && d.size() == 8) {
        uint64_t n = 0;
        for (int i = 7; i >= 0; --i) n = (n << 8) | d[i];
        char num[48];
        snprintf(num, sizeof num, " 0x%016" PRIx64 " (%" PRIu64 ")", n, n);
        out += num;
    } else {
        out += d.empty() ? " (no data)" : " " + Hex(d);
    }
    return out + "\n";
}

void ExportKey(const HiveKey* key, const std::string& path, std::string* out) {
    *out += "[" + path + "]";
    if (!key->className.empty()) *out += " class " + Quote(Units(key->className, 0, key->className.size()));
    if (key->isVolatile) *out += " volatile";
    *out += "\n";
    if (key->flags & kKeySymLink) {
        const HiveValue* target = key->FindValue("SymbolicLinkValue");
        *out += "link to " + (target ? Quote(Units(target->data, 0, target->data.size())) : std::string("(nothing)")) + "\n\n";
        return;
    }
    for (const auto& v : key->values) *out += ValueText(v);
    *out += "\n";
    for (const auto& sub : key->subkeys) ExportKey(sub.get(), path + "\\" + sub->name, out);
}

}  // namespace
}  // namespace reg

uint32_t RegistryExportText(const std::string& keyPath, std::string* text) {
    using namespace reg;
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    RefreshState();
    State* state = GetState();
    if (!state) return ERROR_INVALID_HANDLE;
    std::string path = keyPath;
    while (!path.empty() && path.back() == '\\') path.pop_back();
    size_t slash = path.find('\\');
    std::string rootName = path.substr(0, slash);
    std::string rest = slash == std::string::npos ? "" : path.substr(slash + 1);
    HiveKey* root = nullptr;
    if (HiveNameCompare(rootName, "HKEY_LOCAL_MACHINE") == 0 || HiveNameCompare(rootName, "HKLM") == 0)
        root = state->machine.get();
    else if (HiveNameCompare(rootName, "HKEY_USERS") == 0 || HiveNameCompare(rootName, "HKU") == 0)
        root = state->users.get();
    else
        return ERROR_BAD_PATHNAME;
    HiveKey* key = nullptr;
    uint32_t err = WalkPath(root, rest, true, &key);
    if (err != ERROR_SUCCESS) return err;
    text->clear();
    ExportKey(key, KeyPath(key), text);
    return ERROR_SUCCESS;
}

std::vector<std::string> RegistryDamagedHives() {
    using namespace reg;
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    RefreshState();
    std::vector<std::string> lines;
    State* state = GetState();
    if (!state) return lines;
    for (const DamagedHive& d : state->damaged)
        lines.push_back(d.windowsPath + " (error " + std::to_string(d.error) + ")");
    return lines;
}

}  // namespace ntsim
