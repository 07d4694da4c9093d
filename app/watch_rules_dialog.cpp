// Watch -> Rules...: each rule on or off and its threshold.
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
    {IDC_WATCH_FLICKER_MS, &WatchSettings::flickerMs, "The flicker time (ms)"},
    {IDC_WATCH_STALE_MIN_S, &WatchSettings::staleMinS, "The shortest stale time (s)"},
    {IDC_WATCH_SILENCE_S, &WatchSettings::silenceS, "The silence time (s)"},
    {IDC_WATCH_ERRORS_N, &WatchSettings::errorsN, "The error count"},
    {IDC_WATCH_ERRORS_T, &WatchSettings::errorsT, "The error time (s)"},
};

const ConfigIntKey* KeyOf(int WatchSettings::*member) {
    for (const WatchSettingField& f : WATCH_SETTING_FIELDS)
        if (f.member == member) return &f.key;
    return nullptr;
}

void Fill(HWND dialog, const WatchSettings& s) {
    for (int i = 0; i < WATCH_SETTING_RULES; ++i)
        CheckDlgButton(dialog, IDC_WATCH_RULE_FIRST + i, s.rule[i] ? BST_CHECKED : BST_UNCHECKED);
    for (const Edit& e : EDITS) SetDlgItemInt(dialog, e.control, static_cast<UINT>(s.*e.member), FALSE);
}

// The dialog's values into `s`; false after saying which one is out of range.
bool Read(HWND dialog, WatchSettings& s) {
    WatchSettings read = s;
    for (int i = 0; i < WATCH_SETTING_RULES; ++i)
        read.rule[i] = IsDlgButtonChecked(dialog, IDC_WATCH_RULE_FIRST + i) == BST_CHECKED ? 1 : 0;
    for (const Edit& e : EDITS) {
        BOOL ok = FALSE;
        const UINT value = GetDlgItemInt(dialog, e.control, &ok, FALSE);
        const ConfigIntKey* key = KeyOf(e.member);
        if (!ok || !key || !ConfigIntValid(*key, value)) {
            const std::string text = std::string(e.what) + " must be from " + std::to_string(key ? key->min : 0) +
                                     " to " + std::to_string(key ? key->max : 0) + ".";
            MessageBoxA(dialog, text.c_str(), "Watch Rules", MB_ICONWARNING | MB_OK);
            SetFocus(GetDlgItem(dialog, e.control));
            SendDlgItemMessageA(dialog, e.control, EM_SETSEL, 0, -1);
            return false;
        }
        read.*e.member = static_cast<int>(value);
    }
    s = read;
    return true;
}

INT_PTR CALLBACK RulesProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
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

bool WatchRulesDialog(HWND owner, WatchSettings& settings) {
    WatchSettings edited = settings;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
    if (DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_WATCH_RULES), owner, RulesProc,
                        reinterpret_cast<LPARAM>(&edited)) != IDOK)
        return false;
    settings = edited;
    return true;
}
