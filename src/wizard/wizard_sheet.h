// WizardSheet: the property sheet in wizard mode that holds the four pages, its window
// (system menu with the About command, minimise and restore), and the entry points the
// command line uses to move it to a page before or after it is shown.
#pragma once
#include "nt/win32.h"
#include "wizard/wizard_pages.h"

const int kWizardPageCount = 4;
const int kOptionsPageIndex = 2;
const int kInstallPageIndex = 3;

// What the wizard starts in the layers beside it, given by the start-up.
struct WizardActions {
    LPTHREAD_START_ROUTINE runWorker;    // the job's worker thread (run now)
    DLGPROC statusWindowProc;            // the status window the job runs behind; it resumes
                                         // the suspended worker, its WM_INITDIALOG parameter
};

struct WizardSheet {
    explicit WizardSheet(HINSTANCE instance);

    HINSTANCE instance;  // first: the pages use it while they are built
    HICON programIcon;
    HWND window;  // none until the sheet window is created
    PROPSHEETHEADERA header;
    HPROPSHEETPAGE pageHandles[kWizardPageCount];
    WizardPage* pages[kWizardPageCount];
    int pageCount;
    WNDPROC previousProc;
    DWORD unattended;  // option "autoinstall"
    WizardActions actions;

    WelcomePage welcome;
    ComputerInfoPage computerInfo;
    OptionsPage options;
    InstallPage install;

    // Makes the options page current and has it press Finish as soon as it shows.
    void AutoStart();
    // Makes the install page current.
    void StartOnInstallPage();
    // Shows the sheet modally; its result. The sheet destroys its pages when it closes.
    INT_PTR Show();

private:
    void MakeCurrent(int index);
};

// The process's wizard, or none.
extern WizardSheet* wizardSheet;

// Builds the wizard and its four pages (none when a page cannot be made).
WizardSheet* CreateWizardSheet(HINSTANCE instance, const WizardActions& actions);
// Discards the wizard, with its pages when it was never shown.
void DestroyWizardSheet();
