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

// What trace lines are stamped with.
enum TraceTime {
    TRACE_TIME_NONE,   // offsets only (a file: it has no times)
    TRACE_TIME_START,  // milliseconds since the start
    TRACE_TIME_WALL,   // local wall-clock time, ISO 8601 with milliseconds
};

// How a run ended, for the report and the exit status.
enum DumpEnd {
    DUMP_END_INPUT,         // the input ended (a file or standard input)
    DUMP_END_STOPPED,       // --port stopped with Ctrl-C or SIGTERM: its normal end
    DUMP_END_INTERRUPTED,   // a file or standard input interrupted before its end
    DUMP_END_READ_FAILED,   // the input or device failed while reading
    DUMP_END_WRITE_FAILED,  // the capture could not be written
    DUMP_END_TRUNCATED,     // a recording cut inside a record: decoded up to its last whole record
};

// The largest feed the parser always takes whole: its frame buffer less the
// longest incomplete message it may be carrying from the previous feed.
constexpr size_t DUMP_MAX_BLOCK = FRAME_BUFFER_SIZE - (2 + MAX_PAYLOAD - 1);

// A fresh store and parser (both large, so kept on the heap) plus what the
// summary needs that the counters do not hold (names, aliases, resets, and
// messages and errors seen before the last reset: the store's counters go
// back to zero on a counter-reset message, these totals never do).
struct DumpSession {
    std::unique_ptr<TallyStore> store;
    std::unique_ptr<FrameParser> parser;
    std::ostream* trace = nullptr;   // trace lines go here when set
    TraceTime traceTime = TRACE_TIME_NONE;
    int64_t traceStartMs = 0;        // clockMs() at the start, for TRACE_TIME_START
    int64_t (*clockMs)() = nullptr;  // monotonic clock for TRACE_TIME_START
    uint64_t bytesFed = 0;
    uint64_t stored[256] = {};       // stored messages per type byte, never reset
    uint64_t resets = 0;
    uint64_t ignored = 0;
    uint64_t dropped = 0;            // bytes the parser could not buffer
    uint64_t errorTotals[5] = {};    // the five error counters' increases since start, in store order
};

// A warning line (with its line end) when what was decoded does not look like
// a tally feed: at least DUMP_SUSPECT_MIN_BYTES read and more than 90 % of
// them stray bytes (a text file, a history saved by mistake, a line at the
// wrong baud rate); "" otherwise.
constexpr uint64_t DUMP_SUSPECT_MIN_BYTES = 256;
std::string DumpSuspectWarning(const DumpSession& session, const std::string& inputName);

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

// The whole store and the parser's pending bytes as one JSON object, with
// "totals" since start (bytes, messages, ignored, resets, dropped and the five
// error counts under the counters' names) and how the run ended.
nlohmann::json DumpJson(DumpSession& session, DumpEnd end = DUMP_END_INPUT);
// Which sources the final state tallies, by the On Air rule: {"me": four
// {"pgm", "lap", "pvw"} lists of sources, ME 1 first; "outputs": the outputs
// on air with source and mode}, lists ascending.
nlohmann::ordered_json DumpOnAirJson(DumpSession& session);
// Short human summary: messages per type, the five error counters, pending bytes.
std::string DumpSummary(DumpSession& session);
// Sum of the five error counters as the store holds them now, and since start.
uint64_t DumpFramingErrors(DumpSession& session);
uint64_t DumpFramingTotal(const DumpSession& session);
// Messages the store has counted (ME, EXT, SS and OUT; a reset zeroes them).
uint64_t DumpStoredCount(DumpSession& session);

// "2026-12-08T09:41:03.123+01:00": local time of a Unix time in ms.
std::string WallClockText(int64_t unixMs);
int64_t WallClockMs();

// How a run ended, in words ("end of input", "interrupted", ...).
const char* DumpEndText(DumpEnd end);
// Exit status of a run: 0 complete; 1 a read or write failure, or bytes
// dropped; 128 + signal for a file or standard input interrupted.
int DumpExitStatus(const DumpSession& session, DumpEnd end, int signal);
// The final report of mode on out (for a trace: its closing line).
void DumpReport(DumpSession& session, DumpMode mode, DumpEnd end, std::ostream& out);

// One trace line (no newline) for a framing event.
std::string FormatTraceEvent(const FrameEvent& event);

// Lower-case hex of bytes, separated by sep (may be empty).
std::string HexBytes(const uint8_t* bytes, size_t count, const char* sep);

// Reads the whole stream in blocks of blockSize (stopping early on Ctrl-C or
// SIGTERM once InterruptInstall was called) and writes the report of mode to
// out. Returns the exit status of DumpExitStatus, or 2 when nothing could be
// read at all (message on err).
int DumpStream(FILE* in, const std::string& inputName, size_t blockSize, DumpMode mode, TraceTime time,
               std::ostream& out, std::ostream& err);
