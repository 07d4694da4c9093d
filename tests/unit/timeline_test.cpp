// The timeline index on hand-made event sequences: levels as the On Air
// derivation gives them, a mix where two sources share program, glitches
// shorter than a pixel, the link lane, and the oldest events let go with the
// history's; and the as-run CSV and time codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "history/book.h"
#include "onair/onair.h"
#include "timeline/asrun.h"
#include "timeline/timeline.h"

namespace {

HistoryEvent Message(int64_t t, uint8_t type, const std::vector<uint8_t>& payload) {
    HistoryEvent e;
    std::memset(&e, 0, sizeof e);
    e.timeMs = t;
    e.kind = EVENT_MESSAGE;
    e.type = type;
    e.bytes[0] = e.bytes[1] = type;
    std::memcpy(e.bytes + 2, payload.data(), payload.size());
    e.length = static_cast<uint8_t>(2 + payload.size());
    return e;
}

HistoryEvent Link(int64_t t, HistoryEventKind kind, uint8_t length = 0) {
    HistoryEvent e;
    std::memset(&e, 0, sizeof e);
    e.timeMs = t;
    e.kind = kind;
    e.length = length;
    return e;
}

// An ME payload: BusA and BusB sources and the PGM A / PVW A rows.
std::vector<uint8_t> Me(uint8_t busA, uint8_t busB, uint8_t pgmA, uint8_t pvwA) {
    std::vector<uint8_t> p(ME_PAYLOAD, 0);
    p[16] = busA;
    p[18] = busB;
    p[3] = pgmA;
    p[19] = pvwA;
    return p;
}

std::vector<uint8_t> Name(uint8_t source, const char* name, const char* nickname) {
    std::vector<uint8_t> p(NAME_PAYLOAD, ' ');
    p[0] = source;
    std::memcpy(p.data() + 1, name, std::strlen(name));
    std::memcpy(p.data() + 1 + NAME_LENGTH, nickname, std::strlen(nickname));
    return p;
}

std::unique_ptr<TimelineIndex> NewIndex() {
    std::unique_ptr<TimelineIndex> index(new TimelineIndex);
    TimelineInit(*index);
    return index;
}

int ClassAt(const TimelineLane& lane, int64_t t0, int64_t t1, int pixels, int pixel) {
    std::vector<TimelineCell> cells(static_cast<size_t>(pixels));
    TimelineCells(lane, t0, t1, pixels, cells.data());
    return TimelineCellClass(cells[static_cast<size_t>(pixel)], lane.levels);
}

}  // namespace

TEST(TimelineIndex, LevelsFollowTheOnAirDerivation) {
    // Random ME and output records: after each, every lane's value at that
    // time is what OnAirDerive and OnAirLevelOf give for the same records.
    auto index = NewIndex();
    std::mt19937 random(5);
    MeTally me[ME_RECORDS] = {};
    OutputTally out[OUT_RECORDS] = {};
    std::unique_ptr<OnAirTally> tally(new OnAirTally);
    for (int step = 0; step < 300; ++step) {
        const int64_t t = 1000 + step * 10;
        if (random() % 4) {
            const int m = static_cast<int>(random() % ME_RECORDS);
            std::vector<uint8_t> p(ME_PAYLOAD);
            for (auto& b : p) b = static_cast<uint8_t>(random() % 8 == 0 ? random() : random() % 6);
            std::memcpy(me[m].data, p.data(), ME_PAYLOAD);
            TimelineIngest(*index, Message(t, static_cast<uint8_t>(0x81 + m), p));
        } else {
            const int r = static_cast<int>(random() % OUT_RECORDS);
            std::vector<uint8_t> p(OUT_PAYLOAD);
            for (auto& b : p) b = static_cast<uint8_t>(random() % 6);
            p[3] = static_cast<uint8_t>(random());
            std::memcpy(out[r].data, p.data(), OUT_PAYLOAD);
            TimelineIngest(*index, Message(t, static_cast<uint8_t>(0xB1 + r), p));
        }
        OnAirDerive(me, out, *tally);
        for (int m = 0; m < ME_RECORDS; ++m)
            for (OnAirLevel l : {ONAIR_PREVIEW, ONAIR_LOOKAHEAD, ONAIR_PROGRAM}) {
                const std::vector<int> at = OnAirSourcesAt(*tally, m, l);
                for (int s = 0; s < ONAIR_SOURCE_VALUES; ++s) {
                    const bool in = std::find(at.begin(), at.end(), s) != at.end();
                    const TimelineLane* lane = TimelineLevelLane(*index, m, l, s);
                    ASSERT_EQ(lane ? TimelineValueAt(*lane, t) : 0, in ? 1 : 0)
                        << "step " << step << " ME " << m << " level " << l << " source " << s;
                }
            }
        for (int s = 0; s < ONAIR_SOURCE_VALUES; ++s) {
            for (int m = ONAIR_ALL_ME; m < ME_RECORDS; ++m) {
                const TimelineLane* lane = TimelineMeLane(*index, m, s);
                ASSERT_EQ(lane ? TimelineValueAt(*lane, t) : 0, OnAirLevelOf(*tally, m, s))
                    << "step " << step << " ME " << m << " source " << s;
            }
            bool onAir = false;
            for (int k = 0; k < tally->onAirCount; ++k) onAir = onAir || tally->onAir[k].source == s;
            const TimelineLane* lane = TimelineOnAirLane(*index, s);
            ASSERT_EQ(lane ? TimelineValueAt(*lane, t) : 0, onAir ? 1 : 0) << "step " << step << " source " << s;
        }
        for (int k = 0; k < tally->onAirCount; ++k) {
            const TimelineLane* lane = TimelineOutputLane(*index, tally->onAir[k].output);
            ASSERT_TRUE(lane);
            EXPECT_EQ(TimelineValueAt(*lane, t) & 0xFF, tally->onAir[k].source);
        }
    }
}

TEST(TimelineIndex, TwoSourcesShareProgramInAMix) {
    auto index = NewIndex();
    TimelineIngest(*index, Message(500, 0xC1, Name(5, "CAMERA 5", "CAM5")));
    TimelineIngest(*index, Message(1000, 0x81, Me(5, 7, 0x01, 0x02)));  // 5 on PGM, 7 on PVW
    TimelineIngest(*index, Message(1500, 0x81, Me(5, 7, 0x01, 0x02)));  // the same again: nothing changes
    TimelineIngest(*index, Message(2000, 0x81, Me(5, 7, 0x03, 0x00)));  // the mix: both on PGM
    TimelineIngest(*index, Message(3000, 0x81, Me(5, 7, 0x02, 0x01)));  // 7 on PGM, 5 back to PVW
    TimelineIngest(*index, Message(4000, 0xC1, Name(5, "CAM FIVE", "C5")));

    const TimelineLane* five = TimelineMeLane(*index, 0, 5);
    const TimelineLane* seven = TimelineMeLane(*index, 0, 7);
    ASSERT_TRUE(five && seven);
    EXPECT_EQ(five->changes.size(), 2u);  // PGM at 1000, PVW at 3000: the mix left 5 on program
    EXPECT_EQ(TimelineValueAt(*five, 2500), ONAIR_PROGRAM);
    EXPECT_EQ(TimelineValueAt(*seven, 2500), ONAIR_PROGRAM);
    EXPECT_EQ(TimelineValueAt(*seven, 1999), ONAIR_PREVIEW);
    EXPECT_EQ(TimelineValueAt(*five, 3000), ONAIR_PREVIEW);
    // Before the mix 7 was only on preview; in it, on program alone.
    const TimelineLane* sevenPvw = TimelineLevelLane(*index, 0, ONAIR_PREVIEW, 7);
    ASSERT_TRUE(sevenPvw);
    EXPECT_EQ(TimelineValueAt(*sevenPvw, 1999), 1);
    EXPECT_EQ(TimelineValueAt(*sevenPvw, 2000), 0);
    EXPECT_EQ(TimelineMeLane(*index, 1, 5), nullptr);
    EXPECT_EQ(TimelineSourcesLit(*index, 0, 0, 5000), (std::vector<int>{5, 7}));
    EXPECT_EQ(TimelineSourcesLit(*index, 0, 0, 1000), std::vector<int>{});
    const std::vector<AsRunRow> rows = AsRunRows(*index, 0);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].source, 5);
    EXPECT_EQ(rows[0].startMs, 1000);
    EXPECT_EQ(rows[0].endMs, 3000);
    EXPECT_FALSE(rows[0].open);
    EXPECT_EQ(rows[1].source, 7);
    EXPECT_EQ(rows[1].startMs, 2000);
    EXPECT_TRUE(rows[1].open);
    EXPECT_EQ(TimelineShownName(TimelineNameAt(*index, 5, 3999)), "CAMERA 5");
    EXPECT_EQ(TimelineShownName(TimelineNameAt(*index, 5, 4000)), "CAM FIVE");
    EXPECT_EQ(TimelineNameAt(*index, 5, 499), nullptr);
}

TEST(TimelineIndex, GlitchesShorterThanAPixelStillShowInTheirColour) {
    auto index = NewIndex();
    const int64_t hour = 3600000;
    TimelineIngest(*index, Message(0, 0x81, Me(5, 9, 0x01, 0x00)));              // 5 on PGM from 0
    TimelineIngest(*index, Message(900000, 0x81, Me(5, 9, 0x03, 0x00)));         // 9 flashes onto PGM...
    TimelineIngest(*index, Message(900040, 0x81, Me(5, 9, 0x01, 0x00)));         // ...for 40 ms
    TimelineIngest(*index, Message(1800000, 0x81, Me(5, 9, 0x00, 0x00)));        // 5 drops out for 40 ms
    TimelineIngest(*index, Message(1800040, 0x81, Me(5, 9, 0x01, 0x00)));
    TimelineIngest(*index, Message(3600 * 700 - 20, 0x81, Me(5, 9, 0x00, 0x01)));  // 40 ms on PVW across a pixel edge
    TimelineIngest(*index, Message(3600 * 700 + 20, 0x81, Me(5, 9, 0x01, 0x00)));
    TimelineIngest(*index, Message(hour, 0x81, Me(5, 9, 0x01, 0x00)));

    const TimelineLane* five = TimelineMeLane(*index, 0, 5);
    const TimelineLane* nine = TimelineMeLane(*index, 0, 9);
    ASSERT_TRUE(five && nine);
    // 1000 pixels of 3.6 s each.
    std::vector<TimelineCell> cells(1000);
    TimelineCells(*five, 0, hour, 1000, cells.data());
    for (int p = 0; p < 1000; ++p) {
        const int expected = p == 500 ? ONAIR_OFF : p == 699 ? ONAIR_PREVIEW : ONAIR_PROGRAM;
        ASSERT_EQ(TimelineCellClass(cells[p], true), expected) << "pixel " << p;
    }
    EXPECT_EQ(cells[500].changes, 2);
    EXPECT_EQ(cells[500].start, ONAIR_PROGRAM);
    EXPECT_EQ(cells[500].end, ONAIR_PROGRAM);
    TimelineCells(*nine, 0, hour, 1000, cells.data());
    for (int p = 0; p < 1000; ++p) {
        const int expected = p == 250 ? ONAIR_PROGRAM : ONAIR_OFF;
        ASSERT_EQ(TimelineCellClass(cells[p], true), expected) << "pixel " << p;
    }
    // The same data at the narrowest zoom: the 40 ms flash is 400 of 1000 pixels of 0.1 ms.
    EXPECT_EQ(ClassAt(*nine, 899990, 900090, 1000, 99), ONAIR_OFF);
    EXPECT_EQ(ClassAt(*nine, 899990, 900090, 1000, 100), ONAIR_PROGRAM);
    EXPECT_EQ(ClassAt(*nine, 899990, 900090, 1000, 499), ONAIR_PROGRAM);
    EXPECT_EQ(ClassAt(*nine, 899990, 900090, 1000, 500), ONAIR_OFF);

    // Hovering the flash's pixel tells its true start and length.
    const TimelineSpan span = TimelineSpanIn(*index, *nine, 3600 * 250, 3600 * 251);
    EXPECT_EQ(span.value, ONAIR_PROGRAM);
    EXPECT_EQ(span.startMs, 900000);
    EXPECT_EQ(span.endMs, 900040);
    EXPECT_FALSE(span.open);
}

TEST(TimelineIndex, LinkLaneCountsBytesErrorsAndShadesSilence) {
    auto index = NewIndex();
    TimelineIngest(*index, Link(1000, EVENT_CONNECT));
    TimelineIngest(*index, Message(1100, 0x81, Me(1, 2, 0, 0)));        // 25 bytes
    TimelineIngest(*index, Link(1100, EVENT_STRAY, 3));                 // same ms: one point
    TimelineIngest(*index, Link(1500, EVENT_LINE_ERROR));
    TimelineIngest(*index, Link(4100, EVENT_SILENT));                    // silent since 1100
    TimelineIngest(*index, Link(6000, EVENT_RECEIVING));
    TimelineIngest(*index, Link(6000, EVENT_MISMATCH, 2));
    TimelineIngest(*index, Link(7000, EVENT_DISCONNECT));
    EXPECT_EQ(index->bytes.points.size(), 2u);  // 1100 and 6000
    EXPECT_EQ(index->errors.points.size(), 3u);

    std::vector<TimelineLinkCell> cells(8);
    TimelineLinkCells(*index, 0, 8000, 8, cells.data());  // a second a pixel
    EXPECT_EQ(cells[1].bytes, 28u);
    EXPECT_EQ(cells[1].framingErrors, 1u);
    EXPECT_EQ(cells[1].lineErrors, 1u);
    EXPECT_EQ(cells[6].bytes, 2u);
    EXPECT_EQ(cells[6].framingErrors, 1u);
    EXPECT_EQ(cells[3].bytes + cells[3].framingErrors + cells[3].lineErrors, 0u);
    EXPECT_EQ(TimelineCellClass(cells[0].state, true), TIMELINE_LINK_DOWN);
    EXPECT_EQ(TimelineCellClass(cells[1].state, true), TIMELINE_LINK_UP);  // up for only 100 ms of it: still shown
    EXPECT_EQ(TimelineCellClass(cells[2].state, true), TIMELINE_LINK_SILENT);  // silent since the last byte
    EXPECT_EQ(TimelineCellClass(cells[3].state, true), TIMELINE_LINK_SILENT);
    EXPECT_EQ(TimelineCellClass(cells[6].state, true), TIMELINE_LINK_UP);
    EXPECT_EQ(TimelineCellClass(cells[7].state, true), TIMELINE_LINK_DOWN);
}

TEST(TimelineIndex, OldestEventsGoWithTheHistorysAndTheCurrentIntervalKeepsItsStart) {
    std::unique_ptr<HistoryBook> book(new HistoryBook);
    HistoryBookInit(*book);
    book->keepEvents = HISTORY_BLOCK_EVENTS;
    auto index = NewIndex();
    TimelineAddMarker(*index, 10, 1, "early alarm");
    // Source 3 goes on program once at the start and stays; source 4 is on
    // program only early; sources 10 and 11 alternate on program all along.
    HistoryBookIngest(*book, Message(0, 0x82, Me(3, 4, 0x03, 0)));
    HistoryBookIngest(*book, Message(1, 0x82, Me(3, 4, 0x01, 0)));
    HistoryBookIngest(*book, Message(2, 0x81, Me(10, 11, 0x01, 0)));
    int64_t t = 10;
    for (int i = 0; i < 3 * static_cast<int>(HISTORY_BLOCK_EVENTS); ++i, t += 10) {
        HistoryBookIngest(*book, Message(t, 0x81, Me(10, 11, i % 2 ? 0x01 : 0x02, 0)));
        if (i % 1000 == 0) TimelineFollow(*index, *book);
    }
    TimelineFollow(*index, *book);
    ASSERT_GT(book->dropped, 0u);
    const int64_t oldest = HistoryBookEntry(*book, book->firstSeq).event.timeMs;
    EXPECT_EQ(index->firstMs, oldest);
    EXPECT_EQ(index->events, book->endSeq);

    // Source 3: one interval, still with its true start.
    const std::vector<AsRunRow> me2 = AsRunRows(*index, 1);
    ASSERT_EQ(me2.size(), 1u);
    EXPECT_EQ(me2[0].source, 3);
    EXPECT_EQ(me2[0].startMs, 0);
    EXPECT_TRUE(me2[0].open);
    // Source 10: only the changes from the cut on, plus the one in force then.
    const TimelineLane* ten = TimelineMeLane(*index, 0, 10);
    ASSERT_TRUE(ten);
    const size_t held = ten->changes.size() - ten->first;
    EXPECT_EQ(held, HistoryBookSize(*book));  // every held event toggles it
    EXPECT_EQ(ten->changes[ten->first].timeMs, oldest);
    EXPECT_GT(ten->changes[ten->first + 1].timeMs, oldest);
    for (const AsRunRow& row : AsRunRows(*index, 0)) EXPECT_GT(row.endMs, oldest) << row.startMs;
    size_t from, to;
    TimelineMarkersIn(*index, 0, t, &from, &to);
    EXPECT_EQ(from, to);

    uint64_t seq = 0;
    ASSERT_TRUE(TimelineHistorySeqAt(*book, oldest + 55, &seq));
    EXPECT_EQ(HistoryBookEntry(*book, seq).event.timeMs, oldest + 50);
    // Alarm rows come in with their cause's (older) time: the search still
    // finds the received event at a time, never an alarm row.
    HistoryEvent alarm = Message(oldest + 20, 0x81, Me(10, 11, 0x01, 0));
    alarm.kind = EVENT_ALARM;
    for (int i = 0; i < 40; ++i) HistoryBookAddAlarm(*book, alarm, "flicker: test");
    ASSERT_TRUE(TimelineHistorySeqAt(*book, t - 5, &seq));
    EXPECT_EQ(HistoryBookEntry(*book, seq).event.kind, EVENT_MESSAGE);
    EXPECT_EQ(HistoryBookEntry(*book, seq).event.timeMs, t - 10);
    ASSERT_TRUE(TimelineHistorySeqAt(*book, oldest + 55, &seq));
    EXPECT_EQ(HistoryBookEntry(*book, seq).event.timeMs, oldest + 50);
    // A clear keeps only what holds now.
    HistoryBookClear(*book);
    TimelineFollow(*index, *book);
    EXPECT_EQ(index->firstMs, index->lastMs);
    EXPECT_EQ(TimelineValueAt(*TimelineMeLane(*index, 1, 3), index->lastMs), ONAIR_PROGRAM);
}

TEST(AsRun, CsvRowsInStartOrderWithNamesAsTheyWere) {
    auto index = NewIndex();
    TimelineIngest(*index, Message(1765152000000, 0xC1, Name(5, "CAM, \"5\"", "C5")));
    TimelineIngest(*index, Message(1765152000100, 0x82, Me(5, 6, 0x01, 0)));
    TimelineIngest(*index, Message(1765152000200, 0x81, Me(6, 0, 0x01, 0)));
    TimelineIngest(*index, Message(1765152001234, 0x82, Me(5, 6, 0x02, 0)));
    TimelineIngest(*index, Message(1765152002000, 0xC1, Name(5, "LATER", "L")));
    AsRunClock clock;
    clock.mode = AsRunClock::FIXED;
    clock.offsetMinutes = 60;
    EXPECT_EQ(AsRunCsv(*index, clock),
              "me,source,name,start,end,duration_ms\n"
              "2,5,\"CAM, \"\"5\"\"\",2025-12-08T01:00:00.100+01:00,2025-12-08T01:00:01.234+01:00,1134\n"
              "1,6,,2025-12-08T01:00:00.200+01:00,,\n"
              "2,6,,2025-12-08T01:00:01.234+01:00,,\n");
}

TEST(AsRun, DropFrameTimeCodeAcrossMinuteBoundaries) {
    // 29.97 drop frame: frame 1799 is 00:00:59;29, the next is 00:01:00;02;
    // every tenth minute keeps ;00; 59.94 drops four.
    EXPECT_EQ(AsRunTimecode(60027, FPS_2997_DF), "00:00:59;29");
    EXPECT_EQ(AsRunTimecode(60060, FPS_2997_DF), "00:01:00;02");
    EXPECT_EQ(AsRunTimecode(600000 + 1, FPS_2997_DF), "00:10:00;00");
    EXPECT_EQ(AsRunTimecode(60060, FPS_5994_DF), "00:01:00;04");
    EXPECT_EQ(AsRunTimecode(3600000 + 40 * 7, FPS_25), "01:00:00:07");
    EXPECT_EQ(AsRunTimecode(86399999, FPS_30), "23:59:59:29");
    AsRunFps fps;
    EXPECT_TRUE(AsRunParseFps("59.94", fps));
    EXPECT_EQ(fps, FPS_5994_DF);
    EXPECT_FALSE(AsRunParseFps("24", fps));
}
