// Decoding a tally byte stream through the real store and frame parser, for
// tallydump and its tests: JSON of the whole store, trace lines per framing
// event, and a short human summary.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "tally/parser.h"
#include "tally/store.h"

enum DumpMode { DUMP_SUMMARY, DUMP_JSON, DUMP_TRACE, DUMP_ON_AIR };

// A fresh store and parser (both large, so kept on the heap) plus what the
// summary needs that the counters do not hold (names, aliases, resets, and
// messages seen before the last reset).
struct DumpSession {
    std::unique_ptr<TallyStore> store;
    std::unique_ptr<FrameParser> parser;
    std::ostream* trace = nullptr;   // trace lines go here when set
    int64_t traceStartMs = -1;       // >= 0: prefix trace lines with ms since this clock value
    int64_t (*clockMs)() = nullptr;  // clock for the time stamps
    uint64_t bytesFed = 0;
    uint64_t stored[256] = {};       // stored messages per type byte, never reset
    uint64_t resets = 0;
    uint64_t ignored = 0;
    uint64_t dropped = 0;            // bytes the parser could not buffer
};

// Fresh store in its initial contents and an empty parser; trace may be nullptr.
void DumpSessionInit(DumpSession& session, std::ostream* trace);
void DumpFeed(DumpSession& session, const uint8_t* bytes, size_t count);
// The parser trace callback DumpSessionInit installs (context: the session):
// keeps the summary's tallies and prints trace lines when session.trace is set.
void DumpOnFrameEvent(void* context, const FrameEvent& event);

// The counters as a JSON object with the receiver's counter names.
nlohmann::json CountersToJson(const TallyCounterValues& counters);
// Inverse of CountersToJson; false when a key is missing or not a number.
bool CountersFromJson(const nlohmann::json& json, TallyCounterValues& counters);

// The whole store and the parser's pending bytes as one JSON object.
nlohmann::json DumpJson(DumpSession& session);
// Which sources the final state tallies, by the On Air rule: {"me": four
// {"pgm", "lap", "pvw"} lists of sources, ME 1 first; "outputs": the outputs
// on air with source and mode}, lists ascending.
nlohmann::ordered_json DumpOnAirJson(DumpSession& session);
// Short human summary: messages per type, the five error counters, pending bytes.
std::string DumpSummary(DumpSession& session);
// One line (no newline) of live statistics for a port monitor.
std::string DumpLiveLine(DumpSession& session);

// One trace line (no newline) for a framing event.
std::string FormatTraceEvent(const FrameEvent& event);

// Lower-case hex of bytes, separated by sep (may be empty).
std::string HexBytes(const uint8_t* bytes, size_t count, const char* sep);

// Reads the whole stream in blocks of blockSize and writes the report of mode
// to out. Returns 0, or 2 when the stream could not be read (message on err).
int DumpStream(FILE* in, const std::string& inputName, size_t blockSize, DumpMode mode,
               std::ostream& out, std::ostream& err);
