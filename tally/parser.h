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
    FRAME_IGNORED,         // well-framed type with no record (e.g. 0x85, 0xD2); source number out of range
    FRAME_RESET,           // counter reset
    FRAME_STRAY_BYTE,
    FRAME_UNKNOWN_TYPE,
    FRAME_HEADER_MISMATCH,
    FRAME_HEADER_LOW_BYTE,
    FRAME_PAYLOAD_ERROR,
};

struct FrameEvent {
    FrameEventKind kind;
    uint64_t offset;        // stream offset of the first byte involved
    const uint8_t* bytes;   // the bytes involved (valid during the callback only)
    int length;
    uint8_t type;           // message type where there is one, else 0
};

typedef void (*FrameTraceFn)(void* context, const FrameEvent& event);

struct FrameParser {
    TallyStore* store;
    uint8_t frameBuffer[FRAME_BUFFER_SIZE];
    int frameCount;
    // Implementation state (kept linear: consumed bytes are skipped by an
    // offset and compacted once per feed).
    int frameStart;
    uint64_t streamOffset;  // stream offset of frameBuffer[0] (for tracing)
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
