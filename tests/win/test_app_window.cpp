// The main window in-process under Wine: class and title, the menu and the
// accelerators, the About box, the refresh tick, command dispatch and the end
// of the message loop.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/session.h"
#include "displays/framework.h"
#include "history/history.h"
#include "recording/recording_app.h"
#include "resources/resource.h"
#include "tally/store.h"

namespace {

HINSTANCE Instance() { return GetModuleHandleA(nullptr); }

// Messages a recorder window has received (it only collects, it never acts).
std::vector<MSG> recorded;

LRESULT CALLBACK RecorderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND || message == WM_TALLY_REFRESH) {
        MSG m = {};
        m.hwnd = window;
        m.message = message;
        m.wParam = wParam;
        m.lParam = lParam;
        recorded.push_back(m);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateRecorder() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = RecorderProc;
        wc.hInstance = Instance();
        wc.lpszClassName = "QorvexTestRecorder";
        RegisterClassA(&wc);
        registered = true;
    }
    return CreateWindowExA(0, "QorvexTestRecorder", "", WS_OVERLAPPED, 0, 0, 10, 10,
                           nullptr, nullptr, Instance(), nullptr);
}

// Removes the quit message a destroyed main window leaves behind, so that the
// next test's loops are not ended by it.
void DrainQuit() {
    MSG m;
    while (PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static bool registered = false;
        if (registered) return;
        AppLoadStrings(Instance());
        ASSERT_NE(AppRegisterClass(Instance()), 0);
        registered = true;
    }
    void SetUp() override {
        ASSERT_EQ(AppCreateWindow(Instance(), showCommand), 1);
        window = appMainWindow;
        ASSERT_TRUE(IsWindow(window));
        recorded.clear();
    }
    void TearDown() override {
        ActiveDisplay.window = nullptr;
        if (IsWindow(window)) DestroyWindow(window);
        DrainQuit();
    }
    HWND window = nullptr;
    // Hidden unless a test needs it shown: showing waits for the X server.
    int showCommand = SW_HIDE;
};

class ShownMainWindowTest : public MainWindowTest {
protected:
    ShownMainWindowTest() { showCommand = SW_SHOWNORMAL; }
};

TEST_F(ShownMainWindowTest, ClassAndTitleAreQorvexFromTheStringResources) {
    EXPECT_STREQ(appTitle, "qorvex");
    EXPECT_STREQ(appClassName, "qorvex");
    char text[100] = {};
    GetWindowTextA(window, text, sizeof text);
    EXPECT_STREQ(text, "qorvex");
    GetClassNameA(window, text, sizeof text);
    EXPECT_STREQ(text, "qorvex");

    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    ASSERT_TRUE(GetClassInfoExA(Instance(), "qorvex", &wc));
    EXPECT_EQ(wc.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(wc.lpfnWndProc, MainWindowProc);
    EXPECT_EQ(wc.cbClsExtra, 0);
    EXPECT_EQ(wc.cbWndExtra, static_cast<int>(sizeof(LONG_PTR))) << "one pointer slot";
    EXPECT_NE(wc.hIcon, nullptr);
    EXPECT_NE(wc.hIconSm, nullptr);
    EXPECT_NE(wc.hCursor, nullptr);
    EXPECT_EQ(wc.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
    EXPECT_EQ(wc.lpszMenuName, MAKEINTRESOURCEA(IDR_MAINMENU));

    const LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_EQ(style & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_NE(SessionFromWindow(window), nullptr) << "WM_CREATE made the session";
}

TEST_F(MainWindowTest, IconsHaveTheirSizes) {
    struct { int id; int size; } icons[] = {{IDI_QORVEX, 32}, {IDI_QORVEX, 16}, {IDI_QORVEX_SMALL, 16}};
    for (const auto& icon : icons) {
        HICON h = static_cast<HICON>(LoadImageA(Instance(), MAKEINTRESOURCEA(icon.id), IMAGE_ICON,
                                                icon.size, icon.size, 0));
        ASSERT_NE(h, nullptr) << icon.id;
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(h, &info));
        BITMAP bm = {};
        GetObjectA(info.hbmMask, sizeof bm, &bm);
        EXPECT_EQ(bm.bmWidth, icon.size) << icon.id;
        if (info.hbmColor) DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(h);
    }
}

struct MenuEntry {
    std::string caption;
    UINT id;        // 0 for a popup
    bool popup;
    bool grey;
    std::vector<MenuEntry> items;
};

std::vector<MenuEntry> ReadMenu(HMENU menu) {
    std::vector<MenuEntry> out;
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        char caption[100] = {};
        MENUITEMINFOA info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_STATE | MIIM_SUBMENU | MIIM_STRING | MIIM_FTYPE;
        info.dwTypeData = caption;
        info.cch = sizeof caption;
        GetMenuItemInfoA(menu, i, TRUE, &info);
        MenuEntry e{caption, info.hSubMenu ? 0u : info.wID, info.hSubMenu != nullptr,
                    (info.fState & MFS_GRAYED) != 0, {}};
        if (info.hSubMenu) e.items = ReadMenu(info.hSubMenu);
        out.push_back(e);
    }
    return out;
}

TEST_F(MainWindowTest, MenuReadsBackItemByItemWithOnlyDisconnectAndStopLoggingGreyed) {
    const std::vector<MenuEntry> bar = ReadMenu(GetMenu(window));
    const std::vector<MenuEntry> expected = {
        {"Action", 0, true, false,
         {{"Connect\tF5", 105, false, false, {}}, {"Disconnect\tShift+F5", 32771, false, true, {}},
          {"Detect Settings...", 40500, false, false, {}}, {"Reset Counters", 40600, false, false, {}}}},
        {"Settings", 32772, false, false, {}},
        {"Show ME", 32776, false, false, {}},
        {"Show Ext", 32777, false, false, {}},
        {"Show SS", 32778, false, false, {}},
        {"Show Out", 32779, false, false, {}},
        {"Show Names", 32780, false, false, {}},
        {"Send Block", 0, true, false, {{"Block 1", 32774, false, false, {}}}},
        {"&Help", 0, true, false, {{"&About ...", 104, false, false, {}}}},
        {"Exit", 32775, false, false, {}},
        // The history's menus stand after the original ones.
        {"&View", 0, true, false, {{"&History", 40100, false, false, {}}, {"&Terminal Screen", 40101, false, false, {}},
                   {"&On Air", 40400, false, false, {}}, {"T&imeline", 40700, false, false, {}}}},
        {"Hi&story", 0, true, false,
         {{"&Copy\tCtrl+C", 40110, false, false, {}},
          {"&Find...\tCtrl+F", 40111, false, false, {}},
          {"Find &Next\tF3", 40112, false, false, {}},
          {"", 0, false, true, {}},  // separators read back greyed
          {"S&how", 0, true, false, {}},
          {"Changes &Only", 40117, false, false, {}},
          {"", 0, false, true, {}},
          {"Save History &As...", 40113, false, false, {}},
          {"C&lear History", 40114, false, false, {}},
          {"", 0, false, true, {}},
          {"Lo&g to File...", 40115, false, false, {}},
          {"Sto&p Logging", 40116, false, true, {}}}},
        {"&Recording", 0, true, false,
         {{"&Record...", 40300, false, false, {}},
          {"&Stop Recording", 40301, false, true, {}},
          {"&Open Recording...", 40310, false, false, {}},
          {"&Pause", 40311, false, true, {}},
          {"&1x", 40312, false, false, {}},
          {"1&0x", 40313, false, false, {}},
          {"As &Fast as Possible", 40314, false, false, {}},
          {"&Jump to End", 40315, false, true, {}}}},
        {"Time&line", 0, true, false,
         {{"Save &As-Run...", 40710, false, false, {}},
          {"Save As-Run &EDL...", 40711, false, false, {}},
          {"", 0, false, true, {}},
          {"Zoom &In\t+", 40712, false, false, {}},
          {"Zoom &Out\t-", 40713, false, false, {}},
          {"&Follow Now\tEnd", 40714, false, false, {}}}},
        {"&Network", 0, true, false,
         {{"&MQTT...", 40800, false, false, {}},
          {"&Tally Outputs...", 40801, false, false, {}},
          {"&Compare with TSL Input...", 40802, false, false, {}}}},
        {"&Watch", 0, true, false,
         {{"&Rules...", 40900, false, false, {}},
          {"", 0, false, true, {}},
          {"&Sound on Alarm", 40901, false, false, {}},
          {"&Flash on Alarm", 40902, false, false, {}},
          {"&Keep Recordings Around Alarms...", 40903, false, false, {}},
          {"", 0, false, true, {}},
          {"&Clear Alarms", 40904, false, false, {}}}},
    };
    ASSERT_EQ(bar.size(), expected.size());
    for (size_t i = 0; i < bar.size(); ++i) {
        SCOPED_TRACE(expected[i].caption);
        EXPECT_EQ(bar[i].caption, expected[i].caption);
        EXPECT_EQ(bar[i].popup, expected[i].popup);
        if (!expected[i].popup) {
            EXPECT_EQ(bar[i].id, expected[i].id);
        }
        EXPECT_EQ(bar[i].grey, expected[i].grey);
        ASSERT_EQ(bar[i].items.size(), expected[i].items.size());
        for (size_t j = 0; j < bar[i].items.size(); ++j) {
            SCOPED_TRACE(expected[i].items[j].caption);
            EXPECT_EQ(bar[i].items[j].caption, expected[i].items[j].caption);
            EXPECT_EQ(bar[i].items[j].id, expected[i].items[j].id);
            EXPECT_EQ(bar[i].items[j].grey, expected[i].items[j].grey);
        }
    }
}

TEST(MenuResource, NothingIsGreyInTheResourceItself) {
    HMENU menu = LoadMenuA(Instance(), MAKEINTRESOURCEA(IDR_MAINMENU));
    ASSERT_NE(menu, nullptr);
    for (const MenuEntry& e : ReadMenu(menu)) {
        EXPECT_FALSE(e.grey) << e.caption;
        // Separators read back greyed; no item is.
        for (const MenuEntry& item : e.items) EXPECT_EQ(item.grey, item.caption.empty() && item.id == 0 && !item.popup) << item.caption;
    }
    DestroyMenu(menu);
}

// The access key of a caption ('&' before it), lower case; 0 for none.
char AccessKey(const std::string& caption) {
    const size_t at = caption.find('&');
    return at == std::string::npos || at + 1 >= caption.size() ? 0 : static_cast<char>(std::tolower(caption[at + 1]));
}

TEST(MenuResource, TheNewMenusHaveAccessKeysNoneSharedWithinAMenu) {
    HMENU menu = LoadMenuA(Instance(), MAKEINTRESOURCEA(IDR_MAINMENU));
    ASSERT_NE(menu, nullptr);
    const std::vector<MenuEntry> bar = ReadMenu(menu);
    DestroyMenu(menu);
    std::function<void(const std::vector<MenuEntry>&, bool)> check = [&](const std::vector<MenuEntry>& items, bool all) {
        std::string keys;
        for (const MenuEntry& e : items) {
            if (e.caption.empty()) continue;  // separator
            const char key = AccessKey(e.caption);
            if (all) {
                EXPECT_NE(key, 0) << e.caption << " has no access key";
            }
            if (key) {
                EXPECT_EQ(keys.find(key), std::string::npos) << e.caption << " shares its key";
            }
            keys += key;
            if (e.popup && all) check(e.items, true);
        }
    };
    check(bar, false);  // the bar: Help and the new menus
    ASSERT_GE(bar.size(), 13u);
    for (size_t i = 10; i < bar.size(); ++i) {
        SCOPED_TRACE(bar[i].caption);
        EXPECT_NE(AccessKey(bar[i].caption), 0);
        check(bar[i].items, true);
    }
}

TEST(Accelerators, TableHoldsAltQuestionMarkAndAltSlashAsCharacterKeysThenTheHistoryKeys) {
    HACCEL table = LoadAcceleratorsA(Instance(), MAKEINTRESOURCEA(IDC_QORVEX));
    ASSERT_NE(table, nullptr);
    ACCEL entries[8] = {};
    const int count = CopyAcceleratorTableA(table, entries, 8);
    ASSERT_EQ(count, 7);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(entries[i].fVirt & ~FNOINVERT, FALT) << "Alt, no virtual key";
        EXPECT_EQ(entries[i].cmd, IDM_ABOUT);
    }
    EXPECT_EQ(entries[0].key, '?');
    EXPECT_EQ(entries[1].key, '/');
    // The history list's keys: Ctrl+C, Ctrl+F, F3.
    EXPECT_EQ(entries[2].fVirt & ~FNOINVERT, FVIRTKEY | FCONTROL);
    EXPECT_EQ(entries[2].key, 'C');
    EXPECT_EQ(entries[2].cmd, IDM_HISTORY_COPY);
    EXPECT_EQ(entries[3].fVirt & ~FNOINVERT, FVIRTKEY | FCONTROL);
    EXPECT_EQ(entries[3].key, 'F');
    EXPECT_EQ(entries[3].cmd, IDM_HISTORY_FIND);
    EXPECT_EQ(entries[4].fVirt & ~FNOINVERT, FVIRTKEY);
    EXPECT_EQ(entries[4].key, VK_F3);
    EXPECT_EQ(entries[4].cmd, IDM_HISTORY_FIND_NEXT);
    // Connect F5, Disconnect Shift+F5, as their menu items say.
    EXPECT_EQ(entries[5].fVirt & ~FNOINVERT, FVIRTKEY);
    EXPECT_EQ(entries[5].key, VK_F5);
    EXPECT_EQ(entries[5].cmd, IDM_CONNECT);
    EXPECT_EQ(entries[6].fVirt & ~FNOINVERT, FVIRTKEY | FSHIFT);
    EXPECT_EQ(entries[6].key, VK_F5);
    EXPECT_EQ(entries[6].cmd, IDM_DISCONNECT);
}

// Holds Alt down in this thread's key state for as long as it lives, as the
// real key press would (the accelerator check may read either the key state
// or the message's context bit).
class AltDown {
public:
    AltDown() {
        GetKeyboardState(saved_);
        BYTE state[256];
        std::memcpy(state, saved_, sizeof state);
        state[VK_MENU] = state[VK_LMENU] = 0x80;
        SetKeyboardState(state);
    }
    ~AltDown() { SetKeyboardState(saved_); }

private:
    BYTE saved_[256];
};

// The key message TranslateMessage makes of Alt plus a character.
MSG AltChar(HWND window, char c) {
    MSG m = {};
    m.hwnd = window;
    m.message = WM_SYSCHAR;
    m.wParam = static_cast<unsigned char>(c);
    m.lParam = 0x20000001;  // context bit: Alt is down; repeat count 1
    return m;
}

TEST(Accelerators, AltQuestionMarkAndAltSlashBecomeCommand104) {
    HACCEL table = LoadAcceleratorsA(Instance(), MAKEINTRESOURCEA(IDC_QORVEX));
    HWND recorder = CreateRecorder();
    ASSERT_NE(recorder, nullptr);
    for (char c : {'?', '/'}) {
        recorded.clear();
        MSG m = AltChar(recorder, c);
        {
            AltDown alt;
            EXPECT_NE(TranslateAcceleratorA(recorder, table, &m), 0) << c;
        }
        ASSERT_EQ(recorded.size(), 1u) << c;
        EXPECT_EQ(recorded[0].message, static_cast<UINT>(WM_COMMAND));
        EXPECT_EQ(LOWORD(recorded[0].wParam), IDM_ABOUT);
        EXPECT_EQ(HIWORD(recorded[0].wParam), 1) << "from an accelerator";
    }
    // Without Alt, and other characters with Alt, are not translated.
    recorded.clear();
    MSG plain = AltChar(recorder, '?');
    plain.message = WM_CHAR;
    plain.lParam = 1;
    EXPECT_EQ(TranslateAcceleratorA(recorder, table, &plain), 0);
    {
        AltDown alt;
        MSG other = AltChar(recorder, 'x');
        EXPECT_EQ(TranslateAcceleratorA(recorder, table, &other), 0);
    }
    EXPECT_TRUE(recorded.empty());
    DestroyWindow(recorder);
}

// Watches for a dialog of this thread, lets the caller inspect it, then
// closes it with the given command.
class DialogWatcher {
public:
    DialogWatcher(std::function<void(HWND)> inspect, WORD closeWith)
        : uiThread_(GetCurrentThreadId()), inspect_(std::move(inspect)), closeWith_(closeWith),
          thread_([this] { Run(); }) {}
    ~DialogWatcher() {
        stop_ = true;
        thread_.join();
    }
    bool Seen() const { return seen_; }

private:
    static BOOL CALLBACK Find(HWND w, LPARAM p) {
        char cls[32] = {};
        GetClassNameA(w, cls, sizeof cls);
        if (std::strcmp(cls, "#32770") == 0 && IsWindowVisible(w)) {
            *reinterpret_cast<HWND*>(p) = w;
            return FALSE;
        }
        return TRUE;
    }
    void Run() {
        for (int i = 0; i < 1000 && !stop_; ++i) {
            HWND dialog = nullptr;
            EnumThreadWindows(uiThread_, Find, reinterpret_cast<LPARAM>(&dialog));
            if (dialog) {
                inspect_(dialog);
                seen_ = true;
                PostMessageA(dialog, WM_COMMAND, closeWith_, 0);
                return;
            }
            Sleep(10);
        }
    }
    DWORD uiThread_;
    std::function<void(HWND)> inspect_;
    WORD closeWith_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> seen_{false};
    std::thread thread_;
};

struct AboutBoxContents {
    std::string caption, text, button;
    LONG style = 0, buttonStyle = 0;
    bool hasIcon = false;
};

void ReadAboutBox(HWND dialog, AboutBoxContents& out) {
    char buffer[100] = {};
    GetWindowTextA(dialog, buffer, sizeof buffer);
    out.caption = buffer;
    out.style = GetWindowLongA(dialog, GWL_STYLE);
    HWND icon = GetDlgItem(dialog, IDC_ABOUT_ICON);
    out.hasIcon = icon && SendMessageA(icon, STM_GETICON, 0, 0) != 0;
    HWND button = GetDlgItem(dialog, IDOK);
    GetWindowTextA(button, buffer, sizeof buffer);
    out.button = buffer;
    out.buttonStyle = GetWindowLongA(button, GWL_STYLE);
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetDlgCtrlID(child) == -1 || GetDlgCtrlID(child) == 0xFFFF) {
            GetWindowTextA(child, buffer, sizeof buffer);
            out.text = buffer;
        }
    }
}

void ExpectAboutBox(const AboutBoxContents& c) {
    EXPECT_EQ(c.caption, "About");
    EXPECT_EQ(c.text, "QORVEX Version 1.0");
    EXPECT_EQ(c.button, "OK");
    EXPECT_EQ(c.buttonStyle & 0xF, BS_DEFPUSHBUTTON);
    EXPECT_TRUE(c.hasIcon) << "icon 107 in control 2";
    EXPECT_TRUE(c.style & WS_CAPTION);
    EXPECT_TRUE(c.style & WS_SYSMENU);
}

TEST_F(MainWindowTest, AboutCommandShowsTheAboutBoxUntilOk) {
    AboutBoxContents contents;
    LRESULT result;
    {
        DialogWatcher watcher([&](HWND d) { ReadAboutBox(d, contents); }, IDOK);
        result = SendMessageA(window, WM_COMMAND, IDM_ABOUT, 0);
        EXPECT_TRUE(watcher.Seen());
    }
    EXPECT_EQ(result, 0);
    ExpectAboutBox(contents);
}

TEST_F(MainWindowTest, AltQuestionMarkOpensTheAboutBoxThroughTheTable) {
    HACCEL table = LoadAcceleratorsA(Instance(), MAKEINTRESOURCEA(IDC_QORVEX));
    for (char c : {'?', '/'}) {
        AboutBoxContents contents;
        DialogWatcher watcher([&](HWND d) { ReadAboutBox(d, contents); }, IDCANCEL);
        MSG m = AltChar(window, c);
        AltDown alt;
        EXPECT_NE(TranslateAcceleratorA(window, table, &m), 0);
        EXPECT_TRUE(watcher.Seen()) << c;
        EXPECT_EQ(contents.caption, "About") << c;
    }
}

TEST(AboutDialogProc, EndsOnOkAndCancelOnly) {
    EXPECT_EQ(AboutDialogProc(nullptr, WM_INITDIALOG, 0, 0), TRUE);
    EXPECT_EQ(AboutDialogProc(nullptr, WM_COMMAND, 1234, 0), FALSE);
    EXPECT_EQ(AboutDialogProc(nullptr, WM_PAINT, 0, 0), FALSE);
}

// ---- Refresh tick ----------------------------------------------------------------

std::atomic<int32_t>* const dirtyFlags[] = {&tallyStore.meDirty, &tallyStore.extDirty, &tallyStore.ssDirty,
                                            &tallyStore.outDirty, &tallyStore.namesDirty};
const int32_t kinds[] = {128, 144, 160, 176, 192};

void SetAllFlags(int32_t value) {
    for (auto* flag : dirtyFlags) flag->store(value);
}

// Refresh messages waiting in the recorder's queue, removed; each must carry
// wParam 0 and lParam 0.
int TakeRefreshes(HWND recorder) {
    int n = 0;
    MSG m;
    while (PeekMessageA(&m, recorder, WM_TALLY_REFRESH, WM_TALLY_REFRESH, PM_REMOVE)) {
        EXPECT_EQ(m.wParam, 0u);
        EXPECT_EQ(m.lParam, 0);
        ++n;
    }
    return n;
}

TEST_F(MainWindowTest, TickPostsNothingWithoutARegisteredDisplay) {
    HWND recorder = CreateRecorder();
    KillTimer(window, REFRESH_TIMER);  // ticks by hand only
    ActiveDisplay.window = nullptr;
    SetAllFlags(1);
    for (int32_t kind : kinds) {
        ActiveDisplay.kind = kind;
        SendMessageA(window, WM_TIMER, REFRESH_TIMER, 0);
    }
    EXPECT_EQ(TakeRefreshes(recorder), 0);
    SetAllFlags(0);
    DestroyWindow(recorder);
}

TEST_F(MainWindowTest, TickPostsOneRefreshPerTickWhileTheDisplaysFlagIsSet) {
    HWND recorder = CreateRecorder();
    KillTimer(window, REFRESH_TIMER);
    for (int k = 0; k < 5; ++k) {
        SCOPED_TRACE(kinds[k]);
        ActiveDisplay.window = recorder;
        ActiveDisplay.kind = kinds[k];

        // Every other category dirty, its own clean: nothing.
        SetAllFlags(1);
        dirtyFlags[k]->store(0);
        SendMessageA(window, WM_TIMER, REFRESH_TIMER, 0);
        EXPECT_EQ(TakeRefreshes(recorder), 0);

        // Its own flag set: one per tick, and the tick leaves the flag set.
        SetAllFlags(0);
        dirtyFlags[k]->store(1);
        SendMessageA(window, WM_TIMER, REFRESH_TIMER, 0);
        EXPECT_EQ(TakeRefreshes(recorder), 1);
        SendMessageA(window, WM_TIMER, 99, 0);  // whatever the timer id
        SendMessageA(window, WM_TIMER, REFRESH_TIMER, 0);
        EXPECT_EQ(TakeRefreshes(recorder), 2);
        EXPECT_EQ(dirtyFlags[k]->load(), 1);
        dirtyFlags[k]->store(0);
        SendMessageA(window, WM_TIMER, REFRESH_TIMER, 0);
        EXPECT_EQ(TakeRefreshes(recorder), 0);
    }
    ActiveDisplay.window = nullptr;
    DestroyWindow(recorder);
}

TEST_F(MainWindowTest, TickIgnoresAnUnknownKind) {
    HWND recorder = CreateRecorder();
    KillTimer(window, REFRESH_TIMER);
    ActiveDisplay.window = recorder;
    SetAllFlags(1);
    for (int32_t kind : {0, 127, 129, 200, -128}) {
        ActiveDisplay.kind = kind;
        SendMessageA(window, WM_TIMER, REFRESH_TIMER, 0);
    }
    EXPECT_EQ(TakeRefreshes(recorder), 0);
    SetAllFlags(0);
    ActiveDisplay.window = nullptr;
    DestroyWindow(recorder);
}

TEST_F(MainWindowTest, TheRealTimerDeliversTheRefresh) {
    HWND recorder = CreateRecorder();
    ActiveDisplay.window = recorder;
    ActiveDisplay.kind = 192;
    SetAllFlags(0);
    tallyStore.namesDirty = 1;
    // Pump until the 500 ms timer has fired; give it up to 5 s on a busy machine.
    int refreshes = 0;
    for (int i = 0; i < 500 && refreshes == 0; ++i) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        refreshes += static_cast<int>(recorded.size());
        recorded.clear();
        Sleep(10);
    }
    EXPECT_GE(refreshes, 1);
    tallyStore.namesDirty = 0;
    ActiveDisplay.window = nullptr;
    DestroyWindow(recorder);
}

// An idle program must not wake for recordings: KillTimer tells whether the
// recording tick was set (false when it was not).
TEST_F(MainWindowTest, RecordingTickRunsOnlyWhileARecordingIsOpen) {
    EXPECT_FALSE(KillTimer(window, RECORDING_TIMER));
    char path[MAX_PATH];
    GetTempPathA(MAX_PATH, path);
    lstrcatA(path, "qorvex_tick_test.pcap");
    ASSERT_EQ(RecordingStart(window, path), 1);
    EXPECT_TRUE(KillTimer(window, RECORDING_TIMER));
    SetTimer(window, RECORDING_TIMER, RECORDING_PERIOD_MS, nullptr);
    RecordingStop(window);
    EXPECT_FALSE(KillTimer(window, RECORDING_TIMER));
    DeleteFileA(path);
}

// ---- Commands and the loop -------------------------------------------------------

// DefWindowProcA as the application's code imports it, replaced for one test
// by patching this executable's import address table.
struct DefCall {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<DefCall> defCommandCalls;
using DefProcFn = LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
DefProcFn realDefWindowProcA = nullptr;

LRESULT WINAPI RecordingDefWindowProcA(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_COMMAND) defCommandCalls.push_back({w, m, wp, lp});
    return realDefWindowProcA(w, m, wp, lp);
}

// Replaces the import slot holding `from` with `to`; false when none holds it.
bool PatchImport(void* from, void* to) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool patched = false;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
        for (auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk); thunk->u1.Function; ++thunk) {
            void** slot = reinterpret_cast<void**>(&thunk->u1.Function);
            if (*slot != from) continue;
            DWORD old;
            VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
            *slot = to;
            VirtualProtect(slot, sizeof(void*), old, &old);
            patched = true;
        }
    }
    return patched;
}

TEST_F(MainWindowTest, UnknownCommandReachesDefWindowProcAUnchanged) {
    realDefWindowProcA = reinterpret_cast<DefProcFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "DefWindowProcA")));
    ASSERT_TRUE(PatchImport(reinterpret_cast<void*>(realDefWindowProcA),
                            reinterpret_cast<void*>(RecordingDefWindowProcA)))
        << "DefWindowProcA import not found";
    defCommandCalls.clear();
    const WPARAM wParam = MAKEWPARAM(40000, 7);
    const LPARAM lParam = 0x12345;
    SendMessageA(window, WM_COMMAND, wParam, lParam);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_SHOW_NAMES + 1, 0), 0);
    PatchImport(reinterpret_cast<void*>(RecordingDefWindowProcA), reinterpret_cast<void*>(realDefWindowProcA));
    ASSERT_EQ(defCommandCalls.size(), 2u);
    EXPECT_EQ(defCommandCalls[0].window, window);
    EXPECT_EQ(defCommandCalls[0].message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(defCommandCalls[0].wParam, wParam);
    EXPECT_EQ(defCommandCalls[0].lParam, lParam);
    EXPECT_EQ(LOWORD(defCommandCalls[1].wParam), IDM_SHOW_NAMES + 1);
}

TEST_F(MainWindowTest, ExitDestroysTheWindowAndTheLoopEndsWithZero) {
    HACCEL table = LoadAcceleratorsA(Instance(), MAKEINTRESOURCEA(IDC_QORVEX));
    PostMessageA(window, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(AppRunLoop(table), 0);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(MainWindowTest, CloseBoxAlsoEndsTheLoopWithZero) {
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(AppRunLoop(nullptr), 0);
    EXPECT_FALSE(IsWindow(window));
}

// The exit question's answers and what it was shown.
int exitAnswer = IDCANCEL;
std::vector<std::string> exitAsked;
int FakeExitQuestion(HWND, const std::string& files) {
    exitAsked.push_back(files);
    return exitAnswer;
}

TEST_F(MainWindowTest, ExitAsksOnceWhileConnectedWithALogOrRecordingOpenAndCancelKeepsTheWindow) {
    MainWindowRecord* app = MainWindowFrom(window);
    ASSERT_NE(app, nullptr);
    app->exitQuestion = FakeExitQuestion;
    exitAsked.clear();
    SessionState* s = SessionFromWindow(window);
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string log = std::string(folder) + "qorvex_exit_test.tsv";
    const std::string rec = std::string(folder) + "qorvex_exit_test.qrec";
    DeleteFileA(log.c_str());
    ASSERT_EQ(HistoryLogStart(window, log.c_str()), 1);

    // Open but not connected: nothing more would reach the file, no question.
    EXPECT_EQ(AppOpenFiles(window), "");
    // Connected (the flag alone: no port is needed to be asked).
    s->link.connected.store(1);
    ASSERT_EQ(RecordingStart(window, rec.c_str()), 1);
    exitAnswer = IDCANCEL;
    SendMessageA(window, WM_COMMAND, IDM_EXIT, 0);
    ASSERT_EQ(exitAsked.size(), 1u);
    EXPECT_TRUE(IsWindow(window)) << "Cancel keeps the program";
    EXPECT_EQ(exitAsked[0], "Log: " + log + "\nRecording: " + rec + "\n");
    EXPECT_TRUE(HistoryLogging(window)) << "and the log open";
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(exitAsked.size(), 2u) << "the close box asks too";
    EXPECT_TRUE(IsWindow(window));

    // Nothing open any more: Exit ends at once without asking.
    RecordingStop(window);
    HistoryLogStop(window);
    EXPECT_EQ(AppOpenFiles(window), "");
    exitAnswer = IDOK;
    HistoryLogStart(window, log.c_str());
    SendMessageA(window, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(exitAsked.size(), 3u);
    EXPECT_FALSE(IsWindow(window)) << "Exit ends the program";
    s->link.connected.store(0);

    // The log says it was stopped by the exit.
    HANDLE f = CreateFileA(log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    char buffer[4096] = {};
    DWORD got = 0;
    ReadFile(f, buffer, sizeof buffer - 1, &got, nullptr);
    CloseHandle(f);
    const std::string text(buffer, got);
    EXPECT_NE(text.find("\tlog-stop\t\t\tStop Logging\n"), std::string::npos) << text;
    const std::string last = "\tlog-stop\t\t\texit\n";
    ASSERT_GT(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last) << text;
    DeleteFileA(log.c_str());
    DeleteFileA(rec.c_str());
}

TEST_F(MainWindowTest, PaintValidatesTheUpdateRegion) {
    InvalidateRect(window, nullptr, TRUE);
    EXPECT_EQ(SendMessageA(window, WM_PAINT, 0, 0), 0);
    RECT r;
    EXPECT_FALSE(GetUpdateRect(window, &r, FALSE));
}

}  // namespace
