#include "config/tsl_config.h"

#include <cctype>
#include <sstream>

namespace {
const long long OFF_ON[] = {0, 1};
}  // namespace

// The defaults are those of TslMapConfig: PGM on tally 1, PVW on tally 2,
// LAP on tally 3; all three 5.0 tallies; full brightness, screen 0.
const TslDestinationField TSL_DESTINATION_FIELDS[TSL_DESTINATION_FIELD_COUNT] = {
    {{"on", 1, 0, 1, OFF_ON, 2}, &TslDestinationConfig::enabled, "enabled"},
    {{"me", 0, 0, 4}, &TslDestinationConfig::me, "ME"},
    {{"offset", 0, -1000, 65000}, &TslDestinationConfig::indexOffset, "index offset"},
    {{"levels", TSL_LEVEL_PGM | TSL_LEVEL_LAP | TSL_LEVEL_PVW, 1, 7}, &TslDestinationConfig::levels, "levels"},
    {{"pgm", 1, 0, 4}, &TslDestinationConfig::pgmTally, "PGM tally"},
    {{"lap", 3, 0, 4}, &TslDestinationConfig::lapTally, "LAP tally"},
    {{"pvw", 2, 0, 4}, &TslDestinationConfig::pvwTally, "PVW tally"},
    {{"lamps", TSL_LAMP_LH | TSL_LAMP_TEXT | TSL_LAMP_RH, 1, 7}, &TslDestinationConfig::lamps, "5.0 lamps"},
    {{"brightness", 3, 0, 3}, &TslDestinationConfig::brightness, "brightness"},
    {{"screen", 0, 0, 65534}, &TslDestinationConfig::screen, "screen"},
};

const TslSettingField TSL_SETTING_FIELDS[TSL_SETTING_FIELD_COUNT] = {
    {{"TslRefreshMs", 1000, 100, 10000}, &TslSettings::refreshMs, "refresh interval"},
    {{"TslInEnabled", 0, 0, 1, OFF_ON, 2}, &TslSettings::inEnabled, "comparison"},
    {{"TslToleranceMs", 200, 0, 10000}, &TslSettings::toleranceMs, "tolerance"},
};

const ConfigStringKey TSL_LISTENER_KEY = {"TslIn", "udp:0.0.0.0:8900", 300};
const ConfigIntKey TSL_OUTPUT_COUNT_KEY = {"TslOutputs", 0, 0, TSL_MAX_DESTINATIONS};

namespace {
// An address and its words fit an INI line (1023 characters) with room.
constexpr size_t TSL_OUTPUT_LINE_MAX = 500;
}  // namespace

std::string TslOutputKeyName(int index) { return "TslOutput" + std::to_string(index); }

TslDestinationConfig::TslDestinationConfig() {
    for (const TslDestinationField& f : TSL_DESTINATION_FIELDS) this->*f.member = static_cast<int>(f.key.def);
}

bool operator==(const TslDestinationConfig& a, const TslDestinationConfig& b) {
    for (const TslDestinationField& f : TSL_DESTINATION_FIELDS)
        if (a.*f.member != b.*f.member) return false;
    return a.endpoint.version == b.endpoint.version && a.endpoint.tcp == b.endpoint.tcp &&
           a.endpoint.host == b.endpoint.host && a.endpoint.port == b.endpoint.port && a.endpoint.dle == b.endpoint.dle;
}

const TslDestinationField* TslDestinationFieldNamed(const std::string& name) {
    for (const TslDestinationField& f : TSL_DESTINATION_FIELDS)
        if (name == f.key.name) return &f;
    return nullptr;
}

TslSettings::TslSettings() {
    for (const TslSettingField& f : TSL_SETTING_FIELDS) this->*f.member = static_cast<int>(f.key.def);
    listener = TSL_LISTENER_KEY.def;
}

bool operator==(const TslSettings& a, const TslSettings& b) {
    for (const TslSettingField& f : TSL_SETTING_FIELDS)
        if (a.*f.member != b.*f.member) return false;
    return a.listener == b.listener && a.outputs == b.outputs;
}

std::string TslFieldRangeMessage(const char* label, long long min, long long max) {
    std::string text = std::string("The ") + label + " is a number from " + std::to_string(min) + " to " +
                       std::to_string(max) + ".";
    return text;
}

bool TslDestinationCheck(const TslDestinationConfig& d, std::string& message, std::string& field) {
    const std::string& host = d.endpoint.host;
    bool blank = false;
    for (char c : host) blank = blank || std::isspace(static_cast<unsigned char>(c)) || c == '[' || c == ']';
    if (host.empty() || blank || host.size() > 253) {
        message = host.empty() ? "Enter the receiver's host name or address."
                               : "The host is a name or an address, without spaces or brackets.";
        field = "host";
        return false;
    }
    if (d.endpoint.port == 0) {
        message = TslFieldRangeMessage("port", 1, 65535);
        field = "port";
        return false;
    }
    for (const TslDestinationField& f : TSL_DESTINATION_FIELDS) {
        if (ConfigIntValid(f.key, d.*f.member)) continue;
        field = f.key.name;
        if (field == "levels") message = "Choose at least one level to send.";
        else if (field == "lamps") message = "Choose at least one 5.0 tally for the colour.";
        else message = TslFieldRangeMessage(f.label, f.key.min, f.key.max);
        return false;
    }
    if (d.endpoint.dle && d.endpoint.version != TSL_V50) {
        message = "DLE/STX framing is for TSL 5.0 only.";
        field = "dle";
        return false;
    }
    TslEndpoint back;
    std::string error;
    if (!TslParseDestination(TslDestinationText(d.endpoint), back, error)) {
        message = "The address: " + error;
        field = "host";
        return false;
    }
    return true;
}

std::string TslDestinationFormat(const TslDestinationConfig& d) {
    std::string text = TslDestinationText(d.endpoint);
    for (const TslDestinationField& f : TSL_DESTINATION_FIELDS)
        text += std::string(" ") + f.key.name + "=" + std::to_string(d.*f.member);
    return text;
}

bool TslDestinationParse(const std::string& text, TslDestinationConfig& out, std::string& error) {
    std::istringstream words(text);
    std::string word;
    TslDestinationConfig d;
    if (!(words >> word) || !TslParseDestination(word, d.endpoint, error)) {
        if (error.empty()) error = "no destination";
        return false;
    }
    while (words >> word) {
        const size_t equals = word.find('=');
        const TslDestinationField* f = equals == std::string::npos ? nullptr : TslDestinationFieldNamed(word.substr(0, equals));
        long long value = 0;
        if (!f) {
            error = "unknown word '" + word + "'";
            return false;
        }
        if (!ConfigParseInt(word.substr(equals + 1), value) || !ConfigIntValid(f->key, value)) {
            error = word + ": " + TslFieldRangeMessage(f->label, f->key.min, f->key.max);
            return false;
        }
        d.*f->member = static_cast<int>(value);
    }
    out = d;
    return true;
}

TslMapConfig TslDestinationMap(const TslDestinationConfig& d) {
    TslMapConfig map;
    map.me = d.me == 0 ? ONAIR_ALL_ME : d.me - 1;
    map.indexOffset = d.indexOffset;
    map.level[ONAIR_PREVIEW] = (d.levels & TSL_LEVEL_PVW) != 0;
    map.level[ONAIR_LOOKAHEAD] = (d.levels & TSL_LEVEL_LAP) != 0;
    map.level[ONAIR_PROGRAM] = (d.levels & TSL_LEVEL_PGM) != 0;
    map.bit31[ONAIR_PREVIEW] = d.pvwTally - 1;  // tally n is bit n-1; 0 (none) is -1
    map.bit31[ONAIR_LOOKAHEAD] = d.lapTally - 1;
    map.bit31[ONAIR_PROGRAM] = d.pgmTally - 1;
    map.lh = (d.lamps & TSL_LAMP_LH) != 0;
    map.txt = (d.lamps & TSL_LAMP_TEXT) != 0;
    map.rh = (d.lamps & TSL_LAMP_RH) != 0;
    map.brightness = static_cast<uint8_t>(d.brightness);
    map.screen = static_cast<uint16_t>(d.screen);
    return map;
}

std::string TslDestinationProtocolText(const TslDestinationConfig& d) {
    std::string text = std::string(d.endpoint.version == TSL_V31 ? "3.1" : "5.0") + (d.endpoint.tcp ? " TCP" : " UDP");
    if (d.endpoint.dle && !d.endpoint.tcp) text += " DLE/STX";
    return text;
}

std::string TslDestinationAddressText(const TslDestinationConfig& d) {
    const std::string& h = d.endpoint.host;
    return (h.find(':') != std::string::npos ? "[" + h + "]" : h) + ":" + std::to_string(d.endpoint.port);
}

std::string TslDestinationMeText(const TslDestinationConfig& d) {
    return d.me == 0 ? "All" : "ME " + std::to_string(d.me);
}

std::string TslDestinationMapText(const TslDestinationConfig& d) {
    std::string text = "index = source";
    if (d.indexOffset) text += (d.indexOffset > 0 ? "+" : "") + std::to_string(d.indexOffset);
    struct Level {
        int bit;
        const char* name;
        int tally;
    } levels[] = {{TSL_LEVEL_PGM, "PGM", d.pgmTally}, {TSL_LEVEL_LAP, "LAP", d.lapTally}, {TSL_LEVEL_PVW, "PVW", d.pvwTally}};
    for (const Level& l : levels) {
        if (!(d.levels & l.bit)) continue;
        text += std::string(", ") + l.name;
        if (d.endpoint.version == TSL_V31) text += l.tally ? " " + std::to_string(l.tally) : " -";
    }
    if (d.endpoint.version == TSL_V50) {
        text += " on";
        if (d.lamps & TSL_LAMP_LH) text += " LH";
        if (d.lamps & TSL_LAMP_TEXT) text += " TXT";
        if (d.lamps & TSL_LAMP_RH) text += " RH";
        if (d.screen) text += ", screen " + std::to_string(d.screen);
    }
    if (d.brightness != 3) text += ", brightness " + std::to_string(d.brightness);
    return text;
}

TslSettings ConfigLoadTsl(ConfigBackend* backend) {
    TslSettings s;
    for (const TslSettingField& f : TSL_SETTING_FIELDS) s.*f.member = static_cast<int>(ConfigGet(backend, f.key));
    TslEndpoint at;
    std::string error;
    const std::string listener = ConfigGet(backend, TSL_LISTENER_KEY);
    if (TslParseListener(listener, at, error)) s.listener = listener;
    const long long count = ConfigGet(backend, TSL_OUTPUT_COUNT_KEY);
    for (int i = 1; i <= count; ++i) {
        TslDestinationConfig d;
        const std::string line = ConfigGet(backend, ConfigStringKey{TslOutputKeyName(i).c_str(), "", TSL_OUTPUT_LINE_MAX});
        if (TslDestinationParse(line, d, error)) s.outputs.push_back(d);
    }
    return s;
}

int ConfigSaveTsl(ConfigBackend* backend, const TslSettings& before, const TslSettings& now) {
    int written = 0;
    for (const TslSettingField& f : TSL_SETTING_FIELDS)
        if (before.*f.member != now.*f.member && ConfigSet(backend, f.key, now.*f.member)) ++written;
    if (before.listener != now.listener && ConfigSet(backend, TSL_LISTENER_KEY, now.listener)) ++written;
    if (before.outputs == now.outputs) return written;
    const size_t count = now.outputs.size() < TSL_MAX_DESTINATIONS ? now.outputs.size() : TSL_MAX_DESTINATIONS;
    const size_t old = before.outputs.size();
    for (size_t i = 0; i < count || i < old; ++i) {
        const std::string line = i < count ? TslDestinationFormat(now.outputs[i]) : std::string();
        if (i < old && i < count && before.outputs[i] == now.outputs[i]) continue;
        const std::string name = TslOutputKeyName(static_cast<int>(i) + 1);
        if (ConfigSet(backend, ConfigStringKey{name.c_str(), "", TSL_OUTPUT_LINE_MAX}, line)) ++written;
    }
    // Always: a line skipped on load leaves the stored count above the list's.
    if (ConfigSet(backend, TSL_OUTPUT_COUNT_KEY, static_cast<long long>(count))) ++written;
    return written;
}
