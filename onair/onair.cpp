// The tally derivation behind the On Air view and tallydump --on-air.
#include "onair/onair.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

const char* const INPUT_NAMES[ONAIR_INPUTS] = {
    "Key1 FILL", "Key1 CUT", "Key2 FILL", "Key2 CUT", "Key3 FILL", "Key3 CUT",
    "Key4 FILL", "Key4 CUT", "BusA",      "BusB",     "Util1",     "Util2",
};
// Element bit of each input in a contribution row (bits 7..0: Key4, Key3,
// Key2, Key1, Util2, Util1, BusB, BusA).
const int INPUT_BITS[ONAIR_INPUTS] = {4, 4, 5, 5, 6, 6, 7, 7, 0, 1, 2, 3};

const char* const ROW_NAMES[ONAIR_ROWS] = {"PGM A", "PGM B", "PGM C", "PGM D", "LAP A",
                                           "LAP B", "LAP C", "LAP D", "PVW A", "PVW 2"};

// Data byte of input i and of row j.
inline int InputByte(int input) { return 2 * input; }
inline int RowByte(int row) { return 3 + 2 * row; }

// Where the output display reads output position p (0..7) of a record: its
// source byte; the mode bit of data[1] (-1: always V); the on-air bit of data[3] is p.
const int OUT_SOURCE_BYTE[8] = {0, 2, 4, 5, 6, 7, 8, 9};
const int OUT_MODE_BIT[8] = {-1, 0, -1, 1, -1, 2, -1, 3};

void CopyText(char* to, const char* from, int length) {
    std::memcpy(to, from, length);
    to[length] = 0;
}

}  // namespace

const char* OnAirInputName(int input) { return input >= 0 && input < ONAIR_INPUTS ? INPUT_NAMES[input] : ""; }
const char* OnAirRowName(int row) { return row >= 0 && row < ONAIR_ROWS ? ROW_NAMES[row] : ""; }
int OnAirInputBit(int input) { return input >= 0 && input < ONAIR_INPUTS ? INPUT_BITS[input] : -1; }

OnAirLevel OnAirRowLevel(int row) {
    if (row >= 0 && row < 4) return ONAIR_PROGRAM;
    if (row >= 4 && row < 8) return ONAIR_LOOKAHEAD;
    if (row >= 8 && row < ONAIR_ROWS) return ONAIR_PREVIEW;
    return ONAIR_OFF;
}

const char* OnAirLevelLetters(OnAirLevel level) {
    switch (level) {
    case ONAIR_PROGRAM: return "PGM";
    case ONAIR_LOOKAHEAD: return "LAP";
    case ONAIR_PREVIEW: return "PVW";
    default: return "";
    }
}

void OnAirDerive(const MeTally me[ME_RECORDS], const OutputTally out[OUT_RECORDS], OnAirTally& tally) {
    std::memset(tally.rows, 0, sizeof tally.rows);
    std::memset(tally.appears, 0, sizeof tally.appears);
    std::memcpy(tally.me, me, sizeof tally.me);
    for (int m = 0; m < ME_RECORDS; ++m) {
        const uint8_t* data = me[m].data;
        for (int i = 0; i < ONAIR_INPUTS; ++i) {
            const uint8_t source = data[InputByte(i)];
            tally.appears[source] = true;
            for (int j = 0; j < ONAIR_ROWS; ++j)
                if (data[RowByte(j)] >> INPUT_BITS[i] & 1) tally.rows[m][source] |= static_cast<uint16_t>(1u << j);
        }
    }
    tally.onAirCount = 0;
    for (int r = 0; r < OUT_RECORDS; ++r) {
        const uint8_t* data = out[r].data;
        for (int p = 0; p < 8; ++p) {
            const uint8_t source = data[OUT_SOURCE_BYTE[p]];
            tally.appears[source] = true;
            if (!(data[3] >> p & 1)) continue;
            const bool key = OUT_MODE_BIT[p] >= 0 && (data[1] >> OUT_MODE_BIT[p] & 1);
            tally.onAir[tally.onAirCount++] = {static_cast<uint8_t>(8 * r + p + 1), source, key ? 'K' : 'V'};
        }
    }
}

OnAirLevel OnAirLevelOf(const OnAirTally& tally, int me, int source) {
    if (source < 0 || source >= ONAIR_SOURCE_VALUES) return ONAIR_OFF;
    OnAirLevel level = ONAIR_OFF;
    for (int m = 0; m < ME_RECORDS; ++m) {
        if (me != ONAIR_ALL_ME && me != m) continue;
        for (int j = 0; j < ONAIR_ROWS; ++j)
            if (tally.rows[m][source] >> j & 1) level = std::max(level, OnAirRowLevel(j));
    }
    return level;
}

std::vector<int> OnAirSourcesAt(const OnAirTally& tally, int me, OnAirLevel level) {
    std::vector<int> sources;
    if (me < 0 || me >= ME_RECORDS) return sources;
    uint16_t mask = 0;
    for (int j = 0; j < ONAIR_ROWS; ++j)
        if (OnAirRowLevel(j) == level) mask |= static_cast<uint16_t>(1u << j);
    for (int s = 0; s < ONAIR_SOURCE_VALUES; ++s)
        if (tally.rows[me][s] & mask) sources.push_back(s);
    return sources;
}

std::string OnAirReason(const OnAirTally& tally, int me, int source) {
    std::string text;
    if (source < 0 || source >= ONAIR_SOURCE_VALUES) return text;
    for (int m = 0; m < ME_RECORDS; ++m) {
        if (me != ONAIR_ALL_ME && me != m) continue;
        const uint8_t* data = tally.me[m].data;
        for (int j = 0; j < ONAIR_ROWS; ++j) {
            if (!(tally.rows[m][source] >> j & 1)) continue;
            if (!text.empty()) text += "; ";
            text += "ME " + std::to_string(m + 1) + " " + ROW_NAMES[j] + " via ";
            bool first = true;
            for (int i = 0; i < ONAIR_INPUTS; ++i) {
                if (data[InputByte(i)] != source || !(data[RowByte(j)] >> INPUT_BITS[i] & 1)) continue;
                if (!first) text += ", ";
                text += INPUT_NAMES[i];
                first = false;
            }
        }
    }
    return text;
}

std::string OnAirOutputsOf(const OnAirTally& tally, int source) {
    std::string text;
    for (int k = 0; k < tally.onAirCount; ++k) {
        if (tally.onAir[k].source != source) continue;
        if (!text.empty()) text += ", ";
        text += "Output " + std::to_string(tally.onAir[k].output) + " " + tally.onAir[k].mode;
    }
    return text;
}

std::string OnAirDescribe(const OnAirTally& tally, const OnAirInputs& inputs, int me, int source) {
    std::string text = "Source " + std::to_string(source);
    if (source >= 1 && source <= SOURCE_COUNT) {
        if (inputs.name[source][0]) text += std::string(" \"") + inputs.name[source] + "\"";
        if (inputs.nickname[source][0]) text += std::string(" (") + inputs.nickname[source] + ")";
    }
    const std::string reason = OnAirReason(tally, me, source);
    const std::string outputs = OnAirOutputsOf(tally, source);
    text += ": ";
    if (reason.empty() && outputs.empty()) return text + "not tallied";
    text += reason;
    if (!outputs.empty()) text += (reason.empty() ? "on air on " : "; on air on ") + outputs;
    return text;
}

void OnAirReadStore(TallyStore& store, OnAirInputs& inputs) {
    // One lock for everything, so the records and names belong together.
    static_assert(offsetof(SourceNameEntry, name) == 1 && offsetof(SourceNameEntry, nickname) == 14 &&
                      offsetof(SourceNameEntry, alias) == 21,
                  "SourceNameEntry layout");
    TallySnapshotValues snapshot;
    TallySnapshot(store, snapshot);
    std::memcpy(inputs.me, snapshot.meTally, sizeof inputs.me);
    std::memcpy(inputs.out, snapshot.outTally, sizeof inputs.out);
    for (int s = 0; s <= SOURCE_COUNT; ++s) {
        const char* entry = reinterpret_cast<const char*>(snapshot.sourceNames[s]);
        CopyText(inputs.name[s], entry + offsetof(SourceNameEntry, name), NAME_LENGTH);
        CopyText(inputs.nickname[s], entry + offsetof(SourceNameEntry, nickname), NICKNAME_LENGTH);
        CopyText(inputs.alias[s], entry + offsetof(SourceNameEntry, alias), NAME_LENGTH);
    }
}

bool OnAirInputsEqual(const OnAirInputs& a, const OnAirInputs& b) {
    // Fields are byte arrays without padding; texts are copied whole, so bytes
    // after a terminator are compared too and a change there (not shown)
    // costs one needless redraw at most.
    return std::memcmp(&a, &b, sizeof(OnAirInputs)) == 0;
}

std::vector<OnAirTile> OnAirTiles(const OnAirTally& tally, const OnAirInputs& inputs, int me) {
    std::vector<OnAirTile> tiles;
    for (int s = 0; s < ONAIR_SOURCE_VALUES; ++s) {
        const bool named = s >= 1 && s <= SOURCE_COUNT &&
                           (inputs.name[s][0] || inputs.nickname[s][0] || inputs.alias[s][0]);
        if (!named && !tally.appears[s]) continue;
        OnAirTile tile{s, OnAirLevelOf(tally, me, s), "", ""};
        if (s >= 1 && s <= SOURCE_COUNT) {
            tile.name = inputs.name[s];
            tile.nickname = inputs.nickname[s];
        }
        tiles.push_back(tile);
    }
    return tiles;
}

OnAirGrid OnAirGridFor(int count, int width, int height, double aspect) {
    OnAirGrid best = {0, 0, 0, 0};
    if (count <= 0 || width <= 0 || height <= 0 || aspect <= 0) return best;
    double bestArea = -1;
    for (int columns = 1; columns <= count; ++columns) {
        const int rows = (count + columns - 1) / columns;
        // Largest tile of the wanted shape in a cell of this grid.
        const double cellWidth = static_cast<double>(width) / columns;
        const double cellHeight = static_cast<double>(height) / rows;
        const double tileHeight = std::min(cellHeight, cellWidth / aspect);
        const double area = tileHeight * tileHeight * aspect;
        if (area > bestArea) {
            bestArea = area;
            best = {columns, rows, static_cast<int>(cellWidth), static_cast<int>(cellHeight)};
        }
    }
    return best;
}
