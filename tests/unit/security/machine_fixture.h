// A fresh simulated machine attached for one test, removed afterwards.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "ntsim/machine.h"
#include "ntsim/process.h"

class MachineTest : public ::testing::Test {
protected:
    std::string dir_;
    void SetUp() override {
        char tmpl[] = "/tmp/tessiv-sec-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/m";
        std::string err;
        ASSERT_TRUE(ntsim::MachineCreate(dir_, ntsim::MachineOptions(), &err)) << err;
    }
    void Attach(const std::string& user, bool service = false) {
        std::string err;
        ASSERT_TRUE(ntsim::ProcessAttach(dir_, user, service, &err)) << err;
    }
    void TearDown() override {
        ntsim::ProcessDetach();
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(dir_).parent_path(), ec);
    }
};
