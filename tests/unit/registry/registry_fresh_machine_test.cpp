// The registry of a machine exactly as `ntsim create` makes it: the mounts, the
// logged-on user's hive, the control set link and the locked policy keys.
#include "registry_fixture.h"

namespace regtest {
namespace {

// Without the test hives: the machine as it is created.
class RegistryFreshMachine : public RegistryTest {
protected:
    void SetUp() override { CreateMachine(); }
};

std::vector<std::string> Subkeys(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)) break;
        names.push_back(name);
    }
    return names;
}

// The SID text of the logged-on account, as the token has it.
std::string TokenSidText() {
    const Bytes& sid = ntsim::CurrentToken().user;
    std::string text = "S-1-" + std::to_string(sid[7]);
    for (int i = 0; i < sid[1]; ++i) {
        const uint8_t* p = &sid[8 + 4 * i];
        text += "-" + std::to_string(p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24));
    }
    return text;
}

TEST_F(RegistryFreshMachine, MountsTheSystemHivesAndTheUsersProfile) {
    for (const char* user : {"Administrator", "User1"}) {
        Attach(user);
        EXPECT_EQ((std::vector<std::string>{"SAM", "SECURITY", "SOFTWARE", "SYSTEM"}), Subkeys(HKEY_LOCAL_MACHINE));
        EXPECT_EQ((std::vector<std::string>{".DEFAULT", TokenSidText()}), Subkeys(HKEY_USERS)) << user;
        DWORD count = 0;
        EXPECT_EQ(0, RegQueryInfoKeyA(HKEY_USERS, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr));
        EXPECT_EQ(2u, count);
        HKEY key;
        ASSERT_EQ(0, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Mine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
            << user;
        RegCloseKey(key);
        ntsim::ProcessDetach();
    }
    // A service runs as LocalSystem without a profile hive.
    Attach("", true);
    EXPECT_EQ((std::vector<std::string>{".DEFAULT"}), Subkeys(HKEY_USERS));
}

TEST_F(RegistryFreshMachine, ControlSetLinkAndLockedPolicy) {
    Attach("Administrator");
    HKEY key;
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0, KEY_READ, &key));
    char type[32];
    DWORD size = sizeof type;
    EXPECT_EQ(0, RegQueryValueExA(key, "ProductType", nullptr, nullptr, (BYTE*)type, &size));
    EXPECT_STREQ("WinNT", type);
    RegCloseKey(key);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", 0, KEY_READ, &key));
    EXPECT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", 0, WRITE_DAC, &key));
    RegCloseKey(key);
    // The logged-on user's hive is in use: loading it again is a sharing violation.
    EnablePrivilegeForTest(SE_RESTORE_NAME);
    HKEY list;
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\", 0,
                               KEY_READ, &list));
    std::string sid = TokenSidText();
    ASSERT_EQ(0, RegOpenKeyExA(list, sid.c_str(), 0, KEY_READ, &key));
    char path[MAX_PATH];
    size = sizeof path;
    ASSERT_EQ(0, RegQueryValueExA(key, "ProfileImagePath", nullptr, nullptr, (BYTE*)path, &size));
    RegCloseKey(key);
    RegCloseKey(list);
    std::string file = path;
    size_t start = file.find("%SystemRoot%");
    if (start != std::string::npos) file.replace(start, 12, "C:\\WINNT");
    file += "\\ntuser.dat";
    EXPECT_EQ(ERROR_SHARING_VIOLATION, RegLoadKeyA(HKEY_USERS, sid.c_str(), file.c_str()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegUnLoadKeyA(HKEY_USERS, sid.c_str()));
}

}  // namespace
}  // namespace regtest
