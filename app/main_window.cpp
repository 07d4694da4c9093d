// The main window: class, creation, window procedure, command dispatch, the
// refresh tick and the About box.
#include "app/app.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "app/session.h"
#include "app/watch_app.h"
#include "config/config_win.h"
#include "detect/detect_dialog.h"
#include "displays/display_kind.h"
#include "displays/framework.h"
#include "history/history.h"
#include "onair/onair_view.h"
#include "recording/recording_app.h"
#include "resources/resource.h"
#include "serial/port.h"
#include "serial/port_watch.h"
#include "serial/settings.h"
#include "serial/status_core.h"
#include "tally/protocol.h"
#include "tally/store.h"
#include "timeline/timeline.h"
#include "timeline/timeline_view.h"

HINSTANCE appInstance = nullptr;
HWND appMainWindow = nullptr;
char appTitle[APP_STRING_LENGTH];
char appClassName[APP_STRING_LENGTH];

void AppLoadStrings(HINSTANCE instance) {
    LoadStringA(instance, IDS_APP_TITLE, appTitle, APP_STRING_LENGTH);
    LoadStringA(instance, IDC_QORVEX, appClassName, APP_STRING_LENGTH);
}

ATOM AppRegisterClass(HINSTANCE instance) {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.cbClsExtra = 0;
    // One pointer slot at index 0 for the SessionState: pointer-sized, so 8
    // bytes on 64-bit Windows. The MainWindowRecord is a window property.
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_QORVEX));
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEA(IDR_MAINMENU);
    wc.lpszClassName = appClassName;
    wc.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_QORVEX_SMALL));
    return RegisterClassExA(&wc);
}

int AppCreateWindow(HINSTANCE instance, int showCommand) {
    appInstance = instance;
    HWND window = CreateWindowExA(0, appClassName, appTitle, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                  nullptr, nullptr, instance, nullptr);
    if (!window) return 0;
    appMainWindow = window;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return 1;
}

int AppRunLoop(HACCEL accelerators) {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        // Keys pressed in a child (the history list) are the main window's
        // commands: the accelerator's WM_COMMAND goes to the top-level window.
        HWND target = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        if (!TranslateAcceleratorA(target ? target : msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}

// The record sits in the window's user data: every event the history takes in
// looks it up, and under Wine a window property is a round trip to the
// wineserver (about 20 us each) where the user data is read in-process.
MainWindowRecord* MainWindowFrom(HWND window) {
    return window ? reinterpret_cast<MainWindowRecord*>(GetWindowLongPtrA(window, GWLP_USERDATA)) : nullptr;
}

RECT AppViewArea(HWND window) {
    RECT area;
    GetClientRect(window, &area);
    HWND bar = GetDlgItem(window, IDC_STATUS_BAR);
    if (bar && IsWindowVisible(bar)) {
        RECT r;
        GetWindowRect(bar, &r);
        area.bottom -= r.bottom - r.top;
        if (area.bottom < area.top) area.bottom = area.top;
    }
    return area;
}

void AppLayoutViews(HWND window) {
    const RECT area = AppViewArea(window);
    HistoryViewLayout(window, area);
    OnAirViewLayout(window, area);
    TimelineViewLayout(window, area);
}

// ---- Commands ---------------------------------------------------------------
namespace {

// The Settings dialog's buttons, served here so that the dialog and Detect
// Settings need not know each other.
INT_PTR SettingsFontButton(HWND dialog, void*) { return FontPick(dialog); }
INT_PTR SettingsDetectButton(HWND dialog, void* context) {
    const SessionState* s = static_cast<const SessionState*>(context);
    return DetectSettingsButton(dialog, s->link.connected.load() != 0);
}

// "TTY Settings...": the dialog edits the session's settings record.
void SettingsCommand(HWND window) {
    SessionState* session = SessionFromWindow(window);
    if (!session) return;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    const PortSettings portBefore = session->settings;
    const FontConfig fontBefore = FontConfigFromSession(*session);
    SettingsDialogRecord record = {&session->settings, session->link.connected.load() != 0, SettingsFontButton,
                                   SettingsDetectButton, session};
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETTINGS), window, SettingsDialogProc,
                    reinterpret_cast<LPARAM>(&record));
    // Only what the operator changed is saved: values given on the
    // command line stay for this run alone.
    ConfigSavePort(ConfigActive(), portBefore, session->settings);
    ConfigSaveFont(ConfigActive(), fontBefore, FontConfigFromSession(*session));
    // Ok and Cancel alike: an open port gets the record's settings again.
    if (session->link.connected.load() && !PortApplySettings(window))
        MessageBoxA(window, "Settings failed!", "Qorvex V-1.0", MB_ICONWARNING);
}

void DetectCommand(HWND window) {
    SessionState* session = SessionFromWindow(window);
    if (!session) return;
    const PortSettings before = session->settings;
    // Remembered like a change made in the Settings dialog.
    if (DetectSettingsCommand(window, session->settings, session->link.connected.load() != 0))
        ConfigSavePort(ConfigActive(), before, session->settings);
}

}  // namespace

// The version the build was given (cmake/version.cmake); a build without
// the definition (a native check of this file) says so.
#ifndef QORVEX_VERSION_TEXT
#define QORVEX_VERSION_TEXT "unknown"
#endif

std::string AppLogStartDetails(HWND window) {
    std::string text = "qorvex " QORVEX_VERSION_TEXT;
    const SessionState* s = SessionFromWindow(window);
    if (!s) return text;
    const PortSettings& p = s->settings;
    text += ", " + StatusPortText(p.portNumber, static_cast<uint32_t>(p.baudRate), p.dataBits, p.parity, p.stopBits);
    text += ", flow ";
    std::string flow;
    if (p.flowFlags & FLOW_RTSCTS) flow += "rtscts ";
    if (p.flowFlags & FLOW_DTRDSR) flow += "dtrdsr ";
    if (p.flowFlags & FLOW_XONXOFF) flow += "xonxoff ";
    text += flow.empty() ? "none" : flow.substr(0, flow.size() - 1);
    text += s->link.connected.load() ? ", connected" : ", not connected";
    return text;
}

int AppAskExit(HWND owner, const std::string& files) {
    const std::string text = "These files are still open and are closed on exit:\n\n" + files +
                             "\nExit Qorvex?";
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1u, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], n);
    return MessageBoxW(owner, wide.c_str(), L"Exit Qorvex", MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2);
}

std::string AppOpenFiles(HWND window) {
    const SessionState* s = SessionFromWindow(window);
    // Not connected: nothing more would reach the files, so nothing is lost.
    if (!s || !s->link.connected.load()) return std::string();
    std::string files;
    const std::string log = HistoryLogPath(window);
    if (!log.empty()) files += "Log: " + log + "\n";
    const std::string recording = RecordingPath(window);
    if (!recording.empty()) files += "Recording: " + recording + "\n";
    return files;
}

bool AppExit(HWND window) {
    const std::string files = AppOpenFiles(window);
    MainWindowRecord* app = MainWindowFrom(window);
    if (!files.empty() && app && app->exitQuestion && app->exitQuestion(window, files) != IDOK) return false;
    DestroyWindow(window);
    return true;
}

// One case per command id; a command not listed here goes to DefWindowProcA
// with its message unchanged.
LRESULT MainWindowCommand(HWND window, WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case IDM_ABOUT:
        DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_ABOUTBOX), window, AboutDialogProc, 0);
        return 0;

    // The tally displays; their result is not used.
    case IDM_SHOW_ME:
    case IDM_SHOW_EXT:
    case IDM_SHOW_SS:
    case IDM_SHOW_OUT:
    case IDM_SHOW_NAMES:
        DisplayOpen(appInstance, window, LOWORD(wParam));
        return 0;

    case IDM_CONNECT:
        PortWatchOnCommand(window);
        // A replay is its own session: the port opens when it ends.
        if (ReplayRunning(window)) {
            PortConnectWait(window, true);
            StatusBarShowRecording(window);
            return 0;
        }
        PortConnectWait(window, false);
        RecordingBeforeConnect(window);
        StatusBarShowRecording(window);
        if (!PortOpen(window))
            MessageBoxA(window, "Connection failed.", "Qorvex V-1.0", MB_ICONWARNING);
        else
            AppMqttStart(window);
        StatusBarShowRecording(window);
        return 0;

    case IDM_DISCONNECT:
        PortWatchOnCommand(window);
        PortConnectWait(window, false);
        CaretHide(window);
        PortClose(window);
        // The broker hears the link as it ended, then offline.
        StatusBarUpdate(window);
        AppMqttStop(window, false);
        StatusBarShowRecording(window);
        return 0;

    case IDM_MQTT_SETTINGS:
        AppMqttCommand(window);
        return 0;

    case IDM_TSL_OUTPUTS:
        AppTslOutputsCommand(window);
        return 0;

    case IDM_TSL_INPUT:
        AppTslInputCommand(window);
        return 0;

    case IDM_SETTINGS:
        SettingsCommand(window);
        return 0;

    case IDM_DETECT_SETTINGS:
        DetectCommand(window);
        return 0;

    case IDM_RESET_COUNTERS:
        // As the switcher's reset message does, and a history row of its own.
        TallyResetCounters(tallyStore);
        HistoryNote(window, EVENT_RESET, HISTORY_RESET_BY_USER, nullptr);
        StatusBarCountersReset(window);
        StatusBarUpdate(window);
        return 0;

    case IDM_BLOCK1:
        PortWriteBlock(window, testBlock, static_cast<int>(TEST_BLOCK_SIZE));
        return 0;

    case IDM_EXIT:
        AppExit(window);
        return 0;

    // A recording replayed brings its own, older times: the timeline starts
    // afresh with its events (the index has taken in the book up to here).
    case IDM_REPLAY_OPEN: {
        const TimelineIndex* index = TimelineViewIndex(window);
        const uint64_t before = index ? index->nextSeq : 0;
        RecordingViewCommand(window, IDM_REPLAY_OPEN);
        if (index && ReplayRunning(window)) TimelineViewRestart(window, before);
        StatusBarShowRecording(window);
        return 0;
    }

    // The views of the "View" menu share the client area: On Air takes it
    // from the history and the terminal screen and gives it back to either.
    case IDM_VIEW_ONAIR:
        HistoryViewShow(window, false);
        TimelineViewShow(window, false);
        if (OnAirViewCreate(window)) AppLayoutViews(window);
        OnAirViewShow(window, true);
        return 0;
    case IDM_VIEW_TIMELINE:
        HistoryViewShow(window, false);
        OnAirViewShow(window, false);
        TimelineViewShow(window, true);
        return 0;
    case IDM_VIEW_HISTORY:
    case IDM_VIEW_SCREEN:
        OnAirViewShow(window, false);
        TimelineViewShow(window, false);
        HistoryViewCommand(window, LOWORD(wParam));
        return 0;

    default:
        if (HistoryViewCommand(window, LOWORD(wParam))) return 0;
        if (WatchAppCommand(window, LOWORD(wParam))) return 0;
        if (TimelineViewCommand(window, LOWORD(wParam))) return 0;
        if (RecordingViewCommand(window, LOWORD(wParam))) {
            StatusBarShowRecording(window);
            return 0;
        }
        return DefWindowProcA(window, WM_COMMAND, wParam, lParam);
    }
}

// ---- Refresh tick -------------------------------------------------------------
// Posts WM_TALLY_REFRESH to the open display while its category is dirty. The
// tick never clears the flag: the display does once it has redrawn.
void MainWindowRefreshTick(HWND /*window*/) {
    HWND display = ActiveDisplay.window;
    if (!display) return;
    std::atomic<int32_t>* dirty = DisplayDirtyFlag(tallyStore, ActiveDisplay.kind);
    if (dirty && dirty->load() != 0) PostMessageA(display, WM_TALLY_REFRESH, 0, 0);
}

// ---- Wiring -----------------------------------------------------------------------
namespace {

// The link's events met on the window's thread go straight to the history.
void NoteFromLink(void* context, const HistoryEvent& event) {
    HistoryTakeEvent(static_cast<HWND>(context), event);
}

// Receiver thread: the port has gone; the window closes the connection.
void LostFromLink(void* context) { PostMessageA(static_cast<HWND>(context), WM_APP_PORT_LOST, 0, 0); }

// Every event the history takes in, in order: a port error the link marked
// for the screen is printed there as "<CE-...>".
void OnHistoryEvent(void* context, const HistoryEvent& event) {
    HWND window = static_cast<HWND>(context);
    WatchAppTake(window, event);
    // The timeline's index keeps in step with the book as it fills; its
    // pointers are held here because this runs for every event.
    if (const MainWindowRecord* app = MainWindowFrom(window))
        if (app->timeline && app->book) TimelineFollow(*app->timeline, *app->book);
    if (event.flags & HISTORY_FLAG_SCREEN) {
        char text[32];
        const int length = std::snprintf(text, sizeof text, "<CE-0x%08lx>", static_cast<unsigned long>(event.code));
        ScreenWrite(window, text, length);
    }
}

// The receiver stored a read: TSL outputs send a change at once.
void FedFromLink(void* context) { AppTslFed(static_cast<HWND>(context)); }

// A replay is a session of its own. At its begin the live log pauses (the
// live events still in the ring are logged first), the history describes
// changes from the store's initial state, and the link's counters and the
// time the status bar counts from start again; after its end row the log
// resumes.
void OnReplaySession(void* context, const ReplaySessionNote& note) {
    HWND window = static_cast<HWND>(context);
    SessionState* s = SessionFromWindow(window);
    if (note.step == REPLAY_SESSION_BEGINS) {
        HistoryLogPause(window, true, "replay of " + note.path);
        HistoryShadowInit(HistoryTheBook(window).shadow);
        if (s) {
            s->link.bytesReceived.store(0);
            for (auto& n : s->link.lineErrorCounts) n.store(0);
        }
        StatusBarCountersReset(window);
    }
    HistoryTakeEvent(window, note.row);
    if (note.step == REPLAY_SESSION_ENDS) {
        HistoryLogPause(window, false, "replay ended");
        // Posted: the replay's own call is still on the stack.
        if (PortConnectWaiting(window)) PostMessageA(window, WM_COMMAND, IDM_CONNECT, 0);
    }
    StatusBarUpdate(window);
}

std::string LogStartDetails(void* context) { return AppLogStartDetails(static_cast<HWND>(context)); }

// A click on the timeline selects the history's row of that event; a double
// click also gives the history the client area.
void SelectFromTimeline(void* context, uint64_t seq, bool show) {
    HWND window = static_cast<HWND>(context);
    HistoryViewSelectSeq(window, seq);
    if (show) SendMessageA(window, WM_COMMAND, IDM_VIEW_HISTORY, 0);
}

LRESULT OnCreate(HWND window) {
    SetTimer(window, REFRESH_TIMER, REFRESH_PERIOD_MS, nullptr);
    const int created = SessionCreate(window);
    // The status bar only shows the link's health, the history what happened:
    // the window works without either.
    if (created == 1) {
        MainWindowRecord* app = new MainWindowRecord;
        app->ring = new HistoryRing;
        HistoryRingInit(*app->ring);
        app->capture = new CaptureRing;
        CaptureRingInit(*app->capture);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
        SessionState* s = SessionFromWindow(window);
        s->link.sink = {app->ring, app->capture, NoteFromLink, LostFromLink, window, FedFromLink};
        StatusBarCreate(window);
        HistoryViewCreate(window, app->ring, &s->link.connected);
        HistorySetListener(window, OnHistoryEvent, window);
        HistorySetLogDetails(window, LogStartDetails, window);
        RecordingViewCreate(window, app->ring, app->capture, &s->link.connected, &s->settings);
        WatchAppCreate(window);
        RecordingSetReplayListener(window, OnReplaySession, window);
        TimelineViewCreate(window, &HistoryTheBook(window), &s->link.connected);
        TimelineViewSetSelect(window, SelectFromTimeline, window);
        app->timeline = TimelineViewIndex(window);
        app->book = &HistoryTheBook(window);
        AppLayoutViews(window);
    }
    return created;
}

LRESULT OnDestroy(HWND window) {
    // The session record ends with the process.
    KillTimer(window, REFRESH_TIMER);
    if (ConfigActive()) ConfigSavePlacement(ConfigActive(), PlacementFromWindow(window));
    // The port closes first: the receiver's last events (a message cut off
    // by the close, the disconnect) reach the history, the log and the
    // recording before they close.
    if (SessionState* s = SessionFromWindow(window))
        if (s->link.connected.load()) PortClose(window);
    AppTslStop(window);
    // The broker gets the final state before the link says offline.
    StatusBarUpdate(window);
    AppMqttEnd(window);
    if (MainWindowRecord* app = MainWindowFrom(window)) app->timeline = nullptr;
    TimelineViewDestroy(window);  // its index follows the history's book
    HistoryViewDestroy(window);
    WatchAppDestroy(window);       // the stream's tail reaches the kept recording
    RecordingViewDestroy(window);  // what is queued reaches the file
    PostQuitMessage(0);
    return 0;
}

LRESULT OnPaint(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    if (HistoryScreenShown(window)) ScreenPaint(window, dc, ps.rcPaint);
    EndPaint(window, &ps);
    return 0;
}

// Bytes the capture stream could not keep are a gap in every file made from
// it: the history (and so the log) gets a row with how many, the status bar
// a part.
void NoteCaptureGap(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (!app || !app->capture) return;
    const uint64_t lost = app->capture->lostBytes.load(std::memory_order_relaxed);
    if (lost <= app->captureLostSeen) return;
    const uint64_t count = lost - app->captureLostSeen;
    app->captureLostSeen = lost;
    HistoryNote(window, EVENT_GAP, static_cast<uint32_t>(count < UINT32_MAX ? count : UINT32_MAX), nullptr);
    StatusBarShowRecording(window);
}

LRESULT OnTimer(HWND window) {
    MainWindowRefreshTick(window);
    PortWatchTick(window);
    StatusBarUpdate(window);
    AppMqttTick(window);
    OnAirViewTick(window);
    return 0;
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DESTROY:
        return OnDestroy(window);
    case WM_CLOSE:
        // The close box and Alt+F4 ask as Exit does.
        AppExit(window);
        return 0;
    case WM_PAINT:
        return OnPaint(window);
    case WM_COMMAND:
        return MainWindowCommand(window, wParam, lParam);
    case WM_TIMER:
        if (AppTslTimer(window, wParam)) return 0;
        if (wParam == HISTORY_TIMER) {
            // Alarms are raised as the history drains, and by the watch's own tick.
            const uint64_t before = WatchAppAlarms(window);
            HistoryViewTick(window);
            WatchAppTick(window);
            TimelineViewTick(window);
            RecordingViewPump(window);
            AppMqttDrain(window);  // the tally reaches the broker as the ring drains
            // A new alarm shows at once, not on the next 500 ms tick.
            if (WatchAppAlarms(window) != before) StatusBarUpdate(window);
            NoteCaptureGap(window);
            return 0;
        }
        if (wParam == RECORDING_TIMER) {
            RecordingViewTick(window);
            StatusBarShowRecording(window);
            return 0;
        }
        return OnTimer(window);
    case WM_SIZE:
        StatusBarLayout(window);
        AppLayoutViews(window);
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_APP_PORT_LOST:
        PortWatchOnLost(window);
        StatusBarUpdate(window);
        return 0;
    case WM_EXITSIZEMOVE:
        if (ConfigActive()) ConfigSavePlacement(ConfigActive(), PlacementFromWindow(window));
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_NOTIFY: {
        LRESULT result = 0;
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == IDC_STATUS_BAR && header->code == NM_CLICK &&
            reinterpret_cast<const NMMOUSE*>(lParam)->dwItemSpec == STATUS_PART_ALARMS) {
            OnAirViewShow(window, false);
            HistoryViewShowOnly(window, HISTORY_ALARMS);
            return 0;
        }
        if (HistoryViewNotify(window, reinterpret_cast<const NMHDR*>(lParam), &result)) return result;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    case WM_SETFOCUS:
        // Keys go to the list while it is shown.
        if (HistoryViewShown(window)) SetFocus(GetDlgItem(window, IDC_HISTORY_LIST));
        else if (TimelineViewShown(window)) SetFocus(TimelineViewFind(window));
        return 0;
    case WM_APP_PLACE_CARET:
        CaretPlaceAt(window, static_cast<int>(wParam), static_cast<int>(lParam));
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    switch (message) {
    case WM_INITDIALOG:
        SetDlgItemTextA(dialog, IDC_ABOUT_VERSION, "Build " QORVEX_VERSION_TEXT);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}
