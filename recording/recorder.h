// Turns the frame parser's trace events into recording records: one record
// per framing unit, holding exactly the bytes the parser consumed for it, so
// that the records' bytes put end to end are the received stream. Runs
// wherever the parser's events are seen; writes through a RecordSink so the
// caller decides where records go (a file, a queue to another thread).
#pragma once
#include <cstddef>
#include <cstdint>

#include "tally/parser.h"

// Receives finished records; bytes are valid during the call only.
typedef void (*RecordSinkFn)(void* context, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type,
                             const uint8_t* bytes, size_t length);

struct Recorder {
    RecordSinkFn sink;
    void* sinkContext;
    uint64_t feedTimeUs;     // time stamp of the read being framed
    uint64_t feedOffset;     // input offset of that read's first byte
    // A run of stray bytes is held until a byte that is not stray arrives, so
    // that one run within one read is one record.
    uint8_t stray[READ_BUFFER_SIZE];
    size_t strayLength;
    uint64_t strayEnd;       // input offset just after the held run
    uint8_t strayFlags;
};

void RecorderInit(Recorder& recorder, RecordSinkFn sink, void* sinkContext);
// Before each FrameParserFeed: the time of the read and its first byte's input offset.
void RecorderBeginFeed(Recorder& recorder, uint64_t timeUs, uint64_t inputOffset);
// The parser's trace callback (context: the Recorder).
void RecorderOnFrameEvent(void* context, const FrameEvent& event);
// After each FrameParserFeed: writes a held stray run, so that records are
// never later than their read.
void RecorderEndFeed(Recorder& recorder);
// When the stream ends or the port closes: the parser's unconsumed bytes (an
// incomplete message) as one pending record, so nothing received is missing.
void RecorderFinish(Recorder& recorder, const FrameParser& parser, uint64_t timeUs);

// Feeds one read through parser (whose trace must be RecorderOnFrameEvent
// with this recorder) and records it.
void RecorderFeed(Recorder& recorder, FrameParser& parser, uint64_t timeUs, const uint8_t* bytes, size_t count);

// The record kind of a parser event.
uint8_t RecordKindOfEvent(FrameEventKind kind);
