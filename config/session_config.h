// The session's saved settings, free of any platform header: port, line
// settings, the Settings dialog's options, the terminal font and colour and
// the main window's placement. Each value is read, checked and defaulted on
// its own; only values that changed are written.
#pragma once
#include <cstdint>
#include <string>

#include "config/config_values.h"

// Every line setting and option of the port, in one record: the Settings
// dialog edits it, the saved settings, the command line and Detect Settings
// fill it, the port applies it. Values are as Windows codes them (parity 0
// none, 1 odd, 2 even, 3 mark, 4 space; stop bits 0 one, 1 one and a half,
// 2 two), flow option bits DTR/DSR 1, RTS/CTS 2, XON/XOFF 4. A new record
// holds the defaults of PORT_SETTING_FIELDS, the only copy of them.
struct PortSettings {
    int portNumber;  // 1..256
    int baudRate;
    int dataBits;
    int parity;
    int stopBits;
    int flowFlags;
    int autowrap;
    int newLine;
    int localEcho;
    int displayErrors;
    int reconnect;  // "Reconnect automatically"
    PortSettings();
};

// Flow-control option bits of flowFlags.
constexpr int FLOW_DTRDSR = 1;
constexpr int FLOW_RTSCTS = 2;
constexpr int FLOW_XONXOFF = 4;

// The rates the Settings dialog offers and the command line and saved
// settings accept, in the dialog's order.
constexpr int PORT_BAUD_RATE_COUNT = 13;
extern const long long PORT_BAUD_RATES[PORT_BAUD_RATE_COUNT];

// One row per field: its saved name, default, range and allowed values, and
// where it lives in the record. Load, save, compare and the range checks all
// walk this table. The port (saved as text, "COM12") is the first row.
struct PortSettingField {
    ConfigIntKey key;
    int PortSettings::*member;
};
constexpr int PORT_SETTING_FIELD_COUNT = 11;
extern const PortSettingField PORT_SETTING_FIELDS[PORT_SETTING_FIELD_COUNT];

// True when every field lies in its range (and is one of its allowed values).
bool PortSettingsValid(const PortSettings& s);

// The watch: each rule on or off and its threshold, the alarm's sound and
// taskbar flash, and the recordings kept around alarms. A new record holds
// the defaults of WATCH_SETTING_FIELDS, the only copy of them; the rules in
// the order of the watch's rules (flicker, stale, silence, errors, reset,
// name, port-lost, gap).
constexpr int WATCH_SETTING_RULES = 8;
struct WatchSettings {
    int rule[WATCH_SETTING_RULES];
    int flickerMs;     // W
    int staleMinS;     // the stale threshold's floor
    int silenceS;      // S
    int errorsN;       // N errors ...
    int errorsT;       // ... within T seconds
    int sound;         // "Sound on Alarm"
    int flash;         // "Flash on Alarm"
    int keep;          // "Keep Recordings Around Alarms"
    int keepBeforeS;   // P
    int keepAfterS;    // F
    int keepBudgetMB;  // the kept files together
    std::string keepFolder;
    WatchSettings();
};
struct WatchSettingField {
    ConfigIntKey key;
    int WatchSettings::*member;  // null for the rules: rule[index]
    int index;
};
constexpr int WATCH_SETTING_FIELD_COUNT = WATCH_SETTING_RULES + 11;
extern const WatchSettingField WATCH_SETTING_FIELDS[WATCH_SETTING_FIELD_COUNT];
extern const ConfigStringKey WATCH_KEEP_FOLDER;  // "WatchKeepFolder", "" (none chosen)
// The field's place in a record.
int& WatchSettingRef(WatchSettings& s, const WatchSettingField& f);
int WatchSettingGet(const WatchSettings& s, const WatchSettingField& f);
bool WatchSettingsValid(const WatchSettings& s);
WatchSettings ConfigLoadWatch(ConfigBackend* backend);
// Writes the values of `now` that differ from `before`; returns how many.
int ConfigSaveWatch(ConfigBackend* backend, const WatchSettings& before, const WatchSettings& now);

// The terminal font (the LOGFONT members the chooser sets) and text colour.
// Defaults: 20 pixels high, OEM character set, fixed pitch, modern, "FixedSys".
struct FontConfig {
    int height = 20;
    int width = 0;
    int weight = 0;
    int italic = 0;
    int underline = 0;
    int strikeOut = 0;
    int charSet = 255;
    int pitchAndFamily = 0x31;
    std::string face = "FixedSys";
    uint32_t colour = 0;  // COLORREF 0x00bbggrr
};

// The normal (restored) rectangle of the main window and whether it was
// maximised. `saved` is false when no complete, sensible rectangle is stored;
// the window then takes the system's default place.
struct PlacementConfig {
    bool saved = false;
    int left = 0, top = 0, right = 0, bottom = 0;
    int maximized = 0;
};

// A restored rectangle brought onto a monitor's work area (left, top, right,
// bottom): no larger than the area, no smaller than a usable window, and
// moved inside it. A rectangle saved on a monitor unplugged since, or
// damaged, then opens where it can be seen and grabbed.
PlacementConfig PlacementClamp(const PlacementConfig& p, int areaLeft, int areaTop, int areaRight, int areaBottom);

bool operator==(const PortSettings& a, const PortSettings& b);
inline bool operator!=(const PortSettings& a, const PortSettings& b) { return !(a == b); }
bool operator==(const FontConfig& a, const FontConfig& b);
bool operator==(const PlacementConfig& a, const PlacementConfig& b);

PortSettings ConfigLoadPort(ConfigBackend* backend);
FontConfig ConfigLoadFont(ConfigBackend* backend);
PlacementConfig ConfigLoadPlacement(ConfigBackend* backend);

// Writes the values of `now` that differ from `before`; returns how many
// were written.
int ConfigSavePort(ConfigBackend* backend, const PortSettings& before, const PortSettings& now);
int ConfigSaveFont(ConfigBackend* backend, const FontConfig& before, const FontConfig& now);
// Writes the whole placement (nothing when `now.saved` is false).
int ConfigSavePlacement(ConfigBackend* backend, const PlacementConfig& now);

// Names of the stored values, for tests and for the README.
extern const char* const CONFIG_PORT_NAME;  // "Port", stored as "COM12"
