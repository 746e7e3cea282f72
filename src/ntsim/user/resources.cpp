// Resources of the program as user32 hands them out: strings, icons, bitmaps,
// cursors and stock objects (the handles name the resource; nothing is drawn).
#include <cstring>

#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/user/res_file.h"
#include "ntsim/user/state.h"

using namespace ntsim;

namespace {

// Handle values by kind: the resource id in the low word.
const uintptr_t kIconBase = 0x30000, kStockIconBase = 0x38000, kBitmapBase = 0x40000, kCursorBase = 0x48000;

std::string NameText(LPCSTR name) {
    return IS_INTRESOURCE(name) ? "#" + std::to_string((uintptr_t)name) : std::string(name);
}

}  // namespace

int LoadStringA(HINSTANCE, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    if (!lpBuffer || cchBufferMax <= 0) return Fail(ERROR_INVALID_PARAMETER, 0);
    lpBuffer[0] = 0;
    if (FaultFails("LoadStringA", "#" + std::to_string(uID))) return 0;
    std::string text;
    if (!ResourceString(uID, &text)) return Fail(ERROR_RESOURCE_NAME_NOT_FOUND, 0);
    // Cut to the buffer, always terminated, as LoadStringA does.
    size_t n = std::min(text.size(), (size_t)cchBufferMax - 1);
    memcpy(lpBuffer, text.data(), n);
    lpBuffer[n] = 0;
    return (int)n;
}

HICON LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
    if (FaultFails("LoadIconA", NameText(lpIconName))) return nullptr;
    if (!hInstance) {
        // The system's own icons (IDI_APPLICATION and its neighbours).
        uintptr_t id = (uintptr_t)lpIconName;
        if (IS_INTRESOURCE(lpIconName) && id >= 32512 && id <= 32518) return (HICON)(kStockIconBase + (id - 32512));
        return Fail(ERROR_RESOURCE_NAME_NOT_FOUND, nullptr);
    }
    const ResourceEntry* e = ResourceFind(14, lpIconName);
    if (!e) return Fail(ERROR_RESOURCE_NAME_NOT_FOUND, nullptr);
    return (HICON)(kIconBase + (e->id & 0x7FFF));
}

HCURSOR LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName) {
    if (!hInstance && IS_INTRESOURCE(lpCursorName)) return (HCURSOR)(kCursorBase + ((uintptr_t)lpCursorName & 0x7FFF));
    return Fail(ERROR_RESOURCE_NAME_NOT_FOUND, nullptr);
}

HBITMAP LoadBitmapA(HINSTANCE, LPCSTR lpBitmapName) {
    if (FaultFails("LoadBitmapA", NameText(lpBitmapName))) return nullptr;
    const ResourceEntry* e = ResourceFind(2, lpBitmapName);
    if (!e) return Fail(ERROR_RESOURCE_NAME_NOT_FOUND, nullptr);
    return (HBITMAP)(kBitmapBase + (e->id & 0x7FFF));
}

BOOL DestroyIcon(HICON hIcon) { return hIcon != nullptr; }

HGDIOBJ GetStockObject(int i) { return i >= 0 && i <= 19 ? (HGDIOBJ)(uintptr_t)(0x50000 + i) : nullptr; }

BOOL DeleteObject(HGDIOBJ ho) { return ho != nullptr; }

VOID InitCommonControls(VOID) {}
