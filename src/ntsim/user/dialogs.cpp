// Dialogs built from the resource templates: DialogBoxParamA and CreateDialogParamA,
// the default dialog procedure, the modal loop (which lets the operator act when it
// is idle), EndDialog, and the dialog item calls.
#include <cstring>

#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/user/operator.h"
#include "ntsim/user/res_file.h"
#include "ntsim/kernel/threads.h"
#include "ntsim/user/state.h"

namespace ntsim {

namespace {

struct DialogItem {
    DWORD style = 0, exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    std::string className;
    std::string text;
    uint32_t textOrdinal = 0;  // a picture's resource id
};

struct DialogTemplateInfo {
    DWORD style = 0, exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::string title;
    std::vector<DialogItem> items;
};

struct Reader {
    const uint8_t* p;
    const uint8_t* end;
    bool ok = true;
    uint16_t U16() {
        if (end - p < 2) {
            ok = false;
            return 0;
        }
        uint16_t v = (uint16_t)(p[0] | (p[1] << 8));
        p += 2;
        return v;
    }
    uint32_t U32() {
        uint32_t lo = U16();
        return lo | ((uint32_t)U16() << 16);
    }
    std::string Text() {
        std::vector<uint16_t> chars;
        while (ok) {
            uint16_t c = U16();
            if (c == 0) break;
            chars.push_back(c);
            if (chars.size() > 65536) ok = false;
        }
        return NarrowText(chars.data(), chars.size());
    }
    // sz_Or_Ord: 0 (none), 0xFFFF + ordinal, or a string.
    std::string TextOrOrdinal(uint32_t* ordinal) {
        *ordinal = 0;
        if (end - p < 2) {
            ok = false;
            return "";
        }
        uint16_t first = (uint16_t)(p[0] | (p[1] << 8));
        if (first == 0xFFFF) {
            U16();
            *ordinal = U16();
            return "";
        }
        return Text();
    }
    void Align(const uint8_t* base) {
        size_t off = (size_t)(p - base);
        size_t pad = (4 - off % 4) % 4;
        if ((size_t)(end - p) < pad) {
            p = end;
            return;
        }
        p += pad;
    }
};

const char* AtomClass(uint32_t atom) {
    switch (atom) {
    case 0x80:
        return "Button";
    case 0x81:
        return "Edit";
    case 0x82:
        return "Static";
    case 0x83:
        return "ListBox";
    case 0x84:
        return "ScrollBar";
    case 0x85:
        return "ComboBox";
    }
    return "Static";
}

// Parses a DLGTEMPLATE or DLGTEMPLATEEX; every read is bounds-checked.
bool ParseTemplate(const uint8_t* data, size_t size, DialogTemplateInfo* out) {
    Reader r{data, data + size};
    bool ex = size >= 4 && r.p[0] == 1 && r.p[1] == 0 && r.p[2] == 0xFF && r.p[3] == 0xFF;
    if (ex) {
        r.U16();
        r.U16();
        r.U32();  // help id
        out->exStyle = r.U32();
        out->style = r.U32();
    } else {
        out->style = r.U32();
        out->exStyle = r.U32();
    }
    uint16_t count = r.U16();
    out->x = (short)r.U16();
    out->y = (short)r.U16();
    out->cx = (short)r.U16();
    out->cy = (short)r.U16();
    uint32_t ord;
    r.TextOrOrdinal(&ord);  // menu
    r.TextOrOrdinal(&ord);  // class
    out->title = r.Text();
    if (out->style & DS_SETFONT) {
        r.U16();
        if (ex) {
            r.U16();
            r.U16();  // weight, italic + charset
        }
        r.Text();
    }
    for (uint16_t i = 0; i < count && r.ok; ++i) {
        r.Align(data);
        DialogItem item;
        if (ex) {
            r.U32();  // help id
            item.exStyle = r.U32();
            item.style = r.U32();
        } else {
            item.style = r.U32();
            item.exStyle = r.U32();
        }
        item.x = (short)r.U16();
        item.y = (short)r.U16();
        item.cx = (short)r.U16();
        item.cy = (short)r.U16();
        item.id = ex ? (int)(int32_t)r.U32() : (int)(int16_t)r.U16();
        uint32_t atom;
        item.className = r.TextOrOrdinal(&atom);
        if (atom) item.className = AtomClass(atom);
        item.text = r.TextOrOrdinal(&item.textOrdinal);
        uint16_t extra = r.U16();
        if ((size_t)(r.end - r.p) < extra) r.ok = false;
        else r.p += extra;
        out->items.push_back(item);
    }
    return r.ok;
}

RECT DialogUnits(short x, short y, short cx, short cy) {
    // MS Sans Serif 8: a dialog unit is a quarter of 6 pixels across, an eighth of 13 down.
    return RECT{x * 6 / 4, y * 13 / 8, (x + cx) * 6 / 4, (y + cy) * 13 / 8};
}

}  // namespace

HWND DialogCreateFromTemplate(const uint8_t* data, size_t size, int templateId, HWND parent, DLGPROC proc,
                              LPARAM param, HINSTANCE instance, bool showNow, bool asPage) {
    DialogTemplateInfo t;
    if (!ParseTemplate(data, size, &t)) return Fail(ERROR_RESOURCE_DATA_NOT_FOUND, nullptr);
    if (asPage) {
        // A property sheet page is a child control of the sheet, hidden until selected.
        t.style = (t.style & ~(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_DISABLED | WS_VISIBLE | DS_MODALFRAME)) |
                  WS_CHILD | DS_CONTROL;
    }
    RECT r = DialogUnits(t.x, t.y, t.cx, t.cy);
    if (!(t.style & WS_CHILD) && (t.style & DS_CENTER)) {
        LONG w = r.right - r.left, h = r.bottom - r.top;
        r = RECT{(1024 - w) / 2, (768 - h) / 2, (1024 - w) / 2 + w, (768 - h) / 2 + h};
    }
    HWND dlg = WindowCreate("#32770", t.title, t.style & ~WS_VISIBLE, t.exStyle, parent, 0, r, instance, nullptr);
    if (!dlg) return nullptr;
    {
        UiLock lock;
        Window* w = WindowFind(dlg);
        w->dialog = true;
        w->templateId = templateId;
        w->dlgProc = proc;
    }
    HWND firstTab = nullptr;
    for (const DialogItem& item : t.items) {
        RECT ir = DialogUnits(item.x, item.y, item.cx, item.cy);
        HWND c = WindowCreate(item.className, item.text, item.style | WS_CHILD, item.exStyle, dlg, item.id, ir,
                              instance, nullptr);
        if (!c) {
            DestroyWindow(dlg);
            return Fail(ERROR_CANNOT_FIND_WND_CLASS, nullptr);
        }
        if (item.textOrdinal) {
            DWORD kind = item.style & SS_TYPEMASK;
            HANDLE image = kind == SS_ICON ? (HANDLE)LoadIconA(instance, MAKEINTRESOURCE(item.textOrdinal))
                                           : (HANDLE)LoadBitmapA(instance, MAKEINTRESOURCE(item.textOrdinal));
            SendMessageA(c, STM_SETIMAGE, kind == SS_ICON ? IMAGE_ICON : IMAGE_BITMAP, (LPARAM)image);
        }
        if (!firstTab && (item.style & WS_TABSTOP) && !(item.style & WS_DISABLED)) firstTab = c;
        if ((item.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON && item.className == "Button") {
            UiLock lock;
            WindowFind(dlg)->defId = item.id;
        }
    }
    if (CallProc(dlg, WM_INITDIALOG, (WPARAM)firstTab, param) && firstTab && IsWindow(firstTab)) SetFocus(firstTab);
    if (IsWindow(dlg) && (showNow || (t.style & WS_VISIBLE))) {
        bool ended;
        {
            UiLock lock;
            Window* w = WindowFind(dlg);
            ended = !w || w->ended;
        }
        if (!ended) ShowWindow(dlg, SW_SHOW);
    }
    return dlg;
}

void ModalLoop(HWND top, const std::function<bool()>& ended) {
    {
        UiLock lock;
        QueueCurrent().modalStack.push_back(top);
    }
    while (true) {
        {
            UiLock lock;
            if (!WindowFind(top) || ended()) break;
        }
        MSG m;
        if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                // A quit message ends the modal loop and stays for the outer loop, as on Windows.
                PostQuitMessage((int)m.wParam);
                break;
            }
            if (!IsDialogMessageA(top, &m)) {
                TranslateMessage(&m);
                DispatchMessageA(&m);
            }
            continue;
        }
        ForeignWindowsMaterialize();
        if (OperatorIdle(top)) continue;
        uint32_t due = OperatorNextDueMs();
        WaitForWork(due < 50 ? (due ? due : 1) : 50);
    }
    UiLock lock;
    auto& stack = QueueCurrent().modalStack;
    if (!stack.empty()) stack.pop_back();
}

LRESULT CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DLGPROC proc;
    {
        UiLock lock;
        Window* w = WindowFind(hwnd);
        if (!w) return 0;
        w->msgResult = 0;
        proc = w->dlgProc;
    }
    INT_PTR handled = proc ? proc(hwnd, msg, wParam, lParam) : 0;
    if (msg == WM_INITDIALOG) return handled;
    if (handled) {
        switch (msg) {
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSTATIC:
            return handled;
        }
        UiLock lock;
        Window* w = WindowFind(hwnd);
        return w ? w->msgResult : 0;
    }
    switch (msg) {
    case WM_CLOSE:
        PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(hwnd, IDCANCEL));
        return 0;
    case DM_GETDEFID: {
        UiLock lock;
        Window* w = WindowFind(hwnd);
        return w ? MAKELRESULT(w->defId, DC_HASDEFID) : 0;
    }
    case DM_SETDEFID: {
        UiLock lock;
        if (Window* w = WindowFind(hwnd)) w->defId = (int)wParam;
        return TRUE;
    }
    case WM_COMMAND:
    case WM_NOTIFY:
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace ntsim

using namespace ntsim;

namespace {

const ResourceEntry* FindDialog(LPCSTR name) {
    const ResourceEntry* e = ResourceFind(5, name);
    if (!e) SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return e;
}

std::string NameText(LPCSTR name) {
    return IS_INTRESOURCE(name) ? "#" + std::to_string((uintptr_t)name) : std::string(name);
}

}  // namespace

LRESULT DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return DialogProc(hDlg, Msg, wParam, lParam);
}

HWND CreateDialogParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                        LPARAM dwInitParam) {
    UserEnsureStarted();
    if (FaultFails("CreateDialogParamA", NameText(lpTemplateName))) return nullptr;
    const ResourceEntry* e = FindDialog(lpTemplateName);
    if (!e) return nullptr;
    return DialogCreateFromTemplate(e->data.data(), e->data.size(), (int)e->id, hWndParent, lpDialogFunc,
                                    dwInitParam, hInstance, false, false);
}

INT_PTR DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                        LPARAM dwInitParam) {
    UserEnsureStarted();
    if (FaultFails("DialogBoxParamA", NameText(lpTemplateName))) return -1;
    const ResourceEntry* e = FindDialog(lpTemplateName);
    if (!e) return -1;
    HWND owner = nullptr;
    bool ownerWasEnabled = false;
    if (hWndParent) {
        UiLock lock;
        owner = TopLevelOf(hWndParent);
    }
    if (owner) {
        ownerWasEnabled = IsWindowEnabled(owner);
        EnableWindow(owner, FALSE);
    }
    HWND dlg = DialogCreateFromTemplate(e->data.data(), e->data.size(), (int)e->id, owner, lpDialogFunc, dwInitParam,
                                        hInstance, true, false);
    if (!dlg) {
        if (owner && ownerWasEnabled) EnableWindow(owner, TRUE);
        return -1;
    }
    ModalLoop(dlg, [dlg] {
        Window* w = WindowFind(dlg);
        return !w || w->ended;
    });
    INT_PTR result = 0;
    std::string label;
    {
        UiLock lock;
        if (Window* w = WindowFind(dlg)) {
            result = w->endResult;
            label = "\"" + w->text + "\"";
        }
    }
    if (owner && ownerWasEnabled) EnableWindow(owner, TRUE);
    if (IsWindow(dlg)) DestroyWindow(dlg);
    if (!label.empty()) TranscriptAdd("closed: dialog " + std::to_string(e->id) + " " + label + " with " + std::to_string((long long)result));
    return result;
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult) {
    {
        UiLock lock;
        Window* w = WindowOrError(hDlg);
        if (!w) return FALSE;
        w->ended = true;
        w->endResult = nResult;
        // The dialog disappears at once; the modal loop destroys it.
        w->style &= ~WS_VISIBLE;
    }
    UiWakeAll();
    return TRUE;
}

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
    UiLock lock;
    Window* w = WindowOrError(hDlg);
    if (!w) return nullptr;
    for (HWND c : w->children) {
        Window* cw = WindowFind(c);
        if (cw && cw->id == nIDDlgItem) return c;
    }
    SetLastError(1421);  // ERROR_CONTROL_ID_NOT_FOUND
    return nullptr;
}

int GetDlgCtrlID(HWND hWnd) {
    UiLock lock;
    Window* w = WindowOrError(hWnd);
    if (!w) return 0;
    return w->id;
}

BOOL SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (!item) return FALSE;
    return SendMessageA(item, WM_SETTEXT, 0, (LPARAM)(lpString ? lpString : "")) ? TRUE : FALSE;
}

UINT GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
    if (lpString && cchMax > 0) lpString[0] = 0;
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (!item || !lpString || cchMax <= 0) return 0;
    return (UINT)SendMessageA(item, WM_GETTEXT, (WPARAM)cchMax, (LPARAM)lpString);
}

BOOL CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
    HWND item = GetDlgItem(hDlg, nIDButton);
    if (!item) return FALSE;
    SendMessageA(item, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

UINT IsDlgButtonChecked(HWND hDlg, int nIDButton) {
    HWND item = GetDlgItem(hDlg, nIDButton);
    if (!item) return 0;
    return (UINT)SendMessageA(item, BM_GETCHECK, 0, 0);
}

BOOL CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton) {
    for (int id = nIDFirstButton; id <= nIDLastButton; ++id) {
        HWND item = GetDlgItem(hDlg, id);
        if (item) SendMessageA(item, BM_SETCHECK, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    return TRUE;
}

LRESULT SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (!item) return 0;
    return SendMessageA(item, Msg, wParam, lParam);
}
