// TSL in the application: the outputs and the hub check of the saved
// settings (Network -> Tally Outputs... and Compare with TSL Input...) with
// --tsl-out and --tsl-in over them; AppTslApply puts new settings to work at
// once. The receiver only wakes the outputs' thread when a read has been
// stored (the sink's `fed`: an event set, nothing allocated, nothing waited
// on); that thread reads the store and sends a change at once, and the
// refresh every 100 ms at the latest. The hub's packets and the comparison
// run on a 100 ms timer of the window. One lock keeps those two threads
// apart; neither ever waits on the network (the senders and the listener
// have threads of their own). The comparison's events become history rows
// (kind hub, so log lines too), and each divergence a watch alarm (rule hub).
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "app/app.h"
#include "app/session.h"
#include "app/watch_app.h"
#include "config/tsl_config.h"
#include "history/history.h"
#include "onair/onair_view.h"
#include "tally/store.h"
#include "tsl/tsl_net.h"
#include "watch/watch.h"

struct AppTsl {
    TslSettings settings;  // this run's: saved, with the command line over them
    // Outputs replaced by Apply, flushing on their own; the finished ones are
    // joined at the next Apply, so the list holds only those still flushing.
    struct Retiring {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Retiring> retiring;
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
    if (!t.outputs && !t.check) return;  // nothing configured: the store is not read
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

// The first destination sent to: the hub is read back through its map (the
// same map read backwards), or through the default map (index = source)
// when nothing is sent.
const TslDestinationConfig* FirstSent(const TslSettings& s) {
    for (const TslDestinationConfig& d : s.outputs)
        if (d.enabled) return &d;
    return nullptr;
}

bool SameMap(const TslDestinationConfig* a, const TslDestinationConfig* b) {
    return a == b || (a && b && *a == *b);
}

// The outputs and the listener of `s`. The outputs replaced go on a thread
// of their own (a sender may be flushing or still connecting); the listener
// is stopped here, as its replacement may want the same port (its thread
// notices within 100 ms).
void Apply(AppTsl& t, const TslSettings& s, bool oneMessage) {
    std::vector<TslOutputs::Destination> list;
    for (const TslDestinationConfig& d : s.outputs) {
        if (!d.enabled) continue;
        TslMapConfig map = TslDestinationMap(d);
        map.oneMessagePerPacket = oneMessage;
        list.push_back({d.endpoint, map});
    }
    std::unique_ptr<TslOutputs> outputs(list.empty() ? nullptr : new TslOutputs(list, s.refreshMs));
    const bool listenerChanged = !t.started || s.inEnabled != t.settings.inEnabled ||
                                 s.listener != t.settings.listener || s.toleranceMs != t.settings.toleranceMs ||
                                 !SameMap(FirstSent(s), FirstSent(t.settings));
    if (listenerChanged) t.listener.Stop();
    std::unique_ptr<TslOutputs> old;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        old = std::move(t.outputs);
        t.outputs = std::move(outputs);
        if (listenerChanged) {
            t.check.reset();
            t.listenError.clear();
            TslEndpoint at;
            std::string error;
            if (s.inEnabled && TslParseListener(s.listener, at, error)) {
                TslCompareConfig compare;
                compare.toleranceMs = s.toleranceMs;
                const TslDestinationConfig* first = FirstSent(s);
                if (t.listener.Start(at, error))
                    t.check.reset(new TslHubCheck(first ? TslDestinationMap(*first) : TslMapConfig(), compare));
                else
                    t.listenError = error;  // said in the status bar; the outputs still run
            }
        }
        t.settings = s;
        t.started = false;  // everything goes out again at once
        Update(t, TslNowMs());
    }
    for (size_t i = 0; i < t.retiring.size();) {
        if (t.retiring[i].done->load()) {
            t.retiring[i].thread.join();
            t.retiring.erase(t.retiring.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    if (old) {
        TslOutputs* retired = old.release();
        auto done = std::make_shared<std::atomic<bool>>(false);
        t.retiring.push_back({std::thread([retired, done] {
                                  retired->Stop(500);
                                  delete retired;
                                  done->store(true);
                              }),
                              done});
    }
}

// The record, its thread and timer, made when TSL is first asked for (at
// start, or by a dialog's OK) and kept for the process's life, like the
// window's other records.
AppTsl* TslOf(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (!app) return nullptr;
    if (app->tsl) return app->tsl;
    AppTsl* t = new AppTsl;
    t->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (t->wake) t->thread = CreateThread(nullptr, 0, OutputsThread, t, 0, nullptr);
    app->tsl = t;  // whole before the receiver's AppTslFed can see it
    SetTimer(window, TSL_TIMER, TSL_TIMER_MS, nullptr);
    return t;
}

}  // namespace

void AppTslStart(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (!app || !SessionFromWindow(window)) return;
    const TslSettings run = CommandLineApplyTsl(app->options, ConfigLoadTsl(app->config.get()));
    // Nothing to send or compare: no thread, no timer until a dialog asks.
    if (run.outputs.empty() && !run.inEnabled) return;
    if (AppTsl* t = TslOf(window)) Apply(*t, run, app->options.tslOneMessage);
}

TslSettings AppTslSettings(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (app && app->tsl) return app->tsl->settings;
    return ConfigLoadTsl(ConfigActive());  // nothing runs yet: the saved ones
}

void AppTslApply(HWND window, const TslSettings& settings) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (app && app->tsl) {
        Apply(*app->tsl, settings, app->options.tslOneMessage);
    } else if (app && (!settings.outputs.empty() || settings.inEnabled)) {
        if (AppTsl* t = TslOf(window)) Apply(*t, settings, app->options.tslOneMessage);
    }
}

std::string AppTslListening(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (!app || !app->tsl) return "Not listening";
    AppTsl& t = *app->tsl;
    std::lock_guard<std::mutex> lock(t.mutex);
    if (!t.listenError.empty()) return "Cannot listen: " + t.listenError;
    if (!t.check) return "Not listening";
    TslEndpoint at;
    std::string error;
    TslParseListener(t.settings.listener, at, error);
    at.port = t.listener.Port();  // port 0 asked: the one bound
    return "Listening on " + TslListenerText(at);
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
            // The hub's lamp of each source, at its index under the compared map, on its On Air tile.
            uint8_t hub[ONAIR_SOURCE_VALUES];
            for (int source = 0; source < ONAIR_SOURCE_VALUES; ++source) {
                const int at = source + t.check->Map().indexOffset;
                const uint16_t index = static_cast<uint16_t>(at);
                hub[source] = at >= 0 && at < 0xFFFF && t.check->Comparator().HubHeardOf(index)
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
    for (AppTsl::Retiring& retired : t.retiring) retired.thread.join();
    t.retiring.clear();
}
