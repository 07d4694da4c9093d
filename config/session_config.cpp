#include "config/session_config.h"

#include "serial/port_list.h"

const char* const CONFIG_PORT_NAME = "Port";

namespace {

const long long BAUD_RATES[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 256000};
const long long OFF_ON[] = {0, 1};

const ConfigIntKey BAUD = {"BaudRate", 115200, 110, 256000, BAUD_RATES, 13};
const ConfigIntKey DATA_BITS = {"DataBits", 8, 5, 8};
const ConfigIntKey PARITY = {"Parity", 0, 0, 4};
const ConfigIntKey STOP_BITS = {"StopBits", 0, 0, 2};
const ConfigIntKey FLOW = {"FlowControl", 4, 0, 7};
const ConfigIntKey AUTOWRAP = {"Autowrap", 1, 0, 1, OFF_ON, 2};
const ConfigIntKey NEW_LINE = {"NewLine", 0, 0, 1};
const ConfigIntKey LOCAL_ECHO = {"LocalEcho", 0, 0, 1};
const ConfigIntKey DISPLAY_ERRORS = {"DisplayErrors", 1, 0, 1};
const ConfigIntKey RECONNECT = {"ReconnectAutomatically", 0, 0, 1};

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

bool operator==(const PortConfig& a, const PortConfig& b) {
    return a.portNumber == b.portNumber && a.baudRate == b.baudRate && a.dataBits == b.dataBits &&
           a.parity == b.parity && a.stopBits == b.stopBits && a.flowFlags == b.flowFlags &&
           a.autowrap == b.autowrap && a.newLine == b.newLine && a.localEcho == b.localEcho &&
           a.displayErrors == b.displayErrors && a.reconnect == b.reconnect;
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

PortConfig ConfigLoadPort(ConfigBackend* backend) {
    PortConfig c;
    std::string port;
    if (backend && backend->ReadString(CONFIG_PORT_NAME, port)) {
        const int number = PortNumberFromName(port);
        if (number != 0) c.portNumber = number;
    }
    c.baudRate = static_cast<uint32_t>(ConfigGet(backend, BAUD));
    c.dataBits = static_cast<int>(ConfigGet(backend, DATA_BITS));
    c.parity = static_cast<int>(ConfigGet(backend, PARITY));
    c.stopBits = static_cast<int>(ConfigGet(backend, STOP_BITS));
    c.flowFlags = static_cast<int>(ConfigGet(backend, FLOW));
    c.autowrap = static_cast<int>(ConfigGet(backend, AUTOWRAP));
    c.newLine = static_cast<int>(ConfigGet(backend, NEW_LINE));
    c.localEcho = static_cast<int>(ConfigGet(backend, LOCAL_ECHO));
    c.displayErrors = static_cast<int>(ConfigGet(backend, DISPLAY_ERRORS));
    c.reconnect = static_cast<int>(ConfigGet(backend, RECONNECT));
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

int ConfigSavePort(ConfigBackend* backend, const PortConfig& before, const PortConfig& now) {
    int written = 0;
    if (before.portNumber != now.portNumber && now.portNumber >= PORT_NUMBER_MIN && now.portNumber <= PORT_NUMBER_MAX &&
        backend && backend->WriteString(CONFIG_PORT_NAME, "COM" + std::to_string(now.portNumber)))
        ++written;
    written += SaveIfChanged(backend, BAUD, before.baudRate, now.baudRate);
    written += SaveIfChanged(backend, DATA_BITS, before.dataBits, now.dataBits);
    written += SaveIfChanged(backend, PARITY, before.parity, now.parity);
    written += SaveIfChanged(backend, STOP_BITS, before.stopBits, now.stopBits);
    written += SaveIfChanged(backend, FLOW, before.flowFlags, now.flowFlags);
    written += SaveIfChanged(backend, AUTOWRAP, before.autowrap, now.autowrap);
    written += SaveIfChanged(backend, NEW_LINE, before.newLine, now.newLine);
    written += SaveIfChanged(backend, LOCAL_ECHO, before.localEcho, now.localEcho);
    written += SaveIfChanged(backend, DISPLAY_ERRORS, before.displayErrors, now.displayErrors);
    written += SaveIfChanged(backend, RECONNECT, before.reconnect, now.reconnect);
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
