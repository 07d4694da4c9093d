// What the five display dialogs share with the main window: the registration
// of the open display, the private refresh message, the remembered record
// selections and the dialog procedures.
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

// Control id of the chosen ME / EXT selector button. Written only by a
// selector click and kept for the whole process, so a display reopens on the
// record last chosen.
extern int meSelection;
extern int extSelection;

// Dialog procedures of templates 131-135.
INT_PTR CALLBACK DisplayMeProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DisplayExtProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DisplaySsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DisplayOutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DisplayNamesProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the display of a menu command (32776-32780) as a modal dialog owned by
// owner, with creation parameter 0. Returns the dialog's result (1 for OK,
// 2 for Cancel or close), or -1 when command opens no display.
INT_PTR DisplayOpen(HINSTANCE instance, HWND owner, int command);
