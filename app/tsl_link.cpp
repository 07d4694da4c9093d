// TSL in the application: the outputs and the hub check of --tsl-out and
// --tsl-in. The receiver only wakes the outputs' thread when a read has been
// stored (the sink's `fed`: an event set, nothing allocated, nothing waited
// on); that thread reads the store and sends a change at once, and the
// refresh every 100 ms at the latest. The hub's packets and the comparison
// run on a 100 ms timer of the window. One lock keeps those two threads
// apart; neither ever waits on the network (the senders and the listener
// have threads of their own). The comparison's events become history rows
// (kind hub, so log lines too), and each divergence a watch alarm (rule hub).
#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "app/app.h"
#include "app/session.h"
#include "app/watch_app.h"
#include "history/history.h"
#include "onair/onair_view.h"
#include "tally/store.h"
#include "tsl/tsl_net.h"
#include "watch/watch.h"

struct AppTsl {
    std::mutex mutex;
    std::unique_ptr<TslOutputs> outputs;
    TslListener listener;
    std::unique_ptr<TslHubCheck> check;
    std::string listenError;
    OnAirInputs inputs, last;
    OnAirTally tally;
    bool started = false;
    HANDLE wake = nullptr;    // set by the receiver after each stored read
    HANDLE thread = nullptr;  // the outputs' thread
    std::atomic<bool> stopping{false};
};

namespace {

constexpr UINT_PTR TSL_TIMER = 23;
constexpr UINT TSL_TIMER_MS = 100;

// With the lock held: the store's state, and what a change or the refresh calls for.
void Update(AppTsl& t, int64_t nowMs) {
    OnAirReadStore(tallyStore, t.inputs);
    const bool changed = !t.started || !OnAirInputsEqual(t.inputs, t.last);
    if (changed) {
        t.started = true;
        t.last = t.inputs;
        OnAirDerive(t.inputs.me, t.inputs.out, t.tally);
        if (t.check) t.check->Switcher(t.tally, t.inputs, nowMs);
    }
    if (t.outputs && (changed || nowMs >= t.outputs->NextDueMs())) t.outputs->Update(t.tally, t.inputs, nowMs);
}

// The comparison's events, outside the lock: a row each ("diverged: ...",
// "agrees: ...", "stale: ..."), and for a divergence the alarm after its row.
void Report(HWND window, const std::vector<TslCompareEvent>& events) {
    for (const TslCompareEvent& c : events) {
        const std::string text = TslEventText(c);
        HistoryEvent e;
        std::memset(&e, 0, sizeof e);
        e.kind = EVENT_HUB;
        e.code = c.kind;
        const char* what = c.kind == TSL_DIVERGED ? "diverged: " : c.kind == TSL_AGREED ? "agrees: " : "stale: ";
        const int64_t timeMs = HistoryAddRow(window, e, what + text);
        if (c.kind != TSL_DIVERGED) continue;
        WatchAlarm a;
        a.timeUs = static_cast<uint64_t>(timeMs) * 1000;
        a.rule = WATCH_HUB;
        a.source = c.source;
        a.us = c.ms * 1000;
        a.text = text;
        WatchAppRaise(window, a);
    }
}

DWORD WINAPI OutputsThread(LPVOID parameter) {
    AppTsl& t = *static_cast<AppTsl*>(parameter);
    while (!t.stopping.load()) {
        WaitForSingleObject(t.wake, TSL_TIMER_MS);  // a stored read, or the refresh's turn
        if (t.stopping.load()) break;
        std::lock_guard<std::mutex> lock(t.mutex);
        Update(t, TslNowMs());
    }
    return 0;
}

}  // namespace

void AppTslStart(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    SessionState* s = SessionFromWindow(window);
    if (!app || !s || (app->options.tslOut.empty() && app->options.tslIn.empty())) return;
    app->tsl = new AppTsl;  // kept for the process's life, like the window's other records
    AppTsl& t = *app->tsl;
    std::vector<TslEndpoint> destinations;
    std::string error;
    for (const std::string& text : app->options.tslOut) {
        TslEndpoint e;
        if (TslParseDestination(text, e, error)) destinations.push_back(e);
    }
    TslMapConfig map;
    map.oneMessagePerPacket = app->options.tslOneMessage;
    if (!destinations.empty()) t.outputs.reset(new TslOutputs(destinations, map));
    TslEndpoint at;
    if (!app->options.tslIn.empty() && TslParseListener(app->options.tslIn, at, error)) {
        if (t.listener.Start(at, error))
            t.check.reset(new TslHubCheck(map));
        else
            t.listenError = error;  // said in the status bar; the outputs still run
    }
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        Update(t, TslNowMs());
    }
    t.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (t.wake) t.thread = CreateThread(nullptr, 0, OutputsThread, &t, 0, nullptr);
    SetTimer(window, TSL_TIMER, TSL_TIMER_MS, nullptr);
}

void AppTslFed(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (app && app->tsl && app->tsl->wake) SetEvent(app->tsl->wake);
}

bool AppTslTimer(HWND window, UINT_PTR timer) {
    if (timer != TSL_TIMER) return false;
    MainWindowRecord* app = MainWindowFrom(window);
    if (!app || !app->tsl) return true;
    AppTsl& t = *app->tsl;
    std::vector<TslCompareEvent> events;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        const int64_t now = TslNowMs();
        if (t.check) t.check->Heard(t.listener.Take());
        Update(t, now);
        if (t.check) {
            t.check->Poll(now, events);
            // The hub's lamp of each source (the default map: index = source) on its On Air tile.
            uint8_t hub[ONAIR_SOURCE_VALUES];
            for (int source = 0; source < ONAIR_SOURCE_VALUES; ++source) {
                const uint16_t index = static_cast<uint16_t>(source);
                hub[source] = t.check->Comparator().HubHeardOf(index)
                                  ? static_cast<uint8_t>(t.check->Comparator().HubLevel(index))
                                  : ONAIR_HUB_NONE;
            }
            OnAirViewSetHub(window, hub);
        }
    }
    // Rows, log lines and alarms after the lock: the outputs' thread never waits on them.
    Report(window, events);
    return true;
}

std::string AppTslStatus(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (!app || !app->tsl) return std::string();
    AppTsl& t = *app->tsl;
    std::lock_guard<std::mutex> lock(t.mutex);
    std::string text = t.outputs ? t.outputs->StateText() : std::string();
    const std::string hub = !t.listenError.empty() ? "TSL in " + t.listenError : t.check ? t.check->StateText() : "";
    if (!hub.empty()) text += (text.empty() ? "" : " | ") + hub;
    return text;
}

void AppTslStop(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (!app || !app->tsl) return;
    KillTimer(window, TSL_TIMER);
    AppTsl& t = *app->tsl;
    t.stopping.store(true);
    if (t.thread) {
        SetEvent(t.wake);
        WaitForSingleObject(t.thread, 5000);
        CloseHandle(t.thread);
        t.thread = nullptr;
    }
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.outputs) t.outputs->Stop(500);
    t.listener.Stop();
}
