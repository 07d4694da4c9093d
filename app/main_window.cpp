// The main window: class, creation, window procedure, command dispatch, the
// refresh tick and the About box.
#include "app/app.h"

#include "app/session.h"
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
#include "tally/protocol.h"
#include "tally/store.h"

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
    // bytes on 64-bit Windows.
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

// ---- Commands ---------------------------------------------------------------
// One case per command id; a command not listed here goes to DefWindowProcA
// with its message unchanged.
LRESULT MainWindowCommand(HWND window, WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case IDM_ABOUT:
        DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_ABOUTBOX), window, AboutDialogProc, 0);
        return 0;

    // The tally displays; their result is not used.
    case IDM_SHOW_ME:
        DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_DISPLAY_ME), window, DisplayMeProc, 0);
        return 0;
    case IDM_SHOW_EXT:
        DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_DISPLAY_EXT), window, DisplayExtProc, 0);
        return 0;
    case IDM_SHOW_SS:
        DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_DISPLAY_SS), window, DisplaySsProc, 0);
        return 0;
    case IDM_SHOW_OUT:
        DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_DISPLAY_OUT), window, DisplayOutProc, 0);
        return 0;
    case IDM_SHOW_NAMES:
        DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_DISPLAY_NAMES), window, DisplayNamesProc, 0);
        return 0;

    case IDM_CONNECT:
        PortWatchOnCommand();
        RecordingBeforeConnect(window);
        if (!PortOpen(window))
            MessageBoxA(window, "Connection failed.", "Qorvex V-1.0", MB_ICONWARNING);
        return 0;

    case IDM_DISCONNECT:
        PortWatchOnCommand();
        CaretHide(window);
        PortClose(window);
        return 0;

    case IDM_SETTINGS: {
        SessionState* session = SessionFromWindow(window);
        if (!session) return 0;
        HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
        const PortConfig portBefore = PortConfigFromSession(*session, PortWatchReconnect());
        const FontConfig fontBefore = FontConfigFromSession(*session);
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETTINGS), window, SettingsDialogProc,
                        reinterpret_cast<LPARAM>(session));
        // Only what the operator changed is saved: values given on the
        // command line stay for this run alone.
        ConfigSavePort(ConfigActive(), portBefore, PortConfigFromSession(*session, PortWatchReconnect()));
        ConfigSaveFont(ConfigActive(), fontBefore, FontConfigFromSession(*session));
        // Ok and Cancel alike: an open port gets the record's settings again.
        if (session->connected.load() && !PortApplySettings(window))
            MessageBoxA(window, "Settings failed!", "Qorvex V-1.0", MB_ICONWARNING);
        return 0;
    }

    case IDM_DETECT_SETTINGS:
        DetectSettingsCommand(window);
        return 0;

    case IDM_BLOCK1:
        PortWriteBlock(window, testBlock, static_cast<int>(TEST_BLOCK_SIZE));
        return 0;

    case IDM_EXIT:
        DestroyWindow(window);
        return 0;

    // The views of the "View" menu share the client area: On Air takes it
    // from the history and the terminal screen and gives it back to either.
    case IDM_VIEW_ONAIR:
        HistoryViewShow(window, false);
        OnAirViewShow(window, true);
        return 0;
    case IDM_VIEW_HISTORY:
    case IDM_VIEW_SCREEN:
        OnAirViewShow(window, false);
        HistoryViewCommand(window, LOWORD(wParam));
        return 0;

    default:
        if (HistoryViewCommand(window, LOWORD(wParam))) return 0;
        if (RecordingViewCommand(window, LOWORD(wParam))) return 0;
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

// ---- Window procedure -----------------------------------------------------------
// The port watch's events in the history. The reconnect already has its
// connect row from the port (written before the receiver's first byte).
static void NotePortWatch(HWND window, PortWatchEvent event, int portNumber) {
    if (event != PORT_WATCH_LOST) return;
    char note[32];
    wsprintfA(note, "Port lost (COM%d)", portNumber);
    HistoryNote(window, EVENT_DISCONNECT, 0, note);
}

static LRESULT OnCreate(HWND window) {
    PortWatchSetHook(NotePortWatch);
    SetTimer(window, REFRESH_TIMER, REFRESH_PERIOD_MS, nullptr);
    const int created = SessionCreate(window);
    // The status bar only shows the link's health, the history what happened:
    // the window works without either.
    if (created == 1) {
        StatusBarCreate(window);
        HistoryViewCreate(window);
        RecordingViewCreate(window);
    }
    return created;
}

static LRESULT OnDestroy(HWND window) {
    // The session, an open port and the receiver end with the process; the
    // log file gets what is still in the ring.
    KillTimer(window, REFRESH_TIMER);
    if (ConfigActive()) ConfigSavePlacement(ConfigActive(), PlacementFromWindow(window));
    HistoryViewDestroy(window);
    RecordingStop(window);  // what is queued reaches the file
    PostQuitMessage(0);
    return 0;
}

static LRESULT OnPaint(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    if (HistoryScreenShown(window)) ScreenPaint(window, dc, ps.rcPaint);
    EndPaint(window, &ps);
    return 0;
}

static LRESULT OnTimer(HWND window) {
    MainWindowRefreshTick(window);
    PortWatchTick(window);
    StatusBarUpdate(window);
    OnAirViewTick(window);
    return 0;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DESTROY:
        return OnDestroy(window);
    case WM_PAINT:
        return OnPaint(window);
    case WM_COMMAND:
        return MainWindowCommand(window, wParam, lParam);
    case WM_TIMER:
        if (wParam == HISTORY_TIMER) {
            HistoryViewTick(window);
            return 0;
        }
        if (wParam == RECORDING_TIMER) {
            RecordingViewTick(window);
            return 0;
        }
        return OnTimer(window);
    case WM_SIZE:
        StatusBarLayout(window);
        HistoryViewLayout(window);
        OnAirViewLayout(window);
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
        if (HistoryViewNotify(window, reinterpret_cast<const NMHDR*>(lParam), &result)) return result;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    case WM_SETFOCUS:
        // Keys go to the list while it is shown.
        if (HistoryViewShown(window)) SetFocus(GetDlgItem(window, IDC_HISTORY_LIST));
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
