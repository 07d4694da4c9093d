// The watch's cost on the window's side: events described into the book
// alone, then the same events also through the watch rules, at the pace of a
// full-rate feed. Prints the figures; the watch is meant to add at most 10 %.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "history/book.h"
#include "history/source.h"
#include "tools/tallysim/sim.h"
#include "watch/watch.h"

namespace {

// A real production at full rate: the line full of the switcher's refresh,
// takes every few seconds.
std::vector<uint8_t> Production(size_t messages) {
    std::unique_ptr<SimState> sim(new SimState);
    SimConfig config;
    config.realPace = true;
    config.seed = 9;
    SimInit(*sim, config);
    std::vector<uint8_t> out;
    for (size_t m = 0; m < messages; ++m) SimNext(*sim, out);
    return out;
}

// A glitchy switcher: the four MEs and the outputs repeat their state, with a
// change in one message of ten (a tally bit or a source), names now and then
// and a fault every few hundred messages.
std::vector<uint8_t> Traffic(size_t messages) {
    std::mt19937 random(5);
    const uint8_t types[] = {0x81, 0x82, 0x83, 0x84, 0x91, 0x92, 0xA1, 0xB1, 0xB2, 0xB3, 0xC1};
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
    }
    return out;
}

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

struct Figures {
    double bookNs, withNs, watchNs;
    uint64_t alarms;
    size_t events;
    double seconds;
};

Figures Measure(const std::vector<uint8_t>& stream) {
    auto store = std::make_unique<TallyStore>();
    auto ring = std::make_unique<HistoryRing>();
    auto source = std::make_unique<EventSource>();
    TallyStoreInit(*store);
    HistoryRingInit(*ring);
    EventSourceInit(*source, store.get(), ring.get());
    // The events once, stamped as a 115200-baud line delivers them (a read
    // of about 60 bytes every 5 ms).
    std::vector<HistoryEvent> events;
    std::vector<HistoryEvent> batch(HISTORY_RING_CAPACITY);
    const int64_t startMs = 1796696122117;
    int64_t ms = startMs;
    for (size_t at = 0; at < stream.size(); at += 60, ms += 5) {
        EventSourceFeed(*source, stream.data() + at, std::min<size_t>(60, stream.size() - at), ms);
        const size_t n = HistoryRingPop(*ring, batch.data(), batch.size());
        events.insert(events.end(), batch.begin(), batch.begin() + static_cast<long>(n));
    }
    double bookOnly = 1e9, withWatch = 1e9, watchOnly = 1e9;
    uint64_t alarms = 0;
    std::vector<WatchAlarm> raised;
    for (int round = 0; round < 5; ++round) {  // best of five: the first warms the caches
        auto book = std::make_unique<HistoryBook>();
        HistoryBookInit(*book);
        auto t0 = std::chrono::steady_clock::now();
        for (const HistoryEvent& e : events) HistoryBookIngest(*book, e);
        bookOnly = std::min(bookOnly, Seconds(t0));
        book.reset();  // the next book gets the same memory back, as this one did

        auto book2 = std::make_unique<HistoryBook>();
        HistoryBookInit(*book2);
        auto watch = std::make_unique<Watch>();
        WatchInit(*watch, WatchConfig());
        // As the window drains the ring: a batch into the book, then through the watch.
        t0 = std::chrono::steady_clock::now();
        for (size_t at = 0; at < events.size(); at += 256) {
            const size_t end = std::min(events.size(), at + 256);
            for (size_t i = at; i < end; ++i) HistoryBookIngest(*book2, events[i]);
            for (size_t i = at; i < end; ++i) WatchFeed(*watch, WatchEventFromHistory(events[i]), raised);
            raised.clear();
        }
        withWatch = std::min(withWatch, Seconds(t0));

        WatchInit(*watch, WatchConfig());
        t0 = std::chrono::steady_clock::now();
        for (const HistoryEvent& e : events) {
            WatchFeed(*watch, WatchEventFromHistory(e), raised);
            raised.clear();
        }
        watchOnly = std::min(watchOnly, Seconds(t0));
        alarms = 0;
        for (uint64_t n : watch->alarms) alarms += n;
    }
    const double n = static_cast<double>(events.size());
    return {1e9 * bookOnly / n, 1e9 * withWatch / n, 1e9 * watchOnly / n, alarms, events.size(), (ms - startMs) / 1000.0};
}

void Print(const char* label, const std::vector<uint8_t>& stream) {
    const Figures f = Measure(stream);
    std::printf("%s: %zu bytes, %zu events over %.0f s of a 115200-baud line, %llu alarms raised\n", label,
                stream.size(), f.events, f.seconds, static_cast<unsigned long long>(f.alarms));
    std::printf("  window side: book %.0f ns per event; book then watch, in batches of 256 as the ring is drained, "
                "%.0f ns; the watch alone %.0f ns\n",
                f.bookNs, f.withNs, f.watchNs);
    std::printf("  the watch adds %.1f %% to the window's cost per event (alone: %.1f %%; target: at most 10 %%)\n",
                100.0 * (f.withNs - f.bookNs) / f.bookNs, 100.0 * f.watchNs / f.bookNs);
}

}  // namespace

int main() {
    Print("real production at full rate", Production(150000));
    Print("glitchy feed, a change in one message of ten", Traffic(150000));
    return 0;
}
