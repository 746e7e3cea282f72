// The names the property sheet cases record for a sheet's notifications to its pages;
// nullptr for a code that is none of these. Shared by the conformance case and the unit
// tests of the sheet, so both record the same words.
#pragma once
#include "nt/win32.h"

inline const char* PsnName(UINT code) {
    switch (code) {
    case PSN_SETACTIVE:
        return "setactive";
    case PSN_KILLACTIVE:
        return "killactive";
    case PSN_WIZBACK:
        return "back";
    case PSN_WIZNEXT:
        return "next";
    case PSN_WIZFINISH:
        return "finish";
    case PSN_RESET:
        return "reset";
    case PSN_QUERYCANCEL:
        return "querycancel";
    }
    return nullptr;
}
