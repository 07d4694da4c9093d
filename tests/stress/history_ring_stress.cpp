// The history ring under ThreadSanitizer, with a producer faster than its
// consumer.
//
// 1. A producer pushes numbered events as fast as it can while the consumer
//    drains in small bites with pauses: the ring fills, pushes are refused and
//    counted. Every event read must be whole (its bytes derive from its
//    number), numbers must only rise, and the numbers skipped must add up to
//    the loss count exactly.
// 2. The event source frames a faulty stream on one thread while the other
//    drains: whatever was not lost, the events' bytes put together must be
//    the stream itself.
// Prints its figures; exits non-zero on any mismatch.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "history/event.h"
#include "history/source.h"
#include "tally/store.h"

namespace {

uint8_t Pattern(uint32_t number, int i) { return static_cast<uint8_t>(number * 31u + static_cast<uint32_t>(i) * 7u); }

int NumberedEvents(uint32_t total) {
    auto ring = std::make_unique<HistoryRing>();
    HistoryRingInit(*ring);
    std::atomic<bool> done{false};
    std::thread producer([&] {
        HistoryEvent e;
        std::memset(&e, 0, sizeof e);
        for (uint32_t n = 1; n <= total; ++n) {
            e.code = n;
            e.length = static_cast<uint8_t>(n % HISTORY_EVENT_BYTES);
            for (int i = 0; i < HISTORY_EVENT_BYTES; ++i) e.bytes[i] = Pattern(n, i);
            HistoryRingPush(*ring, e);
        }
        done.store(true);
    });
    std::vector<HistoryEvent> batch(512);
    uint32_t last = 0;
    uint64_t skipped = 0, read = 0, torn = 0, backwards = 0, bites = 0;
    for (;;) {
        const bool finished = done.load();
        const size_t n = HistoryRingPop(*ring, batch.data(), batch.size());
        for (size_t k = 0; k < n; ++k) {
            const HistoryEvent& e = batch[k];
            for (int i = 0; i < HISTORY_EVENT_BYTES; ++i)
                if (e.bytes[i] != Pattern(e.code, i)) { ++torn; break; }
            if (e.length != e.code % HISTORY_EVENT_BYTES) ++torn;
            if (e.code <= last) ++backwards;
            else skipped += e.code - last - 1;
            last = e.code;
        }
        read += n;
        if (n == 0 && finished) break;
        // The window's pace: a bite, then a pause now and then.
        if (++bites % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    producer.join();
    skipped += total - last;
    const uint64_t lost = ring->lost.load();
    std::printf("numbered: %u pushed, %llu read, %llu lost, %llu skipped, %llu torn, %llu backwards\n", total,
                static_cast<unsigned long long>(read), static_cast<unsigned long long>(lost),
                static_cast<unsigned long long>(skipped), static_cast<unsigned long long>(torn),
                static_cast<unsigned long long>(backwards));
    int failures = 0;
    if (torn || backwards) failures++;
    if (skipped != lost || read + lost != total) { std::printf("FAIL: loss not accounted\n"); failures++; }
    if (lost == 0) { std::printf("FAIL: the producer never outran the consumer\n"); failures++; }
    return failures;
}

std::vector<uint8_t> FaultyStream(size_t messages) {
    std::mt19937 random(7);
    std::vector<uint8_t> out;
    const uint8_t types[] = {0x81, 0x92, 0xA1, 0xB3, 0xC1, 0xD1, 0xE5, 0x85};
    for (size_t m = 0; m < messages; ++m) {
        const uint8_t t = types[random() % sizeof types];
        out.push_back(t);
        out.push_back(random() % 50 == 0 ? 0x05 : t);
        const int length = payloadLength(t) > 0 ? payloadLength(t) : 0;
        for (int i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(random() % 0x80));
        if (random() % 20 == 0) out.push_back(0xAA);   // a high byte after a low one: data, or a break
        if (random() % 10 == 0) out.insert(out.end(), random() % 70, 0x11);  // stray run
    }
    return out;
}

int SourceStream() {
    auto store = std::make_unique<TallyStore>();
    auto ring = std::make_unique<HistoryRing>();
    auto source = std::make_unique<EventSource>();
    TallyStoreInit(*store);
    HistoryRingInit(*ring);
    EventSourceInit(*source, store.get(), ring.get());
    const std::vector<uint8_t> stream = FaultyStream(200000);
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::mt19937 random(3);
        size_t at = 0;
        while (at < stream.size()) {
            const size_t n = std::min<size_t>(1 + random() % 9000, stream.size() - at);
            EventSourceFeed(*source, stream.data() + at, n, static_cast<int64_t>(at));
            at += n;
        }
        done.store(true);
    });
    std::vector<uint8_t> joined;
    joined.reserve(stream.size());
    std::vector<HistoryEvent> batch(1024);
    uint64_t events = 0;
    for (;;) {
        const bool finished = done.load();
        const size_t n = HistoryRingPop(*ring, batch.data(), batch.size());
        for (size_t k = 0; k < n; ++k) joined.insert(joined.end(), batch[k].bytes, batch[k].bytes + batch[k].length);
        events += n;
        if (n == 0 && finished) break;
    }
    producer.join();
    const uint64_t lost = ring->lost.load();
    const size_t pending = static_cast<size_t>(EventSourcePending(*source));
    std::printf("source: %zu bytes, %llu events, %llu lost, %zu pending at the end\n", stream.size(),
                static_cast<unsigned long long>(events), static_cast<unsigned long long>(lost), pending);
    if (lost != 0) return 0;  // bytes cannot add up then; the loss itself was counted
    if (joined.size() + pending != stream.size() ||
        std::memcmp(joined.data(), stream.data(), joined.size()) != 0) {
        std::printf("FAIL: the events' bytes are not the stream\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t total = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 2000000;
    const int failures = NumberedEvents(total) + SourceStream();
    std::printf("%s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
