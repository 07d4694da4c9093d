// The history the window shows: every event as it was described when it
// arrived, capped to the newest HISTORY_KEEP_EVENTS or more (the oldest go a
// block at a time, counted), with the operator's filter over it and a find.
// Portable: no platform headers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "history/describe.h"
#include "history/event.h"

// Filter categories, in the order of the menu.
enum HistoryCategory { HISTORY_ME, HISTORY_EXT, HISTORY_SS, HISTORY_OUT, HISTORY_NAMES, HISTORY_CONTROL,
                       HISTORY_ERRORS, HISTORY_LINK, HISTORY_ALARMS, HISTORY_CATEGORY_COUNT };
int HistoryCategoryOf(const HistoryEvent& event);

// At least this many newest events are kept; the oldest block of
// HISTORY_BLOCK_EVENTS goes only when this many remain without it.
constexpr size_t HISTORY_KEEP_EVENTS = 1000000;
constexpr size_t HISTORY_BLOCK_EVENTS = 4096;
// Details are kept whole, as the log gets them, so that Save History As and
// Copy write what the log would; memory stays bounded by dropping the oldest
// blocks once entries and details together pass HISTORY_MAX_BYTES.
// (A description is a few hundred characters at most; the entry's 16-bit
// length is a guard, never a cut in practice.)
constexpr size_t HISTORY_DETAILS_MAX = 65535;
constexpr size_t HISTORY_MAX_BYTES = size_t{256} << 20;

// A link with no byte for longer than this gets a "silent" event.
constexpr int64_t HISTORY_SILENT_AFTER_MS = 2000;

constexpr uint8_t HISTORY_NO_CHANGE = 1;  // a stored message that changed nothing

struct HistoryEntry {  // 72 bytes
    HistoryEvent event;
    uint32_t textOffset;
    uint16_t textLength;
    uint8_t category;
    uint8_t flags;
};

struct HistoryBlock {
    std::vector<HistoryEntry> entries;  // HISTORY_BLOCK_EVENTS reserved
    std::string text;                   // the entries' details, back to back
};

struct HistoryFilter {
    bool category[HISTORY_CATEGORY_COUNT];
    bool changesOnly;
};
void HistoryFilterAll(HistoryFilter& filter);
bool HistoryFilterIsAll(const HistoryFilter& filter);

struct HistoryBook {
    HistoryShadow shadow;
    std::deque<std::unique_ptr<HistoryBlock>> blocks;
    uint64_t firstSeq = 0;   // sequence number of the oldest entry held
    uint64_t endSeq = 0;     // one past the newest
    uint64_t dropped = 0;    // oldest events let go since the last clear
    size_t memoryBytes = 0;  // entries and details held (capacity)
    size_t keepEvents = HISTORY_KEEP_EVENTS;  // smaller in tests
    HistoryFilter filter;
    // Sequence numbers of the rows the filter shows, from viewStart on; unused
    // while the filter shows everything.
    std::vector<uint64_t> view;
    size_t viewStart = 0;
    // View rows gone from the front with dropped events, ever: the list keeps
    // a scrolled-up view on the same rows by this much.
    uint64_t viewRowsDropped = 0;
    // When set, every event added is also appended here as a log line.
    std::string* logLines = nullptr;
    uint64_t lostSeen = 0;   // the ring's loss count already reported
};

// A fresh, empty book showing everything (HistoryBook holds a large shadow:
// allocate it, e.g. with std::make_unique).
void HistoryBookInit(HistoryBook& book);
// Empties the history; the shadow (last records, names) stays.
void HistoryBookClear(HistoryBook& book);

// Describes and adds one event from the ring. A framing event after a
// "silent" one is preceded by a "receiving" event. Returns entries added.
int HistoryBookIngest(HistoryBook& book, const HistoryEvent& event);
// Adds an alarm row: `event` (kind EVENT_ALARM) with the details the watch
// wrote ("flicker: ..."), as it is, never described again (also the hub
// check's EVENT_HUB rows). Returns 1.
int HistoryBookAddAlarm(HistoryBook& book, const HistoryEvent& event, const std::string& details);
// Adds a "lost" event when the ring's loss count has grown to `lostTotal`.
int HistoryBookNoteLost(HistoryBook& book, uint64_t lostTotal, int64_t nowMs);
// Adds a "silent" event when connected and no byte came for longer than
// HISTORY_SILENT_AFTER_MS since the last framing event (once per silence).
int HistoryBookCheckSilence(HistoryBook& book, bool connected, int64_t nowMs);

size_t HistoryBookSize(const HistoryBook& book);
const HistoryEntry& HistoryBookEntry(const HistoryBook& book, uint64_t seq);
std::string HistoryBookDetails(const HistoryBook& book, uint64_t seq);

// The filtered view: rows are numbered from 0, oldest first.
void HistoryBookSetFilter(HistoryBook& book, const HistoryFilter& filter);
size_t HistoryViewSize(const HistoryBook& book);
uint64_t HistoryViewSeq(const HistoryBook& book, size_t row);
// The first view row at or after `from` (wrapping round once) whose time,
// event, type, details or bytes contain `needle`, ignoring ASCII case; -1 when
// none does.
long long HistoryFind(const HistoryBook& book, size_t from, const std::string& needle);
// How many events in the whole book, shown or hidden by the filter, match as above.
size_t HistoryCountMatches(const HistoryBook& book, const std::string& needle);

// One row as the list shows it and as Ctrl+C copies it.
struct HistoryRowText {
    char time[32];
    const char* event;
    char type[8];
    std::string details;
    std::string bytes;  // spaced hex
};
void HistoryRowFormat(const HistoryBook& book, uint64_t seq, HistoryRowText& out);

// The rows of the view (or every held event) as log lines or CSV, header first.
void HistoryBookWrite(const HistoryBook& book, bool viewOnly, bool csv, std::string& out);
