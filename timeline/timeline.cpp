// The tally over time (see timeline.h).
#include "timeline/timeline.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "history/book.h"

namespace {

// Lanes whose held changes are fewer than this keep their dropped front until
// it is at least half of them: erasing on every drop would move the whole lane.
constexpr size_t COMPACT_AFTER = 4096;

int ClassOf(bool levels, uint16_t value) {
    if (levels) return value > 3 ? 3 : value;
    return value ? 1 : 0;
}

int NewLane(TimelineIndex& index, bool levels) {
    index.lanes.emplace_back();
    index.lanes.back().levels = levels;
    return static_cast<int>(index.lanes.size() - 1);
}

void Push(TimelineLane& lane, int64_t timeMs, uint16_t value) {
    TimelineChange c;
    c.timeMs = timeMs;
    c.value = value;
    c.spare = 0;
    const uint32_t* before = lane.changes.size() > lane.first ? lane.changes.back().count : lane.baseCount;
    std::memcpy(c.count, before, sizeof c.count);
    const int cls = ClassOf(lane.levels, value);
    if (cls > 0) ++c.count[cls - 1];
    lane.changes.push_back(c);
}

void Change(TimelineIndex& index, int& slot, bool levels, int64_t timeMs, uint16_t value) {
    if (slot == TIMELINE_NO_LANE) slot = NewLane(index, levels);
    Push(index.lanes[static_cast<size_t>(slot)], timeMs, value);
}

// First index in [from, n) whose time is >= x; n when none. Steps forward
// from `from` in growing strides first, so a search for the next pixel's
// boundary costs the log of the changes skipped, not of the whole lane.
template <typename T>
size_t Gallop(const T* items, size_t from, size_t n, int64_t x) {
    if (from >= n || items[from].timeMs >= x) return from;
    size_t lo = from, step = 1, hi = from + 1;
    while (hi < n && items[hi].timeMs < x) {
        lo = hi;
        step *= 2;
        hi = from + step;
    }
    if (hi > n) hi = n;
    return static_cast<size_t>(
        std::lower_bound(items + lo + 1, items + hi, x, [](const T& item, int64_t t) { return item.timeMs < t; }) -
        items);
}

template <typename T>
size_t LowerBound(const std::vector<T>& items, size_t from, int64_t x) {
    return static_cast<size_t>(std::lower_bound(items.begin() + static_cast<std::ptrdiff_t>(from), items.end(), x,
                                                [](const T& item, int64_t t) { return item.timeMs < t; }) -
                               items.begin());
}
template <typename T>
size_t UpperBound(const std::vector<T>& items, size_t from, int64_t x) {
    return static_cast<size_t>(std::upper_bound(items.begin() + static_cast<std::ptrdiff_t>(from), items.end(), x,
                                                [](int64_t t, const T& item) { return t < item.timeMs; }) -
                               items.begin());
}

uint16_t ValueBefore(const TimelineLane& lane, size_t k) { return k > lane.first ? lane.changes[k - 1].value : lane.base; }
const uint32_t* CountBefore(const TimelineLane& lane, size_t k) {
    return k > lane.first ? lane.changes[k - 1].count : lane.baseCount;
}

// Pixel boundary i of [t0, t1) in n parts, rounded up: pixel i holds the
// changes at B(i) <= t < B(i+1).
inline int64_t Boundary(int64_t t0, int64_t span, int pixels, int i) {
    return t0 + (span * i + pixels - 1) / pixels;
}

// The class mask of changes [k, j).
uint8_t SeenMask(const TimelineLane& lane, size_t k, size_t j) {
    if (j <= k) return 0;
    const uint32_t* a = CountBefore(lane, k);
    const uint32_t* b = lane.changes[j - 1].count;
    uint8_t seen = 0;
    uint32_t lit = 0;
    for (int c = 0; c < 3; ++c) {
        const uint32_t n = b[c] - a[c];
        if (n) seen = static_cast<uint8_t>(seen | 1u << (c + 1));
        lit += n;
    }
    if (lit < j - k) seen |= 1;
    return seen;
}

void DropLane(TimelineLane& lane, int64_t cutMs) {
    // Keep the last change at or before the cut: it says what held then.
    const size_t after = UpperBound(lane.changes, lane.first, cutMs);
    if (after > lane.first + 1) {
        const size_t keep = after - 1;
        lane.base = lane.changes[keep - 1].value;
        std::memcpy(lane.baseCount, lane.changes[keep - 1].count, sizeof lane.baseCount);
        lane.first = keep;
    }
    if (lane.first > COMPACT_AFTER && lane.first * 2 > lane.changes.size()) {
        lane.changes.erase(lane.changes.begin(), lane.changes.begin() + static_cast<std::ptrdiff_t>(lane.first));
        lane.first = 0;
    }
}

template <typename Point>
void Note(TimelineSeries<Point>& series, const Point& total) {
    if (series.points.size() > series.first && series.points.back().timeMs == total.timeMs) series.points.back() = total;
    else series.points.push_back(total);
}

template <typename Point>
void DropSeries(TimelineSeries<Point>& series, int64_t cutMs) {
    const size_t keep = LowerBound(series.points, series.first, cutMs);
    if (keep > series.first) {
        series.base = series.points[keep - 1];
        series.first = keep;
    }
    if (series.first > COMPACT_AFTER && series.first * 2 > series.points.size()) {
        series.points.erase(series.points.begin(), series.points.begin() + static_cast<std::ptrdiff_t>(series.first));
        series.first = 0;
    }
}

void SetLink(TimelineIndex& index, int64_t t, uint16_t state) {
    if (state == index.linkState) return;
    const TimelineLane* lane = TimelineLinkLane(index);
    if (lane && lane->changes.size() > lane->first && lane->changes.back().timeMs > t) t = lane->changes.back().timeMs;
    index.linkState = state;
    Change(index, index.linkLane, true, t, state);
}

void FillRowLevels(TimelineIndex& index) {
    for (unsigned mask = 0; mask < (1u << ONAIR_ROWS); ++mask) {
        OnAirLevel best = ONAIR_OFF;
        index.rowBits[mask] = 0;
        for (int j = 0; j < ONAIR_ROWS; ++j) {
            if (!(mask >> j & 1)) continue;
            best = std::max(best, OnAirRowLevel(j));
            if (OnAirRowLevel(j) != ONAIR_OFF)
                index.rowBits[mask] = static_cast<uint8_t>(index.rowBits[mask] | 1u << (OnAirRowLevel(j) - 1));
        }
        index.rowLevel[mask] = best;
    }
}

// The ME record m changed: sources in its old or new inputs may have changed level.
void MeChanged(TimelineIndex& index, int m, const uint8_t* oldData, int64_t t) {
    OnAirDerive(index.me, index.out, index.tally);
    bool done[ONAIR_SOURCE_VALUES] = {};
    for (int pass = 0; pass < 2; ++pass) {
        const uint8_t* data = pass ? index.me[m].data : oldData;
        for (int i = 0; i < ONAIR_INPUTS; ++i) {
            const int s = data[2 * i];
            if (done[s]) continue;
            done[s] = true;
            const unsigned rows = index.tally.rows[m][s] & ((1u << ONAIR_ROWS) - 1);
            const uint8_t bits = index.rowBits[rows];
            for (int l = 0; l < 3; ++l)
                if ((bits ^ index.levelBits[m][s]) >> l & 1)
                    Change(index, index.levelLane[m][l][s], false, t, static_cast<uint16_t>(bits >> l & 1));
            index.levelBits[m][s] = bits;
            const uint8_t level = index.rowLevel[rows];
            if (level != index.level[m][s]) {
                index.level[m][s] = level;
                Change(index, index.meLane[m][s], true, t, level);
            }
            uint8_t all = 0;
            for (int other = 0; other < ME_RECORDS; ++other)
                all = std::max(all, index.rowLevel[index.tally.rows[other][s] & ((1u << ONAIR_ROWS) - 1)]);
            if (all != index.allLevel[s]) {
                index.allLevel[s] = all;
                Change(index, index.allLane[s], true, t, all);
            }
        }
    }
}

void OutputsChanged(TimelineIndex& index, int64_t t) {
    OnAirDerive(index.me, index.out, index.tally);
    uint16_t next[ONAIR_OUTPUTS] = {};
    uint8_t onAir[ONAIR_SOURCE_VALUES] = {};
    for (int k = 0; k < index.tally.onAirCount; ++k) {
        const OnAirOutput& o = index.tally.onAir[k];
        next[o.output - 1] = static_cast<uint16_t>(TIMELINE_OUTPUT_ON | o.source | (o.mode == 'K' ? TIMELINE_OUTPUT_KEY : 0));
        onAir[o.source] = 1;
    }
    for (int o = 0; o < ONAIR_OUTPUTS; ++o) {
        if (next[o] == index.output[o]) continue;
        const uint16_t was = index.output[o];
        index.output[o] = next[o];
        Change(index, index.outputLane[o], false, t, next[o]);
        // Only sources of outputs that changed can have changed on air.
        for (uint16_t v : {was, next[o]}) {
            if (!v) continue;
            const int s = v & 0xFF;
            if (onAir[s] != index.onAir[s]) {
                index.onAir[s] = onAir[s];
                Change(index, index.onAirLane[s], false, t, onAir[s]);
            }
        }
    }
}

void NameChanged(TimelineIndex& index, uint8_t type, const uint8_t* payload, int64_t t) {
    const int source = payload[0];
    if (source < 1 || source > SOURCE_COUNT) return;
    std::vector<TimelineName>& list = index.names[source];
    TimelineName next;
    if (list.empty()) std::memset(&next, 0, sizeof next);
    else next = list.back();
    next.timeMs = t;
    // As the store takes them: a name clears the alias; both carry the nickname.
    if (type == MSG_SOURCE_NAME) {
        std::memcpy(next.name, payload + 1, NAME_LENGTH);
        next.alias[0] = 0;
    } else {
        std::memcpy(next.alias, payload + 1, NAME_LENGTH);
    }
    std::memcpy(next.nickname, payload + 1 + NAME_LENGTH, NICKNAME_LENGTH);
    next.name[NAME_LENGTH] = next.nickname[NICKNAME_LENGTH] = next.alias[NAME_LENGTH] = 0;
    if (!list.empty() && std::strcmp(list.back().name, next.name) == 0 &&
        std::strcmp(list.back().nickname, next.nickname) == 0 && std::strcmp(list.back().alias, next.alias) == 0)
        return;
    if (!list.empty() && list.back().timeMs == t) list.back() = next;
    else list.push_back(next);
}

void Message(TimelineIndex& index, const HistoryEvent& e, int64_t t) {
    const uint8_t type = e.type;
    const uint8_t* payload = e.bytes + 2;
    if (type >= 0x81 && type < 0x81 + ME_RECORDS && e.length >= 2 + ME_PAYLOAD) {
        const int m = type - 0x81;
        if (index.meSeen[m] && std::memcmp(index.me[m].data, payload, ME_PAYLOAD) == 0) return;
        uint8_t old[ME_PAYLOAD];
        std::memcpy(old, index.me[m].data, ME_PAYLOAD);
        std::memcpy(index.me[m].data, payload, ME_PAYLOAD);
        index.meSeen[m] = true;
        MeChanged(index, m, old, t);
    } else if (type >= 0xB1 && type < 0xB1 + OUT_RECORDS && e.length >= 2 + OUT_PAYLOAD) {
        const int r = type - 0xB1;
        if (index.outSeen[r] && std::memcmp(index.out[r].data, payload, OUT_PAYLOAD) == 0) return;
        std::memcpy(index.out[r].data, payload, OUT_PAYLOAD);
        index.outSeen[r] = true;
        OutputsChanged(index, t);
    } else if ((type == MSG_SOURCE_NAME || type == MSG_SOURCE_ALIAS) && e.length >= 2 + NAME_PAYLOAD) {
        NameChanged(index, type, payload, t);
    }
}

bool LitIn(const TimelineLane& lane, int64_t t0, int64_t t1) {
    const size_t k = LowerBound(lane.changes, lane.first, t0);
    if (ClassOf(lane.levels, ValueBefore(lane, k)) > 0) return true;
    const size_t j = LowerBound(lane.changes, k, t1);
    return (SeenMask(lane, k, j) & ~1u) != 0;
}

}  // namespace

int TimelineCellClass(const TimelineCell& cell, bool levels) {
    const int startClass = ClassOf(levels, cell.start), endClass = ClassOf(levels, cell.end);
    const unsigned others = cell.seen & ~(1u << startClass) & ~(1u << endClass);
    for (int c = 3; c >= 0; --c)
        if (others >> c & 1) return c;
    return endClass;
}

void TimelineInit(TimelineIndex& index) {
    FillRowLevels(index);
    index.lanes.clear();
    for (auto& row : index.meLane)
        for (int& slot : row) slot = TIMELINE_NO_LANE;
    for (auto& me : index.levelLane)
        for (auto& row : me)
            for (int& slot : row) slot = TIMELINE_NO_LANE;
    for (int& slot : index.allLane) slot = TIMELINE_NO_LANE;
    for (int& slot : index.onAirLane) slot = TIMELINE_NO_LANE;
    for (int& slot : index.outputLane) slot = TIMELINE_NO_LANE;
    index.linkLane = TIMELINE_NO_LANE;
    std::memset(index.me, 0, sizeof index.me);
    std::memset(index.out, 0, sizeof index.out);
    std::memset(index.meSeen, 0, sizeof index.meSeen);
    std::memset(index.outSeen, 0, sizeof index.outSeen);
    std::memset(index.level, 0, sizeof index.level);
    std::memset(index.levelBits, 0, sizeof index.levelBits);
    std::memset(index.allLevel, 0, sizeof index.allLevel);
    std::memset(index.onAir, 0, sizeof index.onAir);
    std::memset(index.output, 0, sizeof index.output);
    index.bytes = TimelineSeries<TimelineBytePoint>();
    index.errors = TimelineSeries<TimelineErrorPoint>();
    index.byteTotal = TimelineBytePoint();
    index.errorTotal = TimelineErrorPoint();
    index.linkState = TIMELINE_LINK_DOWN;
    index.lastByteMs = 0;
    for (auto& list : index.names) list.clear();
    index.markers.clear();
    index.markersFirst = 0;
    index.events = 0;
    index.firstMs = index.lastMs = 0;
    index.nextSeq = index.bookFirstSeq = 0;
}

void TimelineIngest(TimelineIndex& index, const HistoryEvent& e) {
    int64_t t = e.timeMs;
    if (index.events == 0) index.firstMs = t;
    else if (t < index.lastMs) t = index.lastMs;
    index.lastMs = t;
    ++index.events;

    if (HistoryIsFraming(e.kind)) {
        index.byteTotal.timeMs = t;
        index.byteTotal.bytes += e.length;
        Note(index.bytes, index.byteTotal);
        if (e.kind != EVENT_MESSAGE && e.kind != EVENT_IGNORED && e.kind != EVENT_RESET && e.kind != EVENT_INCOMPLETE) {
            index.errorTotal.timeMs = t;
            ++index.errorTotal.framingErrors;
            Note(index.errors, index.errorTotal);
        }
        index.lastByteMs = t;
        SetLink(index, t, TIMELINE_LINK_UP);
        if (e.kind == EVENT_MESSAGE) Message(index, e, t);
        return;
    }
    switch (e.kind) {
    case EVENT_LINE_ERROR:
    case EVENT_PORT_ERROR:
        index.errorTotal.timeMs = t;
        ++index.errorTotal.lineErrors;
        Note(index.errors, index.errorTotal);
        break;
    case EVENT_CONNECT:
    case EVENT_RECEIVING: SetLink(index, t, TIMELINE_LINK_UP); break;
    case EVENT_DISCONNECT: SetLink(index, t, TIMELINE_LINK_DOWN); break;
    case EVENT_SILENT:
        // The silence began with the last byte, not when it was noticed.
        SetLink(index, index.lastByteMs ? index.lastByteMs : t, TIMELINE_LINK_SILENT);
        break;
    default: break;
    }
}

void TimelineFollow(TimelineIndex& index, const HistoryBook& book) {
    uint64_t seq = index.nextSeq > book.firstSeq ? index.nextSeq : book.firstSeq;
    for (; seq < book.endSeq; ++seq) TimelineIngest(index, HistoryBookEntry(book, seq).event);
    index.nextSeq = book.endSeq;
    if (book.firstSeq > index.bookFirstSeq) {
        index.bookFirstSeq = book.firstSeq;
        TimelineDropBefore(index, book.endSeq > book.firstSeq ? HistoryBookEntry(book, book.firstSeq).event.timeMs
                                                              : index.lastMs);
    }
}

void TimelineDropBefore(TimelineIndex& index, int64_t cutMs) {
    if (cutMs <= index.firstMs) return;
    index.firstMs = cutMs;
    for (TimelineLane& lane : index.lanes) DropLane(lane, cutMs);

    DropSeries(index.bytes, cutMs);
    DropSeries(index.errors, cutMs);
    for (auto& list : index.names) {
        const size_t after = UpperBound(list, 0, cutMs);
        if (after > 1) list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(after - 1));
    }
    index.markersFirst = LowerBound(index.markers, index.markersFirst, cutMs);
    if (index.markersFirst * 2 > index.markers.size()) {
        index.markers.erase(index.markers.begin(), index.markers.begin() + static_cast<std::ptrdiff_t>(index.markersFirst));
        index.markersFirst = 0;
    }
}

void TimelineAddMarker(TimelineIndex& index, int64_t timeMs, uint32_t kind, const std::string& text) {
    if (!index.markers.empty() && index.markers.back().timeMs > timeMs) timeMs = index.markers.back().timeMs;
    index.markers.push_back({timeMs, kind, text});
}

void TimelineMarkersIn(const TimelineIndex& index, int64_t t0, int64_t t1, size_t* from, size_t* to) {
    *from = LowerBound(index.markers, index.markersFirst, t0);
    *to = LowerBound(index.markers, *from, t1);
}

namespace {
const TimelineLane* LaneAt(const TimelineIndex& index, int slot) {
    return slot == TIMELINE_NO_LANE ? nullptr : &index.lanes[static_cast<size_t>(slot)];
}
}  // namespace

const TimelineLane* TimelineMeLane(const TimelineIndex& index, int me, int source) {
    if (source < 0 || source >= ONAIR_SOURCE_VALUES) return nullptr;
    if (me == ONAIR_ALL_ME) return LaneAt(index, index.allLane[source]);
    if (me < 0 || me >= ME_RECORDS) return nullptr;
    return LaneAt(index, index.meLane[me][source]);
}
const TimelineLane* TimelineLevelLane(const TimelineIndex& index, int me, OnAirLevel level, int source) {
    if (me < 0 || me >= ME_RECORDS || level < ONAIR_PREVIEW || level > ONAIR_PROGRAM || source < 0 ||
        source >= ONAIR_SOURCE_VALUES)
        return nullptr;
    return LaneAt(index, index.levelLane[me][level - 1][source]);
}
const TimelineLane* TimelineOnAirLane(const TimelineIndex& index, int source) {
    return source >= 0 && source < ONAIR_SOURCE_VALUES ? LaneAt(index, index.onAirLane[source]) : nullptr;
}
const TimelineLane* TimelineOutputLane(const TimelineIndex& index, int output) {
    return output >= 1 && output <= ONAIR_OUTPUTS ? LaneAt(index, index.outputLane[output - 1]) : nullptr;
}
const TimelineLane* TimelineLinkLane(const TimelineIndex& index) { return LaneAt(index, index.linkLane); }

uint16_t TimelineValueAt(const TimelineLane& lane, int64_t timeMs) {
    return ValueBefore(lane, UpperBound(lane.changes, lane.first, timeMs));
}

void TimelineCells(const TimelineLane& lane, int64_t t0, int64_t t1, int pixels, TimelineCell* cells) {
    if (pixels <= 0) return;
    const int64_t span = t1 > t0 ? t1 - t0 : 0;
    const TimelineChange* c = lane.changes.data();
    const size_t n = lane.changes.size();
    size_t k = LowerBound(lane.changes, lane.first, t0);
    for (int i = 0; i < pixels; ++i) {
        const size_t j = Gallop(c, k, n, Boundary(t0, span, pixels, i + 1));
        TimelineCell& cell = cells[i];
        cell.start = ValueBefore(lane, k);
        cell.end = ValueBefore(lane, j);
        cell.seen = SeenMask(lane, k, j);
        cell.changes = static_cast<uint8_t>(j - k > 255 ? 255 : j - k);
        k = j;
    }
}

void TimelineLinkCells(const TimelineIndex& index, int64_t t0, int64_t t1, int pixels, TimelineLinkCell* cells) {
    if (pixels <= 0) return;
    const TimelineLane* lane = TimelineLinkLane(index);
    std::vector<TimelineCell> state(static_cast<size_t>(pixels), TimelineCell{0, 0, 0, 0});
    if (lane) TimelineCells(*lane, t0, t1, pixels, state.data());
    const int64_t span = t1 > t0 ? t1 - t0 : 0;
    const TimelineBytePoint* p = index.bytes.points.data();
    const TimelineErrorPoint* q = index.errors.points.data();
    const size_t n = index.bytes.points.size(), m = index.errors.points.size();
    size_t k = LowerBound(index.bytes.points, index.bytes.first, t0);
    size_t ek = LowerBound(index.errors.points, index.errors.first, t0);
    for (int i = 0; i < pixels; ++i) {
        const int64_t next = Boundary(t0, span, pixels, i + 1);
        const size_t j = Gallop(p, k, n, next);
        const size_t ej = Gallop(q, ek, m, next);
        const TimelineBytePoint& a = k > index.bytes.first ? p[k - 1] : index.bytes.base;
        const TimelineBytePoint& b = j > index.bytes.first ? p[j - 1] : index.bytes.base;
        const TimelineErrorPoint& ea = ek > index.errors.first ? q[ek - 1] : index.errors.base;
        const TimelineErrorPoint& eb = ej > index.errors.first ? q[ej - 1] : index.errors.base;
        cells[i].bytes = static_cast<uint32_t>(b.bytes - a.bytes);
        cells[i].framingErrors = eb.framingErrors - ea.framingErrors;
        cells[i].lineErrors = eb.lineErrors - ea.lineErrors;
        cells[i].state = state[static_cast<size_t>(i)];
        k = j;
        ek = ej;
    }
}

std::vector<int> TimelineSourcesLit(const TimelineIndex& index, int me, int64_t t0, int64_t t1) {
    std::vector<int> sources;
    for (int s = 0; s < ONAIR_SOURCE_VALUES; ++s) {
        const TimelineLane* lane = TimelineMeLane(index, me, s);
        if (lane && LitIn(*lane, t0, t1)) sources.push_back(s);
    }
    return sources;
}

std::vector<int> TimelineSourcesOnAir(const TimelineIndex& index, int64_t t0, int64_t t1) {
    std::vector<int> sources;
    for (int s = 0; s < ONAIR_SOURCE_VALUES; ++s) {
        const TimelineLane* lane = TimelineOnAirLane(index, s);
        if (lane && LitIn(*lane, t0, t1)) sources.push_back(s);
    }
    return sources;
}

namespace {
TimelineSpan SpanFrom(const TimelineIndex& index, const TimelineLane& lane, size_t k) {
    // k: the change the span starts with; lane.first - 1 stands for the base.
    TimelineSpan span;
    const bool base = k + 1 == lane.first || (lane.first == 0 && k == static_cast<size_t>(-1));
    span.startKnown = !base;
    span.startMs = base ? index.firstMs : lane.changes[k].timeMs;
    span.value = base ? lane.base : lane.changes[k].value;
    const size_t next = k + 1;
    span.open = next >= lane.changes.size();
    span.endMs = span.open ? index.lastMs : lane.changes[next].timeMs;
    return span;
}
}  // namespace

TimelineSpan TimelineSpanIn(const TimelineIndex& index, const TimelineLane& lane, int64_t a, int64_t b) {
    TimelineCell cell;
    TimelineCells(lane, a, b > a ? b : a + 1, 1, &cell);
    const int cls = TimelineCellClass(cell, lane.levels);
    const size_t k = LowerBound(lane.changes, lane.first, a);
    if (ClassOf(lane.levels, cell.start) != cls) {
        for (size_t i = k; i < lane.changes.size() && lane.changes[i].timeMs < b; ++i)
            if (ClassOf(lane.levels, lane.changes[i].value) == cls) return SpanFrom(index, lane, i);
    }
    return SpanFrom(index, lane, k - 1);
}

std::vector<TimelineSpan> TimelineSpansOf(const TimelineIndex& index, const TimelineLane& lane, int cls) {
    std::vector<TimelineSpan> spans;
    if (ClassOf(lane.levels, lane.base) == cls && lane.first < lane.changes.size() &&
        lane.changes[lane.first].timeMs > index.firstMs)
        spans.push_back(SpanFrom(index, lane, lane.first - 1));
    for (size_t i = lane.first; i < lane.changes.size(); ++i)
        if (ClassOf(lane.levels, lane.changes[i].value) == cls) spans.push_back(SpanFrom(index, lane, i));
    return spans;
}

const TimelineName* TimelineNameAt(const TimelineIndex& index, int source, int64_t timeMs) {
    if (source < 1 || source > SOURCE_COUNT) return nullptr;
    const std::vector<TimelineName>& list = index.names[source];
    const size_t after = UpperBound(list, 0, timeMs);
    return after ? &list[after - 1] : nullptr;
}

std::string TimelineShownName(const TimelineName* name) {
    if (!name) return std::string();
    std::string text = name->alias[0] ? name->alias : name->name;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

bool TimelineHistorySeqAt(const HistoryBook& book, int64_t timeMs, uint64_t* seq) {
    if (book.endSeq <= book.firstSeq) return false;
    // Alarm rows carry the time of their cause and are added when raised, so
    // they are out of time order: each counts as the row before it (they are
    // few), and the search runs over the received events' times alone.
    auto received = [&](uint64_t s) {
        while (s > book.firstSeq && HistoryBookEntry(book, s).event.kind == EVENT_ALARM) --s;
        return s;
    };
    uint64_t lo = book.firstSeq, hi = book.endSeq;  // first entry later than timeMs is in [lo, hi]
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (HistoryBookEntry(book, received(mid)).event.timeMs <= timeMs) lo = mid + 1;
        else hi = mid;
    }
    *seq = received(lo > book.firstSeq ? lo - 1 : book.firstSeq);
    return true;
}

size_t TimelineMemoryBytes(const TimelineIndex& index) {
    size_t bytes = sizeof(TimelineIndex) + index.lanes.capacity() * sizeof(TimelineLane);
    for (const TimelineLane& lane : index.lanes) bytes += lane.changes.capacity() * sizeof(TimelineChange);
    bytes += index.bytes.points.capacity() * sizeof(TimelineBytePoint);
    bytes += index.errors.points.capacity() * sizeof(TimelineErrorPoint);
    for (const auto& list : index.names) bytes += list.capacity() * sizeof(TimelineName);
    for (const auto& m : index.markers) bytes += sizeof m + m.text.capacity();
    return bytes;
}
