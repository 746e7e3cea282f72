// The machine's account database as the security calls see it: well-known SIDs,
// the built-in aliases and the local accounts of the SAM hive, the machine SID of
// SECURITY\Policy\PolAcDmS. Built at first use from the hive files.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/registry/hive.h"
#include "ntsim/security/sd.h"

namespace ntsim {

struct Account {
    std::string name;    // "Administrator", "Administrators", "Everyone"
    std::string domain;  // "NTWKS01", "BUILTIN", "NT AUTHORITY", "" for Everyone and CREATOR OWNER
    SidBytes sid;
    SID_NAME_USE use = SidTypeUser;
    std::vector<SidBytes> memberOf;  // aliases (and the primary group) a user belongs to
};

struct AccountDb {
    SidBytes machineSid;        // the account domain SID; empty when the machine has none
    std::string accountDomain;  // the account domain name (the computer name)
    std::vector<Account> accounts;
    // The SAM's alias membership index (Aliases\Members of both domains): for a member
    // SID, the aliases it belongs to. Logon tokens take their aliases from here, as NT's do.
    std::map<SidBytes, std::vector<SidBytes>> aliasesOf;

    const Account* FindName(const std::string& name, const std::string& domain) const;
    const Account* FindSid(const SidBytes& sid) const;
};

// Builds the database from the SAM and SECURITY hives (either may be null), with the
// well-known names that the Windows version (major * 10 + minor: 40, 50, 51) knows.
void AccountsBuild(const Hive* sam, const Hive* security, const std::string& computerName, AccountDb* db,
                   uint32_t version = 40);

// The attached machine's database, loaded at first use; forgotten at ProcessDetach.
const AccountDb& Accounts();

}  // namespace ntsim
