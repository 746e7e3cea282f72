// Message boxes: answers from the script by text pattern, the default button when the
// script has none, what the transcript records, and boxes that nobody can see.
#include "ui_machine.h"

using MessageBoxes = UiMachine;

TEST_F(MessageBoxes, UnansweredBoxesGetTheirDefaultButtonAndSaySo) {
    EXPECT_EQ(MessageBoxA(nullptr, "Are you sure you want to abort this procedure?", "Quorvel Tessiv Service",
                          MB_YESNOCANCEL),
              IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "Second", "Quorvel Tessiv Service", MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "Third", "Quorvel Tessiv Service", MB_OK | MB_ICONHAND), IDOK);
    EXPECT_TRUE(InOrder({"box \"Quorvel Tessiv Service\" [Yes/No/Cancel, no icon]: \"Are you sure you want to abort "
                         "this procedure?\"",
                         "  no answer in the script: default button Yes", "[Yes/No, no icon]: \"Second\"",
                         "default button No", "[OK, error icon]: \"Third\"", "default button OK"}));
}

TEST_F(MessageBoxes, ScriptAnswersByPatternOnceRulesFirstInOrder) {
    Script("# the abort question\n"
           "answer once \"Are you sure*\" No\n"
           "answer \"Are you sure*\" Yes\n"
           "answer \"*service entry*\" No\n");
    EXPECT_EQ(MessageBoxA(nullptr, "Are you sure you want to abort this procedure?", "C", MB_YESNOCANCEL), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "Are you sure you want to abort this procedure?", "C", MB_YESNOCANCEL), IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "Are you sure you want to abort this procedure?", "C", MB_YESNOCANCEL), IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "Do you want to remove the service entry so it won't run again upon next boot?", "C",
                          MB_YESNOCANCEL),
              IDNO);
    EXPECT_TRUE(InOrder({"answered No (test script line 2)", "answered Yes (test script line 3)",
                         "answered Yes (test script line 3)", "answered No (test script line 4)"}));
}

TEST_F(MessageBoxes, AnAnswerTheBoxDoesNotOfferIsReportedAndSkipped) {
    Script("answer \"Status*\" Yes\n");
    EXPECT_EQ(MessageBoxA(nullptr, "Status ok", "C", MB_OK), IDOK);
    EXPECT_TRUE(InOrder({"line 1 answers Yes, which this box does not have", "default button OK"}));
}

TEST_F(MessageBoxes, OwnerCaptionAndStylesAreRecorded) {
    HWND owner = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_ABOUTBOX), nullptr, nullptr, 0);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(MessageBoxA(owner, "You must specify a log file or uncheck the option before proceeding",
                          "Quorvel Tessiv Service", MB_OK),
              IDOK);
    EXPECT_TRUE(InOrder({"owned by \"About Tessiv\""}));
    DestroyWindow(owner);
    SetLastError(0);
    EXPECT_EQ(MessageBoxA(nullptr, "x", "y", 7), 0) << "style 7 is not a box type";
    EXPECT_EQ(GetLastError(), 1158u);
}

TEST_F(MessageBoxes, AFaultMakesTheCallFailWithTheChosenError) {
    ntsim::FaultAdd({"MessageBoxA", ERROR_NOT_ENOUGH_MEMORY, 0, "*abort*", false});
    SetLastError(0);
    EXPECT_EQ(MessageBoxA(nullptr, "Are you sure you want to abort this procedure?", "C", MB_YESNO), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(MessageBoxA(nullptr, "other", "C", MB_OK), IDOK);
}

class ServiceBoxes : public UiMachine {
    bool Service() override { return true; }
};

TEST_F(ServiceBoxes, ServiceNotificationBoxesReachTheOperatorOthersAreNotSeen) {
    Script("answer \"*\" No\n");
    EXPECT_EQ(MessageBoxA(nullptr, "Error 5 dispatching service", "Quorvel Tessiv Service",
                          MB_YESNO | MB_ICONHAND | MB_SERVICE_NOTIFICATION),
              IDNO);
    // Without the service-notification style the box sits on the service's own desktop.
    EXPECT_EQ(MessageBoxA(nullptr, "hidden", "Quorvel Tessiv Service", MB_YESNO), IDYES);
    EXPECT_TRUE(InOrder({"[Yes/No, error icon, service notification]: \"Error 5 dispatching service\"",
                         "answered No", "\"hidden\"", "not seen (not on the interactive desktop): default button Yes"}));
}
