// The "Tally Output" dialog: one TSL destination and its map.
#include "tsl/tsl_dialogs.h"

#include <climits>

#include "config/dialog_text.h"
#include "resources/resource.h"

namespace {

const char* const PROTOCOLS[] = {"3.1", "5.0"};
const char* const TRANSPORTS[] = {"UDP", "TCP"};
const char* const MES[] = {"All", "ME 1", "ME 2", "ME 3", "ME 4"};
const char* const TALLIES[] = {"none", "1", "2", "3", "4"};
const char* const BRIGHTNESS[] = {"0", "1", "2", "3"};

// The controls of the map's numbers and check-box groups, by the word of
// their row in TSL_DESTINATION_FIELDS (the table names the field at fault).
struct Control {
    const char* field;
    int id;
};
const Control CONTROLS[] = {
    {"host", IDC_TSL_HOST},     {"port", IDC_TSL_PORT},         {"dle", IDC_TSL_DLE},
    {"on", IDC_TSL_ENABLED},    {"me", IDC_TSL_ME},             {"offset", IDC_TSL_OFFSET},
    {"levels", IDC_TSL_LEVEL_PGM}, {"pgm", IDC_TSL_PGM_TALLY},  {"lap", IDC_TSL_LAP_TALLY},
    {"pvw", IDC_TSL_PVW_TALLY}, {"lamps", IDC_TSL_LAMP_LH},     {"brightness", IDC_TSL_BRIGHTNESS},
    {"screen", IDC_TSL_SCREEN},
};

int ControlOf(const std::string& field) {
    for (const Control& c : CONTROLS)
        if (field == c.field) return c.id;
    return IDC_TSL_HOST;
}

void Check(HWND dialog, int id, bool on) { CheckDlgButton(dialog, id, on ? BST_CHECKED : BST_UNCHECKED); }
bool Checked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
int Selected(HWND dialog, int id) { return static_cast<int>(SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0)); }

// The 3.1 tallies mean nothing to 5.0 and the lamps nothing to 3.1; DLE/STX
// over UDP is a 5.0 option (over TCP 5.0 always has it).
void ShowProtocol(HWND dialog) {
    const bool v31 = Selected(dialog, IDC_TSL_PROTOCOL) == 0;
    const bool tcp = Selected(dialog, IDC_TSL_TRANSPORT) == 1;
    for (int id : {IDC_TSL_PGM_TALLY, IDC_TSL_LAP_TALLY, IDC_TSL_PVW_TALLY}) EnableWindow(GetDlgItem(dialog, id), v31);
    for (int id : {IDC_TSL_LAMP_LH, IDC_TSL_LAMP_TEXT, IDC_TSL_LAMP_RH, IDC_TSL_SCREEN})
        EnableWindow(GetDlgItem(dialog, id), !v31);
    EnableWindow(GetDlgItem(dialog, IDC_TSL_DLE), !v31 && !tcp);
}

BOOL OnInit(HWND dialog, TslDestinationConfig& d) {
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&d));
    Check(dialog, IDC_TSL_ENABLED, d.enabled != 0);
    TslDialogFillCombo(dialog, IDC_TSL_PROTOCOL, PROTOCOLS, 2, d.endpoint.version == TSL_V31 ? 0 : 1);
    TslDialogFillCombo(dialog, IDC_TSL_TRANSPORT, TRANSPORTS, 2, d.endpoint.tcp ? 1 : 0);
    SendDlgItemMessageA(dialog, IDC_TSL_HOST, EM_LIMITTEXT, 253, 0);
    SendDlgItemMessageA(dialog, IDC_TSL_PORT, EM_LIMITTEXT, 5, 0);
    SendDlgItemMessageA(dialog, IDC_TSL_OFFSET, EM_LIMITTEXT, 6, 0);
    SendDlgItemMessageA(dialog, IDC_TSL_SCREEN, EM_LIMITTEXT, 5, 0);
    DialogSetText(dialog, IDC_TSL_HOST, d.endpoint.host);
    DialogSetText(dialog, IDC_TSL_PORT, d.endpoint.port ? std::to_string(d.endpoint.port) : std::string());
    Check(dialog, IDC_TSL_DLE, d.endpoint.dle && !d.endpoint.tcp);
    TslDialogFillCombo(dialog, IDC_TSL_ME, MES, 5, d.me >= 0 && d.me <= 4 ? d.me : 0);
    DialogSetText(dialog, IDC_TSL_OFFSET, std::to_string(d.indexOffset));
    Check(dialog, IDC_TSL_LEVEL_PGM, (d.levels & TSL_LEVEL_PGM) != 0);
    Check(dialog, IDC_TSL_LEVEL_LAP, (d.levels & TSL_LEVEL_LAP) != 0);
    Check(dialog, IDC_TSL_LEVEL_PVW, (d.levels & TSL_LEVEL_PVW) != 0);
    TslDialogFillCombo(dialog, IDC_TSL_PGM_TALLY, TALLIES, 5, d.pgmTally);
    TslDialogFillCombo(dialog, IDC_TSL_LAP_TALLY, TALLIES, 5, d.lapTally);
    TslDialogFillCombo(dialog, IDC_TSL_PVW_TALLY, TALLIES, 5, d.pvwTally);
    Check(dialog, IDC_TSL_LAMP_LH, (d.lamps & TSL_LAMP_LH) != 0);
    Check(dialog, IDC_TSL_LAMP_TEXT, (d.lamps & TSL_LAMP_TEXT) != 0);
    Check(dialog, IDC_TSL_LAMP_RH, (d.lamps & TSL_LAMP_RH) != 0);
    TslDialogFillCombo(dialog, IDC_TSL_BRIGHTNESS, BRIGHTNESS, 4, d.brightness);
    DialogSetText(dialog, IDC_TSL_SCREEN, std::to_string(d.screen));
    ShowProtocol(dialog);
    return TRUE;
}

void OnOk(HWND dialog, TslDestinationConfig& out) {
    TslDestinationConfig d = out;
    d.enabled = Checked(dialog, IDC_TSL_ENABLED) ? 1 : 0;
    d.endpoint.version = Selected(dialog, IDC_TSL_PROTOCOL) == 0 ? TSL_V31 : TSL_V50;
    d.endpoint.tcp = Selected(dialog, IDC_TSL_TRANSPORT) == 1;
    d.endpoint.host = DialogTextTrimmed(dialog, IDC_TSL_HOST);
    // Over TCP 5.0 is always framed; over UDP only when asked (3.1: never).
    d.endpoint.dle = d.endpoint.version == TSL_V50 && (d.endpoint.tcp || Checked(dialog, IDC_TSL_DLE));
    long long port = 0, offset = 0, screen = 0;
    if (!TslDialogNumber(dialog, IDC_TSL_PORT, port) || port < 1 || port > 65535)
        return TslDialogRefuse(dialog, IDC_TSL_PORT, TslFieldRangeMessage("port", 1, 65535));
    d.endpoint.port = static_cast<uint16_t>(port);
    d.me = Selected(dialog, IDC_TSL_ME);
    // A number that does not read, or lies beyond an int, fails its row's range.
    d.indexOffset = TslDialogNumber(dialog, IDC_TSL_OFFSET, offset) && offset > INT_MIN && offset <= INT_MAX
                        ? static_cast<int>(offset)
                        : INT_MIN;
    d.levels = (Checked(dialog, IDC_TSL_LEVEL_PGM) ? TSL_LEVEL_PGM : 0) |
               (Checked(dialog, IDC_TSL_LEVEL_LAP) ? TSL_LEVEL_LAP : 0) |
               (Checked(dialog, IDC_TSL_LEVEL_PVW) ? TSL_LEVEL_PVW : 0);
    d.pgmTally = Selected(dialog, IDC_TSL_PGM_TALLY);
    d.lapTally = Selected(dialog, IDC_TSL_LAP_TALLY);
    d.pvwTally = Selected(dialog, IDC_TSL_PVW_TALLY);
    d.lamps = (Checked(dialog, IDC_TSL_LAMP_LH) ? TSL_LAMP_LH : 0) | (Checked(dialog, IDC_TSL_LAMP_TEXT) ? TSL_LAMP_TEXT : 0) |
              (Checked(dialog, IDC_TSL_LAMP_RH) ? TSL_LAMP_RH : 0);
    d.brightness = Selected(dialog, IDC_TSL_BRIGHTNESS);
    d.screen = TslDialogNumber(dialog, IDC_TSL_SCREEN, screen) && screen >= 0 && screen <= INT_MAX ? static_cast<int>(screen) : -1;
    std::string message, field;
    if (!TslDestinationCheck(d, message, field)) return TslDialogRefuse(dialog, ControlOf(field), message);
    out = d;
    EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK DestinationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return OnInit(dialog, *reinterpret_cast<TslDestinationConfig*>(lParam));
    if (message != WM_COMMAND) return FALSE;
    TslDestinationConfig* d = reinterpret_cast<TslDestinationConfig*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (!d) return FALSE;
    switch (LOWORD(wParam)) {
    case IDC_TSL_PROTOCOL:
    case IDC_TSL_TRANSPORT:
        if (HIWORD(wParam) == CBN_SELCHANGE) ShowProtocol(dialog);
        return TRUE;
    case IDOK:
        OnOk(dialog, *d);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

bool TslDestinationDialogRun(HWND owner, TslDestinationConfig& destination) {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_TSL_DESTINATION), owner, DestinationDialogProc,
                           reinterpret_cast<LPARAM>(&destination)) == IDOK;
}
