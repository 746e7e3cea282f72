// The wizard sheet: its creation callback, the replaced sheet window procedure, the
// page dialog procedure shared by the four pages, and the base page operations.
#include "wizard/wizard_sheet.h"

#include <cstring>
#include <new>

#include "core/output.h"
#include "wizard/resource.h"
#include "wizard/small_dialogs.h"

WizardSheet* wizardSheet = nullptr;

namespace {

const DWORD kSheetFlags = 0x1A0;            // wizard mode, no Apply button, creation callback
const LONG kMinimizeAndSystemMenu = 0xA0000;
const LONG kContextHelp = 0x400;
const UINT kRepaintEverything = 0x287;      // invalidate, erase, frame, all children, update now

WizardPage* FindPage(HWND window) {
    if (!wizardSheet) return nullptr;
    for (WizardPage* page : wizardSheet->pages)
        if (page->window == window) return page;
    return nullptr;
}

LRESULT CALLBACK SheetWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WizardSheet* sheet = wizardSheet;
    if (message == WM_SYSCOMMAND) {
        if (wParam == IDM_ABOUTBOX) {
            ShowAboutBox(window);
            return 0;
        }
        UINT command = (UINT)(wParam & 0xFFF0);
        if (command == SC_MINIMIZE || command == SC_RESTORE) {
            // The hidden desktop behind a minimised wizard is repainted in full.
            LRESULT result = CallWindowProcA(sheet->previousProc, window, message, wParam, lParam);
            RedrawWindow(GetDesktopWindow(), nullptr, nullptr, kRepaintEverything);
            return result;
        }
    }
    if (message == WM_INITMENUPOPUP && HIWORD(lParam)) {
        // The system menu: Minimize and Restore by the window's state; never Size or Maximize.
        HMENU menu = (HMENU)wParam;
        BOOL minimized = IsIconic(window);
        EnableMenuItem(menu, SC_RESTORE, MF_BYCOMMAND | (minimized ? MF_ENABLED : MF_GRAYED));
        EnableMenuItem(menu, SC_MINIMIZE, MF_BYCOMMAND | (minimized ? MF_GRAYED : MF_ENABLED));
        EnableMenuItem(menu, SC_SIZE, MF_BYCOMMAND | MF_GRAYED);
        EnableMenuItem(menu, SC_MAXIMIZE, MF_BYCOMMAND | MF_GRAYED);
        return 0;
    }
    return CallWindowProcA(sheet->previousProc, window, message, wParam, lParam);
}

int CALLBACK SheetCallback(HWND window, UINT message, LPARAM) {
    if (message != PSCB_INITIALIZED || !wizardSheet) return 0;
    WizardSheet* sheet = wizardSheet;
    sheet->window = window;
    currentDialog = window;
    sheet->previousProc = (WNDPROC)SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)SheetWindowProc);
    SetWindowLongA(window, GWL_STYLE, GetWindowLongA(window, GWL_STYLE) | kMinimizeAndSystemMenu);
    SetWindowLongA(window, GWL_EXSTYLE, GetWindowLongA(window, GWL_EXSTYLE) & ~kContextHelp);
    SendMessageA(window, WM_SETICON, ICON_BIG, (LPARAM)sheet->programIcon);
    SendMessageA(window, WM_SETICON, ICON_SMALL, (LPARAM)sheet->programIcon);
    char about[256] = "";
    LoadStringA(sheet->instance, IDS_ABOUTBOX, about, sizeof about);
    if (about[0]) {
        HMENU menu = GetSystemMenu(window, FALSE);
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about);
        DrawMenuBar(window);
    }
    return 0;
}

// Centres the sheet window on the desktop.
void CenterSheet(HWND sheetWindow) {
    RECT desktop, own;
    if (!GetWindowRect(GetDesktopWindow(), &desktop) || !GetWindowRect(sheetWindow, &own)) return;
    int width = own.right - own.left, height = own.bottom - own.top;
    int left = (desktop.right - desktop.left) / 2 - width / 2;
    int top = (desktop.bottom - desktop.top) / 2 - height / 2;
    MoveWindow(sheetWindow, left, top, width, height, TRUE);
}

INT_PTR CALLBACK WizardPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        WizardPage* page = (WizardPage*)((PROPSHEETPAGEA*)lParam)->lParam;
        CenterSheet(GetParent(window));
        page->window = window;
        return page->OnInitDialog();
    }
    WizardPage* page = FindPage(window);
    if (!page) return FALSE;
    switch (message) {
    case WM_NOTIFY: {
        LONG_PTR result = 0;
        INT_PTR handled = TRUE;
        switch (((NMHDR*)lParam)->code) {
        case PSN_SETACTIVE:
            handled = page->OnSetActive();
            break;
        case PSN_KILLACTIVE:
            handled = page->OnKillActive();
            break;
        case PSN_WIZBACK:
            page->OnWizardBack();
            break;
        case PSN_WIZNEXT:
            if (page->OnWizardNext() == -1) result = -1;
            break;
        case PSN_WIZFINISH:
            if (page->OnWizardFinish() == 0) result = -1;
            break;
        default:
            return FALSE;
        }
        // Set every time: a refusal left over from an earlier notification must not stay.
        SetWindowLongPtrA(window, DWLP_MSGRESULT, result);
        return handled;
    }
    case WM_COMMAND:
        return page->OnCommand(LOWORD(wParam), wParam, (HWND)lParam);
    case WM_DESTROY:
        return page->OnDestroy();
    }
    return FALSE;
}

}  // namespace

WizardPage::WizardPage(WizardSheet* owner, int templateId) : window(nullptr), sheet(owner) {
    memset(&description, 0, sizeof description);
    description.dwSize = sizeof description;
    description.hInstance = owner->instance;
    description.pszTemplate = MAKEINTRESOURCEA(templateId);
    description.pfnDlgProc = WizardPageProc;
    description.lParam = (LPARAM)this;
}

int WizardPage::OnCommand(WORD, WPARAM, HWND) { return 0; }
int WizardPage::OnInitDialog() {
    DataExchange(0);
    return 0;
}
int WizardPage::OnSetActive() {
    SetButtons(PSWIZB_BACK | PSWIZB_NEXT);
    return 1;
}
int WizardPage::OnKillActive() { return 1; }
int WizardPage::OnWizardBack() { return 0; }
int WizardPage::OnWizardNext() { return 0; }
int WizardPage::OnWizardFinish() { return 1; }
int WizardPage::OnDestroy() {
    window = nullptr;
    return 0;
}
int WizardPage::DataExchange(int) { return 1; }

void WizardPage::SetButtons(DWORD buttons) { PostMessageA(GetParent(window), PSM_SETWIZBUTTONS, 0, (LPARAM)buttons); }
void WizardPage::SetFinishText(const char* text) { SetDlgItemTextA(GetParent(window), IDC_WIZARD_FINISH, text); }

void WizardPage::ShowString(int controlId, UINT stringId) {
    char text[1024] = "";
    LoadStringA(sheet->instance, stringId, text, sizeof text);
    SetDlgItemTextA(window, controlId, text);
}

int WizardPage::Message(const char* text, UINT style) { return ShowAppMessage(window, text, style); }
int WizardPage::MessageId(UINT stringId, UINT style) { return ShowAppMessageId(window, stringId, style); }
BOOL WizardPage::Checked(int controlId) { return IsDlgButtonChecked(window, controlId) == BST_CHECKED; }
void WizardPage::Check(int controlId, BOOL checked) {
    CheckDlgButton(window, controlId, checked ? BST_CHECKED : BST_UNCHECKED);
}
void WizardPage::Enable(int controlId, BOOL enabled) { EnableWindow(GetDlgItem(window, controlId), enabled); }

size_t WizardPage::ReadText(int controlId, char* buffer, size_t size) {
    buffer[0] = 0;
    GetDlgItemTextA(window, controlId, buffer, (int)size);
    int length = GetWindowTextLengthA(GetDlgItem(window, controlId));
    return length > 0 ? (size_t)length : strlen(buffer);
}

void WizardPage::BrowseFile(int controlId, bool save, const char* title, const char* filter, const char* extension,
                            DWORD flags) {
    char name[MAX_PATH] = "";
    GetDlgItemTextA(window, controlId, name, sizeof name);
    OPENFILENAMEA dialog;
    memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window;
    dialog.lpstrFilter = filter;
    dialog.lpstrFile = name;
    dialog.nMaxFile = sizeof name;
    dialog.lpstrTitle = title;
    dialog.lpstrDefExt = extension;
    dialog.Flags = flags;
    if (save)
        GetSaveFileNameA(&dialog);
    else
        GetOpenFileNameA(&dialog);
    SetDlgItemTextA(window, controlId, name);
}

int WizardPage::Refuse(int controlId, const char* text, UINT style) {
    SetFocus(GetDlgItem(window, controlId));
    Message(text, style);
    return 0;
}

int WizardPage::FileNameFits(int controlId, const char* name, size_t length, size_t fieldSize, const char* emptyText,
                             UINT uncStringId) {
    if (name[0] == 0) return Refuse(controlId, emptyText, MB_OK);
    if (name[0] == '\\' && name[1] == '\\') {
        MessageId(uncStringId, MB_OK | MB_ICONERROR);
        return 0;
    }
    // A box before any change, for a path that does not fit the job record.
    if (length >= fieldSize)
        return Refuse(controlId, "The file name is too long.  Please specify a shorter path.", MB_OK | MB_ICONERROR);
    return 1;
}

void CopyField(char* to, size_t size, const char* from) {
    size_t length = strnlen(from, size - 1);
    memcpy(to, from, length);
    to[length] = 0;
}

WizardSheet::WizardSheet(HINSTANCE module)
    : instance(module), programIcon(nullptr), window(nullptr), header(), pageHandles(), pages(), pageCount(0),
      previousProc(nullptr), unattended(0), actions(), welcome(this), computerInfo(this), options(this),
      install(this) {}

void WizardSheet::MakeCurrent(int index) {
    if (window)
        SendMessageA(window, PSM_SETCURSEL, (WPARAM)index, 0);
    else
        header.nStartPage = (UINT)index;
}

void WizardSheet::AutoStart() {
    MakeCurrent(kOptionsPageIndex);
    options.autoFinish = 1;
}

void WizardSheet::StartOnInstallPage() { MakeCurrent(kInstallPageIndex); }

INT_PTR WizardSheet::Show() {
    INT_PTR result = PropertySheetA(&header);
    // A sheet that was created has destroyed its pages when it closed.
    if (window)
        for (HPROPSHEETPAGE& page : pageHandles) page = nullptr;
    return result;
}

WizardSheet* CreateWizardSheet(HINSTANCE instance, const WizardActions& actions) {
    if (wizardSheet) return wizardSheet;
    // The pages read the instance and the role while they are built.
    WizardSheet* sheet = new (std::nothrow) WizardSheet(instance);
    if (!sheet) return nullptr;
    sheet->actions = actions;
    sheet->programIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_TESSIV));
    WizardPage* pages[kWizardPageCount] = {&sheet->welcome, &sheet->computerInfo, &sheet->options, &sheet->install};
    for (int i = 0; i < kWizardPageCount; ++i) {
        sheet->pages[i] = pages[i];
        sheet->pageHandles[i] = CreatePropertySheetPageA(&pages[i]->description);
        if (!sheet->pageHandles[i]) {
            for (int made = 0; made < i; ++made) DestroyPropertySheetPage(sheet->pageHandles[made]);
            delete sheet;
            return nullptr;
        }
    }
    sheet->pageCount = kWizardPageCount;
    sheet->header.dwSize = sizeof sheet->header;
    sheet->header.dwFlags = kSheetFlags;
    sheet->header.hInstance = instance;
    sheet->header.nPages = kWizardPageCount;
    sheet->header.nStartPage = 0;
    sheet->header.phpage = sheet->pageHandles;
    sheet->header.pfnCallback = SheetCallback;
    wizardSheet = sheet;
    return sheet;
}

void DestroyWizardSheet() {
    if (!wizardSheet) return;
    if (currentDialog == wizardSheet->window) currentDialog = nullptr;
    // Pages of a sheet that was never shown are still ours to destroy.
    for (HPROPSHEETPAGE page : wizardSheet->pageHandles)
        if (page) DestroyPropertySheetPage(page);
    delete wizardSheet;
    wizardSheet = nullptr;
}
