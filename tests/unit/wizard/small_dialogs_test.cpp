// The About box and the New Computer Name dialog, driven by the operator.
#include <gtest/gtest.h>

#include <filesystem>

#include "identity/computer_name.h"
#include "identity/role_checks.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/user/operator.h"
#include "unit/fresh_machine.h"
#include "wizard/small_dialogs.h"

namespace {

class SmallDialogsTest : public FreshMachine {
protected:
    void SetUp() override {
        FreshMachine::SetUp();
        MakeMachine();
        Attach("Administrator");
        ntsim::OperatorReset();
        ntsim::TranscriptClear();
    }
    void TearDown() override {
        newNameRequest = nullptr;
        FreshMachine::TearDown();
    }
    void Script(const std::string& text) {
        std::string error;
        ASSERT_TRUE(ntsim::OperatorLoadScript(text, "operator", &error)) << error;
    }
    static bool Shown(const std::string& line) {
        for (const auto& l : ntsim::TranscriptLines())
            if (l == line) return true;
        return false;
    }
};

TEST_F(SmallDialogsTest, TheAboutBoxShowsTheVersion) {
    Script("press OK\n");
    EXPECT_EQ(ShowAboutBox(nullptr), IDOK);
    EXPECT_TRUE(Shown("  1048 Static \"Quorvel Tessiv Utility\nVersion 1.2.22\""));
    Script("close\n");
    EXPECT_EQ(ShowAboutBox(nullptr), IDOK);
}

TEST_F(SmallDialogsTest, TheNewNameIsTypedInCapitalsAndAnEmptyOneIsNotTaken) {
    NewNameRequest request = {};
    newNameRequest = &request;
    Script("type 1045 \"newbox\"\npress OK\n");
    EXPECT_EQ(ShowNewComputerName(nullptr), IDOK);
    EXPECT_STREQ(request.name, "NEWBOX");
    EXPECT_EQ(request.dialog, nullptr);
    // The proposed name is the current one; an empty entry keeps the dialog open.
    Script("type 1045 \"\"\npress OK\npress Cancel\n");
    EXPECT_EQ(ShowNewComputerName(nullptr), IDCANCEL);
    EXPECT_TRUE(Shown("  1045 Edit \"NTWKS01\""));
    EXPECT_TRUE(ntsim::OperatorDone());
    // A name a computer cannot have is refused with the reason and the dialog stays
    // open for a better one: too long, then a character a name cannot hold.
    Script("type 1045 \"abcdefghijklmnopqrst\"\npress OK\ntype 1045 \"a*b\"\npress OK\n"
           "type 1045 \"fifteen-charsxy\"\npress OK\n");
    EXPECT_EQ(ShowNewComputerName(nullptr), IDOK);
    EXPECT_STREQ(request.name, "FIFTEEN-CHARSXY");
    int refusals = 0;
    for (const auto& l : ntsim::TranscriptLines())
        if (l.find("A computer name can be at most 15 characters long.") != std::string::npos ||
            l.find("A computer name cannot contain the character *.") != std::string::npos)
            ++refusals;
    EXPECT_EQ(refusals, 2);
    EXPECT_TRUE(ntsim::OperatorDone());
}

// The dialog refuses what the machine's own call would refuse in stage 3: on NT 4.0 a
// space (outside SetComputerNameA's characters) and, as everywhere, a dot.
TEST_F(SmallDialogsTest, TheNewNameFollowsTheRulesOfTheMachinesVersion) {
    ProcessMutex.Create();  // the version class is read afresh, from this NT 4.0 machine
    NewNameRequest request = {};
    newNameRequest = &request;
    Script("type 1045 \"pc 12\"\npress OK\ntype 1045 \"pc.12\"\npress OK\ntype 1045 \"pc!12\"\npress OK\n");
    EXPECT_EQ(ShowNewComputerName(nullptr), IDOK);
    EXPECT_STREQ(request.name, "PC!12");
    std::vector<std::string> refusals;
    for (const auto& l : ntsim::TranscriptLines())
        if (l.find("box ") == 0) refusals.push_back(l.substr(l.find("]: ") + 3));
    EXPECT_EQ(refusals, (std::vector<std::string>{"\"A computer name cannot contain a space.\"",
                                                  "\"A computer name cannot contain the character ..\""}));
    EXPECT_TRUE(ntsim::OperatorDone());
    ProcessMutex.Close();
}

}  // namespace
