// The MQTT publisher's saved settings (Network -> MQTT...), free of any
// platform header, read and written as the port's settings are: one table of
// names, defaults and ranges, each value checked and defaulted on its own,
// only changed values written. The password never reaches the store in
// clear: a codec seals it (on Windows for the user, with CryptProtectData)
// and the store keeps the sealed bytes as hex.
#pragma once
#include <string>

#include "config/config_values.h"

struct MqttConfig {
    int enabled;
    std::string host;  // the broker's name or address
    int port;
    std::string name;  // the topic level qorvex/<name>; empty: computer name and port
    std::string user;
    std::string password;  // in clear in memory only
    MqttConfig();
};

bool operator==(const MqttConfig& a, const MqttConfig& b);
inline bool operator!=(const MqttConfig& a, const MqttConfig& b) { return !(a == b); }

// The rows of the table: integers and plain strings. The password has a key
// of its own (MQTT_PASSWORD_KEY): what it holds is sealed.
struct MqttIntField {
    ConfigIntKey key;
    int MqttConfig::*member;
};
struct MqttStringField {
    ConfigStringKey key;
    std::string MqttConfig::*member;
};
constexpr int MQTT_INT_FIELD_COUNT = 2;
constexpr int MQTT_STRING_FIELD_COUNT = 3;
extern const MqttIntField MQTT_INT_FIELDS[MQTT_INT_FIELD_COUNT];
extern const MqttStringField MQTT_STRING_FIELDS[MQTT_STRING_FIELD_COUNT];
// Hex of the sealed password; its length bounds what an INI line can hold.
extern const ConfigStringKey MQTT_PASSWORD_KEY;
// The longest password the dialog takes (bytes of UTF-8).
constexpr size_t MQTT_PASSWORD_MAX = 128;

// Seals and unseals secret bytes; each false when it cannot (the password is
// then neither saved nor read). Null functions seal nothing: no password is
// ever saved.
struct ConfigSecretCodec {
    bool (*seal)(const std::string& clear, std::string& sealed);
    bool (*unseal)(const std::string& sealed, std::string& clear);
};

// "HOST:PORT" ("[::1]:1883" for an IPv6 address), as MqttLinkSettings takes it.
std::string MqttConfigBroker(const MqttConfig& c);

MqttConfig ConfigLoadMqtt(ConfigBackend* backend, const ConfigSecretCodec& codec);
// Writes the values of `now` that differ from `before`; a changed password is
// sealed first (an empty one is stored empty). Returns how many were written.
int ConfigSaveMqtt(ConfigBackend* backend, const MqttConfig& before, const MqttConfig& now,
                   const ConfigSecretCodec& codec);

// Bytes as lower-case hex and back (false for an odd length or a non-hex digit).
std::string ConfigHex(const std::string& bytes);
bool ConfigUnhex(const std::string& text, std::string& bytes);
