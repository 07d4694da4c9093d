// The watch in the main window: a glitch in the receiver's events becomes an
// alarm row (category Alarms) as the history drains, the status bar counts
// it and its click shows only the alarms; the Watch menu's switches are
// saved. Leaves a screenshot, artifacts/app_watch.bmp.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/watch_app.h"
#include "watch/watch.h"
#include "config/config_values.h"
#include "history/history.h"
#include "history/source.h"
#include "resources/resource.h"
#include "tally/store.h"
#include "tests/memory_config.h"
#include "tests/win/app_test_util.h"
#include "win_artifacts.h"

namespace {

class WatchAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        ConfigSetActive(&store);
        window = OpenMainWindowForTest();
        ASSERT_NE(window, nullptr);
        app = MainWindowFrom(window);
        ASSERT_NE(app, nullptr);
        bar = GetDlgItem(window, IDC_STATUS_BAR);
        ASSERT_NE(bar, nullptr);
        KillTimer(window, REFRESH_TIMER);
        KillTimer(window, HISTORY_TIMER);  // ticks by hand
        TallyStoreInit(*feedStore);
        EventSourceInit(*source, feedStore.get(), app->ring);
    }
    void TearDown() override {
        DestroyWindow(window);
        DrainQuitMessages();
        ConfigSetActive(nullptr);
    }
    std::string Part(int part) {
        char text[128] = {};
        SendMessageA(bar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(text));
        return text;
    }
    // Output 1 carrying source 33, its on-air bit as given, as the receiver reads it.
    void Out(int64_t timeMs, bool onAir) {
        const uint8_t m[] = {0xB1, 0xB1, 33, 0, 9, static_cast<uint8_t>(onAir ? 1 : 0), 10, 11, 12, 13, 14, 15};
        EventSourceFeed(*source, m, sizeof m, timeMs);
    }
    void HistoryTick() { SendMessageA(window, WM_TIMER, HISTORY_TIMER, 0); }
    void Command(int id) { SendMessageA(window, WM_COMMAND, id, 0); }
    // The alarm rows' details, one per line.
    std::string AlarmRows() {
        const HistoryBook& b = HistoryTheBook(window);
        std::string rows;
        for (uint64_t seq = b.firstSeq; seq < b.endSeq; ++seq)
            if (HistoryBookEntry(b, seq).category == HISTORY_ALARMS) rows += HistoryBookDetails(b, seq) + "\n";
        return rows;
    }
    MemoryConfig store;
    HWND window = nullptr, bar = nullptr;
    MainWindowRecord* app = nullptr;
    std::unique_ptr<TallyStore> feedStore{new TallyStore};
    std::unique_ptr<EventSource> source{new EventSource};
};

TEST_F(WatchAppTest, ADropBecomesAnAlarmRowTheBarCountsItAndItsClickShowsOnlyAlarms) {
    EXPECT_EQ(Part(STATUS_PART_ALARMS), "No alarms");
    const int64_t t = 1796696122000;
    for (int i = 0; i < 5; ++i) Out(t + i * 100, true);
    Out(t + 500, false);   // off air for 40 ms: a drop
    Out(t + 540, true);
    Out(t + 1000, false);  // a real cut: off air for good
    HistoryTick();
    ASSERT_EQ(AlarmRows(), "flicker: Output 1 on air: Source 33 off air for 40.0 ms\n");
    const HistoryBook& b = HistoryTheBook(window);
    // The row follows the event that raised it, the log's details carry rule and text.
    uint64_t row = b.firstSeq;
    while (HistoryBookEntry(b, row).category != HISTORY_ALARMS) ++row;
    EXPECT_EQ(HistoryBookEntry(b, row).event.kind, EVENT_ALARM);
    EXPECT_EQ(HistoryBookEntry(b, row).event.timeMs, t + 540);
    EXPECT_EQ(HistoryBookDetails(b, row), "flicker: Output 1 on air: Source 33 off air for 40.0 ms");
    EXPECT_EQ(HistoryBookEntry(b, row - 1).event.timeMs, t + 540) << "right after the message that ended the drop";
    EXPECT_EQ(Part(STATUS_PART_ALARMS), "Alarms 1") << "shown on the tick that found it";

    NMMOUSE click = {};
    click.hdr.hwndFrom = bar;
    click.hdr.idFrom = IDC_STATUS_BAR;
    click.hdr.code = NM_CLICK;
    click.dwItemSpec = STATUS_PART_ALARMS;
    SendMessageA(window, WM_NOTIFY, IDC_STATUS_BAR, reinterpret_cast<LPARAM>(&click));
    EXPECT_TRUE(HistoryViewShown(window));
    ASSERT_EQ(HistoryViewSize(b), 1u);
    EXPECT_EQ(HistoryViewSeq(b, 0), row);
    UpdateWindow(window);
    SaveWindowBitmap(window, ArtifactPath("app_watch.bmp"));

    Command(IDM_RESET_COUNTERS);
    HistoryTick();
    EXPECT_EQ(Part(STATUS_PART_ALARMS), "Alarms 1") << "the operator's reset is no alarm";
    Command(IDM_WATCH_CLEAR);
    EXPECT_EQ(Part(STATUS_PART_ALARMS), "No alarms");
    EXPECT_NE(AlarmRows(), "") << "the rows stay: they are what happened";
}

// A storm stays readable and the bar counts all of it: 198 glitches of one
// output in 0.4 s give five rows and one summary of the rest, told once the
// port is quiet, and the status bar counts every alarm (the first record
// seeds the bit and the first change is no glitch: 198 alarms).
TEST_F(WatchAppTest, AStormIsFiveRowsAndASummaryWhileTheBarCountsEveryAlarm) {
    const int64_t t = 1796696122000;
    for (int i = 0; i < 200; ++i) Out(t + 1000 + 2 * i, i % 2 == 0);
    HistoryTick();
    const std::string rows = AlarmRows();
    size_t count = 0;
    for (char c : rows) count += c == '\n';
    EXPECT_EQ(count, WATCH_FOLD_ROWS + 1) << rows;
    EXPECT_NE(rows.find("flicker: 193 more in the last 1 s, not listed one by one; the last: Output 1 on air:"),
              std::string::npos)
        << rows;
    EXPECT_EQ(Part(STATUS_PART_ALARMS), "Alarms 198");
    NMMOUSE click = {};
    click.hdr.hwndFrom = bar;
    click.hdr.idFrom = IDC_STATUS_BAR;
    click.hdr.code = NM_CLICK;
    click.dwItemSpec = STATUS_PART_ALARMS;
    SendMessageA(window, WM_NOTIFY, IDC_STATUS_BAR, reinterpret_cast<LPARAM>(&click));
    UpdateWindow(window);
    SaveWindowBitmap(window, ArtifactPath("app_watch_storm.bmp"));
    Command(IDM_WATCH_CLEAR);
    EXPECT_EQ(Part(STATUS_PART_ALARMS), "No alarms");
}

TEST_F(WatchAppTest, SoundAndFlashAreOffByDefaultAndSavedWhenSwitched) {
    HMENU menu = GetMenu(window);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(GetMenuState(menu, IDM_WATCH_SOUND, MF_BYCOMMAND) & MF_CHECKED, 0u);
    EXPECT_EQ(GetMenuState(menu, IDM_WATCH_FLASH, MF_BYCOMMAND) & MF_CHECKED, 0u);
    Command(IDM_WATCH_FLASH);
    EXPECT_EQ(GetMenuState(menu, IDM_WATCH_FLASH, MF_BYCOMMAND) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
    EXPECT_EQ(store.ints["WatchFlash"], 1);
    EXPECT_EQ(store.ints.count("WatchSound"), 0u) << "only what changed is written";
    // A window of the next start reads it back.
    DestroyWindow(window);
    DrainQuitMessages();
    window = OpenMainWindowForTest();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetMenuState(GetMenu(window), IDM_WATCH_FLASH, MF_BYCOMMAND) & MF_CHECKED,
              static_cast<UINT>(MF_CHECKED));
    // A rule switched off in the store: its glitch raises nothing.
    store.ints["WatchFlicker"] = 0;
    DestroyWindow(window);
    DrainQuitMessages();
    window = OpenMainWindowForTest();
    app = MainWindowFrom(window);
    bar = GetDlgItem(window, IDC_STATUS_BAR);
    KillTimer(window, HISTORY_TIMER);
    EventSourceInit(*source, feedStore.get(), app->ring);
    Out(1796696122000, true);
    Out(1796696122100, false);
    Out(1796696122140, true);
    HistoryTick();
    EXPECT_EQ(AlarmRows(), "");
}

// ---- The Watch menu's dialogs, driven as a user would --------------------------
// A helper thread finds the real dialog while the window's thread runs its
// modal loop, types into its fields and presses OK; a warning box is read
// and closed in turn. Messages to another thread of this process are sent,
// so each step has happened when the call returns.
HWND FindDialog(const char* caption, HWND owner, DWORD timeoutMs = 10000) {
    struct Search {
        const char* caption;
        HWND owner;
        HWND found;
    } search = {caption, owner, nullptr};
    const DWORD start = GetTickCount();
    while (!search.found && GetTickCount() - start < timeoutMs) {
        EnumThreadWindows(
            GetWindowThreadProcessId(appMainWindow, nullptr),
            [](HWND w, LPARAM l) -> BOOL {
                Search& s = *reinterpret_cast<Search*>(l);
                char text[128] = "", cls[16] = "";
                GetClassNameA(w, cls, sizeof cls);
                GetWindowTextA(w, text, sizeof text);
                if (lstrcmpA(cls, "#32770") || lstrcmpA(text, s.caption) || !IsWindowVisible(w)) return TRUE;
                if (GetWindow(w, GW_OWNER) != s.owner) return TRUE;
                s.found = w;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (!search.found) Sleep(20);
    }
    return search.found;
}

struct DialogScript {
    std::string caption;
    std::vector<std::string> warnings;  // the texts of the boxes met
    std::vector<int> focused;           // the control focused after each box
    bool ok = false;
};

// Each step sets fields (control id -> text; a check box: "1"/"0") and
// presses OK; every step but the last must bring a warning box.
void RunDialog(HWND window, const char* caption, const std::vector<std::map<int, std::string>>& steps,
               DialogScript& script) {
    std::thread driver([&] {
        HWND dialog = FindDialog(caption, window);
        if (!dialog) return;
        const DWORD ui = GetWindowThreadProcessId(dialog, nullptr);
        for (size_t i = 0; i < steps.size(); ++i) {
            for (const auto& field : steps[i]) {
                char cls[16] = "";
                GetClassNameA(GetDlgItem(dialog, field.first), cls, sizeof cls);
                if (!lstrcmpiA(cls, "Button"))
                    SendDlgItemMessageA(dialog, field.first, BM_SETCHECK, field.second == "1" ? BST_CHECKED : 0, 0);
                else
                    SendDlgItemMessageA(dialog, field.first, WM_SETTEXT, 0,
                                        reinterpret_cast<LPARAM>(field.second.c_str()));
            }
            PostMessageA(dialog, WM_COMMAND, IDOK, 0);
            if (i + 1 == steps.size()) break;
            HWND box = FindDialog(caption, dialog, 5000);
            if (!box) return;
            std::string text;
            for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
                char t[256] = "", cls[16] = "";
                GetClassNameA(c, cls, sizeof cls);
                if (!lstrcmpiA(cls, "Static") && GetWindowTextA(c, t, sizeof t)) text += t;
            }
            script.warnings.push_back(text);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            // The dialog focuses the wrong field once the box has gone.
            GUITHREADINFO info = {};
            info.cbSize = sizeof info;
            const DWORD start = GetTickCount();
            while (IsWindow(box) && GetTickCount() - start < 5000) Sleep(10);
            Sleep(50);
            GetGUIThreadInfo(ui, &info);
            script.focused.push_back(info.hwndFocus ? GetDlgCtrlID(info.hwndFocus) : 0);
        }
        script.ok = true;
    });
    SendMessageA(window, WM_COMMAND, caption == std::string("Watch Rules") ? IDM_WATCH_RULES : IDM_WATCH_KEEP, 0);
    driver.join();
}

TEST_F(WatchAppTest, TheRulesDialogRefusesAThresholdOutOfRangeOnItsFieldAndSavesOneInRange) {
    DialogScript script;
    RunDialog(window, "Watch Rules",
              {{{IDC_WATCH_FLICKER_MS, "0"}}, {{IDC_WATCH_FLICKER_MS, "60001"}}, {{IDC_WATCH_FLICKER_MS, "350"}}},
              script);
    ASSERT_TRUE(script.ok);
    ASSERT_EQ(script.warnings.size(), 2u);
    for (const std::string& w : script.warnings) EXPECT_EQ(w, "The flicker time (ms) must be from 1 to 60000.");
    EXPECT_EQ(script.focused, (std::vector<int>{IDC_WATCH_FLICKER_MS, IDC_WATCH_FLICKER_MS}));
    EXPECT_EQ(store.ints["WatchFlickerMs"], 350);
    EXPECT_EQ(store.ints.count("WatchSilenceS"), 0u) << "only what changed is written";
}

TEST_F(WatchAppTest, TheKeepDialogRefusesAMissingFolderAndABudgetOutOfRangeAndSavesBoth) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"qorvex_keep_dialog";
    CreateDirectoryW(folder.c_str(), nullptr);
    char folderA[MAX_PATH * 3] = "";
    WideCharToMultiByte(CP_UTF8, 0, folder.c_str(), -1, folderA, sizeof folderA, nullptr, nullptr);
    DialogScript script;
    RunDialog(window, "Keep Recordings Around Alarms",
              {{{IDC_WATCH_KEEP_ON, "1"}, {IDC_WATCH_KEEP_FOLDER, std::string(folderA) + "\\missing"}},
               {{IDC_WATCH_KEEP_FOLDER, folderA}, {IDC_WATCH_KEEP_BUDGET, "0"}},
               {{IDC_WATCH_KEEP_BUDGET, "200"}}},
              script);
    ASSERT_TRUE(script.ok);
    ASSERT_EQ(script.warnings.size(), 2u);
    EXPECT_EQ(script.warnings[0], "Choose a folder that exists for the kept recordings.");
    EXPECT_EQ(script.warnings[1], "The disk budget (MB) must be from 1 to 1048576.");
    EXPECT_EQ(script.focused, (std::vector<int>{IDC_WATCH_KEEP_FOLDER, IDC_WATCH_KEEP_BUDGET}));
    EXPECT_EQ(store.ints["WatchKeep"], 1);
    EXPECT_EQ(store.ints["WatchKeepBudgetMB"], 200);
    EXPECT_EQ(store.strings["WatchKeepFolder"], folderA);
    EXPECT_EQ(WatchAppKeepFolder(window), folderA) << "keeping did not start in the folder chosen";
    DestroyWindow(window);  // the keeper lets go of the folder
    DrainQuitMessages();
    window = nullptr;
    RemoveDirectoryW(folder.c_str());
}

}  // namespace
