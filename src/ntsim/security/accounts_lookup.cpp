// Account name and SID lookups (LookupAccountNameA, LookupAccountSidA) and GetUserNameA.
#include <strings.h>

#include <cstring>

#include "nt/win32.h"
#include "ntsim/security/accounts.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/process.h"

using namespace ntsim;

namespace {
// Finds "name", "DOMAIN\name", or a domain by its own name.
const Account* Resolve(const AccountDb& db, const std::string& text) {
    std::string name = text, domain;
    size_t slash = text.find('\\');
    if (slash != std::string::npos) {
        domain = text.substr(0, slash);
        name = text.substr(slash + 1);
        // "\name" and "DOMAIN\" are not names.
        if (name.empty()) return nullptr;
    }
    if (domain.empty()) {
        // A bare name: accounts first, then well-known and built-in names, as the LSA searches.
        for (const Account& a : db.accounts)
            if (a.use == SidTypeUser && strcasecmp(a.name.c_str(), name.c_str()) == 0) return &a;
        return db.FindName(name, "");
    }
    return db.FindName(name, domain);
}
}  // namespace

BOOL LookupAccountNameA(LPCSTR lpSystemName, LPCSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                        LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    if (FaultFails("LookupAccountNameA", lpAccountName ? lpAccountName : "")) return FALSE;
    (void)lpSystemName;
    if (!lpAccountName || !cbSid || !cchReferencedDomainName) return Fail(ERROR_INVALID_PARAMETER);
    const Account* a = Resolve(Accounts(), lpAccountName);
    if (!a) return Fail(ERROR_NONE_MAPPED);
    DWORD sidLen = (DWORD)a->sid.size(), domLen = (DWORD)a->domain.size();
    if (*cbSid < sidLen || !Sid || *cchReferencedDomainName <= domLen || !ReferencedDomainName) {
        *cbSid = sidLen;
        *cchReferencedDomainName = domLen + 1;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(Sid, a->sid.data(), sidLen);
    memcpy(ReferencedDomainName, a->domain.c_str(), domLen + 1);
    *cbSid = sidLen;
    *cchReferencedDomainName = domLen;
    if (peUse) *peUse = a->use;
    return TRUE;
}

BOOL LookupAccountSidA(LPCSTR lpSystemName, PSID Sid, LPSTR Name, LPDWORD cchName, LPSTR ReferencedDomainName,
                       LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    (void)lpSystemName;
    size_t n = SidCheck((const uint8_t*)Sid, SECURITY_MAX_SID_SIZE);
    if (FaultFails("LookupAccountSidA", n ? SidToText((const uint8_t*)Sid, n) : "")) return FALSE;
    if (!n) return Fail(ERROR_INVALID_SID);
    if (!cchName || !cchReferencedDomainName) return Fail(ERROR_INVALID_PARAMETER);
    const Account* a = Accounts().FindSid(SidBytes((const uint8_t*)Sid, (const uint8_t*)Sid + n));
    if (!a) return Fail(ERROR_NONE_MAPPED);
    DWORD nameLen = (DWORD)a->name.size(), domLen = (DWORD)a->domain.size();
    if (*cchName <= nameLen || !Name || *cchReferencedDomainName <= domLen || !ReferencedDomainName) {
        *cchName = nameLen + 1;
        *cchReferencedDomainName = domLen + 1;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(Name, a->name.c_str(), nameLen + 1);
    memcpy(ReferencedDomainName, a->domain.c_str(), domLen + 1);
    *cchName = nameLen;
    *cchReferencedDomainName = domLen;
    if (peUse) *peUse = a->use;
    return TRUE;
}

BOOL GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer) {
    if (FaultFails("GetUserNameA", "")) return FALSE;
    if (!pcbBuffer || !ProcessAttached()) return Fail(ERROR_INVALID_PARAMETER);
    std::string user = CurrentProcess().user;
    size_t slash = user.find('\\');
    if (slash != std::string::npos) user = user.substr(slash + 1);
    DWORD need = (DWORD)user.size() + 1;
    if (*pcbBuffer < need || !lpBuffer) {
        *pcbBuffer = need;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(lpBuffer, user.c_str(), need);
    *pcbBuffer = need;
    return TRUE;
}
