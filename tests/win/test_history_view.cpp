// The history in the main window, in-process under Wine: events fed where the
// port's bytes enter come back as list rows (read through the list itself),
// the list follows the newest row until scrolled away, filters, Ctrl+C, the
// View menu, line errors from the port layer, and the log file (append, one
// header, the unwritable path). Leaves artifacts/history_view.bmp.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/session.h"
#include "app/watch_app.h"
#include "config/config_values.h"
#include "history/history.h"
#include "history/history_internal.h"
#include "history/source.h"
#include "resources/resource.h"
#include "serial/port.h"
#include "tally/store.h"
#include "watch/watch.h"
#include "win_artifacts.h"
#include "tests/memory_config.h"
#include "tests/win/app_test_util.h"

namespace {

HINSTANCE Instance() { return GetModuleHandleA(nullptr); }

std::string boxText;
int CaptureBox(HWND, const char* text, const char*, UINT) {
    boxText = text;
    return IDOK;
}

DWORD fakeErrors = 0;
BOOL WINAPI FakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    *errors = fakeErrors;
    ZeroMemory(status, sizeof *status);
    return TRUE;
}

using Bytes = std::vector<uint8_t>;
Bytes Message(uint8_t type, int length, uint8_t value) {
    Bytes m = {type, type};
    m.insert(m.end(), static_cast<size_t>(length), value);
    return m;
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class HistoryViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = OpenMainWindowForTest();
        ASSERT_NE(window, nullptr);
        list = GetDlgItem(window, IDC_HISTORY_LIST);
        ASSERT_NE(list, nullptr);
        KillTimer(window, HISTORY_TIMER);  // ticks by hand
        KillTimer(window, REFRESH_TIMER);
        // The rows counted here are the history's own; the watch's alarm rows
        // have their tests (test_app_watch).
        WatchConfig quiet;
        for (bool& on : quiet.on) on = false;
        WatchAppApplyRules(window, quiet);
        savedBox = historyMessageBox;
        historyMessageBox = CaptureBox;
        boxText.clear();
        Command(IDM_HISTORY_SHOW_ALL);
        Command(IDM_HISTORY_CLEAR);
        HistoryShadowInit(HistoryTheBook(window).shadow);  // every test starts with no previous records
        source.reset(new EventSource);
        EventSourceInit(*source, &tallyStore, MainWindowFrom(window)->ring);
    }
    void TearDown() override {
        ConfigSetActive(nullptr);
        DestroyWindow(window);
        MSG m;
        while (PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        historyMessageBox = savedBox;
        portSeams.clearCommError = ClearCommError;
    }
    void Command(int id) { SendMessageA(window, WM_COMMAND, id, 0); }
    // Closes the main window and opens it again, as a new start would.
    void Reopen() {
        DestroyWindow(window);
        MSG m;
        while (PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        ASSERT_EQ(AppCreateWindow(Instance(), SW_SHOWNORMAL), 1);
        window = appMainWindow;
        list = GetDlgItem(window, IDC_HISTORY_LIST);
        KillTimer(window, HISTORY_TIMER);
        KillTimer(window, REFRESH_TIMER);
    }
    bool Checked(int id) { return (GetMenuState(GetMenu(window), id, MF_BYCOMMAND) & MF_CHECKED) != 0; }
    void Tick() { SendMessageA(window, WM_TIMER, HISTORY_TIMER, 0); }
    // Bytes as the receiver hands them over, then one tick of the window.
    void Feed(const Bytes& bytes, int64_t timeMs = 1765202602117) {
        EventSourceFeed(*source, bytes.data(), bytes.size(), timeMs);
        Tick();
    }
    int Rows() { return static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0)); }
    std::string Cell(int row, int column) {
        char text[512] = {};
        LVITEMA item = {};
        item.iSubItem = column;
        item.pszText = text;
        item.cchTextMax = sizeof text;
        SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
        return text;
    }
    std::string Info() {
        char text[512] = {};
        GetWindowTextA(GetDlgItem(window, IDC_HISTORY_INFO), text, sizeof text);
        return text;
    }
    bool LastRowVisible() {
        const int top = static_cast<int>(SendMessageA(list, LVM_GETTOPINDEX, 0, 0));
        const int page = static_cast<int>(SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0));
        return top + page >= Rows();
    }
    HWND window = nullptr;
    HWND list = nullptr;
    std::unique_ptr<EventSource> source;
    HistoryMessageBoxFn savedBox = nullptr;
};

std::string ReadFile(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return out;
}

TEST_F(HistoryViewTest, RowsReadBackColumnByColumn) {
    Bytes me = Message(0x81, 23, 0);
    Bytes me2 = me;
    me2[2 + 16] = 3;  // A BUS
    Feed(me + Bytes{0x00, 0x00} + me2 + me2 + Bytes{0xE5, 0xE5});
    ASSERT_EQ(Rows(), 5);
    EXPECT_EQ(Cell(0, 1), "message");
    EXPECT_EQ(Cell(0, 2), "0x81");
    EXPECT_EQ(Cell(0, 3), "first ME 1 message");
    EXPECT_EQ(Cell(0, 4).substr(0, 12), "81 81 00 00 ");
    EXPECT_EQ(Cell(1, 1), "stray");
    EXPECT_EQ(Cell(1, 2), "");
    EXPECT_EQ(Cell(1, 3), "2 stray bytes");
    EXPECT_EQ(Cell(1, 4), "00 00");
    EXPECT_EQ(Cell(2, 3), "A BUS 0 -> 3");
    EXPECT_EQ(Cell(3, 3), "no change");
    EXPECT_EQ(Cell(4, 3), "unknown type 0xe5");
    const std::string time = Cell(0, 0);
    ASSERT_EQ(time.size(), 23u) << time;
    EXPECT_EQ(time.substr(19), ".117");
    EXPECT_EQ(time[10], ' ');

    // Filters: no errors (one click on the bar's "Errors"), then changes only as well.
    HWND errorsButton = GetDlgItem(window, IDM_HISTORY_FILTER_FIRST + 6);
    ASSERT_NE(errorsButton, nullptr);
    char caption[32] = "";
    GetWindowTextA(errorsButton, caption, sizeof caption);
    EXPECT_STREQ(caption, "Errors");
    EXPECT_EQ(SendMessageA(errorsButton, BM_GETCHECK, 0, 0), BST_CHECKED);
    SendMessageA(errorsButton, BM_CLICK, 0, 0);
    EXPECT_EQ(Rows(), 3);
    EXPECT_EQ(SendMessageA(errorsButton, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    // Find names what the filter hides instead of saying it is not there.
    HistoryState(window)->findText = "stray bytes";
    Command(IDM_HISTORY_FIND_NEXT);
    EXPECT_EQ(boxText, "\"stray bytes\" is not in the shown rows (1 hidden by the filter).");
    Command(IDM_HISTORY_CHANGES_ONLY);
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Cell(1, 3), "A BUS 0 -> 3");
    HMENU menu = GetMenu(window);
    EXPECT_EQ(GetMenuState(menu, IDM_HISTORY_CHANGES_ONLY, MF_BYCOMMAND) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
    EXPECT_EQ(GetMenuState(menu, IDM_HISTORY_FILTER_FIRST + 6, MF_BYCOMMAND) & MF_CHECKED, 0u);
    EXPECT_EQ(IsDlgButtonChecked(window, IDM_HISTORY_CHANGES_ONLY), static_cast<UINT>(BST_CHECKED));
    EXPECT_NE(Info().find("2 shown by the filter"), std::string::npos) << Info();
    Command(IDM_HISTORY_SHOW_ALL);
    EXPECT_EQ(Rows(), 5);

    // Ctrl+C: the selected rows as log lines.
    LVITEMA item = {};
    item.stateMask = LVIS_SELECTED;
    item.state = LVIS_SELECTED;
    SendMessageA(list, LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&item));
    SendMessageA(list, LVM_SETITEMSTATE, 4, reinterpret_cast<LPARAM>(&item));
    Command(IDM_HISTORY_COPY);
    ASSERT_TRUE(OpenClipboard(window));
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    std::string copied;
    if (data) {
        const wchar_t* wide = static_cast<const wchar_t*>(GlobalLock(data));
        for (const wchar_t* c = wide; *c; ++c) copied += *c < 0x80 ? static_cast<char>(*c) : '?';
        GlobalUnlock(data);
    }
    CloseClipboard();
    EXPECT_EQ(copied.substr(23), "\tstray\t\t0000\t2 stray bytes\r\n" + copied.substr(0, 23) +
                                     "\tunknown\t0xe5\te5e5\tunknown type 0xe5\r\n");
}

TEST_F(HistoryViewTest, FollowsTheNewestUntilScrolledUpThenCountsWhatWaits) {
    for (int i = 0; i < 50; ++i) Feed(Message(0xA1, 3, static_cast<uint8_t>(i)) + Bytes(static_cast<size_t>(i % 3 + 1), 0));
    ASSERT_EQ(Rows(), 100);
    ASSERT_LT(SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0), 90) << "more rows than the window shows";
    EXPECT_TRUE(LastRowVisible());
    EXPECT_NE(Info().find("; following the newest"), std::string::npos) << Info();
    SendMessageA(list, LVM_ENSUREVISIBLE, 0, FALSE);
    ASSERT_EQ(SendMessageA(list, LVM_GETTOPINDEX, 0, 0), 0);
    Feed(Bytes{0x00} + Message(0xA1, 3, 50));
    EXPECT_EQ(Rows(), 102);
    EXPECT_EQ(SendMessageA(list, LVM_GETTOPINDEX, 0, 0), 0) << "scrolled up: the view stays put";
    EXPECT_NE(Info().find("2 new rows below"), std::string::npos) << Info();
    SendMessageA(list, WM_KEYDOWN, VK_END, 0);  // End goes to the newest row
    Feed(Bytes{0x00});
    EXPECT_TRUE(LastRowVisible());
    EXPECT_NE(Info().find("; following the newest"), std::string::npos) << Info();
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    SaveWindowBitmap(window, ArtifactPath("history_view.bmp"));
}

TEST_F(HistoryViewTest, AScrolledUpViewStaysOnItsRowsWhenTheOldestAreDropped) {
    HistoryBook& book = HistoryTheBook(window);
    book.keepEvents = HISTORY_BLOCK_EVENTS + 8;  // the third block's eighth event drops the first block
    Bytes lowBytes;
    for (int i = 0; i < 64; ++i) lowBytes = lowBytes + Bytes{0x81, 0x05};  // 64 events
    const int64_t start = 1765202602000;
    for (int feed = 0; feed < 128; ++feed) Feed(lowBytes, start + feed * 1000);  // two blocks, a second a feed
    Sleep(1100);  // a list following a flood of rows takes a new count once a second
    Tick();
    ASSERT_EQ(Rows(), 2 * static_cast<int>(HISTORY_BLOCK_EVENTS));
    SendMessageA(list, LVM_ENSUREVISIBLE, 0, FALSE);
    SendMessageA(list, LVM_ENSUREVISIBLE, 5000, FALSE);
    const int top = static_cast<int>(SendMessageA(list, LVM_GETTOPINDEX, 0, 0));
    ASSERT_GT(top, static_cast<int>(HISTORY_BLOCK_EVENTS));
    const std::string time = Cell(top, 0);
    Feed(Bytes(lowBytes.begin(), lowBytes.begin() + 16), start + 200000);  // 8 events
    EXPECT_EQ(book.dropped, HISTORY_BLOCK_EVENTS);
    EXPECT_EQ(SendMessageA(list, LVM_GETTOPINDEX, 0, 0), top - static_cast<int>(HISTORY_BLOCK_EVENTS));
    EXPECT_EQ(Cell(top - static_cast<int>(HISTORY_BLOCK_EVENTS), 0), time) << "the same row on top";
    EXPECT_NE(Info().find("4,096 oldest dropped"), std::string::npos) << Info();
    book.keepEvents = HISTORY_KEEP_EVENTS;
}

TEST_F(HistoryViewTest, ViewMenuSwitchesBetweenHistoryAndTerminalScreen) {
    HMENU menu = GetMenu(window);
    EXPECT_TRUE(IsWindowVisible(list));
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_HISTORY, MF_BYCOMMAND) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
    Command(IDM_VIEW_SCREEN);
    EXPECT_FALSE(IsWindowVisible(list));
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_SCREEN, MF_BYCOMMAND) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_HISTORY, MF_BYCOMMAND) & MF_CHECKED, 0u);
    EXPECT_TRUE(HistoryScreenShown(window));
    Command(IDM_VIEW_HISTORY);
    EXPECT_TRUE(IsWindowVisible(list));
    EXPECT_FALSE(HistoryScreenShown(window));
    // A further view of the View menu takes the client area: neither item checked.
    HistoryViewShow(window, false);
    EXPECT_FALSE(IsWindowVisible(list));
    EXPECT_FALSE(HistoryScreenShown(window));
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_HISTORY, MF_BYCOMMAND) & MF_CHECKED, 0u);
    EXPECT_EQ(GetMenuState(menu, IDM_VIEW_SCREEN, MF_BYCOMMAND) & MF_CHECKED, 0u);
    Command(IDM_VIEW_HISTORY);
    EXPECT_TRUE(IsWindowVisible(list));
}

TEST_F(HistoryViewTest, ViewAndFiltersComeBackAtStartAndADamagedValueFallsBackAlone) {
    MemoryConfig store;
    ConfigSetActive(&store);
    Command(IDM_HISTORY_FILTER_FIRST + 1);
    Command(IDM_HISTORY_CHANGES_ONLY);
    Command(IDM_VIEW_SCREEN);
    const int all = (1 << HISTORY_CATEGORY_COUNT) - 1;
    EXPECT_EQ(store.ints["HistoryCategories"], all & ~2);
    EXPECT_EQ(store.ints["HistoryChangesOnly"], 1);
    EXPECT_EQ(store.ints["HistoryView"], 1);

    // Another start's filter would otherwise still be in the process's book.
    HistoryFilter everything;
    HistoryFilterAll(everything);
    HistoryBookSetFilter(HistoryTheBook(window), everything);
    Reopen();
    EXPECT_FALSE(Checked(IDM_HISTORY_FILTER_FIRST + 1));
    EXPECT_TRUE(Checked(IDM_HISTORY_FILTER_FIRST));
    EXPECT_TRUE(Checked(IDM_HISTORY_CHANGES_ONLY));
    EXPECT_TRUE(Checked(IDM_VIEW_SCREEN));
    EXPECT_FALSE(IsWindowVisible(list));
    EXPECT_TRUE(HistoryScreenShown(window));
    EXPECT_FALSE(HistoryFilterIsAll(HistoryTheBook(window).filter));

    // Out of range and corrupt values read as their defaults; the intact one stays.
    store.ints["HistoryCategories"] = all + 1;
    store.ints.erase("HistoryView");
    store.strings["HistoryView"] = "screen";
    Reopen();
    for (int i = 0; i < HISTORY_CATEGORY_COUNT; ++i) EXPECT_TRUE(Checked(IDM_HISTORY_FILTER_FIRST + i)) << i;
    EXPECT_TRUE(Checked(IDM_HISTORY_CHANGES_ONLY));
    EXPECT_TRUE(Checked(IDM_VIEW_HISTORY));
    EXPECT_TRUE(IsWindowVisible(list));

    // A filter saved before the Alarms category existed (no count beside it,
    // its bit clear) hides what it hid then and shows the alarms.
    store.ints["HistoryCategories"] = ((1 << HISTORY_ALARMS) - 1) & ~4;
    store.ints.erase("HistoryCategoryCount");
    Reopen();
    EXPECT_FALSE(Checked(IDM_HISTORY_FILTER_FIRST + 2));
    EXPECT_TRUE(Checked(IDM_HISTORY_FILTER_FIRST + HISTORY_ALARMS));
    ConfigSetActive(nullptr);
}

TEST_F(HistoryViewTest, LineAndPortErrorsMetByThePortLayerAreEvents) {
    portSeams.clearCommError = FakeClearCommError;
    fakeErrors = CE_FRAME | CE_OVERRUN;
    char buffer[8];
    PortReadBlock(window, buffer, sizeof buffer);
    fakeErrors = 0;
    PortReadBlock(window, buffer, sizeof buffer);
    Tick();
    ASSERT_EQ(Rows(), 1) << "only a read that met errors";
    EXPECT_EQ(Cell(0, 1), "line-error");
    EXPECT_EQ(Cell(0, 3), "framing, overrun (0x000a)");

    // A write on no open port fails at once; the error bits printed on the
    // terminal screen are a port-error event too.
    SessionState* s = SessionFromWindow(window);
    s->settings.displayErrors = 1;
    fakeErrors = CE_FRAME;
    PortWriteBlock(window, "x", 1);
    Tick();
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Cell(1, 1), "port-error");
    EXPECT_EQ(Cell(1, 3), "<CE-0x00000008>");
    EXPECT_EQ(std::string(s->terminal.cells, 15), "<CE-0x00000008>") << "the screen shows the same";
}

TEST_F(HistoryViewTest, ResetCountersZeroesTheStoreAndIsARowOfItsOwn) {
    Feed(Message(0xA1, 3, 1) + Bytes{0x00, 0x00});
    TallyCounterValues c;
    TallyReadCounters(tallyStore, c);
    ASSERT_GT(c.ssCount + c.strayByteCount, 0u);
    const int before = Rows();
    Command(IDM_RESET_COUNTERS);
    Tick();
    TallyReadCounters(tallyStore, c);
    EXPECT_EQ(TallyMessageCount(c), 0u);
    EXPECT_EQ(TallyFramingErrorCount(c), 0u);
    ASSERT_EQ(Rows(), before + 1);
    EXPECT_EQ(Cell(before, 1), "reset");
    EXPECT_EQ(Cell(before, 3), "counters reset by the user");
}

TEST_F(HistoryViewTest, LogFileAppendsUnderOneHeaderAndAnUnwritablePathIsRefusedWithABox) {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string path = std::string(folder) + "qorvex_history_test.tsv";
    DeleteFileA(path.c_str());
    ASSERT_EQ(HistoryLogStart(window, path.c_str()), 1);
    EXPECT_TRUE(HistoryLogging(window));
    EXPECT_EQ(GetMenuState(GetMenu(window), IDM_HISTORY_LOG_STOP, MF_BYCOMMAND) & MF_GRAYED, 0u);
    Feed(Message(0xA1, 3, 1));
    EXPECT_NE(Info().find("logging to " + path), std::string::npos) << Info();
    Command(IDM_HISTORY_LOG_STOP);
    EXPECT_FALSE(HistoryLogging(window));
    EXPECT_NE(GetMenuState(GetMenu(window), IDM_HISTORY_LOG_STOP, MF_BYCOMMAND) & MF_GRAYED, 0u);
    Feed(Bytes{0x00});  // not logged
    ASSERT_EQ(HistoryLogStart(window, path.c_str()), 1);
    Feed(Bytes{0x01, 0x02});
    HistoryLogStop(window);
    const std::string log = ReadFile(path);
    ASSERT_EQ(log.substr(0, 30), "time\tevent\ttype\tbytes\tdetails\n");
    EXPECT_EQ(log.find("time\t", 1), std::string::npos) << "appended without a second header";
    // Each line after its 23-character time; logging's own start and stop
    // lines frame what was logged, the start naming version, port and settings.
    std::vector<std::string> lines;
    for (size_t at = log.find('\n') + 1; at < log.size();) {
        const size_t end = log.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        ASSERT_GT(end - at, 23u) << log;
        lines.push_back(log.substr(at + 23, end - at - 23));
        at = end + 1;
    }
    const std::string start = "\tlog-start\t\t\tqorvex ";
    ASSERT_EQ(lines.size(), 6u) << log;
    EXPECT_EQ(lines[0].substr(0, start.size()), start) << lines[0];
    EXPECT_NE(lines[0].find(", COM"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(", flow "), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(", not connected"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "\tmessage\t0xa1\ta1a1010101\tfirst SS message");
    EXPECT_EQ(lines[2], "\tlog-stop\t\t\tStop Logging");
    EXPECT_EQ(lines[3], lines[0]);
    EXPECT_EQ(lines[4], "\tstray\t\t0102\t2 stray bytes");
    EXPECT_EQ(lines[5], "\tlog-stop\t\t\tStop Logging");
    EXPECT_TRUE(boxText.empty()) << boxText;

    const char* bad = "C:\\no such folder\\qorvex\\log.tsv";
    EXPECT_EQ(HistoryLogStart(window, bad), 0);
    EXPECT_FALSE(HistoryLogging(window));
    EXPECT_NE(boxText.find("The log file cannot be opened \"C:\\no such folder\\qorvex\\log.tsv\""), std::string::npos)
        << boxText;
    DeleteFileA(path.c_str());
}

// A log on a disk that stalls holds neither the window nor a line: the
// window's ticks go on while the writes wait, and every line reaches the
// file once the disk answers. (The stand-in disk answers after 3 s at most.)
TEST_F(HistoryViewTest, ALogOnAStalledDiskHoldsNeitherTheWindowNorALine) {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string path = std::string(folder) + "qorvex_history_stall.tsv";
    DeleteFileA(path.c_str());
    ASSERT_EQ(HistoryLogStart(window, path.c_str()), 1);
    HistoryLogStallForTest(true);
    std::atomic<bool> ticked{false};
    bool tickedWhileStalled = false;
    std::thread disk([&] {
        for (int i = 0; i < 300 && !ticked.load(); ++i) Sleep(10);
        tickedWhileStalled = ticked.load();
        HistoryLogStallForTest(false);
    });
    for (int i = 0; i < 20; ++i) Feed(Message(0xA1, 3, static_cast<uint8_t>(i)));
    ticked.store(true);
    disk.join();
    EXPECT_TRUE(tickedWhileStalled) << "the window waited for the disk";
    EXPECT_TRUE(HistoryLogging(window));
    HistoryLogStop(window);
    const std::string log = ReadFile(path);
    DeleteFileA(path.c_str());
    size_t messages = 0;
    for (size_t at = log.find("\tmessage\t"); at != std::string::npos; at = log.find("\tmessage\t", at + 1)) ++messages;
    EXPECT_EQ(messages, 20u) << log;
    EXPECT_NE(log.find("\tlog-stop\t\t\tStop Logging\n"), std::string::npos) << log;
    EXPECT_TRUE(boxText.empty()) << boxText;
}

// A backlog the window cannot take in one go (a storm, or the window held
// for a while) is drained in slices: one tick leaves the rest in the ring,
// a message sent from another thread is answered while it drains, and
// every event arrives, none lost.
TEST_F(HistoryViewTest, ABacklogDrainsInSlicesWhileTheWindowAnswers) {
    HistoryRing& ring = *MainWindowFrom(window)->ring;
    const uint64_t before = HistoryTheBook(window).endSeq;
    const uint32_t backlog = HISTORY_RING_CAPACITY - 16;
    HistoryEvent e;
    std::memset(&e, 0, sizeof e);
    e.kind = EVENT_MESSAGE;
    e.type = 0x81;
    e.length = 30;
    e.timeMs = 1765202602117;
    for (uint32_t i = 0; i < backlog; ++i) {
        e.bytes[0] = e.bytes[1] = 0x81;
        e.bytes[2] = static_cast<uint8_t>(i);
        ASSERT_TRUE(HistoryRingPush(ring, e));
    }
    // The window's thread pumps its queue (the catch-up ticks included) while
    // another thread sends it WM_NULL, as an operator's click would wait.
    std::atomic<bool> done{false};
    std::atomic<int> sent{0}, slow{0};
    DWORD worstMs = 0;
    std::thread asker([&] {
        while (!done.load()) {
            const DWORD t0 = GetTickCount();
            DWORD_PTR result = 0;
            if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result)) ++slow;
            const DWORD ms = GetTickCount() - t0;
            if (ms > worstMs) worstMs = ms;
            ++sent;
            Sleep(2);
        }
    });
    const DWORD start = GetTickCount();
    Sleep(5);  // the asker waits on the window's thread from here
    Tick();
    const uint32_t left = HistoryRingWaiting(ring);
    EXPECT_GT(left, 0u) << "one tick took the whole backlog";
    MSG m;
    while (HistoryRingWaiting(ring) > 0 && GetTickCount() - start < 20000) {
        if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        else MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    const DWORD drainMs = GetTickCount() - start;
    Sleep(20);  // the asker's last question ...
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);  // ... answered
    done.store(true);
    asker.join();
    std::printf("backlog %u: %u left after one tick, drained in %lu ms in all; %d round trips, the slowest %lu ms\n",
                backlog, left, static_cast<unsigned long>(drainMs), sent.load(), static_cast<unsigned long>(worstMs));
    EXPECT_EQ(HistoryRingWaiting(ring), 0u);
    EXPECT_EQ(ring.lost.load(), 0u);
    EXPECT_GE(HistoryTheBook(window).endSeq - before, backlog);  // every event (a "receiving" row may lead)
    EXPECT_EQ(slow.load(), 0);
    EXPECT_GT(sent.load(), 0);
    // Unsliced, the slowest answer waits for the whole drain.
    EXPECT_LT(worstMs, std::max<DWORD>(drainMs / 2, 50)) << "the window did not answer while it drained";
}

}  // namespace
