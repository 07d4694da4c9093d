// History events: what the receiver saw, when, and the exact bytes each event
// consumed, handed from the receiver thread to the user-interface thread
// through a fixed single-producer/single-consumer ring. Portable: no platform
// headers, no allocation per event.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// Kinds in the order of their log names (HistoryEventName).
enum HistoryEventKind : uint8_t {
    EVENT_MESSAGE,     // a message stored in the tally store
    EVENT_IGNORED,     // a well-framed message with no effect
    EVENT_RESET,       // the counter reset message
    EVENT_STRAY,       // a run of stray low bytes
    EVENT_UNKNOWN,     // a header of an undefined type
    EVENT_MISMATCH,    // a run of header bytes each differing from the next
    EVENT_LOWBYTE,     // a header byte followed by a low byte
    EVENT_PAYLOAD,     // a payload broken by two high bytes
    EVENT_DROPPED,     // bytes that did not fit the parser's buffer
    EVENT_PORT_ERROR,  // a port call failed (code: its error code)
    EVENT_LINE_ERROR,  // the UART reported errors (code: ClearCommError bits)
    EVENT_CONNECT,
    EVENT_DISCONNECT,
    EVENT_SILENT,      // no byte for HISTORY_SILENT_AFTER_MS
    EVENT_RECEIVING,   // bytes again after a silence
    EVENT_LOST,        // events the ring could not take (code: how many)
    EVENT_INCOMPLETE,  // an incomplete message held when the stream ended
    EVENT_ALARM,       // a watch rule fired (code: the rule; bytes: those of the event that raised it)
    EVENT_REPLAY,      // a replay begins, ends or jumps (type: HISTORY_REPLAY_...)
    EVENT_GAP,         // received bytes the full capture ring could not keep (code: how many)
    EVENT_MODEM,       // modem lines changed or a break (code: serial/modem_lines.h)
    EVENT_HUB,         // the TSL hub check: a divergence, its end or a stale lamp (code: TslCompareEventKind)
    EVENT_KIND_COUNT
};

// Bytes one event carries. A message is at most 25 bytes; longer runs of
// stray or mismatched bytes become several events of the same kind.
constexpr int HISTORY_EVENT_BYTES = 48;

struct HistoryEvent {      // 64 bytes
    int64_t timeMs;        // wall clock, ms since 1970-01-01 UTC
    uint32_t code;         // kind-dependent (see above); 0 otherwise
    uint8_t kind;          // HistoryEventKind
    uint8_t type;          // message type where there is one, else 0
    uint8_t length;        // bytes used in `bytes`
    uint8_t flags;         // HISTORY_FLAG_... bits
    uint8_t bytes[HISTORY_EVENT_BYTES];
};
// A port error the terminal screen prints ("<CE-0x...>") when the window
// takes the event in: set by the port layer, never by a replay.
constexpr uint8_t HISTORY_FLAG_SCREEN = 1;
// EVENT_REPLAY's type. Begins and ends carry the file name in their bytes and
// the recorded time of the first or last record as their time; a jump's code
// is how many events it skipped.
constexpr uint8_t HISTORY_REPLAY_BEGINS = 0;
constexpr uint8_t HISTORY_REPLAY_ENDS = 1;
constexpr uint8_t HISTORY_REPLAY_JUMPED = 2;
// EVENT_RESET's code when the operator reset the counters ("Reset
// Counters"); 0 for the switcher's reset message.
constexpr uint32_t HISTORY_RESET_BY_USER = 1;
static_assert(sizeof(HistoryEvent) == 64, "HistoryEvent is one cache line");

// Log name of a kind: message ignored reset stray unknown mismatch lowbyte
// payload dropped port-error line-error connect disconnect silent receiving lost
// incomplete alarm replay gap modem hub.
const char* HistoryEventName(int kind);
// True for the kinds whose bytes are received bytes (message .. dropped, incomplete).
constexpr bool HistoryIsFraming(int kind) {
    return (kind >= EVENT_MESSAGE && kind <= EVENT_DROPPED) || kind == EVENT_INCOMPLETE;
}

// Events the ring holds: 4 MB, about 30 s of a full-rate faulty feed while
// the window does not drain it.
constexpr uint32_t HISTORY_RING_CAPACITY = 65536;

// Fixed single-producer/single-consumer ring. The producer owns `head`, the
// consumer `tail`; each publishes its index with release and reads the other's
// with acquire, so a slot is written before it is seen and read before it is
// reused. A push into a full ring is counted in `lost`, never waits.
struct HistoryRing {
    std::atomic<uint32_t> head;  // next slot the producer writes
    char pad1[60];
    std::atomic<uint32_t> tail;  // next slot the consumer reads
    char pad2[60];
    std::atomic<uint64_t> lost;  // pushes refused because the ring was full
    HistoryEvent slots[HISTORY_RING_CAPACITY];
};
static_assert((HISTORY_RING_CAPACITY & (HISTORY_RING_CAPACITY - 1)) == 0, "capacity is a power of two");

inline void HistoryRingInit(HistoryRing& ring) {
    ring.head.store(0, std::memory_order_relaxed);
    ring.tail.store(0, std::memory_order_relaxed);
    ring.lost.store(0, std::memory_order_relaxed);
}

// Producer side. Returns false (and counts the loss) when the ring is full.
inline bool HistoryRingPush(HistoryRing& ring, const HistoryEvent& event) {
    const uint32_t head = ring.head.load(std::memory_order_relaxed);
    const uint32_t tail = ring.tail.load(std::memory_order_acquire);
    if (head - tail >= HISTORY_RING_CAPACITY) {
        ring.lost.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    ring.slots[head & (HISTORY_RING_CAPACITY - 1)] = event;
    ring.head.store(head + 1, std::memory_order_release);
    return true;
}

// Consumer side. Copies out at most `maximum` events, oldest first; returns
// how many.
inline size_t HistoryRingPop(HistoryRing& ring, HistoryEvent* out, size_t maximum) {
    const uint32_t tail = ring.tail.load(std::memory_order_relaxed);
    const uint32_t head = ring.head.load(std::memory_order_acquire);
    uint32_t n = head - tail;
    if (n > maximum) n = static_cast<uint32_t>(maximum);
    for (uint32_t i = 0; i < n; ++i) out[i] = ring.slots[(tail + i) & (HISTORY_RING_CAPACITY - 1)];
    ring.tail.store(tail + n, std::memory_order_release);
    return n;
}

// Consumer side: events waiting.
inline uint32_t HistoryRingWaiting(const HistoryRing& ring) {
    return ring.head.load(std::memory_order_acquire) - ring.tail.load(std::memory_order_relaxed);
}
