// The Win32 calls on SIDs, ACLs and security descriptors, and local memory blocks.
#include <cstdlib>
#include <cstring>

#include "nt/win32.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/security/sd.h"

using namespace ntsim;

// Allocation and SID calls can be made to fail like any other call (memory exhausted).
static bool Faulted(const char* function) { return FaultFails(function, ""); }

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (Faulted("LocalAlloc")) return nullptr;
    void* p = (uFlags & LMEM_ZEROINIT) ? calloc(1, uBytes ? uBytes : 1) : malloc(uBytes ? uBytes : 1);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL LocalFree(HLOCAL hMem) {
    free(hMem);
    return nullptr;
}

// ---- SIDs ----

BOOL IsValidSid(PSID pSid) { return SidCheck((const uint8_t*)pSid, SECURITY_MAX_SID_SIZE) ? TRUE : FALSE; }

BOOL EqualSid(PSID pSid1, PSID pSid2) {
    // As advapi32 does: the last error cleared, then RtlEqualSid, which validates nothing:
    // the revisions and counts must match, then the bytes the count covers.
    SetLastError(ERROR_SUCCESS);
    const uint8_t* a = (const uint8_t*)pSid1;
    const uint8_t* b = (const uint8_t*)pSid2;
    if (!a || !b) return FALSE;
    if (a[0] != b[0] || a[1] != b[1]) return FALSE;
    return memcmp(a, b, 8 + 4 * (size_t)a[1]) == 0 ? TRUE : FALSE;
}

DWORD GetLengthSid(PSID pSid) {
    // Windows computes it from the count without validating; so do we, for a readable SID.
    if (!pSid) return 0;
    return 8 + 4 * (DWORD)((const uint8_t*)pSid)[1];
}

PUCHAR GetSidSubAuthorityCount(PSID pSid) {
    SetLastError(ERROR_SUCCESS);
    return &((PISID)pSid)->SubAuthorityCount;
}

PDWORD GetSidSubAuthority(PSID pSid, DWORD nSubAuthority) {
    SetLastError(ERROR_SUCCESS);
    return (PDWORD)((uint8_t*)pSid + 8 + 4 * (size_t)nSubAuthority);
}

PSID_IDENTIFIER_AUTHORITY GetSidIdentifierAuthority(PSID pSid) {
    SetLastError(ERROR_SUCCESS);
    return &((PISID)pSid)->IdentifierAuthority;
}

DWORD GetSidLengthRequired(UCHAR nSubAuthorityCount) { return 8 + 4 * (DWORD)nSubAuthorityCount; }

BOOL InitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount) {
    if (nSubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return FALSE;
    uint8_t* s = (uint8_t*)Sid;
    s[0] = SID_REVISION;
    s[1] = nSubAuthorityCount;
    memcpy(s + 2, pIdentifierAuthority->Value, 6);
    memset(s + 8, 0, 4 * (size_t)nSubAuthorityCount);
    return TRUE;
}

BOOL CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid) {
    if (Faulted("CopySid")) return FALSE;
    size_t len = SidCheck((const uint8_t*)pSourceSid, SECURITY_MAX_SID_SIZE);
    if (!len) return Fail(ERROR_INVALID_SID);
    if (nDestinationSidLength < len) return Fail(ERROR_INSUFFICIENT_BUFFER);
    memmove(pDestinationSid, pSourceSid, len);
    return TRUE;
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                              DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2, DWORD nSubAuthority3,
                              DWORD nSubAuthority4, DWORD nSubAuthority5, DWORD nSubAuthority6, DWORD nSubAuthority7,
                              PSID* pSid) {
    if (Faulted("AllocateAndInitializeSid")) return FALSE;
    if (!pIdentifierAuthority || !pSid || nSubAuthorityCount > 8) return Fail(ERROR_INVALID_PARAMETER);
    const DWORD subs[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                           nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
    uint8_t* s = (uint8_t*)LocalAlloc(LPTR, GetSidLengthRequired(nSubAuthorityCount));
    if (!s) return FALSE;
    InitializeSid(s, pIdentifierAuthority, nSubAuthorityCount);
    memcpy(s + 8, subs, 4 * (size_t)nSubAuthorityCount);
    *pSid = s;
    return TRUE;
}

PVOID FreeSid(PSID pSid) {
    LocalFree(pSid);
    return nullptr;
}

// ---- ACLs ----

BOOL IsValidAcl(PACL pAcl) {
    if (!pAcl) return FALSE;
    return AclCheck((const uint8_t*)pAcl, pAcl->AclSize) ? TRUE : FALSE;
}

BOOL InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
    // RtlCreateAcl's order: too small is a short buffer, too large for the ACL's 16-bit size
    // or an unknown revision a bad parameter.
    if (nAclLength < sizeof(ACL)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (nAclLength > 0xFFFF || dwAclRevision < ACL_REVISION || dwAclRevision > ACL_REVISION_DS)
        return Fail(ERROR_INVALID_PARAMETER);
    memset(pAcl, 0, sizeof(ACL));
    pAcl->AclRevision = (BYTE)dwAclRevision;
    pAcl->AclSize = (WORD)(nAclLength & ~3u);
    return TRUE;
}

BOOL GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce) {
    if (!IsValidAcl(pAcl) || dwAceIndex >= pAcl->AceCount) return Fail(ERROR_INVALID_PARAMETER);
    uint8_t* p = (uint8_t*)pAcl + sizeof(ACL);
    for (DWORD i = 0; i < dwAceIndex; ++i) p += ((ACE_HEADER*)p)->AceSize;
    *pAce = p;
    return TRUE;
}

// Bytes used by the ACEs of a valid ACL.
static DWORD AclBytesInUse(PACL pAcl) {
    uint8_t* p = (uint8_t*)pAcl + sizeof(ACL);
    for (WORD i = 0; i < pAcl->AceCount; ++i) p += ((ACE_HEADER*)p)->AceSize;
    return (DWORD)(p - (uint8_t*)pAcl);
}

BOOL GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                       ACL_INFORMATION_CLASS dwAclInformationClass) {
    if (!IsValidAcl(pAcl)) return Fail(ERROR_INVALID_ACL);
    if (dwAclInformationClass == AclRevisionInformation) {
        if (nAclInformationLength < sizeof(ACL_REVISION_INFORMATION)) return Fail(ERROR_INSUFFICIENT_BUFFER);
        ((ACL_REVISION_INFORMATION*)pAclInformation)->AclRevision = pAcl->AclRevision;
        return TRUE;
    }
    if (dwAclInformationClass == AclSizeInformation) {
        if (nAclInformationLength < sizeof(ACL_SIZE_INFORMATION)) return Fail(ERROR_INSUFFICIENT_BUFFER);
        ACL_SIZE_INFORMATION* info = (ACL_SIZE_INFORMATION*)pAclInformation;
        info->AceCount = pAcl->AceCount;
        info->AclBytesInUse = AclBytesInUse(pAcl);
        info->AclBytesFree = pAcl->AclSize - info->AclBytesInUse;
        return TRUE;
    }
    return Fail(ERROR_INVALID_PARAMETER);
}

// Appends an ACE of a plain SID type at the end of the ACL's used bytes.
static BOOL AddAce(PACL pAcl, DWORD revision, BYTE type, DWORD flags, DWORD mask, PSID pSid) {
    if (!IsValidAcl(pAcl)) return Fail(ERROR_INVALID_ACL);
    if (!IsValidSid(pSid)) return Fail(ERROR_INVALID_SID);
    if (flags & ~(DWORD)(VALID_INHERIT_FLAGS | SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG))
        return Fail(ERROR_INVALID_FLAGS);
    (void)revision;
    DWORD used = AclBytesInUse(pAcl);
    DWORD sidLen = GetLengthSid(pSid);
    DWORD aceSize = (8 + sidLen + 3) & ~3u;
    if (used + aceSize > pAcl->AclSize) return Fail(ERROR_ALLOTTED_SPACE_EXCEEDED);
    uint8_t* ace = (uint8_t*)pAcl + used;
    memset(ace, 0, aceSize);
    ace[0] = type;
    ace[1] = (BYTE)flags;
    ((ACE_HEADER*)ace)->AceSize = (WORD)aceSize;
    memcpy(ace + 4, &mask, 4);
    memcpy(ace + 8, pSid, sidLen);
    pAcl->AceCount++;
    return TRUE;
}

BOOL AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
    return AddAce(pAcl, dwAceRevision, ACCESS_ALLOWED_ACE_TYPE, 0, AccessMask, pSid);
}
BOOL AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid) {
    return AddAce(pAcl, dwAceRevision, ACCESS_ALLOWED_ACE_TYPE, AceFlags, AccessMask, pSid);
}
BOOL AddAccessDeniedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
    return AddAce(pAcl, dwAceRevision, ACCESS_DENIED_ACE_TYPE, 0, AccessMask, pSid);
}
BOOL AddAccessDeniedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid) {
    return AddAce(pAcl, dwAceRevision, ACCESS_DENIED_ACE_TYPE, AceFlags, AccessMask, pSid);
}
BOOL AddAuditAccessAce(PACL pAcl, DWORD dwAceRevision, DWORD dwAccessMask, PSID pSid, BOOL bAuditSuccess,
                       BOOL bAuditFailure) {
    DWORD flags = (bAuditSuccess ? SUCCESSFUL_ACCESS_ACE_FLAG : 0) | (bAuditFailure ? FAILED_ACCESS_ACE_FLAG : 0);
    return AddAce(pAcl, dwAceRevision, SYSTEM_AUDIT_ACE_TYPE, flags, dwAccessMask, pSid);
}

// ---- Security descriptors ----

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION);
    memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    ((SECURITY_DESCRIPTOR*)pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    SdView v;
    if (!pSecurityDescriptor || SdParseAny(pSecurityDescriptor, &v) != ERROR_SUCCESS)
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    return TRUE;
}

DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    SdView v;
    if (SdParseAny(pSecurityDescriptor, &v) != ERROR_SUCCESS) return 0;
    if (v.control & SE_SELF_RELATIVE) {
        // The end of the furthest part.
        const uint8_t* base = (const uint8_t*)pSecurityDescriptor;
        size_t end = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
        auto reach = [&](const uint8_t* p, size_t len) {
            if (p && (size_t)(p - base) + len > end) end = (size_t)(p - base) + len;
        };
        reach(v.owner, v.ownerLen), reach(v.group, v.groupLen), reach(v.sacl, v.saclLen), reach(v.dacl, v.daclLen);
        return (DWORD)end;
    }
    // An absolute descriptor: the size its self-relative form would have (as Windows reports).
    return (DWORD)SdBuild(v).size();
}

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSECURITY_DESCRIPTOR_CONTROL pControl,
                                  LPDWORD lpdwRevision) {
    const SECURITY_DESCRIPTOR* sd = (const SECURITY_DESCRIPTOR*)pSecurityDescriptor;
    *lpdwRevision = sd->Revision;
    *pControl = sd->Control;
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION);
    return TRUE;
}

// Getters work on either form; the pointers they give point into the descriptor.
static bool ViewOf(PSECURITY_DESCRIPTOR sd, SdView* v) {
    if (!sd || SdParseAny(sd, v) != ERROR_SUCCESS) return Fail(ERROR_INVALID_SECURITY_DESCR, false);
    return true;
}

BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pOwner, LPBOOL lpbOwnerDefaulted) {
    SdView v;
    if (!ViewOf(pSecurityDescriptor, &v)) return FALSE;
    *pOwner = (PSID)v.owner;
    *lpbOwnerDefaulted = (v.control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
    return TRUE;
}

BOOL GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pGroup, LPBOOL lpbGroupDefaulted) {
    SdView v;
    if (!ViewOf(pSecurityDescriptor, &v)) return FALSE;
    *pGroup = (PSID)v.group;
    *lpbGroupDefaulted = (v.control & SE_GROUP_DEFAULTED) ? TRUE : FALSE;
    return TRUE;
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL* pDacl,
                               LPBOOL lpbDaclDefaulted) {
    SdView v;
    if (!ViewOf(pSecurityDescriptor, &v)) return FALSE;
    *lpbDaclPresent = (v.control & SE_DACL_PRESENT) ? TRUE : FALSE;
    if (*lpbDaclPresent) {
        *pDacl = (PACL)v.dacl;
        *lpbDaclDefaulted = (v.control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    }
    return TRUE;
}

BOOL GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbSaclPresent, PACL* pSacl,
                               LPBOOL lpbSaclDefaulted) {
    SdView v;
    if (!ViewOf(pSecurityDescriptor, &v)) return FALSE;
    *lpbSaclPresent = (v.control & SE_SACL_PRESENT) ? TRUE : FALSE;
    if (*lpbSaclPresent) {
        *pSacl = (PACL)v.sacl;
        *lpbSaclDefaulted = (v.control & SE_SACL_DEFAULTED) ? TRUE : FALSE;
    }
    return TRUE;
}

// Setters need the absolute form, as on Windows.
static SECURITY_DESCRIPTOR* AbsoluteOf(PSECURITY_DESCRIPTOR p) {
    SECURITY_DESCRIPTOR* sd = (SECURITY_DESCRIPTOR*)p;
    if (!sd || sd->Revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION, nullptr);
    if (sd->Control & SE_SELF_RELATIVE) return Fail(ERROR_INVALID_SECURITY_DESCR, nullptr);
    return sd;
}

BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner, BOOL bOwnerDefaulted) {
    SECURITY_DESCRIPTOR* sd = AbsoluteOf(pSecurityDescriptor);
    if (!sd) return FALSE;
    sd->Owner = pOwner;
    sd->Control = (WORD)((sd->Control & ~SE_OWNER_DEFAULTED) | (bOwnerDefaulted ? SE_OWNER_DEFAULTED : 0));
    return TRUE;
}

BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup, BOOL bGroupDefaulted) {
    SECURITY_DESCRIPTOR* sd = AbsoluteOf(pSecurityDescriptor);
    if (!sd) return FALSE;
    sd->Group = pGroup;
    sd->Control = (WORD)((sd->Control & ~SE_GROUP_DEFAULTED) | (bGroupDefaulted ? SE_GROUP_DEFAULTED : 0));
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                               BOOL bDaclDefaulted) {
    SECURITY_DESCRIPTOR* sd = AbsoluteOf(pSecurityDescriptor);
    if (!sd) return FALSE;
    WORD c = (WORD)(sd->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (bDaclPresent) {
        c |= SE_DACL_PRESENT;
        if (bDaclDefaulted) c |= SE_DACL_DEFAULTED;
        sd->Dacl = pDacl;
    } else {
        sd->Dacl = nullptr;
    }
    sd->Control = c;
    return TRUE;
}

BOOL SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bSaclPresent, PACL pSacl,
                               BOOL bSaclDefaulted) {
    SECURITY_DESCRIPTOR* sd = AbsoluteOf(pSecurityDescriptor);
    if (!sd) return FALSE;
    WORD c = (WORD)(sd->Control & ~(SE_SACL_PRESENT | SE_SACL_DEFAULTED));
    if (bSaclPresent) {
        c |= SE_SACL_PRESENT;
        if (bSaclDefaulted) c |= SE_SACL_DEFAULTED;
        sd->Sacl = pSacl;
    } else {
        sd->Sacl = nullptr;
    }
    sd->Control = c;
    return TRUE;
}

BOOL MakeSelfRelativeSD(PSECURITY_DESCRIPTOR pAbsoluteSecurityDescriptor,
                        PSECURITY_DESCRIPTOR pSelfRelativeSecurityDescriptor, LPDWORD lpdwBufferLength) {
    const SECURITY_DESCRIPTOR* abs = (const SECURITY_DESCRIPTOR*)pAbsoluteSecurityDescriptor;
    if (!abs || !lpdwBufferLength || (abs->Control & SE_SELF_RELATIVE)) return Fail(ERROR_BAD_DESCRIPTOR_FORMAT);
    SdView v;
    if (SdParseAny(abs, &v) != ERROR_SUCCESS) return Fail(ERROR_INVALID_SECURITY_DESCR);
    std::vector<uint8_t> rel = SdBuild(v);
    if (*lpdwBufferLength < rel.size() || !pSelfRelativeSecurityDescriptor) {
        *lpdwBufferLength = (DWORD)rel.size();
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(pSelfRelativeSecurityDescriptor, rel.data(), rel.size());
    *lpdwBufferLength = (DWORD)rel.size();
    return TRUE;
}
