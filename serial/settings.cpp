// Port parameters and the "TTY Settings..." dialog.
#include "serial/settings.h"

#include <string>
#include <vector>

#include "app/session.h"
#include "detect/detect_dialog.h"
#include "resources/resource.h"
#include "serial/port_enum.h"
#include "serial/port_list.h"
#include "serial/port_watch.h"

const DWORD baudTable[BAUD_TABLE_SIZE] = {110,   300,   600,   1200,  2400,   4800,  9600,
                                          14400, 19200, 38400, 57600, 115200, 256000};
// Dialog order, not the numeric order of the parity codes.
const DWORD parityTable[PARITY_TABLE_SIZE] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY,
                                              SPACEPARITY};
const DWORD stopBitsTable[STOPBITS_TABLE_SIZE] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};

PortSetCommStateFn portSetCommState = SetCommState;

int PortApplySettings(HWND window) {
    SessionState* session = SessionFromWindow(window);
    if (!session) return 0;

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    // Members not set below keep the port's current values.
    GetCommState(session->portHandle, &dcb);

    dcb.BaudRate = session->baudRate;
    dcb.ByteSize = session->dataBits;
    dcb.Parity = session->parity;
    dcb.StopBits = session->stopBits;

    const bool dtrDsr = (session->flowFlags & FLOW_DTRDSR) != 0;
    dcb.fOutxDsrFlow = dtrDsr ? 1 : 0;
    dcb.fDtrControl = dtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = (session->flowFlags & FLOW_RTSCTS) ? 1 : 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;

    // Software flow control stays off whatever the XON/XOFF option says: the
    // tally feed is binary, and 0x11/0x13 are ordinary payload bytes that the
    // driver would otherwise swallow (input) or obey (output).
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;

    dcb.fBinary = 1;
    dcb.fParity = 1;
    return portSetCommState(session->portHandle, &dcb) ? 1 : 0;
}

void ComboFillFromTable(HINSTANCE instance, HWND combo, UINT firstStringId, const DWORD* table,
                        WORD count, DWORD current) {
    for (WORD i = 0; i < count; ++i) {
        char label[81];
        if (LoadStringA(instance, firstStringId + i, label, sizeof label) <= 0) label[0] = '\0';
        const WORD index = LOWORD(SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label)));
        SendMessageA(combo, CB_SETITEMDATA, index, static_cast<LPARAM>(table[i]));
        if (table[i] == current) SendMessageA(combo, CB_SETCURSEL, index, 0);
    }
}

static SessionState* DialogSession(HWND dialog) {
    return static_cast<SessionState*>(GetPropA(dialog, MAKEINTATOM(SESSION_PROPERTY)));
}

static HINSTANCE DialogInstance(HWND dialog) {
    return reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
}

static int MapDialogWidth(HWND dialog, int dialogUnits) {
    RECT r = {0, 0, dialogUnits, 1};
    MapDialogRect(dialog, &r);
    return r.right;
}

int SettingsDialogLoad(HWND dialog) {
    SessionState* session = DialogSession(dialog);
    if (!session) return 0;
    HINSTANCE instance = DialogInstance(dialog);

    // The ports present now (read afresh at every opening), COM1 to COM4 and
    // the session's own port even when absent, in numeric order; item data
    // is the port number.
    HWND port = GetDlgItem(dialog, IDC_SET_PORT);
    const std::vector<PortEntry> ports = PortListMerge(PortEnumSystem(), session->portNumber);
    for (const PortEntry& entry : ports) {
        const std::string label = PortEntryLabel(entry);
        const LRESULT index = SendMessageA(port, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label.c_str()));
        SendMessageA(port, CB_SETITEMDATA, static_cast<WPARAM>(index), entry.number);
        if (entry.number == session->portNumber) SendMessageA(port, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    // The list may be wider than the closed box: friendly names and marks.
    SendMessageA(port, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(MapDialogWidth(dialog, 160)), 0);
    // The port cannot change under an open connection.
    EnableWindow(port, session->connected.load() ? FALSE : TRUE);

    ComboFillFromTable(instance, GetDlgItem(dialog, IDC_SET_BAUD), IDS_BAUD_FIRST, baudTable,
                       BAUD_TABLE_SIZE, session->baudRate);

    HWND dataBits = GetDlgItem(dialog, IDC_SET_DATABITS);
    for (int bits = 5; bits <= 8; ++bits) {
        char text[8];
        wsprintfA(text, "%d", bits);
        const LRESULT index = SendMessageA(dataBits, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        if (bits == session->dataBits) SendMessageA(dataBits, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }

    ComboFillFromTable(instance, GetDlgItem(dialog, IDC_SET_PARITY), IDS_PARITY_FIRST, parityTable,
                       PARITY_TABLE_SIZE, session->parity);
    ComboFillFromTable(instance, GetDlgItem(dialog, IDC_SET_STOPBITS), IDS_STOPBITS_FIRST,
                       stopBitsTable, STOPBITS_OFFERED, session->stopBits);

    CheckDlgButton(dialog, IDC_SET_DTRDSR, (session->flowFlags & FLOW_DTRDSR) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_RTSCTS, (session->flowFlags & FLOW_RTSCTS) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_XONXOFF, (session->flowFlags & FLOW_XONXOFF) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_AUTOWRAP, session->autowrap ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_NEWLINE, session->newLine ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_LOCALECHO, session->localEcho ? BST_CHECKED : BST_UNCHECKED);

    // Kept for the layout only: notifications are never used.
    EnableWindow(GetDlgItem(dialog, IDC_SET_CNRECEIVE), FALSE);

    CheckDlgButton(dialog, IDC_SET_DISPLAYERRORS, session->displayErrors ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_RECONNECT, PortWatchReconnect() ? BST_CHECKED : BST_UNCHECKED);
    return 1;
}

// A list whose current value matched no row has no selection; the field then
// keeps its value rather than taking CB_ERR.
static bool SelectedIndex(HWND dialog, int id, LRESULT& index) {
    index = SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0);
    return index != CB_ERR;
}

static bool SelectedItemData(HWND dialog, int id, DWORD& value) {
    LRESULT index;
    if (!SelectedIndex(dialog, id, index)) return false;
    value = static_cast<DWORD>(SendDlgItemMessageA(dialog, id, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
    return true;
}

static LONG Checked(HWND dialog, int id) {
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED ? 1 : 0;
}

int SettingsDialogStore(HWND dialog) {
    SessionState* session = DialogSession(dialog);
    if (!session) return 0;

    LRESULT index;
    DWORD value;
    DWORD number;
    if (SelectedItemData(dialog, IDC_SET_PORT, number) && number >= PORT_NUMBER_MIN && number <= PORT_NUMBER_MAX)
        session->portNumber = static_cast<WORD>(number);
    if (SelectedItemData(dialog, IDC_SET_BAUD, value)) session->baudRate = value;
    if (SelectedIndex(dialog, IDC_SET_DATABITS, index)) session->dataBits = static_cast<BYTE>(index + 5);
    if (SelectedItemData(dialog, IDC_SET_PARITY, value)) session->parity = static_cast<BYTE>(value);
    if (SelectedItemData(dialog, IDC_SET_STOPBITS, value)) session->stopBits = static_cast<BYTE>(value);

    BYTE flow = 0;
    if (Checked(dialog, IDC_SET_DTRDSR)) flow |= FLOW_DTRDSR;
    if (Checked(dialog, IDC_SET_RTSCTS)) flow |= FLOW_RTSCTS;
    if (Checked(dialog, IDC_SET_XONXOFF)) flow |= FLOW_XONXOFF;
    session->flowFlags = flow;

    session->autowrap = Checked(dialog, IDC_SET_AUTOWRAP);
    session->newLine = Checked(dialog, IDC_SET_NEWLINE);
    session->localEcho = Checked(dialog, IDC_SET_LOCALECHO);
    session->displayErrors = Checked(dialog, IDC_SET_DISPLAYERRORS);
    PortWatchSetReconnect(Checked(dialog, IDC_SET_RECONNECT) != 0);
    return 1;
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        SetPropA(dialog, MAKEINTATOM(SESSION_PROPERTY), reinterpret_cast<HANDLE>(lParam));
        return SettingsDialogLoad(dialog);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            SettingsDialogStore(dialog);
            EndDialog(dialog, 1);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 1);
            return TRUE;
        case IDC_SET_FONT:
            return FontPick(dialog);
        case IDC_SET_DETECT:
            return DetectSettingsButton(dialog);
        }
        return FALSE;
    case WM_DESTROY:
        RemovePropA(dialog, MAKEINTATOM(SESSION_PROPERTY));
        return FALSE;
    }
    return FALSE;
}
