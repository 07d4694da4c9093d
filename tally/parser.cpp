// Frame parser: frames the tally byte stream (doubled high header byte, then a
// payload of the type's length in which no two high bytes follow each other),
// stores complete messages and counts framing errors.
//
// Each scan starts at the front of frameBuffer in the idle state. Because every
// consumed message or error discards everything up to where framing resumes,
// the idle state always looks at the first unconsumed byte; the scan therefore
// walks the buffer frame by frame with one start offset instead of moving the
// rest of the buffer after each discard, and moves only the incomplete message
// left at the end (at most 24 bytes) to the front, once per feed. A scan that
// starts again over that carried message reaches the same point without
// counting anything, as nothing is counted without a discard.
#include "tally/parser.h"

#include <cstring>

namespace {

// Atomic adds: "Reset Counters" may zero the counters from another thread.
inline void Add(std::atomic<uint32_t>& counter, int n) {
    counter.fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
}
inline void Bump(std::atomic<uint32_t>& counter) { Add(counter, 1); }

// Maps a frameBuffer index to its input offset: the bytes carried from the
// previous feed come first, then this feed's block (which may not follow them
// directly in the input if the previous block's tail was dropped).
struct OffsetMap {
    uint64_t carriedOffset;
    int carried;
    uint64_t blockOffset;
    uint64_t At(int index) const {
        return index < carried ? carriedOffset + static_cast<uint64_t>(index)
                               : blockOffset + static_cast<uint64_t>(index - carried);
    }
};

template <bool Trace>
inline void Emit(const FrameParser& parser, const OffsetMap& map, FrameEventKind kind, int at,
                 int length, int consumed, uint8_t type) {
    if (!Trace) return;
    FrameEvent event;
    event.kind = kind;
    event.offset = map.At(at);
    event.bytes = parser.frameBuffer + at;
    event.length = length;
    event.consumed = consumed;
    event.type = type;
    parser.trace(parser.traceContext, event);
}

// Stores a complete message of type t; returns 0 when the type has no record.
int StoreMessage(TallyStore& store, uint8_t t, const uint8_t* payload) {
    switch (t & 0xF0) {
    case CATEGORY_ME:
        if (t >= 0x81 && t < 0x81 + ME_RECORDS) { TallyStoreMe(store, t - 0x81, payload); return 1; }
        return 0;
    case CATEGORY_EXT:
        if (t >= 0x91 && t < 0x91 + EXT_RECORDS) { TallyStoreExt(store, t - 0x91, payload); return 1; }
        return 0;
    case CATEGORY_SS:
        if (t == 0xA1) { TallyStoreSs(store, payload); return 1; }
        return 0;
    case CATEGORY_OUT:
        if (t >= 0xB1 && t < 0xB1 + OUT_RECORDS) { TallyStoreOut(store, t - 0xB1, payload); return 1; }
        return 0;
    case CATEGORY_NAMES:
        if (t == MSG_SOURCE_NAME || t == MSG_SOURCE_ALIAS) return TallyStoreName(store, t, payload);
        return 0;
    default:
        return 0;
    }
}

// Scans frameBuffer[0, frameCount) and returns the index of the first byte not
// consumed (the start of an incomplete message, or frameCount).
template <bool Trace>
int Scan(FrameParser& parser, const OffsetMap& map) {
    const uint8_t* const buf = parser.frameBuffer;
    const int end = parser.frameCount;
    TallyStore& store = *parser.store;
    TallyCounters& counters = store.counters;
    int s = 0;  // first unconsumed byte; the idle state examines it
    while (s < end) {
        const uint8_t first = buf[s];
        if (!IsHighByte(first)) {
            // A run of stray bytes is counted in one update (one event per byte when tracing).
            int run = s + 1;
            if (!Trace)
                while (run < end && !IsHighByte(buf[run])) ++run;
            Add(counters.strayByteCount, run - s);
            Emit<Trace>(parser, map, FRAME_STRAY_BYTE, s, 1, 1, 0);
            s = run;
            continue;
        }
        if (s + 1 >= end) break;  // header byte waiting for its twin
        const uint8_t second = buf[s + 1];
        if (!IsHighByte(second)) {
            Bump(counters.headerLowByteCount);
            Emit<Trace>(parser, map, FRAME_HEADER_LOW_BYTE, s, 2, 2, 0);
            s += 2;
            continue;
        }
        if (second != first) {
            // Only the first byte goes: the second may start the next message.
            // A run of high bytes each differing from the next is one
            // mismatch per byte, counted in one update.
            int run = s + 1;
            if (!Trace)
                while (run + 1 < end && IsHighByte(buf[run + 1]) && buf[run + 1] != buf[run]) ++run;
            Add(counters.headerMismatchCount, run - s);
            Emit<Trace>(parser, map, FRAME_HEADER_MISMATCH, s, 2, 1, 0);
            s = run;
            continue;
        }
        const int length = payloadLength(first);
        if (length < 0) {
            Bump(counters.unknownTypeCount);
            Emit<Trace>(parser, map, FRAME_UNKNOWN_TYPE, s, 2, 2, first);
            s += 2;
            continue;
        }
        if (length == 0) {
            if (first == MSG_RESET_COUNTERS) {
                TallyResetCounters(store);
                Emit<Trace>(parser, map, FRAME_RESET, s, 2, 2, first);
            } else {
                Emit<Trace>(parser, map, FRAME_IGNORED, s, 2, 2, first);
            }
            s += 2;
            continue;
        }

        // Payload: the byte before the first payload byte is the (high) second
        // header byte, so a high first payload byte is already an error.
        const uint8_t* const payload = buf + s + 2;
        const int available = end - (s + 2);
        const int limit = available < length ? available : length;
        unsigned previousHigh = 1;
        int i = 0;
        for (; i < limit; ++i) {
            const unsigned high = payload[i] > 0x80;
            if (high & previousHigh) break;
            previousHigh = high;
        }
        if (i < limit) {
            // Two high bytes in a row can only be a header: drop what precedes
            // them and frame again from the first of the two.
            Bump(counters.payloadErrorCount);
            Emit<Trace>(parser, map, FRAME_PAYLOAD_ERROR, s, i + 3, i + 1, first);
            s += i + 1;
            continue;
        }
        if (limit < length) break;  // incomplete: carried to the next feed

        const int stored = StoreMessage(store, first, payload);
        Emit<Trace>(parser, map, stored ? FRAME_STORED : FRAME_IGNORED, s, length + 2, length + 2,
                    first);
        s += length + 2;
    }
    return s;
}

}  // namespace

void FrameParserInit(FrameParser& parser, TallyStore* store, FrameTraceFn trace, void* traceContext) {
    parser.store = store;
    parser.frameCount = 0;
    parser.bufferOffset = 0;
    parser.bytesFed = 0;
    parser.trace = trace;
    parser.traceContext = traceContext;
}

void FrameParserFeed(FrameParser& parser, const uint8_t* bytes, size_t count) {
    const int carried = parser.frameCount;
    const size_t room = static_cast<size_t>(FRAME_BUFFER_SIZE - carried);
    const size_t accepted = count < room ? count : room;  // the rest is dropped, uncounted
    if (accepted > 0) std::memcpy(parser.frameBuffer + carried, bytes, accepted);
    parser.frameCount = carried + static_cast<int>(accepted);

    const OffsetMap map = {parser.bufferOffset, carried, parser.bytesFed};
    const int consumed = parser.trace ? Scan<true>(parser, map) : Scan<false>(parser, map);

    if (parser.trace && accepted < count) {
        FrameEvent event;
        event.kind = FRAME_BYTES_DROPPED;
        event.offset = parser.bytesFed + accepted;
        event.bytes = bytes + accepted;
        event.length = static_cast<int>(count - accepted);
        event.consumed = event.length;
        event.type = 0;
        parser.trace(parser.traceContext, event);
    }

    const int left = parser.frameCount - consumed;
    if (left > 0 && consumed > 0) std::memmove(parser.frameBuffer, parser.frameBuffer + consumed, left);
    parser.frameCount = left;
    parser.bufferOffset = map.At(consumed);
    parser.bytesFed += count;
}

int FrameParserPending(const FrameParser& parser) { return parser.frameCount; }
