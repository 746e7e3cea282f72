// A machine with a job record, the log captured, the version class computed afresh,
// registry reads by path, and a restart of the machine (ntsim boot).
#pragma once
#include <string>

#include "identity/role_checks.h"
#include "ntsim/machine/boot.h"
#include "unit/engine/engine_fixture.h"
#include "unit/engine/stream_text.h"

class IdentityTest : public EngineTest {
protected:
    FILE* log_ = nullptr;

    void StartJob(const TestMachineSetup& setup) {
        Start(setup);
        logStream = log_ = tmpfile();
        ProcessMutex.Close();
        ProcessMutex.Create();  // the version class of this machine
    }
    void TearDown() override {
        if (logStream == log_) logStream = nullptr;
        if (log_) fclose(log_);
        ProcessMutex.Close();
        EngineTest::TearDown();
    }
    std::string Log() { return StreamText(log_); }
    // Ends this machine and its job, so that the test can start another.
    void EndMachine() {
        logStream = nullptr;
        DestroyJobSettings();
        if (log_) fclose(log_);
        log_ = nullptr;
        ntsim::ProcessDetach();
        std::filesystem::remove_all(dir_);
        ntsim::TranscriptClear();
    }

    // A string value of HKEY_LOCAL_MACHINE, or "<none>".
    static std::string Text(const std::string& path, const std::string& name) {
        HKEY key = nullptr;
        std::string out = "<none>";
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
        char data[512];
        DWORD size = sizeof data, type = 0;
        if (RegQueryValueExA(key, name.c_str(), nullptr, &type, (LPBYTE)data, &size) == ERROR_SUCCESS &&
            type == REG_SZ && size > 0 && data[size - 1] == 0)  // stored with its terminating zero
            out = data;
        RegCloseKey(key);
        return out;
    }
    static std::string ActiveName() {
        char name[MAX_COMPUTERNAME_LENGTH + 1];
        DWORD size = sizeof name;
        return GetComputerNameA(name, &size) ? std::string(name, size) : "<error>";
    }
    // Shuts the machine down (the hives are written), boots it and logs on again.
    void Restart(const std::string& user = "Administrator") {
        ntsim::ProcessDetach();
        Boot();
        Attach(user);
        ProcessMutex.Close();
        ProcessMutex.Create();
    }
};
