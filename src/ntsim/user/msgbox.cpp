// MessageBoxA: the box is answered by the operator (or gets its default button) and
// recorded in the transcript; a box nobody can see is recorded as such.
#include "ntsim/kernel/faults.h"
#include "ntsim/user/operator.h"
#include "ntsim/user/state.h"

using namespace ntsim;

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    UserEnsureStarted();
    if (FaultFails("MessageBoxA", lpText ? lpText : "")) return 0;
    if ((uType & MB_TYPEMASK) > MB_CANCELTRYCONTINUE) {
        SetLastError(1158);  // ERROR_INVALID_MSGBOX_STYLE
        return 0;
    }
    std::string owner;
    bool visible;
    {
        UiLock lock;
        if (hWnd) {
            Window* w = WindowOrError(hWnd);
            if (!w) return 0;
            owner = w->text;
        }
        // A service-notification box appears on the interactive desktop whatever the caller's
        // desktop; any other box appears on the caller's own desktop.
        visible = (uType & MB_SERVICE_NOTIFICATION) || DesktopIsInteractive(CurrentDesktopName());
    }
    return OperatorAnswerBox(owner, lpText ? lpText : "", lpCaption ? lpCaption : "Error", uType, visible);
}
