// What the operator sees of the session: the terminal screen painted in the
// client area and the status bar along the bottom with the link's health.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>

#include "app/app.h"
#include "app/screen_core.h"
#include "app/session.h"
#include "app/watch_app.h"
#include "recording/recording_app.h"
#include "serial/status_core.h"
#include "tally/store.h"

namespace {

// Right edges of the status bar's parts, in pixels; the last part takes the rest.
// Each part holds its longest text (ten-digit counts, "Connected, no data yet")
// in the status-bar font with a few pixels to spare.
const int STATUS_PART_EDGES[STATUS_PARTS] = {130, 280, 400, 495, 670, 816, -1};

// Texts are UTF-8 (the rate's dash, paths from the command line); one that
// is not (a path from the A file dialog) goes as it is.
void SetPart(HWND bar, std::string& shown, int part, const std::string& text) {
    if (shown == text) return;
    shown = text;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
    if (n <= 0) {
        SendMessageA(bar, SB_SETTEXTA, part, reinterpret_cast<LPARAM>(text.c_str()));
        return;
    }
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, &wide[0], n);
    SendMessageW(bar, SB_SETTEXTW, part, reinterpret_cast<LPARAM>(wide.c_str()));
}

}  // namespace

HWND StatusBarCreate(HWND window) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    HWND bar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0,
                               window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS_BAR)),
                               reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE)), nullptr);
    if (!bar) return nullptr;
    SendMessageA(bar, SB_SETPARTS, STATUS_PARTS, reinterpret_cast<LPARAM>(STATUS_PART_EDGES));
    if (MainWindowRecord* app = MainWindowFrom(window))
        for (std::string& shown : app->statusShown) shown.assign(1, '\x01');  // nothing shown yet
    StatusBarUpdate(window);
    return bar;
}

void StatusBarLayout(HWND window) {
    HWND bar = GetDlgItem(window, IDC_STATUS_BAR);
    if (bar) SendMessageA(bar, WM_SIZE, 0, 0);
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

    const StatusInput in{link.connected.load() != 0, link.bytesReceived.load(), link.lastByteTick.load(),
                         static_cast<uint32_t>(GetTickCount()), TallyMessageCount(c), TallyFramingErrorCount(c),
                         line, link.lost};
    const StatusTexts t = app->statusTracker.Update(in);
    const PortSettings& p = s->settings;
    SetPart(bar, app->statusShown[0], 0,
            StatusPortText(p.portNumber, static_cast<uint32_t>(p.baudRate), p.dataBits, p.parity, p.stopBits));
    SetPart(bar, app->statusShown[1], 1, t.link);
    SetPart(bar, app->statusShown[2], 2, t.bytes);
    SetPart(bar, app->statusShown[3], 3, t.rate);
    SetPart(bar, app->statusShown[4], 4, t.framing);
    SetPart(bar, app->statusShown[5], 5, t.line);
    SetPart(bar, app->statusShown[STATUS_PART_ALARMS], STATUS_PART_ALARMS, WatchAppStatusText(window));
    StatusBarShowRecording(window);
}

// The status bar gets an eighth part while recording or replay has
// something to say.
void StatusBarShowRecording(HWND window) {
    HWND bar = GetDlgItem(window, IDC_STATUS_BAR);
    MainWindowRecord* app = MainWindowFrom(window);
    if (!bar || !app) return;
    const std::string text = RecordingStatusText(window);
    int edges[STATUS_PARTS + 1];
    const int parts = static_cast<int>(SendMessageA(bar, SB_GETPARTS, STATUS_PARTS + 1, reinterpret_cast<LPARAM>(edges)));
    if (!text.empty() && parts == STATUS_PARTS) {
        edges[STATUS_PARTS - 1] = edges[STATUS_PARTS - 2] + 110;  // "Alarms" keeps its room, the rest is ours
        edges[STATUS_PARTS] = -1;
        SendMessageA(bar, SB_SETPARTS, STATUS_PARTS + 1, reinterpret_cast<LPARAM>(edges));
        app->statusShown[STATUS_PARTS].assign(1, '\x01');
    } else if (text.empty() && parts == STATUS_PARTS + 1) {
        edges[STATUS_PARTS - 1] = -1;
        SendMessageA(bar, SB_SETPARTS, STATUS_PARTS, reinterpret_cast<LPARAM>(edges));
        return;
    }
    if (!text.empty()) SetPart(bar, app->statusShown[STATUS_PARTS], STATUS_PARTS, text);
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
