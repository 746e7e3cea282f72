// The built-in controls: buttons (push, check, radio, group box), edit and rich
// edit controls, static texts and pictures, with the notifications their parents see.
#include <algorithm>
#include <cstring>

#include "ntsim/user/operator.h"
#include "ntsim/user/state.h"

namespace ntsim {

namespace {

void Notify(HWND hwnd, WORD code) {
    HWND parent;
    int id;
    {
        UiLock lock;
        Window* w = WindowFind(hwnd);
        if (!w || !w->parent) return;
        parent = w->parent;
        id = w->id;
    }
    SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, code), (LPARAM)hwnd);
}

DWORD StyleOf(HWND hwnd) {
    UiLock lock;
    Window* w = WindowFind(hwnd);
    return w ? w->style : 0;
}

bool IsRadio(DWORD style) {
    DWORD t = style & BS_TYPEMASK;
    return t == BS_RADIOBUTTON || t == BS_AUTORADIOBUTTON;
}

// Unchecks the other radio buttons of the button's group (the siblings between WS_GROUP marks).
void UncheckGroup(HWND hwnd) {
    std::vector<HWND> others;
    {
        UiLock lock;
        Window* w = WindowFind(hwnd);
        if (!w || !w->parent) return;
        Window* p = WindowFind(w->parent);
        if (!p) return;
        auto& kids = p->children;
        auto pos = std::find(kids.begin(), kids.end(), hwnd);
        if (pos == kids.end()) return;
        size_t start = (size_t)(pos - kids.begin());
        while (start > 0) {
            Window* c = WindowFind(kids[start]);
            if (c && (c->style & WS_GROUP)) break;
            --start;
        }
        for (size_t i = start; i < kids.size(); ++i) {
            Window* c = WindowFind(kids[i]);
            if (!c) continue;
            if (i > start && (c->style & WS_GROUP)) break;
            if (kids[i] != hwnd && c->className == "Button" && IsRadio(c->style) && c->check) others.push_back(kids[i]);
        }
    }
    for (HWND o : others) SendMessageA(o, BM_SETCHECK, BST_UNCHECKED, 0);
}

void SetCheck(HWND hwnd, UINT state) {
    UiLock lock;
    if (Window* w = WindowFind(hwnd)) w->check = state;
}

UINT GetCheck(HWND hwnd) {
    UiLock lock;
    Window* w = WindowFind(hwnd);
    return w ? w->check : 0;
}

}  // namespace

// Buttons and statics keep one image each (BM_/STM_SETIMAGE): the previous one is returned.
static LRESULT SwapImage(HWND hwnd, WPARAM type, LPARAM image) {
    UiLock lock;
    Window* w = WindowFind(hwnd);
    if (!w) return 0;
    HANDLE old = w->image;
    w->image = (HANDLE)image;
    w->imageType = type;
    return (LRESULT)old;
}

static LRESULT ImageOf(HWND hwnd) {
    UiLock lock;
    Window* w = WindowFind(hwnd);
    return w ? (LRESULT)w->image : 0;
}

LRESULT CALLBACK ButtonProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case BM_GETCHECK:
        return GetCheck(hwnd);
    case BM_SETCHECK: {
        SetCheck(hwnd, (UINT)wParam);
        return 0;
    }
    case BM_GETSTATE:
        return GetCheck(hwnd);
    case BM_SETSTYLE: {
        UiLock lock;
        if (Window* w = WindowFind(hwnd)) w->style = (w->style & ~0xFFFFu) | (DWORD)(wParam & 0xFFFF);
        return 0;
    }
    case BM_SETIMAGE: {
        return SwapImage(hwnd, wParam, lParam);
    }
    case BM_GETIMAGE: {
        return ImageOf(hwnd);
    }
    case BM_CLICK: {
        // As a mouse click: the button takes the focus, changes state, then tells its parent.
        DWORD style = StyleOf(hwnd);
        DWORD type = style & BS_TYPEMASK;
        if (type == BS_GROUPBOX) return 0;
        SetFocus(hwnd);
        if (type == BS_AUTOCHECKBOX)
            SetCheck(hwnd, GetCheck(hwnd) ? BST_UNCHECKED : BST_CHECKED);
        else if (type == BS_AUTORADIOBUTTON) {
            SetCheck(hwnd, BST_CHECKED);
            UncheckGroup(hwnd);
        }
        Notify(hwnd, BN_CLICKED);
        return 0;
    }
    case WM_SETFOCUS:
        if (StyleOf(hwnd) & BS_NOTIFY) Notify(hwnd, BN_SETFOCUS);
        return 0;
    case WM_KILLFOCUS:
        if (StyleOf(hwnd) & BS_NOTIFY) Notify(hwnd, BN_KILLFOCUS);
        return 0;
    case WM_GETDLGCODE:
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

namespace {

bool IsRich(HWND hwnd) {
    UiLock lock;
    Window* w = WindowFind(hwnd);
    return w && (w->className == "RICHEDIT" || w->className == "RichEdit20A");
}

std::string Cased(DWORD style, std::string text) {
    if (style & ES_UPPERCASE)
        for (char& c : text) c = (char)toupper((unsigned char)c);
    if (style & ES_LOWERCASE)
        for (char& c : text) c = (char)tolower((unsigned char)c);
    return text;
}

// Replaces the selection with text (as typed or EM_REPLACESEL); respects the text limit when typed.
void ReplaceSelection(HWND hwnd, const std::string& insert, bool typed) {
    std::string text;
    {
        UiLock lock;
        Window* w = WindowFind(hwnd);
        if (!w) return;
        text = w->text;
        LONG len = (LONG)text.size();
        LONG a = std::clamp(std::min(w->selStart, w->selEnd), 0, len);
        LONG b = std::clamp(std::max(w->selStart, w->selEnd), 0, len);
        if (w->selStart == -1) a = b = len;
        std::string piece = Cased(w->style, insert);
        if (typed) {
            size_t limit = w->limit ? w->limit : 30000;
            size_t room = limit > text.size() - (size_t)(b - a) ? limit - (text.size() - (size_t)(b - a)) : 0;
            if (piece.size() > room) piece.resize(room);
        }
        text = text.substr(0, (size_t)a) + piece + text.substr((size_t)b);
        w->selStart = w->selEnd = a + (LONG)piece.size();
    }
    WindowSetText(hwnd, text);
    Notify(hwnd, EN_CHANGE);
}

}  // namespace

LRESULT CALLBACK EditProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_SETTEXT: {
        DWORD style = StyleOf(hwnd);
        std::string text = Cased(style, lParam ? (const char*)lParam : "");
        {
            UiLock lock;
            if (Window* w = WindowFind(hwnd)) w->selStart = w->selEnd = 0;
        }
        WindowSetText(hwnd, text);
        if (!(style & ES_MULTILINE)) Notify(hwnd, EN_CHANGE);
        return TRUE;
    }
    case EM_SETSEL: {
        UiLock lock;
        Window* w = WindowFind(hwnd);
        if (!w) return 0;
        LONG len = (LONG)w->text.size();
        LONG a = (LONG)(INT_PTR)wParam, b = (LONG)lParam;
        if (a == -1) {
            w->selStart = w->selEnd = len;  // no selection: the caret at the end
            return 0;
        }
        if (b == -1 || b > len) b = len;
        w->selStart = std::clamp(a, 0, len);
        w->selEnd = std::clamp(b, 0, len);
        return 0;
    }
    case EM_GETSEL: {
        UiLock lock;
        Window* w = WindowFind(hwnd);
        if (!w) return 0;
        if (wParam) *(DWORD*)wParam = (DWORD)w->selStart;
        if (lParam) *(DWORD*)lParam = (DWORD)w->selEnd;
        return MAKELRESULT(w->selStart, w->selEnd);
    }
    case EM_EXSETSEL: {
        const CHARRANGE* cr = (const CHARRANGE*)lParam;
        if (!cr) return 0;
        SendMessageA(hwnd, EM_SETSEL, (WPARAM)(INT_PTR)cr->cpMin, cr->cpMax);
        UiLock lock;
        Window* w = WindowFind(hwnd);
        return w ? w->selEnd : 0;
    }
    case EM_EXGETSEL: {
        CHARRANGE* cr = (CHARRANGE*)lParam;
        UiLock lock;
        Window* w = WindowFind(hwnd);
        if (w && cr) *cr = CHARRANGE{w->selStart, w->selEnd};
        return 0;
    }
    case EM_REPLACESEL:
        ReplaceSelection(hwnd, lParam ? (const char*)lParam : "", false);
        return 0;
    case EM_LIMITTEXT: {
        UiLock lock;
        if (Window* w = WindowFind(hwnd)) w->limit = (UINT)wParam;
        return 0;
    }
    case EM_SETREADONLY: {
        UiLock lock;
        if (Window* w = WindowFind(hwnd)) {
            if (wParam)
                w->style |= ES_READONLY;
            else
                w->style &= ~ES_READONLY;
        }
        return TRUE;
    }
    case EM_GETLINECOUNT: {
        std::string t = WindowGetText(hwnd);
        return 1 + (LRESULT)std::count(t.begin(), t.end(), '\n');
    }
    case WM_SETFOCUS:
        Notify(hwnd, EN_SETFOCUS);
        return 0;
    case WM_KILLFOCUS:
        Notify(hwnd, EN_KILLFOCUS);
        return 0;
    case WM_CHAR: {
        // Typing (the operator): a printable character replaces the selection, unless read-only.
        if (StyleOf(hwnd) & ES_READONLY) return 0;
        char c[2] = {(char)wParam, 0};
        if ((unsigned char)c[0] >= 32) {
            ReplaceSelection(hwnd, c, true);
        } else if (c[0] == '\b') {
            // Backspace: removes the selection, or the character before the caret.
            {
                UiLock lock;
                Window* w = WindowFind(hwnd);
                if (!w) return 0;
                if (w->selStart == w->selEnd && w->selStart > 0) w->selStart--;
            }
            ReplaceSelection(hwnd, "", true);
        }
        return 0;
    }
    }
    if (IsRich(hwnd)) {
        switch (msg) {
        case EM_SETBKGNDCOLOR: {
            UiLock lock;
            Window* w = WindowFind(hwnd);
            if (!w) return 0;
            COLORREF old = w->hasBackground ? w->background : 0xFFFFFF;
            w->hasBackground = wParam == 0;
            w->background = (COLORREF)lParam;
            return (LRESULT)old;
        }
        case EM_SETPARAFORMAT: {
            const PARAFORMAT* pf = (const PARAFORMAT*)lParam;
            if (!pf || pf->cbSize != sizeof(PARAFORMAT)) return 0;
            UiLock lock;
            Window* w = WindowFind(hwnd);
            if (!w) return 0;
            w->paragraphs.emplace_back(std::min(w->selStart, w->selEnd), *pf);
            return TRUE;
        }
        case EM_GETPARAFORMAT: {
            PARAFORMAT* pf = (PARAFORMAT*)lParam;
            if (!pf) return 0;
            UiLock lock;
            Window* w = WindowFind(hwnd);
            if (!w || w->paragraphs.empty()) return 0;
            UINT size = pf->cbSize;
            *pf = w->paragraphs.back().second;
            pf->cbSize = size;
            return (LRESULT)pf->dwMask;
        }
        case EM_SETCHARFORMAT:
            return TRUE;
        }
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case STM_SETIMAGE: {
        return SwapImage(hwnd, wParam, lParam);
    }
    case STM_GETIMAGE: {
        return ImageOf(hwnd);
    }
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace ntsim
