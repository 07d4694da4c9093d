// The "Detect Settings" dialog: runs the scan on a COM port on a worker
// thread with a progress bar and Cancel, then offers the result to apply.
#pragma once
#include <windows.h>

#include "config/session_config.h"
#include "detect/setting.h"

// Modal over owner, on the port named portName ("COM1"). Returns 1 when the
// operator applied a setting that convinced (it is in *result), else 0. The
// port is closed again with the settings it had before, whatever happened.
int DetectDialogRun(HWND owner, const char* portName, DetectSetting* result);

// The "Detect Settings..." menu command of the main window: scans the port
// of `settings` (which must not be connected: the scan needs it to itself)
// and, when applied, stores the line settings found there. Returns 1 if stored.
int DetectSettingsCommand(HWND mainWindow, PortSettings& settings, bool connected);

// The "Detect Settings" button of the Settings dialog: scans the port chosen
// in it and, when applied, selects the result in its lists (Ok stores them).
INT_PTR DetectSettingsButton(HWND settingsDialog, bool connected);

INT_PTR CALLBACK DetectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
