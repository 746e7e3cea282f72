// The operator script: errors name their line, machine.conf [operator] sets it up,
// and the transcript goes to the named file.
#include <cstring>
#include <fstream>
#include <sstream>

#include "ui_machine.h"

using OperatorScript = UiMachine;

TEST_F(OperatorScript, BadLinesAreRefusedWithTheirLineNumber) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"answer \"x\" Maybe\n", "test line 1: unknown button \"Maybe\""},
        {"# fine\n\nclick 10x\n", "test line 3: \"10x\" is not a control id"},
        {"type 1002\n", "test line 1: expected: type CONTROL \"text\""},
        {"wait soon\n", "test line 1: expected: wait MILLISECONDS, or wait for \"title pattern\""},
        {"press Onward\n", "test line 1: unknown button \"Onward\""},
        {"answer \"open\n", "test line 1: unterminated quoted text"},
        {"click 1\njump 3\n", "test line 2: unknown action \"jump\""},
        {"window \"Novell Login\" after\n", "test line 1: \"after\" needs a value"},
        {"window \"Novell Login\" at 3\n", "test line 1: unknown window option \"at\""},
        {"answer Yes \"x\"\n", "test line 1: expected: answer [once] \"text pattern\" BUTTON"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(ntsim::OperatorLoadScript(c.text, "test", &error)) << c.text;
        EXPECT_EQ(error.substr(0, strlen(c.message)), c.message) << error;
    }
    // A refused script leaves the earlier one in force.
    Script("answer \"*\" No\n");
    std::string error;
    EXPECT_FALSE(ntsim::OperatorLoadScript("answer \"*\" Yes\nbogus\n", "test", &error));
    EXPECT_EQ(MessageBoxA(nullptr, "q", "c", MB_YESNO), IDNO);
}

TEST_F(OperatorScript, QuotedTextKeepsBackslashesAndDoubledQuotes) {
    Script("answer \"say \"\"hi\"\" at C:\\new\\*\" No   # trailing comment\n");
    EXPECT_EQ(MessageBoxA(nullptr, "say \"hi\" at C:\\new\\dir", "c", MB_YESNO), IDNO);
}

class ConfOperator : public UiMachine {
    std::string ExtraConf() override {
        return "[operator]\n"
               "transcript = transcript.txt\n"
               "step = answer \"Service Removed*\" OK\n"
               "step = answer \"*\" No\n";
    }
};

TEST_F(ConfOperator, MachineConfStepsAndTranscriptFile) {
    EXPECT_EQ(MessageBoxA(nullptr, "Service Removed Successfully.", "Quorvel Tessiv Service", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "Service Not Installed.", "Quorvel Tessiv Service", MB_YESNO), IDNO);
    std::ifstream in(dir_ + "/transcript.txt");
    ASSERT_TRUE(in.good());
    std::stringstream text;
    text << in.rdbuf();
    std::string t = text.str();
    size_t first = t.find("\"Service Removed Successfully.\"");
    size_t second = t.find("\"Service Not Installed.\"");
    ASSERT_NE(first, std::string::npos) << t;
    ASSERT_NE(second, std::string::npos) << t;
    EXPECT_LT(first, second);
    EXPECT_NE(t.find("] box \"Quorvel Tessiv Service\""), std::string::npos) << "lines carry their time: " << t;
    EXPECT_NE(t.find("answered No (machine.conf [operator] line 2)"), std::string::npos) << t;
}

class BadConfOperator : public UiMachine {
    std::string ExtraConf() override { return "[operator]\nstep = press Sideways\n"; }
};

TEST_F(BadConfOperator, AScriptErrorIsReportedAndNothingIsAnswered) {
    EXPECT_EQ(MessageBoxA(nullptr, "x", "c", MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_TRUE(InOrder({"operator script error: machine.conf [operator] line 1: unknown button \"Sideways\""}));
}

TEST_F(OperatorScript, AProgramTakesItsScriptAndTranscriptFromTheEnvironment) {
    std::string script = root_ + "/run.txt", transcript = root_ + "/run.log";
    std::ofstream(script) << "answer \"*remove*\" Yes\n";
    setenv("NTSIM_OPERATOR", script.c_str(), 1);
    setenv("NTSIM_TRANSCRIPT", transcript.c_str(), 1);
    int answer = MessageBoxA(nullptr, "Do you want to remove the service entry?", "C", MB_YESNO | MB_DEFBUTTON2);
    unsetenv("NTSIM_OPERATOR");
    unsetenv("NTSIM_TRANSCRIPT");
    EXPECT_EQ(answer, IDYES);
    std::ifstream in(transcript);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("answered Yes (" + script + " line 1)"), std::string::npos) << text.str();
}

TEST_F(OperatorScript, SystemMenuItemsCanBeDeletedAndAreLookedUpByCommand) {
    HWND dlg = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_ABOUTBOX), nullptr, nullptr, 0);
    HMENU menu = GetSystemMenu(dlg, FALSE);
    ASSERT_NE(menu, nullptr);
    int count = GetMenuItemCount(menu);
    EXPECT_EQ(count, 7);
    EXPECT_TRUE(DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND));
    EXPECT_EQ(GetMenuItemCount(menu), count - 1);
    EXPECT_EQ(GetMenuState(menu, SC_SIZE, MF_BYCOMMAND), (UINT)-1);
    SetLastError(0);
    EXPECT_FALSE(DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND));
    EXPECT_EQ(GetMenuState(menu, SC_RESTORE, MF_BYCOMMAND) & MF_GRAYED, (UINT)MF_GRAYED) << "Restore starts grayed";
    EXPECT_EQ(GetSystemMenu(dlg, TRUE), nullptr);
    EXPECT_EQ(GetMenuItemCount(GetSystemMenu(dlg, FALSE)), count) << "reverted to the standard menu";
    DestroyWindow(dlg);
}
