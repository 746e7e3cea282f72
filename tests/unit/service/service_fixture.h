// A preset machine with this process attached as the program, the service record reset,
// and the message boxes read back from the operator's transcript.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/output.h"
#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/user/operator.h"
#include "service/service_entry.h"

class ServiceTest : public ::testing::Test {
protected:
    std::string root_, dir_;
    ServiceControl saved_ = serviceControl;

    void SetUp() override {
        char tmpl[] = "/tmp/tessiv-service-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        dir_ = root_ + "/m";
        std::string error;
        ASSERT_TRUE(ntsim::MachineCreate(dir_, MachineOptions(), &error)) << error;
        Attach("Administrator");
    }
    virtual ntsim::MachineOptions MachineOptions() { return ntsim::MachineOptions(); }
    void Attach(const std::string& user, bool service = false, const std::string& image = "C:\\Tools\\tessiv.exe") {
        std::string error;
        ASSERT_TRUE(ntsim::ProcessAttach(dir_, user, service, &error)) << error;
        ntsim::CurrentProcess().imagePath = image;
        serviceMode = service;
        ntsim::OperatorReset();
        ntsim::TranscriptClear();
    }
    void TearDown() override {
        serviceControl = saved_;
        serviceMode = FALSE;
        ntsim::ProcessDetach();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
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
    std::string Host(const std::string& relative) const { return dir_ + "/drives/c/" + relative; }
};
