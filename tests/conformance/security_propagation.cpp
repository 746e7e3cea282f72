// Conformance of inheritance propagation: on Windows 2000 and later SetNamedSecurityInfoA on a
// folder or key recomputes the inherited entries of everything below it (each object keeps
// its own entries first), down to the objects whose DACL is protected; NT 4.0 writes only the
// object named.
#include <stdio.h>
#include <string.h>

#include "conformance/registry_cases.h"

namespace {

bool Nt5(void) {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwMajorVersion >= 5;
}

struct Sids {
    PSID network = NULL, users = NULL, admins = NULL;  // NETWORK: in no default list
    Sids() {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        AllocateAndInitializeSid(&nt, 1, 2, 0, 0, 0, 0, 0, 0, 0, &network);
        AllocateAndInitializeSid(&nt, 2, 32, 545, 0, 0, 0, 0, 0, 0, &users);
        AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &admins);
    }
    ~Sids() {
        FreeSid(network);
        FreeSid(users);
        FreeSid(admins);
    }
};

// The flags and mask of the first entry of the object's DACL for sid; false when it has none.
bool EntryFor(const char* name, SE_OBJECT_TYPE type, PSID sid, BYTE* flags, DWORD* mask, DWORD* index = NULL) {
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR sd = NULL;
    if (GetNamedSecurityInfoA(name, type, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &sd) != ERROR_SUCCESS)
        return false;
    bool found = false;
    for (WORD i = 0; dacl && i < dacl->AceCount && !found; ++i) {
        ACCESS_ALLOWED_ACE* ace = NULL;
        if (GetAce(dacl, i, (LPVOID*)&ace) && EqualSid(&ace->SidStart, sid)) {
            *flags = ace->Header.AceFlags;
            *mask = ace->Mask;
            if (index) *index = i;
            found = true;
        }
    }
    LocalFree(sd);
    return found;
}

// Sets a DACL of one or two allow entries by name.
DWORD SetDacl(const char* name, SE_OBJECT_TYPE type, bool protect, PSID a, DWORD aMask, BYTE aFlags, PSID b = NULL,
              DWORD bMask = 0, BYTE bFlags = 0) {
    DWORD buf[64];
    PACL acl = (PACL)buf;
    InitializeAcl(acl, sizeof buf, ACL_REVISION);
    AddAccessAllowedAceEx(acl, ACL_REVISION, aFlags, aMask, a);
    if (b) AddAccessAllowedAceEx(acl, ACL_REVISION, bFlags, bMask, b);
    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION | (protect ? PROTECTED_DACL_SECURITY_INFORMATION : 0);
    return SetNamedSecurityInfoA((LPSTR)name, type, info, NULL, NULL, acl, NULL);
}

const BYTE kOiCi = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

}  // namespace

CONFORMANCE_TEST(security_propagation_files) {
    bool nt5 = Nt5();
    Sids sids;
    std::string top = ScratchFile("tessiv-propagate");
    std::string mid = top + "\\mid", deep = mid + "\\deep.txt", side = top + "\\side.txt", shut = top + "\\shut",
                inShut = shut + "\\in.txt";
    DeleteFileA(deep.c_str());
    DeleteFileA(side.c_str());
    DeleteFileA(inShut.c_str());
    RemoveDirectoryA(mid.c_str());
    RemoveDirectoryA(shut.c_str());
    RemoveDirectoryA(top.c_str());
    ok(CreateDirectoryA(top.c_str(), NULL) && CreateDirectoryA(mid.c_str(), NULL) && CreateDirectoryA(shut.c_str(), NULL),
       "folders");
    for (const std::string* f : {&deep, &side, &inShut}) {
        FILE* fp = fopen(f->c_str(), "w");
        ok(fp != NULL, "file %s", f->c_str());
        if (fp) fclose(fp);
    }
    // A file with an entry of its own, and a folder closed to inheritance.
    ok(SetDacl(side.c_str(), SE_FILE_OBJECT, false, sids.users, 0x001200A9, 0) == ERROR_SUCCESS, "side's own entry");
    ok(SetDacl(shut.c_str(), SE_FILE_OBJECT, true, sids.admins, 0x001F01FF, kOiCi) == ERROR_SUCCESS, "shut protected");
    DWORD err = SetDacl(top.c_str(), SE_FILE_OBJECT, true, sids.network, 0x001F01FF, kOiCi, sids.admins, 0x001F01FF, kOiCi);
    ok(err == ERROR_SUCCESS, "the top folder's DACL: %lu", (unsigned long)err);
    BYTE flags = 0;
    DWORD mask = 0, index = 0;
    bool deepHas = EntryFor(deep.c_str(), SE_FILE_OBJECT, sids.network, &flags, &mask);
    if (nt5) {
        todo_wine("Wine does not propagate inheritable entries to existing children") {
            ok(deepHas && flags == INHERITED_ACE && mask == 0x001F01FF, "two levels down: %d, flags %02x, mask %08lx",
               deepHas, flags, (unsigned long)mask);
            bool midHas = EntryFor(mid.c_str(), SE_FILE_OBJECT, sids.network, &flags, &mask);
            ok(midHas && flags == (INHERITED_ACE | kOiCi) && mask == 0x001F01FF, "the folder between: flags %02x", flags);
            bool sideHas = EntryFor(side.c_str(), SE_FILE_OBJECT, sids.network, &flags, &mask, &index);
            ok(sideHas && index == 1, "after the file's own entry: index %lu", (unsigned long)index);
            bool own = EntryFor(side.c_str(), SE_FILE_OBJECT, sids.users, &flags, &mask, &index);
            ok(own && index == 0 && flags == 0 && mask == 0x001200A9, "the file's own entry stays first");
        }
    } else {
        ok(!deepHas, "NT 4.0 writes only the folder named");
    }
    ok(!EntryFor(inShut.c_str(), SE_FILE_OBJECT, sids.network, &flags, &mask), "nothing passes a protected folder");
    ok(!EntryFor(shut.c_str(), SE_FILE_OBJECT, sids.network, &flags, &mask), "the protected folder keeps its list");
    // Taking the entry away from the top takes the inherited copies with it.
    err = SetDacl(top.c_str(), SE_FILE_OBJECT, true, sids.admins, 0x001F01FF, kOiCi);
    ok(err == ERROR_SUCCESS && !EntryFor(deep.c_str(), SE_FILE_OBJECT, sids.network, &flags, &mask), "removed below too");
    DeleteFileA(deep.c_str());
    DeleteFileA(side.c_str());
    DeleteFileA(inShut.c_str());
    RemoveDirectoryA(mid.c_str());
    RemoveDirectoryA(shut.c_str());
    RemoveDirectoryA(top.c_str());
}

CONFORMANCE_TEST(security_propagation_keys) {
    bool nt5 = Nt5();
    Sids sids;
    std::string path;
    HKEY key = CaseKey("propagate", &path);
    HKEY sub = NULL;
    RegCreateKeyExA(key, "child\\grandchild", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &sub, NULL);
    if (sub) RegCloseKey(sub);
    std::string top = "MACHINE\\" + path, grand = top + "\\child\\grandchild";
    DWORD err = SetDacl(top.c_str(), SE_REGISTRY_KEY, true, sids.network, KEY_READ, CONTAINER_INHERIT_ACE, sids.admins,
                        KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE);
    ok(err == ERROR_SUCCESS, "the key's DACL: %lu", (unsigned long)err);
    BYTE flags = 0;
    DWORD mask = 0;
    bool has = EntryFor(grand.c_str(), SE_REGISTRY_KEY, sids.network, &flags, &mask);
    if (nt5) {
        todo_wine("Wine does not propagate inheritable entries to existing subkeys") {
            ok(has && flags == (INHERITED_ACE | CONTAINER_INHERIT_ACE) && mask == KEY_READ,
               "two levels down: %d, flags %02x, mask %08lx", has, flags, (unsigned long)mask);
        }
    } else {
        ok(!has, "NT 4.0 writes only the key named");
    }
    EndCase(key, "propagate");
}
