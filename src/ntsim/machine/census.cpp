// The census of a SID: hive files parsed with the registry's own regf reader, file
// descriptors read from where the drive keeps them, the rest of the files read as bytes.
#include "ntsim/machine/census.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ntsim/files/security.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/registry/regf.h"

namespace ntsim {

namespace fs = std::filesystem;

namespace {

struct Needle {
    std::string text;                 // upper case
    std::vector<uint8_t> bytes;       // authority's last byte and the sub-authorities
    std::vector<uint8_t> utf16;       // the text in UTF-16LE (for plain files)
};

bool ParseSid(const std::string& text, Needle* needle) {
    unsigned v[6];
    int used = 0;
    if (sscanf(text.c_str(), "%*1[Ss]-%u-%u-%u-%u-%u-%u%n", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &used) != 6 ||
        (size_t)used != text.size() || v[0] > 255 || v[1] > 255)
        return false;
    needle->text = text;
    for (char& c : needle->text) c = (char)toupper((unsigned char)c);
    needle->bytes.push_back((uint8_t)v[1]);
    for (int i = 2; i < 6; ++i)
        for (int b = 0; b < 4; ++b) needle->bytes.push_back((uint8_t)(v[i] >> (8 * b)));
    for (char c : needle->text) needle->utf16.insert(needle->utf16.end(), {(uint8_t)c, 0});
    return true;
}

// Text occurrences not followed by a digit, compared without regard to case.
int CountText(const std::string& haystack, const std::string& upperNeedle) {
    int n = 0;
    if (haystack.size() < upperNeedle.size()) return 0;
    for (size_t i = 0; i + upperNeedle.size() <= haystack.size(); ++i) {
        if (toupper((unsigned char)haystack[i]) != upperNeedle[0]) continue;
        if (strncasecmp(haystack.data() + i, upperNeedle.data(), upperNeedle.size()) != 0) continue;
        size_t end = i + upperNeedle.size();
        if (end < haystack.size() && isdigit((unsigned char)haystack[end])) continue;
        ++n;
        i = end - 1;
    }
    return n;
}

int CountBytes(const uint8_t* data, size_t size, const std::vector<uint8_t>& needle) {
    int n = 0;
    if (needle.empty() || size < needle.size()) return 0;
    const uint8_t* end = data + size - needle.size() + 1;
    for (const uint8_t* p = data; p < end;) {
        p = (const uint8_t*)memchr(p, needle[0], (size_t)(end - p));
        if (!p) break;
        if (memcmp(p, needle.data(), needle.size()) == 0) {
            ++n;
            p += needle.size();
        } else {
            ++p;
        }
    }
    return n;
}

// UTF-16LE text counted only when every character of a match is one byte wide.
int CountUtf16Text(const std::vector<uint8_t>& data, const Needle& needle) {
    std::string narrow;
    narrow.reserve(data.size() / 2);
    for (size_t i = 0; i + 1 < data.size(); i += 2) narrow.push_back(data[i + 1] ? '\x01' : (char)data[i]);
    return CountText(narrow, needle.text);
}

class Walker {
public:
    Walker(const Needle& needle, CensusResult* result) : needle_(needle), result_(result) {}

    void Add(CensusPlace place, CensusKind kind, const std::string& file, const std::string& where, int count) {
        if (count <= 0) return;
        result_->hits.push_back({place, kind, file, where, count});
        result_->total += count;
    }

    void Key(CensusPlace place, const std::string& file, const HiveKey& key, const std::string& path) {
        Add(place, CensusKind::KeyName, file, path, CountText(key.name, needle_.text));
        if (!key.className.empty())
            Add(place, CensusKind::ClassName, file, path, CountUtf16Text(key.className, needle_));
        if (key.security)
            Add(place, CensusKind::KeySecurity, file, path,
                CountBytes(key.security->data(), key.security->size(), needle_.bytes));
        for (const HiveValue& v : key.values) {
            std::string where = path + " : " + (v.name.empty() ? "(default)" : v.name);
            Add(place, CensusKind::ValueName, file, where, CountText(v.name, needle_.text));
            bool text = v.type == 1 || v.type == 2 || v.type == 6 || v.type == 7;  // SZ, EXPAND_SZ, LINK, MULTI_SZ
            if (text)
                Add(place, CensusKind::StringData, file, where, CountUtf16Text(v.data, needle_));
            else
                Add(place, CensusKind::ValueData, file, where, CountBytes(v.data.data(), v.data.size(), needle_.bytes));
        }
        for (const auto& child : key.subkeys) Key(place, file, *child, path.empty() ? child->name : path + "\\" + child->name);
    }

    void File(const fs::path& host, const std::string& windows, CensusPlace place, bool ntfs) {
        if (ntfs) {
            std::vector<uint8_t> sd;
            if (FileReadStored(host.string(), FileStore::NtfsAcl, &sd) ||
                FileReadStored(host.string(), FileStore::NtsimXattr, &sd))
                Add(CensusPlace::FileSecurity, CensusKind::Descriptor, windows, "",
                    CountBytes(sd.data(), sd.size(), needle_.bytes));
        }
        std::error_code ec;
        if (!fs::is_regular_file(host, ec)) return;
        std::ifstream in(host, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ++result_->filesRead;
        if (data.size() >= 4 && memcmp(data.data(), "regf", 4) == 0) {
            Hive hive;
            if (RegfRead(data.data(), data.size(), &hive) == 0 && hive.root) {
                ++result_->hivesRead;
                if (place == CensusPlace::PlainFiles) place = HivePlace(host);
                Key(place, windows, *hive.root, "");
                return;
            }
            result_->unreadable.push_back(windows);
        }
        std::string text(data.begin(), data.end());
        Add(place, CensusKind::FileText, windows, "", CountText(text, needle_.text) + CountUtf16Text(data, needle_));
        Add(place, CensusKind::FileBytes, windows, "", CountBytes(data.data(), data.size(), needle_.bytes));
    }

    void Tree(const fs::path& host, const std::string& windows, CensusPlace place, bool ntfs) {
        File(host, windows, place, ntfs);
        std::error_code ec;
        if (!fs::is_directory(host, ec) || fs::is_symlink(host, ec)) return;
        std::vector<fs::path> entries;
        for (fs::directory_iterator it(host, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
        std::sort(entries.begin(), entries.end());
        for (const fs::path& entry : entries) {
            std::string name = entry.filename().string();
            CensusPlace inner = place;
            if (strncasecmp(name.c_str(), "TESSIV", 6) == 0 && fs::is_directory(entry, ec)) {
                bool numbered = true;
                for (size_t i = 6; i < name.size(); ++i) numbered = numbered && isdigit((unsigned char)name[i]);
                if (numbered) inner = CensusPlace::WorkDirectory;
            }
            std::string child = windows.back() == '\\' ? windows + name : windows + "\\" + name;
            Tree(entry, child, inner, ntfs);
        }
    }

private:
    // The machine's hives are the files without an extension in system32\config; a hive file
    // with an extension there, or one named *.bak or *.sav elsewhere, is a backup.
    static CensusPlace HivePlace(const fs::path& host) {
        std::string parent = host.parent_path().filename().string(), grand = host.parent_path().parent_path().filename().string();
        std::string extension = host.extension().string();
        if (strcasecmp(parent.c_str(), "config") == 0 && strcasecmp(grand.c_str(), "system32") == 0)
            return extension.empty() ? CensusPlace::MachineHives : CensusPlace::HiveBackups;
        if (strcasecmp(extension.c_str(), ".bak") == 0 || strcasecmp(extension.c_str(), ".sav") == 0)
            return CensusPlace::HiveBackups;
        return CensusPlace::ProfileHives;
    }

    const Needle& needle_;
    CensusResult* result_;
};

}  // namespace

int CensusResult::Count(CensusPlace place, const CensusKind* kind) const {
    int n = 0;
    for (const CensusHit& h : hits)
        if (h.place == place && (!kind || h.kind == *kind)) n += h.count;
    return n;
}

const char* CensusPlaceName(CensusPlace place) {
    switch (place) {
        case CensusPlace::MachineHives: return "machine hives";
        case CensusPlace::ProfileHives: return "profile hives";
        case CensusPlace::HiveBackups: return "hive backups";
        case CensusPlace::WorkDirectory: return "work directory";
        case CensusPlace::FileSecurity: return "file security";
        case CensusPlace::PlainFiles: return "plain files";
    }
    return "?";
}

const char* CensusKindName(CensusKind kind) {
    switch (kind) {
        case CensusKind::KeyName: return "key name";
        case CensusKind::ValueName: return "value name";
        case CensusKind::StringData: return "string data";
        case CensusKind::ValueData: return "value data";
        case CensusKind::KeySecurity: return "key security";
        case CensusKind::ClassName: return "class name";
        case CensusKind::Descriptor: return "descriptor";
        case CensusKind::FileText: return "text";
        case CensusKind::FileBytes: return "bytes";
    }
    return "?";
}

bool CensusHiveTree(const HiveKey& root, const std::string& file, CensusPlace place, const std::string& sidText,
                    CensusResult* result) {
    Needle needle;
    if (!ParseSid(sidText, &needle)) return false;
    Walker walker(needle, result);
    walker.Key(place, file, root, "");
    return true;
}

int CensusCountText(const std::string& text, const std::string& sidText) {
    Needle needle;
    return ParseSid(sidText, &needle) ? CountText(text, needle.text) : 0;
}

int CensusCountBytes(const uint8_t* data, size_t size, const std::string& sidText) {
    Needle needle;
    return ParseSid(sidText, &needle) ? CountBytes(data, size, needle.bytes) : 0;
}

bool Census(const std::string& dir, const std::string& sidText, CensusResult* result, std::string* error) {
    *result = CensusResult();
    Needle needle;
    if (!ParseSid(sidText, &needle)) {
        *error = "not a SID: " + sidText;
        return false;
    }
    Conf conf;
    if (!ConfLoad(dir + "/machine.conf", &conf, error)) return false;
    Walker walker(needle, result);
    for (const ConfSection* drive : conf.All("drive")) {
        if (drive->name.empty()) continue;
        std::string type = drive->Get("type", "fixed");
        if (type == "remote" || type == "cdrom") continue;
        std::string root = drive->Get("path");
        if (root.empty()) continue;
        if (root[0] != '/') root = dir + "/" + root;
        std::error_code ec;
        if (!fs::is_directory(root, ec)) continue;
        bool ntfs = strcasecmp(drive->Get("fs", "NTFS").c_str(), "NTFS") == 0;
        walker.Tree(root, std::string(1, (char)toupper((unsigned char)drive->name[0])) + ":\\", CensusPlace::PlainFiles, ntfs);
    }
    return true;
}

}  // namespace ntsim
