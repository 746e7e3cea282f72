// A generated hive shaped like the real ones of an XP machine, for the hive and registry
// walk benchmarks and the server machines' SOFTWARE and profile hives. Measured on real SYSTEM and NTUSER.DAT files: names of about 12
// characters (GUIDs among them), 0 to a few hundred values per key (a quarter have none),
// most data of 4 to 100 bytes, a few values above 16 KiB (db records), subkeys mostly in
// short lists with some lists of thousands, and a few dozen security descriptors that
// whole subtrees share.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ntsim/registry/hive.h"

namespace ntsim {
namespace shape {

struct Random {
    uint64_t state;
    explicit Random(uint64_t seed) : state(seed * 2654435761u + 1) {}
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return (uint32_t)(state >> 11);
    }
    uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
    bool Percent(double p) { return Next() % 1000000 < (uint32_t)(p * 10000); }
};

struct HiveShape {
    size_t keys = 400000;
    size_t values = 1600000;
    double sidKeyNames = 0;    // percent of keys whose name holds sid
    double sidValueNames = 0;  // percent of values whose name holds sid
    double sidData = 0;        // percent of values whose string data holds sid
    std::string sid;           // "S-1-5-21-..."
};

// What the generator put in, for the checks of the benchmarks.
struct HiveCounts {
    size_t keys = 0, values = 0, sidKeys = 0, sidValueNames = 0, sidData = 0, bigValues = 0, descriptors = 0;
};

// A budget split into fanout shares by cubed weights: a few children take most of it, as
// in real trees. The weights are drawn first, in order, so that a generator that draws
// again while it fills each child keeps its sequence.
inline std::vector<size_t> SplitShares(Random& r, size_t rest, size_t fanout) {
    std::vector<double> weights(fanout);
    double total = 0;
    for (double& w : weights) {
        double x = (r.Below(1000) + 1) / 1000.0;
        w = x * x * x;
        total += w;
    }
    std::vector<size_t> shares(fanout);
    size_t given = 0;
    for (size_t i = 0; i < fanout; ++i) {
        size_t share = i + 1 == fanout ? rest - given : (size_t)((double)rest * weights[i] / total);
        if (share > rest - given) share = rest - given;
        given += share;
        shares[i] = share;
    }
    return shares;
}

namespace detail {

inline const char* const kWords[] = {
    "Microsoft", "Windows", "CurrentVersion", "Explorer", "Shell", "Classes", "Setup", "Policies", "Settings",
    "Services", "Parameters", "Control", "Enum", "Software", "Internet", "Options", "Components", "Installer",
    "Products", "Features", "Interface", "TypeLib", "Network", "Security", "Display", "Printers", "Fonts", "Media",
    "Run", "App", "Paths", "Uninstall", "Default", "Config", "Tcpip", "Adapters", "Profile", "Cache", "Help", "Data"};
const size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

inline std::vector<uint8_t> Utf16(const std::string& text, bool terminate = true) {
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2 + 2);
    for (char c : text) {
        out.push_back((uint8_t)c);
        out.push_back(0);
    }
    if (terminate) {
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

inline std::string Guid(Random& r) {
    char text[48];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%04X%08X}", r.Next(), r.Below(0x10000), r.Below(0x10000),
             r.Below(0x10000), r.Below(0x10000), r.Next());
    return text;
}

// A key or value name: a GUID now and then, else one to three words with a number at times.
inline std::string Name(Random& r) {
    uint32_t kind = r.Below(100);
    if (kind < 8) return Guid(r);
    std::string name = kWords[r.Below(kWordCount)];
    if (kind < 40) name += kWords[r.Below(kWordCount)];
    if (kind < 50) name += kWords[r.Below(kWordCount)];
    if (kind >= 85) name = name.substr(0, 2 + r.Below(5)) + std::to_string(r.Below(1000));
    return name;
}

inline std::string Text(Random& r, size_t words) {
    std::string text = r.Below(2) ? "C:\\WINDOWS\\system32" : "%SystemRoot%";
    for (size_t i = 0; i < words; ++i) {
        text += "\\";
        text += kWords[r.Below(kWordCount)];
    }
    if (r.Below(3) == 0) text += ".dll";
    return text;
}

// Self-relative descriptors of the usual shape: owner Administrators, group SYSTEM, a DACL
// of four to seven allow entries, the last one for a user account in some of them.
inline std::vector<uint8_t> Descriptor(Random& r, int variant) {
    auto sid = [](std::initializer_list<uint32_t> parts, uint8_t authority) {
        std::vector<uint8_t> s = {1, (uint8_t)parts.size(), 0, 0, 0, 0, 0, authority};
        for (uint32_t p : parts)
            for (int i = 0; i < 4; ++i) s.push_back((uint8_t)(p >> (8 * i)));
        return s;
    };
    std::vector<std::vector<uint8_t>> who = {sid({32, 544}, 5), sid({18}, 5), sid({32, 545}, 5), sid({32, 547}, 5),
                                             sid({0}, 3), sid({21, 1000 + (uint32_t)variant, 2, 3, 1003}, 5),
                                             sid({0}, 1)};
    size_t count = 4 + (size_t)(variant % 4);
    std::vector<uint8_t> aces;
    for (size_t i = 0; i < count; ++i) {
        const std::vector<uint8_t>& s = who[i % who.size()];
        uint16_t size = (uint16_t)(8 + s.size());
        uint32_t mask = i < 2 ? 0xF003F : (r.Below(2) ? 0x20019 : 0x3001F);
        uint8_t flags = (uint8_t)(i == 4 ? 0x0A : 0x02);
        aces.insert(aces.end(), {0, flags, (uint8_t)size, (uint8_t)(size >> 8), (uint8_t)mask, (uint8_t)(mask >> 8),
                                 (uint8_t)(mask >> 16), (uint8_t)(mask >> 24)});
        aces.insert(aces.end(), s.begin(), s.end());
    }
    std::vector<uint8_t> owner = who[0], group = who[1];
    uint16_t aclSize = (uint16_t)(8 + aces.size());
    std::vector<uint8_t> sd(20, 0);
    sd[0] = 1;
    uint16_t control = 0x8004 | (variant % 3 == 0 ? 0x1000 : 0);  // self-relative, DACL present, protected at times
    sd[2] = (uint8_t)control;
    sd[3] = (uint8_t)(control >> 8);
    auto put = [&](size_t at, size_t value) {
        for (int i = 0; i < 4; ++i) sd[at + i] = (uint8_t)(value >> (8 * i));
    };
    put(16, sd.size());
    sd.insert(sd.end(), {2, 0, (uint8_t)aclSize, (uint8_t)(aclSize >> 8), (uint8_t)count, 0, 0, 0});
    sd.insert(sd.end(), aces.begin(), aces.end());
    put(4, sd.size());
    sd.insert(sd.end(), owner.begin(), owner.end());
    put(8, sd.size());
    sd.insert(sd.end(), group.begin(), group.end());
    return sd;
}

struct Generator {
    Random r{12};
    const HiveShape& shape;
    HiveCounts counts;
    std::vector<ntsim::SharedDescriptor> descriptors;
    double valuesPerKey;

    explicit Generator(const HiveShape& s) : shape(s) {
        valuesPerKey = s.keys ? (double)s.values / (double)s.keys : 0;
        for (int i = 0; i < 40; ++i)
            descriptors.push_back(std::make_shared<const std::vector<uint8_t>>(Descriptor(r, i)));
        counts.descriptors = descriptors.size();
    }

    // Values per key: a quarter without, most with a few, some with dozens or hundreds,
    // averaging valuesPerKey.
    size_t ValueCount() {
        uint32_t pick = r.Below(1000);
        if (pick < 250) return 0;
        if (pick < 985) return 1 + r.Below((uint32_t)(valuesPerKey * 1.6 + 0.5));
        return (size_t)(valuesPerKey * 10) + r.Below((uint32_t)(valuesPerKey * 20) + 1);
    }

    void AddValue(ntsim::HiveKey* key, size_t index) {
        ntsim::HiveValue v;
        bool sidName = r.Percent(shape.sidValueNames), sidData = r.Percent(shape.sidData);
        if (index == 0 && r.Below(10) == 0)
            v.name.clear();  // the default value
        else
            v.name = Name(r) + (index ? std::to_string(index) : "");
        if (sidName) {
            v.name = shape.sid + "_" + v.name;
            ++counts.sidValueNames;
        }
        uint32_t kind = r.Below(100);
        if (sidData) {
            v.type = kind < 70 ? 1 : kind < 85 ? 2 : 7;
            std::string text = "C:\\Documents and Settings\\" + shape.sid + "\\" + Text(r, 1 + r.Below(3));
            if (v.type == 7) {
                v.data = Utf16(Text(r, 2));
                std::vector<uint8_t> more = Utf16(text);
                v.data.insert(v.data.end(), more.begin(), more.end());
                v.data.push_back(0);
                v.data.push_back(0);
            } else {
                v.data = Utf16(text);
            }
            ++counts.sidData;
        } else if (kind < 30) {
            v.type = 4;
            uint32_t n = r.Next();
            v.data = {(uint8_t)n, (uint8_t)(n >> 8), (uint8_t)(n >> 16), (uint8_t)(n >> 24)};
        } else if (kind < 62) {
            v.type = 1;
            v.data = Utf16(r.Below(4) ? Text(r, 1 + r.Below(4)) : Name(r));
        } else if (kind < 66) {
            v.type = 2;
            v.data = Utf16(Text(r, 2 + r.Below(3)));
        } else if (kind < 70) {
            v.type = 7;
            for (size_t i = 0, n = 1 + r.Below(4); i < n; ++i) {
                std::vector<uint8_t> s = Utf16(Name(r));
                v.data.insert(v.data.end(), s.begin(), s.end());
            }
            v.data.push_back(0);
            v.data.push_back(0);
        } else if (kind < 72) {
            v.type = 11;
            v.data.assign(8, 0);
            for (auto& b : v.data) b = (uint8_t)r.Next();
        } else {
            v.type = kind < 73 ? 0 : 3;
            // Binary data: mostly small, some larger, one in five thousand above a db segment.
            size_t size = r.Below(5000) == 0 ? 16400 + r.Below(120000) : r.Below(8) == 0 ? 100 + r.Below(900) : 4 + r.Below(60);
            if (size > 16344) ++counts.bigValues;
            v.data.resize(size);
            for (size_t i = 0; i < size; ++i) v.data[i] = (uint8_t)(r.Next() >> (i % 3));
        }
        key->values.push_back(std::move(v));
        ++counts.values;
    }

    ntsim::HiveKey* AddKey(ntsim::HiveKey* parent, const ntsim::SharedDescriptor& security) {
        std::string name = Name(r);
        if (r.Percent(shape.sidKeyNames)) {
            name = shape.sid + (r.Below(3) ? "-" + std::to_string(1000 + r.Below(9000)) : std::string());
            ++counts.sidKeys;
        }
        while (parent->FindSubkey(name)) name += std::to_string(r.Below(10));
        ntsim::HiveKey* key = parent->AddSubkey(name);
        key->lastWrite = 128000000000000000ULL + r.Next();
        key->security = r.Below(50) == 0 ? descriptors[r.Below((uint32_t)descriptors.size())] : security;
        if (r.Below(200) == 0) key->className = Utf16(kWords[r.Below(kWordCount)], false);
        for (size_t i = 0, n = ValueCount(); i < n; ++i) AddValue(key, i);
        ++counts.keys;
        return key;
    }

    // Spreads budget keys below key: a few children each, now and then a long list, the
    // rest of the budget shared unevenly among them.
    void Fill(ntsim::HiveKey* key, size_t budget, int depth) {
        if (!budget) return;
        size_t fanout;
        uint32_t pick = r.Below(100);
        if (depth > 12) fanout = budget;
        else if (pick < 3) fanout = 200 + r.Below(2000);
        else fanout = 1 + r.Below(12);
        if (fanout > budget) fanout = budget;
        std::vector<ntsim::HiveKey*> children;
        for (size_t i = 0; i < fanout; ++i) children.push_back(AddKey(key, key->security));
        size_t rest = budget - fanout;
        std::vector<size_t> shares = SplitShares(r, rest, fanout);
        for (size_t i = 0; i < fanout; ++i) {
            Fill(children[i], shares[i], depth + 1);
        }
    }
};

}  // namespace detail

// The hive: a root and shape.keys keys below it.
inline ntsim::Hive MakeShapedHive(const HiveShape& shape, HiveCounts* counts) {
    detail::Generator g(shape);
    ntsim::Hive hive;
    hive.minorVersion = 5;
    hive.rootName = "CMI-CreateHive{199DAFC2-6F16-4946-BF90-5A3FC3A60902}";
    hive.root = std::make_unique<ntsim::HiveKey>();
    hive.root->name = hive.rootName;
    hive.root->security = g.descriptors[0];
    g.Fill(hive.root.get(), shape.keys, 0);
    if (counts) *counts = g.counts;
    return hive;
}

}  // namespace shape
}  // namespace ntsim
