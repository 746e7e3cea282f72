// A simulated machine with a fresh job record, the log captured in a host file
// and the message boxes read back from the operator's transcript.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "ntsim/user/operator.h"
#include "unit/identity/test_machine.h"

class EngineTest : public TestMachine {
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
    // The boxes shown so far: their transcript lines ("box \"caption\" [OK, error icon]: \"text\"").
    static std::vector<std::string> Boxes() {
        std::vector<std::string> boxes;
        for (const std::string& line : ntsim::TranscriptLines())
            if (line.rfind("box ", 0) == 0) boxes.push_back(line);
        return boxes;
    }
    static std::string Box(const std::string& icon, const std::string& text, bool service = false) {
        return "box \"Quorvel Tessiv Service\" [OK, " + icon + (service ? ", service notification" : "") + "]: \"" +
               text + "\"";
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
