// Keys and values beyond what Wine can check: CurrentControlSet as a volatile
// symbolic link, handles of deleted keys, ANSI conversion of names and strings,
// the roots, and fault injection on every kind of call.
#include "ntsim/registry/boot.h"
#include "registry_fixture.h"

namespace regtest {
namespace {

class RegistryKeys : public RegistryTest {};

TEST_F(RegistryKeys, CurrentControlSetIsAVolatileLinkToTheSelectedSet) {
    HKEY key;
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName", 0,
                               KEY_READ, &key));
    char name[32];
    DWORD size = sizeof name;
    ASSERT_EQ(0, RegQueryValueExA(key, "ComputerName", nullptr, nullptr, (BYTE*)name, &size));
    EXPECT_STREQ("NTWKS01", name);
    RegCloseKey(key);
    // A value written through the link lands in ControlSet001.
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Probe", 0, nullptr, 0,
                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\Probe", 0, KEY_READ, &key));
    RegCloseKey(key);
    // Opened as a link: its REG_LINK value, and no unnamed value (a link has none on NT).
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", REG_OPTION_OPEN_LINK, KEY_READ, &key));
    DWORD type = 0;
    BYTE target[128];
    size = sizeof target;
    ASSERT_EQ(0, RegQueryValueExA(key, "SymbolicLinkValue", nullptr, &type, target, &size));
    EXPECT_EQ((DWORD)REG_LINK, type);
    EXPECT_EQ(Wide("\\Registry\\Machine\\SYSTEM\\ControlSet001", false), Bytes(target, target + size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, nullptr));
    RegCloseKey(key);
    // Opened normally the key is the target: its unnamed value is the target's.
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_READ, &key));
    DWORD subkeys = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(2u, subkeys);  // Control, Services
    RegCloseKey(key);
    // Listed under SYSTEM, never written to the hive file.
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_ALL_ACCESS, &key));
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char n[64];
        DWORD len = sizeof n;
        if (RegEnumKeyExA(key, i, n, &len, nullptr, nullptr, nullptr, nullptr)) break;
        names.push_back(n);
    }
    EXPECT_EQ((std::vector<std::string>{"ControlSet001", "CurrentControlSet", "Select"}), names);
    RegSetValueExA(key, "dirty", 0, REG_DWORD, (const BYTE*)"\0\0\0\0", 4);
    ASSERT_EQ(0, RegFlushKey(key));
    RegCloseKey(key);
    ntsim::Hive hive;
    ASSERT_EQ(0u, ntsim::RegfLoadFile(HiveFile("SYSTEM"), &hive));
    EXPECT_EQ(nullptr, hive.root->FindSubkey("CurrentControlSet"));
    // Volatile keys refuse non-volatile children.
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, nullptr, REG_OPTION_OPEN_LINK, KEY_READ,
                              nullptr, &key, nullptr) == 0
                  ? RegCreateKeyExA(key, "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
                  : -1);
}

TEST_F(RegistryKeys, AHandleOfADeletedKeyReportsKeyDeleted) {
    HKEY parent, child, again;
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed\\Leaf", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr));
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed", 0, KEY_ALL_ACCESS, &parent));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed"));  // it has a subkey
    EXPECT_EQ(0, RegDeleteKeyA(parent, "Leaf"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(child, "v", 0, REG_SZ, (const BYTE*)"", 1));
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExA(child, nullptr, 0, KEY_READ, &again));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryInfoKeyA(child, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, RegCloseKey(child));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(child));
    // An empty name deletes the key of the handle itself.
    EXPECT_EQ(0, RegDeleteKeyA(parent, ""));
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyExA(parent, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(parent);
    // Hive roots and the roots above them are never deleted.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "NEWHIVE", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, nullptr));
}

TEST_F(RegistryKeys, AnsiNamesAndStringsAreWindows1252InTheHive) {
    HKEY key;
    // "Café €" in Windows-1252.
    const char name[] = "Caf\xe9 \x80";
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ansi", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(0, RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)name, sizeof name));
    const BYTE multi[] = "one\0\x80two\0";
    ASSERT_EQ(0, RegSetValueExA(key, "multi", 0, REG_MULTI_SZ, multi, sizeof multi));
    ASSERT_EQ(0, RegFlushKey(key));
    RegCloseKey(key);
    ntsim::Hive hive;
    ASSERT_EQ(0u, ntsim::RegfLoadFile(HiveFile("SOFTWARE"), &hive));
    const ntsim::HiveKey* stored = hive.root->FindSubkey("Ansi");
    ASSERT_NE(nullptr, stored);
    const ntsim::HiveValue* v = stored->FindValue("Caf\xc3\xa9 \xe2\x82\xac");
    ASSERT_NE(nullptr, v);
    EXPECT_EQ(Wide("Caf\xc3\xa9 \xe2\x82\xac"), v->data);
    Bytes expectedMulti = Wide("one");
    Bytes two = Wide("\xe2\x82\xactwo");
    expectedMulti.insert(expectedMulti.end(), two.begin(), two.end());
    expectedMulti.push_back(0);
    expectedMulti.push_back(0);
    EXPECT_EQ(expectedMulti, stored->FindValue("multi")->data);
    // Sizes come back in ANSI bytes; lengths of RegQueryInfoKeyA in characters and stored bytes.
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ansi", 0, KEY_READ, &key));
    char buf[32];
    DWORD size = sizeof buf, type = 0;
    ASSERT_EQ(0, RegQueryValueExA(key, name, nullptr, &type, (BYTE*)buf, &size));
    EXPECT_EQ(sizeof name, size);
    EXPECT_STREQ(name, buf);
    DWORD maxName = 0, maxData = 0;
    ASSERT_EQ(0, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData, nullptr, nullptr));
    EXPECT_EQ(6u, maxName);
    EXPECT_EQ(2 * sizeof multi, maxData);
    RegCloseKey(key);
}

TEST_F(RegistryKeys, FaultsFailTheNamedCallForTheMatchingPathOnly) {
    ntsim::FaultAdd({"RegOpenKeyExA", ERROR_ACCESS_DENIED, 0, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft*", false});
    HKEY key = (HKEY)(uintptr_t)4;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT", 0, KEY_READ, &key));
    EXPECT_EQ(nullptr, key);
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key));
    // The path is the full key path, also when opened relative to a handle.
    HKEY sub;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(key, "Microsoft", 0, KEY_READ, &sub));
    RegCloseKey(key);
    ntsim::FaultClearAll();

    // The second create fails; the first key stays, the second is not made.
    ntsim::FaultAdd({"RegCreateKeyExA", ERROR_REGISTRY_IO_FAILED, 2, "", false});
    EXPECT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\F1", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    EXPECT_EQ(ERROR_REGISTRY_IO_FAILED,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\F2", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\F2", 0, KEY_READ, &key));
    ntsim::FaultClearAll();

    // File arguments are matched by the file path.
    EnablePrivilegeForTest("SeBackupPrivilege");
    ntsim::FaultAdd({"RegSaveKeyA", ERROR_DISK_FULL, 0, "*\\full.hiv", false});
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\F1", 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_DISK_FULL, RegSaveKeyA(key, "C:\\TEMP\\full.hiv", nullptr));
    EXPECT_FALSE(Exists(dir + "/drives/c/TEMP/full.hiv"));
    EXPECT_EQ(0, RegSaveKeyA(key, "C:\\TEMP\\fine.hiv", nullptr));
    RegCloseKey(key);
    ntsim::FaultClearAll();

    // Every registry call consults the rules under its own name.
    const ntsim::FaultRule rule = {"*", 1234, 0, "*\\F1*", false};
    ntsim::FaultAdd(rule);
    ntsim::SystemAccessScope system;  // no privilege checks in the way
    ASSERT_EQ(1234, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\F1", 0, KEY_ALL_ACCESS, &key));
    ntsim::FaultClearAll();
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\F1", 0, KEY_ALL_ACCESS, &key));
    ntsim::FaultAdd(rule);
    DWORD n = 8;
    char text[8];
    BYTE sd[8];
    EXPECT_EQ(1234, RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1234, RegSetValueExA(key, "x", 0, REG_SZ, (const BYTE*)"", 1));
    EXPECT_EQ(1234, RegDeleteValueA(key, "x"));
    EXPECT_EQ(1234, RegEnumKeyExA(key, 0, text, &n, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1234, RegEnumValueA(key, 0, text, &n, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1234, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1234, RegFlushKey(key));
    EXPECT_EQ(1234, RegGetKeySecurity(key, 4, sd, &n));
    EXPECT_EQ(1234, RegSetKeySecurity(key, 4, sd));
    EXPECT_EQ(1234, RegOpenKeyA(key, "Sub", &key));
    EXPECT_EQ(1234, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\F1"));
    EXPECT_EQ(1234, RegUnLoadKeyA(HKEY_USERS, "F1x"));
    EXPECT_EQ(1234, RegLoadKeyA(HKEY_USERS, "X", "C:\\F1.dat"));
    EXPECT_EQ(1234, RegRestoreKeyA(key, "C:\\F1.dat", 0));
    EXPECT_EQ(1234, RegReplaceKeyA(HKEY_USERS, "X", "C:\\F1.dat", "C:\\old"));
    EXPECT_EQ(1234, RegCloseKey(key));
    ntsim::FaultClearAll();
    EXPECT_EQ(0, RegCloseKey(key));
}

}  // namespace
}  // namespace regtest

namespace regtest {
namespace {

TEST_F(RegistryKeys, ExportPrintsKeysValuesAndLinks) {
    HKEY key;
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Export\\Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Export", 0, KEY_ALL_ACCESS, &key));
    RegSetValueExA(key, nullptr, 0, REG_SZ, (const BYTE*)"default \"q\"", 12);
    RegSetValueExA(key, "n", 0, REG_DWORD, (const BYTE*)"\x2a\0\0\0", 4);
    RegSetValueExA(key, "m", 0, REG_MULTI_SZ, (const BYTE*)"a\0b\0", 5);
    RegSetValueExA(key, "b", 0, REG_BINARY, (const BYTE*)"\x01\xff", 2);
    RegSetValueExA(key, "e", 0, REG_BINARY, nullptr, 0);
    RegCloseKey(key);
    std::string text;
    ASSERT_EQ(0u, ntsim::RegistryExportText("HKLM\\SOFTWARE\\Export", &text));
    EXPECT_EQ("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Export]\n"
              "@ = REG_SZ \"default \\\"q\\\"\"\n"
              "\"n\" = REG_DWORD 0x0000002a (42)\n"
              "\"m\" = REG_MULTI_SZ \"a\" \"b\"\n"
              "\"b\" = REG_BINARY 01 ff\n"
              "\"e\" = REG_BINARY (no data)\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Export\\Sub]\n\n",
              text);
    ASSERT_EQ(0u, ntsim::RegistryExportText("HKEY_LOCAL_MACHINE\\SYSTEM", &text));
    EXPECT_NE(std::string::npos, text.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet] volatile\n"
                                           "link to \"\\\\Registry\\\\Machine\\\\SYSTEM\\\\ControlSet001\"\n"));
    EXPECT_EQ((uint32_t)ERROR_FILE_NOT_FOUND, ntsim::RegistryExportText("HKLM\\SOFTWARE\\Nothing", &text));
    EXPECT_EQ((uint32_t)ERROR_BAD_PATHNAME, ntsim::RegistryExportText("HKEY_NOWHERE\\X", &text));
}

}  // namespace
}  // namespace regtest

namespace regtest {
namespace {

TEST_F(RegistryKeys, ACorruptDescriptorInAHiveIsAnErrorNeverACrash) {
    ntsim::ProcessDetach();
    ntsim::Hive hive;
    ASSERT_EQ(0u, ntsim::RegfLoadFile(HiveFile("SOFTWARE"), &hive));
    ntsim::HiveKey* bad = Path(hive.root.get(), "Corrupt");
    Bytes garbage = {1, 0, 0x04, 0x80, 0xff, 0xff, 0, 0, 200, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 2, 0, 0xff, 0x7f, 9, 0, 0, 0};
    bad->security = std::make_shared<const Bytes>(garbage);
    ASSERT_EQ(0u, ntsim::RegfSaveFile(hive, HiveFile("SOFTWARE")));
    Attach("Administrator");
    HKEY key = nullptr;
    LONG err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corrupt", 0, KEY_READ, &key);
    EXPECT_TRUE(err == ERROR_SUCCESS || err == ERROR_ACCESS_DENIED || err == ERROR_INVALID_SECURITY_DESCR) << err;
    if (!key) {
        EnablePrivilegeForTest(SE_BACKUP_NAME);
        EnablePrivilegeForTest(SE_RESTORE_NAME);
        ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corrupt", REG_OPTION_BACKUP_RESTORE, 0, &key));
    }
    DWORD size = 0;
    err = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    EXPECT_EQ(ERROR_INVALID_SECURITY_DESCR, err);
    // A new subkey inherits nothing from it and gets the default DACL; writing the key's DACL repairs it.
    HKEY child;
    EXPECT_EQ(0, RegCreateKeyExA(key, "Child", 0, nullptr, REG_OPTION_BACKUP_RESTORE, KEY_ALL_ACCESS, nullptr, &child, nullptr));
    RegCloseKey(child);
    Bytes repaired = Descriptor({}, {}, {{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, Administrators()}});
    EXPECT_EQ(0, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, repaired.data()));
    EXPECT_EQ(0, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size) == ERROR_INSUFFICIENT_BUFFER ? 0 : 1);
    RegCloseKey(key);
}

}  // namespace
}  // namespace regtest
