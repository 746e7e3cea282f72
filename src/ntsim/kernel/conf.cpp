// machine.conf reader and writer.
#include "ntsim/kernel/conf.h"

#include <strings.h>

#include <fstream>
#include <sstream>

namespace ntsim {

static std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string ConfSection::Get(const std::string& key, const std::string& fallback) const {
    for (const auto& kv : entries)
        if (strcasecmp(kv.first.c_str(), key.c_str()) == 0) return kv.second;
    return fallback;
}

bool ConfSection::Has(const std::string& key) const {
    for (const auto& kv : entries)
        if (strcasecmp(kv.first.c_str(), key.c_str()) == 0) return true;
    return false;
}

void ConfSection::Set(const std::string& key, const std::string& value) {
    for (auto& kv : entries)
        if (strcasecmp(kv.first.c_str(), key.c_str()) == 0) {
            kv.second = value;
            return;
        }
    entries.emplace_back(key, value);
}

ConfSection* Conf::Find(const std::string& kind, const std::string& name) {
    for (auto& s : sections)
        if (strcasecmp(s.kind.c_str(), kind.c_str()) == 0 && strcasecmp(s.name.c_str(), name.c_str()) == 0) return &s;
    return nullptr;
}

const ConfSection* Conf::Find(const std::string& kind, const std::string& name) const {
    return const_cast<Conf*>(this)->Find(kind, name);
}

std::vector<const ConfSection*> Conf::All(const std::string& kind) const {
    std::vector<const ConfSection*> out;
    for (const auto& s : sections)
        if (strcasecmp(s.kind.c_str(), kind.c_str()) == 0) out.push_back(&s);
    return out;
}

ConfSection& Conf::Add(const std::string& kind, const std::string& name) {
    sections.push_back(ConfSection{kind, name, 0, {}});
    return sections.back();
}

bool ConfParse(const std::string& text, Conf* conf, std::string* error) {
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    ConfSection* current = nullptr;
    conf->sections.clear();
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']') {
                *error = "line " + std::to_string(lineNo) + ": a section header must end with ']'";
                return false;
            }
            std::string head = Trim(line.substr(1, line.size() - 2));
            if (head.empty()) {
                *error = "line " + std::to_string(lineNo) + ": empty section header";
                return false;
            }
            size_t sp = head.find_first_of(" \t");
            std::string kind = sp == std::string::npos ? head : head.substr(0, sp);
            std::string name = sp == std::string::npos ? "" : Trim(head.substr(sp));
            current = &conf->Add(kind, name);
            current->line = lineNo;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            *error = "line " + std::to_string(lineNo) + ": expected 'key = value' or '[section]', got '" + line + "'";
            return false;
        }
        if (!current) {
            *error = "line " + std::to_string(lineNo) + ": 'key = value' before any [section]";
            return false;
        }
        std::string key = Trim(line.substr(0, eq));
        if (key.empty()) {
            *error = "line " + std::to_string(lineNo) + ": missing key before '='";
            return false;
        }
        current->entries.emplace_back(key, Trim(line.substr(eq + 1)));
    }
    return true;
}

bool ConfLoad(const std::string& path, Conf* conf, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *error = "cannot open " + path;
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    if (!ConfParse(ss.str(), conf, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

std::string ConfFormat(const Conf& conf) {
    std::string out;
    for (const auto& s : conf.sections) {
        if (!out.empty()) out += "\n";
        out += "[" + s.kind + (s.name.empty() ? "" : " " + s.name) + "]\n";
        for (const auto& kv : s.entries) out += kv.first + " = " + kv.second + "\n";
    }
    return out;
}

bool ConfSave(const std::string& path, const Conf& conf) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) return false;
        f << "# Simulated NT machine: what is not kept in its hives.\n";
        f << ConfFormat(conf);
        if (!f.flush()) return false;
    }
    return rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace ntsim
