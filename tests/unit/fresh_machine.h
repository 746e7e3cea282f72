// A simulated machine for one test: a temporary folder (root_) with the machine in it
// (dir_), made when the test asks for it and removed with the folder afterwards.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/machine/boot.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/security/sd.h"

// The process token's information of one class, as GetTokenInformation gives it.
inline std::vector<BYTE> TokenInformation(TOKEN_INFORMATION_CLASS kind) {
    HANDLE token;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD need = 0;
    GetTokenInformation(token, kind, nullptr, 0, &need);
    std::vector<BYTE> buffer(need);
    EXPECT_TRUE(GetTokenInformation(token, kind, buffer.data(), need, &need));
    CloseHandle(token);
    return buffer;
}

// The SIDs of the process token's groups, as text, in the token's order.
inline std::vector<std::string> TokenGroupSids() {
    std::vector<BYTE> buffer = TokenInformation(TokenGroups);
    std::vector<std::string> out;
    if (buffer.size() < sizeof(TOKEN_GROUPS)) return out;
    const TOKEN_GROUPS* groups = (const TOKEN_GROUPS*)buffer.data();
    for (DWORD i = 0; i < groups->GroupCount; ++i)
        out.push_back(ntsim::SidToText((const uint8_t*)groups->Groups[i].Sid, GetLengthSid(groups->Groups[i].Sid)));
    return out;
}

class FreshMachine : public ::testing::Test {
protected:
    std::string root_, dir_;

    void SetUp() override {
        char tmpl[] = "/tmp/tessiv-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        dir_ = root_ + "/m";
    }
    // The machine as `ntsim create` makes it with these options.
    void MakeMachine(const ntsim::MachineOptions& options = ntsim::MachineOptions()) {
        std::string error;
        ASSERT_TRUE(ntsim::MachineCreate(dir_, options, &error)) << error;
    }
    void MakeMachine(const std::string& preset) {
        ntsim::MachineOptions options;
        options.preset = preset;
        MakeMachine(options);
    }
    // Boots the machine again (ntsim boot), which ends this process's part in it.
    void Boot() {
        std::string error;
        ASSERT_EQ(ntsim::MachineBoot(dir_, &error), 0u) << error;
    }
    // This process joins the machine as the user (a service of the machine when service).
    void Attach(const std::string& user, bool service = false) {
        std::string error;
        ASSERT_TRUE(ntsim::ProcessAttach(dir_, user, service, &error)) << error;
    }
    // Enables (or disables) a privilege of the process token through the Win32 calls.
    static void Privilege(const char* name, bool enable = true) {
        HANDLE token;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
        TOKEN_PRIVILEGES tp = {1, {{{0, 0}, enable ? (DWORD)SE_PRIVILEGE_ENABLED : 0}}};
        ASSERT_TRUE(LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid));
        ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS) << name;
        EXPECT_TRUE(CloseHandle(token));
    }
    // Host path of a Windows path on drive C.
    std::string Host(const std::string& relative) const { return dir_ + "/drives/c/" + relative; }
    void TearDown() override {
        ntsim::ProcessDetach();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
};
