// Registry conformance: hive files. RegSaveKeyA (backup privilege, never over
// an existing file), a save + load + unload round trip with the sharing rule,
// and RegRestoreKeyA over a key.
#include "conformance/registry_cases.h"

static const char* kLoadName = "TessivConformanceLoad";

static void FillSource(HKEY key) {
    HKEY sub;
    RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
    RegSetValueExA(sub, "inner", 0, REG_SZ, (const BYTE*)"deep", 5);
    RegCloseKey(sub);
    RegSetValueExA(key, "top", 0, REG_DWORD, (const BYTE*)"\x2a\0\0\0", 4);
}

CONFORMANCE_TEST(registry_save_refuses_existing_file) {
    HKEY key = CaseKey("save");
    FillSource(key);
    std::string file = ScratchFile("tessiv_save.hiv");
    SetPrivilege(SE_BACKUP_NAME, FALSE);
    LONG err = RegSaveKeyA(key, file.c_str(), nullptr);
    ok(err == ERROR_PRIVILEGE_NOT_HELD, "save without the backup privilege: %ld", (long)err);
    SetPrivilege(SE_BACKUP_NAME, TRUE);
    if (err == ERROR_SUCCESS) file = ScratchFile("tessiv_save2.hiv");
    err = RegSaveKeyA(key, file.c_str(), nullptr);
    ok(err == ERROR_SUCCESS, "save: %ld", (long)err);
    err = RegSaveKeyA(key, file.c_str(), nullptr);
    todo_wine("Wine overwrites an existing file") { ok(err == ERROR_ALREADY_EXISTS, "save over the file: %ld", (long)err); }
    err = RegSaveKeyA(key, "", nullptr);
    ok(err == ERROR_INVALID_PARAMETER, "save to an empty name: %ld", (long)err);
    SetPrivilege(SE_BACKUP_NAME, FALSE);
    EndCase(key, "save");
}

CONFORMANCE_TEST(registry_save_load_unload) {
    HKEY key = CaseKey("load");
    FillSource(key);
    std::string file = ScratchFile("tessiv_load.hiv");
    SetPrivilege(SE_BACKUP_NAME, TRUE);
    SetPrivilege(SE_RESTORE_NAME, TRUE);
    ok(RegSaveKeyA(key, file.c_str(), nullptr) == ERROR_SUCCESS, "save");
    // Wine saved its own format above, and loads that.
    LONG err = RegLoadKeyA(HKEY_USERS, kLoadName, file.c_str());
    ok(err == ERROR_SUCCESS, "load: %ld", (long)err);
    if (err == ERROR_SUCCESS) {
        HKEY sub;
        err = RegOpenKeyExA(HKEY_USERS, (std::string(kLoadName) + "\\Sub").c_str(), 0, KEY_READ, &sub);
        ok(err == ERROR_SUCCESS, "open in the loaded hive: %ld", (long)err);
        char text[16] = "";
        DWORD size = sizeof text;
        err = RegQueryValueExA(sub, "inner", nullptr, nullptr, (BYTE*)text, &size);
        ok(err == ERROR_SUCCESS && strcmp(text, "deep") == 0, "value in the loaded hive: %ld '%s'", (long)err, text);
        RegCloseKey(sub);
        err = RegLoadKeyA(HKEY_USERS, "TessivConformanceAgain", file.c_str());
        todo_wine("Wine loads a loaded file a second time") {
            ok(err == ERROR_SHARING_VIOLATION, "loading the same file again: %ld", (long)err);
        }
        if (err == ERROR_SUCCESS) RegUnLoadKeyA(HKEY_USERS, "TessivConformanceAgain");
        err = RegUnLoadKeyA(HKEY_USERS, kLoadName);
        ok(err == ERROR_SUCCESS, "unload: %ld", (long)err);
        err = RegOpenKeyExA(HKEY_USERS, kLoadName, 0, KEY_READ, &sub);
        ok(err == ERROR_FILE_NOT_FOUND, "gone after unload: %ld", (long)err);
    }
    err = RegLoadKeyA(HKEY_USERS, kLoadName, ScratchFile("tessiv_none.hiv").c_str());
    ok(err == ERROR_FILE_NOT_FOUND, "load a missing file: %ld", (long)err);
    SetPrivilege(SE_BACKUP_NAME, FALSE);
    SetPrivilege(SE_RESTORE_NAME, FALSE);
    EndCase(key, "load");
}

CONFORMANCE_TEST(registry_restore_over_a_key) {
    HKEY source = CaseKey("restoresrc");
    FillSource(source);
    std::string file = ScratchFile("tessiv_restore.hiv");
    SetPrivilege(SE_BACKUP_NAME, TRUE);
    SetPrivilege(SE_RESTORE_NAME, TRUE);
    ok(RegSaveKeyA(source, file.c_str(), nullptr) == ERROR_SUCCESS, "save the source");
    HKEY target = CaseKey("restoredst");
    HKEY old;
    RegCreateKeyExA(target, "Old", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &old, nullptr);
    RegCloseKey(old);
    RegSetValueExA(target, "old", 0, REG_SZ, (const BYTE*)"x", 2);
    LONG err = RegRestoreKeyA(target, file.c_str(), 0);
    ok(err == ERROR_SUCCESS, "restore: %ld", (long)err);
    DWORD value = 0, size = sizeof value;
    err = RegQueryValueExA(target, "top", nullptr, nullptr, (BYTE*)&value, &size);
    todo_wine("Wine's RegRestoreKeyA does nothing") {
        ok(err == ERROR_SUCCESS && value == 42, "the file's value: %ld %lu", (long)err, (unsigned long)value);
        ok(RegOpenKeyExA(target, "Old", 0, KEY_READ, &old) == ERROR_FILE_NOT_FOUND, "the old subkey is gone");
        ok(RegQueryValueExA(target, "old", nullptr, nullptr, nullptr, nullptr) == ERROR_FILE_NOT_FOUND, "the old value is gone");
    }
    ok(RegRestoreKeyA(target, "", 0) == ERROR_INVALID_PARAMETER, "restore from an empty name");
    SetPrivilege(SE_BACKUP_NAME, FALSE);
    SetPrivilege(SE_RESTORE_NAME, FALSE);
    EndCase(target, "restoredst");
    EndCase(source, "restoresrc");
}
