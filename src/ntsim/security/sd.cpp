// SIDs, ACLs and self-relative descriptors as bytes: checked parsing and building.
#include "ntsim/security/sd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nt/win32.h"

namespace ntsim {

namespace {
uint16_t Get16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24); }
void Put16(uint8_t* p, uint16_t v) { p[0] = (uint8_t)v, p[1] = (uint8_t)(v >> 8); }
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
size_t AlignUp4(size_t n) { return (n + 3) & ~(size_t)3; }

// ACE types whose body is mask + SID (allowed, denied, audit, alarm).
bool PlainSidAce(uint8_t type) { return type <= SYSTEM_ALARM_ACE_TYPE; }
}  // namespace

size_t SidCheck(const uint8_t* p, size_t avail) {
    if (!p || avail < 8) return 0;
    if (p[0] != SID_REVISION || p[1] > SID_MAX_SUB_AUTHORITIES) return 0;
    size_t len = 8 + 4 * (size_t)p[1];
    return len <= avail ? len : 0;
}

SidBytes SidMake(uint8_t authority, std::initializer_list<uint32_t> subs) {
    SidBytes s(8 + 4 * subs.size(), 0);
    s[0] = SID_REVISION;
    s[1] = (uint8_t)subs.size();
    s[7] = authority;
    size_t i = 8;
    for (uint32_t v : subs) Put32(&s[i], v), i += 4;
    return s;
}

SidBytes SidAppend(const SidBytes& domain, uint32_t rid) {
    SidBytes s = domain;
    if (s.size() < 8 || s[1] >= SID_MAX_SUB_AUTHORITIES) return s;
    s[1]++;
    s.resize(s.size() + 4);
    Put32(&s[s.size() - 4], rid);
    return s;
}

SidBytes SidDomain(const SidBytes& sid) {
    if (sid.size() < 12 || sid[1] == 0) return sid;
    SidBytes d(sid.begin(), sid.end() - 4);
    d[1]--;
    return d;
}

uint32_t SidRid(const SidBytes& sid) { return sid.size() >= 12 && sid[1] ? Get32(&sid[sid.size() - 4]) : 0; }

std::string SidToText(const uint8_t* sid, size_t len) {
    size_t n = SidCheck(sid, len);
    if (!n) return "";
    uint64_t auth = 0;
    for (int i = 2; i < 8; ++i) auth = (auth << 8) | sid[i];
    char buf[256];
    int pos = auth < (1ull << 32) ? snprintf(buf, sizeof buf, "S-%u-%llu", sid[0], (unsigned long long)auth)
                                  : snprintf(buf, sizeof buf, "S-%u-0x%012llX", sid[0], (unsigned long long)auth);
    for (unsigned i = 0; i < sid[1] && pos > 0 && (size_t)pos < sizeof buf; ++i)
        pos += snprintf(buf + pos, sizeof buf - (size_t)pos, "-%u", Get32(sid + 8 + 4 * i));
    return buf;
}

bool SidFromText(const std::string& text, SidBytes* out) {
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
    std::vector<uint64_t> parts;
    size_t i = 2;
    while (i <= text.size()) {
        size_t next = text.find('-', i);
        if (next == std::string::npos) next = text.size();
        std::string comp = text.substr(i, next - i);
        if (comp.empty() || comp.size() > 18) return false;
        char* end = nullptr;
        uint64_t v = strtoull(comp.c_str(), &end, comp.size() > 2 && comp[0] == '0' && (comp[1] == 'x' || comp[1] == 'X') ? 16 : 10);
        if (*end || comp[0] == '-' || comp[0] == '+') return false;
        parts.push_back(v);
        i = next + 1;
    }
    if (parts.size() < 2 || parts[0] != SID_REVISION || parts.size() - 2 > SID_MAX_SUB_AUTHORITIES ||
        parts[1] >= (1ull << 48))
        return false;
    SidBytes s(8 + 4 * (parts.size() - 2), 0);
    s[0] = SID_REVISION;
    s[1] = (uint8_t)(parts.size() - 2);
    for (int k = 0; k < 6; ++k) s[2 + k] = (uint8_t)(parts[1] >> (8 * (5 - k)));
    for (size_t k = 2; k < parts.size(); ++k) {
        if (parts[k] > 0xFFFFFFFFull) return false;
        Put32(&s[8 + 4 * (k - 2)], (uint32_t)parts[k]);
    }
    *out = s;
    return true;
}

bool SidEqual(const uint8_t* a, const uint8_t* b) {
    if (!a || !b || a[1] != b[1]) return false;
    return memcmp(a, b, 8 + 4 * (size_t)a[1]) == 0;
}

SidBytes SidEveryone() { return SidMake(1, {0}); }
SidBytes SidCreatorOwner() { return SidMake(3, {0}); }
SidBytes SidCreatorGroup() { return SidMake(3, {1}); }
SidBytes SidLocalSystem() { return SidMake(5, {18}); }
SidBytes SidBuiltin(uint32_t rid) { return SidMake(5, {32, rid}); }
SidBytes SidNt(uint32_t rid) { return SidMake(5, {rid}); }

bool AclCheck(const uint8_t* p, size_t avail) {
    if (!p || avail < sizeof(ACL)) return false;
    uint8_t rev = p[0];
    if (rev < ACL_REVISION || rev > ACL_REVISION_DS) return false;
    size_t size = Get16(p + 2);
    if (size < sizeof(ACL) || size > avail) return false;
    unsigned count = Get16(p + 4);
    size_t off = sizeof(ACL);
    for (unsigned i = 0; i < count; ++i) {
        if (off + sizeof(ACE_HEADER) > size) return false;
        const uint8_t* ace = p + off;
        size_t aceSize = Get16(ace + 2);
        if (aceSize < sizeof(ACE_HEADER) || aceSize % 4 != 0 || off + aceSize > size) return false;
        if (PlainSidAce(ace[0])) {
            if (aceSize < 8 || !SidCheck(ace + 8, aceSize - 8)) return false;
        }
        off += aceSize;
    }
    return true;
}

bool AclParse(const uint8_t* p, size_t avail, std::vector<AceEntry>* aces) {
    aces->clear();
    if (!AclCheck(p, avail)) return false;
    unsigned count = Get16(p + 4);
    size_t off = sizeof(ACL);
    for (unsigned i = 0; i < count; ++i) {
        const uint8_t* ace = p + off;
        size_t aceSize = Get16(ace + 2);
        AceEntry e;
        e.type = ace[0];
        e.flags = ace[1];
        if (PlainSidAce(e.type)) {
            e.mask = Get32(ace + 4);
            size_t n = SidCheck(ace + 8, aceSize - 8);
            e.sid.assign(ace + 8, ace + 8 + n);
        } else {
            e.raw.assign(ace, ace + aceSize);
        }
        aces->push_back(std::move(e));
        off += aceSize;
    }
    return true;
}

std::vector<uint8_t> AclBuild(const std::vector<AceEntry>& aces, uint8_t revision) {
    std::vector<uint8_t> out(sizeof(ACL), 0);
    for (const AceEntry& e : aces) {
        size_t start = out.size();
        if (!e.raw.empty()) {
            out.insert(out.end(), e.raw.begin(), e.raw.end());
            continue;
        }
        size_t aceSize = AlignUp4(8 + e.sid.size());
        out.resize(start + aceSize, 0);
        out[start] = e.type;
        out[start + 1] = e.flags;
        Put16(&out[start + 2], (uint16_t)aceSize);
        Put32(&out[start + 4], e.mask);
        memcpy(&out[start + 8], e.sid.data(), e.sid.size());
    }
    out[0] = revision;
    Put16(&out[2], (uint16_t)out.size());
    Put16(&out[4], (uint16_t)aces.size());
    return out;
}

uint32_t SdParseRelative(const uint8_t* sd, size_t size, SdView* view) {
    *view = SdView();
    if (!sd || size < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || sd[0] != SECURITY_DESCRIPTOR_REVISION)
        return ERROR_INVALID_SECURITY_DESCR;
    uint16_t control = Get16(sd + 2);
    if (!(control & SE_SELF_RELATIVE)) return ERROR_INVALID_SECURITY_DESCR;
    view->control = control;
    uint32_t offOwner = Get32(sd + 4), offGroup = Get32(sd + 8), offSacl = Get32(sd + 12), offDacl = Get32(sd + 16);
    auto sidAt = [&](uint32_t off, const uint8_t** out, size_t* len) {
        if (!off) return true;
        if (off < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || off >= size) return false;
        *len = SidCheck(sd + off, size - off);
        if (!*len) return false;
        *out = sd + off;
        return true;
    };
    auto aclAt = [&](uint32_t off, uint16_t present, const uint8_t** out, size_t* len) {
        if (!(control & present) || !off) return true;
        if (off < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || off >= size) return false;
        if (!AclCheck(sd + off, size - off)) return false;
        *out = sd + off;
        *len = Get16(sd + off + 2);
        return true;
    };
    if (!sidAt(offOwner, &view->owner, &view->ownerLen) || !sidAt(offGroup, &view->group, &view->groupLen) ||
        !aclAt(offSacl, SE_SACL_PRESENT, &view->sacl, &view->saclLen) ||
        !aclAt(offDacl, SE_DACL_PRESENT, &view->dacl, &view->daclLen))
        return ERROR_INVALID_SECURITY_DESCR;
    return ERROR_SUCCESS;
}

uint32_t SdParseAny(const void* sdv, SdView* view) {
    *view = SdView();
    const uint8_t* sd = (const uint8_t*)sdv;
    if (!sd || sd[0] != SECURITY_DESCRIPTOR_REVISION) return ERROR_INVALID_SECURITY_DESCR;
    uint16_t control = Get16(sd + 2);
    if (control & SE_SELF_RELATIVE) {
        // The size is not known here: offsets are limited to what a descriptor can span.
        return SdParseRelative(sd, 0x10000 * 3 + 200, view);
    }
    const SECURITY_DESCRIPTOR* abs = (const SECURITY_DESCRIPTOR*)sd;
    view->control = control;
    if (abs->Owner) {
        view->owner = (const uint8_t*)abs->Owner;
        if (!(view->ownerLen = SidCheck(view->owner, 68))) return ERROR_INVALID_SECURITY_DESCR;
    }
    if (abs->Group) {
        view->group = (const uint8_t*)abs->Group;
        if (!(view->groupLen = SidCheck(view->group, 68))) return ERROR_INVALID_SECURITY_DESCR;
    }
    auto acl = [&](const void* p, uint16_t present, const uint8_t** out, size_t* len) {
        if (!(control & present) || !p) return true;
        const uint8_t* a = (const uint8_t*)p;
        if (!AclCheck(a, Get16(a + 2))) return false;
        *out = a;
        *len = Get16(a + 2);
        return true;
    };
    if (!acl(abs->Sacl, SE_SACL_PRESENT, &view->sacl, &view->saclLen) ||
        !acl(abs->Dacl, SE_DACL_PRESENT, &view->dacl, &view->daclLen))
        return ERROR_INVALID_SECURITY_DESCR;
    return ERROR_SUCCESS;
}

std::vector<uint8_t> SdBuild(uint16_t control, const uint8_t* owner, const uint8_t* group, const uint8_t* sacl,
                             const uint8_t* dacl) {
    // Windows orders the parts SACL, DACL, owner, group in a self-relative descriptor.
    std::vector<uint8_t> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE), 0);
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    auto add = [&](const uint8_t* part, size_t len, size_t field) {
        Put32(&out[field], (uint32_t)out.size());
        out.insert(out.end(), part, part + len);
        out.resize(AlignUp4(out.size()), 0);
    };
    if ((control & SE_SACL_PRESENT) && sacl) add(sacl, Get16(sacl + 2), 12);
    if ((control & SE_DACL_PRESENT) && dacl) add(dacl, Get16(dacl + 2), 16);
    if (owner) add(owner, 8 + 4 * (size_t)owner[1], 4);
    if (group) add(group, 8 + 4 * (size_t)group[1], 8);
    Put16(&out[2], (uint16_t)(control | SE_SELF_RELATIVE));
    return out;
}

void* LocalCopy(const void* data, size_t size) {
    void* p = LocalAlloc(LMEM_FIXED, size ? size : 1);
    if (p && size) memcpy(p, data, size);
    return p;
}

}  // namespace ntsim
