// What a history event means, in the displays' own words: for a stored
// message, what changed against the previous message of its type, with the
// displays' row and column captions and the source names known so far; for
// every other event a short description. Portable: no platform headers.
#pragma once
#include <cstdint>
#include <string>

#include "history/event.h"
#include "tally/protocol.h"

// What the history has seen so far: the last payload of every type and the
// source-name table, as the events built them (so a description never reads
// the live store, which may already be ahead of the event).
struct HistoryShadow {
    bool seen[256];
    uint8_t payload[256][MAX_PAYLOAD];
    struct Name {
        char name[NAME_LENGTH + 1];
        char nickname[NICKNAME_LENGTH + 1];
        char alias[NAME_LENGTH + 1];
    } names[SOURCE_COUNT + 1];
    bool silent;          // a silent event was the last link change
    int64_t lastByteMs;   // time of the last framing event; 0 before any
};

void HistoryShadowInit(HistoryShadow& shadow);
// Forget the last payloads (after lost events they may be stale); names stay.
void HistoryShadowForgetRecords(HistoryShadow& shadow);

// Describes the event into `out` and takes its effect into the shadow.
// Returns false only for a stored message that changed nothing ("no change").
bool HistoryDescribe(HistoryShadow& shadow, const HistoryEvent& event, std::string& out);

// The name shown for source 1..128 (alias when set, else name; trailing
// blanks dropped), empty when none is known.
std::string HistorySourceName(const HistoryShadow& shadow, int source);

// UART error bits as ClearCommError reports them.
constexpr uint32_t LINE_BIT_RXOVER = 0x0001;
constexpr uint32_t LINE_BIT_OVERRUN = 0x0002;
constexpr uint32_t LINE_BIT_PARITY = 0x0004;
constexpr uint32_t LINE_BIT_FRAME = 0x0008;
constexpr uint32_t LINE_BIT_BREAK = 0x0010;
