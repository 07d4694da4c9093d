// The history's cost, natively: bytes framed into events (the receiver's
// side, against the bare parser), events described into the book (the
// window's side), and the memory a held event costs once the book holds a
// million. Prints its figures; exits non-zero only when the book breaks its
// own bounds (fewer than a million held, or more than 256 MB).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "history/book.h"
#include "history/source.h"
#include "tally/parser.h"
#include "tally/store.h"

namespace {

// Production-like traffic: the switcher repeats its state, so most messages
// equal the previous of their type; now and then a source or tally changes,
// and a fault every few hundred messages.
std::vector<uint8_t> Traffic(size_t messages) {
    std::mt19937 random(11);
    const uint8_t types[] = {0x81, 0x82, 0x91, 0x92, 0xA1, 0xB1, 0xB2, 0xB3, 0xC1};
    uint8_t state[256][MAX_PAYLOAD] = {};
    std::vector<uint8_t> out;
    for (size_t m = 0; m < messages; ++m) {
        const uint8_t t = types[random() % sizeof types];
        const int length = payloadLength(t);
        if (random() % 10 == 0) state[t][random() % length] = static_cast<uint8_t>(random() % 0x60);
        if (t == 0xC1) state[t][0] = static_cast<uint8_t>(1 + random() % 128);
        out.push_back(t);
        out.push_back(t);
        out.insert(out.end(), state[t], state[t] + length);
        if (random() % 300 == 0) out.insert(out.end(), 1 + random() % 5, 0x11);
        if (random() % 500 == 0) out.push_back(0xE5), out.push_back(0xE5);
    }
    return out;
}

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

long ResidentKb() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * 4;
}

}  // namespace

int main() {
    const std::vector<uint8_t> stream = Traffic(300000);
    auto store = std::make_unique<TallyStore>();
    auto parser = std::make_unique<FrameParser>();
    auto ring = std::make_unique<HistoryRing>();
    auto source = std::make_unique<EventSource>();
    auto book = std::make_unique<HistoryBook>();

    // Receiver side: the bare parser, then the event source, 6000-byte reads.
    TallyStoreInit(*store);
    FrameParserInit(*parser, store.get());
    auto t0 = std::chrono::steady_clock::now();
    double bare = 0;
    for (int round = 0; round < 2; ++round) {  // the first round warms the caches
        t0 = std::chrono::steady_clock::now();
        for (size_t at = 0; at < stream.size(); at += READ_BUFFER_SIZE)
            FrameParserFeed(*parser, stream.data() + at, std::min<size_t>(READ_BUFFER_SIZE, stream.size() - at));
        bare = Seconds(t0);
    }

    TallyStoreInit(*store);
    HistoryRingInit(*ring);
    EventSourceInit(*source, store.get(), ring.get());
    HistoryBookInit(*book);
    std::vector<HistoryEvent> batch(HISTORY_RING_CAPACITY);
    size_t events = 0;
    double produce = 0, consume = 0;
    for (size_t at = 0; at < stream.size(); at += READ_BUFFER_SIZE) {
        t0 = std::chrono::steady_clock::now();
        EventSourceFeed(*source, stream.data() + at, std::min<size_t>(READ_BUFFER_SIZE, stream.size() - at), 1000);
        produce += Seconds(t0);
        t0 = std::chrono::steady_clock::now();
        const size_t n = HistoryRingPop(*ring, batch.data(), batch.size());
        for (size_t i = 0; i < n; ++i) HistoryBookIngest(*book, batch[i]);
        consume += Seconds(t0);
        events += n;
    }
    const double mb = stream.size() / 1e6;
    std::printf("traffic: %zu bytes, %zu events, %.1f%% 'no change'\n", stream.size(), events,
                100.0 * [&] {
                    size_t same = 0;
                    for (uint64_t s = book->firstSeq; s < book->endSeq; ++s)
                        same += HistoryBookEntry(*book, s).flags & HISTORY_NO_CHANGE;
                    return static_cast<double>(same) / static_cast<double>(HistoryBookSize(*book));
                }());
    std::printf("receiver side: bare parser %.1f MB/s; parser + events %.1f MB/s (%.0f ns per event)\n", mb / bare,
                mb / produce, 1e9 * produce / static_cast<double>(events));
    std::printf("window side: %.0f ns per event described and added (%.2f M events/s); a 256000-baud feed of "
                "this traffic brings %.0f events/s\n",
                1e9 * consume / static_cast<double>(events), events / consume / 1e6,
                25600.0 * static_cast<double>(events) / static_cast<double>(stream.size()));

    // Memory per held event with the book at its limit.
    const long before = ResidentKb();
    while (book->endSeq < HISTORY_KEEP_EVENTS + 2 * HISTORY_BLOCK_EVENTS) {
        for (size_t at = 0; at < stream.size() && book->endSeq < HISTORY_KEEP_EVENTS + 2 * HISTORY_BLOCK_EVENTS;
             at += READ_BUFFER_SIZE) {
            EventSourceFeed(*source, stream.data() + at, std::min<size_t>(READ_BUFFER_SIZE, stream.size() - at),
                            2000);
            const size_t n = HistoryRingPop(*ring, batch.data(), batch.size());
            for (size_t i = 0; i < n; ++i) HistoryBookIngest(*book, batch[i]);
        }
    }
    const size_t held = HistoryBookSize(*book);
    std::printf("book: %zu events held, %llu dropped, %.1f MB accounted = %.1f bytes per held event "
                "(resident grew %.1f MB)\n",
                held, static_cast<unsigned long long>(book->dropped), book->memoryBytes / 1048576.0,
                static_cast<double>(book->memoryBytes) / static_cast<double>(held),
                (ResidentKb() - before) / 1024.0);
    const bool ok = held >= HISTORY_KEEP_EVENTS && book->memoryBytes <= HISTORY_MAX_BYTES;
    if (!ok) std::printf("FAIL: the book is outside its bounds\n");
    return ok ? 0 : 1;
}
