// Detect Settings under Wine on the virtual null modem (COM1 <-> COM2). The
// ports are ptys, which have no baud rate: every setting the driver takes
// hears the same bytes. So this shows the dialog's path through a real port
// (silence, a feed, Cancel, the port put back, Apply reaching the session),
// not that it finds a rate; the UART model tests do that.
#include "serial_test_util.h"
#include "win_artifacts.h"

#include "detect/detect_dialog.h"

using namespace serialtest;

namespace {

std::string Text(HWND dialog, int id) {
    wchar_t wide[256] = L"";
    GetDlgItemTextW(dialog, id, wide, 256);
    char utf8[512] = "";
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
    return utf8;
}

DWORD PortBaud(const char* name) {
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return 0;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    CloseHandle(port);
    return dcb.BaudRate;
}

void SetPortBaud(const char* name, DWORD baud) {
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = baud;
    EXPECT_TRUE(SetCommState(port, &dcb));
    CloseHandle(port);
}

// What the dialog showed when its scan was over.
struct Seen {
    std::string status, result, runnerUp;
    bool applyEnabled = false;
};

// Waits (on the driver thread) until the scan is over: the status line then
// names the port and how many settings were tried.
bool WaitForVerdict(HWND dialog, Seen& seen, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        seen.status = Text(dialog, IDC_DETECT_STATUS);
        if (seen.status.rfind("COM1: ", 0) == 0) {
            seen.result = Text(dialog, IDC_DETECT_RESULT);
            seen.runnerUp = Text(dialog, IDC_DETECT_RUNNERUP);
            seen.applyEnabled = IsWindowEnabled(GetDlgItem(dialog, IDC_DETECT_APPLY)) != 0;
            return true;
        }
        Sleep(50);
    }
    return false;
}

// Writes 20 messages of one type (each header byte twice, then the payload)
// into the peer end every 30 ms until destroyed, as a switcher would.
class Feed {
public:
    Feed(uint8_t type, int payloadBytes) : thread_([this, type, payloadBytes] { Run(type, payloadBytes); }) {}
    ~Feed() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool ok() const { return peer_.ok(); }

private:
    void Run(uint8_t type, int payloadBytes) {
        std::vector<uint8_t> block;
        for (int m = 0; m < 20; ++m) {
            block.push_back(type);
            block.push_back(type);
            for (int i = 0; i < payloadBytes; ++i) block.push_back(static_cast<uint8_t>(i + m));
        }
        while (!stop_) {
            peer_.Write(block);
            Sleep(30);
        }
    }
    Peer peer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class DetectTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(MainWindow(), nullptr); }
};

}  // namespace

TEST_F(DetectTest, SilentLineSaysNoDataAndPutsThePortBack) {
    SetPortBaud("\\\\.\\COM1", 4800);
    Seen seen;
    bool over = false;
    ModalDriver driver("Detect Settings", [&](HWND dialog) {
        over = WaitForVerdict(dialog, seen, 30000);
        SaveWindowBitmap(dialog, ArtifactPath("detect-silent.bmp"));
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    DetectSetting found = {};
    EXPECT_EQ(DetectDialogRun(MainWindow(), "COM1", &found), 0);
    ASSERT_TRUE(driver.Join());
    ASSERT_TRUE(over) << seen.status;
    EXPECT_EQ(seen.result, "No data: nothing arrives at any setting tried");
    EXPECT_FALSE(seen.applyEnabled);
    EXPECT_EQ(PortBaud("\\\\.\\COM1"), 4800u) << "the port keeps the settings it had";
}

TEST_F(DetectTest, CancelDuringTheScanClosesAndPutsThePortBack) {
    SetPortBaud("\\\\.\\COM1", 4800);
    std::string during;
    ModalDriver driver("Detect Settings", [&](HWND dialog) {
        Sleep(700);
        during = Text(dialog, IDC_DETECT_STATUS);
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    DetectSetting found = {};
    EXPECT_EQ(DetectDialogRun(MainWindow(), "COM1", &found), 0);
    ASSERT_TRUE(driver.Join());
    EXPECT_EQ(during.rfind("Listening on COM1 at 115200 8N1 (1 of 78)", 0), 0u) << during;
    EXPECT_EQ(PortBaud("\\\\.\\COM1"), 4800u);
}

TEST_F(DetectTest, MenuCommandAppliesAFeedsSettingToTheSession) {
    Feed feed(0xB1, 10);
    ASSERT_TRUE(feed.ok());
    SessionState* session = Session();
    session->settings.baudRate = 9600;
    session->settings.parity = EVENPARITY;
    Seen seen;
    bool over = false;
    ModalDriver driver("Detect Settings", [&](HWND dialog) {
        over = WaitForVerdict(dialog, seen, 30000);
        SaveWindowBitmap(dialog, ArtifactPath("detect-found.bmp"));
        PostMessageA(dialog, WM_COMMAND, IDC_DETECT_APPLY, 0);
    });
    Command(IDM_DETECT_SETTINGS);
    const bool shown = driver.Join();
    feed.Stop();
    ASSERT_TRUE(shown);
    ASSERT_TRUE(over) << seen.status;
    // On a pty the first setting the driver takes frames everything.
    EXPECT_EQ(seen.result, "115200 8N1 \xE2\x80\x94 100 % of bytes framed");
    EXPECT_TRUE(seen.applyEnabled);
    EXPECT_EQ(session->settings.baudRate, 115200u);
    EXPECT_EQ(session->settings.dataBits, 8);
    EXPECT_EQ(session->settings.parity, NOPARITY);
    EXPECT_EQ(session->settings.stopBits, ONESTOPBIT);
}

TEST_F(DetectTest, SettingsButtonPutsTheResultIntoTheListsForOkToStore) {
    Feed feed(0xA1, 3);
    ASSERT_TRUE(feed.ok());
    SessionState* session = Session();
    session->settings.baudRate = 9600;
    session->settings.parity = EVENPARITY;
    std::string baudShown, parityShown, result;
    bool inner = false;
    ModalDriver driver("TTY Settings...", [&](HWND settings) {
        ModalDriver detect("Detect Settings", [&](HWND dialog) {
            Seen seen;
            if (WaitForVerdict(dialog, seen, 30000)) result = seen.result;
            PostMessageA(dialog, WM_COMMAND, IDC_DETECT_APPLY, 0);
        });
        PostMessageA(settings, WM_COMMAND, IDC_SET_DETECT, 0);
        inner = detect.Join();
        Sleep(300);  // the lists are set once the nested dialog has ended
        char text[32] = "";
        GetDlgItemTextA(settings, IDC_SET_BAUD, text, sizeof text);
        baudShown = text;
        GetDlgItemTextA(settings, IDC_SET_PARITY, text, sizeof text);
        parityShown = text;
        SaveWindowBitmap(settings, ArtifactPath("detect-settings-button.bmp"));
        PostMessageA(settings, WM_COMMAND, IDCANCEL, 0);
    });
    Command(IDM_SETTINGS);
    const bool shown = driver.Join();
    feed.Stop();
    ASSERT_TRUE(shown);
    ASSERT_TRUE(inner);
    EXPECT_EQ(result, "115200 8N1 \xE2\x80\x94 100 % of bytes framed");
    EXPECT_EQ(baudShown, "115.2k");
    EXPECT_EQ(parityShown, "None");
    // The dialog was cancelled: nothing reached the session.
    EXPECT_EQ(session->settings.baudRate, 9600u);
    EXPECT_EQ(session->settings.parity, EVENPARITY);
}
