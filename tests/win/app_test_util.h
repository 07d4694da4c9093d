// In-process tests of the main window: the real class, registered once per
// test executable, and a fresh window per test.
#pragma once
#include <windows.h>

#include "app/app.h"

inline HWND OpenMainWindowForTest() {
    static bool registered = false;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (!registered) {
        AppLoadStrings(instance);
        AppRegisterClass(instance);
        registered = true;
    }
    return AppCreateWindow(instance, SW_SHOWNORMAL) == 1 ? appMainWindow : nullptr;
}
