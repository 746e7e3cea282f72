// The SAM's alias records and membership index in NT's layouts.
#include "ntsim/security/sam_records.h"

#include <cstdio>
#include <cstdlib>

namespace ntsim {

namespace {

void Put32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + i] = (uint8_t)(v >> (8 * i));
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t)b[at] | ((uint32_t)b[at + 1] << 8) | ((uint32_t)b[at + 2] << 16) | ((uint32_t)b[at + 3] << 24);
}

std::vector<uint8_t> Utf16(const std::string& text) {
    std::vector<uint8_t> out;
    for (char c : text) out.push_back((uint8_t)c), out.push_back(0);
    return out;
}

HiveValue* DefaultValue(HiveKey* key) {
    if (HiveValue* v = key->FindValue("")) return v;
    key->values.push_back(HiveValue());
    return &key->values.back();
}

}  // namespace

std::vector<uint8_t> SamAliasC(uint32_t rid, const std::string& name, const std::string& comment,
                               const std::vector<SidBytes>& members) {
    std::vector<uint8_t> c(kSamAliasHeaderSize, 0);
    Put32(&c, 0x00, rid);
    Put32(&c, 0x0C, 0x00010002);
    auto place = [&](size_t field, const std::vector<uint8_t>& data) {
        Put32(&c, field, (uint32_t)(c.size() - kSamAliasHeaderSize));
        Put32(&c, field + 4, (uint32_t)data.size());
        c.insert(c.end(), data.begin(), data.end());
    };
    place(0x10, Utf16(name));
    place(0x1C, Utf16(comment));
    std::vector<uint8_t> list;
    for (const SidBytes& m : members) list.insert(list.end(), m.begin(), m.end());
    place(0x28, list);
    Put32(&c, 0x30, (uint32_t)members.size());
    return c;
}

bool SamAliasMembers(const std::vector<uint8_t>& c, std::vector<SidBytes>* members) {
    if (c.size() < kSamAliasHeaderSize) return false;
    uint64_t offset = (uint64_t)Get32(c, 0x28) + kSamAliasHeaderSize;
    uint32_t count = Get32(c, 0x30);
    for (uint32_t i = 0; i < count; ++i) {
        if (offset >= c.size()) return false;
        size_t n = SidCheck(c.data() + offset, c.size() - (size_t)offset);
        if (!n) return false;
        members->emplace_back(c.begin() + (long)offset, c.begin() + (long)(offset + n));
        offset += n;
    }
    return true;
}

void SamIndexMembership(HiveKey* aliases, const SidBytes& domain, uint32_t rid, const std::vector<uint32_t>& aliasRids) {
    HiveKey* members = aliases->FindSubkey("Members");
    if (!members) members = aliases->AddSubkey("Members");
    std::string domainText = SidToText(domain);
    HiveKey* byDomain = members->FindSubkey(domainText);
    if (!byDomain) byDomain = members->AddSubkey(domainText);
    char ridText[16];
    snprintf(ridText, sizeof ridText, "%08X", rid);
    HiveKey* entry = byDomain->FindSubkey(ridText);
    if (!entry) entry = byDomain->AddSubkey(ridText);
    HiveValue* list = DefaultValue(entry);
    list->type = (uint32_t)aliasRids.size();
    list->data.assign(aliasRids.size() * 4, 0);
    for (size_t i = 0; i < aliasRids.size(); ++i) Put32(&list->data, i * 4, aliasRids[i]);
    // The domain's key counts its members in its value's type, as NT keeps it.
    HiveValue* count = DefaultValue(byDomain);
    count->type = (uint32_t)byDomain->subkeys.size();
    count->data.clear();
}

void SamReadMembership(const HiveKey* members, const SidBytes& aliasDomain,
                       std::map<SidBytes, std::vector<SidBytes>>* aliasesOf) {
    if (!members) return;
    for (const auto& byDomain : members->subkeys) {
        SidBytes domain;
        if (!SidFromText(byDomain->name, &domain)) continue;
        for (const auto& entry : byDomain->subkeys) {
            char* end = nullptr;
            unsigned long rid = strtoul(entry->name.c_str(), &end, 16);
            if (entry->name.size() != 8 || *end) continue;
            const HiveValue* list = entry->FindValue("");
            if (!list) continue;
            std::vector<SidBytes>& of = (*aliasesOf)[SidAppend(domain, (uint32_t)rid)];
            for (size_t at = 0; at + 4 <= list->data.size(); at += 4) {
                SidBytes alias = SidAppend(aliasDomain, Get32(list->data, at));
                bool known = false;
                for (const SidBytes& a : of) known = known || a == alias;
                if (!known) of.push_back(alias);
            }
        }
    }
}

std::vector<uint8_t> PolicyNameRecord(const uint8_t* utf16, size_t size) {
    // The header is a UNICODE_STRING as a 32-bit LSA keeps it, its buffer pointer made
    // an offset from the record's start.
    std::vector<uint8_t> record(8 + size + 2, 0);
    record[0] = (uint8_t)size;
    record[1] = (uint8_t)(size >> 8);
    record[2] = (uint8_t)(size + 2);
    record[3] = (uint8_t)((size + 2) >> 8);
    Put32(&record, 4, 8);
    for (size_t i = 0; i < size; ++i) record[8 + i] = utf16[i];
    return record;
}

std::vector<uint8_t> PolicyNameRecord(const std::string& utf8Name) {
    std::vector<uint16_t> units = Utf8ToUtf16(utf8Name);
    std::vector<uint8_t> bytes;
    for (uint16_t u : units) bytes.push_back((uint8_t)u), bytes.push_back((uint8_t)(u >> 8));
    return PolicyNameRecord(bytes.data(), bytes.size());
}

bool PolicyNameOfRecord(const std::vector<uint8_t>& record, std::vector<uint8_t>* utf16) {
    utf16->clear();
    if (record.empty()) return true;
    if (record.size() < 8) return false;
    size_t length = (size_t)(record[0] | (record[1] << 8)), maximum = (size_t)(record[2] | (record[3] << 8));
    size_t offset = Get32(record, 4);
    if (length % 2 || length > maximum || offset < 8 || offset > record.size() || length > record.size() - offset)
        return false;
    utf16->assign(record.begin() + (long)offset, record.begin() + (long)(offset + length));
    return true;
}

}  // namespace ntsim
