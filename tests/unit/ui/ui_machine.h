// A fresh simulated machine per test, attached as an interactive or a service process.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/machine/machine.h"
#include "ntsim/user/operator.h"
#include "ntsim/kernel/process.h"
#include "unit/fresh_machine.h"
#include "unit/ui/transcript_checks.h"
#include "wizard/resource.h"

// A pause of the test itself (Sleep belongs to the kernel part of the subset).
inline void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class UiMachine : public FreshMachine {
protected:
    // Extra machine.conf text (e.g. an [operator] section) and the session kind, set before SetUp.
    virtual std::string ExtraConf() { return ""; }
    virtual bool Service() { return false; }

    void SetUp() override {
        FreshMachine::SetUp();
        MakeMachine();
        if (!ExtraConf().empty()) {
            std::ofstream conf(dir_ + "/machine.conf", std::ios::app);
            conf << "\n" << ExtraConf() << "\n";
        }
        Attach("", Service());
    }

    void Script(const std::string& text) {
        std::string error;
        ASSERT_TRUE(ntsim::OperatorLoadScript(text, "test script", &error)) << error;
    }

    static std::string Transcript() { return transcript::Text(); }
    static ::testing::AssertionResult InOrder(std::initializer_list<std::string> parts) {
        return transcript::InOrder(parts);
    }

    HINSTANCE instance_ = (HINSTANCE)1;
};
