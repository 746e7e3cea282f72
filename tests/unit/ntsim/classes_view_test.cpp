// HKEY_CLASSES_ROOT on Windows 2000 and XP: the user's classes over the machine's, in the
// root's key information and in every key opened below it (lists, values, writes); NT 4.0
// shows the machine's classes only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/process.h"
#include "unit/fresh_machine.h"

namespace {

const char* const kLongClass = "TessivUserClassWithAVeryLongNameIndeed";

std::vector<std::string> Subkeys(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    return names;
}

// Each value as "name=data" (string data).
std::vector<std::string> Values(HKEY key) {
    std::vector<std::string> values;
    char name[256], data[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name, size = sizeof data;
        if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, (LPBYTE)data, &size) != ERROR_SUCCESS) break;
        values.push_back(std::string(name) + "=" + std::string(data));
    }
    return values;
}

struct Info {
    DWORD subkeys = 0, maxSubkey = 0, maxClass = 0, values = 0, maxValueName = 0, maxValue = 0;
};

Info QueryInfo(HKEY key) {
    Info i;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &i.subkeys, &i.maxSubkey, &i.maxClass, &i.values,
                               &i.maxValueName, &i.maxValue, nullptr, nullptr),
              ERROR_SUCCESS);
    return i;
}

void Make(HKEY root, const char* path, const char* keyClass = nullptr) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path, 0, (LPSTR)keyClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS)
        << path;
    RegCloseKey(key);
}

void SetText(HKEY root, const char* path, const char* name, const char* text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS) << path;
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)strlen(text) + 1), ERROR_SUCCESS);
    RegCloseKey(key);
}

// The text of a value, or "<missing>".
std::string Text(HKEY root, const char* path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
    char data[256];
    DWORD size = sizeof data;
    LONG err = RegQueryValueExA(key, name, nullptr, nullptr, (LPBYTE)data, &size);
    RegCloseKey(key);
    return err == ERROR_SUCCESS ? std::string(data) : "<missing>";
}

bool KeyExists(HKEY root, const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

class ClassesView : public FreshMachine {
protected:
    // A document class of both (the user's with a value and a subkey of its own), and the
    // user's classes with a long subkey name, a long class and a long value.
    void Populate() {
        Make(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivDoc\\shell");
        Make(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivDoc\\MachineOnly");
        SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivDoc", nullptr, "machine document");
        SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivDoc", "FriendlyTypeName", "machine name");
        SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivDoc", "MachineValue", "m");
        SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivDoc\\shell", "Shared", "machine shell");
        SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivDoc\\shell", "MachineShell", "m");
        Make(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivMachineDoc");
        Make(HKEY_CURRENT_USER, "Software\\Classes\\TessivDoc\\shell");
        Make(HKEY_CURRENT_USER, "Software\\Classes\\TessivDoc\\UserOnly", "AClassOfTwentyTwoChars");
        SetText(HKEY_CURRENT_USER, "Software\\Classes\\TessivDoc", nullptr, "user document");
        SetText(HKEY_CURRENT_USER, "Software\\Classes\\TessivDoc", "FriendlyTypeName", "user name");
        SetText(HKEY_CURRENT_USER, "Software\\Classes\\TessivDoc", "UserValueWithALongName", "a value of thirty-one chars....");
        SetText(HKEY_CURRENT_USER, "Software\\Classes\\TessivDoc\\shell", "Shared", "user shell");
        Make(HKEY_CURRENT_USER, (std::string("Software\\Classes\\") + kLongClass).c_str(), "AClassOfTwentyTwoChars");
        SetText(HKEY_CURRENT_USER, "Software\\Classes", "TessivUserRootValueName", "user root value of some length");
    }
};

TEST_F(ClassesView, RootInformationCountsTheUsersClassesAndTheMachines) {
    for (const char* preset : {"xp-standalone", "w2k-member", "nt4-workstation"}) {
        SCOPED_TRACE(preset);
        ntsim::ProcessDetach();
        std::filesystem::remove_all(dir_);
        MakeMachine(preset);
        Attach("Administrator");
        Populate();
        bool merged = std::string(preset) != "nt4-workstation";
        HKEY machine = nullptr, user = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes", 0, KEY_READ, &machine), ERROR_SUCCESS);
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes", 0, KEY_READ, &user), ERROR_SUCCESS);
        Info m = QueryInfo(machine), u = QueryInfo(user), root = QueryInfo(HKEY_CLASSES_ROOT);
        // TessivDoc is in both and counted once.
        EXPECT_EQ(root.subkeys, merged ? m.subkeys + u.subkeys - 1 : m.subkeys);
        EXPECT_EQ(root.subkeys, (DWORD)Subkeys(HKEY_CLASSES_ROOT).size());
        EXPECT_EQ(root.values, merged ? m.values + u.values : m.values);
        EXPECT_EQ(root.maxSubkey, merged ? std::max<DWORD>(m.maxSubkey, (DWORD)strlen(kLongClass)) : m.maxSubkey);
        EXPECT_EQ(root.maxClass, merged ? std::max<DWORD>(m.maxClass, 22) : m.maxClass);
        EXPECT_EQ(root.maxValueName, merged ? std::max<DWORD>(m.maxValueName, 23) : m.maxValueName);
        EXPECT_EQ(root.maxValue, merged ? std::max<DWORD>(m.maxValue, 62) : m.maxValue);
        RegCloseKey(machine);
        RegCloseKey(user);
    }
}

TEST_F(ClassesView, AKeyBelowTheRootListsAndFindsTheUsersEntriesFirst) {
    for (const char* preset : {"xp-standalone", "w2k-member", "nt4-workstation"}) {
        SCOPED_TRACE(preset);
        ntsim::ProcessDetach();
        std::filesystem::remove_all(dir_);
        MakeMachine(preset);
        Attach("Administrator");
        Populate();
        bool merged = std::string(preset) != "nt4-workstation";
        HKEY doc = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "TessivDoc", 0, KEY_READ, &doc), ERROR_SUCCESS);
        EXPECT_EQ(Subkeys(doc), merged ? std::vector<std::string>({"MachineOnly", "shell", "UserOnly"})
                                       : std::vector<std::string>({"MachineOnly", "shell"}));
        // The user's values in their order, then the machine's of other names.
        EXPECT_EQ(Values(doc), merged ? std::vector<std::string>({"=user document", "FriendlyTypeName=user name",
                                                                  "UserValueWithALongName=a value of thirty-one chars....",
                                                                  "MachineValue=m"})
                                      : std::vector<std::string>(
                                            {"=machine document", "FriendlyTypeName=machine name", "MachineValue=m"}));
        Info info = QueryInfo(doc);
        EXPECT_EQ(info.subkeys, merged ? 3u : 2u);
        EXPECT_EQ(info.values, merged ? 4u : 3u);
        EXPECT_EQ(info.maxSubkey, 11u);
        EXPECT_EQ(info.maxClass, merged ? 22u : 0u);
        EXPECT_EQ(info.maxValueName, merged ? 22u : 16u);
        EXPECT_EQ(info.maxValue, merged ? 64u : 34u);
        // A value of both is the user's; one of the machine's alone is still found.
        EXPECT_EQ(Text(HKEY_CLASSES_ROOT, "TessivDoc", "FriendlyTypeName"), merged ? "user name" : "machine name");
        EXPECT_EQ(Text(HKEY_CLASSES_ROOT, "TessivDoc", "MachineValue"), "m");
        EXPECT_EQ(Text(HKEY_CLASSES_ROOT, "TessivDoc", "UserValueWithALongName"),
                  merged ? "a value of thirty-one chars...." : "<missing>");
        // Deeper keys, opened from the root or from the merged key, are merged views too.
        EXPECT_EQ(Text(HKEY_CLASSES_ROOT, "TessivDoc\\shell", "Shared"), merged ? "user shell" : "machine shell");
        EXPECT_EQ(Text(doc, "shell", "Shared"), merged ? "user shell" : "machine shell");
        EXPECT_EQ(Text(doc, "shell", "MachineShell"), "m");
        EXPECT_TRUE(KeyExists(doc, "MachineOnly"));
        EXPECT_EQ(KeyExists(doc, "UserOnly"), merged);
        RegCloseKey(doc);
    }
}

TEST_F(ClassesView, WritesGoToTheUsersKeyWhereItExistsElseToTheMachines) {
    for (const char* preset : {"xp-standalone", "w2k-member", "nt4-workstation"}) {
        SCOPED_TRACE(preset);
        ntsim::ProcessDetach();
        std::filesystem::remove_all(dir_);
        MakeMachine(preset);
        Attach("Administrator");
        Populate();
        bool merged = std::string(preset) != "nt4-workstation";
        const char* userDoc = "Software\\Classes\\TessivDoc";
        const char* machineDoc = "SOFTWARE\\Classes\\TessivDoc";
        HKEY doc = nullptr, sub = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "TessivDoc", 0, KEY_ALL_ACCESS, &doc), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(doc, "Written", 0, REG_SZ, (const BYTE*)"w", 2), ERROR_SUCCESS);
        EXPECT_EQ(Text(HKEY_CURRENT_USER, userDoc, "Written"), merged ? "w" : "<missing>");
        EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, machineDoc, "Written"), merged ? "<missing>" : "w");
        // A new subkey goes to the user's key; an existing one of the machine's alone is opened.
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExA(doc, "DefaultIcon", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
        RegCloseKey(sub);
        EXPECT_EQ(KeyExists(HKEY_CURRENT_USER, "Software\\Classes\\TessivDoc\\DefaultIcon"), merged);
        EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivDoc\\DefaultIcon"), !merged);
        ASSERT_EQ(RegCreateKeyExA(doc, "MachineOnly", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
        ASSERT_EQ(RegSetValueExA(sub, "Written", 0, REG_SZ, (const BYTE*)"w", 2), ERROR_SUCCESS);
        RegCloseKey(sub);
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Classes\\TessivDoc\\MachineOnly"));
        EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivDoc\\MachineOnly", "Written"), "w");
        // A shared subkey opened through the merged key is written in the user's.
        ASSERT_EQ(RegCreateKeyExA(doc, "shell", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition), ERROR_SUCCESS);
        EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
        ASSERT_EQ(RegSetValueExA(sub, "Shared", 0, REG_SZ, (const BYTE*)"written", 8), ERROR_SUCCESS);
        RegCloseKey(sub);
        EXPECT_EQ(Text(HKEY_CURRENT_USER, "Software\\Classes\\TessivDoc\\shell", "Shared"), merged ? "written" : "user shell");
        EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivDoc\\shell", "Shared"),
                  merged ? "machine shell" : "written");
        RegCloseKey(doc);
        // A class of the machine's alone is written there.
        SetText(HKEY_CLASSES_ROOT, "TessivMachineDoc", "Written", "w");
        EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TessivMachineDoc", "Written"), "w");
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Classes\\TessivMachineDoc"));
        // A class of the user's alone is opened (not made again in the machine's) by a create at the root.
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, kLongClass, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &sub, &disposition),
                  ERROR_SUCCESS);
        RegCloseKey(sub);
        EXPECT_EQ(disposition, merged ? (DWORD)REG_OPENED_EXISTING_KEY : (DWORD)REG_CREATED_NEW_KEY);
        EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, (std::string("SOFTWARE\\Classes\\") + kLongClass).c_str()), !merged);
    }
}

}  // namespace
