#include "mqtt/topics.h"
#include "recording/recording.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

// Length of the valid UTF-8 sequence at p (at most left bytes), 0 if none.
size_t Utf8Length(const unsigned char* p, size_t left) {
    const unsigned char c = p[0];
    size_t n = 0;
    uint32_t min = 0;
    if (c >= 0xC2 && c <= 0xDF) n = 2, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, min = 0x10000;
    else return 0;
    if (n > left) return 0;
    uint32_t code = c & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = code << 6 | (p[i] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

std::string Number(uint64_t value) { return std::to_string(value); }

// Store names are fixed-width fields: the padding is not part of the name.
std::string Trimmed(const char* text) {
    std::string s(text);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char c = p[i];
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            const size_t n = Utf8Length(p + i, size - i);
            if (n > 0) {
                out.append(text, i, n);
                i += n;
                continue;
            }
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string MqttTopicLevel(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool keep = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
        out += keep && static_cast<unsigned char>(c) < 0x80 ? c : '-';
    }
    return out.empty() ? std::string("-") : out;
}

std::string MqttDefaultName(const std::string& host, const std::string& port) {
    std::string device = port;
    const size_t slash = device.find_last_of("/\\");
    if (slash != std::string::npos) device = device.substr(slash + 1);
    std::string name = (host.empty() ? std::string("QORVEX") : host) + "-" + device;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // A fully qualified host name keeps only its first label.
    const size_t dot = name.find('.');
    if (dot != std::string::npos && dot < name.rfind('-')) name.erase(dot, name.rfind('-') - dot);
    return MqttTopicLevel(name);
}

std::string MqttPrefix(const std::string& name) { return std::string(MQTT_TOPIC_ROOT) + "/" + name; }

std::string MqttTimeText(int64_t unixMs) {
    const int64_t days = (unixMs >= 0 ? unixMs : unixMs - 86399999) / 86400000;
    const int64_t inDay = unixMs - days * 86400000;
    int y, m, d;
    RecordingCivilDate(days, y, m, d);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", y, m, d,
                  static_cast<int>(inDay / 3600000), static_cast<int>(inDay / 60000 % 60),
                  static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000));
    return text;
}

std::string MqttLinkJson(const MqttLinkReport& r) {
    double rate = r.messagesPerSecond;
    if (!std::isfinite(rate) || rate < 0) rate = 0;
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.1f", rate);
    std::string j = "{\"port\":" + JsonString(r.port) + ",\"settings\":" + JsonString(r.settings) +
                    ",\"state\":" + JsonString(r.state) + ",\"bytes\":" + Number(r.bytes) +
                    ",\"messagesPerSecond\":" + rateText + ",\"framingErrors\":" + Number(r.framingErrors) +
                    ",\"lineErrors\":" + (r.lineErrorsKnown ? Number(r.lineErrors) : std::string("null"));
    j += ",\"modem\":";
    if (r.modem.known) {
        auto flag = [](bool on) { return on ? "true" : "false"; };
        j += std::string("{\"cts\":") + flag(r.modem.cts) + ",\"dsr\":" + flag(r.modem.dsr) +
             ",\"dcd\":" + flag(r.modem.dcd) + ",\"ri\":" + flag(r.modem.ri) + "}";
    } else {
        j += "null";
    }
    j += ",\"totals\":{\"bytes\":" + Number(r.totalBytes) + ",\"messages\":" + Number(r.totalMessages) +
         ",\"framingErrors\":" + Number(r.totalFramingErrors) + ",\"lineErrors\":" + Number(r.totalLineErrors) +
         "},\"time\":" + JsonString(MqttTimeText(r.unixMs)) + "}";
    return j;
}

const char* MqttLevelText(OnAirLevel level) {
    switch (level) {
    case ONAIR_PROGRAM: return "PGM";
    case ONAIR_LOOKAHEAD: return "LAP";
    case ONAIR_PREVIEW: return "PVW";
    default: return "off";
    }
}

std::string MqttTallyJson(const OnAirTally& tally, const OnAirInputs& inputs, int source) {
    std::string name;
    if (source >= 1 && source <= SOURCE_COUNT) name = Trimmed(inputs.name[source]);
    std::string j = "{\"source\":" + std::to_string(source) + ",\"name\":" + JsonString(name) +
                    ",\"level\":\"" + MqttLevelText(OnAirLevelOf(tally, ONAIR_ALL_ME, source)) + "\",\"me\":[";
    for (int me = 0; me < ME_RECORDS; ++me) {
        if (me) j += ',';
        j += '"';
        j += MqttLevelText(OnAirLevelOf(tally, me, source));
        j += '"';
    }
    j += "],\"outputs\":[";
    bool first = true;
    for (int i = 0; i < tally.onAirCount; ++i) {
        if (tally.onAir[i].source != source) continue;
        if (!first) j += ',';
        j += std::to_string(tally.onAir[i].output);
        first = false;
    }
    return j + "]}";
}

std::vector<std::pair<int, std::string>> MqttTallyTracker::Changes(const OnAirInputs& inputs) {
    std::vector<std::pair<int, std::string>> changes;
    auto tally = std::make_unique<OnAirTally>();
    OnAirDerive(inputs.me, inputs.out, *tally);
    for (int s = 0; s < ONAIR_SOURCE_VALUES; ++s) {
        const bool named = s >= 1 && s <= SOURCE_COUNT &&
                           (inputs.name[s][0] || inputs.nickname[s][0] || inputs.alias[s][0]);
        if (last_[s].empty() && !named && !tally->appears[s]) continue;
        std::string text = MqttTallyJson(*tally, inputs, s);
        if (text == last_[s]) continue;
        last_[s] = text;
        changes.emplace_back(s, std::move(text));
    }
    return changes;
}

void MqttTallyTracker::Forget() {
    for (auto& text : last_) text.clear();
}
