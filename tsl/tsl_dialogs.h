// The TSL dialogs of the Network menu: Win32 views over the saved TSL
// settings' records. Each checks what the operator typed, refusing a bad
// value with a message that names the field and puts the focus on it, and
// saves nothing itself. Cancel leaves the record alone.
#pragma once
#include <windows.h>

#include <string>

#include "config/tsl_config.h"

// "Tally Outputs": the destinations (Add..., Edit..., Remove, a check box
// each to send or not) and the refresh interval. True on OK; `settings`
// then holds the new list and interval (the rest untouched).
bool TslOutputsDialogRun(HWND owner, TslSettings& settings);

// "Tally Output": one destination and its map. True on OK with values that check.
bool TslDestinationDialogRun(HWND owner, TslDestinationConfig& destination);

// "Compare with TSL Input": on or off, the listener and the tolerance.
// `inUse` says what listens now ("Listening on udp:0.0.0.0:8900").
bool TslInputDialogRun(HWND owner, TslSettings& settings, const std::string& inUse);

// ---- Shared by the three dialogs ---------------------------------------------
// A whole number typed in an edit control; false when it is not one.
bool TslDialogNumber(HWND dialog, int id, long long& value);
// The message box naming what is wrong (captioned TSL_DIALOG_REFUSED), then
// the focus on the control.
constexpr const char* TSL_DIALOG_REFUSED = "TSL Settings";
void TslDialogRefuse(HWND dialog, int control, const std::string& message);
// Fills a drop-down list and selects one of its entries.
void TslDialogFillCombo(HWND dialog, int id, const char* const* items, int count, int selected);
