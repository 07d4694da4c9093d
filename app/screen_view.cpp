// What the operator sees of the session: the terminal screen painted in the
// client area and the status bar along the bottom with the link's health.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/screen_core.h"
#include "app/session.h"
#include "app/watch_app.h"
#include "recording/recording_app.h"
#include "serial/modem_lines.h"
#include "serial/status_core.h"
#include "tally/store.h"

namespace {

// Texts are UTF-8 (the rate's dash, paths from the command line); one that
// is not (a path from the A file dialog) goes as it is.
std::wstring WideOrAnsi(const std::string& text, bool& wide) {
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
    wide = n > 0;
    if (!wide) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, &out[0], n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

void SetPart(HWND bar, std::string& shown, int part, const std::string& text) {
    if (shown == text) return;
    shown = text;
    bool wide = false;
    const std::wstring w = WideOrAnsi(text, wide);
    if (wide) SendMessageW(bar, SB_SETTEXTW, part, reinterpret_cast<LPARAM>(w.c_str()));
    else SendMessageA(bar, SB_SETTEXTA, part, reinterpret_cast<LPARAM>(text.c_str()));
}

// One part as laid out: its text, its tool tip and how long it holds out
// when the bar is too narrow (higher: later).
struct Part {
    std::string text, tip;
    int keep;
    int width;
};

// Room a part needs for its text: the text in the bar's font and the
// borders and margins the bar draws.
int TextWidth(HWND bar, HDC dc, const std::string& text) {
    bool wide = false;
    const std::wstring w = WideOrAnsi(text, wide);
    SIZE size = {0, 0};
    if (wide) GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
    else GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    (void)bar;
    return static_cast<int>(size.cx) + 14;
}

std::string NowClock() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", t.wHour, t.wMinute, t.wSecond);
    return text;
}

// The parts of the moment: the six of the link, then those with something to say.
std::vector<Part> CurrentParts(HWND window, const SessionState& s, const MainWindowRecord& app) {
    const StatusTexts& t = app.statusTexts;
    const PortSettings& p = s.settings;
    std::string link = t.link;
    std::string linkTip = "State of the link";
    if (ReplayRunning(window)) {
        link = ReplayPaused(window) ? "Paused" : "Replaying";
        // The port and a replay exclude each other: a Connect given now, or a
        // lost port, opens once the replay ends.
        if (app.connectWaits) {
            link += ", Connect waits";
            linkTip = "A recording replays: the port opens when it ends (Disconnect cancels)";
        } else if (s.link.lost && p.reconnect) {
            link += ", reconnect waits";
            linkTip = "A recording replays: the automatic reconnect waits until it ends";
        }
    }
    const std::string since = " since " + app.linkSince;
    std::vector<Part> parts = {
        {StatusPortText(p.portNumber, static_cast<uint32_t>(p.baudRate), p.dataBits, p.parity, p.stopBits),
         "Port and line settings of the session", 8, 0},
        {link, linkTip, 9, 0},
        {t.bytes, "Bytes received" + since + " (counted from each Connect)", 3, 0},
        {t.rate, "Messages per second over the last 5 s" + since + " (not measured across a connect or a jump)", 4, 0},
        {t.framing, "Framing errors counted by the store since " + app.countersSince + " (start, reset message or Reset Counters)", 6, 0},
        {t.line, "UART line errors" + since + " (counted from each Connect)", 5, 0},
        {WatchAppStatusText(window), "Alarms the watch raised since the start or Clear Alarms; a click shows them", 7, 0},
    };
    const std::string mqtt = AppMqttStatusText(window);
    if (!mqtt.empty()) parts.push_back({mqtt, "The MQTT broker the link and the tally are published to", 6, 0});
    // Plain text, upper case lit: "CTS DSR dcd ri".
    const uint32_t modem = s.link.modemLines.load();
    if (s.link.connected.load() && (modem & MODEM_LINES_KNOWN))
        parts.push_back({ModemLinesText(modem), "Modem lines: upper case on, lower case off (CTS clear to send, DSR data "
                         "set ready, DCD carrier detect, RI ring indicator)", 1, 0});
    if (app.captureLostSeen)
        parts.push_back({"Gap " + std::to_string(app.captureLostSeen) + " bytes",
                         "Received bytes the capture stream could not keep (its ring was full) since start: "
                         "a gap in the log and any recording",
                         2, 0});
    const std::string recording = RecordingStatusText(window);
    if (!recording.empty()) parts.push_back({recording, recording, 7, 0});
    const std::string tsl = AppTslStatus(window);
    if (!tsl.empty())
        parts.push_back({tsl, "TSL outputs (sending, or the error) and the hub check (lamps differing longer than 200 ms)", 7, 0});
    return parts;
}

// Sizes the parts to their texts; when they do not fit, the least important
// give way first, each hidden whole: a part cut short ("2.0 msg/") reads as
// a wrong figure. The last part takes what is left.
void LayOut(HWND window, HWND bar, MainWindowRecord& app, std::vector<Part>& parts) {
    const int count = static_cast<int>(std::min(parts.size(), static_cast<size_t>(STATUS_MAX_PARTS)));
    HDC dc = GetDC(bar);
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(bar, WM_GETFONT, 0, 0));
    HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
    int total = 0;
    for (int i = 0; i < count; ++i) {
        parts[static_cast<size_t>(i)].width = TextWidth(bar, dc, parts[static_cast<size_t>(i)].text);
        total += parts[static_cast<size_t>(i)].width;
    }
    if (old) SelectObject(dc, old);
    ReleaseDC(bar, dc);
    RECT client;
    GetClientRect(bar, &client);
    const int room = static_cast<int>(client.right) - GetSystemMetrics(SM_CXVSCROLL);  // the size grip
    for (int keep = 0; total > room && keep <= 9; ++keep)
        for (int i = count - 1; i >= 0 && total > room; --i) {
            Part& part = parts[static_cast<size_t>(i)];
            if (part.keep != keep) continue;
            total -= part.width;
            part.width = 0;
        }
    int edges[STATUS_MAX_PARTS];
    int x = 0;
    for (int i = 0; i < count; ++i) edges[i] = (x += parts[static_cast<size_t>(i)].width);
    edges[count - 1] = -1;
    const bool changed = count != app.statusCount || !std::equal(edges, edges + count, app.statusEdges);
    if (changed) {
        SendMessageA(bar, SB_SETPARTS, count, reinterpret_cast<LPARAM>(edges));
        std::copy(edges, edges + count, app.statusEdges);
        if (count != app.statusCount)
            for (std::string& shown : app.statusShown) shown.assign(1, '\x01');
    }
    for (int i = 0; i < count; ++i) SetPart(bar, app.statusShown[i], i, parts[static_cast<size_t>(i)].text);

    // The tool tips follow the parts: one tool per part, its rectangle and text.
    if (!app.statusTips) return;
    for (int i = 0; i < STATUS_MAX_PARTS; ++i) {
        TOOLINFOA info = {};
        info.cbSize = TTTOOLINFOA_V2_SIZE;
        info.hwnd = bar;
        info.uId = static_cast<UINT_PTR>(i);
        const bool exists = i < app.statusCount;
        const bool wanted = i < count;
        if (exists && !wanted) {
            SendMessageA(app.statusTips, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&info));
            continue;
        }
        if (!wanted) continue;
        SendMessageW(bar, SB_GETRECT, i, reinterpret_cast<LPARAM>(&info.rect));
        info.lpszText = const_cast<char*>(parts[static_cast<size_t>(i)].tip.c_str());
        if (!exists) {
            info.uFlags = TTF_SUBCLASS;
            SendMessageA(app.statusTips, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info));
            app.statusTipsShown[i] = parts[static_cast<size_t>(i)].tip;
            continue;
        }
        if (changed) SendMessageA(app.statusTips, TTM_NEWTOOLRECTA, 0, reinterpret_cast<LPARAM>(&info));
        if (app.statusTipsShown[i] != parts[static_cast<size_t>(i)].tip) {
            SendMessageA(app.statusTips, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&info));
            app.statusTipsShown[i] = parts[static_cast<size_t>(i)].tip;
        }
    }
    app.statusCount = count;
    (void)window;
}

void Refresh(HWND window) {
    HWND bar = GetDlgItem(window, IDC_STATUS_BAR);
    SessionState* s = SessionFromWindow(window);
    MainWindowRecord* app = MainWindowFrom(window);
    if (!bar || !s || !app) return;
    std::vector<Part> parts = CurrentParts(window, *s, *app);
    LayOut(window, bar, *app, parts);
}

}  // namespace

HWND StatusBarCreate(HWND window) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    HWND bar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0,
                               window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS_BAR)), instance, nullptr);
    if (!bar) return nullptr;
    if (MainWindowRecord* app = MainWindowFrom(window)) {
        for (std::string& shown : app->statusShown) shown.assign(1, '\x01');  // nothing shown yet
        app->statusCount = 0;
        app->linkSince = app->countersSince = NowClock();
        app->statusTips = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr,
                                          instance, nullptr);
        if (app->statusTips) SendMessageA(app->statusTips, TTM_SETMAXTIPWIDTH, 0, 400);
    }
    StatusBarUpdate(window);
    return bar;
}

void StatusBarLayout(HWND window) {
    HWND bar = GetDlgItem(window, IDC_STATUS_BAR);
    if (!bar) return;
    SendMessageA(bar, WM_SIZE, 0, 0);
    Refresh(window);
}

void StatusBarUpdate(HWND window) {
    HWND bar = GetDlgItem(window, IDC_STATUS_BAR);
    SessionState* s = SessionFromWindow(window);
    MainWindowRecord* app = MainWindowFrom(window);
    if (!bar || !s || !app) return;

    TallyCounterValues c;
    TallyReadCounters(tallyStore, c);
    const LinkState& link = s->link;
    uint64_t line = 0;
    for (const auto& n : link.lineErrorCounts) line += n.load();

    StatusInput in{link.connected.load() != 0, link.bytesReceived.load(), link.lastByteTick.load(),
                   static_cast<uint32_t>(GetTickCount()), TallyMessageCount(c), TallyFramingErrorCount(c),
                   line, link.lost};
    in.epoch = link.connects.load() + ReplayEpoch(window);
    app->statusTexts = app->statusTracker.Update(in);
    if (app->statusTexts.epochChanged) app->linkSince = NowClock();
    if (app->statusTexts.countersReset) app->countersSince = NowClock();
    Refresh(window);
}

void StatusBarShowRecording(HWND window) { Refresh(window); }

void StatusBarCountersReset(HWND window) {
    if (MainWindowRecord* app = MainWindowFrom(window)) app->countersSince = NowClock();
}

void ScreenPaint(HWND window, HDC dc, const RECT& area) {
    SessionState* session = SessionFromWindow(window);
    if (!session) return;
    const TerminalScreen* s = &session->terminal;
    if (s->charWidth <= 0 || s->charHeight <= 0) return;
    const int cw = s->charWidth;
    const int ch = s->charHeight;

    // The main window does not clip its children: keep off the status bar.
    const RECT views = AppViewArea(window);
    IntersectClipRect(dc, views.left, views.top, views.right, views.bottom);

    const int firstRow = std::max(0, static_cast<int>(area.top) / ch);
    const int lastRow = std::min(SCREEN_ROWS - 1, static_cast<int>(area.bottom - 1) / ch);
    const int firstCol = std::max(0, static_cast<int>(area.left) / cw);
    const int lastCol = std::min(SCREEN_COLS - 1, static_cast<int>(area.right - 1) / cw);
    if (firstRow > lastRow || firstCol > lastCol) return;

    char cells[SCREEN_ROWS * SCREEN_COLS];
    EnterCriticalSection(&session->terminal.lock);
    std::copy(s->cells, s->cells + SCREEN_ROWS * SCREEN_COLS, cells);
    LeaveCriticalSection(&session->terminal.lock);

    // Every glyph advances exactly one cell, so painting matches the cells
    // the writer invalidates whatever the font's own advances are.
    INT advances[SCREEN_COLS];
    std::fill(advances, advances + SCREEN_COLS, cw);
    HGDIOBJ previous = SelectObject(dc, s->font);
    SetTextColor(dc, s->textColour);
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    SetBkMode(dc, OPAQUE);
    const int count = lastCol - firstCol + 1;
    for (int row = firstRow; row <= lastRow; ++row) {
        RECT cell = {firstCol * cw, row * ch, (lastCol + 1) * cw, (row + 1) * ch};
        ExtTextOutA(dc, cell.left, cell.top, ETO_OPAQUE | ETO_CLIPPED, &cell,
                    cells + row * SCREEN_COLS + firstCol, static_cast<UINT>(count), advances);
    }
    SelectObject(dc, previous);
}
