// Where received bytes enter: the frame parser run with a trace callback that
// turns each framing step into a history event with the exact bytes it
// consumed. The receiver thread calls EventSourceFeed with what it read from
// the port; a replayed recording calls it the same way, so both reach the
// store and the history alike. Portable; allocates nothing.
#pragma once
#include <cstddef>
#include <cstdint>

#include "history/event.h"
#include "tally/parser.h"

struct EventSource {
    FrameParser parser;
    HistoryRing* ring;     // may be nullptr: then only the store is fed
    HistoryEvent pending;  // a run of stray or mismatched bytes being gathered
    bool hasPending;
    uint64_t pendingEnd;   // input offset just past the pending run
    int64_t feedTimeMs;    // time stamp of the feed in progress
    // Events made while `ring` was nullptr (a replay's Jump to End says how
    // many it skipped); never reset by EventSourceInit.
    uint64_t withheld = 0;
};

void EventSourceInit(EventSource& source, TallyStore* store, HistoryRing* ring);

// Frames `count` bytes that arrived at `timeMs` (wall clock, ms since 1970
// UTC): stores messages, counts errors, and pushes one event per framing step
// (a run of stray or mismatched bytes as one event per up to
// HISTORY_EVENT_BYTES bytes). Large inputs are framed in parts that always fit
// the parser's buffer, so no byte is ever dropped here.
void EventSourceFeed(EventSource& source, const uint8_t* bytes, size_t count, int64_t timeMs);

// When the stream ends (the port closes, a replayed connection ends): the
// bytes of an incomplete message the parser holds become an EVENT_INCOMPLETE,
// so that the events' bytes are every byte received, and the source starts
// afresh. Nothing is counted for them.
void EventSourceFinish(EventSource& source, int64_t timeMs);

// Bytes of an incomplete message waiting for the rest.
int EventSourcePending(const EventSource& source);

// Pushes an event that carries no received bytes (port and line errors and
// link changes met by the same thread as the feed).
void EventSourceNote(EventSource& source, HistoryEventKind kind, uint32_t code, int64_t timeMs);
