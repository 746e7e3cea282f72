// Conformance of generic rights in stored descriptors: an entry that applies to the object
// reads back with the object type's specific rights (files 0x1F01FF, keys KEY_ALL_ACCESS for
// GENERIC_ALL), an inherit-only entry keeps its generic bits for the children.
#include <stdio.h>
#include <string.h>

#include "conformance/registry_cases.h"

namespace {

// A DACL of three entries for Everyone: GENERIC_ALL on the object, GENERIC_READ inherited
// by containers and applying here, GENERIC_ALL inherit-only.
PACL GenericDacl(DWORD* buf, DWORD size, PSID everyone) {
    PACL acl = (PACL)buf;
    InitializeAcl(acl, size, ACL_REVISION);
    AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, everyone);
    AddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, GENERIC_READ, everyone);
    AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, GENERIC_ALL,
                          everyone);
    return acl;
}

DWORD MaskOf(PACL acl, DWORD index) {
    ACCESS_ALLOWED_ACE* ace = NULL;
    if (!acl || !GetAce(acl, index, (LPVOID*)&ace)) return 0xFFFFFFFF;
    return ace->Mask;
}

// A check that Wine fails where differs is set (marked with the reason there).
#define CHECK_WINE(differs, reason, cond, ...) \
    do {                                       \
        if (differs) {                         \
            todo_wine(reason) ok(cond, __VA_ARGS__); \
        } else {                               \
            ok(cond, __VA_ARGS__);             \
        }                                      \
    } while (0)

// Where Wine stores the three entries otherwise than Windows: bit 0 the GENERIC_ALL entry,
// bit 1 the inheritable one, bit 2 the inherit-only one, bit 3 the whole list.
enum { kWineAll = 1, kWineInheritable = 2, kWineInheritOnly = 4, kWineList = 8 };
const char* const kWineReason = "Wine keeps generic rights as given, or lays the entries out otherwise";

// The masks of the three entries as the object's DACL holds them after the write.
void CheckMasks(PACL dacl, DWORD all, DWORD read, const char* what, int wine) {
    bool three = dacl && dacl->AceCount >= 3;
    CHECK_WINE(wine & kWineList, kWineReason, three, "%s: %u entries", what, dacl ? dacl->AceCount : 0);
    if (!three) return;
    CHECK_WINE(wine & kWineAll, kWineReason, MaskOf(dacl, 0) == all, "%s: GENERIC_ALL reads back as %08lx, expected %08lx",
               what, (unsigned long)MaskOf(dacl, 0), (unsigned long)all);
    CHECK_WINE(wine & kWineInheritable, kWineReason, MaskOf(dacl, 1) == read,
               "%s: inheritable GENERIC_READ reads back as %08lx, expected %08lx", what, (unsigned long)MaskOf(dacl, 1),
               (unsigned long)read);
    CHECK_WINE(wine & kWineInheritOnly, kWineReason, MaskOf(dacl, 2) == GENERIC_ALL,
               "%s: the inherit-only entry keeps GENERIC_ALL: %08lx", what, (unsigned long)MaskOf(dacl, 2));
}

const DWORD kFileAll = 0x001F01FF, kFileRead = 0x00120089;

}  // namespace

CONFORMANCE_TEST(security_generic_rights_files) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = NULL;
    AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &everyone);
    DWORD aclBuf[64];
    PACL acl = GenericDacl(aclBuf, sizeof aclBuf, everyone);
    std::string dir = ScratchFile("tessiv-generic");
    RemoveDirectoryA(dir.c_str());
    // CreateDirectoryA with a descriptor.
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    ok(CreateDirectoryA(dir.c_str(), &sa), "CreateDirectoryA with a descriptor: %lu", (unsigned long)GetLastError());
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR got = NULL;
    DWORD err = GetNamedSecurityInfoA(dir.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &got);
    ok(err == ERROR_SUCCESS, "read back: %lu", (unsigned long)err);
    if (err == ERROR_SUCCESS) CheckMasks(dacl, kFileAll, kFileRead, "CreateDirectoryA", kWineInheritable | kWineInheritOnly);
    if (got) LocalFree(got);
    // SetNamedSecurityInfoA on a file, protected so that nothing is inherited beside it.
    std::string file = dir + "\\file.txt";
    FILE* f = fopen(file.c_str(), "w");
    ok(f != NULL, "a file in it");
    if (f) fclose(f);
    err = SetNamedSecurityInfoA((LPSTR)file.c_str(), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL, NULL, acl, NULL);
    ok(err == ERROR_SUCCESS, "SetNamedSecurityInfoA: %lu", (unsigned long)err);
    got = NULL;
    err = GetNamedSecurityInfoA(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &got);
    ok(err == ERROR_SUCCESS, "read back: %lu", (unsigned long)err);
    if (err == ERROR_SUCCESS) CheckMasks(dacl, kFileAll, kFileRead, "SetNamedSecurityInfoA", kWineInheritable | kWineInheritOnly);
    if (got) LocalFree(got);
    // SetEntriesInAclA keeps what it is given; the mapping happens when the list is written.
    char everyoneName[] = "Everyone";
    EXPLICIT_ACCESS_A ea;
    BuildExplicitAccessWithNameA(&ea, everyoneName, GENERIC_ALL, GRANT_ACCESS, NO_INHERITANCE);
    PACL merged = NULL;
    err = SetEntriesInAclA(1, &ea, NULL, &merged);
    ok(err == ERROR_SUCCESS && merged && MaskOf(merged, 0) == GENERIC_ALL, "SetEntriesInAclA: %lu, mask %08lx",
       (unsigned long)err, (unsigned long)MaskOf(merged, 0));
    err = SetNamedSecurityInfoA((LPSTR)file.c_str(), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL, NULL, merged, NULL);
    got = NULL;
    if (err == ERROR_SUCCESS)
        err = GetNamedSecurityInfoA(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &got);
    ok(err == ERROR_SUCCESS && MaskOf(dacl, 0) == kFileAll, "the merged list written: %lu, mask %08lx",
       (unsigned long)err, (unsigned long)MaskOf(dacl, 0));
    if (got) LocalFree(got);
    if (merged) LocalFree(merged);
    DeleteFileA(file.c_str());
    RemoveDirectoryA(dir.c_str());
    FreeSid(everyone);
}

CONFORMANCE_TEST(security_generic_rights_keys) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = NULL;
    AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &everyone);
    DWORD aclBuf[64];
    PACL acl = GenericDacl(aclBuf, sizeof aclBuf, everyone);
    std::string path;
    HKEY key = CaseKey("generic", &path);
    // RegCreateKeyExA with a descriptor.
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    HKEY child = NULL;
    LONG rc = RegCreateKeyExA(key, "created", 0, NULL, 0, KEY_ALL_ACCESS, &sa, &child, NULL);
    ok(rc == ERROR_SUCCESS, "RegCreateKeyExA with a descriptor: %ld", (long)rc);
    if (child) RegCloseKey(child);
    std::string name = "MACHINE\\" + path + "\\created";
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR got = NULL;
    DWORD err = GetNamedSecurityInfoA(name.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &got);
    ok(err == ERROR_SUCCESS, "read back: %lu", (unsigned long)err);
    if (err == ERROR_SUCCESS) CheckMasks(dacl, KEY_ALL_ACCESS, KEY_READ, "RegCreateKeyExA", kWineList);
    if (got) LocalFree(got);
    // SetNamedSecurityInfoA and RegSetKeySecurity on the case key itself.
    name = "MACHINE\\" + path;
    err = SetNamedSecurityInfoA((LPSTR)name.c_str(), SE_REGISTRY_KEY,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL, NULL, acl, NULL);
    ok(err == ERROR_SUCCESS, "SetNamedSecurityInfoA: %lu", (unsigned long)err);
    got = NULL;
    err = GetNamedSecurityInfoA(name.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &got);
    if (err == ERROR_SUCCESS) CheckMasks(dacl, KEY_ALL_ACCESS, KEY_READ, "SetNamedSecurityInfoA", kWineAll | kWineInheritable);
    if (got) LocalFree(got);
    rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    ok(rc == ERROR_SUCCESS, "RegSetKeySecurity: %ld", (long)rc);
    got = NULL;
    err = GetNamedSecurityInfoA(name.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &got);
    if (err == ERROR_SUCCESS) CheckMasks(dacl, KEY_ALL_ACCESS, KEY_READ, "RegSetKeySecurity", kWineAll | kWineInheritable);
    if (got) LocalFree(got);
    EndCase(key, "generic");
    FreeSid(everyone);
}
