// What the Watch menu's dialogs share: number fields checked against the
// ranges of WATCH_SETTING_FIELDS (config/session_config.h), the warning on
// the field that is wrong, and the modal run on a copy of the settings.
#pragma once
#include <windows.h>

#include <cstddef>
#include <string>

#include "config/session_config.h"

// One number field of a dialog and the setting it edits.
struct WatchDialogField {
    int control;
    int WatchSettings::*member;
    const char* what;  // "The flicker time (ms)"
};

// Shows each field's value.
void WatchDialogFill(HWND dialog, const WatchDialogField* fields, size_t count, const WatchSettings& s);
// A warning box captioned as the dialog, then the control focused with its
// text selected. Always false, for `return WatchDialogWarn(...)`.
bool WatchDialogWarn(HWND dialog, int control, const std::string& text);
// Reads each field into `s`; false after a warning on the first one that is
// not a number within its setting's range ("... must be from 1 to 60000.").
bool WatchDialogRead(HWND dialog, const WatchDialogField* fields, size_t count, WatchSettings& s);

// Runs dialog `id` on a copy of `settings`: fill shows it, read takes the
// dialog's values into it (false keeps the dialog open). True on OK, with
// `settings` replaced; false on Cancel, `settings` unchanged.
typedef void (*WatchDialogFillFn)(HWND dialog, const WatchSettings& s);
typedef bool (*WatchDialogReadFn)(HWND dialog, WatchSettings& s);
bool WatchDialogRun(HWND owner, int id, WatchDialogFillFn fill, WatchDialogReadFn read, WatchSettings& settings);
