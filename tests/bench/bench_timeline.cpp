// The timeline index's cost, natively: per event taken in (alone, and on top
// of the history book it follows on the window's side), a full-screen redraw's
// queries over a million held events at the widest (24 h) and narrowest
// (100 ms) zoom, and the memory the index adds per held event. Prints its
// figures; exits non-zero only when the index loses step with the book.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "history/book.h"
#include "timeline/timeline.h"

namespace {

constexpr size_t EVENTS = 1200000;          // the book keeps the newest million
constexpr int64_t START_MS = 1796688000000;  // a day's feed from midnight
constexpr int64_t DAY_MS = 86400000;
constexpr int WIDTH = 1920;                  // a full-screen view, one cell per pixel

// A switcher's day: ME and output records repeated, a cut or a key now and
// then among 40 sources, stray bytes and line errors once in a while.
std::vector<HistoryEvent> Day() {
    std::mt19937 random(7);
    uint8_t me[ME_RECORDS][ME_PAYLOAD] = {};
    uint8_t out[OUT_RECORDS][OUT_PAYLOAD] = {};
    std::vector<HistoryEvent> events(EVENTS);
    for (size_t i = 0; i < EVENTS; ++i) {
        HistoryEvent& e = events[i];
        std::memset(&e, 0, sizeof e);
        e.timeMs = START_MS + static_cast<int64_t>(i * (DAY_MS / EVENTS));
        const unsigned roll = random() % 1000;
        if (roll == 0) {
            e.kind = EVENT_STRAY;
            e.length = 3;
            continue;
        }
        if (roll == 1) {
            e.kind = EVENT_LINE_ERROR;
            e.code = 8;
            continue;
        }
        e.kind = EVENT_MESSAGE;
        if (roll < 800) {
            const int m = static_cast<int>(random() % ME_RECORDS);
            if (random() % 20 == 0) me[m][2 * (random() % 12)] = static_cast<uint8_t>(1 + random() % 40);
            if (random() % 20 == 0) me[m][3 + 2 * (random() % 10)] = static_cast<uint8_t>(random());
            e.type = static_cast<uint8_t>(0x81 + m);
            std::memcpy(e.bytes + 2, me[m], ME_PAYLOAD);
            e.length = 2 + ME_PAYLOAD;
        } else {
            const int r = static_cast<int>(random() % OUT_RECORDS);
            if (random() % 20 == 0) out[r][random() % OUT_PAYLOAD] = static_cast<uint8_t>(1 + random() % 40);
            e.type = static_cast<uint8_t>(0xB1 + r);
            std::memcpy(e.bytes + 2, out[r], OUT_PAYLOAD);
            e.length = 2 + OUT_PAYLOAD;
        }
        e.bytes[0] = e.bytes[1] = e.type;
    }
    return events;
}

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// What a view asks for one redraw of all four MEs together: the lanes lit in
// the span, each lane's cells, the on-air group and the link lane.
size_t Redraw(const TimelineIndex& index, int64_t t0, int64_t t1, std::vector<TimelineCell>& cells,
              std::vector<TimelineLinkCell>& link) {
    size_t lanes = 0, lit = 0;
    for (int s : TimelineSourcesLit(index, ONAIR_ALL_ME, t0, t1)) {
        TimelineCells(*TimelineMeLane(index, ONAIR_ALL_ME, s), t0, t1, WIDTH, cells.data());
        ++lanes;
        for (const TimelineCell& c : cells) lit += TimelineCellClass(c, true) != 0;
    }
    for (int s : TimelineSourcesOnAir(index, t0, t1)) {
        TimelineCells(*TimelineOnAirLane(index, s), t0, t1, WIDTH, cells.data());
        ++lanes;
    }
    TimelineLinkCells(index, t0, t1, WIDTH, link.data());
    return lanes + 1 + (lit == 0xFFFFFFFF);  // keep the cells' use from being optimised away
}

}  // namespace

int main() {
    const std::vector<HistoryEvent> events = Day();
    int status = 0;

    // The index alone: the first run also pays for fresh memory, the second reuses it.
    for (int run = 1; run <= 2; ++run) {
        std::unique_ptr<TimelineIndex> index(new TimelineIndex);
        TimelineInit(*index);
        const auto start = std::chrono::steady_clock::now();
        for (const HistoryEvent& e : events) TimelineIngest(*index, e);
        const double s = Seconds(start);
        std::printf("index alone, run %d: %zu events in %.3f s, %.0f ns per event\n", run, events.size(), s,
                    s * 1e9 / static_cast<double>(events.size()));
    }

    // The book alone, then the book with the index following it in window-sized batches.
    double bookSeconds = 0;
    {
        std::unique_ptr<HistoryBook> book(new HistoryBook);
        HistoryBookInit(*book);
        const auto start = std::chrono::steady_clock::now();
        for (const HistoryEvent& e : events) HistoryBookIngest(*book, e);
        bookSeconds = Seconds(start);
        std::printf("history book alone: %.0f ns per event\n", bookSeconds * 1e9 / static_cast<double>(events.size()));
    }
    std::unique_ptr<HistoryBook> book(new HistoryBook);
    HistoryBookInit(*book);
    std::unique_ptr<TimelineIndex> index(new TimelineIndex);
    TimelineInit(*index);
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < events.size(); ++i) {
        HistoryBookIngest(*book, events[i]);
        if (i % 1024 == 1023) TimelineFollow(*index, *book);
    }
    TimelineFollow(*index, *book);
    const double both = Seconds(start);
    std::printf("history book + index: %.0f ns per event, the index adding %.0f ns\n",
                both * 1e9 / static_cast<double>(events.size()),
                (both - bookSeconds) * 1e9 / static_cast<double>(events.size()));

    const size_t held = HistoryBookSize(*book);
    const int64_t oldest = HistoryBookEntry(*book, book->firstSeq).event.timeMs;
    if (index->firstMs != oldest || index->events != book->endSeq) {
        std::printf("FAIL: the index is out of step with the book (oldest %lld vs %lld)\n",
                    static_cast<long long>(index->firstMs), static_cast<long long>(oldest));
        status = 1;
    }
    size_t changes = 0;
    for (const TimelineLane& lane : index->lanes) changes += lane.changes.size() - lane.first;
    const size_t bytes = TimelineMemoryBytes(*index);
    std::printf("held: %zu events, %zu lanes, %zu lane changes, %zu byte points, %zu error points; index %.1f MB, "
                "%.1f bytes per held event\n",
                held, index->lanes.size(), changes, index->bytes.points.size() - index->bytes.first,
                index->errors.points.size() - index->errors.first, bytes / 1048576.0,
                static_cast<double>(bytes) / static_cast<double>(held));

    std::vector<TimelineCell> cells(WIDTH);
    std::vector<TimelineLinkCell> link(WIDTH);
    const struct {
        const char* name;
        int64_t span;
    } zooms[] = {{"widest (24 h)", DAY_MS}, {"1 h", 3600000}, {"narrowest (100 ms)", 100}};
    for (const auto& zoom : zooms) {
        const int64_t t1 = index->lastMs, t0 = std::max(index->firstMs, t1 - zoom.span);
        const int rounds = 50;
        size_t lanes = 0;
        const auto from = std::chrono::steady_clock::now();
        for (int r = 0; r < rounds; ++r) lanes = Redraw(*index, t0 - r, t1 - r, cells, link);
        const double s = Seconds(from);
        std::printf("redraw queries, %s over %d pixels: %zu lanes, %.3f ms per redraw\n", zoom.name, WIDTH, lanes,
                    s * 1000 / rounds);
    }
    return status;
}
