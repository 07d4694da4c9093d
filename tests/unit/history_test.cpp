// The event history's portable core: events from the event source with their
// exact bytes, change descriptions of every record kind, log lines, and the
// capped book with its filter, find and link events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "history/book.h"
#include "history/describe.h"
#include "history/log_format.h"
#include "history/source.h"
#include "tally/protocol.h"
#include "tally/store.h"
#include "tests/support/tally_test_util.h"

namespace {

struct Rig {
    std::unique_ptr<TallyStore> store{new TallyStore};
    std::unique_ptr<HistoryRing> ring{new HistoryRing};
    std::unique_ptr<EventSource> source{new EventSource};
    std::unique_ptr<HistoryBook> book{new HistoryBook};
    Rig() {
        TallyStoreInit(*store);
        HistoryRingInit(*ring);
        EventSourceInit(*source, store.get(), ring.get());
        HistoryBookInit(*book);
    }
    // Feeds, then moves every event from the ring into the book.
    void Feed(const Bytes& bytes, int64_t timeMs = 1000) {
        EventSourceFeed(*source, bytes.data(), bytes.size(), timeMs);
        Drain();
    }
    void Drain() {
        HistoryEvent events[256];
        size_t n;
        while ((n = HistoryRingPop(*ring, events, 256)) > 0)
            for (size_t i = 0; i < n; ++i) HistoryBookIngest(*book, events[i]);
    }
    size_t Size() const { return HistoryBookSize(*book); }
    const HistoryEvent& Event(size_t i) const { return HistoryBookEntry(*book, book->firstSeq + i).event; }
    std::string Details(size_t i) const { return HistoryBookDetails(*book, book->firstSeq + i); }
    std::string Last() const { return Details(Size() - 1); }
    std::string Kinds() const {
        std::string out;
        for (size_t i = 0; i < Size(); ++i) out += std::string(out.empty() ? "" : " ") + HistoryEventName(Event(i).kind);
        return out;
    }
};

Bytes Payload(int n, uint8_t value) { return Bytes(static_cast<size_t>(n), value); }

// ---- Events and their bytes --------------------------------------------------

TEST(HistorySource, EveryFramingStepIsOneEventWithTheBytesItConsumed) {
    Rig rig;
    const Bytes stream = HexBytes("01 02 03") + Message(0x81, LowPayload(23)) + HexBytes("81 92") +
                         Message(0x92, LowPayload(21)) + HexBytes("81 05 e5 e5 d1 d1 d2 d2") +
                         HexBytes("a1 a1 01") + Message(0x91, LowPayload(21)) + Message(0x85, LowPayload(23)) +
                         HexBytes("b1 b1 01 02");  // incomplete at the end
    rig.Feed(stream);
    EXPECT_EQ(rig.Kinds(),
              "stray message mismatch payload message lowbyte unknown reset ignored payload message ignored")
        << "81 92 92 92: one mismatch, then a header whose first payload byte is high";
    std::string joined;
    for (size_t i = 0; i < rig.Size(); ++i) joined += Hex(rig.Event(i).bytes, rig.Event(i).length);
    EXPECT_EQ(joined, Hex(stream.data(), stream.size() - 4)) << "the events give back the stream but its open tail";
    EXPECT_EQ(EventSourcePending(*rig.source), 4);
    EXPECT_EQ(rig.Event(1).type, 0x81);
    EXPECT_EQ(rig.Event(3).length, 1) << "of 92 92 92 only the first goes";
    EXPECT_EQ(rig.Event(9).type, 0xA1);
    EXPECT_EQ(rig.Event(9).length, 3) << "a payload error gives up only what precedes the two high bytes";

    // The stream ends (the port closes): the held tail is an event of its own,
    // counted nowhere, and the source starts afresh.
    const auto before = Snapshot(*rig.store);
    EventSourceFinish(*rig.source, 2000);
    rig.Drain();
    const HistoryEvent& tail = rig.Event(rig.Size() - 1);
    EXPECT_STREQ(HistoryEventName(tail.kind), "incomplete");
    EXPECT_EQ(Hex(tail.bytes, tail.length), Hex(stream.data() + stream.size() - 4, 4));
    EXPECT_EQ(tail.type, 0xB1);
    EXPECT_EQ(rig.Last(), "incomplete message: 4 bytes, never completed");
    EXPECT_EQ(EventSourcePending(*rig.source), 0);
    EXPECT_EQ(SnapshotDiff(before, Snapshot(*rig.store)), "");
}

TEST(HistorySource, RunsBecomeOneEventUpToTheEventSizeAndLargeFeedsLoseNothing) {
    Rig rig;
    Bytes stream = Payload(100, 0x07) + HexBytes("81 82 83 84 85") + Message(0xA1, LowPayload(3));
    for (int i = 0; i < 3000; ++i) stream = stream + Message(0xB2, LowPayload(10, static_cast<uint8_t>(i)));
    rig.Feed(stream);
    ASSERT_GE(rig.Size(), 6u);
    EXPECT_EQ(rig.Kinds().substr(0, 39), "stray stray stray mismatch message mess");
    EXPECT_EQ(rig.Event(0).length, HISTORY_EVENT_BYTES);
    EXPECT_EQ(rig.Event(0).length + rig.Event(1).length + rig.Event(2).length, 100);
    EXPECT_EQ(rig.Event(3).length, 5) << "five headers each followed by a different one, the last by 0xa1";
    size_t bytes = 0;
    for (size_t i = 0; i < rig.Size(); ++i) bytes += rig.Event(i).length;
    EXPECT_EQ(bytes, stream.size()) << "a 36 kB feed is framed in parts: nothing dropped";
    EXPECT_EQ(rig.Details(0), "48 stray bytes");
    EXPECT_EQ(rig.Details(3), "5 header bytes each followed by a different one");
}

TEST(HistoryRing, AFullRingCountsItsLossAndTheBookSaysSo) {
    Rig rig;
    HistoryEvent e = {};
    e.kind = EVENT_STRAY;
    for (uint32_t i = 0; i < HISTORY_RING_CAPACITY; ++i) ASSERT_TRUE(HistoryRingPush(*rig.ring, e));
    EXPECT_FALSE(HistoryRingPush(*rig.ring, e));
    EXPECT_FALSE(HistoryRingPush(*rig.ring, e));
    EXPECT_EQ(rig.ring->lost.load(), 2u);
    rig.Drain();
    EXPECT_EQ(HistoryBookNoteLost(*rig.book, rig.ring->lost.load(), 5000), 1);
    EXPECT_EQ(rig.Last(), "2 events lost: the window fell behind");
    EXPECT_EQ(HistoryBookNoteLost(*rig.book, rig.ring->lost.load(), 5000), 0) << "reported once";
}

// ---- Change descriptions -----------------------------------------------------------

TEST(HistoryDescribe, MeSourcesKeyerAndContributionInTheDisplaysWords) {
    Rig rig;
    rig.Feed(Message(0xC1, NamePayload(8, "CAMERA 8    ", "CAM8  ")) +
             Message(0xC1, NamePayload(3, "CAMERA 3\0\0\0\0", "CAM3\0\0")));
    Bytes a = Payload(23, 0);
    a[16] = 8;     // A BUS
    a[3] = 0x01;   // PGM A: BusA
    rig.Feed(Message(0x81, a));
    EXPECT_EQ(rig.Last(), "first ME 1 message");
    Bytes b = a;
    b[16] = 3;
    b[3] = 0x02;   // BusA 1 -> 0, BusB 0 -> 1
    b[1] = 0x80;   // Key4 CUT in use
    b[22] = 200;   // UTIL 2, no name known
    rig.Feed(Message(0x81, b));
    EXPECT_EQ(rig.Last(),
              "A BUS 8 -> 3 (CAMERA 8 -> CAMERA 3); UTIL 2 0 -> 200; KEYER IN USE: Key4 CUT 0 -> 1; "
              "PGM A: BusA 1 -> 0, BusB 0 -> 1");
    rig.Feed(Message(0x81, b));
    EXPECT_EQ(rig.Last(), "no change");
    EXPECT_EQ(rig.book->blocks.back()->entries.back().flags, HISTORY_NO_CHANGE);
    rig.Feed(Message(0x82, b));
    EXPECT_EQ(rig.Last(), "first ME 2 message") << "each type has its own previous record";
}

TEST(HistoryDescribe, ExtSourcesContributionInputModeAndBitsNoDisplayShows) {
    Rig rig;
    Bytes a = Payload(21, 0);
    rig.Feed(Message(0x93, a));
    Bytes b = a;
    b[3] = 9;      // Output 2 source
    b[20] = 44;    // Input 4B
    b[10] = 0x41;  // Output 6: In1A, In4A
    b[12] = 0x11;  // input mode 1B, and bit 4 which no display shows
    rig.Feed(Message(0x93, b));
    EXPECT_EQ(rig.Last(),
              "Output 2 source 0 -> 9; Input 4B 0 -> 44; Output 6: In1A 0 -> 1, In4A 0 -> 1; "
              "INPUT MODE: 1B 0 -> 1; data byte 12 0x00 -> 0x11 (bits not shown)");
}

TEST(HistoryDescribe, StillStoreInputsAndMode) {
    Rig rig;
    rig.Feed(Message(0xA1, HexBytes("12 25 5a")));
    rig.Feed(Message(0xA1, HexBytes("14 25 1b")));
    EXPECT_EQ(rig.Last(), "Input 1 18 -> 20; MODE: Input1 Rec 0 -> 1, Output 7/8 1 -> 0");
}

TEST(HistoryDescribe, OutputsByNumberWithSourceModeAndOnAir) {
    Rig rig;
    rig.Feed(Message(0xC2, NamePayload(12, "VT 1\0\0\0\0\0\0\0\0", "VT1\0\0\0")));
    Bytes a = Payload(10, 0);
    a[0] = 66;  // position 1 = Output 9 of OUT 2
    rig.Feed(Message(0xB2, a));
    Bytes b = a;
    b[0] = 12;
    b[3] = 0x81;  // on air: positions 1 and 8
    b[1] = 0x08;  // mode of position 8: K
    rig.Feed(Message(0xB2, b));
    EXPECT_EQ(rig.Last(), "Output 9: source 66 -> 12 (66 -> VT 1), on air 0 -> 1; Output 16: mode V -> K, on air 0 -> 1");
}

TEST(HistoryDescribe, NamesAndAliasesFieldByField) {
    Rig rig;
    rig.Feed(Message(0xC1, NamePayload(12, "CAMERA 12\0\0\0", "CAM12\0")));
    EXPECT_EQ(rig.Last(), "source 12 name \"\" -> \"CAMERA 12\", nickname \"\" -> \"CAM12\"");
    rig.Feed(Message(0xC1, NamePayload(12, "VT 1\0\0\0\0\0\0\0\0", "CAM12\0")));
    EXPECT_EQ(rig.Last(), "source 12 name \"CAMERA 12\" -> \"VT 1\"");
    rig.Feed(Message(0xC2, NamePayload(12, "REPLAY\0\0\0\0\0\0", "RP\0\0\0\0")));
    EXPECT_EQ(rig.Last(), "source 12 nickname \"CAM12\" -> \"RP\", alias \"\" -> \"REPLAY\"");
    EXPECT_EQ(HistorySourceName(rig.book->shadow, 12), "REPLAY") << "an alias names the source";
    rig.Feed(Message(0xC2, NamePayload(12, "REPLAY\0\0\0\0\0\0", "RP\0\0\0\0")));
    EXPECT_EQ(rig.Last(), "no change");
    rig.Feed(Message(0xC1, NamePayload(12, "T\xe9l\t\0\0\0\0\0\0\0\0", "RP\0\0\0\0")));
    EXPECT_EQ(rig.Last(), "source 12 name \"VT 1\" -> \"T\\xe9l\\x09\", alias \"REPLAY\" -> \"\"");
    rig.Feed(Message(0xC1, NamePayload(0, "NOBODY\0\0\0\0\0\0", "\0\0\0\0\0\0")));
    EXPECT_EQ(rig.Last(), "name for source 0, outside 1..128: ignored");
}

TEST(HistoryDescribe, ShortDescriptionsOfEveryOtherKind) {
    Rig rig;
    rig.Feed(HexBytes("d1 d1 d2 d2 e5 e5 81 05") + Message(0x85, LowPayload(23)) + HexBytes("91 91 01 a0 a0"));
    EXPECT_EQ(rig.Details(0), "counters reset");
    EXPECT_EQ(rig.Details(1), "control type 0xd2: no effect");
    EXPECT_EQ(rig.Details(2), "unknown type 0xe5");
    EXPECT_EQ(rig.Details(3), "header 0x81 followed by low byte 0x05");
    EXPECT_EQ(rig.Details(4), "type 0x85 has no record: ignored");
    EXPECT_EQ(rig.Details(5), "EXT 1 payload broken by two high bytes");
    HistoryEvent e = {};
    e.kind = EVENT_LINE_ERROR;
    e.code = LINE_BIT_FRAME | LINE_BIT_OVERRUN;
    std::string text;
    HistoryDescribe(rig.book->shadow, e, text);
    EXPECT_EQ(text, "framing, overrun (0x000a)");
    e.kind = EVENT_PORT_ERROR;
    e.code = 0x3e3;
    HistoryDescribe(rig.book->shadow, e, text);
    EXPECT_EQ(text, "<CE-0x000003e3>");
}

// ---- Log lines ---------------------------------------------------------------------

TEST(HistoryLog, OneTabSeparatedLinePerEventUnderTheHeader) {
    EXPECT_STREQ(HISTORY_LOG_HEADER, "time\tevent\ttype\tbytes\tdetails\n");
    Rig rig;
    std::string lines;
    rig.book->logLines = &lines;
    rig.Feed(Message(0xA1, HexBytes("12 25 5a")) + HexBytes("00"), 1765202602117);  // some day, .117 s
    ASSERT_EQ(rig.Size(), 2u);
    const size_t tab = lines.find('\t');
    ASSERT_EQ(tab, 23u) << lines;
    EXPECT_EQ(lines.substr(10, 1), "T");
    EXPECT_EQ(lines.substr(19, 4), ".117");
    EXPECT_EQ(lines.substr(tab), "\tmessage\t0xa1\ta1a112255a\tfirst SS message\n" + lines.substr(0, tab) +
                                     "\tstray\t\t00\t1 stray byte\n");
    std::string csv;
    HistoryEvent e = rig.Event(0);
    HistoryAppendCsvLine(e, "a, \"b\"", csv);
    EXPECT_EQ(csv.substr(23), ",message,0xa1,a1a112255a,\"a, \"\"b\"\"\"\r\n");
    // Text from a replayed recording: ESC and NUL never reach a terminal
    // showing the log, a line end never forges a line, escapes stay as made.
    const std::string hostile = "COM1\x1b[31m\nforged\t\x7f\\x41";
    std::string log, csv2;
    HistoryAppendLogLine(e, hostile + std::string(1, '\0'), log);
    EXPECT_EQ(log.substr(23), "\tmessage\t0xa1\ta1a112255a\tCOM1\\x1b[31m forged \\x7f\\x41\\x00\n");
    HistoryAppendCsvLine(e, hostile, csv2);
    EXPECT_EQ(csv2.substr(23), ",message,0xa1,a1a112255a,\"COM1\\x1b[31m\nforged\t\\x7f\\x41\"\r\n");
    HistoryEvent link = {};
    link.kind = EVENT_CONNECT;
    std::string hex = "x";
    HistoryHex(link, false, hex);
    EXPECT_EQ(hex, "") << "link events carry no bytes";
}

// ---- The book --------------------------------------------------------------------------

TEST(HistoryBook, KeepsTheNewestEventsAndCountsTheOldestDroppedByBlock) {
    Rig rig;
    rig.book->keepEvents = 2 * HISTORY_BLOCK_EVENTS;
    Bytes one = HexBytes("00 81 05");  // a stray event, a lowbyte event
    for (size_t i = 0; i < 2 * HISTORY_BLOCK_EVENTS; ++i) rig.Feed(one);
    // 4 blocks' worth arrived; a block goes only when the limit remains without it.
    EXPECT_EQ(rig.Size(), 2 * HISTORY_BLOCK_EVENTS);
    EXPECT_EQ(rig.book->dropped, 2 * HISTORY_BLOCK_EVENTS);
    EXPECT_EQ(rig.book->firstSeq, 2 * HISTORY_BLOCK_EVENTS);
    EXPECT_EQ(rig.Event(0).kind, EVENT_STRAY) << "the oldest held is the oldest not dropped";
    EXPECT_EQ(rig.book->viewRowsDropped, 2 * HISTORY_BLOCK_EVENTS) << "the list's rows moved up as much";
    rig.Feed(one);
    EXPECT_EQ(rig.Size(), 2 * HISTORY_BLOCK_EVENTS + 2) << "the limit is a floor: nothing more goes yet";
    EXPECT_LT(rig.book->memoryBytes, 5 * HISTORY_BLOCK_EVENTS * (sizeof(HistoryEntry) + 40));
    HistoryBookClear(*rig.book);
    EXPECT_EQ(rig.Size(), 0u);
    EXPECT_EQ(HistoryViewSize(*rig.book), 0u);
}

TEST(HistoryBook, FilterByCategoryAndChangesOnlyFollowsNewEventsAndFindWraps) {
    Rig rig;
    rig.Feed(Message(0xA1, HexBytes("01 02 03")) + Message(0xA1, HexBytes("01 02 03")) + HexBytes("00") +
             Message(0xB1, LowPayload(10)) + Message(0xA1, HexBytes("05 02 03")));
    HistoryFilter f;
    HistoryFilterAll(f);
    f.category[HISTORY_OUT] = false;
    f.category[HISTORY_ERRORS] = false;
    f.changesOnly = true;
    HistoryBookSetFilter(*rig.book, f);
    ASSERT_EQ(HistoryViewSize(*rig.book), 2u);
    EXPECT_EQ(HistoryBookDetails(*rig.book, HistoryViewSeq(*rig.book, 1)), "Input 1 1 -> 5");
    rig.Feed(Message(0xA1, HexBytes("05 02 03")) + Message(0xA1, HexBytes("06 02 03")) + HexBytes("00"));
    ASSERT_EQ(HistoryViewSize(*rig.book), 3u) << "new events pass the same filter";
    EXPECT_EQ(HistoryFind(*rig.book, 0, "input 1 5 -> 6"), 2);
    EXPECT_EQ(HistoryFind(*rig.book, 0, "A1 A1 06"), 2) << "bytes as shown, any case";
    EXPECT_EQ(HistoryFind(*rig.book, 2, "first ss"), 0) << "wraps round";
    EXPECT_EQ(HistoryFind(*rig.book, 0, "stray"), -1) << "hidden rows are not found";
    std::string saved;
    HistoryBookWrite(*rig.book, true, false, saved);
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 4);
    saved.clear();
    HistoryBookWrite(*rig.book, false, false, saved);
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 9);
    rig.book->keepEvents = 4;  // the second block's start drops the first, with the three rows shown
    for (size_t i = 0; i < HISTORY_BLOCK_EVENTS; ++i) rig.Feed(HexBytes("00"));
    EXPECT_EQ(HistoryViewSize(*rig.book), 0u);
    EXPECT_EQ(rig.book->viewRowsDropped, 3u);
    rig.Feed(Message(0xA1, HexBytes("07 02 03")));
    ASSERT_EQ(HistoryViewSize(*rig.book), 1u);
    EXPECT_EQ(HistoryBookDetails(*rig.book, HistoryViewSeq(*rig.book, 0)), "Input 1 6 -> 7");
    rig.book->keepEvents = HISTORY_KEEP_EVENTS;
}

TEST(HistoryBook, SaveAndRowsCarryLongDetailsWholeAsTheLogDoes) {
    Rig rig;
    std::string log;
    rig.book->logLines = &log;
    Bytes a = Payload(23, 0);
    rig.Feed(Message(0x81, a));
    // Nearly every field changes: the description runs past 200 characters,
    // with the LAP and PVW parts last.
    Bytes b = Payload(23, 0x3F);
    for (int i = 16; i < 23; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(100 + i);
    rig.Feed(Message(0x81, b));
    const std::string details = rig.Last();
    ASSERT_GT(details.size(), 200u) << details;
    EXPECT_EQ(details.find("..."), std::string::npos) << details;
    HistoryRowText row;
    HistoryRowFormat(*rig.book, rig.book->endSeq - 1, row);
    EXPECT_EQ(row.details, details) << "the row, and so Copy, is whole";
    std::string saved;
    HistoryBookWrite(*rig.book, false, false, saved);
    EXPECT_EQ(saved, HISTORY_LOG_HEADER + log) << "Save History As writes what the log wrote";
    saved.clear();
    HistoryBookWrite(*rig.book, false, true, saved);
    EXPECT_NE(saved.find(details), std::string::npos) << "the CSV too";
    // The log's own lines: no type, no bytes, details kept on one line.
    std::string mark;
    HistoryAppendLogMark(1765202602117, HISTORY_LOG_STOP, "write\terror", mark);
    EXPECT_EQ(mark.substr(23), "\tlog-stop\t\t\twrite error\n");
}

TEST(HistoryBook, SilenceAfterTwoSecondsThenReceivingBeforeTheNextBytes) {
    Rig rig;
    HistoryEvent connect = {};
    connect.kind = EVENT_CONNECT;
    std::strcpy(reinterpret_cast<char*>(connect.bytes), "COM1 115200 8N1");
    HistoryBookIngest(*rig.book, connect);
    EXPECT_EQ(HistoryBookCheckSilence(*rig.book, true, 99000), 0) << "no byte yet: not silent";
    rig.Feed(HexBytes("00"), 100000);
    EXPECT_EQ(HistoryBookCheckSilence(*rig.book, true, 102000), 0);
    EXPECT_EQ(HistoryBookCheckSilence(*rig.book, true, 102001), 1);
    EXPECT_EQ(HistoryBookCheckSilence(*rig.book, true, 103000), 0) << "once per silence";
    rig.Feed(HexBytes("00"), 105300);
    EXPECT_EQ(rig.Kinds(), "connect stray silent receiving stray");
    EXPECT_EQ(rig.Details(0), "COM1 115200 8N1");
    EXPECT_EQ(rig.Details(3), "bytes again after 5.3 s");
    EXPECT_EQ(HistoryCategoryOf(rig.Event(2)), HISTORY_LINK);
}

TEST(HistoryBook, AnAlarmIsARowOfItsOwnCategoryAndALogLineWithItsRuleAndText) {
    Rig rig;
    std::string log;
    rig.book->logLines = &log;
    rig.Feed(HexBytes("00"), 100000);
    HistoryEvent alarm = {};
    alarm.kind = EVENT_ALARM;
    alarm.timeMs = 100000;
    alarm.code = 3;
    EXPECT_EQ(HistoryBookAddAlarm(*rig.book, alarm, "errors: 5 framing or line errors within 1.0 s"), 1);
    EXPECT_EQ(rig.Kinds(), "stray alarm");
    EXPECT_EQ(HistoryCategoryOf(rig.Event(1)), HISTORY_ALARMS);
    // The log's line: event "alarm", no type or bytes, the details as given.
    EXPECT_NE(log.find("\talarm\t\t\terrors: 5 framing or line errors within 1.0 s\n"), std::string::npos) << log;
    // The status bar's click: only the alarms.
    HistoryFilter only;
    HistoryFilterAll(only);
    for (bool& c : only.category) c = false;
    only.category[HISTORY_ALARMS] = true;
    HistoryBookSetFilter(*rig.book, only);
    ASSERT_EQ(HistoryViewSize(*rig.book), 1u);
    EXPECT_EQ(HistoryBookEntry(*rig.book, HistoryViewSeq(*rig.book, 0)).event.kind, EVENT_ALARM);
}

}  // namespace
