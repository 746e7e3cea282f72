// Bounds-checked parsing and building of SIDs, ACLs and self-relative security
// descriptors, shared by the security calls, the access check, files and the registry.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nt/win32.h"

namespace ntsim {

typedef std::vector<uint8_t> SidBytes;

// Length of a valid SID at p with at most avail bytes readable; 0 when it is not one
// (bad revision, more than 15 sub-authorities, or running past avail).
size_t SidCheck(const uint8_t* p, size_t avail);
SidBytes SidMake(uint8_t authority, std::initializer_list<uint32_t> subs);
SidBytes SidAppend(const SidBytes& domain, uint32_t rid);
std::string SidToText(const uint8_t* sid, size_t len);
inline std::string SidToText(const SidBytes& s) { return SidToText(s.data(), s.size()); }
bool SidFromText(const std::string& text, SidBytes* out);
bool SidEqual(const uint8_t* a, const uint8_t* b);  // both already validated
// The domain part (all but the last sub-authority) of a valid SID.
SidBytes SidDomain(const SidBytes& sid);
uint32_t SidRid(const SidBytes& sid);

// Well-known SIDs.
SidBytes SidEveryone();
SidBytes SidCreatorOwner();
SidBytes SidCreatorGroup();
SidBytes SidLocalSystem();
SidBytes SidBuiltin(uint32_t rid);  // S-1-5-32-rid
SidBytes SidNt(uint32_t rid);       // S-1-5-rid

struct AceEntry {
    uint8_t type = ACCESS_ALLOWED_ACE_TYPE;
    uint8_t flags = 0;
    uint32_t mask = 0;
    SidBytes sid;  // empty for ACE types that carry no plain SID (kept as raw)
    std::vector<uint8_t> raw;  // the whole ACE as found, for types other than allow/deny/audit
};

// True when the ACL at p (at most avail bytes readable) is well formed: revision 2..4,
// AclSize within avail and at least the header, every ACE inside AclSize, ACE sizes
// multiples of 4, SIDs of the known ACE types valid and inside their ACE.
bool AclCheck(const uint8_t* p, size_t avail);
// Parses a checked ACL into entries.
bool AclParse(const uint8_t* p, size_t avail, std::vector<AceEntry>* aces);
std::vector<uint8_t> AclBuild(const std::vector<AceEntry>& aces, uint8_t revision = ACL_REVISION);

// A descriptor taken apart: pointers into the caller's buffer (absolute or self-relative).
struct SdView {
    uint16_t control = 0;
    const uint8_t* owner = nullptr;
    const uint8_t* group = nullptr;
    const uint8_t* sacl = nullptr;  // null with SE_SACL_PRESENT = null SACL
    const uint8_t* dacl = nullptr;  // null with SE_DACL_PRESENT = null DACL (grants all)
    size_t ownerLen = 0, groupLen = 0, saclLen = 0, daclLen = 0;
};

// Parses a self-relative descriptor of size bytes with every offset and length checked.
// ERROR_SUCCESS or ERROR_INVALID_SECURITY_DESCR.
uint32_t SdParseRelative(const uint8_t* sd, size_t size, SdView* view);
// Parses a descriptor in either form from a pointer without a known size (as the
// Win32 calls receive them); the parts are validated with generous bounds.
uint32_t SdParseAny(const void* sd, SdView* view);
// Self-relative form of the parts (SE_SELF_RELATIVE set).
std::vector<uint8_t> SdBuild(uint16_t control, const uint8_t* owner, const uint8_t* group, const uint8_t* sacl,
                             const uint8_t* dacl);
inline std::vector<uint8_t> SdBuild(const SdView& v) { return SdBuild(v.control, v.owner, v.group, v.sacl, v.dacl); }

// Copies bytes into one LocalAlloc block.
void* LocalCopy(const void* data, size_t size);

}  // namespace ntsim
