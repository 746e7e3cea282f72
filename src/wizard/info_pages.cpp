// The wizard's first two pages: the welcome texts, and the computer information page
// with its role texts and the synchronization file of a domain.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/job_settings.h"
#include "engine/command_line.h"
#include "engine/sync_file.h"
#include "identity/role_checks.h"
#include "wizard/resource.h"
#include "wizard/wizard_pages.h"
#include "wizard/wizard_sheet.h"

namespace {

const char* const kTerminalServerSuite = "Terminal Server";
const COLORREF kLightGrey = 0xC0C0C0;
const LONG kIndentTwips = 250;
const DWORD kOpenFlags = 0x81804;  // explorer style, file and path must exist, hide read-only
const DWORD kSaveFlags = 0x80004;  // explorer style, hide read-only

}  // namespace

WelcomePage::WelcomePage(WizardSheet* owner) : WizardPage(owner, IDD_WELCOME) {
    text1[0] = 0;
    text2[0] = 0;
}

int WelcomePage::OnInitDialog() {
    LoadStringA(sheet->instance, IDS_WELCOME1, text1, sizeof text1);
    LoadStringA(sheet->instance, IDS_WELCOME2, text2, sizeof text2);
    SetDlgItemTextA(window, IDC_WELCOME_TEXT1, text1);
    SetDlgItemTextA(window, IDC_WELCOME_TEXT2, text2);
    return WizardPage::OnInitDialog();
}

int WelcomePage::OnSetActive() {
    SetButtons(PSWIZB_NEXT);
    return 1;
}

ComputerInfoPage::ComputerInfoPage(WizardSheet* owner) : WizardPage(owner, IDD_COMPUTERINFO), browseIcon(nullptr) {
    static const UINT texts[4][2] = {{IDS_ROLE_STANDALONE1, IDS_ROLE_STANDALONE2},
                                     {IDS_ROLE_MEMBER1, IDS_ROLE_MEMBER2},
                                     {IDS_ROLE_PDC1, IDS_ROLE_PDC2},
                                     {IDS_ROLE_BDC1, IDS_ROLE_BDC2}};
    int role = machineRole >= kStandAlone && machineRole <= kBackupDomainController ? machineRole : kStandAlone;
    roleText1[0] = roleText2[0] = 0;
    LoadStringA(sheet->instance, texts[role][0], roleText1, sizeof roleText1);
    LoadStringA(sheet->instance, texts[role][1], roleText2, sizeof roleText2);
    fileName[0] = 0;
    useFile = role == kPrimaryDomainController || role == kBackupDomainController;
}

int ComputerInfoPage::OnInitDialog() {
    browseIcon = LoadIconA(sheet->instance, MAKEINTRESOURCEA(IDI_BROWSE));
    SendDlgItemMessageA(window, IDC_BROWSE_DATA, BM_SETIMAGE, IMAGE_ICON, (LPARAM)browseIcon);
    SendDlgItemMessageA(window, IDC_SYSINFO, EM_SETBKGNDCOLOR, 0, kLightGrey);
    if (machineRole == kPrimaryDomainController) SetDlgItemTextA(window, IDC_USEDATA, "Create Synchronization &File:");
    if (machineRole == kStandAlone) Enable(IDC_USEDATA, FALSE);

    SendDlgItemMessageA(window, IDC_SYSINFO, EM_SETSEL, 0, -1);
    if (IsProductSuiteInstalled(kTerminalServerSuite)) {
        char line[256] = "";
        LoadStringA(sheet->instance, IDS_TERMINAL_SERVER, line, sizeof line);
        SendDlgItemMessageA(window, IDC_SYSINFO, EM_REPLACESEL, FALSE, (LPARAM)line);
    }
    SendDlgItemMessageA(window, IDC_SYSINFO, EM_REPLACESEL, FALSE, (LPARAM)roleText1);
    // The numbered steps that follow hang from their numbers.
    PARAFORMAT format;
    memset(&format, 0, sizeof format);
    format.cbSize = sizeof format;
    format.dwMask = PFM_NUMBERING | PFM_OFFSETINDENT | PFM_OFFSET;  // start indent relative to the current one
    format.wNumbering = 0;
    format.dxStartIndent = kIndentTwips;
    format.dxOffset = kIndentTwips;
    SendDlgItemMessageA(window, IDC_SYSINFO, EM_SETPARAFORMAT, 0, (LPARAM)&format);
    SendDlgItemMessageA(window, IDC_SYSINFO, EM_REPLACESEL, FALSE, (LPARAM)roleText2);
    DataExchange(0);
    return 0;
}

void ComputerInfoPage::ApplyCheckBoxRule() {
    if (machineRole == kBackupDomainController) Check(IDC_USEDATA, TRUE);
    BOOL checked = Checked(IDC_USEDATA);
    if (!checked && machineRole == kPrimaryDomainController) MessageId(IDS_PDC_WARNING, MB_OK);
    Enable(IDC_DATAFILE, checked);
    Enable(IDC_BROWSE_DATA, checked);
}

int ComputerInfoPage::OnSetActive() {
    ApplyCheckBoxRule();
    SetButtons(PSWIZB_BACK | PSWIZB_NEXT);
    return 1;
}

int ComputerInfoPage::OnCommand(WORD controlId, WPARAM notificationAndId, HWND) {
    if (HIWORD(notificationAndId) != BN_CLICKED) return 0;
    if (controlId == IDC_USEDATA) ApplyCheckBoxRule();
    if (controlId == IDC_BROWSE_DATA) Browse();
    return 0;
}

void ComputerInfoPage::Browse() {
    const char* filter = "Data Files (*.dat)\0*.dat\0All Files (*.*)\0*.*\0";
    if (ReadsSyncFile(machineRole))
        BrowseFile(IDC_DATAFILE, false, "Use Synchronization File", filter, nullptr, kOpenFlags);
    else
        BrowseFile(IDC_DATAFILE, true, "Save Synchronization File As", filter, "dat", kSaveFlags);
}

int ComputerInfoPage::DataExchange(int save) {
    if (!save) {
        SetDlgItemTextA(window, IDC_DATAFILE, fileName);
        Check(IDC_USEDATA, useFile);
        ApplyCheckBoxRule();
        return 1;
    }
    size_t length = ReadText(IDC_DATAFILE, fileName, sizeof fileName);
    useFile = Checked(IDC_USEDATA);
    if (!useFile) return 1;
    if (!FileNameFits(IDC_DATAFILE, fileName, length, sizeof jobSettings->dataFileName,
                      "You must specify a synchronization file or uncheck the option before proceeding",
                      IDS_UNC_DATAFILE))
        return 0;
    // A backup controller or a member reads the file, a primary controller writes it: a name
    // pointing nowhere is refused here, not by the job after it has begun.
    std::string missing = ReadsSyncFile(machineRole)                ? MissingDataFileText(fileName)
                          : machineRole == kPrimaryDomainController ? MissingFolderText(fileName)
                                                                    : std::string();
    if (!missing.empty()) return Refuse(IDC_DATAFILE, missing.c_str(), MB_OK | MB_ICONERROR);
    return 1;
}

int ComputerInfoPage::OnWizardNext() {
    if (!DataExchange(1)) return -1;
    jobSettings->writeSyncFile = 0;
    jobSettings->useSyncFile = 0;
    // A file name kept from the command line or an earlier visit would be stored, and the
    // service at the next boot takes a stored name on a primary controller as the choice to
    // write the file.
    if (!useFile) jobSettings->dataFileName[0] = 0;
    if (useFile) {
        CopyField(jobSettings->dataFileName, sizeof jobSettings->dataFileName, fileName);
        if (machineRole == kPrimaryDomainController) jobSettings->writeSyncFile = 1;
        if (ReadsSyncFile(machineRole)) jobSettings->useSyncFile = 1;
    }
    return 0;
}
