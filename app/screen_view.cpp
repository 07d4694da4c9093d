// What the operator sees of the session: the terminal screen painted in the
// client area and the status bar along the bottom with the link's health.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>

#include "app/app.h"
#include "app/screen_core.h"
#include "app/session.h"
#include "serial/status_core.h"
#include "serial/port_watch.h"
#include "tally/store.h"

namespace {

// Right edges of the status bar's parts, in pixels; the last part takes the rest.
// Each part holds its longest text (ten-digit counts, "Connected, no data yet")
// in the status-bar font with a few pixels to spare.
const int STATUS_PART_EDGES[STATUS_PARTS] = {130, 280, 400, 495, 670, -1};

StatusTracker statusTracker;
std::string statusShown[STATUS_PARTS];

void SetPart(HWND bar, int part, const std::string& text) {
    if (statusShown[part] == text) return;
    statusShown[part] = text;
    SendMessageA(bar, SB_SETTEXTA, part, reinterpret_cast<LPARAM>(text.c_str()));
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
    for (std::string& shown : statusShown) shown.assign(1, '\x01');  // nothing shown yet
    statusTracker = StatusTracker();  // no rate samples from an earlier window
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
    if (!bar || !s) return;

    TallyCounterValues c;
    TallyReadCounters(tallyStore, c);
    uint64_t messages = c.ssCount;
    for (uint32_t n : c.meCount) messages += n;
    for (uint32_t n : c.extCount) messages += n;
    for (uint32_t n : c.outCount) messages += n;
    const uint64_t framing = uint64_t{c.strayByteCount} + c.unknownTypeCount + c.headerMismatchCount +
                             c.headerLowByteCount + c.payloadErrorCount;
    uint64_t line = 0;
    for (const auto& n : s->lineErrorCounts) line += n.load();

    const StatusInput in{s->connected.load() != 0, s->bytesReceived.load(), s->lastByteTick.load(),
                         static_cast<uint32_t>(GetTickCount()), messages, framing, line, PortWatchLost()};
    const StatusTexts t = statusTracker.Update(in);
    SetPart(bar, 0, StatusPortText(s->portNumber, s->baudRate, s->dataBits, s->parity, s->stopBits));
    SetPart(bar, 1, t.link);
    SetPart(bar, 2, t.bytes);
    SetPart(bar, 3, t.rate);
    SetPart(bar, 4, t.framing);
    SetPart(bar, 5, t.line);
}

void ScreenPaint(HWND window, HDC dc, const RECT& area) {
    SessionState* s = SessionFromWindow(window);
    if (!s || s->charWidth <= 0 || s->charHeight <= 0) return;
    const int cw = s->charWidth;
    const int ch = s->charHeight;

    // The main window does not clip its children: keep off the status bar.
    HWND bar = GetDlgItem(window, IDC_STATUS_BAR);
    if (bar && IsWindowVisible(bar)) {
        RECT r;
        GetWindowRect(bar, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        ExcludeClipRect(dc, r.left, r.top, r.right, r.bottom);
    }

    const int firstRow = std::max(0, static_cast<int>(area.top) / ch);
    const int lastRow = std::min(SCREEN_ROWS - 1, static_cast<int>(area.bottom - 1) / ch);
    const int firstCol = std::max(0, static_cast<int>(area.left) / cw);
    const int lastCol = std::min(SCREEN_COLS - 1, static_cast<int>(area.right - 1) / cw);
    if (firstRow > lastRow || firstCol > lastCol) return;

    char cells[SCREEN_ROWS * SCREEN_COLS];
    EnterCriticalSection(&s->screenLock);
    std::copy(s->screen, s->screen + SCREEN_ROWS * SCREEN_COLS, cells);
    LeaveCriticalSection(&s->screenLock);

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
