// The tally over time: an index of which sources each ME lit at which level,
// which outputs were on air with what, and what the link did, built from the
// history's events in time order. Levels come from the On Air derivation
// itself, run on the ME and output records as the events rebuild them.
//
// Every lane is a step function: a value and the times it changed. A query
// "what does this lane show between t0 and t1 at n pixels" costs one search
// per pixel, not a walk over the changes, so a full-screen redraw over a
// million held events costs the same at any zoom; and a change shorter than a
// pixel still marks the pixel it falls in. Portable: no platform headers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "history/event.h"
#include "onair/onair.h"
#include "tally/store.h"

struct HistoryBook;

// Lane values. ME lanes hold an OnAirLevel (the source's highest row, as the
// On Air view shows it); level lanes (one per ME, level and source) 1 while
// the source is in some row of that level, whatever else it is in; on-air
// lanes 0 or 1; output lanes 0 (off air) or
// TIMELINE_OUTPUT_ON | source (| TIMELINE_OUTPUT_KEY for a K output); the link
// state lane a TimelineLinkState.
constexpr uint16_t TIMELINE_OUTPUT_ON = 0x100;
constexpr uint16_t TIMELINE_OUTPUT_KEY = 0x200;
enum TimelineLinkState : uint16_t { TIMELINE_LINK_DOWN = 0, TIMELINE_LINK_UP = 1, TIMELINE_LINK_SILENT = 2 };

// A value's class, what the per-pixel "seen" mask records: the value itself
// for ME and link lanes (0..3), 0 or 1 for the others.
struct TimelineChange {  // 24 bytes
    int64_t timeMs;
    uint32_t count[3];   // changes into classes 1, 2, 3 up to and including this one (wrapping)
    uint16_t value;
    uint16_t spare;
};

struct TimelineLane {
    bool levels;                  // values are their own class (ME and link lanes)
    uint16_t base = 0;            // value before the first held change
    uint32_t baseCount[3] = {0, 0, 0};  // counts of the change before the first held one
    std::vector<TimelineChange> changes;
    size_t first = 0;             // first held change (older ones wait to be compacted away)
};

// What a lane shows in one pixel [a, b).
struct TimelineCell {
    uint16_t start;    // value at a
    uint16_t end;      // value just before b
    uint8_t seen;      // classes entered inside the pixel, bit per class
    uint8_t changes;   // changes inside the pixel, at most 255
};
// The class a pixel is drawn in: a class entered and left again inside the
// pixel (a glitch) wins, the highest if several; otherwise the end's. So a
// 40 ms drop out of program in an hour-wide view draws one pixel of "off"
// inside the red bar, and a 40 ms flash into program one red pixel.
int TimelineCellClass(const TimelineCell& cell, bool levels);

// The link in one pixel: bytes received, framing-error events and line or
// port errors inside it, and its state.
struct TimelineLinkCell {
    uint32_t bytes;
    uint32_t framingErrors;
    uint32_t lineErrors;
    TimelineCell state;
};

// Cumulative link counts at the end of one millisecond that saw them: bytes
// for every millisecond with received bytes, errors only where there were
// some (rare), so that a held event costs 16 bytes here, not 24.
struct TimelineBytePoint {
    int64_t timeMs;
    uint64_t bytes;
};
struct TimelineErrorPoint {
    int64_t timeMs;
    uint32_t framingErrors;
    uint32_t lineErrors;
};
// Points in time order; those before `first` wait to be compacted away and
// `base` holds the counts just before the first held one.
template <typename Point>
struct TimelineSeries {
    std::vector<Point> points;
    size_t first = 0;
    Point base{};
};

// A place for alarms (e.g. from watch rules) to show on the timeline.
struct TimelineMarker {
    int64_t timeMs;
    uint32_t kind;      // the caller's meaning
    std::string text;
};

// A source's names as they were from timeMs on.
struct TimelineName {
    int64_t timeMs;
    char name[NAME_LENGTH + 1];
    char nickname[NICKNAME_LENGTH + 1];
    char alias[NAME_LENGTH + 1];
};

constexpr int TIMELINE_NO_LANE = -1;

struct TimelineIndex {
    // The level a source's rows give it, and the bits of every level among
    // them, for every set of rows (OnAirRowLevel's rule, the highest row
    // wins): a lookup instead of a loop per source, filled by TimelineInit.
    uint8_t rowLevel[1u << ONAIR_ROWS];
    uint8_t rowBits[1u << ONAIR_ROWS];  // bit level - 1 for every level among the rows
    // Lanes are made when first needed; these tables give each one's place in
    // `lanes` (TIMELINE_NO_LANE until then).
    std::vector<TimelineLane> lanes;
    int meLane[ME_RECORDS][ONAIR_SOURCE_VALUES];
    int levelLane[ME_RECORDS][3][ONAIR_SOURCE_VALUES];  // [me][level - 1][source]
    int allLane[ONAIR_SOURCE_VALUES];
    int onAirLane[ONAIR_SOURCE_VALUES];
    int outputLane[ONAIR_OUTPUTS];
    int linkLane;

    // The records as the events rebuilt them; a record not yet received
    // counts as all zero (it lights nothing).
    MeTally me[ME_RECORDS];
    OutputTally out[OUT_RECORDS];
    bool meSeen[ME_RECORDS];
    bool outSeen[OUT_RECORDS];
    OnAirTally tally;
    uint8_t level[ME_RECORDS][ONAIR_SOURCE_VALUES];
    uint8_t levelBits[ME_RECORDS][ONAIR_SOURCE_VALUES];  // bit level - 1 set while in a row of that level
    uint8_t allLevel[ONAIR_SOURCE_VALUES];
    uint8_t onAir[ONAIR_SOURCE_VALUES];
    uint16_t output[ONAIR_OUTPUTS];

    TimelineSeries<TimelineBytePoint> bytes;
    TimelineSeries<TimelineErrorPoint> errors;
    TimelineBytePoint byteTotal;     // counts so far
    TimelineErrorPoint errorTotal;
    uint16_t linkState;              // the link lane's current value
    int64_t lastByteMs = 0;          // time of the last framing event

    std::vector<TimelineName> names[SOURCE_COUNT + 1];
    std::vector<TimelineMarker> markers;
    size_t markersFirst = 0;

    uint64_t events = 0;          // events taken in, ever
    int64_t firstMs = 0;          // the oldest time held (0 while empty)
    int64_t lastMs = 0;           // the newest event's time
    uint64_t nextSeq = 0;         // the book's next sequence number to take (TimelineFollow)
    uint64_t bookFirstSeq = 0;    // the book's oldest sequence number last seen
};

// A fresh, empty index (large: allocate it, e.g. with std::make_unique).
void TimelineInit(TimelineIndex& index);
// Takes in one event, in time order (an event older than the last is taken as
// happening at the last event's time).
void TimelineIngest(TimelineIndex& index, const HistoryEvent& event);
// Takes in the book's events not yet taken, and lets go of what the book let
// go of (its oldest blocks, or everything on a clear). Call it at least once
// per HISTORY_BLOCK_EVENTS added (e.g. after each drain of the ring): events
// the book dropped before they were taken are skipped.
void TimelineFollow(TimelineIndex& index, const HistoryBook& book);
// Lets go of everything before cutMs, keeping per lane the one change that
// says what held at cutMs (with its true start).
void TimelineDropBefore(TimelineIndex& index, int64_t cutMs);
// Alarms and other marks: added at the end, dropped with the oldest events.
void TimelineAddMarker(TimelineIndex& index, int64_t timeMs, uint32_t kind, const std::string& text);
// Markers with t0 <= time < t1: [*from, *to) index index.markers.
void TimelineMarkersIn(const TimelineIndex& index, int64_t t0, int64_t t1, size_t* from, size_t* to);

// Lanes, or nullptr when the lane never had a change. me: 0..3, or
// ONAIR_ALL_ME for the highest level over all four; output: 1..48. A lane's
// address holds until the next event is taken in (a new lane may move them).
const TimelineLane* TimelineMeLane(const TimelineIndex& index, int me, int source);
// The lane of one level (ONAIR_PREVIEW .. ONAIR_PROGRAM) of one ME (0..3):
// a source in a PGM row and a PVW row is in both.
const TimelineLane* TimelineLevelLane(const TimelineIndex& index, int me, OnAirLevel level, int source);
const TimelineLane* TimelineOnAirLane(const TimelineIndex& index, int source);
const TimelineLane* TimelineOutputLane(const TimelineIndex& index, int output);
const TimelineLane* TimelineLinkLane(const TimelineIndex& index);

// A lane's value at time t.
uint16_t TimelineValueAt(const TimelineLane& lane, int64_t timeMs);

// What the lane shows in each of `pixels` equal parts of [t0, t1): cells[i]
// covers [t0 + (t1-t0)*i/pixels, t0 + (t1-t0)*(i+1)/pixels).
void TimelineCells(const TimelineLane& lane, int64_t t0, int64_t t1, int pixels, TimelineCell* cells);
void TimelineLinkCells(const TimelineIndex& index, int64_t t0, int64_t t1, int pixels, TimelineLinkCell* cells);

// Sources lit at some time in [t0, t1) on an ME (0..3 or ONAIR_ALL_ME),
// ascending: the lanes a view shows.
std::vector<int> TimelineSourcesLit(const TimelineIndex& index, int me, int64_t t0, int64_t t1);
// Sources on air on some output in [t0, t1), ascending.
std::vector<int> TimelineSourcesOnAir(const TimelineIndex& index, int64_t t0, int64_t t1);

// One span of a lane at a constant value.
struct TimelineSpan {
    int64_t startMs;   // its change's time (base value: the lane's oldest time, startKnown false)
    int64_t endMs;     // the next change's time, or index.lastMs when open
    bool open;         // still going at the newest event
    bool startKnown;
    uint16_t value;
};
// For a hover: the span of the lane over [a, b) that the pixel is drawn in
// (the class TimelineCellClass chose), or the span at a when none matches.
TimelineSpan TimelineSpanIn(const TimelineIndex& index, const TimelineLane& lane, int64_t a, int64_t b);
// Every span in which the lane's value (its class, for output lanes) is
// `cls`, oldest first.
std::vector<TimelineSpan> TimelineSpansOf(const TimelineIndex& index, const TimelineLane& lane, int cls);

// A source's names at a time (all empty when none was received by then), and
// the name shown: the alias when set, else the name, trailing blanks dropped.
const TimelineName* TimelineNameAt(const TimelineIndex& index, int source, int64_t timeMs);
std::string TimelineShownName(const TimelineName* name);

// The history's event at a time: the newest held event at or before it (the
// oldest held when none is); returns false when the book is empty.
bool TimelineHistorySeqAt(const HistoryBook& book, int64_t timeMs, uint64_t* seq);

// Memory the index holds (capacity), for the benchmark's bytes per event.
size_t TimelineMemoryBytes(const TimelineIndex& index);
