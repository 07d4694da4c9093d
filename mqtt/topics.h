// What a Qorvex publishes under qorvex/<name>/, as text: the JSON is written
// by hand (the application carries no JSON library) and escaped here only.
//   status      online / offline (retained; offline is also the will)
//   link        the link's health (retained; on every change and every 5 s)
//   tally/<n>   one source's tally by the On Air rule (retained, on change)
//   alarm       one alarm's JSON (QoS 1, not retained)
//   dropped     {"events":N}: alarms lost while the queue was full (retained)
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "onair/onair.h"

constexpr const char* MQTT_TOPIC_ROOT = "qorvex";
constexpr int MQTT_LINK_EVERY_MS = 5000;

// A JSON string literal, quotes included. Valid UTF-8 passes through; other
// bytes (8-bit names from the switcher) are read as Latin-1.
std::string JsonString(const std::string& text);

// A name fit for one topic level: letters, digits, '-', '_' and '.' kept,
// anything else (/, +, #, spaces...) becomes '-'. Never empty.
std::string MqttTopicLevel(const std::string& text);
// "GALLERY2-COM3" from the host name and the port ("COM3", "/dev/ttyUSB0"
// gives "ttyUSB0"), upper case.
std::string MqttDefaultName(const std::string& host, const std::string& port);
// "qorvex/<name>"
std::string MqttPrefix(const std::string& name);

// "2026-12-08T19:42:41.123Z"
std::string MqttTimeText(int64_t unixMs);

struct MqttModemLines {
    bool known = false;  // false: the port does not report them (a pty)
    bool cts = false, dsr = false, dcd = false, ri = false;
};

struct MqttLinkReport {
    std::string port;      // "COM3", "/dev/ttyUSB0"
    std::string settings;  // "115200 8N1"
    std::string state;     // "Receiving", "Silent 12 s", "Port lost" ...
    uint64_t bytes = 0;    // since the last connect
    double messagesPerSecond = 0;
    uint64_t framingErrors = 0;  // as the store counts them now
    bool lineErrorsKnown = true;
    uint64_t lineErrors = 0;
    MqttModemLines modem;
    // Since start, never set back by a counter reset or a reconnect.
    uint64_t totalBytes = 0, totalMessages = 0, totalFramingErrors = 0, totalLineErrors = 0;
    int64_t unixMs = 0;
};
std::string MqttLinkJson(const MqttLinkReport& report);

// "PGM", "LAP", "PVW" or "off".
const char* MqttLevelText(OnAirLevel level);
// {"source":3,"name":"CAMERA 3","level":"PGM","me":["PGM","off","PVW","off"],"outputs":[9]}
std::string MqttTallyJson(const OnAirTally& tally, const OnAirInputs& inputs, int source);

// Remembers what was last published per source, so that only changes go out.
// A source is published once it has a tile in the On Air view (a name, or a
// place in a record) and from then on whenever its text changes, so a source
// leaving the air is published as "off".
class MqttTallyTracker {
public:
    // (source, JSON) for every source whose tally text changed since the last call.
    std::vector<std::pair<int, std::string>> Changes(const OnAirInputs& inputs);
    void Forget();  // everything is published again on the next call

private:
    std::string last_[ONAIR_SOURCE_VALUES];
};
