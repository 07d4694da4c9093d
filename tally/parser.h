// Frame parser: turns the received byte stream into stored messages and
// counted framing errors. Runs on the receiver thread; allocates nothing.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tally/protocol.h"
#include "tally/store.h"

constexpr int FRAME_BUFFER_SIZE = 10000;
constexpr int READ_BUFFER_SIZE = 6000;

enum ParseState { PARSE_IDLE, PARSE_HEADER, PARSE_PAYLOAD };

// What a framing step did, for tracing tools. Never needed by the receiver.
enum FrameEventKind {
    FRAME_STORED,          // message stored (ME, EXT, SS, OUT, name or alias)
    FRAME_IGNORED,         // well-framed message with no effect: a type without a record
                           // (e.g. 0x85, 0xD2) or a name for a source outside 1..128
    FRAME_RESET,           // counter reset
    FRAME_STRAY_BYTE,
    FRAME_UNKNOWN_TYPE,
    FRAME_HEADER_MISMATCH,
    FRAME_HEADER_LOW_BYTE,
    FRAME_PAYLOAD_ERROR,
    FRAME_BYTES_DROPPED,   // tail of a block that did not fit in frameBuffer (not counted)
};

// The bytes involved are the bytes discarded by the step plus, for a header
// mismatch and a payload error, the bytes that caused it and stay to be framed
// again: a mismatch is reported as both header bytes (the second is kept), a
// payload error as the header, the payload so far and the two high bytes (both
// kept). `consumed` is how many of the involved bytes were discarded.
struct FrameEvent {
    FrameEventKind kind;
    uint64_t offset;        // input offset of the first byte involved
    const uint8_t* bytes;   // the bytes involved (valid during the callback only)
    int length;
    int consumed;
    uint8_t type;           // message type where there is one, else 0
};

typedef void (*FrameTraceFn)(void* context, const FrameEvent& event);

struct FrameParser {
    TallyStore* store;
    // Bytes not yet consumed, oldest first. Between feeds this is at most one
    // incomplete message (24 bytes); a feed appends and then scans in one pass,
    // skipping consumed bytes with an offset and moving the remainder to the
    // front once at the end.
    uint8_t frameBuffer[FRAME_BUFFER_SIZE];
    int frameCount;
    uint64_t bufferOffset;  // input offset of frameBuffer[0] (for tracing)
    uint64_t bytesFed;      // total bytes given to FrameParserFeed
    FrameTraceFn trace;     // optional; nullptr on the receiver
    void* traceContext;
};

// Empty parser writing into store; trace may be nullptr.
void FrameParserInit(FrameParser& parser, TallyStore* store, FrameTraceFn trace = nullptr,
                     void* traceContext = nullptr);

// Append bytes (dropping what no longer fits in the 10000-byte buffer) and scan.
void FrameParserFeed(FrameParser& parser, const uint8_t* bytes, size_t count);

// Bytes of an incomplete message carried to the next feed.
int FrameParserPending(const FrameParser& parser);
