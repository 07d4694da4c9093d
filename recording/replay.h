// Playing a recording back at its recorded pace (or ten times faster, or as
// fast as possible), with pause and jump to end. The file is checked whole
// before anything plays and then read record by record, so an hour-long
// recording costs no more memory than a short one. Portable: stdio only; the
// caller supplies the clock and decides what a played record does.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "recording/recording.h"

constexpr int REPLAY_SPEED_FAST = 0;  // as fast as possible

// The longest pause a paced replay keeps between two records: one absurd time
// stamp (a clock set to 2106) must not stall the replay for good.
constexpr uint64_t REPLAY_GAP_CAP_US = 10000000;
constexpr uint64_t REPLAY_NO_GAP_CAP = UINT64_MAX;

// Turns recorded time stamps into play times from the first record: each gap
// as recorded, but at most capUs, and none where time goes backwards (the
// next gap is then counted from that earlier stamp). Shared by every replay.
struct ReplayTimeline {
    uint64_t capUs = REPLAY_GAP_CAP_US;
    bool started = false;
    uint64_t lastUs = 0;    // the previous record's stamp
    uint64_t atUs = 0;      // play time of the previous record
    uint64_t capped = 0;    // gaps shortened to capUs
};
// The play time of the next record, stamped timeUs.
uint64_t ReplayTimelineStep(ReplayTimeline& timeline, uint64_t timeUs);

struct ReplayPlayer {
    std::unique_ptr<RecordingReader> reader;
    FILE* file = nullptr;
    std::string path;
    RecordingSummary summary;
    RecordingRecord ahead;       // the next record, read but not yet played
    uint64_t aheadAtUs = 0;      // its play time
    bool hasAhead = false;
    ReplayTimeline timeline;     // play times of the records read so far
    uint64_t durationUs = 0;     // play time of the last record
    uint64_t gapsCapped = 0;     // gaps of the whole file shortened to the cap
    uint64_t played = 0;         // records played
    uint64_t positionUs = 0;     // recording time played up to, from the first record
    uint64_t clockUs = 0;        // caller's clock at the last advance
    int speed = 1;               // 1, 10 or REPLAY_SPEED_FAST
    bool paused = false;
    bool failed = false;         // the file changed under us while playing
};

// Checks the whole file (a truncated tail plays up to its last whole record;
// summary.truncated says so) and opens it for playing at clockUs, with every
// gap between records played as at most gapCapUs (gapsCapped counts those
// shortened). False with a message, and nothing opened, for a file that is
// not a recording this program reads.
bool ReplayOpen(ReplayPlayer& player, const char* path, uint64_t clockUs, std::string& error,
                uint64_t gapCapUs = REPLAY_GAP_CAP_US);
void ReplayClose(ReplayPlayer& player);

// Called for each record played, in order.
typedef void (*ReplayHandler)(void* context, const RecordingRecord& record);

// Plays every record due by clockUs (at most maxRecords, so that a fast
// replay leaves the caller time for its window). Returns the number played.
size_t ReplayAdvance(ReplayPlayer& player, uint64_t clockUs, size_t maxRecords, ReplayHandler handler,
                     void* context);
// Plays everything left at once.
size_t ReplayJumpToEnd(ReplayPlayer& player, ReplayHandler handler, void* context);

void ReplaySetPaused(ReplayPlayer& player, bool paused, uint64_t clockUs);
void ReplaySetSpeed(ReplayPlayer& player, int speed, uint64_t clockUs);
bool ReplayFinished(const ReplayPlayer& player);
uint64_t ReplayDurationUs(const ReplayPlayer& player);

// "Replay 42 % (12:03 of 28:40)", with hours once either time reaches one,
// and ", 2 gaps over 10 s shortened" when the cap shortened any.
std::string ReplayStatusText(const ReplayPlayer& player);
// "12:03", or "1:02:03" from an hour on.
std::string ReplayClockText(uint64_t us, bool hours);
