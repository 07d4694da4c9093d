#include "history/source.h"

#include <cstring>

namespace {

HistoryEventKind KindOf(FrameEventKind kind) {
    switch (kind) {
    case FRAME_STORED: return EVENT_MESSAGE;
    case FRAME_IGNORED: return EVENT_IGNORED;
    case FRAME_RESET: return EVENT_RESET;
    case FRAME_STRAY_BYTE: return EVENT_STRAY;
    case FRAME_UNKNOWN_TYPE: return EVENT_UNKNOWN;
    case FRAME_HEADER_MISMATCH: return EVENT_MISMATCH;
    case FRAME_HEADER_LOW_BYTE: return EVENT_LOWBYTE;
    case FRAME_PAYLOAD_ERROR: return EVENT_PAYLOAD;
    case FRAME_BYTES_DROPPED: return EVENT_DROPPED;
    }
    return EVENT_DROPPED;
}

void Push(EventSource& source, const HistoryEvent& event) {
    if (source.ring) HistoryRingPush(*source.ring, event);
    else ++source.withheld;
}

void FlushPending(EventSource& source) {
    if (!source.hasPending) return;
    Push(source, source.pending);
    source.hasPending = false;
}

// Stray and mismatched bytes come one per step; consecutive ones are one run.
bool Gathers(HistoryEventKind kind) { return kind == EVENT_STRAY || kind == EVENT_MISMATCH; }

void OnFrameEvent(void* context, const FrameEvent& frame) {
    EventSource& source = *static_cast<EventSource*>(context);
    const HistoryEventKind kind = KindOf(frame.kind);
    // Only the consumed bytes: those kept for framing again appear in the next
    // event, so the events' bytes put together are the input itself.
    const uint8_t* bytes = frame.bytes;
    int left = frame.consumed;

    if (Gathers(kind) && source.hasPending && source.pending.kind == kind && source.pendingEnd == frame.offset) {
        HistoryEvent& run = source.pending;
        while (left > 0) {
            if (run.length == HISTORY_EVENT_BYTES) {
                FlushPending(source);
                break;
            }
            run.bytes[run.length++] = *bytes++;
            --left;
            ++source.pendingEnd;
        }
        if (left == 0) return;
    } else {
        FlushPending(source);
    }

    uint64_t offset = frame.offset + static_cast<uint64_t>(frame.consumed - left);
    do {
        HistoryEvent event;
        std::memset(&event, 0, sizeof event);
        event.timeMs = source.feedTimeMs;
        event.kind = kind;
        event.type = frame.type;
        const int n = left < HISTORY_EVENT_BYTES ? left : HISTORY_EVENT_BYTES;
        std::memcpy(event.bytes, bytes, static_cast<size_t>(n));
        event.length = static_cast<uint8_t>(n);
        bytes += n;
        left -= n;
        offset += static_cast<uint64_t>(n);
        if (Gathers(kind) && left == 0) {
            source.pending = event;
            source.hasPending = true;
            source.pendingEnd = offset;
        } else {
            Push(source, event);
        }
    } while (left > 0);
}

}  // namespace

void EventSourceInit(EventSource& source, TallyStore* store, HistoryRing* ring) {
    FrameParserInit(source.parser, store, OnFrameEvent, &source);
    source.ring = ring;
    source.hasPending = false;
    source.pendingEnd = 0;
    source.feedTimeMs = 0;
}

void EventSourceFeed(EventSource& source, const uint8_t* bytes, size_t count, int64_t timeMs) {
    source.feedTimeMs = timeMs;
    // The parser keeps at most one incomplete message (24 bytes) between feeds,
    // so parts of READ_BUFFER_SIZE always fit its buffer.
    while (count > 0) {
        const size_t part = count < static_cast<size_t>(READ_BUFFER_SIZE) ? count : READ_BUFFER_SIZE;
        FrameParserFeed(source.parser, bytes, part);
        bytes += part;
        count -= part;
    }
    FlushPending(source);
}

void EventSourceFinish(EventSource& source, int64_t timeMs) {
    FlushPending(source);
    const FrameParser& parser = source.parser;
    for (int done = 0; done < parser.frameCount;) {
        HistoryEvent event;
        std::memset(&event, 0, sizeof event);
        event.timeMs = timeMs;
        event.kind = EVENT_INCOMPLETE;
        event.type = parser.frameBuffer[0];
        const int n = parser.frameCount - done < HISTORY_EVENT_BYTES ? parser.frameCount - done : HISTORY_EVENT_BYTES;
        std::memcpy(event.bytes, parser.frameBuffer + done, static_cast<size_t>(n));
        event.length = static_cast<uint8_t>(n);
        Push(source, event);
        done += n;
    }
    EventSourceInit(source, parser.store, source.ring);
}

int EventSourcePending(const EventSource& source) { return FrameParserPending(source.parser); }

void EventSourceNote(EventSource& source, HistoryEventKind kind, uint32_t code, int64_t timeMs) {
    FlushPending(source);
    HistoryEvent event;
    std::memset(&event, 0, sizeof event);
    event.timeMs = timeMs;
    event.kind = kind;
    event.code = code;
    Push(source, event);
}
