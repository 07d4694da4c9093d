// Port parameters: the value tables offered by the "TTY Settings..." dialog
// and the dialog itself, which edits a PortSettings record.
#pragma once
#include <windows.h>

#include "config/session_config.h"

constexpr int PARITY_TABLE_SIZE = 5;
constexpr int STOPBITS_TABLE_SIZE = 3;
// The dialog offers only the first stop-bits row ("1").
constexpr int STOPBITS_OFFERED = 1;

// Row i of each table is labelled by string (first id + i). The rates are
// PORT_BAUD_RATES, labelled from IDS_BAUD_FIRST.
extern const DWORD parityTable[PARITY_TABLE_SIZE];
extern const DWORD stopBitsTable[STOPBITS_TABLE_SIZE];

// Adds one labelled row per table value, item data = the value, and selects
// the row whose value equals current.
void ComboFillFromTable(HINSTANCE instance, HWND combo, UINT firstStringId, const DWORD* table,
                        WORD count, DWORD current);

// The dialog's creation parameter (kept in its DWLP_USER slot): the record it
// edits, and who serves its "Font..." and "Detect Settings" buttons. The
// buttons' context (the session) is the dialog's window property
// SESSION_PROPERTY, an integer atom, while it runs.
constexpr ATOM SESSION_PROPERTY = 0x100;
struct SettingsDialogRecord {
    PortSettings* settings;
    bool portFixed;  // connected: the port cannot change
    INT_PTR (*font)(HWND dialog, void* context);
    INT_PTR (*detect)(HWND dialog, void* context);
    void* context;
};
SettingsDialogRecord* SettingsDialogFrom(HWND dialog);

int SettingsDialogLoad(HWND dialog);
int SettingsDialogStore(HWND dialog);
INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
