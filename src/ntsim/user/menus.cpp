// System menus: the items a window's system menu has, their enabled state and the
// commands added to it (nothing is drawn; the operator chooses commands by id).
#include <map>

#include "ntsim/user/state.h"
#include "ntsim/kernel/fail.h"

using namespace ntsim;

namespace {

std::map<HMENU, std::vector<MenuItem>> g_menus;
uintptr_t g_nextMenu = 0x60000;

std::vector<MenuItem> DefaultSystemMenu() {
    return {{SC_RESTORE, MF_GRAYED, "&Restore"}, {SC_MOVE, 0, "&Move"},         {SC_SIZE, 0, "&Size"},
            {SC_MINIMIZE, 0, "Mi&nimize"},      {SC_MAXIMIZE, 0, "Ma&ximize"}, {0, MF_SEPARATOR, ""},
            {SC_CLOSE, 0, "&Close"}};
}

MenuItem* Item(HMENU menu, UINT id, UINT flags, size_t* index = nullptr) {
    auto it = g_menus.find(menu);
    if (it == g_menus.end()) return nullptr;
    auto& items = it->second;
    if (flags & MF_BYPOSITION) {
        if (id >= items.size()) return nullptr;
        if (index) *index = id;
        return &items[id];
    }
    for (size_t i = 0; i < items.size(); ++i)
        if (!(items[i].flags & MF_SEPARATOR) && items[i].id == id) {
            if (index) *index = i;
            return &items[i];
        }
    return nullptr;
}

}  // namespace

HMENU GetSystemMenu(HWND hWnd, BOOL bRevert) {
    UiLock lock;
    Window* w = WindowOrError(hWnd);
    if (!w) return nullptr;
    if (bRevert) {
        if (w->systemMenu) g_menus[w->systemMenu] = DefaultSystemMenu();
        return nullptr;
    }
    if (!w->systemMenu) {
        w->systemMenu = (HMENU)g_nextMenu;
        g_nextMenu += 4;
        g_menus[w->systemMenu] = DefaultSystemMenu();
    }
    return w->systemMenu;
}

BOOL AppendMenuA(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCSTR lpNewItem) {
    UiLock lock;
    auto it = g_menus.find(hMenu);
    if (it == g_menus.end()) {
        SetLastError(1401);  // ERROR_INVALID_MENU_HANDLE
        return FALSE;
    }
    MenuItem item;
    item.id = (UINT)uIDNewItem;
    item.flags = uFlags & (MF_GRAYED | MF_DISABLED | MF_SEPARATOR);
    if (!(uFlags & MF_SEPARATOR) && lpNewItem) item.text = lpNewItem;
    it->second.push_back(item);
    return TRUE;
}

BOOL EnableMenuItem(HMENU hMenu, UINT uIDEnableItem, UINT uEnable) {
    UiLock lock;
    MenuItem* item = Item(hMenu, uIDEnableItem, uEnable);
    if (!item) return (BOOL)-1;
    UINT previous = item->flags & (MF_GRAYED | MF_DISABLED);
    item->flags = (item->flags & ~(MF_GRAYED | MF_DISABLED)) | (uEnable & (MF_GRAYED | MF_DISABLED));
    return (BOOL)previous;
}

BOOL DeleteMenu(HMENU hMenu, UINT uPosition, UINT uFlags) {
    UiLock lock;
    size_t index;
    if (!Item(hMenu, uPosition, uFlags, &index)) {
        SetLastError(1456);  // ERROR_MENU_ITEM_NOT_FOUND
        return FALSE;
    }
    auto& items = g_menus[hMenu];
    items.erase(items.begin() + (long)index);
    return TRUE;
}

BOOL DrawMenuBar(HWND hWnd) { return IsWindow(hWnd); }

int GetMenuItemCount(HMENU hMenu) {
    UiLock lock;
    auto it = g_menus.find(hMenu);
    if (it == g_menus.end()) return Fail(1401, -1);
    return (int)it->second.size();
}

UINT GetMenuState(HMENU hMenu, UINT uId, UINT uFlags) {
    UiLock lock;
    MenuItem* item = Item(hMenu, uId, uFlags);
    return item ? item->flags : (UINT)-1;
}
