// The "TTY Settings..." dialog and the port settings it leads to, on the real
// main window, over the virtual null-modem (COM1 <-> COM2).
#include "serial_test_util.h"

using namespace serialtest;

namespace {

struct ComboView {
    std::vector<std::string> texts;
    std::vector<LRESULT> data;
    LRESULT selection = -2;
    bool enabled = false;
};

struct DialogView {
    ComboView combos[5];  // 544..548
    UINT checks[6] = {};  // 549..554
    UINT cnReceiveChecked = 0;
    bool cnReceiveEnabled = true;
    UINT displayErrors = 0;
    HANDLE property = nullptr;
    std::string caption;
};

ComboView ReadCombo(HWND dialog, int id) {
    ComboView view;
    HWND combo = GetDlgItem(dialog, id);
    const LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        char text[100] = "";
        SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        view.texts.push_back(text);
        view.data.push_back(SendMessageA(combo, CB_GETITEMDATA, i, 0));
    }
    view.selection = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    view.enabled = IsWindowEnabled(combo) != FALSE;
    return view;
}

DialogView ReadDialog(HWND dialog) {
    DialogView view;
    for (int i = 0; i < 5; ++i) view.combos[i] = ReadCombo(dialog, IDC_SET_PORT + i);
    for (int i = 0; i < 6; ++i) view.checks[i] = IsDlgButtonChecked(dialog, IDC_SET_DTRDSR + i);
    view.cnReceiveChecked = IsDlgButtonChecked(dialog, IDC_SET_CNRECEIVE);
    view.cnReceiveEnabled = IsWindowEnabled(GetDlgItem(dialog, IDC_SET_CNRECEIVE)) != FALSE;
    view.displayErrors = IsDlgButtonChecked(dialog, IDC_SET_DISPLAYERRORS);
    view.property = GetPropA(dialog, MAKEINTATOM(0x100));
    char caption[64] = "";
    GetWindowTextA(dialog, caption, sizeof caption);
    view.caption = caption;
    return view;
}

// Opens Settings through the menu command; `act` runs on the dialog from a
// helper thread and must end it.
bool RunSettings(const std::function<void(HWND)>& act) {
    ModalDriver driver("TTY Settings...", act);
    Command(IDM_SETTINGS);
    return driver.Join();
}

void Press(HWND dialog, int id) { PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

struct Settings {
    int portNumber;
    int dataBits, flowFlags, parity, stopBits;
    int baudRate;
    int autowrap, newLine, localEcho, displayErrors;
    bool operator==(const Settings& o) const {
        return portNumber == o.portNumber && dataBits == o.dataBits && flowFlags == o.flowFlags &&
               parity == o.parity && stopBits == o.stopBits && baudRate == o.baudRate &&
               autowrap == o.autowrap && newLine == o.newLine && localEcho == o.localEcho &&
               displayErrors == o.displayErrors;
    }
};

Settings Capture() {
    SessionState* s = Session();
    const PortSettings& p = s->settings;
    return {p.portNumber, p.dataBits, p.flowFlags, p.parity, p.stopBits, p.baudRate,
            p.autowrap,   p.newLine,  p.localEcho, p.displayErrors};
}

void Restore(const Settings& v) {
    SessionState* s = Session();
    s->settings.portNumber = v.portNumber;
    s->settings.dataBits = v.dataBits;
    s->settings.flowFlags = v.flowFlags;
    s->settings.parity = v.parity;
    s->settings.stopBits = v.stopBits;
    s->settings.baudRate = v.baudRate;
    s->settings.autowrap = v.autowrap;
    s->settings.newLine = v.newLine;
    s->settings.localEcho = v.localEcho;
    s->settings.displayErrors = v.displayErrors;
}

// Records the device control block PortApplySettings hands to the driver
// (Wine's GetCommState on a pseudo-terminal does not report back the DSR
// flow, DTR handshake or RTS modes, so those are checked here).
DCB lastDcb;
int setCommStateCalls = 0;
bool refuseSetCommState = false;
BOOL WINAPI RecordingSetCommState(HANDLE port, LPDCB dcb) {
    lastDcb = *dcb;
    ++setCommStateCalls;
    if (refuseSetCommState) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SetCommState(port, dcb);
}

const Settings kDefaults = {1, 8, FLOW_XONXOFF, NOPARITY, ONESTOPBIT, 115200, 1, 0, 0, 1};

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(MainWindow(), nullptr);
        ASSERT_NE(Session(), nullptr);
        if (Session()->link.connected.load()) Command(IDM_DISCONNECT);
        Restore(kDefaults);
        portSeams.setCommState = RecordingSetCommState;
        refuseSetCommState = false;
        setCommStateCalls = 0;
    }
    void TearDown() override {
        refuseSetCommState = false;
        if (Session()->link.connected.load()) Command(IDM_DISCONNECT);
        portSeams.setCommState = SetCommState;
        Restore(kDefaults);
    }
};

TEST_F(SettingsTest, DialogShowsTheSessionControlByControl) {
    ASSERT_EQ(Capture(), kDefaults);  // the record starts with these
    DialogView view;
    ASSERT_TRUE(RunSettings([&](HWND dialog) {
        view = ReadDialog(dialog);
        Press(dialog, IDCANCEL);
    }));
    EXPECT_EQ(view.caption, "TTY Settings...");
    EXPECT_EQ(view.property, static_cast<HANDLE>(Session()));

    const ComboView& port = view.combos[0];
    // COM1 to COM4 first (the test prefix maps them); further ports the
    // system lists follow in numeric order.
    ASSERT_GE(port.texts.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(port.texts.begin(), port.texts.begin() + 4),
              (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    for (size_t i = 0; i < port.data.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(port.data[i], port.data[i - 1]) << "numeric order";
        }
        EXPECT_EQ(port.texts[i].rfind("COM" + std::to_string(port.data[i]), 0), 0u) << "item data is the number";
    }
    EXPECT_EQ(port.selection, 0);
    EXPECT_TRUE(port.enabled);

    const ComboView& baud = view.combos[1];
    EXPECT_EQ(baud.texts, (std::vector<std::string>{"110", "300", "600", "1200", "2400", "4800", "9600",
                                                    "14.4k", "19.2k", "38.4k", "57.6k", "115.2k", "256k"}));
    EXPECT_EQ(baud.data, (std::vector<LRESULT>{110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400,
                                               57600, 115200, 256000}));
    EXPECT_EQ(baud.selection, 11);

    const ComboView& bits = view.combos[2];
    EXPECT_EQ(bits.texts, (std::vector<std::string>{"5", "6", "7", "8"}));
    EXPECT_EQ(bits.selection, 3);

    const ComboView& parity = view.combos[3];
    EXPECT_EQ(parity.texts, (std::vector<std::string>{"None", "Even", "Odd", "Mark", "Space"}));
    EXPECT_EQ(parity.data, (std::vector<LRESULT>{0, 2, 1, 3, 4}));
    EXPECT_EQ(parity.selection, 0);

    const ComboView& stop = view.combos[4];
    EXPECT_EQ(stop.texts, (std::vector<std::string>{"1"}));
    EXPECT_EQ(stop.data, (std::vector<LRESULT>{ONESTOPBIT}));
    EXPECT_EQ(stop.selection, 0);

    // DTR/DSR, RTS/CTS, XON/XOFF, Autowrap, New Line, Local Echo
    const UINT expected[6] = {BST_UNCHECKED, BST_UNCHECKED, BST_CHECKED, BST_CHECKED, BST_UNCHECKED, BST_UNCHECKED};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(view.checks[i], expected[i]) << "control " << IDC_SET_DTRDSR + i;
    EXPECT_FALSE(view.cnReceiveEnabled);
    EXPECT_EQ(view.cnReceiveChecked, static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(view.displayErrors, static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(Capture(), kDefaults);
}

TEST_F(SettingsTest, NonDefaultRecordIsShownAndOkWithoutChangesStoresIt) {
    const Settings shown = {3, 7, FLOW_DTRDSR | FLOW_RTSCTS, ODDPARITY, ONESTOPBIT, 9600, 0, 1, 1, 0};
    Restore(shown);
    DialogView view;
    ASSERT_TRUE(RunSettings([&](HWND dialog) {
        view = ReadDialog(dialog);
        Press(dialog, IDOK);
    }));
    EXPECT_EQ(view.combos[0].selection, 2);
    EXPECT_EQ(view.combos[1].selection, 6);
    EXPECT_EQ(view.combos[2].selection, 2);
    EXPECT_EQ(view.combos[3].selection, 2);  // "Odd" is the third row
    const UINT expected[6] = {BST_CHECKED, BST_CHECKED, BST_UNCHECKED, BST_UNCHECKED, BST_CHECKED, BST_CHECKED};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(view.checks[i], expected[i]) << "control " << IDC_SET_DTRDSR + i;
    EXPECT_EQ(view.displayErrors, static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(Capture(), shown);
}

// Changes every control of the dialog (COM2, 256k, 5 bits, each parity row in
// turn, every check flipped).
void ChangeEverything(HWND dialog, int parityRow) {
    SendDlgItemMessageA(dialog, IDC_SET_PORT, CB_SETCURSEL, 1, 0);
    SendDlgItemMessageA(dialog, IDC_SET_BAUD, CB_SETCURSEL, 12, 0);
    SendDlgItemMessageA(dialog, IDC_SET_DATABITS, CB_SETCURSEL, 0, 0);
    SendDlgItemMessageA(dialog, IDC_SET_PARITY, CB_SETCURSEL, parityRow, 0);
    for (int id : {IDC_SET_DTRDSR, IDC_SET_RTSCTS, IDC_SET_XONXOFF, IDC_SET_AUTOWRAP, IDC_SET_NEWLINE,
                   IDC_SET_LOCALECHO, IDC_SET_DISPLAYERRORS})
        SendDlgItemMessageA(dialog, id, BM_CLICK, 0, 0);
}

TEST_F(SettingsTest, OkStoresTheEditedControlsAndCancelStoresNothing) {
    const BYTE parityOfRow[5] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};
    for (int row = 0; row < 5; ++row) {
        Restore(kDefaults);
        ASSERT_TRUE(RunSettings([&](HWND dialog) {
            ChangeEverything(dialog, row);
            Press(dialog, IDCANCEL);
        }));
        EXPECT_EQ(Capture(), kDefaults) << "Cancel, parity row " << row;

        ASSERT_TRUE(RunSettings([&](HWND dialog) {
            ChangeEverything(dialog, row);
            Press(dialog, IDOK);
        }));
        const Settings edited = {2, 5, FLOW_DTRDSR | FLOW_RTSCTS, parityOfRow[row], ONESTOPBIT, 256000, 0, 1, 1, 0};
        EXPECT_EQ(Capture(), edited) << "Ok, parity row " << row;
    }
}

DCB PortState() {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(Session()->link.portHandle, &dcb));
    return dcb;
}

COMMTIMEOUTS PortTimeouts() {
    COMMTIMEOUTS timeouts = {};
    EXPECT_TRUE(GetCommTimeouts(Session()->link.portHandle, &timeouts));
    return timeouts;
}

TEST_F(SettingsTest, DefaultsReachThePort) {
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    ASSERT_EQ(setCommStateCalls, 1);
    EXPECT_EQ(lastDcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(lastDcb.BaudRate, 115200u);
    EXPECT_EQ(lastDcb.ByteSize, 8);
    EXPECT_EQ(lastDcb.Parity, NOPARITY);
    EXPECT_EQ(lastDcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(lastDcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(lastDcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(lastDcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(lastDcb.fOutxCtsFlow, 0u);
    // XON/XOFF is checked by default, yet software flow control stays off.
    EXPECT_EQ(lastDcb.fOutX, 0u);
    EXPECT_EQ(lastDcb.fInX, 0u);
    EXPECT_EQ(lastDcb.XonChar, 0x11);
    EXPECT_EQ(lastDcb.XoffChar, 0x13);
    EXPECT_EQ(lastDcb.XonLim, 100);
    EXPECT_EQ(lastDcb.XoffLim, 100);
    EXPECT_EQ(lastDcb.fBinary, 1u);
    EXPECT_EQ(lastDcb.fParity, 1u);

    // What the driver reports back.
    const DCB dcb = PortState();
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);

    const COMMTIMEOUTS timeouts = PortTimeouts();
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

TEST_F(SettingsTest, FlowControlOptionsReachThePort) {
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);

    Session()->settings.flowFlags = FLOW_DTRDSR;
    ASSERT_NE(PortApplySettings(MainWindow()), 0);
    EXPECT_EQ(lastDcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(lastDcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(lastDcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(lastDcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(PortState().fOutxCtsFlow, 0u);

    Session()->settings.flowFlags = FLOW_RTSCTS | FLOW_XONXOFF;
    ASSERT_NE(PortApplySettings(MainWindow()), 0);
    EXPECT_EQ(lastDcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(lastDcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(lastDcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(lastDcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(lastDcb.fOutX, 0u);
    EXPECT_EQ(lastDcb.fInX, 0u);
    const DCB dcb = PortState();
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);  // the driver keeps hardware output flow
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
}

TEST_F(SettingsTest, WriteTimeoutFollowsTheBaudRate) {
    const struct {
        DWORD baud, multiplier;
        bool driverHasRate;  // a pseudo-terminal has no 256000 rate
    } cases[] = {{9600, 8, true}, {115200, 0, true}, {256000, 0, false}, {1200, 64, true}, {110, 698, true}};
    for (const auto& c : cases) {
        Session()->settings.baudRate = c.baud;
        Command(IDM_CONNECT);
        ASSERT_EQ(Session()->link.connected.load(), 1) << c.baud;
        EXPECT_EQ(PortTimeouts().WriteTotalTimeoutMultiplier, c.multiplier) << c.baud;
        EXPECT_EQ(lastDcb.BaudRate, c.baud);
        if (c.driverHasRate) {
            EXPECT_EQ(PortState().BaudRate, c.baud);
        }
        Command(IDM_DISCONNECT);
    }
}

TEST_F(SettingsTest, RefusedSettingsFailTheConnectAndWarnOnReapply) {
    refuseSetCommState = true;
    std::string text;
    {
        ModalDriver box("Qorvex V-1.0", [&](HWND window) {
            text = StaticTexts(window);
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        });
        Command(IDM_CONNECT);
        ASSERT_TRUE(box.Join());
    }
    EXPECT_NE(text.find("Connection failed."), std::string::npos) << text;
    EXPECT_EQ(Session()->link.connected.load(), 0);
    EXPECT_TRUE(MenuEnabled(IDM_CONNECT));
    EXPECT_FALSE(MenuEnabled(IDM_DISCONNECT));
    // The port was closed again: a normal connect can open it.
    refuseSetCommState = false;
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);

    // Settings closed while connected re-apply; a refusal warns and keeps
    // the connection and the edited record.
    refuseSetCommState = true;
    text.clear();
    {
        ModalDriver box("Qorvex V-1.0", [&](HWND window) {
            text = StaticTexts(window);
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        });
        ASSERT_TRUE(RunSettings([&](HWND dialog) {
            SendDlgItemMessageA(dialog, IDC_SET_BAUD, CB_SETCURSEL, 6, 0);
            Press(dialog, IDOK);
        }));
        ASSERT_TRUE(box.Join());
    }
    EXPECT_NE(text.find("Settings failed!"), std::string::npos) << text;
    EXPECT_EQ(Session()->link.connected.load(), 1);
    EXPECT_EQ(Session()->settings.baudRate, 9600u);
}

TEST_F(SettingsTest, WhileConnectedThePortIsFixedAndOkReappliesTheSettings) {
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    DialogView view;
    bool warned = false;
    ASSERT_TRUE(RunSettings([&](HWND dialog) {
        view = ReadDialog(dialog);
        SendDlgItemMessageA(dialog, IDC_SET_BAUD, CB_SETCURSEL, 6, 0);  // 9600
        Press(dialog, IDOK);
    }));
    EXPECT_FALSE(view.combos[0].enabled);
    EXPECT_EQ(Session()->settings.baudRate, 9600u);
    EXPECT_EQ(PortState().BaudRate, 9600u);

    // Cancel re-applies the unchanged record: a value put into the port
    // behind the record's back is replaced.
    DCB dcb = PortState();
    dcb.BaudRate = 19200;
    ASSERT_TRUE(SetCommState(Session()->link.portHandle, &dcb));
    ModalDriver failure("Qorvex V-1.0", [&](HWND box) {
        warned = true;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }, 3000);
    ASSERT_TRUE(RunSettings([&](HWND dialog) { Press(dialog, IDCANCEL); }));
    EXPECT_EQ(PortState().BaudRate, 9600u);
    Command(IDM_DISCONNECT);
    failure.Join();
    EXPECT_FALSE(warned);
}

TEST_F(SettingsTest, SettingsWhileDisconnectedTouchNoPort) {
    ASSERT_TRUE(RunSettings([&](HWND dialog) {
        SendDlgItemMessageA(dialog, IDC_SET_BAUD, CB_SETCURSEL, 6, 0);
        Press(dialog, IDOK);
    }));
    EXPECT_EQ(Session()->settings.baudRate, 9600u);
    EXPECT_EQ(Session()->link.connected.load(), 0);
    // The new rate reaches the port at the next connect.
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    EXPECT_EQ(PortState().BaudRate, 9600u);
}

}  // namespace
