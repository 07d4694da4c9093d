#include "displays/rows.h"

#include <cstdio>
#include <cstring>

#include "resources/resource.h"

namespace {

int Bit(uint8_t flags, int bit) { return (flags >> bit) & 1; }

}  // namespace

void DisplayByteRow(uint8_t value, DisplayRow& out) {
    // An unsigned byte promoted to int is 0-255: never shown negative.
    std::snprintf(out, sizeof out, "%5d", static_cast<int>(value));
}

void DisplayBitRowWide(uint8_t f, DisplayRow& out) {
    std::snprintf(out, sizeof out, "%5d%10d%10d%10d%10d%10d%10d%10d", Bit(f, 7), Bit(f, 6), Bit(f, 5),
                  Bit(f, 4), Bit(f, 3), Bit(f, 2), Bit(f, 1), Bit(f, 0));
}

void DisplayBitRowKeyer(uint8_t f, DisplayRow& out) {
    std::snprintf(out, sizeof out, "%8d%10d%10d%10d%10d%10d%10d%10d", Bit(f, 7), Bit(f, 6), Bit(f, 5),
                  Bit(f, 4), Bit(f, 3), Bit(f, 2), Bit(f, 1), Bit(f, 0));
}

void DisplayBitRowNibble(uint8_t f, DisplayRow& out) {
    std::snprintf(out, sizeof out, "%5d%10d%10d%10d", Bit(f, 3), Bit(f, 2), Bit(f, 1), Bit(f, 0));
}

void DisplayCounterText(uint32_t value, DisplayCounter& out) {
    // unsigned long is at least 32 bits everywhere, so the full range prints.
    std::snprintf(out, sizeof out, "%lu", static_cast<unsigned long>(value));
}

// ---- ME ---------------------------------------------------------------------

int MeRecordOfSelector(int controlId) {
    switch (controlId) {
    case IDC_ME1: return 0;
    case IDC_ME2: return 1;
    case IDC_ME3: return 2;
    case IDC_ME4: return 3;
    default: return -1;
    }
}

void MeDisplayFormat(const MeTally& record, const TallyCounterValues& counters, MeDisplayText& out) {
    for (int i = 0; i < ME_SOURCE_ROWS; ++i) DisplayByteRow(record.data[2 * i], out.sources[i]);
    for (int j = 0; j < ME_CONTRIBUTION_ROWS; ++j) DisplayBitRowWide(record.data[3 + 2 * j], out.contribution[j]);
    DisplayBitRowKeyer(record.data[1], out.keyer);
    for (int r = 0; r < ME_RECORDS; ++r) DisplayCounterText(counters.meCount[r], out.counters[r]);
    DisplayCounterText(counters.strayByteCount, out.counters[4]);
    DisplayCounterText(counters.unknownTypeCount, out.counters[5]);
    DisplayCounterText(counters.headerMismatchCount, out.counters[6]);
    DisplayCounterText(counters.headerLowByteCount, out.counters[7]);
    DisplayCounterText(counters.payloadErrorCount, out.counters[8]);
}

// ---- EXT --------------------------------------------------------------------

int ExtRecordOfSelector(int controlId) {
    switch (controlId) {
    case IDC_EXT1: return 0;
    case IDC_EXT2: return 1;
    case IDC_EXT3: return 2;
    case IDC_EXT4: return 3;
    case IDC_EXT5: return 4;
    case IDC_EXT6: return 5;
    case IDC_EXT7: return 6;
    case IDC_EXT8: return 7;
    default: return -1;
    }
}

void ExtDisplayFormat(const ExtTally& record, const TallyCounterValues& counters, ExtDisplayText& out) {
    for (int i = 0; i < EXT_CONTRIBUTION_ROWS; ++i) DisplayByteRow(record.data[2 * i + 1], out.sources[i]);
    for (int k = 0; k < 8; ++k) DisplayByteRow(record.data[13 + k], out.sources[EXT_CONTRIBUTION_ROWS + k]);
    for (int i = 0; i < EXT_CONTRIBUTION_ROWS; ++i) DisplayBitRowWide(record.data[2 * i], out.contribution[i]);
    DisplayBitRowNibble(record.data[12], out.inputMode);
    for (int r = 0; r < EXT_RECORDS; ++r) DisplayCounterText(counters.extCount[r], out.counters[r]);
}

// ---- Still store --------------------------------------------------------------

void SsDisplayFormat(const StillStoreTally& record, const TallyCounterValues& counters, SsDisplayText& out) {
    DisplayByteRow(record.data[0], out.sources[0]);
    DisplayByteRow(record.data[1], out.sources[1]);
    const uint8_t f = record.data[2];
    std::snprintf(out.mode, sizeof out.mode, "%3d%12d%12d%12d%12d%12d%12d", Bit(f, 6), Bit(f, 5), Bit(f, 4),
                  Bit(f, 3), Bit(f, 2), Bit(f, 1), Bit(f, 0));
    DisplayCounterText(counters.ssCount, out.count);
}

// ---- Outputs ----------------------------------------------------------------

void OutDisplayFormat(const OutputTally records[OUT_RECORDS], const TallyCounterValues& counters,
                      OutDisplayText& out) {
    // Source bytes of positions 1..8 within a record.
    static const int sourceByte[8] = {0, 2, 4, 5, 6, 7, 8, 9};
    for (int r = 0; r < OUT_RECORDS; ++r) {
        const uint8_t* data = records[r].data;
        const int group = r / 2;
        const int first = (r % 2) * 8;
        for (int p = 0; p < 8; ++p) {
            std::snprintf(out.source[group][first + p], DISPLAY_ROW_SIZE, "%8d",
                          static_cast<int>(data[sourceByte[p]]));
            // Odd positions (1, 3, 5, 7) have no mode bit; even ones read bits 0-3.
            const bool keyed = (p % 2 == 1) && Bit(data[1], p / 2);
            std::snprintf(out.mode[group][first + p], DISPLAY_ROW_SIZE, "%s", keyed ? "      K" : "V");
            std::snprintf(out.onAir[group][first + p], DISPLAY_ROW_SIZE, "%s", Bit(data[3], p) ? "  1" : " ");
        }
        DisplayCounterText(counters.outCount[r], out.counters[r]);
    }
}

// ---- Names ------------------------------------------------------------------

void NameDisplayRow(int source, const SourceNameValues& entry, DisplayRow& out) {
    // Bounded copies: a field without its terminator must not run into the next.
    char name[NAME_LENGTH + 1], nickname[NICKNAME_LENGTH + 1], alias[NAME_LENGTH + 1];
    std::memcpy(name, entry.name, NAME_LENGTH);
    name[NAME_LENGTH] = 0;
    std::memcpy(nickname, entry.nickname, NICKNAME_LENGTH);
    nickname[NICKNAME_LENGTH] = 0;
    std::memcpy(alias, entry.alias, NAME_LENGTH);
    alias[NAME_LENGTH] = 0;
    std::snprintf(out, sizeof out, "%8d%20s%20s%20s", source, name, nickname, alias);
}
