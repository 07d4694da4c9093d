// The watch in the main window: rules fed as the history drains, alarms as
// history rows and log lines, the status bar's count, the Watch menu, sound
// and flash, and the kept recordings' own thread.
#include "app/watch_app.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "app/app.h"
#include "app/session.h"
#include "history/book.h"
#include "history/history.h"
#include "history/log_format.h"
#include "recording/recording.h"
#include "recording/recording_app.h"
#include "resources/resource.h"
#include "watch/keep_stream.h"
#include "watch/watch.h"

namespace {

// Capture entries between the recording's drain and the kept files: the
// keeper drains it every KEEP_PERIOD_MS, so a few MB hold seconds at full rate.
constexpr size_t KEEP_RING_BYTES = size_t(2) << 20;
constexpr DWORD KEEP_PERIOD_MS = 100;
// An alarm is taken into the stream once the stream has passed its time, or
// at the latest this long after it: the recording's writer hands entries on
// within 200 ms.
constexpr uint64_t KEEP_SETTLE_US = 1000000;

// The kept recordings' thread and what it shares with the window's.
struct Keeper {
    CaptureRing ring;                    // producer: the recording's tap (under its lock); consumer: the thread
    CRITICAL_SECTION lock;               // guards inbox
    std::deque<WatchAlarm> inbox;        // alarms from the window's thread
    HANDLE thread = nullptr, wake = nullptr;
    std::atomic<bool> run{true};
    std::atomic<uint64_t> deleted{0};    // files the budget removed
    std::atomic<uint64_t> failed{0};     // files that could not be written
    KeepStream stream;                   // the thread's own
    std::unique_ptr<uint8_t[]> scratch;
};

void TakeWaiting(Keeper& k, uint64_t untilUs) {
    {
        EnterCriticalSection(&k.lock);
        for (const WatchAlarm& a : k.inbox) KeepStreamAlarm(k.stream, a);
        k.inbox.clear();
        LeaveCriticalSection(&k.lock);
    }
    CaptureEntry entry;
    while (CapturePop(k.ring, entry, k.scratch.get())) KeepStreamTake(k.stream, entry);
    KeepStreamSettle(k.stream, untilUs);
    k.deleted.store(k.stream.files.deleted);
    k.failed.store(k.stream.files.failed);
}

DWORD WINAPI KeeperThread(LPVOID parameter) {
    Keeper& k = *static_cast<Keeper*>(parameter);
    while (k.run.load()) {
        WaitForSingleObject(k.wake, KEEP_PERIOD_MS);
        const uint64_t now = RecordingNowUs();
        TakeWaiting(k, now > KEEP_SETTLE_US ? now - KEEP_SETTLE_US : 0);
    }
    return 0;
}

void KeeperTap(void* context, const CaptureEntry& e) {
    CapturePush(static_cast<Keeper*>(context)->ring, e.timeUs, e.kind, e.code, e.bytes, e.length);
}

// Kept files already in the folder (names as the keeper makes them), for the budget.
std::vector<KeptFile> ListKept(const std::string& folder) {
    std::vector<KeptFile> files;
    // The folder is UTF-8: listed through the wide call, as the files are
    // made and deleted, so a name outside the ANSI code page lists its own.
    const std::string pattern = folder + "\\*.pcap";
    std::wstring wide(pattern.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, pattern.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    if (n <= 0) return files;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(wide.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
        char name[MAX_PATH * 3] = "";
        WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, nullptr, nullptr);
        const char* n = name;
        bool ours = std::strlen(n) > 20 && n[8] == '-' && n[15] == '.' && n[19] == '-';
        for (int i = 0; ours && i < 8; ++i) ours = n[i] >= '0' && n[i] <= '9';
        if (ours && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back({n, (uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow});
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return files;
}

// A JSON string of UTF-8 text: quotes, backslashes and control bytes escaped.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The alarm as MQTT carries it: the keys of tallydump --watch that apply
// (the time as `t`, seconds since 1970 with microseconds).
std::string AlarmJson(const WatchAlarm& a) {
    char number[64];
    std::snprintf(number, sizeof number, "{\"rule\":\"%s\",\"t\":%llu.%06u", WatchRuleName(a.rule),
                  static_cast<unsigned long long>(a.timeUs / 1000000), static_cast<unsigned>(a.timeUs % 1000000));
    std::string json = number;
    if (a.me) json += ",\"me\":" + std::to_string(a.me);
    if (a.level != WATCH_LEVEL_NONE) json += std::string(",\"level\":\"") + WatchLevelName(a.level) + "\"";
    if (a.source >= 0) json += ",\"source\":" + std::to_string(a.source);
    if (a.output) json += ",\"output\":" + std::to_string(a.output);
    if (a.glitch != WATCH_GLITCH_NONE) json += std::string(",\"glitch\":\"") + WatchGlitchName(a.glitch) + "\"";
    if (a.us >= 0) {
        std::snprintf(number, sizeof number, ",\"ms\":%lld.%03d", static_cast<long long>(a.us / 1000),
                      static_cast<int>(a.us % 1000));
        json += number;
    }
    if (a.type >= 0) {
        std::snprintf(number, sizeof number, ",\"type\":\"0x%02X\"", a.type);
        json += number;
    }
    if (a.count >= 0) json += ",\"count\":" + std::to_string(a.count);
    // A storm's summary: the alarms of its rule it stands for.
    if (a.more) json += ",\"more\":" + std::to_string(a.more);
    return json + ",\"text\":" + JsonString(a.text) + "}";
}

// Opt-in figures for `make bench` (QORVEX_BENCH_STATS names a file written at
// exit): the window thread's time in the watch against its whole CPU time,
// and each alarm's cause time against the moment its row joins the history.
// Off by default; kept on the window thread and in fixed storage.
constexpr int BENCH_ALARMS = 256;
struct BenchStats {
    std::wstring path;
    LARGE_INTEGER frequency = {};
    int64_t watchTicks = 0;     // QueryPerformanceCounter ticks spent in the watch
    uint64_t events = 0;        // events fed
    uint64_t cpuStart100ns = 0; // the window thread's CPU time at start
    uint64_t wallStartUs = 0;
    uint64_t cpuEnd100ns = 0, endUs = 0;  // at exit, before the lookups are timed
    struct Alarm {
        int rule;
        uint64_t causeUs, joinedUs;
    } alarms[BENCH_ALARMS];
    int alarmCount = 0;
    uint64_t alarmsDropped = 0;
};

uint64_t ThreadCpu100ns() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    return ((uint64_t(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime) +
           ((uint64_t(user.dwHighDateTime) << 32) | user.dwLowDateTime);
}

BenchStats* BenchStatsFromEnvironment() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"QORVEX_BENCH_STATS", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    BenchStats* b = new BenchStats;
    b->path = path;
    QueryPerformanceFrequency(&b->frequency);
    b->cpuStart100ns = ThreadCpu100ns();
    b->wallStartUs = RecordingNowUs();
    return b;
}

void BenchStatsWrite(const BenchStats& b, double lookupUs, double lookupCpuUs) {
    const double freq = b.frequency.QuadPart > 0 ? double(b.frequency.QuadPart) : 1.0;
    std::string text;
    char line[160];
    // Each event finds the watch's record through the window (a property,
    // which under Wine is a round trip to its server) before the timed part.
    std::snprintf(line, sizeof line, "lookup-us %.3f\nlookup-cpu-us %.3f\n", lookupUs, lookupCpuUs);
    text += line;
    std::snprintf(line, sizeof line, "seconds %.3f\nwindow-thread-cpu-us %llu\nwatch-us %.0f\nwatch-events %llu\n",
                  (b.endUs - b.wallStartUs) / 1e6, static_cast<unsigned long long>((b.cpuEnd100ns - b.cpuStart100ns) / 10),
                  b.watchTicks * 1e6 / freq, static_cast<unsigned long long>(b.events));
    text += line;
    for (int i = 0; i < b.alarmCount; ++i) {
        std::snprintf(line, sizeof line, "alarm %s %llu %llu\n", WatchRuleName(static_cast<WatchRule>(b.alarms[i].rule)),
                      static_cast<unsigned long long>(b.alarms[i].causeUs),
                      static_cast<unsigned long long>(b.alarms[i].joinedUs));
        text += line;
    }
    std::snprintf(line, sizeof line, "alarms-not-kept %llu\n", static_cast<unsigned long long>(b.alarmsDropped));
    text += line;
    HANDLE file = CreateFileW(b.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

int64_t BenchNow(const BenchStats* b) {
    if (!b) return 0;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int LocalOffsetSeconds() {
    TIME_ZONE_INFORMATION zone;
    const DWORD which = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;
    if (which == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
    else if (which == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
    return static_cast<int>(-bias * 60);
}

}  // namespace

struct WatchAppState {
    WatchSettings settings;
    std::unique_ptr<Watch> watch;
    std::vector<WatchAlarm> raised;  // scratch, cleared after each event
    uint64_t alarmsCleared = 0;      // the watch's count at Clear Alarms
    uint64_t deletedSeen = 0, failedSeen = 0;
    std::string keepFolder;          // this run's ("" when off)
    bool keepFromCommandLine = false;
    std::unique_ptr<Keeper> keeper;
    std::unique_ptr<BenchStats> bench;  // null unless QORVEX_BENCH_STATS is set
};

namespace {

WatchAppState* State(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    return app ? app->watch : nullptr;
}

void StopKeeper(HWND window, WatchAppState& w) {
    if (!w.keeper) return;
    RecordingViewPump(window);  // what the stream still holds (a disconnect at exit) reaches the file
    RecordingSetTap(window, nullptr, nullptr);
    Keeper& k = *w.keeper;
    if (k.thread) {
        k.run.store(false);
        SetEvent(k.wake);
        WaitForSingleObject(k.thread, INFINITE);
        CloseHandle(k.thread);
    }
    TakeWaiting(k, 0);
    KeepStreamClose(k.stream, RecordingNowUs());
    if (k.wake) CloseHandle(k.wake);
    DeleteCriticalSection(&k.lock);
    w.keeper.reset();
}

void StartKeeper(HWND window, WatchAppState& w) {
    StopKeeper(window, w);
    w.keepFolder = w.keepFromCommandLine ? w.keepFolder : (w.settings.keep ? w.settings.keepFolder : "");
    if (w.keepFolder.empty()) return;
    std::unique_ptr<Keeper> k(new Keeper);
    CaptureRingInit(k->ring, KEEP_RING_BYTES);
    InitializeCriticalSection(&k->lock);
    k->scratch.reset(new uint8_t[CAPTURE_MAX_BYTES]);
    KeepConfig config;
    config.beforeS = w.settings.keepBeforeS;
    config.afterS = w.settings.keepAfterS;
    config.budgetBytes = static_cast<uint64_t>(w.settings.keepBudgetMB) << 20;
    KeepStreamInit(k->stream, config, w.keepFolder, LocalOffsetSeconds(), ListKept(w.keepFolder));
    k->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    k->thread = CreateThread(nullptr, 0, KeeperThread, k.get(), 0, nullptr);
    w.deletedSeen = w.failedSeen = 0;
    RecordingSetTap(window, KeeperTap, k.get());
    w.keeper = std::move(k);
}

void UpdateMenu(HWND window, const WatchAppState& w) {
    HMENU menu = GetMenu(window);
    if (!menu) return;
    CheckMenuItem(menu, IDM_WATCH_SOUND, MF_BYCOMMAND | (w.settings.sound ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(menu, IDM_WATCH_FLASH, MF_BYCOMMAND | (w.settings.flash ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(menu, IDM_WATCH_KEEP, MF_BYCOMMAND | (w.keeper ? MF_CHECKED : MF_UNCHECKED));
}

// A row of the Alarms category that is not an alarm (the keeper's news).
void Note(HWND window, const std::string& details) {
    HistoryEvent e;
    std::memset(&e, 0, sizeof e);
    e.timeMs = HistoryNowMs();
    e.kind = EVENT_ALARM;
    e.code = WATCH_NOTE;
    HistoryAddAlarm(window, e, details);
}

void Raise(HWND window, WatchAppState& w) {
    for (const WatchAlarm& a : w.raised) {
        HistoryEvent e;
        std::memset(&e, 0, sizeof e);
        e.timeMs = static_cast<int64_t>(a.timeUs / 1000);
        e.kind = EVENT_ALARM;
        e.code = a.rule;
        // The type of the message that raised it (the bytes stay with that
        // message's own row); a silence or a stale type has none of its own.
        if (!a.causes.empty() && a.rule != WATCH_SILENCE && a.rule != WATCH_STALE) e.type = a.causes.back().type;
        if (a.type >= 0) e.type = static_cast<uint8_t>(a.type);
        HistoryAddAlarm(window, e, std::string(WatchRuleName(a.rule)) + ": " + a.text);
        if (BenchStats* b = w.bench.get()) {
            // The cause: the message that ended the glitch, as the receiver stamped it.
            const uint64_t cause = a.causes.empty() ? a.timeUs : a.causes.back().timeUs;
            if (b->alarmCount < BENCH_ALARMS) b->alarms[b->alarmCount++] = {a.rule, cause, RecordingNowUs()};
            else ++b->alarmsDropped;
        }
        AppMqttAlarm(window, AlarmJson(a));
        if (w.keeper) {
            EnterCriticalSection(&w.keeper->lock);
            w.keeper->inbox.push_back(a);
            LeaveCriticalSection(&w.keeper->lock);
        }
    }
    if (w.raised.empty()) return;
    if (w.settings.sound) MessageBeep(MB_ICONEXCLAMATION);
    if (w.settings.flash && GetForegroundWindow() != window) {
        FLASHWINFO flash = {sizeof flash, window, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
        FlashWindowEx(&flash);
    }
    w.raised.clear();
}

}  // namespace

WatchConfig WatchConfigFromSettings(const WatchSettings& s) {
    WatchConfig c;
    static_assert(WATCH_SETTING_RULES == WATCH_RULE_COUNT, "one saved switch per rule");
    for (int i = 0; i < WATCH_RULE_COUNT; ++i) c.on[i] = s.rule[i] != 0;
    c.flickerMs = static_cast<uint32_t>(s.flickerMs);
    c.staleMinS = s.staleMinS;
    c.silenceS = s.silenceS;
    c.errorsN = static_cast<uint32_t>(s.errorsN);
    c.errorsT = s.errorsT;
    // The window shows a storm folded: rows cost the window's thread and
    // bury the first glitches, which are the ones an engineer reads.
    c.foldRows = WATCH_FOLD_ROWS;
    return c;
}

void WatchAppCreate(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (!app) return;
    if (!app->watch) app->watch = new WatchAppState;
    WatchAppState& w = *app->watch;
    w.settings = ConfigLoadWatch(ConfigActive());
    w.watch.reset(new Watch);
    WatchInit(*w.watch, WatchConfigFromSettings(w.settings));
    w.bench.reset(BenchStatsFromEnvironment());
    StartKeeper(window, w);
    UpdateMenu(window, w);
}

void WatchAppKeepThisRun(HWND window, const std::string& folder) {
    WatchAppState* w = State(window);
    if (!w) return;
    w->keepFromCommandLine = true;
    w->keepFolder = folder;
    StartKeeper(window, *w);
    UpdateMenu(window, *w);
}

void WatchAppApplyRules(HWND window, const WatchConfig& config) {
    WatchAppState* w = State(window);
    if (w && w->watch) w->watch->config = config;
}

void WatchAppTake(HWND window, const HistoryEvent& event) {
    WatchAppState* w = State(window);
    if (!w || !w->watch) return;
    // The operator's Reset Counters is no news from the switcher.
    if (event.kind == EVENT_RESET && event.code == HISTORY_RESET_BY_USER) return;
    const int64_t t0 = BenchNow(w->bench.get());
    WatchFeed(*w->watch, WatchEventFromHistory(event), w->raised);
    if (!w->raised.empty()) Raise(window, *w);
    if (w->bench) {
        w->bench->watchTicks += BenchNow(w->bench.get()) - t0;
        ++w->bench->events;
    }
}

void WatchAppRaise(HWND window, const WatchAlarm& alarm) {
    WatchAppState* w = State(window);
    if (!w) return;
    w->raised.push_back(alarm);
    Raise(window, *w);
}

void WatchAppTick(HWND window) {
    WatchAppState* w = State(window);
    if (!w || !w->watch) return;
    // Only an open port has a clock the rules may compare with: a replay's
    // events carry their recorded times.
    const int64_t t0 = BenchNow(w->bench.get());
    const SessionState* s = SessionFromWindow(window);
    const bool replay = ReplayRunning(window);
    if (s && s->link.connected.load() && !replay) {
        if (!HistoryCatchingUp(window)) WatchTick(*w->watch, RecordingNowUs(), w->raised);
    }
    // No port and no replay: nothing more comes, so a storm's count is told now.
    else if (!replay) WatchFlush(*w->watch, w->raised);
    if (!w->raised.empty()) Raise(window, *w);
    if (w->bench) w->bench->watchTicks += BenchNow(w->bench.get()) - t0;
    if (!w->keeper) return;
    const uint64_t deleted = w->keeper->deleted.load(), failed = w->keeper->failed.load();
    if (deleted > w->deletedSeen)
        Note(window, "kept recordings: " + std::to_string(deleted - w->deletedSeen) +
                         " oldest deleted for the disk budget (" + std::to_string(deleted) + " this run)");
    if (failed > w->failedSeen)
        Note(window, "kept recordings: " + std::to_string(failed - w->failedSeen) + " could not be written in " +
                         w->keepFolder);
    w->deletedSeen = deleted;
    w->failedSeen = failed;
}

void WatchAppDestroy(HWND window) {
    WatchAppState* w = State(window);
    if (!w) return;
    StopKeeper(window, *w);
    if (w->bench) {
        BenchStats& b = *w->bench;
        b.cpuEnd100ns = ThreadCpu100ns();
        b.endUs = RecordingNowUs();
        // Enough lookups for the thread's CPU clock (10 ms steps under Wine).
        constexpr int LOOKUPS = 20000;
        const int64_t t0 = BenchNow(&b);
        int found = 0;
        for (int i = 0; i < LOOKUPS; ++i) found += State(window) != nullptr;
        const double us = (BenchNow(&b) - t0) * 1e6 / double(b.frequency.QuadPart) / LOOKUPS;
        const double cpuUs = (ThreadCpu100ns() - b.cpuEnd100ns) / 10.0 / LOOKUPS;
        BenchStatsWrite(b, found ? us : 0, found ? cpuUs : 0);
    }
    w->bench.reset();
}

uint64_t WatchAppAlarms(HWND window) {
    // Every alarm, folded ones included: the count says how bad the storm was,
    // the rows what it was made of.
    WatchAppState* w = State(window);
    return w && w->watch ? WatchAlarmsRaised(*w->watch) - w->alarmsCleared : 0;
}

std::string WatchAppStatusText(HWND window) {
    const uint64_t n = WatchAppAlarms(window);
    return n ? "Alarms " + std::to_string(n) : "No alarms";
}

std::string WatchAppKeepFolder(HWND window) {
    WatchAppState* w = State(window);
    return w && w->keeper ? w->keepFolder : std::string();
}

int WatchAppCommand(HWND window, int id) {
    WatchAppState* state = State(window);
    if (!state) return 0;
    WatchAppState& w = *state;
    const WatchSettings before = w.settings;
    switch (id) {
    case IDM_WATCH_RULES:
        if (!WatchRulesDialog(window, w.settings)) return 1;
        // New thresholds apply from now on; what the watch holds stays.
        w.watch->config = WatchConfigFromSettings(w.settings);
        break;
    case IDM_WATCH_SOUND: w.settings.sound = !w.settings.sound; break;
    case IDM_WATCH_FLASH: w.settings.flash = !w.settings.flash; break;
    case IDM_WATCH_KEEP:
        if (!WatchKeepDialog(window, w.settings)) return 1;
        // The operator's choice replaces this run's --watch-keep.
        w.keepFromCommandLine = false;
        StartKeeper(window, w);
        break;
    case IDM_WATCH_CLEAR:
        w.alarmsCleared = WatchAlarmsRaised(*w.watch);
        StatusBarUpdate(window);
        return 1;
    default: return 0;
    }
    ConfigSaveWatch(ConfigActive(), before, w.settings);
    UpdateMenu(window, w);
    return 1;
}
