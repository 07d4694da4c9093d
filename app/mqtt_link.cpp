// MQTT in the application: the saved settings and the command line's, the
// Network -> MQTT... command, and the publisher that runs while the port is
// connected. The publisher only queues for its own thread, so every call
// here costs the window a lock and a copy of the store at most; the receiver
// never meets it. Alarms: when the watch rules reach the application,
// AppMqttAlarm is where each one goes.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app/app.h"
#include "app/session.h"
#include "config/config_win.h"
#include "mqtt/link_publisher.h"
#include "mqtt/mqtt_dialog.h"
#include "mqtt/topics.h"
#include "net/socket.h"
#include "tally/store.h"

namespace {

// What Disconnect and Exit give the queue to reach the broker before the
// link says offline.
constexpr int MQTT_FLUSH_MS = 2000;

// A counter that a reconnect or a reset sets back, added up so that the
// total since start only grows.
struct RunningTotal {
    uint64_t last = 0, total = 0;
    uint64_t See(uint64_t now) {
        total += now >= last ? now - last : now;
        last = now;
        return total;
    }
};

}  // namespace

struct AppMqtt {
    MqttConfig config;  // this run's: saved, with the command line over it
    std::unique_ptr<MqttLinkPublisher> publisher;
    std::thread stopping;               // a Disconnect's stop, perhaps still flushing
    std::atomic<bool> stopped{true};    // set by that thread when it is done
    bool startPending = false;          // a start waiting for that stop to end
    RunningTotal bytes, messages, framing, line;
};

namespace {

AppMqtt* MqttOf(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    if (!app) return nullptr;
    if (!app->mqtt) app->mqtt = new AppMqtt;  // kept, like the record, for the process's life
    return app->mqtt;
}

std::string PortName(const SessionState& s) { return "COM" + std::to_string(s.settings.portNumber); }

// "115200 8N1", as tallydump writes it.
std::string LineSettings(const PortSettings& p) {
    static const char PARITY[] = "NOEMS";
    static const char* const STOP[] = {"1", "1.5", "2"};
    std::string text = std::to_string(p.baudRate) + " " + std::to_string(p.dataBits);
    text += p.parity >= 0 && p.parity <= 4 ? PARITY[p.parity] : '?';
    text += p.stopBits >= 0 && p.stopBits <= 2 ? STOP[p.stopBits] : "?";
    return text;
}

int64_t NowMs() { return static_cast<int64_t>(GetTickCount64()); }

int64_t UnixMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000 - 11644473600000ULL);  // 100 ns since 1601 to ms since 1970
}

MqttLinkReport Report(HWND window, AppMqtt& m) {
    MqttLinkReport r;
    const SessionState* s = SessionFromWindow(window);
    const MainWindowRecord* app = MainWindowFrom(window);
    if (!s || !app) return r;
    TallyCounterValues c;
    TallyReadCounters(tallyStore, c);
    const LinkState& link = s->link;
    uint64_t line = 0;
    for (const auto& n : link.lineErrorCounts) line += n.load();
    r.state = app->statusTexts.link.empty() ? "Disconnected" : app->statusTexts.link;
    r.bytes = link.bytesReceived.load();
    r.messagesPerSecond = std::strtod(app->statusTexts.rate.c_str(), nullptr);  // the dash reads as 0
    r.framingErrors = TallyFramingErrorCount(c);
    r.lineErrors = line;
    DWORD modem = 0;
    if (link.connected.load() && link.portHandle != INVALID_HANDLE_VALUE && GetCommModemStatus(link.portHandle, &modem)) {
        r.modem.known = true;
        r.modem.cts = (modem & MS_CTS_ON) != 0;
        r.modem.dsr = (modem & MS_DSR_ON) != 0;
        r.modem.dcd = (modem & MS_RLSD_ON) != 0;
        r.modem.ri = (modem & MS_RING_ON) != 0;
    }
    r.totalBytes = m.bytes.See(r.bytes);
    r.totalMessages = m.messages.See(TallyMessageCount(c));
    r.totalFramingErrors = m.framing.See(r.framingErrors);
    r.totalLineErrors = m.line.See(line);
    r.unixMs = UnixMs();
    return r;
}

void JoinStopping(AppMqtt& m) {
    if (m.stopping.joinable()) m.stopping.join();
}

// Starts the publisher now. The broker must never see the same link twice,
// so a stop still under way comes first: then the start waits for a later
// tick instead of the window waiting for the stop.
void StartNow(HWND window, AppMqtt& m) {
    const SessionState* s = SessionFromWindow(window);
    m.startPending = false;
    if (!s || m.publisher || !m.config.enabled || m.config.host.empty()) return;
    if (!m.stopped.load()) {
        m.startPending = true;
        return;
    }
    JoinStopping(m);  // ended already: at once
    MqttLinkSettings settings;
    settings.broker = MqttConfigBroker(m.config);
    settings.name = m.config.name;
    settings.user = m.config.user;
    settings.password = m.config.password;
    std::string error;
    if (!MqttCheckSettings(settings, error)) return;
    m.publisher.reset(new MqttLinkPublisher(settings, PortName(*s), LineSettings(s->settings)));
    // Everything the store holds goes out at once.
    m.publisher->UpdateTally(tallyStore, NowMs(), true);
}

}  // namespace

std::string AppMqttDefaultName(HWND window) {
    const SessionState* s = SessionFromWindow(window);
    return MqttDefaultName(NetHostName(), s ? PortName(*s) : std::string("COM1"));
}

void AppMqttLoad(HWND window, ConfigBackend* config, const CommandLineOptions& options) {
    if (AppMqtt* m = MqttOf(window))
        m->config = CommandLineApplyMqtt(options, ConfigLoadMqtt(config, ConfigUserSecretCodec()));
}

void AppMqttStart(HWND window) {
    if (AppMqtt* m = MqttOf(window)) StartNow(window, *m);
}

void AppMqttStop(HWND window, bool wait) {
    AppMqtt* m = MqttOf(window);
    if (!m) return;
    m->startPending = false;
    if (!m->publisher) return;
    // The last tally and the link as it ended, then offline and DISCONNECT.
    m->publisher->UpdateTally(tallyStore, NowMs(), true);
    m->publisher->UpdateLink(Report(window, *m), NowMs(), true);
    std::unique_ptr<MqttLinkPublisher> publisher = std::move(m->publisher);
    JoinStopping(*m);
    if (wait) {
        publisher->Stop(MQTT_FLUSH_MS);
        return;
    }
    MqttLinkPublisher* p = publisher.release();
    m->stopped = false;
    std::atomic<bool>* stopped = &m->stopped;  // the record outlives the thread: Exit joins it
    m->stopping = std::thread([p, stopped] {
        p->Stop(MQTT_FLUSH_MS);
        delete p;
        *stopped = true;
    });
}

void AppMqttEnd(HWND window) {
    AppMqttStop(window, true);
    if (AppMqtt* m = MqttOf(window)) JoinStopping(*m);
}

void AppMqttDrain(HWND window) {
    AppMqtt* m = MqttOf(window);
    if (m && m->publisher) m->publisher->UpdateTally(tallyStore, NowMs(), false);
}

void AppMqttTick(HWND window) {
    AppMqtt* m = MqttOf(window);
    if (m && m->startPending && m->stopped.load()) StartNow(window, *m);
    if (!m || !m->publisher) return;
    m->publisher->UpdateTally(tallyStore, NowMs(), false);
    m->publisher->UpdateLink(Report(window, *m), NowMs(), false);
}

bool AppMqttAlarm(HWND window, const std::string& json) {
    AppMqtt* m = MqttOf(window);
    return m && m->publisher && m->publisher->PublishAlarm(json);
}

std::string AppMqttStatusText(HWND window) {
    const MainWindowRecord* app = MainWindowFrom(window);
    const AppMqtt* m = app ? app->mqtt : nullptr;
    if (!m || !m->config.enabled) return std::string();
    if (m->publisher) return m->publisher->StatusText();
    return m->startPending ? "MQTT starting" : "MQTT starts with Connect";
}

void AppMqttCommand(HWND window) {
    AppMqtt* m = MqttOf(window);
    const SessionState* s = SessionFromWindow(window);
    if (!m || !s) return;
    const MqttConfig before = m->config;
    MqttConfig edited = before;
    if (!MqttDialogRun(window, edited, AppMqttDefaultName(window))) return;
    // Only what the operator changed is saved: --mqtt stays for this run.
    ConfigSaveMqtt(ConfigActive(), before, edited, ConfigUserSecretCodec());
    m->config = edited;
    if (edited == before) return;
    // New settings take effect at once while connected.
    AppMqttStop(window, false);
    if (s->link.connected.load()) AppMqttStart(window);
    StatusBarShowRecording(window);
}
