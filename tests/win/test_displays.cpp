// The five display dialogs, opened from their real templates by the real main
// window, read back through their controls. The main window's timer is
// stopped so that each refresh tick is taken by the test (MainWindowRefreshTick,
// the code the timer runs); one test runs with the real 500 ms timer.
// Screenshots of every display go to <build>/artifacts/.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "win_artifacts.h"
#include "app/app.h"
#include "displays/framework.h"
#include "displays/rows.h"
#include "resources/resource.h"
#include "tally/store.h"

namespace {

// ---- The user-interface thread ----------------------------------------------
// The main window and every dialog live on their own thread; the test thread
// reads them with cross-thread SendMessageW and runs code there with RunOnUi.

constexpr UINT WM_TEST_RUN = WM_APP + 40;    // lParam: std::function<void()>*
constexpr UINT WM_TEST_FLUSH = WM_APP + 41;  // lParam: event to set

WNDPROC mainProcedure = nullptr;
bool captureResults = false;  // UI thread only
INT_PTR lastResult = -100;    // UI thread only
HANDLE uiThread = nullptr;
HANDLE uiReady = nullptr;

LRESULT CALLBACK TestMainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TEST_RUN) {
        (*reinterpret_cast<std::function<void()>*>(lParam))();
        return 0;
    }
    if (message == WM_TEST_FLUSH) {
        SetEvent(reinterpret_cast<HANDLE>(lParam));
        return 0;
    }
    // To see a dialog's result, open it here instead of in the main window.
    if (message == WM_COMMAND && captureResults && LOWORD(wParam) >= IDM_SHOW_ME && LOWORD(wParam) <= IDM_SHOW_NAMES) {
        lastResult = DisplayOpen(appInstance, window, LOWORD(wParam));
        return 0;
    }
    return CallWindowProcA(mainProcedure, window, message, wParam, lParam);
}

DWORD WINAPI UiThread(void*) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    AppLoadStrings(instance);
    AppRegisterClass(instance);
    AppCreateWindow(instance, SW_SHOWNORMAL);
    KillTimer(appMainWindow, REFRESH_TIMER);
    mainProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(appMainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TestMainProc)));
    SetEvent(uiReady);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

void RunOnUi(std::function<void()> work) {
    SendMessageA(appMainWindow, WM_TEST_RUN, 0, reinterpret_cast<LPARAM>(&work));
}

// Waits until every message posted to the UI thread before this call has been
// handled (posted messages of one thread are handled in order).
void Flush() {
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    PostMessageA(appMainWindow, WM_TEST_FLUSH, 0, reinterpret_cast<LPARAM>(done));
    EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
    CloseHandle(done);
}

ActiveDisplayRecord Active() {
    ActiveDisplayRecord record = {};
    RunOnUi([&] { record = ActiveDisplay; });
    return record;
}

void Tick() {
    RunOnUi([] { MainWindowRefreshTick(appMainWindow); });
    Flush();
}

class UiEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        uiReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        uiThread = CreateThread(nullptr, 0, UiThread, nullptr, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(uiReady, 20000), WAIT_OBJECT_0);
        ASSERT_NE(appMainWindow, nullptr);
    }
    void TearDown() override {
        PostMessageA(appMainWindow, WM_CLOSE, 0, 0);
        WaitForSingleObject(uiThread, 20000);
        CloseHandle(uiThread);
        CloseHandle(uiReady);
    }
};
::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new UiEnvironment);

// ---- Reading controls ---------------------------------------------------------

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
    return out;
}

std::vector<std::string> ListRows(HWND dialog, int list) {
    HWND box = GetDlgItem(dialog, list);
    std::vector<std::string> rows;
    const LRESULT count = SendMessageW(box, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        if (SendMessageW(box, LB_GETTEXTLEN, i, 0) >= 255) return {"<row too long>"};
        SendMessageW(box, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
        rows.push_back(Narrow(text));
    }
    return rows;
}

// The tool-tip window a display made for its counter boxes (owned by it).
HWND CounterTip(HWND dialog) {
    struct Search {
        HWND owner;
        HWND found;
    } search = {dialog, nullptr};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            Search* s = reinterpret_cast<Search*>(p);
            char name[64] = {};
            GetClassNameA(w, name, sizeof name);
            if (lstrcmpiA(name, TOOLTIPS_CLASSA) != 0 || GetWindow(w, GW_OWNER) != s->owner) return TRUE;
            s->found = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string TipText(HWND tip, HWND dialog, int control) {
    char text[256] = {};
    TOOLINFOA info = {};
    info.cbSize = TTTOOLINFOA_V2_SIZE;
    info.hwnd = dialog;
    info.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(dialog, control));
    info.lpszText = text;
    SendMessageA(tip, TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&info));
    return text;
}

std::string FieldText(HWND dialog, int control) {
    wchar_t text[64] = {};
    GetDlgItemTextW(dialog, control, text, 64);
    return Narrow(text);
}

bool Checked(HWND dialog, int control) {
    return SendMessageW(GetDlgItem(dialog, control), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

template <size_t N>
std::vector<std::string> Rows(const DisplayRow (&rows)[N]) {
    return std::vector<std::string>(rows, rows + N);
}

// Opens a display through the main window's menu command and waits until it
// has registered (a different window from before).
HWND Open(int command) {
    const HWND before = Active().window;
    PostMessageA(appMainWindow, WM_COMMAND, MAKEWPARAM(command, 0), 0);
    for (int i = 0; i < 200; ++i) {
        Flush();
        const HWND now = Active().window;
        if (now && now != before) return now;
        Sleep(25);
    }
    ADD_FAILURE() << "display of command " << command << " did not open";
    return nullptr;
}

// Ends the open display with a button and waits until it is gone.
void CloseWith(HWND dialog, int button) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    for (int i = 0; i < 200 && IsWindow(dialog); ++i) {
        Flush();
        Sleep(10);
    }
    EXPECT_FALSE(IsWindow(dialog));
}

void Click(HWND dialog, int button) {
    SendMessageW(GetDlgItem(dialog, button), BM_CLICK, 0, 0);
    Flush();
}

// ---- Screenshots ------------------------------------------------------------

// Copies the dialog's screen rectangle into <build>/artifacts/<name>.bmp.
bool Screenshot(HWND dialog, const char* name) {
    RunOnUi([&] {
        SetForegroundWindow(dialog);
        RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    });
    Sleep(300);
    Flush();
    return SaveWindowBitmap(dialog, ArtifactPath(std::string(name) + ".bmp"));
}

// ---- Expected contents, from the store as it is now ----------------------------

MeDisplayText ExpectedMe(int record) {
    MeTally tally;
    TallyReadMe(tallyStore, record, tally);
    TallyCounterValues counters;
    TallyReadCounters(tallyStore, counters);
    MeDisplayText text;
    MeDisplayFormat(tally, counters, text);
    return text;
}

ExtDisplayText ExpectedExt(int record) {
    ExtTally tally;
    TallyReadExt(tallyStore, record, tally);
    TallyCounterValues counters;
    TallyReadCounters(tallyStore, counters);
    ExtDisplayText text;
    ExtDisplayFormat(tally, counters, text);
    return text;
}

const int ME_IDS[4] = {IDC_ME1, IDC_ME2, IDC_ME3, IDC_ME4};
const int EXT_IDS[8] = {IDC_EXT1, IDC_EXT2, IDC_EXT3, IDC_EXT4, IDC_EXT5, IDC_EXT6, IDC_EXT7, IDC_EXT8};
const int ME_COUNTERS[9] = {1025, 1026, 1027, 1032, 1033, 1034, 1035, 1036, 1037};
const int OUT_COUNTERS[6] = {1027, 1032, 1033, 1034, 1035, 1036};
const int OUT_LIST_IDS[3][3] = {{1022, 1011, 1012}, {1013, 1014, 1015}, {1019, 1020, 1021}};

struct Kind {
    int command;
    int32_t kind;
    int navigation;  // button that opens it
    const char* name;
};
const Kind KINDS[4] = {{IDM_SHOW_ME, DISPLAY_ME, IDC_SHOW_ME, "me"},
                       {IDM_SHOW_EXT, DISPLAY_EXT, IDC_SHOW_EXT, "ext"},
                       {IDM_SHOW_SS, DISPLAY_SS, IDC_SHOW_SS, "ss"},
                       {IDM_SHOW_OUT, DISPLAY_OUT, IDC_SHOW_OUT, "out"}};

class Displays : public ::testing::Test {
protected:
    void SetUp() override {
        RunOnUi([] { TallyStoreInit(tallyStore); });
    }
    void TearDown() override {
        // Nothing may stay open for the next test.
        for (int i = 0; i < 5; ++i) {
            const HWND open = Active().window;
            if (!open) break;
            CloseWith(open, IDCANCEL);
        }
    }
    void SelectMe(HWND dialog, int id) { Click(dialog, id); }
};

// ---- Tests ------------------------------------------------------------------

TEST_F(Displays, MeOpensEmptyAndShowsInitialContentsAfterOneTick) {
    HWND d = Open(IDM_SHOW_ME);
    Click(d, IDC_ME1);
    CloseWith(d, IDOK);
    RunOnUi([] { TallyStoreInit(tallyStore); });
    d = Open(IDM_SHOW_ME);
    EXPECT_EQ(Active().kind, DISPLAY_ME);
    EXPECT_EQ(tallyStore.meDirty.load(), 1);
    EXPECT_TRUE(ListRows(d, IDC_SOURCES_LIST).empty());
    EXPECT_TRUE(ListRows(d, IDC_CONTRIB_LIST).empty());
    EXPECT_TRUE(ListRows(d, IDC_MODE_LIST).empty());
    for (int id : ME_COUNTERS) EXPECT_EQ(FieldText(d, id), "") << id;

    Tick();
    EXPECT_EQ(tallyStore.meDirty.load(), 0);
    const std::vector<std::string> sources = ListRows(d, IDC_SOURCES_LIST);
    ASSERT_EQ(sources.size(), 12u);
    EXPECT_EQ(sources[0], "    1");
    EXPECT_EQ(sources[11], "   12");
    const std::vector<std::string> keyer = ListRows(d, IDC_MODE_LIST);
    ASSERT_EQ(keyer.size(), 1u);
    EXPECT_EQ(keyer[0], "       0         1         0         1         0         1         0         1");
    const std::vector<std::string> contribution = ListRows(d, IDC_CONTRIB_LIST);
    ASSERT_EQ(contribution.size(), 10u);
    EXPECT_EQ(contribution[0], "    1         0         1         0         1         0         1         0");
    const MeDisplayText expected = ExpectedMe(0);
    EXPECT_EQ(sources, Rows(expected.sources));
    EXPECT_EQ(contribution, Rows(expected.contribution));
    for (int id : ME_COUNTERS) EXPECT_EQ(FieldText(d, id), "0") << id;
    EXPECT_TRUE(Screenshot(d, "display_me"));
    // Each of the nine counter boxes says what it counts in a tool tip.
    HWND tip = CounterTip(d);
    ASSERT_NE(tip, nullptr);
    EXPECT_EQ(SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0), 9);
    EXPECT_EQ(TipText(tip, d, IDC_STRAY_COUNT), "Stray bytes (outside any message)");
    EXPECT_EQ(TipText(tip, d, IDC_ME2_COUNT), "ME 2 messages since the last counter reset");
    EXPECT_EQ(TipText(tip, d, IDC_PAYLOAD_COUNT), "Payloads broken by two high bytes");

    // A clean category posts nothing; large counters show unsigned once a
    // redraw happens.
    tallyStore.counters.strayByteCount.store(3000000000u);
    tallyStore.counters.meCount[3].store(0xFFFFFFFFu);
    Tick();
    EXPECT_EQ(FieldText(d, IDC_STRAY_COUNT), "0");
    tallyStore.meDirty.store(1);
    Tick();
    EXPECT_EQ(FieldText(d, IDC_STRAY_COUNT), "3000000000");
    EXPECT_EQ(FieldText(d, IDC_ME4_COUNT), "4294967295");
    CloseWith(d, IDOK);
}

TEST_F(Displays, ExtOpensEmptyAndShowsInitialContentsAfterOneTick) {
    HWND d = Open(IDM_SHOW_EXT);
    Click(d, IDC_EXT1);
    CloseWith(d, IDOK);
    RunOnUi([] { TallyStoreInit(tallyStore); });
    d = Open(IDM_SHOW_EXT);
    EXPECT_EQ(Active().kind, DISPLAY_EXT);
    EXPECT_TRUE(ListRows(d, IDC_SOURCES_LIST).empty());
    EXPECT_TRUE(ListRows(d, IDC_CONTRIB_LIST).empty());
    EXPECT_TRUE(ListRows(d, IDC_MODE_LIST).empty());
    for (int i = 0; i < 8; ++i) EXPECT_EQ(FieldText(d, 1032 + i), "");
    Tick();
    const std::vector<std::string> sources = ListRows(d, IDC_SOURCES_LIST);
    ASSERT_EQ(sources.size(), 14u);
    EXPECT_EQ(sources[13], "   14");
    const std::vector<std::string> contribution = ListRows(d, IDC_CONTRIB_LIST);
    ASSERT_EQ(contribution.size(), 6u);
    EXPECT_EQ(contribution[4], "    1         1         1         1         0         0         0         0");
    EXPECT_EQ(ListRows(d, IDC_MODE_LIST), std::vector<std::string>{"    1         1         0         0"});
    const ExtDisplayText expected = ExpectedExt(0);
    EXPECT_EQ(sources, Rows(expected.sources));
    EXPECT_EQ(contribution, Rows(expected.contribution));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(FieldText(d, 1032 + i), "0");
    EXPECT_TRUE(Screenshot(d, "display_ext"));
    CloseWith(d, IDOK);
}

TEST_F(Displays, StillStoreOpensEmptyAndIsDrawnByOneTick) {
    HWND d = Open(IDM_SHOW_SS);
    EXPECT_EQ(Active().kind, DISPLAY_SS);
    EXPECT_TRUE(ListRows(d, IDC_SOURCES_LIST).empty());
    EXPECT_TRUE(ListRows(d, IDC_MODE_LIST).empty());
    EXPECT_EQ(FieldText(d, IDC_SS_COUNT), "");
    Tick();
    EXPECT_EQ(ListRows(d, IDC_SOURCES_LIST), (std::vector<std::string>{"   18", "   37"}));
    EXPECT_EQ(ListRows(d, IDC_MODE_LIST),
              std::vector<std::string>{"  1           0           1           1           0           1           0"});
    EXPECT_EQ(FieldText(d, IDC_SS_COUNT), "0");
    EXPECT_TRUE(Screenshot(d, "display_ss"));

    const uint8_t payload[SS_PAYLOAD] = {255, 7, 0x80};
    TallyStoreSs(tallyStore, payload);
    Tick();
    EXPECT_EQ(ListRows(d, IDC_SOURCES_LIST), (std::vector<std::string>{"  255", "    7"}));
    EXPECT_EQ(ListRows(d, IDC_MODE_LIST),
              std::vector<std::string>{"  0           0           0           0           0           0           0"});
    EXPECT_EQ(FieldText(d, IDC_SS_COUNT), "1");
    CloseWith(d, IDOK);
}

TEST_F(Displays, OutputOpensEmptyAndRebuildsAll48Outputs) {
    HWND d = Open(IDM_SHOW_OUT);
    EXPECT_EQ(Active().kind, DISPLAY_OUT);
    for (const auto& group : OUT_LIST_IDS)
        for (int list : group) EXPECT_TRUE(ListRows(d, list).empty()) << list;
    for (int id : OUT_COUNTERS) EXPECT_EQ(FieldText(d, id), "") << id;
    HWND tip = CounterTip(d);
    ASSERT_NE(tip, nullptr);
    EXPECT_EQ(SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0), 6);
    EXPECT_EQ(TipText(tip, d, IDC_OUT_COUNT1), "OUT 1 messages (0xB1) since the last counter reset");
    EXPECT_EQ(TipText(tip, d, 1036), "OUT 6 messages (0xB6) since the last counter reset");
    Tick();
    OutputTally tally[OUT_RECORDS];
    for (int r = 0; r < OUT_RECORDS; ++r) TallyReadOut(tallyStore, r, tally[r]);
    TallyCounterValues counters;
    TallyReadCounters(tallyStore, counters);
    static OutDisplayText expected;
    OutDisplayFormat(tally, counters, expected);
    for (int g = 0; g < 3; ++g) {
        EXPECT_EQ(ListRows(d, OUT_LIST_IDS[g][0]), Rows(expected.source[g])) << g;
        EXPECT_EQ(ListRows(d, OUT_LIST_IDS[g][1]), Rows(expected.mode[g])) << g;
        EXPECT_EQ(ListRows(d, OUT_LIST_IDS[g][2]), Rows(expected.onAir[g])) << g;
    }
    EXPECT_EQ(ListRows(d, 1022)[15], "      16");
    EXPECT_EQ(ListRows(d, 1011)[1], "      K");
    EXPECT_EQ(ListRows(d, 1012)[5], "  1");
    EXPECT_EQ(ListRows(d, 1019)[15], "       0");
    for (int id : OUT_COUNTERS) EXPECT_EQ(FieldText(d, id), "0") << id;
    EXPECT_TRUE(Screenshot(d, "display_out"));

    // Only a type 0xB4 message: every list is rebuilt, one counter moves.
    const uint8_t payload[OUT_PAYLOAD] = {200, 0xF0, 201, 0xFF, 202, 203, 204, 205, 206, 207};
    TallyStoreOut(tallyStore, 3, payload);
    Tick();
    const std::vector<std::string> source2 = ListRows(d, 1013);
    ASSERT_EQ(source2.size(), 16u);
    EXPECT_EQ(source2[8], "     200");
    EXPECT_EQ(source2[15], "     207");
    const std::vector<std::string> mode2 = ListRows(d, 1014);
    ASSERT_EQ(mode2.size(), 16u);
    for (int row = 8; row < 16; ++row) EXPECT_EQ(mode2[row], "V") << row;
    EXPECT_EQ(mode2[1], "      K");  // outTally[2] unchanged: data[1] = 0x03
    const std::vector<std::string> onAir2 = ListRows(d, 1015);
    for (int row = 8; row < 16; ++row) EXPECT_EQ(onAir2[row], "  1");
    for (int i = 0; i < 6; ++i) EXPECT_EQ(FieldText(d, OUT_COUNTERS[i]), i == 3 ? "1" : "0") << i;
    EXPECT_EQ(ListRows(d, 1022).size(), 16u);
    CloseWith(d, IDOK);
}

TEST_F(Displays, MeSelectorsShowTheRecordOfTheirCaptionAndAreRemembered) {
    for (int r = 0; r < ME_RECORDS; ++r) {
        uint8_t payload[ME_PAYLOAD];
        for (int i = 0; i < ME_PAYLOAD; ++i) payload[i] = static_cast<uint8_t>(r * 40 + i + 100);
        TallyStoreMe(tallyStore, r, payload);
    }
    HWND d = Open(IDM_SHOW_ME);
    Tick();
    for (int r = 0; r < ME_RECORDS; ++r) {
        Click(d, ME_IDS[r]);
        for (int k = 0; k < ME_RECORDS; ++k) EXPECT_EQ(Checked(d, ME_IDS[k]), k == r) << r << " " << k;
        int selection = 0;
        RunOnUi([&] { selection = meSelection; });
        EXPECT_EQ(selection, ME_IDS[r]);
        const MeDisplayText expected = ExpectedMe(r);
        EXPECT_EQ(ListRows(d, IDC_SOURCES_LIST), Rows(expected.sources)) << r;
        EXPECT_EQ(ListRows(d, IDC_CONTRIB_LIST), Rows(expected.contribution)) << r;
        EXPECT_EQ(ListRows(d, IDC_MODE_LIST), std::vector<std::string>{expected.keyer}) << r;
        EXPECT_EQ(FieldText(d, ME_COUNTERS[r]), "1");
    }
    Click(d, IDC_ME2);
    CloseWith(d, IDCANCEL);
    d = Open(IDM_SHOW_ME);
    for (int k = 0; k < ME_RECORDS; ++k) EXPECT_EQ(Checked(d, ME_IDS[k]), ME_IDS[k] == IDC_ME2) << k;
    Tick();
    EXPECT_EQ(ListRows(d, IDC_SOURCES_LIST), Rows(ExpectedMe(1).sources));
    CloseWith(d, IDOK);
}

TEST_F(Displays, ExtSelectorsShowTheRecordOfTheirCaptionAndAreRemembered) {
    for (int r = 0; r < EXT_RECORDS; ++r) {
        uint8_t payload[EXT_PAYLOAD];
        for (int i = 0; i < EXT_PAYLOAD; ++i) payload[i] = static_cast<uint8_t>(r * 21 + i + 50);
        TallyStoreExt(tallyStore, r, payload);
    }
    HWND d = Open(IDM_SHOW_EXT);
    Tick();
    for (int r = 0; r < EXT_RECORDS; ++r) {
        Click(d, EXT_IDS[r]);
        for (int k = 0; k < EXT_RECORDS; ++k) EXPECT_EQ(Checked(d, EXT_IDS[k]), k == r) << r << " " << k;
        int selection = 0;
        RunOnUi([&] { selection = extSelection; });
        EXPECT_EQ(selection, EXT_IDS[r]);
        const ExtDisplayText expected = ExpectedExt(r);
        EXPECT_EQ(ListRows(d, IDC_SOURCES_LIST), Rows(expected.sources)) << r;
        EXPECT_EQ(ListRows(d, IDC_CONTRIB_LIST), Rows(expected.contribution)) << r;
        EXPECT_EQ(ListRows(d, IDC_MODE_LIST), std::vector<std::string>{expected.inputMode}) << r;
        for (int i = 0; i < 8; ++i) EXPECT_EQ(FieldText(d, 1032 + i), "1");
    }
    Click(d, IDC_EXT4);
    CloseWith(d, IDCANCEL);
    d = Open(IDM_SHOW_EXT);
    for (int k = 0; k < EXT_RECORDS; ++k) EXPECT_EQ(Checked(d, EXT_IDS[k]), EXT_IDS[k] == IDC_EXT4) << k;
    Tick();
    EXPECT_EQ(ListRows(d, IDC_SOURCES_LIST), Rows(ExpectedExt(3).sources));
    CloseWith(d, IDOK);
}

TEST_F(Displays, NavigationFromEveryDisplayToEveryOther) {
    for (const Kind& from : KINDS) {
        for (const Kind& to : KINDS) {
            SCOPED_TRACE(std::string(from.name) + " -> " + to.name);
            HWND old = Open(from.command);
            ASSERT_NE(old, nullptr);
            Tick();
            Click(old, to.navigation);
            // The old display is gone, the new one registered and refreshed.
            HWND now = nullptr;
            for (int i = 0; i < 200; ++i) {
                now = Active().window;
                if (now && now != old) break;
                Flush();
                Sleep(10);
            }
            ASSERT_NE(now, old);
            ASSERT_NE(now, nullptr);
            // Gone before the new one opened: no dialog nested in another,
            // and the main window stays disabled under the new display.
            EXPECT_FALSE(IsWindow(old));
            EXPECT_FALSE(IsWindowEnabled(appMainWindow));
            EXPECT_EQ(Active().kind, to.kind);
            EXPECT_EQ(DisplayDirtyFlag(tallyStore, to.kind)->load(), 1);
            EXPECT_TRUE(ListRows(now, IDC_SOURCES_LIST).empty() && ListRows(now, 1022).empty());
            Tick();
            EXPECT_EQ(DisplayDirtyFlag(tallyStore, to.kind)->load(), 0);
            const size_t rows = to.kind == DISPLAY_OUT ? ListRows(now, 1022).size() : ListRows(now, IDC_SOURCES_LIST).size();
            EXPECT_EQ(rows, to.kind == DISPLAY_ME ? 12u : to.kind == DISPLAY_EXT ? 14u : to.kind == DISPLAY_SS ? 2u : 16u);
            CloseWith(now, IDOK);
            EXPECT_EQ(Active().window, nullptr);
            EXPECT_EQ(Active().kind, to.kind);
        }
    }
}

TEST_F(Displays, OkCancelAndCloseBoxEndEveryDisplayWithTheirResult) {
    RunOnUi([] { captureResults = true; });
    const int commands[5] = {IDM_SHOW_ME, IDM_SHOW_EXT, IDM_SHOW_SS, IDM_SHOW_OUT, IDM_SHOW_NAMES};
    const int32_t kinds[5] = {DISPLAY_ME, DISPLAY_EXT, DISPLAY_SS, DISPLAY_OUT, DISPLAY_NAMES};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(commands[i]);
        INT_PTR result = 0;
        // OK, even with a notification code attached.
        HWND d = Open(commands[i]);
        PostMessageA(d, WM_COMMAND, MAKEWPARAM(IDOK, 1), 0);
        Flush();
        Flush();
        RunOnUi([&] { result = lastResult; });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(Active().window, nullptr);
        EXPECT_EQ(Active().kind, kinds[i]);

        d = Open(commands[i]);
        CloseWith(d, IDCANCEL);
        RunOnUi([&] { result = lastResult; });
        EXPECT_EQ(result, 2);
        EXPECT_EQ(Active().window, nullptr);

        d = Open(commands[i]);
        PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0);
        for (int k = 0; k < 100 && IsWindow(d); ++k) Flush();
        EXPECT_FALSE(IsWindow(d));
        RunOnUi([&] { result = lastResult; });
        EXPECT_EQ(result, 2);
        EXPECT_EQ(Active().window, nullptr);
        EXPECT_EQ(Active().kind, kinds[i]);
    }
    RunOnUi([] { captureResults = false; });
}

TEST_F(Displays, NotificationsOtherThanClicksAreIgnored) {
    HWND d = Open(IDM_SHOW_ME);
    Click(d, IDC_ME1);
    Tick();
    const int ignoredCodes[2] = {BN_DOUBLECLICKED, BN_SETFOCUS};
    for (int code : ignoredCodes) {
        for (int nav : {IDC_SHOW_ME, IDC_SHOW_EXT, IDC_SHOW_SS, IDC_SHOW_OUT}) {
            SendMessageA(d, WM_COMMAND, MAKEWPARAM(nav, code), reinterpret_cast<LPARAM>(GetDlgItem(d, nav)));
            Flush();
            EXPECT_EQ(Active().window, d);
            EXPECT_TRUE(IsWindow(d));
        }
        SendMessageA(d, WM_COMMAND, MAKEWPARAM(IDC_ME3, code), reinterpret_cast<LPARAM>(GetDlgItem(d, IDC_ME3)));
        Flush();
        EXPECT_TRUE(Checked(d, IDC_ME1));
        EXPECT_FALSE(Checked(d, IDC_ME3));
        int selection = 0;
        RunOnUi([&] { selection = meSelection; });
        EXPECT_EQ(selection, IDC_ME1);
        EXPECT_EQ(ListRows(d, IDC_SOURCES_LIST), Rows(ExpectedMe(0).sources));
    }
    CloseWith(d, IDOK);

    // "Update" with a notification code does not touch the names list.
    d = Open(IDM_SHOW_NAMES);
    uint8_t payload[NAME_PAYLOAD] = {3, 'C', 'A', 'M', ' ', '3'};
    TallyStoreName(tallyStore, MSG_SOURCE_NAME, payload);
    SendMessageA(d, WM_COMMAND, MAKEWPARAM(IDC_NAMES_UPDATE, BN_SETFOCUS), 0);
    Flush();
    EXPECT_EQ(ListRows(d, IDC_NAMES_LIST)[2], "       3" + std::string(60, ' '));
    EXPECT_EQ(tallyStore.sourceNames[3].changed.load(), 1);
    CloseWith(d, IDOK);
}

// Marks every row of the names list so that a replaced row can be told apart.
void MarkRows(HWND dialog) {
    HWND box = GetDlgItem(dialog, IDC_NAMES_LIST);
    for (int i = 0; i < SOURCE_COUNT; ++i) SendMessageW(box, LB_SETITEMDATA, i, 1000 + i);
}
// Rows whose mark is gone (replaced since MarkRows).
std::vector<int> ReplacedRows(HWND dialog) {
    HWND box = GetDlgItem(dialog, IDC_NAMES_LIST);
    std::vector<int> replaced;
    for (int i = 0; i < SOURCE_COUNT; ++i)
        if (SendMessageW(box, LB_GETITEMDATA, i, 0) != 1000 + i) replaced.push_back(i);
    return replaced;
}

void StoreName(int source, const char* name, const char* nickname) {
    uint8_t payload[NAME_PAYLOAD] = {};
    payload[0] = static_cast<uint8_t>(source);
    std::memcpy(payload + 1, name, std::strlen(name));
    std::memcpy(payload + 1 + NAME_LENGTH, nickname, std::strlen(nickname));
    TallyStoreName(tallyStore, MSG_SOURCE_NAME, payload);
}

TEST_F(Displays, NamesDrawInFullOnOpeningAndReplaceOnlyChangedRows) {
    HWND d = Open(IDM_SHOW_NAMES);
    EXPECT_EQ(Active().kind, DISPLAY_NAMES);
    std::vector<std::string> rows = ListRows(d, IDC_NAMES_LIST);
    ASSERT_EQ(rows.size(), 128u);
    for (int i = 0; i < 128; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%8d", i + 1);
        EXPECT_EQ(rows[i], std::string(number) + std::string(60, ' ')) << i;
    }
    EXPECT_EQ(tallyStore.namesDirty.load(), 1);
    MarkRows(d);
    Tick();  // nothing flagged: the first pass replaces nothing
    EXPECT_EQ(tallyStore.namesDirty.load(), 0);
    EXPECT_TRUE(ReplacedRows(d).empty());

    // Timer-driven pass: only row index 6 is replaced.
    StoreName(7, "ABCDEFGHIJKL", "NICK07");
    EXPECT_EQ(tallyStore.namesDirty.load(), 1);
    Tick();
    EXPECT_EQ(ReplacedRows(d), std::vector<int>{6});
    rows = ListRows(d, IDC_NAMES_LIST);
    EXPECT_EQ(rows[6], "       7        ABCDEFGHIJKL              NICK07" + std::string(20, ' '));
    EXPECT_EQ(rows.size(), 128u);
    EXPECT_EQ(tallyStore.sourceNames[7].changed.load(), 0);
    EXPECT_EQ(tallyStore.namesDirty.load(), 0);
    EXPECT_TRUE(Screenshot(d, "display_names"));

    // "Update" at once, without touching namesDirty.
    MarkRows(d);
    StoreName(128, "LAST", "L");
    tallyStore.namesDirty.store(0);  // as if the tick had not come yet
    tallyStore.namesDirty.store(1);
    Click(d, IDC_NAMES_UPDATE);
    EXPECT_EQ(ReplacedRows(d), std::vector<int>{127});
    EXPECT_EQ(ListRows(d, IDC_NAMES_LIST)[127], "     128                LAST                   L" + std::string(20, ' '));
    EXPECT_EQ(tallyStore.sourceNames[128].changed.load(), 0);
    EXPECT_EQ(tallyStore.namesDirty.load(), 1);

    // "Update" with nothing flagged leaves the list exactly as it was.
    MarkRows(d);
    const std::vector<std::string> before = ListRows(d, IDC_NAMES_LIST);
    Click(d, IDC_NAMES_UPDATE);
    EXPECT_TRUE(ReplacedRows(d).empty());
    EXPECT_EQ(ListRows(d, IDC_NAMES_LIST), before);
    EXPECT_EQ(tallyStore.namesDirty.load(), 1);
    CloseWith(d, IDOK);

    // Reopening draws every row from the current table, flagged or not.
    StoreName(1, "FIRST", "F1");
    d = Open(IDM_SHOW_NAMES);
    rows = ListRows(d, IDC_NAMES_LIST);
    ASSERT_EQ(rows.size(), 128u);
    EXPECT_EQ(rows[0], "       1               FIRST                  F1" + std::string(20, ' '));
    EXPECT_EQ(rows[6], "       7        ABCDEFGHIJKL              NICK07" + std::string(20, ' '));
    EXPECT_EQ(tallyStore.sourceNames[1].changed.load(), 1);  // left for the first pass
    Tick();
    EXPECT_EQ(tallyStore.sourceNames[1].changed.load(), 0);
    EXPECT_EQ(ListRows(d, IDC_NAMES_LIST), rows);
    CloseWith(d, IDOK);
}

// ---- Templates --------------------------------------------------------------
// What each template must carry, read from the open dialogs: control kinds and
// styles, captions, left-to-right orders, list item heights, and row captions
// level with the list rows they explain.

struct Child {
    HWND window;
    int id;
    std::string className;
    std::string text;
    LONG style;
    LONG exStyle;
    RECT rect;  // screen coordinates
};

std::vector<Child> Children(HWND dialog) {
    std::vector<Child> children;
    for (HWND w = GetWindow(dialog, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
        Child c;
        c.window = w;
        c.id = GetDlgCtrlID(w);
        wchar_t buffer[256] = {};
        GetClassNameW(w, buffer, 256);
        c.className = Narrow(buffer);
        buffer[0] = 0;
        GetWindowTextW(w, buffer, 256);
        c.text = Narrow(buffer);
        c.style = GetWindowLongW(w, GWL_STYLE);
        c.exStyle = GetWindowLongW(w, GWL_EXSTYLE);
        GetWindowRect(w, &c.rect);
        children.push_back(c);
    }
    return children;
}

bool SameClass(const std::string& a, const char* b) { return _stricmp(a.c_str(), b) == 0; }

const Child* ById(const std::vector<Child>& children, int id) {
    for (const Child& c : children)
        if (c.id == id) return &c;
    return nullptr;
}

const Child* StaticText(const std::vector<Child>& children, const std::string& text) {
    for (const Child& c : children)
        if (SameClass(c.className, "Static") && c.text == text) return &c;
    return nullptr;
}

// The dialog frame, OK and Cancel, and (displays 131-134) the navigation row.
void ExpectFrame(HWND dialog, const std::vector<Child>& children, const char* caption, bool navigation) {
    wchar_t title[128] = {};
    GetWindowTextW(dialog, title, 128);
    EXPECT_EQ(Narrow(title), caption);
    const LONG style = GetWindowLongW(dialog, GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    const Child* ok = ById(children, IDOK);
    const Child* cancel = ById(children, IDCANCEL);
    ASSERT_TRUE(ok && cancel);
    EXPECT_EQ(ok->text, "OK");
    EXPECT_EQ(ok->style & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_EQ(cancel->text, "Cancel");
    EXPECT_EQ(cancel->style & BS_TYPEMASK, BS_PUSHBUTTON);
    RECT client;
    GetClientRect(dialog, &client);
    POINT corner = {client.right, client.bottom};
    ClientToScreen(dialog, &corner);
    // Cancel bottom left, OK bottom right.
    EXPECT_GT(ok->rect.left, cancel->rect.right);
    EXPECT_LT(corner.y - ok->rect.bottom, 20);
    EXPECT_LT(corner.y - cancel->rect.bottom, 20);
    EXPECT_LT(corner.x - ok->rect.right, 20);
    const int navIds[4] = {IDC_SHOW_ME, IDC_SHOW_EXT, IDC_SHOW_SS, IDC_SHOW_OUT};
    const char* navTexts[4] = {"Show ME", "Show EXT", "Show SS", "Show OUT"};
    if (navigation) {
        LONG left = cancel->rect.right;
        for (int i = 0; i < 4; ++i) {
            const Child* b = ById(children, navIds[i]);
            ASSERT_TRUE(b) << navIds[i];
            EXPECT_EQ(b->text, navTexts[i]);
            EXPECT_EQ(b->style & BS_TYPEMASK, BS_PUSHBUTTON) << navIds[i];
            EXPECT_GT(b->rect.left, left) << navIds[i];  // one row, left to right
            EXPECT_EQ(b->rect.top, ok->rect.top) << navIds[i];
            left = b->rect.right;
        }
        EXPECT_LT(left, ok->rect.left);
    } else {
        for (int id : {IDC_SHOW_EXT, IDC_SHOW_SS, IDC_SHOW_OUT}) EXPECT_EQ(ById(children, id), nullptr) << id;
    }
}

// A data list: bordered, unsorted, no integral height, the given alignment,
// and (when given) its item height in pixels.
void ExpectList(HWND dialog, const std::vector<Child>& children, int id, bool rightAligned, int itemHeight) {
    SCOPED_TRACE(id);
    const Child* list = ById(children, id);
    ASSERT_TRUE(list);
    EXPECT_TRUE(SameClass(list->className, "ListBox")) << list->className;
    // The platform draws a template's WS_BORDER on a list as a client edge.
    EXPECT_TRUE((list->style & WS_BORDER) || (list->exStyle & WS_EX_CLIENTEDGE));
    EXPECT_TRUE(list->style & LBS_NOINTEGRALHEIGHT);
    EXPECT_FALSE(list->style & LBS_SORT);
    EXPECT_EQ((list->exStyle & WS_EX_RIGHT) != 0, rightAligned);
    if (itemHeight) {
        EXPECT_EQ(SendMessageW(GetDlgItem(dialog, id), LB_GETITEMHEIGHT, 0, 0), itemHeight);
    }
}

// A counter: read-only, centred, numbers-only edit field.
void ExpectCounter(const std::vector<Child>& children, int id) {
    const Child* edit = ById(children, id);
    ASSERT_TRUE(edit) << id;
    EXPECT_TRUE(SameClass(edit->className, "Edit")) << id;
    EXPECT_EQ(edit->style & (ES_READONLY | ES_CENTER | ES_NUMBER), ES_READONLY | ES_CENTER | ES_NUMBER) << id;
}

// Selector buttons: push-like radio buttons that are not automatic, each its
// own group, with their captions, left to right in the given order.
void ExpectSelectors(const std::vector<Child>& children, const int* ids, const char* const* captions, int count) {
    LONG left = LONG_MIN;
    for (int i = 0; i < count; ++i) {
        const Child* b = ById(children, ids[i]);
        ASSERT_TRUE(b) << ids[i];
        EXPECT_EQ(b->text, captions[i]);
        EXPECT_EQ(b->style & BS_TYPEMASK, BS_RADIOBUTTON) << ids[i];
        EXPECT_TRUE(b->style & BS_PUSHLIKE) << ids[i];
        EXPECT_TRUE(b->style & WS_GROUP) << ids[i];
        EXPECT_GT(b->rect.left, left) << ids[i];
        left = b->rect.left;
    }
}

// Each counter sits under the selector button of its record.
void ExpectUnder(const std::vector<Child>& children, const int* buttons, const int* counters, int count) {
    for (int i = 0; i < count; ++i) {
        const Child* b = ById(children, buttons[i]);
        const Child* c = ById(children, counters[i]);
        ASSERT_TRUE(b && c) << i;
        const LONG middle = (c->rect.left + c->rect.right) / 2;
        EXPECT_TRUE(middle > b->rect.left && middle < b->rect.right) << counters[i];
        EXPECT_GE(c->rect.top, b->rect.bottom) << counters[i];
    }
}

// Row captions: static texts, one per list row, each level with its row and on
// the given side of the list. The list must hold its rows.
void ExpectRowCaptions(HWND dialog, const std::vector<Child>& children, int list,
                       const std::vector<std::string>& captions, bool onLeft) {
    SCOPED_TRACE(list);
    HWND box = GetDlgItem(dialog, list);
    ASSERT_EQ(SendMessageW(box, LB_GETCOUNT, 0, 0), static_cast<LRESULT>(captions.size()));
    const Child* listChild = ById(children, list);
    ASSERT_TRUE(listChild);
    for (size_t i = 0; i < captions.size(); ++i) {
        const Child* label = StaticText(children, captions[i]);
        ASSERT_TRUE(label) << captions[i];
        RECT item = {};
        SendMessageW(box, LB_GETITEMRECT, i, reinterpret_cast<LPARAM>(&item));
        MapWindowPoints(box, nullptr, reinterpret_cast<POINT*>(&item), 2);
        const LONG middle = (label->rect.top + label->rect.bottom) / 2;
        EXPECT_TRUE(middle >= item.top && middle < item.bottom)
            << captions[i] << ": label middle " << middle << ", row " << item.top << "-" << item.bottom;
        if (onLeft) {
            EXPECT_LE(label->rect.right, listChild->rect.left) << captions[i];
        } else {
            EXPECT_GE(label->rect.left, listChild->rect.right) << captions[i];
        }
    }
}

void ExpectStatics(const std::vector<Child>& children, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) EXPECT_TRUE(StaticText(children, text)) << '"' << text << '"';
}

std::vector<std::string> Numbered(const char* prefix, int first, int last) {
    std::vector<std::string> out;
    for (int n = first; n <= last; ++n) out.push_back(prefix + std::to_string(n));
    return out;
}

TEST_F(Displays, MeAndExtTemplatesCarryTheirControls) {
    HWND d = Open(IDM_SHOW_ME);
    Tick();
    std::vector<Child> c = Children(d);
    ExpectFrame(d, c, "Display ME Contribution Information", true);
    ExpectList(d, c, IDC_SOURCES_LIST, true, 22);
    ExpectList(d, c, IDC_CONTRIB_LIST, false, 20);
    ExpectList(d, c, IDC_MODE_LIST, false, 0);
    const char* meCaptions[4] = {"ME 1", "ME 2", "ME 3", "ME 4"};
    ExpectSelectors(c, ME_IDS, meCaptions, 4);
    ExpectUnder(c, ME_IDS, ME_COUNTERS, 4);
    for (int id : ME_COUNTERS) ExpectCounter(c, id);
    // The error counters: a column at the left, top to bottom.
    for (int i = 5; i < 9; ++i) {
        const Child* above = ById(c, ME_COUNTERS[i - 1]);
        const Child* below = ById(c, ME_COUNTERS[i]);
        ASSERT_TRUE(above && below);
        EXPECT_EQ(below->rect.left, above->rect.left);
        EXPECT_GE(below->rect.top, above->rect.bottom);
        EXPECT_LT(below->rect.right, ById(c, IDC_CONTRIB_LIST)->rect.left);
    }
    ExpectRowCaptions(d, c, IDC_SOURCES_LIST,
                      {"Key1 FILL", "Key1 CUT", "Key2 FILL", "Key2 CUT", "Key3 FILL", "Key3 CUT", "Key4 FILL",
                       "Key4 CUT", "A BUS", "B BUS", "UTIL 1", "UTIL 2"},
                      true);
    ExpectRowCaptions(d, c, IDC_CONTRIB_LIST,
                      {"PGM A", "PGM B", "PGM C", "PGM D", "LAP A", "LAP B", "LAP C", "LAP D", "PVW A", "PVW 2"},
                      false);
    ExpectStatics(c, {"SOURCES", "CONTRIBUTION", "KEYER IN USE",
                      "Key4  Key3  Key2  Key1   Util2   Util1   BusB   BusA",
                      "    Key4            Key3             Key2             Key1",
                      "CUT  FILL     CUT  FILL     CUT  FILL     CUT  FILL"});
    CloseWith(d, IDOK);

    d = Open(IDM_SHOW_EXT);
    Tick();
    c = Children(d);
    ExpectFrame(d, c, "Display External Contribution Information", true);
    ExpectList(d, c, IDC_SOURCES_LIST, true, 21);
    ExpectList(d, c, IDC_CONTRIB_LIST, false, 22);
    ExpectList(d, c, IDC_MODE_LIST, false, 0);
    const char* extCaptions[8] = {"EXT 1", "EXT 2", "EXT 3", "EXT 4", "EXT 5", "EXT 6", "EXT 7", "EXT 8"};
    ExpectSelectors(c, EXT_IDS, extCaptions, 8);
    const int extCounters[8] = {1032, 1033, 1034, 1035, 1036, 1037, 1038, 1039};
    ExpectUnder(c, EXT_IDS, extCounters, 8);
    for (int id : extCounters) ExpectCounter(c, id);
    std::vector<std::string> sourceRows = Numbered("Output ", 1, 6);
    for (const char* input : {"1A", "1B", "2A", "2B", "3A", "3B", "4A", "4B"})
        sourceRows.push_back(std::string("Input ") + input);
    ExpectRowCaptions(d, c, IDC_SOURCES_LIST, sourceRows, true);
    // "Output n" names both a source row and a contribution row: check the
    // contribution captions by position only (left of the list, level with a row).
    HWND contribution = GetDlgItem(d, IDC_CONTRIB_LIST);
    const Child* contributionChild = ById(c, IDC_CONTRIB_LIST);
    for (int i = 0; i < 6; ++i) {
        RECT item = {};
        SendMessageW(contribution, LB_GETITEMRECT, i, reinterpret_cast<LPARAM>(&item));
        MapWindowPoints(contribution, nullptr, reinterpret_cast<POINT*>(&item), 2);
        bool found = false;
        for (const Child& label : c) {
            if (!SameClass(label.className, "Static") || label.text != "Output " + std::to_string(i + 1)) continue;
            const LONG middle = (label.rect.top + label.rect.bottom) / 2;
            found = found || (middle >= item.top && middle < item.bottom && label.rect.right <= contributionChild->rect.left &&
                              label.rect.left > ById(c, IDC_SOURCES_LIST)->rect.right);
        }
        EXPECT_TRUE(found) << "contribution row " << i + 1;
    }
    ExpectStatics(c, {"SOURCES", "CONTRIBUTION", "INPUT MODE",
                      "In4B   In4A    In3B   In3A    In2B    In2A    In1B  In1A ", "Input  Input  Input  Input",
                      "4B       3B       2B        1B"});
    CloseWith(d, IDOK);
}

TEST_F(Displays, StillStoreOutputAndNamesTemplatesCarryTheirControls) {
    HWND d = Open(IDM_SHOW_SS);
    Tick();
    std::vector<Child> c = Children(d);
    ExpectFrame(d, c, "Display Still Store Contribution Information", true);
    ExpectList(d, c, IDC_SOURCES_LIST, true, 24);
    ExpectList(d, c, IDC_MODE_LIST, false, 0);
    for (int id : {IDC_SOURCES_LIST, IDC_MODE_LIST}) EXPECT_FALSE(ById(c, id)->style & WS_VSCROLL) << id;
    ExpectCounter(c, IDC_SS_COUNT);
    ExpectRowCaptions(d, c, IDC_SOURCES_LIST, {"Input 1", "Input 2"}, true);
    ExpectStatics(c, {"SOURCES", "MODE", "Output   Output   Output   Output   Input   Input2   Input1",
                      "7/8          5/6         3/4         1/2      Mode   Rec    Rec"});
    // The mode list is one row high.
    RECT item = {}, inside = {};
    SendMessageW(GetDlgItem(d, IDC_MODE_LIST), LB_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&item));
    GetClientRect(GetDlgItem(d, IDC_MODE_LIST), &inside);
    EXPECT_GE(inside.bottom, item.bottom);
    EXPECT_LT(inside.bottom, 2 * (item.bottom - item.top));
    CloseWith(d, IDOK);

    d = Open(IDM_SHOW_OUT);
    Tick();
    c = Children(d);
    ExpectFrame(d, c, "Display Output Contribution Information", true);
    for (int g = 0; g < 3; ++g) {
        for (int list : OUT_LIST_IDS[g]) {
            ExpectList(d, c, list, true, 18);
            EXPECT_FALSE(ById(c, list)->style & WS_VSCROLL) << list;
        }
        ExpectRowCaptions(d, c, OUT_LIST_IDS[g][0], Numbered("Output ", 16 * g + 1, 16 * g + 16), true);
    }
    for (int id : OUT_COUNTERS) ExpectCounter(c, id);
    const char* groupCaptions[3] = {"Output    Source    Mode    OnAir", "  Output        Source    Mode    OnAir",
                                    " Output        Source    Mode    OnAir"};
    for (int g = 0; g < 3; ++g) {
        const Child* caption = StaticText(c, groupCaptions[g]);
        ASSERT_TRUE(caption) << g;
        EXPECT_TRUE(caption->style & SS_SUNKEN) << g;
        const Child* source = ById(c, OUT_LIST_IDS[g][0]);
        EXPECT_LE(caption->rect.bottom, source->rect.top) << g;
        EXPECT_LT(caption->rect.left, source->rect.left) << g;
        EXPECT_GT(caption->rect.right, ById(c, OUT_LIST_IDS[g][2])->rect.left) << g;
    }
    CloseWith(d, IDOK);

    d = Open(IDM_SHOW_NAMES);
    c = Children(d);
    ExpectFrame(d, c, "Display the Source Names", false);
    const Child* update = ById(c, IDC_NAMES_UPDATE);
    ASSERT_TRUE(update);
    EXPECT_EQ(update->text, "Update");
    EXPECT_EQ(update->style & BS_TYPEMASK, BS_PUSHBUTTON);
    ExpectList(d, c, IDC_NAMES_LIST, false, 20);
    const LONG namesStyle = ById(c, IDC_NAMES_LIST)->style;
    EXPECT_EQ(namesStyle & (WS_VSCROLL | LBS_NOSEL | LBS_USETABSTOPS), WS_VSCROLL | LBS_NOSEL | LBS_USETABSTOPS);
    const Child* heading =
        StaticText(c, "Source #     NAME                            NICKNAME                                          ALIAS");
    ASSERT_TRUE(heading);
    EXPECT_EQ(heading->style & SS_TYPEMASK, SS_LEFT);
    EXPECT_TRUE(heading->style & SS_SUNKEN);
    EXPECT_TRUE((heading->style & WS_BORDER) || (heading->exStyle & WS_EX_CLIENTEDGE));
    EXPECT_LE(heading->rect.bottom, ById(c, IDC_NAMES_LIST)->rect.top);
    CloseWith(d, IDOK);
}

TEST_F(Displays, ShowExtInTheExtDisplayReopensOnTheRememberedRecord) {
    HWND d = Open(IDM_SHOW_EXT);
    Click(d, IDC_EXT7);
    Click(d, IDC_SHOW_EXT);
    HWND now = nullptr;
    for (int i = 0; i < 200; ++i) {
        now = Active().window;
        if (now && now != d) break;
        Flush();
        Sleep(10);
    }
    ASSERT_TRUE(now && now != d);
    for (int k = 0; k < EXT_RECORDS; ++k) EXPECT_EQ(Checked(now, EXT_IDS[k]), EXT_IDS[k] == IDC_EXT7) << k;
    Tick();
    EXPECT_EQ(ListRows(now, IDC_CONTRIB_LIST), Rows(ExpectedExt(6).contribution));
    CloseWith(now, IDOK);
}

TEST_F(Displays, MeSelectorClickRefreshesErrorCountersOfACleanCategory) {
    HWND d = Open(IDM_SHOW_ME);
    Click(d, IDC_ME1);
    Tick();
    tallyStore.counters.headerMismatchCount.store(41);
    tallyStore.counters.unknownTypeCount.store(0x80000000u);
    Tick();  // meDirty is clear: nothing is redrawn
    EXPECT_EQ(FieldText(d, IDC_MISMATCH_COUNT), "0");
    Click(d, IDC_ME3);
    EXPECT_EQ(FieldText(d, IDC_MISMATCH_COUNT), "41");
    EXPECT_EQ(FieldText(d, IDC_UNKNOWN_COUNT), "2147483648");
    EXPECT_EQ(ListRows(d, IDC_SOURCES_LIST), Rows(ExpectedMe(2).sources));
    Click(d, IDC_ME1);
    CloseWith(d, IDOK);
}

TEST_F(Displays, RealTimerDrawsAnOpenDisplayWithoutHelp) {
    RunOnUi([] { SetTimer(appMainWindow, REFRESH_TIMER, REFRESH_PERIOD_MS, nullptr); });
    HWND d = Open(IDM_SHOW_OUT);
    bool drawn = false;
    for (int i = 0; i < 100 && !drawn; ++i) {  // up to ~5 s on a loaded machine
        Sleep(50);
        drawn = ListRows(d, 1022).size() == 16u;
    }
    RunOnUi([] { KillTimer(appMainWindow, REFRESH_TIMER); });
    EXPECT_TRUE(drawn);
    EXPECT_EQ(tallyStore.outDirty.load(), 0);
    CloseWith(d, IDOK);
}

}  // namespace
