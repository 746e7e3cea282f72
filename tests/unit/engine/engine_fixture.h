// A simulated machine with a fresh job record, the log captured in a host file
// and the message boxes read back from the operator's transcript.
#pragma once
#include <cstdio>
#include <string>

#include "core/job_settings.h"
#include "core/output.h"
#include "ntsim/user/operator.h"
#include "unit/identity/test_machine.h"
#include "unit/ui/transcript_checks.h"

class EngineTest : public TestMachine, protected ProgramBoxes {
protected:
    void Start(const TestMachineSetup& setup = TestMachineSetup(), const std::string& user = "Administrator",
               bool service = false) {
        Create(setup, user, service);
        ntsim::TranscriptClear();
        serviceMode = service;
        CreateJobSettings();
    }
    void TearDown() override {
        DestroyJobSettings();
        logStream = nullptr;
        currentDialog = nullptr;
        detailControl = nullptr;
        serviceMode = FALSE;
        TestMachine::TearDown();
    }
    static std::string HostFile(const std::string& path) {
        std::string text;
        if (FILE* f = ::NtsimFopen(path.c_str(), "rb")) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
            fclose(f);
        }
        return text;
    }
};
