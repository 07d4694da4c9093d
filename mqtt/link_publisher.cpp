#include "mqtt/link_publisher.h"

#include "net/socket.h"

bool MqttCheckSettings(const MqttLinkSettings& s, std::string& error) {
    std::string host;
    uint16_t port = 0;
    if (!NetSplitHostPort(s.broker, MQTT_DEFAULT_PORT, host, port)) {
        error = "broker " + s.broker + ": not HOST or HOST:PORT (port 1 to 65535)";
        return false;
    }
    if (!s.name.empty() && MqttTopicLevel(s.name) != s.name) {
        error = "name " + s.name + ": letters, digits, '-', '_' and '.' only (it is one topic level)";
        return false;
    }
    return true;
}

MqttLinkPublisher::MqttLinkPublisher(const MqttLinkSettings& s, const std::string& port,
                                     const std::string& lineSettings)
    : port_(port), lineSettings_(lineSettings), inputs_(new OnAirInputs()) {
    MqttClientConfig config;
    NetSplitHostPort(s.broker, MQTT_DEFAULT_PORT, config.host, config.port);
    config.session.prefix = MqttPrefix(s.name.empty() ? MqttDefaultName(NetHostName(), port) : s.name);
    config.session.user = s.user;
    config.session.password = s.password;
    client_.reset(new MqttClient(config));
    client_->Start();
}

MqttLinkPublisher::~MqttLinkPublisher() { client_->Stop(0); }

void MqttLinkPublisher::UpdateTally(TallyStore& store, int64_t nowMs, bool force) {
    if (!force && nowMs < nextTallyMs_) return;
    nextTallyMs_ = nowMs + TALLY_EVERY_MS;
    OnAirReadStore(store, *inputs_);
    for (const auto& change : tally_.Changes(*inputs_))
        client_->PublishRetained("tally/" + std::to_string(change.first), change.second);
}

void MqttLinkPublisher::UpdateLink(MqttLinkReport report, int64_t nowMs, bool force) {
    if (!force && report.state == lastState_ && nowMs < nextLinkMs_) return;
    nextLinkMs_ = nowMs + MQTT_LINK_EVERY_MS;
    lastState_ = report.state;
    report.port = port_;
    report.settings = lineSettings_;
    // QoS 0: a lost one is replaced within 5 s anyway.
    client_->PublishRetained("link", MqttLinkJson(report), 0);
}

bool MqttLinkPublisher::PublishAlarm(const std::string& json) { return client_->PublishEvent("alarm", json, 1); }
