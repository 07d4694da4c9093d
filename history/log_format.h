// The history's lines: the log file and "Save History As..." write one line
// per event, tab-separated UTF-8 under one header line:
//   time<TAB>event<TAB>type<TAB>bytes<TAB>details
// time local ISO 8601 with milliseconds, event its log name, type "0x81"
// where there is one, bytes the consumed bytes as lowercase hex, details the
// change description. The same columns can be written as RFC 4180 CSV.
// Portable: no platform headers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "history/event.h"

extern const char HISTORY_LOG_HEADER[];  // "time\tevent\ttype\tbytes\tdetails\n"
extern const char HISTORY_CSV_HEADER[];  // "time,event,type,bytes,details\r\n"

// Local time of a wall-clock time (ms since 1970 UTC): "2026-12-08T14:03:22.117"
// (separator 'T'), or with a blank for the list. Uses the C library's local
// time; call from one thread only.
void HistoryFormatTime(int64_t timeMs, char separator, char (&out)[32]);

// "0x81", or "" when the event has no type.
void HistoryTypeText(const HistoryEvent& event, char (&out)[8]);

// The bytes as lowercase hex, without separators or with a blank between bytes.
void HistoryHex(const HistoryEvent& event, bool spaced, std::string& out);

extern const char HISTORY_LOG_START[];  // "log-start"
extern const char HISTORY_LOG_STOP[];   // "log-stop"
// A replay's events are no live events: the log pauses while one plays.
extern const char HISTORY_LOG_PAUSE[];   // "log-pause"
extern const char HISTORY_LOG_RESUME[];  // "log-resume"

// Appends the log file's own line (HISTORY_LOG_START or _STOP) at `timeMs`:
// no type and no bytes.
void HistoryAppendLogMark(int64_t timeMs, const char* event, const std::string& details, std::string& out);

// Appends one line (with its line end) for the event and its details.
void HistoryAppendLogLine(const HistoryEvent& event, const std::string& details, std::string& out);
void HistoryAppendCsvLine(const HistoryEvent& event, const std::string& details, std::string& out);

// The current wall-clock time in ms since 1970 UTC (std::chrono::system_clock).
int64_t HistoryNowMs();
