// The Timeline view in a real main window under Wine: View -> Timeline takes
// the client area; over an hour-wide span a 40 ms flash of source 5 from
// preview to program on ME 1 is one red pixel column, where its time falls,
// between green ones (read back from the screen); its tool tip gives level and
// length; a click on it selects that event's row in the history, which
// View -> History then shows; and the view draws again only when the data
// changed. The span zooms between 100 ms and 24 h, pans off now and follows
// it again; an alarm marker and a line error land in their columns; after a
// restart (a replay) older times are drawn as they are. Leaves
// artifacts/timeline_view.bmp.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "history/book.h"
#include "history/history.h"
#include "history/log_format.h"
#include "resources/resource.h"
#include "tally/protocol.h"
#include "tally/store.h"
#include "tests/win/app_test_util.h"
#include "tests/win/win_artifacts.h"
#include "timeline/timeline_view.h"

namespace {

void Pump() {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
}

HistoryEvent Message(int64_t t, uint8_t type, const uint8_t* payload, int length) {
    HistoryEvent e;
    std::memset(&e, 0, sizeof e);
    e.timeMs = t;
    e.kind = EVENT_MESSAGE;
    e.type = type;
    e.bytes[0] = e.bytes[1] = type;
    std::memcpy(e.bytes + 2, payload, static_cast<size_t>(length));
    e.length = static_cast<uint8_t>(2 + length);
    return e;
}

// ME 1 with source 5 on the A bus, in the program A row or the preview A row.
HistoryEvent Me1Source5(int64_t t, bool program) {
    uint8_t me[ME_PAYLOAD] = {};
    me[16] = 5;
    me[program ? 3 : 19] = 0x01;
    return Message(t, 0x81, me, ME_PAYLOAD);
}

const COLORREF RED = RGB(210, 24, 24);
const COLORREF GREEN = RGB(20, 160, 60);

class TimelineViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = OpenMainWindowForTest();
        ASSERT_NE(window, nullptr);
        MoveWindow(window, 0, 0, 1000, 600, TRUE);
        KillTimer(window, HISTORY_TIMER);  // ticks by hand
        // After anything the window noted at its start, on whole seconds.
        t0 = (HistoryNowMs() / 1000 + 60) * 1000;
    }
    void TearDown() override {
        DestroyWindow(window);
        DrainQuitMessages();
    }
    void Tick() {
        SendMessageA(window, WM_TIMER, HISTORY_TIMER, 0);
        if (HWND view = TimelineViewFind(window)) UpdateWindow(view);
        Pump();
    }
    COLORREF At(HWND view, int x, int y) {
        HDC dc = GetDC(view);
        const COLORREF c = GetPixel(dc, x, y);
        ReleaseDC(view, dc);
        return c;
    }
    HWND window = nullptr;
    int64_t t0 = 0;
};

TEST_F(TimelineViewTest, AGlitchShorterThanAPixelIsOneColumnInItsColourAndAClickSelectsItsRow) {
    const int64_t hour = 3600000, glitch = t0 + hour / 2;
    HistoryEvent connect;
    std::memset(&connect, 0, sizeof connect);
    connect.timeMs = t0;
    connect.kind = EVENT_CONNECT;
    HistoryTakeEvent(window, connect);
    uint8_t name[NAME_PAYLOAD] = {5, 'C', 'A', 'M', ' ', '5', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 'C', 'A', 'M', '5'};
    HistoryTakeEvent(window, Message(t0 + 500, MSG_SOURCE_NAME, name, NAME_PAYLOAD));
    HistoryTakeEvent(window, Me1Source5(t0 + 1000, false));
    HistoryTakeEvent(window, Me1Source5(glitch, true));
    HistoryTakeEvent(window, Me1Source5(glitch + 40, false));
    // Rows enough after it that a list following the newest would not show it.
    for (int i = 1; i <= 200; ++i) HistoryTakeEvent(window, Me1Source5(glitch + 1000 * i, false));
    HistoryTakeEvent(window, Me1Source5(t0 + hour - 1000, false));  // the same record again: no change

    SendMessageA(window, WM_COMMAND, IDM_VIEW_TIMELINE, 0);
    HWND view = TimelineViewFind(window);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(IsWindowVisible(view));
    HMENU menu = GetMenu(window);
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_TIMELINE, MF_BYCOMMAND) & MF_CHECKED, UINT(MF_CHECKED));
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_HISTORY, MF_BYCOMMAND) & MF_CHECKED, 0u) << "one view at a time";
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(window, IDC_HISTORY_LIST)));

    TimelineViewSelectMe(view, 0);
    TimelineViewSetSpan(view, t0, t0 + hour);
    Tick();
    RECT lane;
    ASSERT_TRUE(TimelineViewLaneRect(view, 0, 5, &lane)) << "source 5 was lit on ME 1 in the span";
    const int columns = lane.right - lane.left;
    ASSERT_GT(columns, 400);
    // Worked out here, not asked of the view: the column whose time range holds the glitch.
    const int x = lane.left + static_cast<int>((glitch - t0) * columns / hour);
    const int y = (lane.top + lane.bottom) / 2;
    EXPECT_EQ(At(view, x, y), RED) << "40 ms of program in a " << hour / columns << " ms column";
    EXPECT_EQ(At(view, x - 1, y), GREEN);
    EXPECT_EQ(At(view, x + 1, y), GREEN);
    EXPECT_EQ(At(view, lane.left + 3, y), GREEN) << "preview from the span's start";

    const std::string tip = TimelineViewTipAt(view, x, y);
    EXPECT_NE(tip.find("Source 5 \"CAM 5\": PGM on ME 1"), std::string::npos) << tip;
    EXPECT_NE(tip.find("(40 ms)"), std::string::npos) << tip;
    SaveWindowBitmap(window, ArtifactPath("timeline_view.bmp"));

    // Nothing new: the tick draws nothing. A new change: drawn once.
    const int redraws = TimelineViewRedrawCount(view);
    Tick();
    Tick();
    EXPECT_EQ(TimelineViewRedrawCount(view), redraws);
    HistoryTakeEvent(window, Me1Source5(t0 + hour - 500, true));
    Tick();
    EXPECT_EQ(TimelineViewRedrawCount(view), redraws + 1);
    Tick();
    EXPECT_EQ(TimelineViewRedrawCount(view), redraws + 1);

    // A click on the red column selects the glitch's own event in the history.
    SendMessageA(view, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    SendMessageA(view, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    HWND list = GetDlgItem(window, IDC_HISTORY_LIST);
    const int row = static_cast<int>(SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    ASSERT_GE(row, 0);
    const HistoryBook& book = HistoryTheBook(window);
    const HistoryEvent& picked = HistoryBookEntry(book, HistoryViewSeq(book, static_cast<size_t>(row))).event;
    EXPECT_EQ(picked.timeMs, glitch);
    EXPECT_EQ(picked.type, 0x81);
    EXPECT_EQ(picked.bytes[2 + 3], 0x01) << "the record that put 5 on program";

    SendMessageA(window, WM_COMMAND, IDM_VIEW_HISTORY, 0);
    Pump();
    EXPECT_TRUE(IsWindowVisible(list));
    EXPECT_FALSE(IsWindowVisible(view));
    EXPECT_EQ(SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), row);
    const int top = static_cast<int>(SendMessageA(list, LVM_GETTOPINDEX, 0, 0));
    const int page = static_cast<int>(SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0));
    EXPECT_TRUE(row >= top && row < top + page) << "row " << row << ", top " << top << ", page " << page;
}

TEST_F(TimelineViewTest, ZoomStopsAtItsBoundsPanLeavesNowAndMarkersAndErrorsLandInTheirColumns) {
    HistoryEvent e;
    std::memset(&e, 0, sizeof e);
    e.timeMs = t0;
    e.kind = EVENT_CONNECT;
    HistoryTakeEvent(window, e);
    HistoryTakeEvent(window, Me1Source5(t0 + 1000, true));
    e.timeMs = t0 + 20000;
    e.kind = EVENT_LINE_ERROR;
    e.code = 8;
    HistoryTakeEvent(window, e);
    HistoryTakeEvent(window, Me1Source5(t0 + 50000, false));
    TimelineAddMarker(*TimelineViewIndex(window), t0 + 30000, 1, "flicker ME 1 PGM source 5");

    SendMessageA(window, WM_COMMAND, IDM_VIEW_TIMELINE, 0);
    HWND view = TimelineViewFind(window);
    ASSERT_NE(view, nullptr);
    Tick();
    // Not connected: "now" is the newest event, and the right edge sits at it.
    int64_t a = 0, b = 0;
    TimelineViewGetSpan(view, &a, &b);
    EXPECT_TRUE(TimelineViewFollowing(view));
    EXPECT_GT(b, t0 + 50000);
    EXPECT_LE(b, t0 + 50000 + (b - a) / 100) << "within a column of the newest event";

    for (int i = 0; i < 30; ++i) SendMessageA(view, WM_KEYDOWN, VK_SUBTRACT, 0);
    TimelineViewGetSpan(view, &a, &b);
    EXPECT_EQ(b - a, 24 * 3600 * 1000LL);
    for (int i = 0; i < 40; ++i) SendMessageA(view, WM_KEYDOWN, VK_ADD, 0);
    TimelineViewGetSpan(view, &a, &b);
    EXPECT_EQ(b - a, 100);
    EXPECT_TRUE(TimelineViewFollowing(view)) << "zooming keeps the right edge at now";
    SendMessageA(view, WM_KEYDOWN, VK_LEFT, 0);
    int64_t a2 = 0, b2 = 0;
    TimelineViewGetSpan(view, &a2, &b2);
    EXPECT_FALSE(TimelineViewFollowing(view));
    EXPECT_EQ(b2, b - 100 / 8);
    SendMessageA(view, WM_KEYDOWN, VK_END, 0);
    EXPECT_TRUE(TimelineViewFollowing(view));

    // A minute from the connect: the alarm at 30 s and the line error at 20 s.
    TimelineViewSetSpan(view, t0, t0 + 60000);
    UpdateWindow(view);
    RECT lane;
    ASSERT_TRUE(TimelineViewLaneRect(view, 0, 5, &lane));
    const int columns = lane.right - lane.left;
    const int alarmX = lane.left + static_cast<int>(30000LL * columns / 60000);
    const int errorX = lane.left + static_cast<int>(20000LL * columns / 60000);
    RECT link;
    GetClientRect(view, &link);
    const int linkY = link.bottom - 12;  // inside the link lane, above the view's bottom margin
    EXPECT_EQ(At(view, alarmX, (lane.top + lane.bottom) / 2), RGB(150, 40, 180)) << "the alarm's line crosses the lane";
    EXPECT_EQ(At(view, errorX, linkY), RGB(200, 0, 0)) << "a red tick where the line error was";
    EXPECT_NE(At(view, errorX + 3, linkY), RGB(200, 0, 0));
    EXPECT_NE(TimelineViewTipAt(view, alarmX, lane.top - 30).find("Alarm at "), std::string::npos);
    EXPECT_NE(TimelineViewTipAt(view, errorX, linkY).find("1 line errors"), std::string::npos)
        << TimelineViewTipAt(view, errorX, linkY);

    // One ME: source 5 is lit on ME 1 only.
    TimelineViewSelectMe(view, 1);
    EXPECT_FALSE(TimelineViewLaneRect(view, 0, 5, &lane));
    TimelineViewSelectMe(view, 0);
    EXPECT_TRUE(TimelineViewLaneRect(view, 0, 5, &lane));

    // The wheel zooms around the pointer: the time under it stays under it.
    const int px = lane.left + columns / 4;
    auto timeAt = [&](int x) {
        int64_t s0 = 0, s1 = 0;
        TimelineViewGetSpan(view, &s0, &s1);
        return s0 + (x - lane.left) * (s1 - s0) / columns;
    };
    const int64_t under = timeAt(px);
    POINT screen = {px, lane.top};
    ClientToScreen(view, &screen);
    SendMessageA(view, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), MAKELPARAM(screen.x, screen.y));
    TimelineViewGetSpan(view, &a, &b);
    EXPECT_EQ(b - a, 30000);
    EXPECT_LE(std::llabs(timeAt(px) - under), 30000 / columns + 1);

    // A drag of 100 pixels to the left shows what came 100 columns later,
    // and is no click: the history's selection stays as it was.
    HWND list = GetDlgItem(window, IDC_HISTORY_LIST);
    const LRESULT selected = SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
    SendMessageA(view, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(lane.left + 300, lane.top + 2));
    SendMessageA(view, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(lane.left + 250, lane.top + 2));
    SendMessageA(view, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(lane.left + 200, lane.top + 2));
    SendMessageA(view, WM_LBUTTONUP, 0, MAKELPARAM(lane.left + 200, lane.top + 2));
    TimelineViewGetSpan(view, &a2, &b2);
    EXPECT_EQ(b2 - b, 100 * 30000LL / columns);
    EXPECT_FALSE(TimelineViewFollowing(view));
    EXPECT_EQ(SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), selected);

    // A recording replayed brings older times: restarted, the timeline holds
    // them as they are instead of piling them up at the newest time held.
    TimelineViewRestart(window, HistoryTheBook(window).endSeq);
    const int64_t older = t0 - 7200000;
    HistoryTakeEvent(window, Me1Source5(older, true));
    HistoryTakeEvent(window, Me1Source5(older + 1000, false));
    Tick();
    EXPECT_EQ(TimelineViewIndex(window)->firstMs, older);
    EXPECT_EQ(TimelineViewIndex(window)->lastMs, older + 1000);
    TimelineViewGetSpan(view, &a, &b);
    EXPECT_TRUE(TimelineViewFollowing(view));
    EXPECT_GT(b, older + 1000);
    EXPECT_LT(b, t0);
}

}  // namespace
