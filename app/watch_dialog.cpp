// The Watch menu's dialogs' shared parts; see watch_dialog.h.
#include "app/watch_dialog.h"

#include "config/dialog_text.h"

namespace {

const ConfigIntKey* KeyOf(int WatchSettings::*member) {
    for (const WatchSettingField& f : WATCH_SETTING_FIELDS)
        if (f.member == member) return &f.key;
    return nullptr;
}

struct Run {
    WatchSettings settings;
    WatchDialogFillFn fill;
    WatchDialogReadFn read;
};

INT_PTR CALLBACK RunProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        Run* run = reinterpret_cast<Run*>(lParam);
        run->fill(dialog, run->settings);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            Run* run = reinterpret_cast<Run*>(GetWindowLongPtrA(dialog, DWLP_USER));
            // Read into a copy: a refused value leaves nothing half taken.
            WatchSettings read = run->settings;
            if (run->read(dialog, read)) {
                run->settings = read;
                EndDialog(dialog, IDOK);
            }
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

void WatchDialogFill(HWND dialog, const WatchDialogField* fields, size_t count, const WatchSettings& s) {
    for (size_t i = 0; i < count; ++i)
        SetDlgItemInt(dialog, fields[i].control, static_cast<UINT>(s.*fields[i].member), FALSE);
}

bool WatchDialogWarn(HWND dialog, int control, const std::string& text) {
    char caption[128] = "";
    GetWindowTextA(dialog, caption, sizeof caption);
    DialogRefuse(dialog, control, caption, text);
    return false;
}

bool WatchDialogRead(HWND dialog, const WatchDialogField* fields, size_t count, WatchSettings& s) {
    for (size_t i = 0; i < count; ++i) {
        const WatchDialogField& f = fields[i];
        BOOL ok = FALSE;
        const UINT value = GetDlgItemInt(dialog, f.control, &ok, FALSE);
        const ConfigIntKey* key = KeyOf(f.member);
        if (!ok || !key || !ConfigIntValid(*key, value))
            return WatchDialogWarn(dialog, f.control,
                                   std::string(f.what) + " must be from " + std::to_string(key ? key->min : 0) +
                                       " to " + std::to_string(key ? key->max : 0) + ".");
        s.*f.member = static_cast<int>(value);
    }
    return true;
}

bool WatchDialogRun(HWND owner, int id, WatchDialogFillFn fill, WatchDialogReadFn read, WatchSettings& settings) {
    Run run{settings, fill, read};
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
    if (DialogBoxParamA(instance, MAKEINTRESOURCEA(id), owner, RunProc, reinterpret_cast<LPARAM>(&run)) != IDOK)
        return false;
    settings = run.settings;
    return true;
}
