#include "config/session_config.h"

#include "serial/port_list.h"

const char* const CONFIG_PORT_NAME = "Port";

namespace {

const long long OFF_ON[] = {0, 1};
const ConfigIntKey FONT_HEIGHT = {"FontHeight", 20, -200, 200};
const ConfigIntKey FONT_WIDTH = {"FontWidth", 0, 0, 200};
const ConfigIntKey FONT_WEIGHT = {"FontWeight", 0, 0, 1000};
const ConfigIntKey FONT_ITALIC = {"FontItalic", 0, 0, 1};
const ConfigIntKey FONT_UNDERLINE = {"FontUnderline", 0, 0, 1};
const ConfigIntKey FONT_STRIKEOUT = {"FontStrikeOut", 0, 0, 1};
const ConfigIntKey FONT_CHARSET = {"FontCharSet", 255, 0, 255};
const ConfigIntKey FONT_PITCH = {"FontPitchAndFamily", 0x31, 0, 255};
// LOGFONT's face name holds 31 characters and its terminator.
const ConfigStringKey FONT_FACE = {"FontFace", "FixedSys", 31};
const ConfigIntKey TEXT_COLOUR = {"TextColour", 0, 0, 0xFFFFFF};

// Window coordinates within what a virtual screen can hold.
const ConfigIntKey WIN_LEFT = {"WindowLeft", 0, -32000, 32000};
const ConfigIntKey WIN_TOP = {"WindowTop", 0, -32000, 32000};
const ConfigIntKey WIN_RIGHT = {"WindowRight", 0, -32000, 32000};
const ConfigIntKey WIN_BOTTOM = {"WindowBottom", 0, -32000, 32000};
const ConfigIntKey WIN_MAXIMIZED = {"WindowMaximized", 0, 0, 1};
// Smallest window worth restoring.
const int WINDOW_MIN_SIZE = 100;

template <typename T>
int SaveIfChanged(ConfigBackend* backend, const ConfigIntKey& key, T before, T now) {
    if (before == now) return 0;
    return ConfigSet(backend, key, static_cast<long long>(now)) ? 1 : 0;
}

}  // namespace

const long long PORT_BAUD_RATES[PORT_BAUD_RATE_COUNT] = {110,   300,   600,   1200,  2400,  4800,  9600,
                                                         14400, 19200, 38400, 57600, 115200, 256000};

const PortSettingField PORT_SETTING_FIELDS[PORT_SETTING_FIELD_COUNT] = {
    {{CONFIG_PORT_NAME, 1, PORT_NUMBER_MIN, PORT_NUMBER_MAX}, &PortSettings::portNumber},
    {{"BaudRate", 115200, 110, 256000, PORT_BAUD_RATES, PORT_BAUD_RATE_COUNT}, &PortSettings::baudRate},
    {{"DataBits", 8, 5, 8}, &PortSettings::dataBits},
    {{"Parity", 0, 0, 4}, &PortSettings::parity},
    {{"StopBits", 0, 0, 2}, &PortSettings::stopBits},
    {{"FlowControl", FLOW_XONXOFF, 0, 7}, &PortSettings::flowFlags},
    {{"Autowrap", 1, 0, 1, OFF_ON, 2}, &PortSettings::autowrap},
    {{"NewLine", 0, 0, 1}, &PortSettings::newLine},
    {{"LocalEcho", 0, 0, 1}, &PortSettings::localEcho},
    {{"DisplayErrors", 1, 0, 1}, &PortSettings::displayErrors},
    {{"ReconnectAutomatically", 0, 0, 1}, &PortSettings::reconnect},
};

PortSettings::PortSettings() {
    for (const PortSettingField& f : PORT_SETTING_FIELDS) this->*f.member = static_cast<int>(f.key.def);
}

bool PortSettingsValid(const PortSettings& s) {
    for (const PortSettingField& f : PORT_SETTING_FIELDS)
        if (!ConfigIntValid(f.key, s.*f.member)) return false;
    return true;
}

bool operator==(const PortSettings& a, const PortSettings& b) {
    for (const PortSettingField& f : PORT_SETTING_FIELDS)
        if (a.*f.member != b.*f.member) return false;
    return true;
}

bool operator==(const FontConfig& a, const FontConfig& b) {
    return a.height == b.height && a.width == b.width && a.weight == b.weight && a.italic == b.italic &&
           a.underline == b.underline && a.strikeOut == b.strikeOut && a.charSet == b.charSet &&
           a.pitchAndFamily == b.pitchAndFamily && a.face == b.face && a.colour == b.colour;
}

bool operator==(const PlacementConfig& a, const PlacementConfig& b) {
    return a.saved == b.saved && a.left == b.left && a.top == b.top && a.right == b.right &&
           a.bottom == b.bottom && a.maximized == b.maximized;
}

PortSettings ConfigLoadPort(ConfigBackend* backend) {
    PortSettings c;
    std::string port;
    if (backend && backend->ReadString(CONFIG_PORT_NAME, port)) {
        const int number = PortNumberFromName(port);
        if (number != 0) c.portNumber = number;
    }
    // The port is the table's first row, saved as text.
    for (int i = 1; i < PORT_SETTING_FIELD_COUNT; ++i)
        c.*PORT_SETTING_FIELDS[i].member = static_cast<int>(ConfigGet(backend, PORT_SETTING_FIELDS[i].key));
    return c;
}

FontConfig ConfigLoadFont(ConfigBackend* backend) {
    FontConfig f;
    f.height = static_cast<int>(ConfigGet(backend, FONT_HEIGHT));
    if (f.height == 0) f.height = FONT_HEIGHT.def;  // no font has no height
    f.width = static_cast<int>(ConfigGet(backend, FONT_WIDTH));
    f.weight = static_cast<int>(ConfigGet(backend, FONT_WEIGHT));
    f.italic = static_cast<int>(ConfigGet(backend, FONT_ITALIC));
    f.underline = static_cast<int>(ConfigGet(backend, FONT_UNDERLINE));
    f.strikeOut = static_cast<int>(ConfigGet(backend, FONT_STRIKEOUT));
    f.charSet = static_cast<int>(ConfigGet(backend, FONT_CHARSET));
    f.pitchAndFamily = static_cast<int>(ConfigGet(backend, FONT_PITCH));
    f.face = ConfigGet(backend, FONT_FACE);
    if (f.face.empty()) f.face = FONT_FACE.def;
    f.colour = static_cast<uint32_t>(ConfigGet(backend, TEXT_COLOUR));
    return f;
}

PlacementConfig ConfigLoadPlacement(ConfigBackend* backend) {
    PlacementConfig p;
    long long v[4];
    const ConfigIntKey* keys[4] = {&WIN_LEFT, &WIN_TOP, &WIN_RIGHT, &WIN_BOTTOM};
    // The rectangle is one value in four parts: any part missing or bad, and
    // the window takes its default place.
    for (int i = 0; i < 4; ++i)
        if (!backend || !backend->ReadInt(keys[i]->name, v[i]) || !ConfigIntValid(*keys[i], v[i])) return p;
    if (v[2] - v[0] < WINDOW_MIN_SIZE || v[3] - v[1] < WINDOW_MIN_SIZE) return p;
    p.saved = true;
    p.left = static_cast<int>(v[0]);
    p.top = static_cast<int>(v[1]);
    p.right = static_cast<int>(v[2]);
    p.bottom = static_cast<int>(v[3]);
    p.maximized = static_cast<int>(ConfigGet(backend, WIN_MAXIMIZED));
    return p;
}

int ConfigSavePort(ConfigBackend* backend, const PortSettings& before, const PortSettings& now) {
    int written = 0;
    if (before.portNumber != now.portNumber && ConfigIntValid(PORT_SETTING_FIELDS[0].key, now.portNumber) &&
        backend && backend->WriteString(CONFIG_PORT_NAME, "COM" + std::to_string(now.portNumber)))
        ++written;
    for (int i = 1; i < PORT_SETTING_FIELD_COUNT; ++i) {
        const PortSettingField& f = PORT_SETTING_FIELDS[i];
        written += SaveIfChanged(backend, f.key, before.*f.member, now.*f.member);
    }
    return written;
}

int ConfigSaveFont(ConfigBackend* backend, const FontConfig& before, const FontConfig& now) {
    int written = 0;
    written += SaveIfChanged(backend, FONT_HEIGHT, before.height, now.height);
    written += SaveIfChanged(backend, FONT_WIDTH, before.width, now.width);
    written += SaveIfChanged(backend, FONT_WEIGHT, before.weight, now.weight);
    written += SaveIfChanged(backend, FONT_ITALIC, before.italic, now.italic);
    written += SaveIfChanged(backend, FONT_UNDERLINE, before.underline, now.underline);
    written += SaveIfChanged(backend, FONT_STRIKEOUT, before.strikeOut, now.strikeOut);
    written += SaveIfChanged(backend, FONT_CHARSET, before.charSet, now.charSet);
    written += SaveIfChanged(backend, FONT_PITCH, before.pitchAndFamily, now.pitchAndFamily);
    if (before.face != now.face && ConfigSet(backend, FONT_FACE, now.face)) ++written;
    written += SaveIfChanged(backend, TEXT_COLOUR, before.colour, now.colour);
    return written;
}

PlacementConfig PlacementClamp(const PlacementConfig& p, int areaLeft, int areaTop, int areaRight, int areaBottom) {
    if (!p.saved || areaRight - areaLeft < WINDOW_MIN_SIZE || areaBottom - areaTop < WINDOW_MIN_SIZE) return p;
    PlacementConfig c = p;
    auto fit = [](int& low, int& high, int areaLow, int areaHigh) {
        int size = high - low;
        if (size > areaHigh - areaLow) size = areaHigh - areaLow;
        if (size < WINDOW_MIN_SIZE) size = WINDOW_MIN_SIZE;
        if (low < areaLow) low = areaLow;
        if (low + size > areaHigh) low = areaHigh - size;
        high = low + size;
    };
    fit(c.left, c.right, areaLeft, areaRight);
    fit(c.top, c.bottom, areaTop, areaBottom);
    return c;
}

int ConfigSavePlacement(ConfigBackend* backend, const PlacementConfig& now) {
    if (!now.saved) return 0;
    int written = 0;
    written += ConfigSet(backend, WIN_LEFT, now.left) ? 1 : 0;
    written += ConfigSet(backend, WIN_TOP, now.top) ? 1 : 0;
    written += ConfigSet(backend, WIN_RIGHT, now.right) ? 1 : 0;
    written += ConfigSet(backend, WIN_BOTTOM, now.bottom) ? 1 : 0;
    written += ConfigSet(backend, WIN_MAXIMIZED, now.maximized ? 1 : 0) ? 1 : 0;
    return written;
}

// ---- The watch ----------------------------------------------------------------------

const WatchSettingField WATCH_SETTING_FIELDS[WATCH_SETTING_FIELD_COUNT] = {
    {{"WatchFlicker", 1, 0, 1}, nullptr, 0},
    {{"WatchStale", 1, 0, 1}, nullptr, 1},
    {{"WatchSilence", 1, 0, 1}, nullptr, 2},
    {{"WatchErrors", 1, 0, 1}, nullptr, 3},
    {{"WatchReset", 1, 0, 1}, nullptr, 4},
    {{"WatchName", 1, 0, 1}, nullptr, 5},
    {{"WatchPortLost", 1, 0, 1}, nullptr, 6},
    {{"WatchGap", 1, 0, 1}, nullptr, 7},
    {{"WatchFlickerMs", 200, 1, 60000}, &WatchSettings::flickerMs, 0},
    {{"WatchStaleMinS", 2, 1, 3600}, &WatchSettings::staleMinS, 0},
    {{"WatchSilenceS", 2, 1, 3600}, &WatchSettings::silenceS, 0},
    {{"WatchErrorsN", 5, 1, 1000}, &WatchSettings::errorsN, 0},
    {{"WatchErrorsT", 10, 1, 86400}, &WatchSettings::errorsT, 0},
    {{"WatchSound", 0, 0, 1}, &WatchSettings::sound, 0},
    {{"WatchFlash", 0, 0, 1}, &WatchSettings::flash, 0},
    {{"WatchKeep", 0, 0, 1}, &WatchSettings::keep, 0},
    {{"WatchKeepBeforeS", 30, 0, 3600}, &WatchSettings::keepBeforeS, 0},
    {{"WatchKeepAfterS", 30, 0, 3600}, &WatchSettings::keepAfterS, 0},
    // 1 GB by default; at most 1 TB.
    {{"WatchKeepBudgetMB", 1024, 1, 1048576}, &WatchSettings::keepBudgetMB, 0},
};
// A Windows path fits MAX_PATH (260) with its terminator.
const ConfigStringKey WATCH_KEEP_FOLDER = {"WatchKeepFolder", "", 259};

int& WatchSettingRef(WatchSettings& s, const WatchSettingField& f) { return f.member ? s.*f.member : s.rule[f.index]; }
int WatchSettingGet(const WatchSettings& s, const WatchSettingField& f) {
    return f.member ? s.*f.member : s.rule[f.index];
}

WatchSettings::WatchSettings() {
    for (const WatchSettingField& f : WATCH_SETTING_FIELDS) WatchSettingRef(*this, f) = static_cast<int>(f.key.def);
    keepFolder = WATCH_KEEP_FOLDER.def;
}

bool WatchSettingsValid(const WatchSettings& s) {
    for (const WatchSettingField& f : WATCH_SETTING_FIELDS)
        if (!ConfigIntValid(f.key, WatchSettingGet(s, f))) return false;
    return s.keepFolder.size() <= WATCH_KEEP_FOLDER.maxLength;
}

WatchSettings ConfigLoadWatch(ConfigBackend* backend) {
    WatchSettings s;
    for (const WatchSettingField& f : WATCH_SETTING_FIELDS)
        WatchSettingRef(s, f) = static_cast<int>(ConfigGet(backend, f.key));
    s.keepFolder = ConfigGet(backend, WATCH_KEEP_FOLDER);
    return s;
}

int ConfigSaveWatch(ConfigBackend* backend, const WatchSettings& before, const WatchSettings& now) {
    int written = 0;
    for (const WatchSettingField& f : WATCH_SETTING_FIELDS)
        written += SaveIfChanged(backend, f.key, WatchSettingGet(before, f), WatchSettingGet(now, f));
    if (before.keepFolder != now.keepFolder && ConfigSet(backend, WATCH_KEEP_FOLDER, now.keepFolder)) ++written;
    return written;
}
