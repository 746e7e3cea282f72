// machine.conf: what a simulated machine holds outside its hives (drives, memory,
// network, logged-on user, operator answers, injected faults). An INI-like text:
// "[section]" or "[section name]" headers, "key = value" lines, "#" comments.
// Sections may repeat (one [fault] per rule, one [drive C] per drive).
#pragma once
#include <string>
#include <vector>

namespace ntsim {

struct ConfSection {
    std::string kind;  // "drive" in "[drive C]"
    std::string name;  // "C" in "[drive C]", empty for "[machine]"
    int line = 0;
    std::vector<std::pair<std::string, std::string>> entries;

    // Value of key (case-insensitive), or fallback when absent.
    std::string Get(const std::string& key, const std::string& fallback = "") const;
    bool Has(const std::string& key) const;
    void Set(const std::string& key, const std::string& value);
};

struct Conf {
    std::vector<ConfSection> sections;

    ConfSection* Find(const std::string& kind, const std::string& name = "");
    const ConfSection* Find(const std::string& kind, const std::string& name = "") const;
    std::vector<const ConfSection*> All(const std::string& kind) const;
    ConfSection& Add(const std::string& kind, const std::string& name = "");
};

// Parses text; on a bad line returns false with "line N: what is wrong" in error.
bool ConfParse(const std::string& text, Conf* conf, std::string* error);
bool ConfLoad(const std::string& path, Conf* conf, std::string* error);
std::string ConfFormat(const Conf& conf);
bool ConfSave(const std::string& path, const Conf& conf);

}  // namespace ntsim
