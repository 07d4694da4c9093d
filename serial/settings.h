// Port parameters: the value tables offered by the "TTY Settings..." dialog,
// applying the session's settings to the open port, and the dialog itself.
#pragma once
#include <windows.h>

constexpr int BAUD_TABLE_SIZE = 13;
constexpr int PARITY_TABLE_SIZE = 5;
constexpr int STOPBITS_TABLE_SIZE = 3;
// The dialog offers only the first stop-bits row ("1").
constexpr int STOPBITS_OFFERED = 1;

// Row i of each table is labelled by string (first id + i).
extern const DWORD baudTable[BAUD_TABLE_SIZE];
extern const DWORD parityTable[PARITY_TABLE_SIZE];
extern const DWORD stopBitsTable[STOPBITS_TABLE_SIZE];

// Seam for tests: the SetCommState that PortApplySettings calls.
typedef BOOL(WINAPI* PortSetCommStateFn)(HANDLE, LPDCB);
extern PortSetCommStateFn portSetCommState;

// SetCommState result (non-zero on success); 0 when the window has no session.
int PortApplySettings(HWND window);

// Adds one labelled row per table value, item data = the value, and selects
// the row whose value equals current.
void ComboFillFromTable(HINSTANCE instance, HWND combo, UINT firstStringId, const DWORD* table,
                        WORD count, DWORD current);

int SettingsDialogLoad(HWND dialog);
int SettingsDialogStore(HWND dialog);
INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
