// The "Compare with TSL Input" dialog; also the small helpers the TSL
// dialogs share.
#include "tsl/tsl_dialogs.h"

#include "config/dialog_text.h"
#include "resources/resource.h"

bool TslDialogNumber(HWND dialog, int id, long long& value) {
    // ES_NUMBER stops typing, not pasting: the text is parsed whole.
    return ConfigParseInt(DialogTextTrimmed(dialog, id), value);
}

void TslDialogRefuse(HWND dialog, int control, const std::string& message) {
    DialogRefuse(dialog, control, TSL_DIALOG_REFUSED, message);
}

void TslDialogFillCombo(HWND dialog, int id, const char* const* items, int count, int selected) {
    SendDlgItemMessageA(dialog, id, CB_RESETCONTENT, 0, 0);
    for (int i = 0; i < count; ++i) SendDlgItemMessageA(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(items[i]));
    SendDlgItemMessageA(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

namespace {

struct InputState {
    TslSettings* settings;
    std::string inUse;
};

const char* const TRANSPORTS[] = {"UDP", "TCP"};

const TslSettingField& ToleranceRow() {
    for (const TslSettingField& f : TSL_SETTING_FIELDS)
        if (f.member == &TslSettings::toleranceMs) return f;
    return TSL_SETTING_FIELDS[0];  // not reached: the table has the row
}

BOOL OnInit(HWND dialog, InputState& s) {
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&s));
    const TslSettings& c = *s.settings;
    TslEndpoint at;
    std::string error;
    if (!TslParseListener(c.listener, at, error)) TslParseListener(TSL_LISTENER_KEY.def, at, error);
    CheckDlgButton(dialog, IDC_TSL_IN_ENABLED, c.inEnabled ? BST_CHECKED : BST_UNCHECKED);
    TslDialogFillCombo(dialog, IDC_TSL_IN_TRANSPORT, TRANSPORTS, 2, at.tcp ? 1 : 0);
    SendDlgItemMessageA(dialog, IDC_TSL_IN_ADDRESS, EM_LIMITTEXT, 253, 0);
    SendDlgItemMessageA(dialog, IDC_TSL_IN_PORT, EM_LIMITTEXT, 5, 0);
    SendDlgItemMessageA(dialog, IDC_TSL_IN_TOLERANCE, EM_LIMITTEXT, 5, 0);
    DialogSetText(dialog, IDC_TSL_IN_ADDRESS, at.host);
    DialogSetText(dialog, IDC_TSL_IN_PORT, std::to_string(at.port));
    DialogSetText(dialog, IDC_TSL_IN_TOLERANCE, std::to_string(c.toleranceMs));
    DialogSetText(dialog, IDC_TSL_IN_STATE, "Now: " + s.inUse);
    return TRUE;
}

void OnOk(HWND dialog, InputState& s) {
    TslSettings c = *s.settings;
    c.inEnabled = IsDlgButtonChecked(dialog, IDC_TSL_IN_ENABLED) == BST_CHECKED ? 1 : 0;
    const bool tcp = SendDlgItemMessageA(dialog, IDC_TSL_IN_TRANSPORT, CB_GETCURSEL, 0, 0) == 1;
    const std::string address = DialogTextTrimmed(dialog, IDC_TSL_IN_ADDRESS);
    long long port = -1, tolerance = -1;
    if (address.empty() || address.find_first_of(" []") != std::string::npos)
        return TslDialogRefuse(dialog, IDC_TSL_IN_ADDRESS,
                               "Enter the address to listen on (0.0.0.0 for every network of this computer).");
    if (!TslDialogNumber(dialog, IDC_TSL_IN_PORT, port) || port < 0 || port > 65535)
        return TslDialogRefuse(dialog, IDC_TSL_IN_PORT, TslFieldRangeMessage("port", 0, 65535));
    const TslSettingField& row = ToleranceRow();
    if (!TslDialogNumber(dialog, IDC_TSL_IN_TOLERANCE, tolerance) || !ConfigIntValid(row.key, tolerance))
        return TslDialogRefuse(dialog, IDC_TSL_IN_TOLERANCE, TslFieldRangeMessage(row.label, row.key.min, row.key.max));
    TslEndpoint at;
    at.tcp = tcp;
    at.host = address;
    at.port = static_cast<uint16_t>(port);
    std::string error;
    const std::string listener = TslListenerText(at);
    if (!TslParseListener(listener, at, error)) return TslDialogRefuse(dialog, IDC_TSL_IN_ADDRESS, error);
    c.listener = listener;
    c.toleranceMs = static_cast<int>(tolerance);
    *s.settings = c;
    EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK InputDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return OnInit(dialog, *reinterpret_cast<InputState*>(lParam));
    if (message != WM_COMMAND) return FALSE;
    InputState* s = reinterpret_cast<InputState*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (!s) return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        OnOk(dialog, *s);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

bool TslInputDialogRun(HWND owner, TslSettings& settings, const std::string& inUse) {
    InputState state = {&settings, inUse};
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_TSL_INPUT), owner, InputDialogProc,
                           reinterpret_cast<LPARAM>(&state)) == IDOK;
}
