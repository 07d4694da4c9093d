// The On Air view in a real main window under Wine: shown from the "View"
// menu in place of the history or the terminal screen, it reflects an ME record and a name fed into the store at the next
// tick (tile colour read back from the screen, the detail line's text), follows
// the ME selector, redraws only on a change, leaves the displays' dirty flags
// alone and keeps its tiles inside the window when it is resized. Leaves a
// screenshot, artifacts/onair_view.bmp, and one of a smaller window,
// onair_view_small.bmp.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "onair/onair_view.h"
#include "resources/resource.h"
#include "tally/store.h"
#include "tests/win/win_artifacts.h"
#include "tests/win/app_test_util.h"

namespace {

void Pump() {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
}

class OnAirViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = OpenMainWindowForTest();
        ASSERT_NE(window, nullptr);
        KillTimer(window, REFRESH_TIMER);  // ticks by hand
    }
    void TearDown() override {
        DestroyWindow(window);
        MSG m;
        while (PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
    void Tick() {
        SendMessageA(window, WM_TIMER, REFRESH_TIMER, 0);
        HWND view = OnAirViewFind(window);
        if (view) UpdateWindow(view);
        Pump();
    }
    // Colour inside a source's tile, off its text: just within the bottom-right corner.
    COLORREF TileColour(int source) {
        HWND view = OnAirViewFind(window);
        RECT r;
        if (!OnAirViewTileRect(view, source, &r)) return CLR_INVALID;
        HDC dc = GetDC(view);
        const COLORREF c = GetPixel(dc, r.right - 6, r.bottom - 6);
        ReleaseDC(view, dc);
        return c;
    }
    std::string Detail() {
        char text[512] = {};
        GetWindowTextA(GetDlgItem(OnAirViewFind(window), IDC_ONAIR_DETAIL), text, sizeof text);
        return text;
    }
    HWND window = nullptr;
};

// The view's tool-tip window: a popup of this thread owned by the main window
// (a child cannot own a popup) whose tools belong to the view.
HWND TooltipOf(HWND view) {
    struct Search {
        HWND owner, found;
    } search = {view, nullptr};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND w, LPARAM p) -> BOOL {
            Search* s = reinterpret_cast<Search*>(p);
            char cls[64] = {};
            GetClassNameA(w, cls, sizeof cls);
            TOOLINFOA tool = {};
            tool.cbSize = TTTOOLINFOA_V2_SIZE;
            if (lstrcmpiA(cls, TOOLTIPS_CLASSA) == 0 &&
                GetWindow(w, GW_OWNER) == GetAncestor(s->owner, GA_ROOT) &&
                SendMessageA(w, TTM_ENUMTOOLSA, 0, reinterpret_cast<LPARAM>(&tool)) && tool.hwnd == s->owner) {
                s->found = w;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The text the view gives its tool tip for the tool under a point.
std::string TipAt(HWND view, POINT p) {
    HWND tip = TooltipOf(view);
    if (!tip) return "(no tool tip window)";
    TTHITTESTINFOA hit = {};
    hit.hwnd = view;
    hit.pt = p;
    hit.ti.cbSize = TTTOOLINFOA_V2_SIZE;
    if (!SendMessageA(tip, TTM_HITTESTA, 0, reinterpret_cast<LPARAM>(&hit))) return "(no tool there)";
    NMTTDISPINFOA info = {};
    info.hdr.hwndFrom = tip;
    info.hdr.idFrom = hit.ti.uId;
    info.hdr.code = TTN_GETDISPINFOA;
    SendMessageA(view, WM_NOTIFY, hit.ti.uId, reinterpret_cast<LPARAM>(&info));
    return info.lpszText ? info.lpszText : "";
}

const COLORREF RED = RGB(210, 24, 24);
const COLORREF GREY = RGB(232, 232, 232);

void FeedMe2Source66OnProgram() {
    uint8_t me[ME_PAYLOAD] = {};
    me[16] = 66;    // A BUS
    me[3] = 0x01;   // PGM A: BusA
    TallyStoreMe(tallyStore, 1, me);
    uint8_t name[NAME_PAYLOAD] = {66, 'C', 'L', 'I', 'P', ' ', '2', 0, 0, 0, 0, 0, 0, 'C', 'L', 'P', '2'};
    TallyStoreName(tallyStore, MSG_SOURCE_NAME, name);
}

TEST_F(OnAirViewTest, ReflectsAFedRecordAtTheNextTick) {
    ASSERT_EQ(OnAirViewFind(window), nullptr) << "nothing is created before it is asked for";
    SendMessageA(window, WM_COMMAND, IDM_VIEW_ONAIR, 0);
    HWND view = OnAirViewFind(window);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(IsWindowVisible(view));
    HMENU menu = GetMenu(window);
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_ONAIR, MF_BYCOMMAND) & MF_CHECKED, UINT(MF_CHECKED));
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_HISTORY, MF_BYCOMMAND) & MF_CHECKED, 0u) << "one view at a time";
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_SCREEN, MF_BYCOMMAND) & MF_CHECKED, 0u);
    // Covers the client area down to the status bar.
    RECT client, viewRect, barRect;
    GetClientRect(window, &client);
    GetWindowRect(view, &viewRect);
    GetWindowRect(GetDlgItem(window, IDC_STATUS_BAR), &barRect);
    EXPECT_EQ(viewRect.right - viewRect.left, client.right);
    EXPECT_EQ(viewRect.bottom, barRect.top);
    Tick();
    RECT r;
    EXPECT_FALSE(OnAirViewTileRect(view, 66, &r)) << "66 is in no record yet";

    tallyStore.meDirty = 0;
    tallyStore.namesDirty = 0;
    FeedMe2Source66OnProgram();
    const int before = OnAirViewRedrawCount(view);
    Tick();
    EXPECT_EQ(OnAirViewRedrawCount(view), before + 1);
    ASSERT_TRUE(OnAirViewTileRect(view, 66, &r));
    EXPECT_EQ(TileColour(66), RED) << "program on ME 2, all MEs shown";
    EXPECT_EQ(tallyStore.meDirty.load(), 1) << "the ME display's flag is not the view's";
    EXPECT_EQ(tallyStore.namesDirty.load(), 1);
    EXPECT_EQ(tallyStore.sourceNames[66].changed.load(), 1);

    // Why it is lit: in the tile's tool tip, and on a click in the detail line.
    const POINT middle = {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    EXPECT_EQ(TipAt(view, middle), "Source 66 \"CLIP 2\" (CLP2): ME 2 PGM A via BusA");
    // Only ME 2 has come: the other records' tiles are the store's starting ones.
    EXPECT_EQ(Detail(),
              "Not received yet: ME 1, 3, 4; outputs 1-48 (as the store starts). "
              "Point at or click a tile to see why it is lit.");
    SendMessageA(view, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(middle.x, middle.y));
    EXPECT_EQ(Detail(), "Source 66 \"CLIP 2\" (CLP2): ME 2 PGM A via BusA");
    RECT r1;
    ASSERT_TRUE(OnAirViewTileRect(view, 1, &r1));
    EXPECT_EQ(TipAt(view, {r1.left + 3, r1.top + 3}),
              "Source 1: ME 1 PGM B via Key1 FILL; ME 1 LAP A via Key1 FILL; ME 1 LAP B via Key1 FILL; "
              "ME 1 PVW A via Key1 FILL; on air on Output 1 V")
        << "the shipped ME 1 record: source 1 on Key1 FILL, bit 4 set in rows 55 and 5A";

    // Only ME 1: 66 is dark there. Back to ME 2 through its button.
    SendMessageA(GetDlgItem(view, IDC_ONAIR_ME1), BM_CLICK, 0, 0);
    Pump();
    UpdateWindow(view);
    EXPECT_EQ(OnAirViewSelectedMe(view), 0);
    EXPECT_EQ(TileColour(66), GREY);
    EXPECT_EQ(Detail(), "Source 66 \"CLIP 2\" (CLP2): not tallied");
    SendMessageA(GetDlgItem(view, IDC_ONAIR_ME2), BM_CLICK, 0, 0);
    Pump();
    UpdateWindow(view);
    EXPECT_EQ(TileColour(66), RED);
    EXPECT_EQ(SendMessageA(GetDlgItem(view, IDC_ONAIR_ME2), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageA(GetDlgItem(view, IDC_ONAIR_ALL), BM_GETCHECK, 0, 0), BST_UNCHECKED);

    SaveWindowBitmap(window, ArtifactPath("onair_view.bmp"));

    // Nothing new: no redraw. The same record again changes nothing shown either.
    const int settled = OnAirViewRedrawCount(view);
    Tick();
    uint8_t same[ME_PAYLOAD] = {};
    same[16] = 66;
    same[3] = 0x01;
    TallyStoreMe(tallyStore, 1, same);
    Tick();
    EXPECT_EQ(OnAirViewRedrawCount(view), settled);
    // Moved to preview (PVW A): green at the next tick.
    same[3] = 0;
    same[19] = 0x01;
    TallyStoreMe(tallyStore, 1, same);
    Tick();
    EXPECT_EQ(OnAirViewRedrawCount(view), settled + 1);
    EXPECT_EQ(TileColour(66), RGB(20, 160, 60));

    // Every source named, then a smaller window: every tile still inside the view.
    for (int source = 1; source <= SOURCE_COUNT; ++source) {
        if (source == 66) continue;
        uint8_t entry[NAME_PAYLOAD] = {static_cast<uint8_t>(source)};
        std::snprintf(reinterpret_cast<char*>(entry + 1), 13, "TIE LINE %d", source);
        std::snprintf(reinterpret_cast<char*>(entry + 13), 7, "TL%d", source);
        TallyStoreName(tallyStore, MSG_SOURCE_NAME, entry);
    }
    // A three-digit source on program on ME 3, all MEs shown: at the default
    // size its letters keep a place (onair_view_names.bmp shows them).
    uint8_t me3[ME_PAYLOAD] = {};
    me3[16] = 120;  // A BUS
    me3[3] = 0x01;  // PGM A: BusA
    TallyStoreMe(tallyStore, 2, me3);
    SendMessageA(GetDlgItem(view, IDC_ONAIR_ALL), BM_CLICK, 0, 0);
    Tick();
    Pump();
    UpdateWindow(view);
    EXPECT_EQ(TileColour(120), RED);
    SaveWindowBitmap(window, ArtifactPath("onair_view_names.bmp"));
    MoveWindow(window, 0, 0, 640, 480, TRUE);
    Pump();
    UpdateWindow(view);
    RECT viewClient;
    GetClientRect(view, &viewClient);
    for (int source = 0; source < 256; ++source) {
        if (!OnAirViewTileRect(view, source, &r)) continue;
        EXPECT_GE(r.left, 0) << source;
        EXPECT_LE(r.right, viewClient.right) << source;
        EXPECT_LE(r.bottom, viewClient.bottom) << source;
        EXPECT_GT(r.right - r.left, 30) << source;
    }
    EXPECT_TRUE(OnAirViewTileRect(view, 128, &r));
    EXPECT_EQ(TileColour(66), RGB(20, 160, 60));
    SaveWindowBitmap(window, ArtifactPath("onair_view_small.bmp"));

    // View -> Terminal Screen takes the client area back; On Air again, then History.
    SendMessageA(window, WM_COMMAND, IDM_VIEW_SCREEN, 0);
    EXPECT_FALSE(IsWindowVisible(view));
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_ONAIR, MF_BYCOMMAND) & MF_CHECKED, 0u);
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_SCREEN, MF_BYCOMMAND) & MF_CHECKED, UINT(MF_CHECKED));
    SendMessageA(window, WM_COMMAND, IDM_VIEW_ONAIR, 0);
    EXPECT_TRUE(IsWindowVisible(view));
    SendMessageA(window, WM_COMMAND, IDM_VIEW_HISTORY, 0);
    EXPECT_FALSE(IsWindowVisible(view));
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(window, IDC_HISTORY_LIST)));
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_HISTORY, MF_BYCOMMAND) & MF_CHECKED, UINT(MF_CHECKED));
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_ONAIR, MF_BYCOMMAND) & MF_CHECKED, 0u);
}

}  // namespace
