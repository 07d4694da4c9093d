// An MQTT publisher on its own thread: callers (the receiver, the window, a
// tool's read loop) only hand over topics and values, which takes a lock for
// a moment and never waits on the network. The thread connects, publishes,
// pings and reconnects with backoff, driving an MqttSession over net/.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "mqtt/session.h"

constexpr uint16_t MQTT_DEFAULT_PORT = 1883;

struct MqttClientConfig {
    std::string host;
    uint16_t port = MQTT_DEFAULT_PORT;
    MqttSessionConfig session;  // prefix, user, password, limits
    int connectTimeoutMs = 5000;
    int sendTimeoutMs = 5000;
};

class MqttClient {
public:
    explicit MqttClient(const MqttClientConfig& config);
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    void Start();
    // Sends what is queued for up to flushMs, then `offline` and DISCONNECT;
    // the thread has ended when this returns. After flushMs the link is simply
    // dropped, and the broker publishes the will instead. Without a link it
    // returns at once (a connect under way may take up to its time-out).
    void Stop(int flushMs);

    // Topics below the prefix: "link", "tally/3", "alarm".
    void PublishRetained(const std::string& subtopic, const std::string& payload, uint8_t qos = 1);
    // False when the event queue was full (the event is counted as dropped).
    bool PublishEvent(const std::string& subtopic, const std::string& payload, uint8_t qos = 1);

    // "MQTT connected", "MQTT connecting to HOST:PORT" or "MQTT: <the error>".
    std::string StatusText() const;
    bool Connected() const;
    uint64_t Connections() const;  // successful CONNACKs so far
    uint64_t DroppedEvents() const;
    const std::string& Prefix() const { return config_.session.prefix; }

private:
    void Run();
    int64_t Now() const;

    MqttClientConfig config_;
    std::string where_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    MqttSession session_;
    std::thread thread_;
    bool stopping_ = false;
    int64_t stopDeadlineMs_ = 0;
    std::string status_;
    uint64_t connections_ = 0;
};
