// Recordings: the records of a faulty stream put end to end give the stream
// back and decode to the same store; the kinds agree with the counters; a
// truncated tail is read up to its last whole record; foreign files, damaged
// records and newer versions are refused with a message.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "history/event.h"
#include "history/source.h"
#include "recording/history_records.h"
#include "recording/recorder.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "tally/parser.h"
#include "tally/protocol.h"
#include "tally/store.h"
#include "tests/support/tally_test_util.h"

namespace {

struct Rec {
    uint64_t timeUs;
    uint8_t kind, flags, type;
    Bytes bytes;
};

void CollectSink(void* context, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type, const uint8_t* bytes,
                 size_t length) {
    static_cast<std::vector<Rec>*>(context)->push_back({timeUs, kind, flags, type, Bytes(bytes, bytes + length)});
}

// Messages of every category (some of undefined or ignored types), stray
// runs, lone and low high bytes, cut messages and tripled headers.
Bytes FaultyStream(uint32_t seed, size_t messages) {
    std::mt19937 rng(seed);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    static const uint8_t types[] = {0x81, 0x84, 0x85, 0x91, 0x98, 0xA1, 0xB1, 0xB6, 0xC1, 0xC2, 0xD1, 0xD2, 0xE5};
    Bytes out;
    for (size_t m = 0; m < messages; ++m) {
        const uint8_t t = types[below(sizeof types)];
        switch (below(12)) {
        case 0: for (uint32_t n = 1 + below(5); n; --n) out.push_back(static_cast<uint8_t>(below(0x81))); break;
        case 1: out.push_back(static_cast<uint8_t>(0x81 + below(0x7F))); break;            // lone high byte
        case 2: out.push_back(t); out.push_back(static_cast<uint8_t>(below(0x80))); break;  // low second byte
        case 3: out.push_back(t); break;                                                    // tripled header
        default: break;
        }
        out.push_back(t);
        out.push_back(t);
        int length = payloadLength(t);
        if (length > 0 && below(10) == 0) length = static_cast<int>(below(static_cast<uint32_t>(length)));  // cut short
        bool previousHigh = true;
        for (int i = 0; i < length; ++i) {
            uint8_t b = static_cast<uint8_t>(previousHigh ? below(0x81) : below(0x100));
            if (i == 0 && (t == MSG_SOURCE_NAME || t == MSG_SOURCE_ALIAS)) b = static_cast<uint8_t>(below(131));
            previousHigh = IsHighByte(b);
            out.push_back(b);
        }
    }
    return out;
}

std::string TempPath(const char* name) { return std::string("recording_test_") + name + ".pcap"; }

Bytes ReadFile(const std::string& path) {
    Bytes out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF) out.push_back(static_cast<uint8_t>(c));
        std::fclose(f);
    }
    return out;
}
void WriteFile(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// Reads a whole file: the records, the result that ended the reading and the
// reader's message.
struct ReadBack {
    bool begun = false;
    std::vector<Rec> records;
    RecordingReadResult end = RECORDING_END;
    std::string error;
};
ReadBack ReadRecording(const std::string& path) {
    ReadBack back;
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return back;
    back.begun = RecordingBegin(*reader, f);
    RecordingRecord r;
    if (back.begun)
        while ((back.end = RecordingNext(*reader, r)) == RECORDING_RECORD)
            back.records.push_back({r.timeUs, r.kind, r.flags, r.type, Bytes(r.bytes, r.bytes + r.length)});
    back.error = reader->error;
    std::fclose(f);
    return back;
}

// Records a stream fed in random reads into a file; returns the records written.
std::vector<Rec> RecordStream(const Bytes& stream, uint32_t seed, const std::string& path, TallyStore& store) {
    std::vector<Rec> records;
    std::unique_ptr<Recorder> recorder(new Recorder);
    std::unique_ptr<FrameParser> parser(new FrameParser);
    RecorderInit(*recorder, CollectSink, &records);
    TallyStoreInit(store);
    FrameParserInit(*parser, &store, RecorderOnFrameEvent, recorder.get());
    std::mt19937 rng(seed);
    uint64_t now = 1700000000ull * 1000000;
    for (size_t at = 0; at < stream.size();) {
        size_t n = 1 + rng() % (rng() % 4 == 0 ? READ_BUFFER_SIZE : 40);
        if (n > stream.size() - at) n = stream.size() - at;
        now += 1 + rng() % 5000;
        RecorderFeed(*recorder, *parser, now, stream.data() + at, n);
        at += n;
    }
    RecorderFinish(*recorder, *parser, now + 1);
    RecordingWriter writer;
    std::string error;
    EXPECT_TRUE(RecordingCreate(writer, path.c_str(), error)) << error;
    for (const Rec& r : records) RecordingWrite(writer, r.timeUs, r.kind, r.flags, r.type, r.bytes.data(), r.bytes.size());
    EXPECT_TRUE(RecordingClose(writer));
    return records;
}

TEST(Recording, RecordsPutEndToEndAreTheStreamAndDecodeToTheSameStore) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Bytes stream = FaultyStream(seed, 3000);
        std::unique_ptr<TallyStore> live(new TallyStore);
        const std::string path = TempPath("roundtrip");
        const std::vector<Rec> written = RecordStream(stream, seed, path, *live);
        const ReadBack back = ReadRecording(path);
        std::remove(path.c_str());
        ASSERT_TRUE(back.begun) << back.error;
        ASSERT_EQ(back.end, RECORDING_END) << back.error;
        ASSERT_EQ(back.records.size(), written.size());

        Bytes joined;
        uint64_t previousUs = 0;
        uint64_t strayBytes = 0, kinds[64] = {}, sinceReset[64] = {};
        std::unique_ptr<TallyStore> replayed(new TallyStore);
        std::unique_ptr<FrameParser> parser(new FrameParser);
        TallyStoreInit(*replayed);
        FrameParserInit(*parser, replayed.get());
        for (size_t i = 0; i < back.records.size(); ++i) {
            const Rec& r = back.records[i];
            EXPECT_EQ(r.timeUs, written[i].timeUs);
            EXPECT_EQ(r.kind, written[i].kind);
            EXPECT_GE(r.timeUs, previousUs);
            previousUs = r.timeUs;
            ASSERT_TRUE(RecordCarriesStream(r.kind));
            ASSERT_FALSE(r.bytes.empty());
            joined.insert(joined.end(), r.bytes.begin(), r.bytes.end());
            if (r.kind != RECORD_DROPPED) FrameParserFeed(*parser, r.bytes.data(), r.bytes.size());
            ++kinds[r.kind];
            ++sinceReset[r.kind];
            if (r.kind == RECORD_RESET) {
                for (uint64_t& n : sinceReset) n = 0;
                strayBytes = 0;
            }
            if (r.kind == RECORD_STRAY) {
                strayBytes += r.bytes.size();
                for (uint8_t b : r.bytes) EXPECT_FALSE(IsHighByte(b));
            }
            if (r.kind == RECORD_MESSAGE || r.kind == RECORD_IGNORED) {
                EXPECT_EQ(r.bytes.size(), size_t(2 + payloadLength(r.type)));
                EXPECT_EQ(r.bytes[0], r.type);
            }
            if (r.kind == RECORD_MISMATCH) {
                EXPECT_EQ(r.bytes.size(), 1u);
            }
            if (r.kind == RECORD_PENDING) {
                EXPECT_EQ(i + 1, back.records.size());
            }
        }
        EXPECT_TRUE(joined == stream) << "joined " << joined.size() << " bytes of " << stream.size();
        EXPECT_EQ(SnapshotDiff(Snapshot(*live), Snapshot(*replayed)), "");

        // The kinds since the last reset agree with what the counters say.
        TallyCounterValues c;
        TallyReadCounters(*live, c);
        EXPECT_EQ(strayBytes, c.strayByteCount);
        EXPECT_EQ(sinceReset[RECORD_UNKNOWN], c.unknownTypeCount);
        EXPECT_EQ(sinceReset[RECORD_MISMATCH], c.headerMismatchCount);
        EXPECT_EQ(sinceReset[RECORD_LOWBYTE], c.headerLowByteCount);
        EXPECT_EQ(sinceReset[RECORD_PAYLOAD], c.payloadErrorCount);
        EXPECT_GT(kinds[RECORD_RESET], 0u);
        EXPECT_GT(kinds[RECORD_MESSAGE], 100u);
        EXPECT_GT(kinds[RECORD_PAYLOAD], 0u);
        EXPECT_GT(kinds[RECORD_MISMATCH], 0u);
    }
}

TEST(Recording, StrayRunIsOneRecordPerReadAndSplitMessagesAreFlagged) {
    std::vector<Rec> records;
    std::unique_ptr<Recorder> recorder(new Recorder);
    std::unique_ptr<TallyStore> store(new TallyStore);
    std::unique_ptr<FrameParser> parser(new FrameParser);
    RecorderInit(*recorder, CollectSink, &records);
    TallyStoreInit(*store);
    FrameParserInit(*parser, store.get(), RecorderOnFrameEvent, recorder.get());
    const Bytes ss = Message(0xA1, HexBytes("12 25 5a"));
    const Bytes first = HexBytes("01 02 03") + Bytes(ss.begin(), ss.begin() + 3);
    const Bytes second = Bytes(ss.begin() + 3, ss.end()) + HexBytes("04 05 81 92");
    RecorderFeed(*recorder, *parser, 1000, first.data(), first.size());
    RecorderFeed(*recorder, *parser, 2000, second.data(), second.size());
    RecorderFinish(*recorder, *parser, 3000);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].kind, RECORD_STRAY);
    EXPECT_EQ(records[0].bytes, HexBytes("01 02 03"));
    EXPECT_EQ(records[0].timeUs, 1000u);
    EXPECT_EQ(records[1].kind, RECORD_MESSAGE);
    EXPECT_EQ(records[1].type, 0xA1);
    EXPECT_EQ(records[1].flags, RECORD_FLAG_SPLIT);
    EXPECT_EQ(records[1].timeUs, 2000u);  // the read that completed it
    EXPECT_EQ(records[2].bytes, HexBytes("04 05"));
    EXPECT_EQ(records[2].flags, 0);
    EXPECT_EQ(records[3].kind, RECORD_MISMATCH);
    EXPECT_EQ(records[3].bytes, HexBytes("81"));
    EXPECT_EQ(records[4].kind, RECORD_PENDING);  // 0x92 waits for its twin
    EXPECT_EQ(records[4].bytes, HexBytes("92"));
}

TEST(Recording, TruncatedTailIsReadUpToTheLastWholeRecord) {
    const std::string path = TempPath("truncated");
    std::unique_ptr<TallyStore> store(new TallyStore);
    const std::vector<Rec> written = RecordStream(FaultyStream(9, 40), 9, path, *store);
    const Bytes file = ReadFile(path);
    ASSERT_GT(written.size(), 3u);
    const size_t lastSize = PCAP_RECORD_HEADER_SIZE + RECORD_HEADER_SIZE + written.back().bytes.size();
    for (size_t cut = 1; cut < lastSize; ++cut) {
        WriteFile(path, Bytes(file.begin(), file.end() - static_cast<long>(cut)));
        const ReadBack back = ReadRecording(path);
        ASSERT_TRUE(back.begun);
        EXPECT_EQ(back.end, RECORDING_TRUNCATED) << "cut " << cut;
        EXPECT_EQ(back.records.size(), written.size() - 1) << "cut " << cut;
        EXPECT_NE(back.error.find("truncated"), std::string::npos) << back.error;
    }
    RecordingSummary summary;
    std::string error;
    EXPECT_TRUE(RecordingCheck(path.c_str(), summary, error)) << error;
    EXPECT_TRUE(summary.truncated);
    EXPECT_EQ(summary.records, written.size() - 1);
    // A file cut inside its own header is refused.
    WriteFile(path, Bytes(file.begin(), file.begin() + 10));
    EXPECT_FALSE(RecordingCheck(path.c_str(), summary, error));
    EXPECT_NE(error.find("truncated recording"), std::string::npos) << error;
    std::remove(path.c_str());
}

TEST(Recording, ForeignDamagedAndNewerFilesAreRefused) {
    const std::string path = TempPath("foreign");
    RecordingSummary summary;
    std::string error;
    // Raw tally bytes.
    WriteFile(path, Message(0xA1, HexBytes("12 25 5a")) + LowPayload(40));
    EXPECT_FALSE(RecordingCheck(path.c_str(), summary, error));
    EXPECT_EQ(error, "not a recording (no pcap file header)");
    // An Ethernet pcap.
    RecordingWriter writer;
    ASSERT_TRUE(RecordingCreate(writer, path.c_str(), error));
    RecordingWrite(writer, 5, RECORD_MESSAGE, 0, 0xA1, Message(0xA1, HexBytes("12 25 5a")).data(), 5);
    RecordingWrite(writer, 6, RECORD_STRAY, 0, 0, HexBytes("01").data(), 1);
    ASSERT_TRUE(RecordingClose(writer));
    const Bytes good = ReadFile(path);
    Bytes ethernet = good;
    ethernet[20] = 1;
    WriteFile(path, ethernet);
    EXPECT_FALSE(RecordingCheck(path.c_str(), summary, error));
    EXPECT_EQ(error, "pcap file of link type 1, not a tally recording (link type 147)");
    // A newer format version in the second record.
    const size_t second = PCAP_FILE_HEADER_SIZE + PCAP_RECORD_HEADER_SIZE + RECORD_HEADER_SIZE + 5;
    Bytes newer = good;
    newer[second + PCAP_RECORD_HEADER_SIZE] = 2;
    WriteFile(path, newer);
    EXPECT_FALSE(RecordingCheck(path.c_str(), summary, error));
    EXPECT_EQ(error, "recording format version 2 is newer than this program reads (version 1)");
    // A record length no writer gives.
    Bytes damaged = good;
    damaged[second + 8] = 0xFF;
    damaged[second + 10] = 0x7F;
    WriteFile(path, damaged);
    EXPECT_FALSE(RecordingCheck(path.c_str(), summary, error));
    EXPECT_NE(error.find("damaged recording: record 2"), std::string::npos) << error;
    // The good one, read on a machine of the other byte order's writer: same records.
    Bytes swapped = good;
    auto swap4 = [&](size_t at) { std::swap(swapped[at], swapped[at + 3]); std::swap(swapped[at + 1], swapped[at + 2]); };
    std::swap(swapped[4], swapped[5]);
    std::swap(swapped[6], swapped[7]);
    for (size_t at : {size_t(0), size_t(8), size_t(12), size_t(16), size_t(20)}) swap4(at);
    for (size_t rec = PCAP_FILE_HEADER_SIZE; rec < swapped.size();) {
        const size_t length = good[rec + 8];
        for (size_t f = 0; f < 16; f += 4) swap4(rec + f);
        rec += PCAP_RECORD_HEADER_SIZE + length;
    }
    WriteFile(path, swapped);
    EXPECT_TRUE(RecordingCheck(path.c_str(), summary, error)) << error;
    EXPECT_EQ(summary.records, 2u);
    EXPECT_EQ(summary.streamBytes, 6u);
    EXPECT_EQ(summary.lastUs, 6u);
    std::remove(path.c_str());
}

}  // namespace

namespace {

void CollectPlayed(void* context, const RecordingRecord& r) {
    static_cast<std::vector<Rec>*>(context)->push_back({r.timeUs, r.kind, r.flags, r.type, Bytes(r.bytes, r.bytes + r.length)});
}

// Records at 0, 1, 2, 3 and 200 s after a start.
std::string FiveSecondsApart(const char* name) {
    const std::string path = TempPath(name);
    RecordingWriter writer;
    std::string error;
    EXPECT_TRUE(RecordingCreate(writer, path.c_str(), error));
    const uint64_t start = 1796720396000000ull;
    const uint64_t at[5] = {0, 1000000, 2000000, 3000000, 200000000};
    for (int i = 0; i < 5; ++i) {
        const uint8_t b = static_cast<uint8_t>(i + 1);
        RecordingWrite(writer, start + at[i], RECORD_STRAY, 0, 0, &b, 1);
    }
    EXPECT_TRUE(RecordingClose(writer));
    return path;
}

}  // namespace

TEST(Replay, PlaysAtTheRecordedPaceWithPauseSpeedAndJumpToEnd) {
    const std::string path = FiveSecondsApart("pace");
    std::unique_ptr<ReplayPlayer> player(new ReplayPlayer);
    std::vector<Rec> played;
    std::string error;
    const uint64_t s = 1000000;
    ASSERT_TRUE(ReplayOpen(*player, path.c_str(), 100 * s, error, REPLAY_NO_GAP_CAP)) << error;
    EXPECT_EQ(ReplayStatusText(*player), "Replay 0 % (00:00 of 03:20)");
    EXPECT_EQ(ReplayAdvance(*player, 100 * s + s / 2, 1000, CollectPlayed, &played), 1u);
    EXPECT_EQ(ReplayAdvance(*player, 101 * s, 1000, CollectPlayed, &played), 1u);  // the one at 1 s, on time
    EXPECT_EQ(ReplayAdvance(*player, 101 * s, 1000, CollectPlayed, &played), 0u);
    ReplaySetPaused(*player, true, 101 * s + s / 2);
    EXPECT_EQ(ReplayAdvance(*player, 150 * s, 1000, CollectPlayed, &played), 0u);  // paused: time stands still
    ReplaySetPaused(*player, false, 150 * s);
    EXPECT_EQ(ReplayAdvance(*player, 150 * s + s / 2, 1000, CollectPlayed, &played), 1u);  // 1.5 + 0.5 = 2 s
    ReplaySetSpeed(*player, 10, 150 * s + s / 2);
    EXPECT_EQ(ReplayAdvance(*player, 150 * s + 6 * s / 10, 1000, CollectPlayed, &played), 1u);  // 2 + 1 = 3 s
    EXPECT_EQ(ReplayStatusText(*player), "Replay 1 % (00:03 of 03:20)");
    EXPECT_FALSE(ReplayFinished(*player));
    ReplaySetSpeed(*player, REPLAY_SPEED_FAST, 151 * s);
    EXPECT_EQ(ReplayAdvance(*player, 151 * s, 1000, CollectPlayed, &played), 1u);  // 200 s away, played now
    EXPECT_TRUE(ReplayFinished(*player));
    EXPECT_EQ(ReplayStatusText(*player), "Replay 100 % (03:20 of 03:20)");
    ASSERT_EQ(played.size(), 5u);
    for (size_t i = 0; i < played.size(); ++i) EXPECT_EQ(played[i].bytes, Bytes{static_cast<uint8_t>(i + 1)});
    ReplayClose(*player);

    // Jump to End plays everything left at once; an hour shows hours.
    played.clear();
    ASSERT_TRUE(ReplayOpen(*player, path.c_str(), 0, error));
    EXPECT_EQ(ReplayAdvance(*player, 0, 1000, CollectPlayed, &played), 1u);
    EXPECT_EQ(ReplayJumpToEnd(*player, CollectPlayed, &played), 4u);
    EXPECT_TRUE(ReplayFinished(*player));
    EXPECT_EQ(ReplayClockText(3723 * s, true), "1:02:03");
    ReplayClose(*player);
    std::remove(path.c_str());
}

TEST(Replay, AGapOverTheCapPlaysAsTheCapAndTimeGoingBackIsNoGap) {
    const uint64_t s = 1000000;
    // The 197 s gap before the last record plays as 10 s, and says so.
    const std::string path = FiveSecondsApart("cap");
    std::unique_ptr<ReplayPlayer> player(new ReplayPlayer);
    std::vector<Rec> played;
    std::string error;
    ASSERT_TRUE(ReplayOpen(*player, path.c_str(), 0, error)) << error;
    EXPECT_EQ(player->gapsCapped, 1u);
    EXPECT_EQ(ReplayStatusText(*player), "Replay 0 % (00:00 of 00:13), 1 gap over 10 s shortened");
    EXPECT_EQ(ReplayAdvance(*player, 12 * s, 1000, CollectPlayed, &played), 4u);
    EXPECT_EQ(ReplayAdvance(*player, 13 * s, 1000, CollectPlayed, &played), 1u);
    EXPECT_TRUE(ReplayFinished(*player));
    ReplayClose(*player);
    std::remove(path.c_str());

    // A stamp in 2106 among stamps of 2026: one capped gap forward, none
    // back, and the records after it keep their own spacing.
    ReplayTimeline timeline;
    const uint64_t t0 = 1796720396000000ull, far = 4294967295ull * s;
    EXPECT_EQ(ReplayTimelineStep(timeline, t0), 0u);
    EXPECT_EQ(ReplayTimelineStep(timeline, t0 + 2 * s), 2 * s);
    EXPECT_EQ(ReplayTimelineStep(timeline, far), 12 * s);
    EXPECT_EQ(ReplayTimelineStep(timeline, t0 + 3 * s), 12 * s);
    EXPECT_EQ(ReplayTimelineStep(timeline, t0 + 4 * s + 500000), 13 * s + 500000);
    EXPECT_EQ(timeline.capped, 1u);
}

TEST(Replay, TruncatedPlaysUpToItsLastRecordAndForeignOpensNothing) {
    const std::string path = FiveSecondsApart("cut");
    Bytes file = ReadFile(path);
    WriteFile(path, Bytes(file.begin(), file.end() - 2));
    std::unique_ptr<ReplayPlayer> player(new ReplayPlayer);
    std::vector<Rec> played;
    std::string error;
    ASSERT_TRUE(ReplayOpen(*player, path.c_str(), 0, error)) << error;
    EXPECT_TRUE(player->summary.truncated);
    EXPECT_EQ(ReplayJumpToEnd(*player, CollectPlayed, &played), 4u);
    EXPECT_FALSE(player->failed);
    EXPECT_EQ(ReplayStatusText(*player), "Replay 100 % (00:03 of 00:03)");
    ReplayClose(*player);

    WriteFile(path, LowPayload(64));
    EXPECT_FALSE(ReplayOpen(*player, path.c_str(), 0, error));
    EXPECT_EQ(error, "not a recording (no pcap file header)");
    EXPECT_EQ(player->file, nullptr);
    std::remove(path.c_str());
}

TEST(HistoryRecords, TheApplicationsEventsRecordedGiveTheStreamAndTheStoreBack) {
    const Bytes stream = FaultyStream(21, 3000) + HexBytes("b1 b1 01 02");  // ends inside a message
    std::unique_ptr<HistoryRing> ring(new HistoryRing);
    HistoryRingInit(*ring);
    std::unique_ptr<TallyStore> live(new TallyStore);
    TallyStoreInit(*live);
    std::unique_ptr<EventSource> source(new EventSource);
    EventSourceInit(*source, live.get(), ring.get());
    const std::string path = TempPath("history");
    RecordingWriter writer;
    std::string error;
    ASSERT_TRUE(RecordingCreate(writer, path.c_str(), error)) << error;
    HistoryEvent note = {};
    note.kind = EVENT_CONNECT;
    std::snprintf(reinterpret_cast<char*>(note.bytes), HISTORY_EVENT_BYTES, "COM1 115200 8N1");
    EXPECT_EQ(RecordingWriteHistoryEvent(writer, note), 1u);
    std::mt19937 rng(4);
    std::vector<HistoryEvent> events(512);
    int64_t ms = 1796720396000;
    for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min<size_t>(1 + rng() % 200, stream.size() - at);
        EventSourceFeed(*source, stream.data() + at, n, ms += 7);
        at += n;
        size_t got;
        while ((got = HistoryRingPop(*ring, events.data(), events.size())) > 0)
            for (size_t i = 0; i < got; ++i) RecordingWriteHistoryEvent(writer, events[i]);
    }
    // The port closes: the message still incomplete is recorded as pending.
    EventSourceFinish(*source, ms);
    for (size_t got; (got = HistoryRingPop(*ring, events.data(), events.size())) > 0;)
        for (size_t i = 0; i < got; ++i) RecordingWriteHistoryEvent(writer, events[i]);
    note.kind = EVENT_LINE_ERROR;
    note.code = 0x0008;
    EXPECT_EQ(RecordingWriteHistoryEvent(writer, note), 1u);
    note.kind = EVENT_SILENT;  // derived again by a replay, not recorded
    EXPECT_EQ(RecordingWriteHistoryEvent(writer, note), 0u);
    ASSERT_TRUE(RecordingClose(writer));
    EXPECT_EQ(ring->lost.load(), 0u);

    const ReadBack back = ReadRecording(path);
    std::remove(path.c_str());
    ASSERT_EQ(back.end, RECORDING_END) << back.error;
    ASSERT_GE(back.records.size(), 2u);
    EXPECT_EQ(back.records.front().kind, RECORD_CONNECT);
    EXPECT_EQ(std::string(back.records.front().bytes.begin(), back.records.front().bytes.end()), "COM1 115200 8N1");
    EXPECT_EQ(back.records.back().kind, RECORD_LINE_ERROR);
    EXPECT_EQ(back.records.back().bytes, HexBytes("08000000"));
    Bytes joined;
    uint64_t mismatches = 0, pending = 0;
    std::unique_ptr<TallyStore> replayed(new TallyStore);
    std::unique_ptr<FrameParser> parser(new FrameParser);
    TallyStoreInit(*replayed);
    FrameParserInit(*parser, replayed.get());
    for (const Rec& r : back.records) {
        if (!RecordCarriesStream(r.kind)) continue;
        joined.insert(joined.end(), r.bytes.begin(), r.bytes.end());
        FrameParserFeed(*parser, r.bytes.data(), r.bytes.size());
        if (r.kind == RECORD_RESET) mismatches = 0;
        if (r.kind == RECORD_PENDING) ++pending;
        if (r.kind == RECORD_MISMATCH) {
            EXPECT_EQ(r.bytes.size(), 1u);
            ++mismatches;
        }
    }
    EXPECT_TRUE(joined == stream) << "every byte, the incomplete tail included";
    EXPECT_EQ(pending, 1u);
    TallyCounterValues c;
    TallyReadCounters(*live, c);
    EXPECT_EQ(mismatches, c.headerMismatchCount);
    EXPECT_EQ(SnapshotDiff(Snapshot(*live), Snapshot(*replayed)), "");
}
