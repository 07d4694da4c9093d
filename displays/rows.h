// Text of every row and counter of the five tally displays, computed from plain
// copies of the store's records. Portable (no platform headers): the dialogs
// only move these strings into their controls, and the row rules are tested
// natively.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tally/store.h"

// Longest row: the still-store mode row (75) and the keyer row (78); a name
// row is 68. The extra room keeps snprintf from ever truncating.
constexpr size_t DISPLAY_ROW_SIZE = 96;
// A 32-bit unsigned counter in decimal: at most 10 digits.
constexpr size_t DISPLAY_COUNTER_SIZE = 12;

typedef char DisplayRow[DISPLAY_ROW_SIZE];
typedef char DisplayCounter[DISPLAY_COUNTER_SIZE];

// ---- Shared rules -----------------------------------------------------------
// A byte value as one list row: "%5d", always 0-255.
void DisplayByteRow(uint8_t value, DisplayRow& out);
// Bit rows: flags most significant first.
void DisplayBitRowWide(uint8_t flags, DisplayRow& out);     // "%5d%10d..." bits 7..0
void DisplayBitRowKeyer(uint8_t flags, DisplayRow& out);    // "%8d%10d..." bits 7..0
void DisplayBitRowNibble(uint8_t flags, DisplayRow& out);   // "%5d%10d%10d%10d" bits 3..0
// A counter as unsigned decimal (never negative, whatever its size).
void DisplayCounterText(uint32_t value, DisplayCounter& out);

// ---- ME display -------------------------------------------------------------
constexpr int ME_SOURCE_ROWS = 12;
constexpr int ME_CONTRIBUTION_ROWS = 10;
constexpr int ME_COUNTER_FIELDS = 9;  // four ME counts, then the five error counters
struct MeDisplayText {
    DisplayRow sources[ME_SOURCE_ROWS];
    DisplayRow contribution[ME_CONTRIBUTION_ROWS];
    DisplayRow keyer;
    DisplayCounter counters[ME_COUNTER_FIELDS];
};
// Record index 0-3 of an ME selector button id, or -1 for any other id.
int MeRecordOfSelector(int controlId);
void MeDisplayFormat(const MeTally& record, const TallyCounterValues& counters, MeDisplayText& out);

// ---- EXT display ------------------------------------------------------------
constexpr int EXT_SOURCE_ROWS = 14;
constexpr int EXT_CONTRIBUTION_ROWS = 6;
struct ExtDisplayText {
    DisplayRow sources[EXT_SOURCE_ROWS];
    DisplayRow contribution[EXT_CONTRIBUTION_ROWS];
    DisplayRow inputMode;
    DisplayCounter counters[EXT_RECORDS];
};
// Record index 0-7 of an EXT selector button id, or -1 for any other id.
int ExtRecordOfSelector(int controlId);
void ExtDisplayFormat(const ExtTally& record, const TallyCounterValues& counters, ExtDisplayText& out);

// ---- Still store display ----------------------------------------------------
struct SsDisplayText {
    DisplayRow sources[2];
    DisplayRow mode;  // bits 6..0 with "%3d%12d%12d%12d%12d%12d%12d"
    DisplayCounter count;
};
void SsDisplayFormat(const StillStoreTally& record, const TallyCounterValues& counters, SsDisplayText& out);

// ---- Output display ---------------------------------------------------------
constexpr int OUT_GROUPS = 3;
constexpr int OUT_GROUP_ROWS = 16;
struct OutDisplayText {
    // [group][row]: group g holds outputs 16g+1 .. 16g+16.
    DisplayRow source[OUT_GROUPS][OUT_GROUP_ROWS];
    DisplayRow mode[OUT_GROUPS][OUT_GROUP_ROWS];
    DisplayRow onAir[OUT_GROUPS][OUT_GROUP_ROWS];
    DisplayCounter counters[OUT_RECORDS];
};
void OutDisplayFormat(const OutputTally records[OUT_RECORDS], const TallyCounterValues& counters,
                      OutDisplayText& out);

// ---- Source names display ---------------------------------------------------
// The row of source number 1-128: "%8d%20s%20s%20s". Each field is read up to
// its terminator and never past its own length.
void NameDisplayRow(int source, const SourceNameValues& entry, DisplayRow& out);
