// Port parameters and the "TTY Settings..." dialog.
#include "serial/settings.h"

#include <string>
#include <vector>

#include "resources/resource.h"
#include "serial/port.h"
#include "serial/port_enum.h"
#include "serial/port_list.h"

// Dialog order, not the numeric order of the parity codes.
const DWORD parityTable[PARITY_TABLE_SIZE] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY,
                                              SPACEPARITY};
const DWORD stopBitsTable[STOPBITS_TABLE_SIZE] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};

int PortApplySettings(LinkState& link, const PortSettings& settings) {
    const PortSettings* s = &settings;

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    // Members not set below keep the port's current values.
    GetCommState(link.portHandle, &dcb);

    dcb.BaudRate = static_cast<DWORD>(s->baudRate);
    dcb.ByteSize = static_cast<BYTE>(s->dataBits);
    dcb.Parity = static_cast<BYTE>(s->parity);
    dcb.StopBits = static_cast<BYTE>(s->stopBits);

    const bool dtrDsr = (s->flowFlags & FLOW_DTRDSR) != 0;
    dcb.fOutxDsrFlow = dtrDsr ? 1 : 0;
    dcb.fDtrControl = dtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = (s->flowFlags & FLOW_RTSCTS) ? 1 : 0;
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
    return portSeams.setCommState(link.portHandle, &dcb) ? 1 : 0;
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

SettingsDialogRecord* SettingsDialogFrom(HWND dialog) {
    return reinterpret_cast<SettingsDialogRecord*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

static PortSettings* DialogSession(HWND dialog) {
    SettingsDialogRecord* record = SettingsDialogFrom(dialog);
    return record ? record->settings : nullptr;
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
    PortSettings* s = DialogSession(dialog);
    if (!s) return 0;
    HINSTANCE instance = DialogInstance(dialog);

    // The ports present now (read afresh at every opening), COM1 to COM4 and
    // the session's own port even when absent, in numeric order; item data
    // is the port number.
    HWND port = GetDlgItem(dialog, IDC_SET_PORT);
    const std::vector<PortEntry> ports = PortListMerge(PortEnumSystem(), s->portNumber);
    for (const PortEntry& entry : ports) {
        const std::string label = PortEntryLabel(entry);
        const LRESULT index = SendMessageA(port, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label.c_str()));
        SendMessageA(port, CB_SETITEMDATA, static_cast<WPARAM>(index), entry.number);
        if (entry.number == s->portNumber) SendMessageA(port, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    // The list may be wider than the closed box: friendly names and marks.
    SendMessageA(port, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(MapDialogWidth(dialog, 160)), 0);
    // The port cannot change under an open connection.
    EnableWindow(port, SettingsDialogFrom(dialog)->portFixed ? FALSE : TRUE);

    DWORD rates[PORT_BAUD_RATE_COUNT];
    for (int i = 0; i < PORT_BAUD_RATE_COUNT; ++i) rates[i] = static_cast<DWORD>(PORT_BAUD_RATES[i]);
    ComboFillFromTable(instance, GetDlgItem(dialog, IDC_SET_BAUD), IDS_BAUD_FIRST, rates, PORT_BAUD_RATE_COUNT,
                       static_cast<DWORD>(s->baudRate));

    HWND dataBits = GetDlgItem(dialog, IDC_SET_DATABITS);
    for (int bits = 5; bits <= 8; ++bits) {
        char text[8];
        wsprintfA(text, "%d", bits);
        const LRESULT index = SendMessageA(dataBits, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        if (bits == s->dataBits) SendMessageA(dataBits, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }

    ComboFillFromTable(instance, GetDlgItem(dialog, IDC_SET_PARITY), IDS_PARITY_FIRST, parityTable,
                       PARITY_TABLE_SIZE, static_cast<DWORD>(s->parity));
    ComboFillFromTable(instance, GetDlgItem(dialog, IDC_SET_STOPBITS), IDS_STOPBITS_FIRST,
                       stopBitsTable, STOPBITS_OFFERED, static_cast<DWORD>(s->stopBits));

    CheckDlgButton(dialog, IDC_SET_DTRDSR, (s->flowFlags & FLOW_DTRDSR) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_RTSCTS, (s->flowFlags & FLOW_RTSCTS) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_XONXOFF, (s->flowFlags & FLOW_XONXOFF) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_AUTOWRAP, s->autowrap ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_NEWLINE, s->newLine ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_LOCALECHO, s->localEcho ? BST_CHECKED : BST_UNCHECKED);

    // Kept for the layout only: notifications are never used.
    EnableWindow(GetDlgItem(dialog, IDC_SET_CNRECEIVE), FALSE);

    CheckDlgButton(dialog, IDC_SET_DISPLAYERRORS, s->displayErrors ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SET_RECONNECT, s->reconnect ? BST_CHECKED : BST_UNCHECKED);
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
    PortSettings* s = DialogSession(dialog);
    if (!s) return 0;

    LRESULT index;
    DWORD value;
    DWORD number;
    if (SelectedItemData(dialog, IDC_SET_PORT, number) && number >= PORT_NUMBER_MIN && number <= PORT_NUMBER_MAX)
        s->portNumber = static_cast<int>(number);
    if (SelectedItemData(dialog, IDC_SET_BAUD, value)) s->baudRate = static_cast<int>(value);
    if (SelectedIndex(dialog, IDC_SET_DATABITS, index)) s->dataBits = static_cast<int>(index + 5);
    if (SelectedItemData(dialog, IDC_SET_PARITY, value)) s->parity = static_cast<int>(value);
    if (SelectedItemData(dialog, IDC_SET_STOPBITS, value)) s->stopBits = static_cast<int>(value);

    int flow = 0;
    if (Checked(dialog, IDC_SET_DTRDSR)) flow |= FLOW_DTRDSR;
    if (Checked(dialog, IDC_SET_RTSCTS)) flow |= FLOW_RTSCTS;
    if (Checked(dialog, IDC_SET_XONXOFF)) flow |= FLOW_XONXOFF;
    s->flowFlags = flow;

    s->autowrap = Checked(dialog, IDC_SET_AUTOWRAP);
    s->newLine = Checked(dialog, IDC_SET_NEWLINE);
    s->localEcho = Checked(dialog, IDC_SET_LOCALECHO);
    s->displayErrors = Checked(dialog, IDC_SET_DISPLAYERRORS);
    s->reconnect = Checked(dialog, IDC_SET_RECONNECT);
    return 1;
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        SettingsDialogRecord* record = reinterpret_cast<SettingsDialogRecord*>(lParam);
        SetPropA(dialog, MAKEINTATOM(SESSION_PROPERTY), record ? record->context : nullptr);
        return SettingsDialogLoad(dialog);
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            SettingsDialogStore(dialog);
            EndDialog(dialog, 1);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 1);
            return TRUE;
        case IDC_SET_FONT: {
            SettingsDialogRecord* record = SettingsDialogFrom(dialog);
            return record && record->font ? record->font(dialog, record->context) : TRUE;
        }
        case IDC_SET_DETECT: {
            SettingsDialogRecord* record = SettingsDialogFrom(dialog);
            return record && record->detect ? record->detect(dialog, record->context) : TRUE;
        }
        }
        return FALSE;
    case WM_DESTROY:
        RemovePropA(dialog, MAKEINTATOM(SESSION_PROPERTY));
        return FALSE;
    }
    return FALSE;
}
