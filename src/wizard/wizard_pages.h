// The wizard's four pages: Welcome, Computer Information (role texts and the
// synchronization file), Program Options (the job's choices, run now or at the next
// boot) and Install Automatic Service (the service for the next boot).
#pragma once
#include "wizard/wizard_page.h"

class WelcomePage : public WizardPage {
public:
    explicit WelcomePage(WizardSheet* sheet);
    int OnInitDialog() override;
    int OnSetActive() override;

    char text1[2048];
    char text2[1024];
};

class ComputerInfoPage : public WizardPage {
public:
    explicit ComputerInfoPage(WizardSheet* sheet);
    int OnCommand(WORD controlId, WPARAM notificationAndId, HWND control) override;
    int OnInitDialog() override;
    int OnSetActive() override;
    int OnWizardNext() override;
    int DataExchange(int save) override;

    HICON browseIcon;
    char roleText1[1024];
    char roleText2[1024];
    char fileName[kMaxFileNameText + 1];
    DWORD useFile;  // set at first on primary and backup domain controllers

private:
    // A backup controller cannot clear the box; a primary controller is warned when it
    // is cleared; the file name and its browse button follow the box.
    void ApplyCheckBoxRule();
    void Browse();
};

class OptionsPage : public WizardPage {
public:
    explicit OptionsPage(WizardSheet* sheet);
    int OnCommand(WORD controlId, WPARAM notificationAndId, HWND control) override;
    int OnInitDialog() override;
    int OnSetActive() override;
    int OnWizardNext() override;
    int OnWizardFinish() override;  // StartJob
    int DataExchange(int save) override;
    // Runs the job now, in a worker thread behind the status window; the sheet hides
    // and closes when the status window does. 0 keeps the sheet open.
    int StartJob();

    HICON browseIcon;
    DWORD useLog;
    DWORD verbose;
    DWORD runNow;      // 1: Finish runs the job now; 0: Next leads to the install page
    DWORD autoFinish;  // Finish is pressed as soon as the page shows (AutoStart)
    DWORD useSysPrep;
    DWORD processFs;
    char newName[16];
    char logName[kMaxFileNameText + 1];

private:
    void UpdateOptionsControls();
    void ButtonsForRunChoice();
    void EnableLogControls();
    void BrowseLog();
};

class InstallPage : public WizardPage {
public:
    explicit InstallPage(WizardSheet* sheet);
    int OnCommand(WORD controlId, WPARAM notificationAndId, HWND control) override;
    int OnSetActive() override;
    int OnWizardFinish() override;
    int DataExchange(int save) override;

    DWORD cleanTemp;
    DWORD removeUtility;
};

// Stores the settings and installs the service that runs the job at the next boot.
// 1 when both were done, else 0 (every failure has shown its box).
int InstallForNextBoot();
