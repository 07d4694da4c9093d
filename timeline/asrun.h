// The as-run log: which source was on program on each ME, from when to when,
// as CSV and as a CMX 3600 edit decision list for one ME. Built from the
// timeline index, so the application and tallydump write the same thing.
// Portable: no platform headers.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "timeline/timeline.h"

// How times are written.
struct AsRunClock {
    enum Mode {
        LOCAL,    // local time of the machine, with its offset
        FIXED,    // UTC shifted by offsetMinutes (tests, or a chosen zone)
        ELAPSED,  // no wall clock: time since originMs (a raw capture's byte offsets)
    } mode = LOCAL;
    int offsetMinutes = 0;
    int64_t originMs = 0;
    long baud = 0;  // ELAPSED: the rate the times were worked out at, named in the header
};

struct AsRunRow {
    int me;           // 0..3
    int source;
    int64_t startMs;
    int64_t endMs;    // index.lastMs when open
    bool open;        // still on program at the newest event
};
// Every program interval of the MEs asked for (0..3, or ONAIR_ALL_ME for each
// of the four), ordered by start, then ME, then source.
std::vector<AsRunRow> AsRunRows(const TimelineIndex& index, int me);

// "2026-12-08T09:41:03.123+01:00" (LOCAL, FIXED) or "01:02:03.456" (ELAPSED).
std::string AsRunTimeText(int64_t unixMs, const AsRunClock& clock);
// Milliseconds since midnight of a time, as the clock tells the time of day.
int64_t AsRunMsOfDay(int64_t unixMs, const AsRunClock& clock);

// Header `me,source,name,start,end,duration_ms` (for ELAPSED the start and end
// columns name the rate: start_at_115200_baud), then one row per interval;
// an open interval has an empty end and duration.
std::string AsRunCsv(const TimelineIndex& index, const AsRunClock& clock);

enum AsRunFps { FPS_25, FPS_2997_DF, FPS_30, FPS_50, FPS_5994_DF };
// "25", "29.97", "30", "50", "59.94"; false for anything else.
bool AsRunParseFps(const std::string& text, AsRunFps& fps);
// Time code of a time of day: "10:00:00:00", drop-frame "10:00:00;00".
std::string AsRunTimecode(int64_t msOfDay, AsRunFps fps);

// CMX 3600 list for one ME (0..3): one cut per program interval, reel from
// the source's nickname (SRC<n> when it has none), record (and source) time
// code from the time of day. Intervals shorter than a frame are left out and
// counted in a comment; an open interval ends at the newest event.
std::string AsRunEdl(const TimelineIndex& index, int me, AsRunFps fps, const AsRunClock& clock);
