#include "config/mqtt_config.h"

namespace {
const long long OFF_ON[] = {0, 1};
}  // namespace

const MqttIntField MQTT_INT_FIELDS[MQTT_INT_FIELD_COUNT] = {
    {{"MqttEnabled", 0, 0, 1, OFF_ON, 2}, &MqttConfig::enabled},
    {{"MqttPort", 1883, 1, 65535}, &MqttConfig::port},
};

// A host name holds at most 253 characters; the name is one topic level.
const MqttStringField MQTT_STRING_FIELDS[MQTT_STRING_FIELD_COUNT] = {
    {{"MqttHost", "", 253}, &MqttConfig::host},
    {{"MqttName", "", 64}, &MqttConfig::name},
    {{"MqttUser", "", 128}, &MqttConfig::user},
};

// An INI line is read into 1023 characters.
const ConfigStringKey MQTT_PASSWORD_KEY = {"MqttPassword", "", 1000};

MqttConfig::MqttConfig() {
    for (const MqttIntField& f : MQTT_INT_FIELDS) this->*f.member = static_cast<int>(f.key.def);
    for (const MqttStringField& f : MQTT_STRING_FIELDS) this->*f.member = f.key.def;
}

bool operator==(const MqttConfig& a, const MqttConfig& b) {
    for (const MqttIntField& f : MQTT_INT_FIELDS)
        if (a.*f.member != b.*f.member) return false;
    for (const MqttStringField& f : MQTT_STRING_FIELDS)
        if (a.*f.member != b.*f.member) return false;
    return a.password == b.password;
}

std::string MqttConfigBroker(const MqttConfig& c) {
    const bool ipv6 = c.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + c.host + "]" : c.host) + ":" + std::to_string(c.port);
}

std::string ConfigHex(const std::string& bytes) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        text += DIGITS[b >> 4];
        text += DIGITS[b & 15];
    }
    return text;
}

bool ConfigUnhex(const std::string& text, std::string& bytes) {
    if (text.size() % 2) return false;
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    std::string out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
    }
    bytes = out;
    return true;
}

MqttConfig ConfigLoadMqtt(ConfigBackend* backend, const ConfigSecretCodec& codec) {
    MqttConfig c;
    for (const MqttIntField& f : MQTT_INT_FIELDS) c.*f.member = static_cast<int>(ConfigGet(backend, f.key));
    for (const MqttStringField& f : MQTT_STRING_FIELDS) c.*f.member = ConfigGet(backend, f.key);
    // A password that cannot be unsealed (damaged, or sealed by another
    // user or computer) reads as none; the broker then says what it thinks.
    std::string sealed, clear;
    if (codec.unseal && ConfigUnhex(ConfigGet(backend, MQTT_PASSWORD_KEY), sealed) && !sealed.empty() &&
        codec.unseal(sealed, clear) && clear.size() <= MQTT_PASSWORD_MAX)
        c.password = clear;
    return c;
}

int ConfigSaveMqtt(ConfigBackend* backend, const MqttConfig& before, const MqttConfig& now,
                   const ConfigSecretCodec& codec) {
    int written = 0;
    for (const MqttIntField& f : MQTT_INT_FIELDS)
        if (before.*f.member != now.*f.member && ConfigSet(backend, f.key, now.*f.member)) ++written;
    for (const MqttStringField& f : MQTT_STRING_FIELDS)
        if (before.*f.member != now.*f.member && ConfigSet(backend, f.key, now.*f.member)) ++written;
    if (before.password != now.password) {
        // A password that cannot be sealed is stored as none, never in
        // clear and never as the stale one before it.
        std::string sealed;
        const bool kept = !now.password.empty() && codec.seal && now.password.size() <= MQTT_PASSWORD_MAX &&
                          codec.seal(now.password, sealed);
        if (ConfigSet(backend, MQTT_PASSWORD_KEY, kept ? ConfigHex(sealed) : std::string())) ++written;
    }
    return written;
}
