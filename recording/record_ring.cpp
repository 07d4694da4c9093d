// The record ring. The producer owns head, the consumer tail; each publishes
// with release and reads the other's with acquire, so bytes are written
// before they are seen and read before their space is reused.
#include "recording/record_ring.h"

#include <cstring>
#include <vector>

namespace {

void CopyIn(RecordRing& ring, uint32_t at, const uint8_t* bytes, size_t length) {
    const uint32_t start = at & (RECORD_RING_BYTES - 1);
    const size_t first = length < RECORD_RING_BYTES - start ? length : RECORD_RING_BYTES - start;
    std::memcpy(ring.data + start, bytes, first);
    if (length > first) std::memcpy(ring.data, bytes + first, length - first);
}

void CopyOut(const RecordRing& ring, uint32_t at, uint8_t* bytes, size_t length) {
    const uint32_t start = at & (RECORD_RING_BYTES - 1);
    const size_t first = length < RECORD_RING_BYTES - start ? length : RECORD_RING_BYTES - start;
    std::memcpy(bytes, ring.data + start, first);
    if (length > first) std::memcpy(bytes + first, ring.data, length - first);
}

}  // namespace

void RecordRingInit(RecordRing& ring) {
    ring.head.store(0, std::memory_order_relaxed);
    ring.tail.store(0, std::memory_order_relaxed);
    ring.lost.store(0, std::memory_order_relaxed);
}

bool RecordRingPush(RecordRing& ring, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type,
                    const uint8_t* bytes, size_t length) {
    const uint32_t head = ring.head.load(std::memory_order_relaxed);
    const uint32_t tail = ring.tail.load(std::memory_order_acquire);
    const size_t need = RECORD_RING_HEADER + length;
    if (need > RECORD_RING_BYTES - (head - tail)) {
        ring.lost.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    uint8_t header[RECORD_RING_HEADER];
    std::memcpy(header, &timeUs, 8);
    header[8] = kind;
    header[9] = flags;
    header[10] = type;
    header[11] = 0;
    const uint32_t n = static_cast<uint32_t>(length);
    std::memcpy(header + 12, &n, 4);
    CopyIn(ring, head, header, sizeof header);
    if (length) CopyIn(ring, head + RECORD_RING_HEADER, bytes, length);
    ring.head.store(head + static_cast<uint32_t>(need), std::memory_order_release);
    return true;
}

size_t RecordRingDrain(RecordRing& ring, RecordRingFn fn, void* context) {
    const uint32_t head = ring.head.load(std::memory_order_acquire);
    uint32_t tail = ring.tail.load(std::memory_order_relaxed);
    std::vector<uint8_t> bytes;
    size_t count = 0;
    while (tail != head) {
        uint8_t header[RECORD_RING_HEADER];
        CopyOut(ring, tail, header, sizeof header);
        uint64_t timeUs;
        uint32_t length;
        std::memcpy(&timeUs, header, 8);
        std::memcpy(&length, header + 12, 4);
        bytes.resize(length);
        if (length) CopyOut(ring, tail + RECORD_RING_HEADER, bytes.data(), length);
        tail += RECORD_RING_HEADER + length;
        ring.tail.store(tail, std::memory_order_release);
        fn(context, timeUs, header[8], header[9], header[10], bytes.data(), length);
        ++count;
    }
    return count;
}
