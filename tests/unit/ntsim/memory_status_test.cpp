// GlobalMemoryStatus reports the physical memory that machine.conf gives the machine.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"

namespace {

// Makes a machine whose [machine] memory is the given text (none when empty) and reports it.
MEMORYSTATUS StatusOf(const std::string& memory) {
    char tmpl[] = "/tmp/ntsim-memory-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = std::string(tmpl) + "/m", err;
    EXPECT_TRUE(ntsim::MachineCreate(dir, ntsim::MachineOptions(), &err)) << err;
    ntsim::Conf conf;
    EXPECT_TRUE(ntsim::ConfLoad(dir + "/machine.conf", &conf, &err)) << err;
    ntsim::ConfSection* machine = conf.Find("machine");
    EXPECT_NE(machine, nullptr);
    if (machine) {
        if (memory.empty()) {
            for (auto it = machine->entries.begin(); it != machine->entries.end(); ++it)
                if (it->first == "memory") {
                    machine->entries.erase(it);
                    break;
                }
        } else {
            machine->Set("memory", memory);
        }
    }
    EXPECT_TRUE(ntsim::ConfSave(dir + "/machine.conf", conf));
    EXPECT_TRUE(ntsim::ProcessAttach(dir, "Administrator", false, &err)) << err;
    MEMORYSTATUS status;
    memset(&status, 0xCC, sizeof status);
    GlobalMemoryStatus(&status);
    ntsim::ProcessDetach();
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    return status;
}

TEST(MemoryStatus, TotalPhysicalMemoryComesFromMachineConf) {
    MEMORYSTATUS fresh = StatusOf("");
    EXPECT_EQ(fresh.dwLength, sizeof(MEMORYSTATUS));
    EXPECT_EQ(fresh.dwTotalPhys, (SIZE_T)67108864);
    EXPECT_LE(fresh.dwAvailPhys, fresh.dwTotalPhys);
    EXPECT_LE(fresh.dwAvailVirtual, fresh.dwTotalVirtual);

    EXPECT_EQ(StatusOf("134217728").dwTotalPhys, (SIZE_T)134217728);
    EXPECT_EQ(StatusOf("17179869184").dwTotalPhys, (SIZE_T)17179869184ULL);
    // A value that is not a number leaves the default size.
    EXPECT_EQ(StatusOf("lots").dwTotalPhys, (SIZE_T)67108864);
}

}  // namespace
