// What the five display dialogs share with the main window: the registration
// of the open display and the private refresh message.
#pragma once
#include <windows.h>

#include <cstdint>

#include "displays/display_kind.h"

// Sent (wParam 0, lParam 0) to the registered display when its category changed.
constexpr UINT WM_TALLY_REFRESH = WM_USER + 10;

// The open display; user-interface thread only. Closing clears the window and
// keeps the kind.
struct ActiveDisplayRecord {
    HWND window;
    int32_t kind;
};
extern ActiveDisplayRecord ActiveDisplay;
