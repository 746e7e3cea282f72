// WizardPage: the base of the wizard's four pages. One dialog procedure serves every
// page and calls these operations; a page keeps its values between visits and moves
// them to and from its controls with DataExchange.
#pragma once
#include "nt/win32.h"

struct WizardSheet;

class WizardPage {
public:
    WizardPage(WizardSheet* sheet, int templateId);
    virtual ~WizardPage() {}

    virtual int OnCommand(WORD controlId, WPARAM notificationAndId, HWND control);
    virtual int OnInitDialog();   // DataExchange(load); 0
    virtual int OnSetActive();    // Back and Next; 1
    virtual int OnKillActive();   // 1: the page may be left
    virtual int OnWizardBack();   // 0
    virtual int OnWizardNext();   // 0 goes on, -1 keeps the page
    virtual int OnWizardFinish(); // 1 closes the sheet, 0 keeps it open
    virtual int OnDestroy();      // forgets the page window; 0
    // save = 0 puts the values into the controls; save = 1 reads them back and
    // validates them, 0 when refused (after telling the operator).
    virtual int DataExchange(int save);

    HWND window;
    WizardSheet* sheet;
    PROPSHEETPAGEA description;

protected:
    // PSM_SETWIZBUTTONS to the sheet (PSWIZB_* flags).
    void SetButtons(DWORD buttons);
    // The text of the sheet's Finish button.
    void SetFinishText(const char* text);
    // A string of the program's string table into a control of the page.
    void ShowString(int controlId, UINT stringId);
    // A box owned by the page (the service's rule of no owner applies).
    int Message(const char* text, UINT style);
    int MessageId(UINT stringId, UINT style);
    BOOL Checked(int controlId);
    void Check(int controlId, BOOL checked);
    void Enable(int controlId, BOOL enabled);
    // The text of a control, cut to size - 1 characters; the length it really has.
    size_t ReadText(int controlId, char* buffer, size_t size);
    // The common file dialog (Save As when save, else Open) for the file named in an edit
    // control: the control's text is where it starts, and the name chosen goes back there.
    void BrowseFile(int controlId, bool save, const char* title, const char* filter, const char* extension,
                    DWORD flags);
    // Refuses a control's value: the focus goes to the control and the operator is told why; 0.
    int Refuse(int controlId, const char* text, UINT style);
    // A file name (length characters) typed into a control for a field of fieldSize bytes:
    // 1 when it is given, is not a UNC path and fits; otherwise 0, the operator told
    // (emptyText, or the string uncStringId for a UNC path).
    int FileNameFits(int controlId, const char* name, size_t length, size_t fieldSize, const char* emptyText,
                     UINT uncStringId);
};

// Edit fields whose value ends in a MAX_PATH field of the job record; a longer text is
// refused instead of being cut.
const size_t kMaxFileNameText = 520;

// Copies a text into a field of size bytes, cut to fit (the pages refuse longer texts first).
void CopyField(char* to, size_t size, const char* from);
