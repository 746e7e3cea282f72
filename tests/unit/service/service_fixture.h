// A preset machine with this process attached as the program, the service record reset,
// and the message boxes read back from the operator's transcript.
#pragma once
#include <string>

#include "core/output.h"
#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/user/operator.h"
#include "service/service_entry.h"
#include "unit/fresh_machine.h"
#include "unit/ui/transcript_checks.h"

class ServiceTest : public FreshMachine, protected ProgramBoxes {
protected:
    ServiceControl saved_ = serviceControl;

    void SetUp() override {
        FreshMachine::SetUp();
        MakeMachine(MachineOptions());
        Attach("Administrator");
    }
    virtual ntsim::MachineOptions MachineOptions() { return ntsim::MachineOptions(); }
    void Attach(const std::string& user, bool service = false, const std::string& image = "C:\\Tools\\tessiv.exe") {
        FreshMachine::Attach(user, service);
        if (HasFatalFailure()) return;
        ntsim::CurrentProcess().imagePath = image;
        serviceMode = service;
        ntsim::OperatorReset();
        ntsim::TranscriptClear();
    }
    void TearDown() override {
        serviceControl = saved_;
        serviceMode = FALSE;
        FreshMachine::TearDown();
    }
};
