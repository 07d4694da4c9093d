// Watch -> Keep Recordings Around Alarms...: on or off, the folder, the
// seconds before and after each alarm, and the disk budget.
#include <windows.h>

#include <string>

#include "app/watch_app.h"
#include "resources/resource.h"

namespace {

struct Edit {
    int control;
    int WatchSettings::*member;
    const char* what;
};
const Edit EDITS[] = {
    {IDC_WATCH_KEEP_BEFORE, &WatchSettings::keepBeforeS, "The time before the alarm (s)"},
    {IDC_WATCH_KEEP_AFTER, &WatchSettings::keepAfterS, "The time after the alarm (s)"},
    {IDC_WATCH_KEEP_BUDGET, &WatchSettings::keepBudgetMB, "The disk budget (MB)"},
};

const ConfigIntKey* KeyOf(int WatchSettings::*member) {
    for (const WatchSettingField& f : WATCH_SETTING_FIELDS)
        if (f.member == member) return &f.key;
    return nullptr;
}

void Fill(HWND dialog, const WatchSettings& s) {
    CheckDlgButton(dialog, IDC_WATCH_KEEP_ON, s.keep ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemTextA(dialog, IDC_WATCH_KEEP_FOLDER, s.keepFolder.c_str());
    for (const Edit& e : EDITS) SetDlgItemInt(dialog, e.control, static_cast<UINT>(s.*e.member), FALSE);
}

bool Warn(HWND dialog, int control, const std::string& text) {
    MessageBoxA(dialog, text.c_str(), "Keep Recordings Around Alarms", MB_ICONWARNING | MB_OK);
    SetFocus(GetDlgItem(dialog, control));
    SendDlgItemMessageA(dialog, control, EM_SETSEL, 0, -1);
    return false;
}

// The dialog's values into `s`; false after saying which one is wrong.
bool Read(HWND dialog, WatchSettings& s) {
    WatchSettings read = s;
    read.keep = IsDlgButtonChecked(dialog, IDC_WATCH_KEEP_ON) == BST_CHECKED ? 1 : 0;
    char folder[MAX_PATH] = {};
    GetDlgItemTextA(dialog, IDC_WATCH_KEEP_FOLDER, folder, sizeof folder);
    read.keepFolder = folder;
    if (read.keep) {
        const DWORD attributes = GetFileAttributesA(folder);
        if (!folder[0] || attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Warn(dialog, IDC_WATCH_KEEP_FOLDER, "Choose a folder that exists for the kept recordings.");
    }
    for (const Edit& e : EDITS) {
        BOOL ok = FALSE;
        const UINT value = GetDlgItemInt(dialog, e.control, &ok, FALSE);
        const ConfigIntKey* key = KeyOf(e.member);
        if (!ok || !key || !ConfigIntValid(*key, value))
            return Warn(dialog, e.control,
                        std::string(e.what) + " must be from " + std::to_string(key ? key->min : 0) + " to " +
                            std::to_string(key ? key->max : 0) + ".");
        read.*e.member = static_cast<int>(value);
    }
    s = read;
    return true;
}

INT_PTR CALLBACK KeepProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        Fill(dialog, *reinterpret_cast<WatchSettings*>(lParam));
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            if (Read(dialog, *reinterpret_cast<WatchSettings*>(GetWindowLongPtrA(dialog, DWLP_USER))))
                EndDialog(dialog, IDOK);
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

bool WatchKeepDialog(HWND owner, WatchSettings& settings) {
    WatchSettings edited = settings;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
    if (DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_WATCH_KEEP), owner, KeepProc,
                        reinterpret_cast<LPARAM>(&edited)) != IDOK)
        return false;
    settings = edited;
    return true;
}
