// In-process tests of the main window: the real class, registered once per
// test executable, and a fresh window per test.
#pragma once
#include <windows.h>

#include "app/app.h"

inline HWND OpenMainWindowForTest(int showCommand = SW_SHOWNORMAL) {
    static bool registered = false;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (!registered) {
        AppLoadStrings(instance);
        AppRegisterClass(instance);
        registered = true;
    }
    return AppCreateWindow(instance, showCommand) == 1 ? appMainWindow : nullptr;
}

// The quit message a destroyed window posts, taken off the queue so that the
// next test's message loops are not ended by it.
inline void DrainQuitMessages() {
    MSG m;
    while (PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}
