// The TSL outputs' and the hub check's saved settings (Network -> Tally
// Outputs... and Compare with TSL Input...), free of any platform header.
// Read and written as the port's settings are: one table of names, defaults
// and ranges per record, each value checked and defaulted on its own, only
// changed values written. Each destination is one stored line: its address
// as --tsl-out writes it, then its map as NAME=VALUE words, e.g.
//   5.0:udp:10.0.0.9:8900 on=1 me=0 offset=0 levels=7 pgm=1 lap=3 pvw=2 lamps=7 brightness=3 screen=0
// A line that does not read whole is left out on load (the others stay).
#pragma once
#include <string>
#include <vector>

#include "config/config_values.h"
#include "tsl/tsl_output.h"

// The levels a destination sends (bits of `levels`).
constexpr int TSL_LEVEL_PVW = 1;
constexpr int TSL_LEVEL_LAP = 2;
constexpr int TSL_LEVEL_PGM = 4;
// The 5.0 tallies that carry a level's colour (bits of `lamps`).
constexpr int TSL_LAMP_LH = 1;
constexpr int TSL_LAMP_TEXT = 2;
constexpr int TSL_LAMP_RH = 4;

// One destination and its map. A new record holds the defaults of
// TSL_DESTINATION_FIELDS (the map of tsl/tsl_map.h), 5.0 over UDP, no host.
struct TslDestinationConfig {
    TslEndpoint endpoint;  // protocol, transport, host, port, DLE/STX over UDP
    int enabled;
    int me;           // 0 all MEs, 1..4 one
    int indexOffset;  // display index = source + offset
    int levels;       // TSL_LEVEL_* sent
    int pgmTally;     // 3.1: the tally (1..4) each level lights, 0 none
    int lapTally;
    int pvwTally;
    int lamps;        // 5.0: TSL_LAMP_* that carry the colour
    int brightness;   // 0..3
    int screen;
    TslDestinationConfig();
};
bool operator==(const TslDestinationConfig& a, const TslDestinationConfig& b);
inline bool operator!=(const TslDestinationConfig& a, const TslDestinationConfig& b) { return !(a == b); }

// The map's rows; key.name is the word of the stored line.
struct TslDestinationField {
    ConfigIntKey key;
    int TslDestinationConfig::*member;
    const char* label;  // as the dialog and its messages name it
};
constexpr int TSL_DESTINATION_FIELD_COUNT = 10;
extern const TslDestinationField TSL_DESTINATION_FIELDS[TSL_DESTINATION_FIELD_COUNT];
const TslDestinationField* TslDestinationFieldNamed(const std::string& name);

constexpr int TSL_MAX_DESTINATIONS = 16;

// Everything TSL keeps: the destinations, their refresh interval, and the
// listener the hub's TSL is compared from.
struct TslSettings {
    std::vector<TslDestinationConfig> outputs;
    int refreshMs;
    int inEnabled;
    int toleranceMs;
    std::string listener;  // udp:ADDR:PORT or tcp:ADDR:PORT
    TslSettings();
};
bool operator==(const TslSettings& a, const TslSettings& b);
inline bool operator!=(const TslSettings& a, const TslSettings& b) { return !(a == b); }

struct TslSettingField {
    ConfigIntKey key;
    int TslSettings::*member;
    const char* label;
};
constexpr int TSL_SETTING_FIELD_COUNT = 3;
extern const TslSettingField TSL_SETTING_FIELDS[TSL_SETTING_FIELD_COUNT];
extern const ConfigStringKey TSL_LISTENER_KEY;  // "TslIn"
extern const ConfigIntKey TSL_OUTPUT_COUNT_KEY;  // "TslOutputs"
// "TslOutput1" ... (1-based), one line each.
std::string TslOutputKeyName(int index);

// The stored line and back; false with the reason for a line that does not
// read whole (an unknown word, a value out of its range, a bad address).
std::string TslDestinationFormat(const TslDestinationConfig& d);
bool TslDestinationParse(const std::string& text, TslDestinationConfig& d, std::string& error);

// False with a message for the operator and the field to put right: "host",
// "port" or a word of TSL_DESTINATION_FIELDS.
bool TslDestinationCheck(const TslDestinationConfig& d, std::string& message, std::string& field);
// "The index offset is a number from -1000 to 65000."
std::string TslFieldRangeMessage(const char* label, long long min, long long max);

// What the outputs run: the destination and its map.
TslMapConfig TslDestinationMap(const TslDestinationConfig& d);
// The list's columns: "5.0 UDP DLE/STX", "10.0.0.9:8900", "All" or "ME 2",
// and the map in a few words.
std::string TslDestinationProtocolText(const TslDestinationConfig& d);
std::string TslDestinationAddressText(const TslDestinationConfig& d);
std::string TslDestinationMeText(const TslDestinationConfig& d);
std::string TslDestinationMapText(const TslDestinationConfig& d);

TslSettings ConfigLoadTsl(ConfigBackend* backend);
// Writes the values of `now` that differ from `before` (a changed list: the
// count and each changed line; lines it no longer has are emptied). Returns
// how many were written.
int ConfigSaveTsl(ConfigBackend* backend, const TslSettings& before, const TslSettings& now);
