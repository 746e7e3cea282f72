// Property sheets in wizard mode: the sheet is a dialog with Back, Next, Finish and
// Cancel buttons whose dialog procedure drives the pages with PSN_* notifications,
// in the order comctl32 sends them.
#include <cstring>

#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/user/operator.h"
#include "ntsim/user/res_file.h"
#include "ntsim/user/state.h"

struct _PSP {
    PROPSHEETPAGEA page;
};

namespace ntsim {

namespace {

const int kBack = 12323, kNext = 12324, kFinish = 12325;

struct Sheet {
    std::vector<HPROPSHEETPAGE> pages;
    std::vector<HWND> pageWindows;
    int active = -1;
    bool ended = false;
    INT_PTR result = 0;
    DWORD flags = 0;
    PFNPROPSHEETCALLBACK callback = nullptr;
    UINT startPage = 0;
};

std::shared_ptr<Sheet> SheetOf(HWND hwnd) {
    UiLock lock;
    Window* w = WindowFind(hwnd);
    return w ? std::static_pointer_cast<Sheet>(w->sheet) : nullptr;
}

int TemplateId(const PROPSHEETPAGEA& p) {
    return (p.dwFlags & PSP_DLGINDIRECT) || !IS_INTRESOURCE(p.pszTemplate) ? 0 : (int)(uintptr_t)p.pszTemplate;
}

LRESULT Notify(HWND sheet, HWND page, UINT code) {
    PSHNOTIFY psn{};
    psn.hdr.hwndFrom = sheet;
    psn.hdr.idFrom = 0;
    psn.hdr.code = code;
    return SendMessageA(page, WM_NOTIFY, 0, (LPARAM)&psn);
}

bool CreatePage(HWND sheetWnd, Sheet& s, int index) {
    PROPSHEETPAGEA& p = s.pages[(size_t)index]->page;
    if ((p.dwFlags & PSP_USECALLBACK) && p.pfnCallback && !p.pfnCallback(nullptr, PSPCB_CREATE, &p)) return false;
    const uint8_t* data;
    size_t size;
    if (p.dwFlags & PSP_DLGINDIRECT) {
        // An in-memory template from the program itself: its size is not given, as on Windows.
        data = (const uint8_t*)p.pResource;
        size = 65536;
    } else {
        const ResourceEntry* e = ResourceFind(5, p.pszTemplate);
        if (!e) return Fail(ERROR_RESOURCE_NAME_NOT_FOUND, false);
        data = e->data.data();
        size = e->data.size();
    }
    HWND page = DialogCreateFromTemplate(data, size, TemplateId(p), sheetWnd, p.pfnDlgProc, (LPARAM)&p, p.hInstance,
                                         false, true);
    if (!page) return false;
    if ((p.dwFlags & PSP_USETITLE) && p.pszTitle && !IS_INTRESOURCE(p.pszTitle)) {
        UiLock lock;
        WindowFind(page)->text = p.pszTitle;
    }
    s.pageWindows[(size_t)index] = page;
    return true;
}

HWND FirstTabStop(HWND page) {
    UiLock lock;
    Window* w = WindowFind(page);
    if (!w) return nullptr;
    for (HWND c : w->children) {
        Window* cw = WindowFind(c);
        if (cw && (cw->style & WS_TABSTOP) && (cw->style & WS_VISIBLE) && !(cw->style & WS_DISABLED)) return c;
    }
    return nullptr;
}

int FindByResourceId(Sheet& s, LRESULT id) {
    for (size_t i = 0; i < s.pages.size(); ++i)
        if (TemplateId(s.pages[i]->page) == (int)id) return (int)i;
    return (int)s.pages.size();
}

// Asks the current page to let go (PSN_KILLACTIVE); true when it may be left.
bool CanSetCurSel(HWND sheetWnd, Sheet& s) {
    if (s.active < 0) return true;
    return Notify(sheetWnd, s.pageWindows[(size_t)s.active], PSN_KILLACTIVE) == 0;
}

bool SetCurSel(HWND sheetWnd, Sheet& s, int index, int skip) {
    if (index < 0 || index >= (int)s.pages.size()) return false;
    int old = s.active;
    if (old >= 0) ShowWindow(s.pageWindows[(size_t)old], SW_HIDE);
    s.active = -1;
    for (int guard = 0; guard < 64; ++guard) {
        if (!s.pageWindows[(size_t)index] && !CreatePage(sheetWnd, s, index)) return false;
        LRESULT r = Notify(sheetWnd, s.pageWindows[(size_t)index], PSN_SETACTIVE);
        if (r == 0) break;
        if (r == -1) {
            int next = index + skip;
            if (next < 0 || next >= (int)s.pages.size()) break;
            index = next;
        } else {
            int found = FindByResourceId(s, r);
            if (found >= (int)s.pages.size()) break;
            index = found;
        }
    }
    // Show the page: the sheet takes its title, its first control takes the focus.
    HWND page = s.pageWindows[(size_t)index];
    SetWindowTextA(sheetWnd, WindowGetText(page).c_str());
    if (HWND first = FirstTabStop(page)) SetFocus(first);
    s.active = index;
    ShowWindow(page, SW_SHOW);
    return true;
}

void Back(HWND sheetWnd, Sheet& s) {
    if (s.active < 0) return;
    LRESULT r = Notify(sheetWnd, s.pageWindows[(size_t)s.active], PSN_WIZBACK);
    if (r == -1) return;
    int index = r == 0 ? s.active - 1 : FindByResourceId(s, r);
    if (index >= 0 && index < (int)s.pages.size() && CanSetCurSel(sheetWnd, s)) SetCurSel(sheetWnd, s, index, -1);
}

void Next(HWND sheetWnd, Sheet& s) {
    if (s.active < 0) return;
    LRESULT r = Notify(sheetWnd, s.pageWindows[(size_t)s.active], PSN_WIZNEXT);
    if (r == -1) return;
    int index = r == 0 ? s.active + 1 : FindByResourceId(s, r);
    if (index < (int)s.pages.size() && CanSetCurSel(sheetWnd, s)) SetCurSel(sheetWnd, s, index, 1);
}

void Finish(HWND sheetWnd, Sheet& s) {
    if (s.active < 0) return;
    if (Notify(sheetWnd, s.pageWindows[(size_t)s.active], PSN_WIZFINISH) != 0) return;
    if (s.result == 0) s.result = IDOK;
    s.ended = true;
    UiWakeAll();
}

void Cancel(HWND sheetWnd, Sheet& s) {
    if (s.active < 0) return;
    if (Notify(sheetWnd, s.pageWindows[(size_t)s.active], PSN_QUERYCANCEL)) return;
    for (HWND p : s.pageWindows)
        if (p) Notify(sheetWnd, p, PSN_RESET);
    s.result = 0;
    s.ended = true;
    UiWakeAll();
}

void SetWizButtons(HWND sheetWnd, DWORD flags) {
    HWND back = GetDlgItem(sheetWnd, kBack), next = GetDlgItem(sheetWnd, kNext), finish = GetDlgItem(sheetWnd, kFinish);
    EnableWindow(back, (flags & PSWIZB_BACK) ? TRUE : FALSE);
    EnableWindow(next, (flags & PSWIZB_NEXT) ? TRUE : FALSE);
    EnableWindow(finish, FALSE);
    // Finish takes the place of Next.
    if (flags & (PSWIZB_FINISH | PSWIZB_DISABLEDFINISH)) {
        ShowWindow(next, SW_HIDE);
        ShowWindow(finish, SW_SHOW);
        if (!(flags & PSWIZB_DISABLEDFINISH)) EnableWindow(finish, TRUE);
    } else {
        ShowWindow(finish, SW_HIDE);
        ShowWindow(next, SW_SHOW);
    }
}

void SetResult(HWND hwnd, LONG_PTR value) { SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, value); }

INT_PTR CALLBACK SheetDlgProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<Sheet> s = SheetOf(hwnd);
    if (!s) return FALSE;
    switch (msg) {
    case WM_INITDIALOG:
        if ((s->flags & PSH_USECALLBACK) && s->callback) s->callback(hwnd, PSCB_INITIALIZED, 0);
        if (!SetCurSel(hwnd, *s, (int)s->startPage, 1)) {
            s->result = -1;
            s->ended = true;
        }
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case kBack:
            Back(hwnd, *s);
            return TRUE;
        case kNext:
            Next(hwnd, *s);
            return TRUE;
        case kFinish:
            Finish(hwnd, *s);
            return TRUE;
        case IDCANCEL:
            Cancel(hwnd, *s);
            return TRUE;
        }
        return FALSE;
    case PSM_SETWIZBUTTONS:
        SetWizButtons(hwnd, (DWORD)lParam);
        return TRUE;
    case PSM_PRESSBUTTON:
        switch (wParam) {
        case PSBTN_BACK:
            Back(hwnd, *s);
            break;
        case PSBTN_NEXT:
            Next(hwnd, *s);
            break;
        case PSBTN_FINISH:
            Finish(hwnd, *s);
            break;
        case PSBTN_CANCEL:
            Cancel(hwnd, *s);
            break;
        }
        return TRUE;
    case PSM_SETCURSEL: {
        int index = (int)wParam;
        if (lParam)
            for (size_t i = 0; i < s->pages.size(); ++i)
                if ((LPARAM)s->pages[i] == lParam) index = (int)i;
        bool ok = CanSetCurSel(hwnd, *s) && SetCurSel(hwnd, *s, index, 1);
        SetResult(hwnd, ok ? TRUE : FALSE);
        return TRUE;
    }
    case PSM_SETFINISHTEXTA: {
        HWND finish = GetDlgItem(hwnd, kFinish);
        SetWindowTextA(finish, (LPCSTR)lParam);
        ShowWindow(GetDlgItem(hwnd, kNext), SW_HIDE);
        ShowWindow(finish, SW_SHOW);
        EnableWindow(finish, TRUE);
        return TRUE;
    }
    case PSM_SETTITLEA:
        SetWindowTextA(hwnd, (LPCSTR)lParam);
        return TRUE;
    case PSM_GETCURRENTPAGEHWND:
        SetResult(hwnd, s->active >= 0 ? (LONG_PTR)s->pageWindows[(size_t)s->active] : 0);
        return TRUE;
    }
    return FALSE;
}

HWND AddButton(HWND sheet, int id, const char* text, DWORD style, int x, int y) {
    RECT r{x, y, x + 75, y + 23};
    return WindowCreate("Button", text, WS_CHILD | WS_TABSTOP | style, 0, sheet, id, r, nullptr, nullptr);
}

}  // namespace

}  // namespace ntsim

using namespace ntsim;

HPROPSHEETPAGE CreatePropertySheetPageA(LPCPROPSHEETPAGEA psp) {
    if (FaultFails("CreatePropertySheetPageA", "")) return nullptr;
    if (!psp || psp->dwSize < offsetof(PROPSHEETPAGEA, pcRefParent) + sizeof(UINT*))
        return Fail(ERROR_INVALID_PARAMETER, nullptr);
    auto* p = new _PSP{};
    memcpy(&p->page, psp, std::min<size_t>(psp->dwSize, sizeof(PROPSHEETPAGEA)));
    return p;
}

BOOL DestroyPropertySheetPage(HPROPSHEETPAGE hPSPage) {
    if (!hPSPage) return FALSE;
    if ((hPSPage->page.dwFlags & PSP_USECALLBACK) && hPSPage->page.pfnCallback)
        hPSPage->page.pfnCallback(nullptr, PSPCB_RELEASE, &hPSPage->page);
    delete hPSPage;
    return TRUE;
}

INT_PTR PropertySheetA(LPCPROPSHEETHEADERA h) {
    UserEnsureStarted();
    if (FaultFails("PropertySheetA", h && h->pszCaption && !IS_INTRESOURCE(h->pszCaption) ? h->pszCaption : "")) return -1;
    if (!h || h->nPages == 0 || h->nPages > MAXPROPPAGES) return Fail(ERROR_INVALID_PARAMETER, -1);
    auto s = std::make_shared<Sheet>();
    s->flags = h->dwFlags;
    s->callback = h->pfnCallback;
    s->startPage = (h->dwFlags & PSH_USEPSTARTPAGE) ? 0 : h->nStartPage;
    if (s->startPage >= h->nPages) s->startPage = 0;
    for (UINT i = 0; i < h->nPages; ++i) {
        if (h->dwFlags & PSH_PROPSHEETPAGE) {
            const PROPSHEETPAGEA* p = (const PROPSHEETPAGEA*)((const char*)h->ppsp + (size_t)i * h->ppsp->dwSize);
            s->pages.push_back(CreatePropertySheetPageA(p));
        } else {
            s->pages.push_back(h->phpage[i]);
        }
        if (!s->pages.back()) return -1;
    }
    s->pageWindows.assign(s->pages.size(), nullptr);

    DLGTEMPLATE shape{};
    shape.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_3DLOOK | 0x2000 /* DS_CONTEXTHELP */;
    shape.dwExtendedStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT |
                            ((h->dwFlags & PSH_NOCONTEXTHELP) ? 0 : WS_EX_CONTEXTHELP);
    if ((h->dwFlags & PSH_USECALLBACK) && h->pfnCallback) h->pfnCallback(nullptr, PSCB_PRECREATE, (LPARAM)&shape);

    HWND owner = nullptr;
    if (h->hwndParent) {
        UiLock lock;
        owner = TopLevelOf(h->hwndParent);
    }
    RECT r{212, 134, 212 + 600, 134 + 400};
    std::string caption = h->pszCaption && !IS_INTRESOURCE(h->pszCaption) ? h->pszCaption : "";
    HWND sheet = WindowCreate("#32770", caption, shape.style, shape.dwExtendedStyle, owner, 0, r, h->hInstance, nullptr);
    if (!sheet) return -1;
    {
        UiLock lock;
        Window* w = WindowFind(sheet);
        w->dialog = true;
        w->sheet = s;
        w->dlgProc = SheetDlgProc;
        w->defId = kNext;
    }
    AddButton(sheet, kBack, "< &Back", WS_VISIBLE, 290, 360);
    AddButton(sheet, kNext, "&Next >", WS_VISIBLE | BS_DEFPUSHBUTTON, 365, 360);
    AddButton(sheet, kFinish, "Finish", 0, 365, 360);
    AddButton(sheet, IDCANCEL, "Cancel", WS_VISIBLE, 450, 360);
    AddButton(sheet, IDHELP, "Help", (h->dwFlags & PSH_HASHELP) ? WS_VISIBLE : 0, 525, 360);
    bool ownerWasEnabled = owner && IsWindowEnabled(owner);
    if (owner) EnableWindow(owner, FALSE);

    CallProc(sheet, WM_INITDIALOG, 0, 0);
    if (IsWindow(sheet) && !s->ended) ShowWindow(sheet, SW_SHOW);
    ModalLoop(sheet, [sheet, s] {
        Window* w = WindowFind(sheet);
        return !w || w->ended || s->ended;
    });
    INT_PTR result = s->result;
    {
        UiLock lock;
        Window* w = WindowFind(sheet);
        if (w && w->ended) result = w->endResult;  // ended by EndDialog
    }
    if (IsWindow(sheet)) DestroyWindow(sheet);
    if (owner && ownerWasEnabled) EnableWindow(owner, TRUE);
    // As comctl32 does when the sheet window goes: every page is destroyed, those the caller
    // made with CreatePropertySheetPageA too (their release callbacks run).
    for (HPROPSHEETPAGE page : s->pages) DestroyPropertySheetPage(page);
    TranscriptAdd("closed: wizard \"" + caption + "\" with " + std::to_string((long long)result));
    return result;
}
