// Records on their way from the receiver thread (which must never touch a
// file) to the window's thread (which writes them): a fixed single-producer
// single-consumer byte ring of whole records. A record that does not fit is
// counted as lost, never waited for. Portable; allocates nothing per record.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// 4 MB: about 80 s of a full-rate feed while the window does not drain it.
constexpr uint32_t RECORD_RING_BYTES = 1u << 22;
// Each record in the ring: time (8), kind, flags, type, spare, length (4), bytes.
constexpr uint32_t RECORD_RING_HEADER = 16;

struct RecordRing {
    std::atomic<uint32_t> head;  // bytes written by the producer (wraps)
    char pad1[60];
    std::atomic<uint32_t> tail;  // bytes read by the consumer (wraps)
    char pad2[60];
    std::atomic<uint64_t> lost;  // records refused because the ring was full
    uint8_t data[RECORD_RING_BYTES];
};

void RecordRingInit(RecordRing& ring);
// Producer. False (and counted) when the record does not fit.
bool RecordRingPush(RecordRing& ring, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type,
                    const uint8_t* bytes, size_t length);
// Consumer: calls fn for each record waiting; returns how many.
typedef void (*RecordRingFn)(void* context, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type,
                             const uint8_t* bytes, size_t length);
size_t RecordRingDrain(RecordRing& ring, RecordRingFn fn, void* context);
