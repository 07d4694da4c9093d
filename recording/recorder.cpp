// Parser events to records. Each event's first `consumed` bytes are what the
// parser discarded for it; a mismatch's or payload error's kept bytes come
// again, consumed, with a later event, so only consumed bytes are recorded.
#include "recording/recorder.h"

#include <cstring>

#include "recording/recording.h"

namespace {

void FlushStray(Recorder& r) {
    if (!r.strayLength) return;
    r.sink(r.sinkContext, r.feedTimeUs, RECORD_STRAY, r.strayFlags, 0, r.stray, r.strayLength);
    r.strayLength = 0;
}

}  // namespace

uint8_t RecordKindOfEvent(FrameEventKind kind) {
    switch (kind) {
    case FRAME_STORED: return RECORD_MESSAGE;
    case FRAME_IGNORED: return RECORD_IGNORED;
    case FRAME_RESET: return RECORD_RESET;
    case FRAME_STRAY_BYTE: return RECORD_STRAY;
    case FRAME_UNKNOWN_TYPE: return RECORD_UNKNOWN;
    case FRAME_HEADER_MISMATCH: return RECORD_MISMATCH;
    case FRAME_HEADER_LOW_BYTE: return RECORD_LOWBYTE;
    case FRAME_PAYLOAD_ERROR: return RECORD_PAYLOAD;
    case FRAME_BYTES_DROPPED: return RECORD_DROPPED;
    }
    return 0;
}

void RecorderInit(Recorder& recorder, RecordSinkFn sink, void* sinkContext) {
    recorder.sink = sink;
    recorder.sinkContext = sinkContext;
    recorder.feedTimeUs = 0;
    recorder.feedOffset = 0;
    recorder.strayLength = 0;
    recorder.strayEnd = 0;
    recorder.strayFlags = 0;
}

void RecorderBeginFeed(Recorder& recorder, uint64_t timeUs, uint64_t inputOffset) {
    recorder.feedTimeUs = timeUs;
    recorder.feedOffset = inputOffset;
}

void RecorderOnFrameEvent(void* context, const FrameEvent& event) {
    Recorder& r = *static_cast<Recorder*>(context);
    const uint8_t flags = event.offset < r.feedOffset ? RECORD_FLAG_SPLIT : 0;
    if (event.kind == FRAME_STRAY_BYTE) {
        // One event per stray byte: extend the held run while they follow each other.
        if (r.strayLength && (r.strayEnd != event.offset || r.strayLength == sizeof r.stray)) FlushStray(r);
        if (!r.strayLength) r.strayFlags = flags;
        r.stray[r.strayLength++] = event.bytes[0];
        r.strayEnd = event.offset + 1;
        return;
    }
    FlushStray(r);
    r.sink(r.sinkContext, r.feedTimeUs, RecordKindOfEvent(event.kind), flags, event.type, event.bytes,
           static_cast<size_t>(event.consumed));
}

void RecorderEndFeed(Recorder& recorder) { FlushStray(recorder); }

void RecorderFinish(Recorder& recorder, const FrameParser& parser, uint64_t timeUs) {
    FlushStray(recorder);
    if (parser.frameCount > 0)
        recorder.sink(recorder.sinkContext, timeUs, RECORD_PENDING, 0, parser.frameBuffer[0], parser.frameBuffer,
                      static_cast<size_t>(parser.frameCount));
}

void RecorderFeed(Recorder& recorder, FrameParser& parser, uint64_t timeUs, const uint8_t* bytes, size_t count) {
    RecorderBeginFeed(recorder, timeUs, parser.bytesFed);
    FrameParserFeed(parser, bytes, count);
    RecorderEndFeed(recorder);
}
