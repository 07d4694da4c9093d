// The session's saved settings, free of any platform header: port, line
// settings, the Settings dialog's options, the terminal font and colour and
// the main window's placement. Each value is read, checked and defaulted on
// its own; only values that changed are written.
#pragma once
#include <cstdint>
#include <string>

#include "config/config_values.h"

// Values as the session stores them (Win32 parity and stop-bit codes, flow
// option bits DTR/DSR 1, RTS/CTS 2, XON/XOFF 4). The defaults are the
// session's own: COM1, 115200 baud, 8 data bits, no parity, one stop bit,
// XON/XOFF, Autowrap and Display Errors on.
struct PortConfig {
    int portNumber = 1;
    uint32_t baudRate = 115200;
    int dataBits = 8;
    int parity = 0;
    int stopBits = 0;
    int flowFlags = 4;
    int autowrap = 1;
    int newLine = 0;
    int localEcho = 0;
    int displayErrors = 1;
    int reconnect = 0;  // "Reconnect automatically"
};

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

bool operator==(const PortConfig& a, const PortConfig& b);
bool operator==(const FontConfig& a, const FontConfig& b);
bool operator==(const PlacementConfig& a, const PlacementConfig& b);

PortConfig ConfigLoadPort(ConfigBackend* backend);
FontConfig ConfigLoadFont(ConfigBackend* backend);
PlacementConfig ConfigLoadPlacement(ConfigBackend* backend);

// Writes the values of `now` that differ from `before`; returns how many
// were written.
int ConfigSavePort(ConfigBackend* backend, const PortConfig& before, const PortConfig& now);
int ConfigSaveFont(ConfigBackend* backend, const FontConfig& before, const FontConfig& now);
// Writes the whole placement (nothing when `now.saved` is false).
int ConfigSavePlacement(ConfigBackend* backend, const PlacementConfig& now);

// Names of the stored values, for tests and for the README.
extern const char* const CONFIG_PORT_NAME;  // "Port", stored as "COM12"
