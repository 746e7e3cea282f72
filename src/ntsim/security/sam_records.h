// The SAM's records in NT's own layouts, for the machines ntsim makes and for the
// account database it reads: an alias's "C" value (a 0x34-byte header, then the name,
// the comment and the member SIDs, placed by offsets relative to 0x34) and the alias
// membership index Aliases\Members\<domain SID>\<RID>, whose unnamed value has the
// number of aliases as its type and their RIDs as its data. Also the policy's name
// records (PolAcDmN, PolPrDmN in SECURITY\Policy): a counted string whose header (length,
// maximum length, offset 8) is followed by the UTF-16 name and a terminator.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ntsim/registry/hive.h"
#include "ntsim/security/sd.h"

namespace ntsim {

const size_t kSamAliasHeaderSize = 0x34;

std::vector<uint8_t> SamAliasC(uint32_t rid, const std::string& name, const std::string& comment,
                               const std::vector<SidBytes>& members);

// The member SIDs of a "C" value. False when the header or a member does not fit the
// value (what was read before stays in *members).
bool SamAliasMembers(const std::vector<uint8_t>& c, std::vector<SidBytes>* members);

// Records that the account rid of domain belongs to the aliases aliasRids (RIDs in the
// domain that holds the index) below an "Aliases" key.
void SamIndexMembership(HiveKey* aliases, const SidBytes& domain, uint32_t rid, const std::vector<uint32_t>& aliasRids);

// Reads an "Aliases\Members" index: for every member SID, the aliases (aliasDomain + RID)
// it belongs to, added to *aliasesOf.
void SamReadMembership(const HiveKey* members, const SidBytes& aliasDomain,
                       std::map<SidBytes, std::vector<SidBytes>>* aliasesOf);

// A policy name record of name (UTF-16LE bytes, without a terminator).
std::vector<uint8_t> PolicyNameRecord(const uint8_t* utf16, size_t size);
std::vector<uint8_t> PolicyNameRecord(const std::string& utf8Name);

// The name of a policy name record, as UTF-16LE bytes. An empty value is the empty name;
// false when the header does not describe a name inside the value.
bool PolicyNameOfRecord(const std::vector<uint8_t>& record, std::vector<uint8_t>* utf16);

}  // namespace ntsim
