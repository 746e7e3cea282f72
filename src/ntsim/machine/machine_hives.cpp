// The hives of a freshly installed NT systemSid, built as trees and written as regf
// files: the usual top-level structure, accounts, policy, profiles and key security,
// holding the machine SID in the places where a real installation holds it.
#include "ntsim/machine/machine_hives.h"

#include <cstdio>
#include <cstring>

#include "nt/win32.h"
#include "ntsim/machine/machine_server.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sam_records.h"

namespace ntsim {

namespace {

typedef std::vector<uint8_t> Bytes;

// Registry value types (winnt.h); the hive builder needs them before the seam declares them.
enum : uint32_t { kRegNone = 0, kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7 };

Bytes MakeSid(uint8_t authority, std::initializer_list<uint32_t> subs) {
    Bytes sid = {1, (uint8_t)subs.size(), 0, 0, 0, 0, 0, authority};
    for (uint32_t s : subs)
        for (int i = 0; i < 4; ++i) sid.push_back((uint8_t)(s >> (8 * i)));
    return sid;
}

Bytes WithRid(const Bytes& domain, uint32_t rid) {
    Bytes sid = domain;
    sid[1] = (uint8_t)(sid[1] + 1);
    for (int i = 0; i < 4; ++i) sid.push_back((uint8_t)(rid >> (8 * i)));
    return sid;
}

std::string SidText(const Bytes& sid) {
    std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(sid[7]);
    for (size_t i = 8; i + 4 <= sid.size(); i += 4) {
        uint32_t v = sid[i] | (sid[i + 1] << 8) | (sid[i + 2] << 16) | ((uint32_t)sid[i + 3] << 24);
        text += "-" + std::to_string(v);
    }
    return text;
}

void Put32(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + i] = (uint8_t)(v >> (8 * i));
}

struct Ace {
    uint8_t type;
    uint8_t flags;
    uint32_t mask;
    Bytes sid;
};

// An ACL in NT's binary form holding the entries in their order.
Bytes AclOf(const std::vector<Ace>& aces) {
    Bytes acl(8, 0);
    for (const Ace& a : aces) {
        size_t size = 8 + a.sid.size();
        size_t at = acl.size();
        acl.resize(at + size, 0);
        acl[at] = a.type;
        acl[at + 1] = a.flags;
        acl[at + 2] = (uint8_t)size;
        acl[at + 3] = (uint8_t)(size >> 8);
        Put32(&acl, at + 4, a.mask);
        memcpy(&acl[at + 8], a.sid.data(), a.sid.size());
    }
    acl[0] = ACL_REVISION;
    acl[2] = (uint8_t)acl.size();
    acl[3] = (uint8_t)(acl.size() >> 8);
    acl[4] = (uint8_t)aces.size();
    return acl;
}

// A self-relative descriptor: header, owner, group, DACL (no SACL).
SharedDescriptor Descriptor(const Bytes& owner, const Bytes& group, const std::vector<Ace>& aces) {
    const Bytes acl = AclOf(aces);
    Bytes sd(20, 0);
    sd[0] = SECURITY_DESCRIPTOR_REVISION;
    uint16_t control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
    sd[2] = (uint8_t)control;
    sd[3] = (uint8_t)(control >> 8);
    Put32(&sd, 4, (uint32_t)sd.size());
    sd.insert(sd.end(), owner.begin(), owner.end());
    Put32(&sd, 8, (uint32_t)sd.size());
    sd.insert(sd.end(), group.begin(), group.end());
    Put32(&sd, 16, (uint32_t)sd.size());
    sd.insert(sd.end(), acl.begin(), acl.end());
    return std::make_shared<const Bytes>(std::move(sd));
}

// A self-relative descriptor in the layout NT itself writes: header, DACL, owner, group,
// with the control bits given (the XP and 2000 presets take their key security from a real
// XP machine's hives, byte for byte).
SharedDescriptor NtDescriptor(uint16_t control, const Bytes& owner, const Bytes& group, const std::vector<Ace>& aces) {
    const Bytes acl = AclOf(aces);
    Bytes sd(20, 0);
    sd[0] = SECURITY_DESCRIPTOR_REVISION;
    control |= SE_SELF_RELATIVE | SE_DACL_PRESENT;
    sd[2] = (uint8_t)control;
    sd[3] = (uint8_t)(control >> 8);
    Put32(&sd, 16, (uint32_t)sd.size());
    sd.insert(sd.end(), acl.begin(), acl.end());
    Put32(&sd, 4, (uint32_t)sd.size());
    sd.insert(sd.end(), owner.begin(), owner.end());
    Put32(&sd, 8, (uint32_t)sd.size());
    sd.insert(sd.end(), group.begin(), group.end());
    return std::make_shared<const Bytes>(std::move(sd));
}

const uint32_t kKeyAllAccess = 0xF003F, kKeyRead = 0x20019;
const uint8_t kCi = CONTAINER_INHERIT_ACE, kIo = INHERIT_ONLY_ACE, kInherited = INHERITED_ACE;
const uint32_t kGenericRead = 0x80000000u, kGenericAll = 0x10000000u, kGenericWrite = 0x40000000u;
const uint16_t kAutoInherited = SE_DACL_AUTO_INHERITED, kProtected = SE_DACL_PROTECTED;

// A key's own entries from setup's template: each container-inheritable grant becomes the
// key's entry in specific rights and an inherit-only one in generic rights for its subkeys;
// the creator owner's grant becomes the owner's entry and an inherit-only one. Inherited
// (flags kInherited) and without the owner's entry, it is what a subkey made below gets.
std::vector<Ace> TemplateAces(const std::vector<std::pair<uint32_t, Bytes>>& grants, const Bytes* owner, uint8_t flags) {
    std::vector<Ace> aces;
    for (const auto& g : grants) {
        uint32_t generic = g.first;
        uint32_t specific = (generic & kGenericAll) ? kKeyAllAccess : 0;
        if (generic & kGenericRead) specific |= kKeyRead;
        if (generic & kGenericWrite) specific |= 0x20006;  // KEY_WRITE
        specific |= generic & 0x00FF0000u;                 // standard rights as they are
        bool creatorOwner = g.second == Bytes{1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};
        if (!creatorOwner) aces.push_back({ACCESS_ALLOWED_ACE_TYPE, flags, specific, g.second});
        if (creatorOwner && owner) aces.push_back({ACCESS_ALLOWED_ACE_TYPE, flags, specific, *owner});
        aces.push_back({ACCESS_ALLOWED_ACE_TYPE, (uint8_t)(flags | kCi | kIo), generic, g.second});
    }
    return aces;
}

Bytes Utf16(const std::string& text, bool terminator) {
    std::vector<uint16_t> units = Utf8ToUtf16(text);
    if (terminator) units.push_back(0);
    Bytes out;
    for (uint16_t u : units) {
        out.push_back((uint8_t)u);
        out.push_back((uint8_t)(u >> 8));
    }
    return out;
}

HiveKey* Key(HiveKey* root, const std::string& path) {
    HiveKey* k = root;
    size_t i = 0;
    while (i < path.size()) {
        size_t next = path.find('\\', i);
        if (next == std::string::npos) next = path.size();
        std::string name = path.substr(i, next - i);
        HiveKey* sub = k->FindSubkey(name);
        k = sub ? sub : k->AddSubkey(name);
        i = next + 1;
    }
    return k;
}

void Set(HiveKey* key, const std::string& name, uint32_t type, Bytes data) {
    if (HiveValue* v = key->FindValue(name)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    key->values.push_back(HiveValue{name, type, std::move(data)});
}
void Sz(HiveKey* k, const std::string& n, const std::string& text) { Set(k, n, kRegSz, Utf16(text, true)); }
void ExpandSz(HiveKey* k, const std::string& n, const std::string& text) { Set(k, n, kRegExpandSz, Utf16(text, true)); }
void MultiSz(HiveKey* k, const std::string& n, std::initializer_list<std::string> items) {
    Bytes data;
    for (const auto& s : items) {
        Bytes u = Utf16(s, true);
        data.insert(data.end(), u.begin(), u.end());
    }
    data.push_back(0);
    data.push_back(0);
    Set(k, n, kRegMultiSz, data);
}
void Dword(HiveKey* k, const std::string& n, uint32_t v) { Set(k, n, kRegDword, {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)}); }
void Binary(HiveKey* k, const std::string& n, const Bytes& b) { Set(k, n, kRegBinary, b); }

// Gives every key without a descriptor the one of its parent (keys share it, as sk cells are shared).
void InheritSecurity(HiveKey* key, const SharedDescriptor& fallback) {
    if (!key->security) key->security = fallback;
    for (auto& sub : key->subkeys) InheritSecurity(sub.get(), key->security);
}

struct Account {
    std::string name;
    uint32_t rid;
    std::vector<uint32_t> aliases;
    std::string fullName;
    std::string comment;
};

// A user's V value in NT's layout: a table of (offset, length, 0) entries relative
// to 0xCC, then the data; entry 1 the name, 2 the full name, 3 the comment.
Bytes UserV(const Account& a) {
    Bytes v(0xCC, 0);
    std::vector<Bytes> fields(17);
    fields[1] = Utf16(a.name, false);
    fields[2] = Utf16(a.fullName, false);
    fields[3] = Utf16(a.comment, false);
    for (size_t i = 0; i < fields.size(); ++i) {
        Put32(&v, i * 12, (uint32_t)(v.size() - 0xCC));
        Put32(&v, i * 12 + 4, (uint32_t)fields[i].size());
        v.insert(v.end(), fields[i].begin(), fields[i].end());
        while (v.size() % 4) v.push_back(0);
    }
    return v;
}

Bytes UserF(uint32_t rid, bool disabled) {
    Bytes f(0x50, 0);
    f[0] = 2;
    Put32(&f, 0x30, rid);
    Put32(&f, 0x34, 0x201);                        // primary group: None
    Put32(&f, 0x38, disabled ? 0x211 : 0x210);     // normal account, password never expires (+ disabled)
    return f;
}

struct Preset {
    std::string version = "4.0";
    std::string build = "1381";
    std::string csd = "Service Pack 6";
    std::string productType = "WinNT";
    std::string role = "standalone";  // standalone | member | pdc | bdc
    bool suite = false;               // ProductSuite exists (Windows 2000 and later)
    uint32_t systemMinor = 3;         // regf minor version of SYSTEM, SOFTWARE, DEFAULT
    std::string defaultName = "NTWKS01";
};

bool PresetFor(const std::string& name, Preset* p) {
    if (name == "nt4-workstation") return true;
    if (name == "nt4-member") {
        p->role = "member";
        p->defaultName = "NTMEMBER1";
        return true;
    }
    if (name == "nt4-pdc" || name == "nt4-bdc") {
        p->productType = "LanmanNT";
        p->role = name == "nt4-pdc" ? "pdc" : "bdc";
        p->defaultName = name == "nt4-pdc" ? "NTPDC1" : "NTBDC1";
        return true;
    }
    if (name == "w2k-member") {
        p->version = "5.0";
        p->build = "2195";
        p->csd = "Service Pack 4";
        p->role = "member";
        p->suite = true;
        p->defaultName = "W2KMEMBER1";
        return true;
    }
    if (name == "xp-standalone") {
        p->version = "5.1";
        p->build = "2600";
        p->csd = "Service Pack 3";
        p->suite = true;
        p->systemMinor = 5;
        p->defaultName = "XPSTAND1";
        return true;
    }
    // A Windows Server 2003 member server, built like the XP machine.
    if (name == "w2003-member") {
        p->version = "5.2";
        p->build = "3790";
        p->csd = "Service Pack 2";
        p->productType = "ServerNT";
        p->role = "member";
        p->suite = true;
        p->systemMinor = 5;
        p->defaultName = "W2K3SRV1";
        return true;
    }
    return false;
}

bool ParseDomainSid(const std::string& text, Bytes* sid) {
    unsigned a, b, c;
    char tail;
    if (sscanf(text.c_str(), "S-1-5-21-%u-%u-%u%c", &a, &b, &c, &tail) != 3) return false;
    *sid = MakeSid(5, {21, a, b, c});
    return true;
}

}  // namespace

uint32_t MachineWriteHives(const std::string& dir, const MachineOptions& options, Conf* conf, std::string* error) {
    Preset preset;
    if (!PresetFor(options.preset, &preset)) {
        *error = "unknown preset '" + options.preset + "' (nt4-workstation, nt4-member, nt4-pdc, nt4-bdc, w2k-member, xp-standalone, w2003-member)";
        return ERROR_INVALID_PARAMETER;
    }
    Bytes machineSid = MakeSid(5, {21, 1004336348, 1177238915, 682003330});
    if (!options.sid.empty() && !ParseDomainSid(options.sid, &machineSid)) {
        *error = "a machine SID reads S-1-5-21-a-b-c, not '" + options.sid + "'";
        return ERROR_INVALID_PARAMETER;
    }
    std::string computer = options.name.empty() ? preset.defaultName : options.name;
    if (computer.size() > 15) {
        *error = "a computer name holds at most 15 characters";
        return ERROR_INVALID_PARAMETER;
    }
    for (char& ch : computer) ch = (char)toupper((unsigned char)ch);
    const std::string domainName = "QDOMAIN";
    Bytes domainSid = MakeSid(5, {21, 2000111222, 333444555, 1666777888});
    // A controller's account domain is the domain itself.
    if (preset.role == "pdc" || preset.role == "bdc") domainSid = machineSid;

    const Bytes everyone = MakeSid(1, {0}), creatorOwner = MakeSid(3, {0}), systemSid = MakeSid(5, {18});
    const Bytes admins = MakeSid(5, {32, 544});
    SharedDescriptor standard = Descriptor(admins, systemSid,
                                           {{ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, admins},
                                            {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, systemSid},
                                            {ACCESS_ALLOWED_ACE_TYPE, kCi | kIo, kKeyAllAccess, creatorOwner},
                                            {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyRead, everyone}});
    SharedDescriptor restricted = Descriptor(admins, systemSid,
                                             {{ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, systemSid},
                                              {ACCESS_ALLOWED_ACE_TYPE, kCi, WRITE_DAC | READ_CONTROL, admins}});
    // Windows 2000 and XP: the key security of a real XP machine's hives, in NT's layout.
    const bool nt5 = preset.version != "4.0";
    const Bytes users = MakeSid(5, {32, 545}), powerUsers = MakeSid(5, {32, 547}), restrictedCode = MakeSid(5, {12});
    SharedDescriptor samRoot = NtDescriptor(0, admins, systemSid,
                                            {{ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, systemSid},
                                             {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, admins},
                                             {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyRead, everyone},
                                             {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyRead, restrictedCode}});
    if (nt5)
        restricted = NtDescriptor(0, admins, systemSid,
                                  {{ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, systemSid},
                                   {ACCESS_ALLOWED_ACE_TYPE, kCi, WRITE_DAC | READ_CONTROL, admins}});
    // Setup's template for SYSTEM's root, and SOFTWARE's (Power Users may change software settings).
    const std::vector<std::pair<uint32_t, Bytes>> systemGrants = {
        {kGenericRead, users}, {kGenericRead, powerUsers}, {kGenericAll, admins}, {kGenericAll, systemSid}, {kGenericAll, creatorOwner}};
    const std::vector<std::pair<uint32_t, Bytes>> softwareGrants = {{kGenericRead, users},
                                                                    {kGenericRead | kGenericWrite | DELETE, powerUsers},
                                                                    {kGenericAll, admins},
                                                                    {kGenericAll, systemSid},
                                                                    {kGenericAll, creatorOwner}};

    std::vector<Account> accounts = {{"Administrator", 500, {544}, "", "Built-in account for administering the computer/domain"},
                                     {"Guest", 501, {546}, "", "Built-in account for guest access to the computer/domain"},
                                     {"User1", 1000, {545}, "First User", "An ordinary local user"}};
    // A server's local users (machine_server.h), each with a profile made below.
    const ServerShape server = ServerShapeOf(options);
    for (size_t i = 0; i < server.profiles; ++i)
        accounts.push_back({ServerUserName(i), kServerFirstRid + (uint32_t)i, {545}, "", "Terminal server user"});
    const std::vector<std::pair<std::string, uint32_t>> aliases = {
        {"Administrators", 544}, {"Users", 545}, {"Guests", 546}, {"Power Users", 547}, {"Backup Operators", 551}, {"Replicator", 552}};

    // SAM
    Hive sam;
    sam.root = std::make_unique<HiveKey>();
    sam.root->name = sam.rootName = "SAM";
    sam.root->security = nt5 ? samRoot : standard;
    HiveKey* samSam = Key(sam.root.get(), "SAM");
    samSam->security = restricted;
    HiveKey* account = Key(samSam, "Domains\\Account");
    {
        Bytes v(0x40, 0);
        v[0] = 1;
        v.insert(v.end(), machineSid.begin(), machineSid.end());  // NT keeps the domain SID last
        Bytes f(0x68, 0);
        f[0] = 2;
        Put32(&f, 0x48, kServerFirstRid + (uint32_t)server.profiles);  // next RID (1001 was an account since deleted)
        // The server state (enabled) and role, as NT keeps them: a backup controller's
        // account domain is a backup (2), every other one primary (3).
        Put32(&f, 0x58, 1);
        Put32(&f, 0x5C, preset.role == "bdc" ? 2 : 3);
        Binary(account, "F", f);
        Binary(account, "V", v);
    }
    for (const Account& a : accounts) {
        char rid[16];
        snprintf(rid, sizeof rid, "%08X", a.rid);
        HiveKey* user = Key(account, std::string("Users\\") + rid);
        Binary(user, "F", UserF(a.rid, a.rid == 501));
        Binary(user, "V", UserV(a));
        Set(Key(account, "Users\\Names\\" + a.name), "", a.rid, {});
    }
    Binary(Key(account, "Groups\\00000201"), "C", Bytes(0x34, 0));
    Set(Key(account, "Groups\\Names\\None"), "", 0x201, {});
    Key(account, "Aliases\\Names");
    Key(account, "Aliases\\Members");
    HiveKey* builtin = Key(samSam, "Domains\\Builtin");
    {
        Bytes v(0x40, 0);
        Bytes builtinSid = MakeSid(5, {32});
        v.insert(v.end(), builtinSid.begin(), builtinSid.end());
        Binary(builtin, "V", v);
        Binary(builtin, "F", Bytes(0x68, 0));
    }
    for (const auto& al : aliases) {
        char rid[16];
        snprintf(rid, sizeof rid, "%08X", al.second);
        std::vector<SidBytes> members;
        for (const Account& a : accounts)
            for (uint32_t r : a.aliases)
                if (r == al.second) members.push_back(WithRid(machineSid, a.rid));
        // Domain Admins and Domain Users join the local aliases when the machine joins.
        if (preset.role == "member" && (al.second == 544 || al.second == 545))
            members.push_back(WithRid(domainSid, al.second == 544 ? 512 : 513));
        Binary(Key(builtin, std::string("Aliases\\") + rid), "C", SamAliasC(al.second, al.first, "", members));
        Set(Key(builtin, "Aliases\\Names\\" + al.first), "", al.second, {});
    }
    // The membership index that logon tokens are built from.
    HiveKey* builtinAliases = Key(builtin, "Aliases");
    for (const Account& a : accounts) SamIndexMembership(builtinAliases, machineSid, a.rid, a.aliases);
    if (preset.role == "member") {
        SamIndexMembership(builtinAliases, domainSid, 512, {544});
        SamIndexMembership(builtinAliases, domainSid, 513, {545});
    }
    // Interactive and Authenticated Users are Users on Windows 2000 and later.
    if (preset.version != "4.0") {
        SamIndexMembership(builtinAliases, MakeSid(5, {}), 4, {545});
        SamIndexMembership(builtinAliases, MakeSid(5, {}), 11, {545});
    }
    Key(samSam, "RXACT");
    InheritSecurity(sam.root.get(), standard);

    // SECURITY
    Hive security;
    security.root = std::make_unique<HiveKey>();
    security.root->name = security.rootName = "SECURITY";
    security.root->security = restricted;
    HiveKey* policy = Key(security.root.get(), "Policy");
    Set(Key(policy, "PolAcDmS"), "", kRegBinary, machineSid);
    Set(Key(policy, "PolAcDmN"), "", kRegBinary, PolicyNameRecord(preset.role == "pdc" || preset.role == "bdc" ? domainName : computer));
    bool inDomain = preset.role != "standalone";
    Set(Key(policy, "PolPrDmN"), "", kRegBinary, PolicyNameRecord(inDomain ? domainName : "WORKGROUP"));
    Set(Key(policy, "PolPrDmS"), "", kRegBinary, inDomain ? domainSid : Bytes{});
    Set(Key(policy, "PolRevision"), "", kRegBinary, {0, 0, 1, 0});
    Key(policy, "Secrets");
    if (preset.role == "member" || preset.role == "bdc") {
        HiveKey* secret = Key(policy, "Secrets\\$MACHINE.ACC");
        Set(Key(secret, "CurrVal"), "", kRegBinary, Utf16("machine-account-password", false));
        Set(Key(secret, "OldVal"), "", kRegBinary, {});
    }
    Key(policy, "Accounts");
    Key(security.root.get(), "RXACT");
    // NT 5 keeps the logon cache here; its SECURITY\SAM is a link made at boot, in no file.
    Key(security.root.get(), nt5 ? "Cache" : "SAM");
    InheritSecurity(security.root.get(), restricted);

    // SOFTWARE
    Hive software;
    software.minorVersion = preset.systemMinor;
    software.root = std::make_unique<HiveKey>();
    software.root->name = software.rootName = "SOFTWARE";
    HiveKey* root = software.root.get();
    Sz(Key(root, "Classes\\.txt"), "", "txtfile");
    Sz(Key(root, "Classes\\txtfile"), "", "Text Document");
    Sz(Key(root, "Classes\\txtfile\\shell\\open\\command"), "", "notepad.exe %1");
    Sz(Key(root, "Description\\Microsoft\\Rpc\\UuidTemporaryData"), "NetworkAddress", "00C04F6E1A2B");
    HiveKey* cv = Key(root, "Microsoft\\Windows NT\\CurrentVersion");
    Sz(cv, "CurrentVersion", preset.version);
    Sz(cv, "CurrentBuildNumber", preset.build);
    Sz(cv, "CurrentBuild", "1.511.1 () (Obsolete data - do not use)");
    Sz(cv, "CSDVersion", preset.csd);
    Sz(cv, "CurrentType", "Uniprocessor Free");
    Sz(cv, "RegisteredOwner", "Quorvel Test Lab");
    Sz(cv, "RegisteredOrganization", "Quorvel");
    Sz(cv, "SystemRoot", "C:\\WINNT");
    Sz(cv, "ProductId", "51222-270-0000007-30000");
    if (preset.version != "4.0")
        Sz(cv, "ProductName", preset.version == "5.0"   ? "Microsoft Windows 2000"
                              : preset.version == "5.1" ? "Microsoft Windows XP"
                                                        : "Microsoft Windows Server 2003");
    HiveKey* winlogon = Key(cv, "Winlogon");
    Sz(winlogon, "DefaultUserName", "Administrator");
    Sz(winlogon, "DefaultDomainName", inDomain ? domainName : computer);
    Sz(winlogon, "ShutdownWithoutLogon", preset.productType == "WinNT" ? "1" : "0");
    Sz(winlogon, "Shell", "Explorer.exe");
    Sz(winlogon, "Userinit", "C:\\WINNT\\system32\\userinit.exe,");
    HiveKey* perflib = Key(cv, "Perflib");
    Dword(perflib, "Last Counter", 1846);
    MultiSz(Key(perflib, "009"), "Counter", {"1", "1847", "2", "System", "4", "Memory"});
    HiveKey* profileList = Key(cv, "ProfileList");
    ExpandSz(profileList, "ProfilesDirectory", "%SystemRoot%\\Profiles");
    struct Profile {
        std::string user;
        Bytes sid;
    };
    std::vector<Profile> profiles = {{"Administrator", WithRid(machineSid, 500)}, {"User1", WithRid(machineSid, 1000)}};
    if (preset.role == "member") profiles.push_back({"jdomain", WithRid(domainSid, 1105)});
    if (preset.version != "4.0") profiles.push_back({"LocalService", MakeSid(5, {19})});
    for (size_t i = 0; i < server.profiles; ++i) profiles.push_back({ServerUserName(i), WithRid(machineSid, kServerFirstRid + (uint32_t)i)});
    // Profiles without a hive of their own: the local system's (from Windows 2000 on), and
    // that of an account since deleted whose folder lost its ntuser.dat.
    std::vector<Profile> hiveless = {{"Departed", WithRid(machineSid, 1001)}};
    if (preset.version != "4.0") hiveless.push_back({"systemprofile", MakeSid(5, {18})});
    std::vector<Profile> listed = profiles;
    listed.insert(listed.end(), hiveless.begin(), hiveless.end());
    for (const Profile& pr : listed) {
        HiveKey* p = Key(profileList, SidText(pr.sid));
        ExpandSz(p, "ProfileImagePath", pr.user == "systemprofile" ? "%SystemRoot%\\system32\\config\\systemprofile"
                                                                    : "%SystemRoot%\\Profiles\\" + pr.user);
        Binary(p, "Sid", pr.sid);
        Dword(p, "Flags", 0);
    }
    HiveKey* winCv = Key(root, "Microsoft\\Windows\\CurrentVersion");
    Sz(winCv, "ProgramFilesDir", "C:\\Program Files");
    Sz(winCv, "CommonFilesDir", "C:\\Program Files\\Common Files");
    Sz(Key(winCv, "App Paths\\notepad.exe"), "", "C:\\WINNT\\system32\\notepad.exe");
    Key(root, "Microsoft\\Windows Messaging Subsystem\\Profiles");
    // Protected storage keeps one key per user, named by the user's SID text.
    for (const Profile& pr : profiles) Key(root, "Microsoft\\Protected Storage System Provider\\" + SidText(pr.sid));
    Key(root, "Program Groups");
    Key(root, "Secure");
    if (nt5) {
        Key(root, "Classes\\CLSID");
        root->security = NtDescriptor(kProtected | kAutoInherited, admins, systemSid, TemplateAces(softwareGrants, &admins, 0));
        SharedDescriptor inherited = NtDescriptor(kAutoInherited, admins, systemSid, TemplateAces(softwareGrants, nullptr, kInherited));
        for (auto& sub : root->subkeys) InheritSecurity(sub.get(), inherited);
    }
    InheritSecurity(root, standard);

    // SYSTEM
    Hive systemHive;
    systemHive.minorVersion = preset.systemMinor;
    systemHive.root = std::make_unique<HiveKey>();
    systemHive.root->name = systemHive.rootName = "SYSTEM";
    HiveKey* sys = systemHive.root.get();
    HiveKey* select = Key(sys, "Select");
    Dword(select, "Current", 1);
    Dword(select, "Default", 1);
    Dword(select, "Failed", 0);
    Dword(select, "LastKnownGood", 2);
    HiveKey* cs = Key(sys, "ControlSet001");
    HiveKey* control = Key(cs, "Control");
    Sz(control, "SystemBootDevice", "multi(0)disk(0)rdisk(0)partition(1)");
    Sz(Key(control, "ComputerName\\ComputerName"), "ComputerName", computer);
    HiveKey* productOptions = Key(control, "ProductOptions");
    Sz(productOptions, "ProductType", preset.productType);
    if (preset.suite) MultiSz(productOptions, "ProductSuite", {server.terminalServer ? "Terminal Server" : ""});
    HiveKey* sm = Key(control, "Session Manager");
    MultiSz(sm, "BootExecute", {"autocheck autochk *"});
    HiveKey* env = Key(sm, "Environment");
    ExpandSz(env, "ComSpec", "%SystemRoot%\\system32\\cmd.exe");
    ExpandSz(env, "Path", "%SystemRoot%\\system32;%SystemRoot%");
    ExpandSz(env, "windir", "%SystemRoot%");
    Sz(env, "OS", "Windows_NT");
    Sz(env, "PROCESSOR_ARCHITECTURE", "x86");
    Key(sm, "Memory Management");
    Sz(Key(control, "Lsa"), "Authentication Packages", "msv1_0");
    HiveKey* services = Key(cs, "Services");
    auto service = [&](const std::string& name, uint32_t start, const std::string& image) {
        HiveKey* s = Key(services, name);
        Dword(s, "Type", 0x20);
        Dword(s, "Start", start);
        Dword(s, "ErrorControl", 1);
        ExpandSz(s, "ImagePath", image);
        Sz(s, "ObjectName", "LocalSystem");
        return s;
    };
    service("EventLog", 2, "%SystemRoot%\\system32\\services.exe");
    Key(services, "EventLog\\Application");
    Key(services, "EventLog\\System");
    Key(services, "LanmanServer\\Parameters");
    service("LanmanServer", 2, "%SystemRoot%\\system32\\services.exe");
    service("LanmanWorkstation", 2, "%SystemRoot%\\system32\\services.exe");
    service("Netlogon", inDomain ? 2 : 3, "%SystemRoot%\\system32\\lsass.exe");
    if (server.terminalServer) service("TermService", 2, "%SystemRoot%\\system32\\termsrv.exe");
    HiveKey* tcpip = Key(services, "Tcpip\\Parameters");
    std::string host = computer;
    for (char& ch : host) ch = (char)tolower((unsigned char)ch);  // NT keeps the host name in lower case
    Sz(tcpip, "Hostname", host);
    Sz(tcpip, "Domain", "");
    Key(sys, "Setup");
    Dword(Key(sys, "Setup"), "SetupType", 0);
    Sz(Key(sys, "Setup"), "CmdLine", "setup -newsetup");
    if (!nt5) Key(sys, "Disk");
    SharedDescriptor systemInherited = standard;
    if (nt5) {
        // Hardware profiles (HKEY_CURRENT_CONFIG is the current one), the device tree's root,
        // and the top keys of a 2000 or XP machine, with their real key security.
        for (const char* profile : {"0000", "0001"}) {
            Key(cs, std::string("Hardware Profiles\\") + profile + "\\Software");
            Key(cs, std::string("Hardware Profiles\\") + profile + "\\System");
        }
        Key(cs, "Hardware Profiles")->security =
            NtDescriptor(0, admins, systemSid,
                         {{ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyRead, users},
                          {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyRead, powerUsers},
                          {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, admins},
                          {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, systemSid},
                          {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, creatorOwner}});
        Key(cs, "Enum")->security = NtDescriptor(0, admins, systemSid,
                                                 {{ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, systemSid},
                                                  {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyRead, everyone}});
        Key(sys, "MountedDevices");
        sys->security = NtDescriptor(kProtected | kAutoInherited, admins, systemSid, TemplateAces(systemGrants, &admins, 0));
        systemInherited = NtDescriptor(kAutoInherited, admins, systemSid, TemplateAces(systemGrants, nullptr, kInherited));
        if (preset.version != "5.0") {
            Key(sys, "WPA");
            // Made by the first administrator's logon: owned by the account, its None group as group.
            Bytes owner = WithRid(machineSid, 500);
            Key(sys, "LastKnownGoodRecovery")->security = NtDescriptor(
                kAutoInherited, owner, WithRid(machineSid, 513), TemplateAces(systemGrants, &owner, kInherited));
        }
    }
    for (auto& sub : sys->subkeys)
        if (nt5) InheritSecurity(sub.get(), systemInherited);
    // ControlSet002 is the last-known-good copy of ControlSet001.
    auto copy = HiveCopyTree(*cs, sys);
    copy->name = "ControlSet002";
    // Its own record says its entries were not inherited automatically (as setup left it).
    if (nt5) copy->security = NtDescriptor(0, admins, systemSid, TemplateAces(systemGrants, nullptr, kInherited));
    sys->subkeys.push_back(std::move(copy));
    InheritSecurity(sys, standard);

    // DEFAULT and the user hives
    // NTUSER.DAT stays at 1.3 even on XP; the default user hive follows SYSTEM and SOFTWARE.
    auto userHive = [&](const Bytes* userSid, const std::string& rootName) {
        Hive h;
        h.minorVersion = userSid ? 3 : preset.systemMinor;
        h.root = std::make_unique<HiveKey>();
        h.root->name = h.rootName = rootName;
        HiveKey* r = h.root.get();
        HiveKey* desktop = Key(r, "Control Panel\\Desktop");
        Sz(desktop, "Wallpaper", "(None)");
        Sz(desktop, "ScreenSaveActive", "1");
        Sz(Key(r, "Control Panel\\International"), "Locale", "00000409");
        Sz(Key(r, "Keyboard Layout\\Preload"), "1", "00000409");
        ExpandSz(Key(r, "Environment"), "TEMP", "%SystemDrive%\\TEMP");
        ExpandSz(Key(r, "Environment"), "TMP", "%SystemDrive%\\TEMP");
        Key(r, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer");
        Key(r, "UNICODE Program Groups");
        if (userSid) {
            Key(r, "Software\\Microsoft\\Protected Storage System Provider\\" + SidText(*userSid) + "\\Data");
            Binary(Key(r, "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"), "ProfileSid", *userSid);
            r->security = Descriptor(*userSid, systemSid,
                                     {{ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, *userSid},
                                      {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, admins},
                                      {ACCESS_ALLOWED_ACE_TYPE, kCi, kKeyAllAccess, systemSid}});
        }
        InheritSecurity(r, standard);
        return h;
    };
    Hive defaultHive = userHive(nullptr, ".DEFAULT");

    std::string config = dir + "/drives/c/WINNT/system32/config/";
    struct Out {
        Hive* hive;
        std::string path;
    };
    std::vector<Out> outs = {{&sam, config + "SAM"}, {&security, config + "SECURITY"}, {&software, config + "SOFTWARE"},
                             {&systemHive, config + "SYSTEM"}, {&defaultHive, config + "DEFAULT"}};
    std::vector<Hive> profileHives;
    profileHives.reserve(profiles.size() + 1);
    std::string profilesDir = dir + "/drives/c/WINNT/Profiles/";
    for (const Profile& pr : profiles) {
        profileHives.push_back(userHive(&pr.sid, "$$$PROTO.HIV"));
        std::string folder = profilesDir + pr.user;
        if (!MakeHostDirs(folder)) {
            *error = "cannot create " + folder;
            return ERROR_CANNOT_MAKE;
        }
        outs.push_back({&profileHives.back(), folder + "/ntuser.dat"});
    }
    profileHives.push_back(userHive(nullptr, "$$$PROTO.HIV"));
    profileHives.back().minorVersion = 3;
    if (!MakeHostDirs(profilesDir + "Default User")) {
        *error = "cannot create the Default User profile";
        return ERROR_CANNOT_MAKE;
    }
    outs.push_back({&profileHives.back(), profilesDir + "Default User/ntuser.dat"});
    if (!MakeHostDirs(profilesDir + "Departed")) {
        *error = "cannot create the profile folder of Departed";
        return ERROR_CANNOT_MAKE;
    }
    for (const Out& o : outs) {
        // The base block names the file as NT opened it.
        std::string windows = o.path.substr(dir.size() + strlen("/drives/c/"));
        for (char& c : windows) c = c == '/' ? '\\' : c;
        if (windows.rfind("WINNT\\system32\\config\\", 0) == 0)
            RegfSetFileName(o.hive, "\\SystemRoot\\System32\\Config\\" + windows.substr(22));
        else
            RegfSetFileName(o.hive, "\\??\\C:\\" + windows);
        uint32_t rc = RegfSaveFile(*o.hive, o.path);
        if (rc != ERROR_SUCCESS) {
            *error = "cannot write " + o.path + " (error " + std::to_string(rc) + ")";
            return rc;
        }
    }

    // What is not in the hives.
    ConfSection* m = conf->Find("machine");
    m->Set("name", computer);
    m->Set("version", preset.version + "." + preset.build);
    m->Set("role", preset.role);
    if (inDomain) {
        ConfSection& d = conf->Add("domain", domainName);
        d.Set("sid", SidText(domainSid));
        d.Set("pdc", preset.role == "pdc" ? computer : "NTPDC1");
        if (preset.role == "bdc") d.Set("bdcs", computer);
        if (preset.role == "member") d.Set("members", computer);
    }
    return ERROR_SUCCESS;
}

}  // namespace ntsim
