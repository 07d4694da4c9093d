// The capture ring and the recording written from it. An entry is a 16-byte
// header (time, length, kind, code) and its bytes, padded to 8; an entry may
// wrap around the end of the buffer.
#include "recording/capture.h"

#include <cstring>

namespace {

constexpr size_t HEADER = 16;

size_t Padded(size_t n) { return (n + 7) & ~size_t(7); }

void CopyIn(CaptureRing& ring, uint64_t at, const void* from, size_t n) {
    const size_t i = static_cast<size_t>(at & (ring.capacity - 1));
    const size_t first = n < ring.capacity - i ? n : ring.capacity - i;
    std::memcpy(ring.data.get() + i, from, first);
    if (n > first) std::memcpy(ring.data.get(), static_cast<const uint8_t*>(from) + first, n - first);
}

void CopyOut(const CaptureRing& ring, uint64_t at, void* to, size_t n) {
    const size_t i = static_cast<size_t>(at & (ring.capacity - 1));
    const size_t first = n < ring.capacity - i ? n : ring.capacity - i;
    std::memcpy(to, ring.data.get() + i, first);
    if (n > first) std::memcpy(static_cast<uint8_t*>(to) + first, ring.data.get(), n - first);
}

uint64_t WriteEntry(CaptureRing& ring, uint64_t head, uint64_t timeUs, uint8_t kind, uint32_t code,
                    const uint8_t* bytes, size_t length) {
    uint8_t header[HEADER] = {};
    std::memcpy(header, &timeUs, 8);
    std::memcpy(header + 8, &code, 4);
    const uint16_t n = static_cast<uint16_t>(length);
    std::memcpy(header + 12, &n, 2);
    header[14] = kind;
    CopyIn(ring, head, header, HEADER);
    if (length) CopyIn(ring, head + HEADER, bytes, length);
    return head + Padded(HEADER + length);
}

void Write(CaptureRecording& r, uint64_t timeUs, uint8_t kind, const uint8_t* bytes, size_t length) {
    RecordingWrite(r.writer, timeUs, kind, 0, 0, bytes, length);
    r.unflushed = true;
}

void RecordSink(void* context, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type, const uint8_t* bytes,
                size_t length) {
    CaptureRecording& r = *static_cast<CaptureRecording*>(context);
    RecordingWrite(r.writer, timeUs, kind, flags, type, bytes, length);
    r.unflushed = true;
}

void FreshParser(CaptureRecording& r) {
    if (!r.store) r.store.reset(new TallyStore);
    if (!r.parser) r.parser.reset(new FrameParser);
    TallyStoreInit(*r.store);
    FrameParserInit(*r.parser, r.store.get(), RecorderOnFrameEvent, &r.recorder);
    RecorderInit(r.recorder, RecordSink, &r);
}

void WriteCode(CaptureRecording& r, uint64_t timeUs, uint8_t kind, uint32_t code) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                              static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)};
    Write(r, timeUs, kind, bytes, sizeof bytes);
}

}  // namespace

void CaptureRingInit(CaptureRing& ring, size_t capacity) {
    size_t size = 4096;
    while (size < capacity) size <<= 1;
    ring.data.reset(new uint8_t[size]);
    ring.capacity = size;
    ring.head.store(0, std::memory_order_relaxed);
    ring.tail.store(0, std::memory_order_relaxed);
    ring.lostBytes.store(0, std::memory_order_relaxed);
    ring.pendingLost = 0;
    ring.gapPending = false;
}

bool CapturePush(CaptureRing& ring, uint64_t timeUs, uint8_t kind, uint32_t code, const uint8_t* bytes,
                 size_t length) {
    if (length > CAPTURE_MAX_BYTES) length = CAPTURE_MAX_BYTES;
    uint64_t head = ring.head.load(std::memory_order_relaxed);
    const uint64_t tail = ring.tail.load(std::memory_order_acquire);
    const size_t need = Padded(HEADER + length) + (ring.gapPending ? HEADER : 0);
    if (ring.capacity - static_cast<size_t>(head - tail) < need) {
        const size_t received = kind == CAPTURE_BYTES ? length : 0;
        ring.pendingLost += received;
        ring.gapPending = true;
        ring.lostBytes.store(ring.lostBytes.load(std::memory_order_relaxed) + received, std::memory_order_relaxed);
        return false;
    }
    if (ring.gapPending) {
        const uint32_t count = ring.pendingLost > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(ring.pendingLost);
        head = WriteEntry(ring, head, timeUs, CAPTURE_GAP, count, nullptr, 0);
        ring.pendingLost = 0;
        ring.gapPending = false;
    }
    head = WriteEntry(ring, head, timeUs, kind, code, bytes, length);
    ring.head.store(head, std::memory_order_release);
    return true;
}

bool CapturePop(CaptureRing& ring, CaptureEntry& entry, uint8_t* scratch) {
    const uint64_t tail = ring.tail.load(std::memory_order_relaxed);
    const uint64_t head = ring.head.load(std::memory_order_acquire);
    if (head == tail) return false;
    uint8_t header[HEADER];
    CopyOut(ring, tail, header, HEADER);
    std::memcpy(&entry.timeUs, header, 8);
    std::memcpy(&entry.code, header + 8, 4);
    uint16_t n = 0;
    std::memcpy(&n, header + 12, 2);
    entry.length = n;
    entry.kind = header[14];
    if (entry.length) CopyOut(ring, tail + HEADER, scratch, entry.length);
    entry.bytes = scratch;
    ring.tail.store(tail + Padded(HEADER + entry.length), std::memory_order_release);
    return true;
}

// ---- Recording --------------------------------------------------------------------

bool CaptureRecordingBegin(CaptureRecording& r, FILE* file, uint64_t timeUs, const char* connectText) {
    r.lostBytes = 0;
    if (!RecordingStart(r.writer, file)) return false;
    FreshParser(r);
    Write(r, timeUs, RECORD_START, nullptr, 0);
    if (connectText)
        Write(r, timeUs, RECORD_CONNECT, reinterpret_cast<const uint8_t*>(connectText), std::strlen(connectText));
    r.on = true;
    return RecordingFlush(r.writer);
}

void CaptureRecordingTake(CaptureRecording& r, const CaptureEntry& e) {
    if (!r.on) return;
    switch (e.kind) {
    case CAPTURE_BYTES: RecorderFeed(r.recorder, *r.parser, e.timeUs, e.bytes, e.length); return;
    case CAPTURE_CONNECT:
        FreshParser(r);
        Write(r, e.timeUs, RECORD_CONNECT, e.bytes, e.length);
        return;
    case CAPTURE_DISCONNECT:
        // A message cut off by the close is received bytes too.
        RecorderFinish(r.recorder, *r.parser, e.timeUs);
        Write(r, e.timeUs, RECORD_DISCONNECT, nullptr, 0);
        FreshParser(r);
        return;
    case CAPTURE_LINE_ERROR: WriteCode(r, e.timeUs, RECORD_LINE_ERROR, e.code); return;
    case CAPTURE_PORT_ERROR: WriteCode(r, e.timeUs, RECORD_PORT_ERROR, e.code); return;
    case CAPTURE_MODEM: WriteCode(r, e.timeUs, RECORD_MODEM, e.code); return;
    case CAPTURE_GAP:
        r.lostBytes += e.code;
        WriteCode(r, e.timeUs, RECORD_LOST, e.code);
        return;
    default: return;
    }
}

bool CaptureRecordingEnd(CaptureRecording& r, uint64_t timeUs) {
    if (!r.on) return false;
    RecorderFinish(r.recorder, *r.parser, timeUs);
    Write(r, timeUs, RECORD_STOP, nullptr, 0);
    r.on = false;
    r.unflushed = false;
    return RecordingClose(r.writer);
}
