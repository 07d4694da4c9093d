// One link's topics on the broker: what the application and tallydump both
// call from their receive loops. It decides when something is worth sending
// (the tally when a source changes, looked at every 100 ms; the link on a
// change of state and every 5 s) and hands it to the client thread, so the
// caller never waits on the network.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "mqtt/client.h"
#include "mqtt/topics.h"

struct TallyStore;

// From the command line or the settings. The name is a topic level; empty
// means MqttDefaultName(host name, port).
struct MqttLinkSettings {
    std::string broker;  // HOST[:PORT]
    std::string name;
    std::string user, password;
};

// False with a message naming what is wrong with the broker or the name.
bool MqttCheckSettings(const MqttLinkSettings& settings, std::string& error);

class MqttLinkPublisher {
public:
    static constexpr int TALLY_EVERY_MS = 100;

    // port: "COM3" or "/dev/ttyUSB0" (for the default name and the link JSON);
    // lineSettings: "115200 8N1". Starts the client thread.
    MqttLinkPublisher(const MqttLinkSettings& settings, const std::string& port, const std::string& lineSettings);
    ~MqttLinkPublisher();

    // Reads the store (never consuming its changed flags) and publishes the
    // sources whose tally changed. Cheap to call often: it looks at most every
    // 100 ms unless force is set.
    void UpdateTally(TallyStore& store, int64_t nowMs, bool force);
    // report.port and .settings are filled in here.
    void UpdateLink(MqttLinkReport report, int64_t nowMs, bool force);
    // One alarm's JSON text; false when the queue was full (counted).
    bool PublishAlarm(const std::string& json);

    // "MQTT connected" or the error, for a status bar.
    std::string StatusText() const { return client_->StatusText(); }
    const std::string& Prefix() const { return client_->Prefix(); }
    // Flushes for up to flushMs, then `offline` and DISCONNECT.
    void Stop(int flushMs) { client_->Stop(flushMs); }

private:
    std::string port_, lineSettings_;
    std::unique_ptr<MqttClient> client_;
    std::unique_ptr<OnAirInputs> inputs_;
    MqttTallyTracker tally_;
    std::string lastState_;
    int64_t nextTallyMs_ = 0, nextLinkMs_ = 0;
};
