// tallydump --mqtt: the live monitor's link health and the On Air tally
// published to a broker under qorvex/<name>/, as the application does.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "app/status_core.h"
#include "mqtt/client.h"
#include "mqtt/topics.h"
#include "tools/tallydump/dump.h"
#include "tools/tallydump/live.h"

struct PublishOptions {
    std::string broker;  // HOST[:PORT]; empty: not publishing
    std::string name;    // topic name; empty: host name and port
    std::string user;    // the password comes from QORVEX_MQTT_PASSWORD, never the command line
};

// False with a message when the broker or name cannot be used.
bool PublishCheckOptions(const PublishOptions& options, std::string& error);

class DumpPublisher {
public:
    // Starts the client thread (it connects in the background).
    DumpPublisher(const PublishOptions& options, const LiveOptions& live);
    ~DumpPublisher();
    // Called from the read loop as often as it likes: the tally is looked at
    // every 100 ms, the link published on a change of state and every 5 s.
    // final: the run has ended; look at everything now.
    void Tick(DumpSession& session, uint32_t lastByteTick, const LineErrors& line, bool final);
    // Flushes for up to flushMs, then `offline` and DISCONNECT.
    void Stop(int flushMs);
    const std::string& Prefix() const { return prefix_; }
    std::string StatusText() const { return client_->StatusText(); }

private:
    std::string prefix_, port_, settings_;
    std::unique_ptr<MqttClient> client_;
    std::unique_ptr<OnAirInputs> inputs_;
    MqttTallyTracker tally_;
    StatusTracker status_;
    std::string lastState_;
    int64_t nextTallyMs_ = 0, nextLinkMs_ = 0, nextStatusMs_ = 0;
    StatusTexts texts_;
};

// The publisher the live monitor feeds, if any (set by main before it starts).
DumpPublisher* LivePublisher();
void LiveSetPublisher(DumpPublisher* publisher);
