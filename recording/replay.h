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

struct ReplayPlayer {
    std::unique_ptr<RecordingReader> reader;
    FILE* file = nullptr;
    std::string path;
    RecordingSummary summary;
    RecordingRecord ahead;       // the next record, read but not yet played
    bool hasAhead = false;
    uint64_t played = 0;         // records played
    uint64_t positionUs = 0;     // recording time played up to, from the first record
    uint64_t clockUs = 0;        // caller's clock at the last advance
    int speed = 1;               // 1, 10 or REPLAY_SPEED_FAST
    bool paused = false;
    bool failed = false;         // the file changed under us while playing
};

// Checks the whole file (a truncated tail plays up to its last whole record;
// summary.truncated says so) and opens it for playing at clockUs. False with
// a message, and nothing opened, for a file that is not a recording this
// program reads.
bool ReplayOpen(ReplayPlayer& player, const char* path, uint64_t clockUs, std::string& error);
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

// "Replay 42 % (12:03 of 28:40)", with hours once either time reaches one.
std::string ReplayStatusText(const ReplayPlayer& player);
// "12:03", or "1:02:03" from an hour on.
std::string ReplayClockText(uint64_t us, bool hours);
