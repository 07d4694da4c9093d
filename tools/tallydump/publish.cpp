#include "tools/tallydump/publish.h"

#include <chrono>
#include <cstdlib>

#include "net/socket.h"

namespace {

DumpPublisher* livePublisher = nullptr;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const int TALLY_EVERY_MS = 100;

}  // namespace

DumpPublisher* LivePublisher() { return livePublisher; }
void LiveSetPublisher(DumpPublisher* publisher) { livePublisher = publisher; }

bool PublishCheckOptions(const PublishOptions& o, std::string& error) {
    std::string host;
    uint16_t port = 0;
    if (!NetSplitHostPort(o.broker, MQTT_DEFAULT_PORT, host, port)) {
        error = "--mqtt " + o.broker + ": not HOST or HOST:PORT (port 1 to 65535)";
        return false;
    }
    if (!o.name.empty() && MqttTopicLevel(o.name) != o.name) {
        error = "--mqtt-name " + o.name + ": letters, digits, '-', '_' and '.' only (it is one topic level)";
        return false;
    }
    return true;
}

DumpPublisher::DumpPublisher(const PublishOptions& o, const LiveOptions& live) : inputs_(new OnAirInputs()) {
    MqttClientConfig config;
    NetSplitHostPort(o.broker, MQTT_DEFAULT_PORT, config.host, config.port);
    const std::string name = o.name.empty() ? MqttDefaultName(NetHostName(), live.device) : o.name;
    prefix_ = MqttPrefix(name);
    config.session.prefix = prefix_;
    config.session.user = o.user;
    if (const char* password = std::getenv("QORVEX_MQTT_PASSWORD")) config.session.password = password;
    port_ = live.device;
    settings_ = std::to_string(live.baud) + " " + std::to_string(live.dataBits) + live.parity +
                std::to_string(live.stopBits);
    client_.reset(new MqttClient(config));
    client_->Start();
}

DumpPublisher::~DumpPublisher() { Stop(0); }

void DumpPublisher::Tick(DumpSession& session, uint32_t lastByteTick, const LineErrors& line, bool final) {
    const int64_t now = SteadyMs();
    if (final || now >= nextTallyMs_) {
        nextTallyMs_ = now + TALLY_EVERY_MS;
        OnAirReadStore(*session.store, *inputs_);
        for (const auto& change : tally_.Changes(*inputs_))
            client_->PublishRetained("tally/" + std::to_string(change.first), change.second);
    }
    // The status texts keep a rate over 500 ms samples, as the status bar does.
    if (final || now >= nextStatusMs_) {
        nextStatusMs_ = now + 500;
        const StatusInput in{true,
                             session.bytesFed,
                             lastByteTick,
                             static_cast<uint32_t>(now),
                             DumpStoredCount(session),
                             DumpFramingErrors(session),
                             line.Sum()};
        texts_ = status_.Update(in);
    }
    const bool changed = texts_.link != lastState_;
    if (!final && !changed && now < nextLinkMs_) return;
    nextLinkMs_ = now + MQTT_LINK_EVERY_MS;
    lastState_ = texts_.link;
    MqttLinkReport r;
    r.port = port_;
    r.settings = settings_;
    r.state = texts_.link;
    r.bytes = session.bytesFed;
    r.messagesPerSecond = std::strtod(texts_.rate.c_str(), nullptr);
    r.framingErrors = DumpFramingErrors(session);
    r.lineErrorsKnown = line.available;
    r.lineErrors = line.Sum();
    uint64_t messages = 0;
    for (uint64_t count : session.stored) messages += count;
    r.totalBytes = session.bytesFed;
    r.totalMessages = messages;
    r.totalFramingErrors = DumpFramingTotal(session);
    r.totalLineErrors = line.Sum();
    r.unixMs = WallClockMs();
    // QoS 0: a lost one is replaced within 5 s anyway.
    client_->PublishRetained("link", MqttLinkJson(r), 0);
}

void DumpPublisher::Stop(int flushMs) {
    if (client_) client_->Stop(flushMs);
}
