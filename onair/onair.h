// Which sources the switcher tallies, derived from the stored ME and output
// records: per ME the sources carried into the program (PGM A-D), look-ahead
// (LAP A-D) and preview (PVW A, PVW 2) rows, and the outputs that are on air.
// Portable (no platform headers): the On Air view and tallydump --on-air both
// use it, and it is tested natively.
//
// The rule. An ME record's even data bytes are the sources of its elements:
//   Key1 FILL 0, Key1 CUT 2, Key2 FILL 4, Key2 CUT 6, Key3 FILL 8, Key3 CUT 10,
//   Key4 FILL 12, Key4 CUT 14, BusA 16, BusB 18, Util1 20, Util2 22.
// Its odd data bytes 3, 5, ..., 21 are the rows PGM A-D, LAP A-D, PVW A, PVW 2;
// in a row, bits 7..0 stand for the elements Key4, Key3, Key2, Key1, Util2,
// Util1, BusB, BusA. A set bit puts that element's sources into the row (both
// fill and cut for a keyer). The keyer-in-use byte (1) is not consulted.
// Source numbers are taken as sent, 0 and 129-255 included.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tally/store.h"

constexpr int ONAIR_INPUTS = 12;            // source positions of an ME record
constexpr int ONAIR_ROWS = 10;              // contribution rows of an ME record
constexpr int ONAIR_SOURCE_VALUES = 256;    // a source byte as sent
constexpr int ONAIR_OUTPUTS = OUT_RECORDS * 8;
constexpr int ONAIR_ALL_ME = -1;            // "all four MEs together" wherever an ME index is taken

// Ordered so that the higher level wins when a source has several.
enum OnAirLevel : uint8_t {
    ONAIR_OFF = 0,
    ONAIR_PREVIEW = 1,
    ONAIR_LOOKAHEAD = 2,
    ONAIR_PROGRAM = 3,
};

// "Key1 FILL", "Key1 CUT", ... "Key4 CUT", "BusA", "BusB", "Util1", "Util2".
const char* OnAirInputName(int input);
// "PGM A" ... "PVW 2", as the ME display captions its rows.
const char* OnAirRowName(int row);
// The level a row gives: rows 0-3 program, 4-7 look-ahead, 8-9 preview.
OnAirLevel OnAirRowLevel(int row);
// Short text of a level for people who cannot tell the colours apart:
// "PGM", "LAP", "PVW", or "" for off.
const char* OnAirLevelLetters(OnAirLevel level);
// Bit (0..7) of the element that an input belongs to in a contribution row.
int OnAirInputBit(int input);

struct OnAirOutput {
    uint8_t output;  // 1..48, as the output display numbers them
    uint8_t source;
    char mode;       // 'V' or 'K'
};

struct OnAirTally {
    // rows[me][source]: bit j set when the source reaches row j of that ME.
    uint16_t rows[ME_RECORDS][ONAIR_SOURCE_VALUES];
    // The source is on some element of an ME record or on some output.
    bool appears[ONAIR_SOURCE_VALUES];
    OnAirOutput onAir[ONAIR_OUTPUTS];  // outputs with their on-air bit set, ascending
    int onAirCount;
    MeTally me[ME_RECORDS];            // the records derived from, for the reasons
};

void OnAirDerive(const MeTally me[ME_RECORDS], const OutputTally out[OUT_RECORDS], OnAirTally& tally);

// The level of a source for one ME (0..3) or for all four (ONAIR_ALL_ME).
OnAirLevel OnAirLevelOf(const OnAirTally& tally, int me, int source);
// Sources in any row of the given level of one ME, ascending, without repeats.
// A source in a PGM row and a PVW row is listed under both.
std::vector<int> OnAirSourcesAt(const OnAirTally& tally, int me, OnAirLevel level);
// Why a source is lit, e.g. "ME 1 PGM A via BusA; ME 2 PVW A via Key1 FILL, Key1 CUT":
// one part per ME and row in that order, its inputs in record order. Empty when
// the source reaches no row of the MEs asked for.
std::string OnAirReason(const OnAirTally& tally, int me, int source);
// The outputs on air with the source, e.g. "Output 9 V, Output 17 K"; empty if none.
std::string OnAirOutputsOf(const OnAirTally& tally, int source);

struct OnAirInputs;
// The whole story of a source for a tooltip or the view's detail line:
// 'Source 66 "CLIP 2" (CLP2): ME 1 PGM A via BusA; on air on Output 9 V', with
// "not tallied" when no row of the MEs asked for carries it and no output does.
std::string OnAirDescribe(const OnAirTally& tally, const OnAirInputs& inputs, int me, int source);

// What the derivation and the view read from the store, names without their
// changed flags, so that two copies compare equal exactly when the picture
// they give is the same.
struct OnAirInputs {
    MeTally me[ME_RECORDS];
    OutputTally out[OUT_RECORDS];
    char name[SOURCE_COUNT + 1][NAME_LENGTH + 1];
    char nickname[SOURCE_COUNT + 1][NICKNAME_LENGTH + 1];
    char alias[SOURCE_COUNT + 1][NAME_LENGTH + 1];
};
// One tear-free copy of the store (dirty and changed flags are read, never consumed).
void OnAirReadStore(TallyStore& store, OnAirInputs& inputs);
bool OnAirInputsEqual(const OnAirInputs& a, const OnAirInputs& b);

// A source gets a tile when it has a name, nickname or alias, or appears in a
// record; tiles are in ascending source order.
struct OnAirTile {
    int source;
    OnAirLevel level;  // for the ME asked for
    std::string name;
    std::string nickname;
};
std::vector<OnAirTile> OnAirTiles(const OnAirTally& tally, const OnAirInputs& inputs, int me);

// Columns and rows of a grid of `count` tiles in a width x height area, chosen
// for the largest tiles of about aspect (width / height) that fit. With no
// tiles or no room both are 0.
struct OnAirGrid {
    int columns, rows;
    int tileWidth, tileHeight;
};
OnAirGrid OnAirGridFor(int count, int width, int height, double aspect);
