// The machine SID source: the read under temporary grants with every DACL put
// back byte for byte, its failures, and the generator.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "identity/machine_sid.h"
#include "ntsim/security/access.h"
#include "ntsim/kernel/clock.h"
#include "ntsim/user/operator.h"
#include "unit/identity/test_machine.h"
#include "unit/ui/transcript_checks.h"

namespace {

const char* const kKeys[] = {"SECURITY", "SECURITY\\Policy", "SECURITY\\Policy\\PolAcDmS", "SECURITY\\Policy\\PolAcDmN",
                             "SECURITY\\Policy\\PolPrDmS"};

// The DACLs of the SECURITY keys as stored (read with the system's rights).
std::map<std::string, std::vector<uint8_t>> Dacls() {
    ntsim::SystemAccessScope system;
    std::map<std::string, std::vector<uint8_t>> out;
    for (const char* k : kKeys) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, k, 0, READ_CONTROL, &key) != 0) continue;
        DWORD size = 0;
        RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
        std::vector<uint8_t> sd(size);
        if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &size) == 0) out[k] = sd;
        RegCloseKey(key);
    }
    return out;
}

}  // namespace

class MachineSid : public TestMachine, protected ProgramBoxes {};

TEST_F(MachineSid, ReadUnderTemporaryGrantsLeavesEveryDaclAsItWas) {
    TestMachineSetup setup;
    setup.machineSid = TestSid(111, 222, 333);
    Create(setup);
    auto before = Dacls();
    ASSERT_EQ(before.size(), 5u);
    // Without the grants even an administrator cannot read the value.
    HKEY key;
    BYTE probe[24];
    DWORD probeSize = sizeof probe;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", &key), 0);  // only WRITE_DAC and READ_CONTROL
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, probe, &probeSize), ERROR_ACCESS_DENIED);
    RegCloseKey(key);

    BYTE buffer[24];
    DWORD size = 24;
    ASSERT_TRUE(ReadMachineSid("Administrator", buffer, &size));
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(memcmp(buffer, setup.machineSid.data(), 24), 0);
    EXPECT_TRUE(Dacls() == before);

    // The read fails (value too long for the buffer): the DACLs are still restored.
    {
        ntsim::SystemAccessScope system;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", 0, KEY_SET_VALUE, &key), 0);
        std::vector<uint8_t> longer = TestSid(1, 2, 3);
        longer.insert(longer.end(), {0, 0, 0, 0});
        ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_BINARY, longer.data(), (DWORD)longer.size()), 0);
        RegCloseKey(key);
    }
    before = Dacls();
    size = 24;
    EXPECT_FALSE(ReadMachineSid("Administrator", buffer, &size));
    EXPECT_TRUE(Dacls() == before);

    // A refused grant (an injected failure of the write) does not keep a widened DACL either.
    ntsim::FaultAdd({"RegSetKeySecurity", ERROR_ACCESS_DENIED, 2, "", false});
    size = 24;
    EXPECT_FALSE(ReadMachineSid("Administrator", buffer, &size));
    EXPECT_TRUE(Dacls() == before);
    ntsim::FaultClearAll();

    // A read that succeeded but left the SECURITY key widened (its DACL could not be put
    // back, the second write of that key) is a failure, not a success.
    {
        ntsim::SystemAccessScope system;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", 0, KEY_SET_VALUE, &key), 0);
        ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_BINARY, setup.machineSid.data(), 24), 0);
        RegCloseKey(key);
    }
    size = 24;
    ASSERT_TRUE(ReadMachineSid("Administrator", buffer, &size));
    ntsim::FaultAdd({"RegSetKeySecurity", ERROR_ACCESS_DENIED, 2, "HKEY_LOCAL_MACHINE\\SECURITY", false});
    size = 24;
    EXPECT_FALSE(ReadMachineSid("Administrator", buffer, &size));
}

TEST_F(MachineSid, AnOrdinaryUserCannotReadItAndChangesNothing) {
    Create(TestMachineSetup(), "User1");
    auto before = Dacls();
    BYTE buffer[24];
    DWORD size = 24;
    EXPECT_FALSE(ReadMachineSid("User1", buffer, &size));
    EXPECT_TRUE(Dacls() == before);
}

TEST_F(MachineSid, GeneratorPublishedValues) {
    EXPECT_EQ(SidNumberFromSeed(0), 2498087u);  // draws 38 and 7719
    EXPECT_EQ(SidNumberFromSeed(1), 2705443u);  // draws 41 and 18467
    for (DWORD seed : {2u, 12345u, 0xFFFFFFFFu, 0x80008000u}) {
        DWORD n = SidNumberFromSeed(seed);
        EXPECT_EQ(n & 0x80008000u, 0u) << seed;  // bits 15 and 31 always clear
    }
}

TEST_F(MachineSid, GenerateFromTheClockAndTheThreadsCreation) {
    Create();
    // Tick 0x12345, 250 ms into the second; system time and thread creation from the clock.
    uint64_t start = 130000000000000000ULL + 2500000ULL;  // a whole second plus 250 ms
    ntsim::ClockUseSimulated(start, 0x12345);
    ntsim::ThreadRecordCreation();
    Sid* sid = nullptr;
    ASSERT_TRUE(GenerateMachineSid(&sid));
    SYSTEMTIME st;
    GetSystemTime(&st);
    EXPECT_EQ(sid->revision, 1);
    EXPECT_EQ(sid->subAuthorityCount, 4);
    EXPECT_EQ(sid->identifierAuthority[5], 5);
    EXPECT_EQ(sid->subAuthority[0], 21u);
    EXPECT_EQ(sid->subAuthority[1], SidNumberFromSeed(0x12345u * 65536u + st.wMilliseconds));
    EXPECT_EQ(sid->subAuthority[2], SidNumberFromSeed((DWORD)start));
    EXPECT_EQ(sid->subAuthority[3], SidNumberFromSeed((DWORD)start));  // created at that instant
    Sid* again = nullptr;
    ASSERT_TRUE(GenerateMachineSid(&again));
    EXPECT_TRUE(SidEqual(sid, again));  // same seeds, same SID
    FreeSid(sid);
    FreeSid(again);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(MachineSid, GenerateReportsAMissingLibraryOrExport) {
    Create();
    struct Case {
        ntsim::FaultRule rule;
        const char* message;
    } cases[] = {
        {{"LoadLibraryA", ERROR_MOD_NOT_FOUND, 0, "NTDLL.DLL", false}, "ERROR: Unable to load NTDLL.DLL"},
        {{"GetProcAddress", ERROR_PROC_NOT_FOUND, 0, "NtQuerySystemTime", false},
         "ERROR: Unable to get address of NtQuerySystemTime()"},
        {{"GetProcAddress", ERROR_PROC_NOT_FOUND, 0, "NtQueryInformationThread", false},
         "ERROR: Unable to get address of NtQueryInformationThread()"},
    };
    for (const Case& c : cases) {
        ntsim::FaultClearAll();
        ntsim::TranscriptClear();
        ntsim::FaultAdd(c.rule);
        Sid* sid = reinterpret_cast<Sid*>(1);
        EXPECT_FALSE(GenerateMachineSid(&sid));
        EXPECT_EQ(sid, nullptr);
        std::vector<std::string> boxes = Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], std::string("box \"Quorvel Tessiv Service\" [OK, error icon]: \"") + c.message + "\"");
    }
}
