// Frame parser: framing and resynchronisation, storage of every type, names
// and aliases, counter reset, block boundaries, the buffer limit and tracing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "tally/parser.h"
#include "tally/protocol.h"
#include "tally/store.h"
#include "tests/support/reference_parser.h"
#include "tests/support/tally_test_util.h"

// Counts allocations made while a test has switched counting on, to prove
// that feeding the parser allocates nothing.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // free() pairs with the malloc() below
#endif
static std::atomic<bool> countAllocations{false};
static std::atomic<long> allocationCount{0};
void* operator new(std::size_t n) {
    if (countAllocations.load(std::memory_order_relaxed)) allocationCount.fetch_add(1);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

class FrameParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        TallyStoreInit(*store);
        FrameParserInit(*parser, store.get());
    }
    void Feed(const Bytes& bytes) { FrameParserFeed(*parser, bytes.data(), bytes.size()); }
    void ClearDirty() {
        store->meDirty = 0;
        store->extDirty = 0;
        store->ssDirty = 0;
        store->outDirty = 0;
        store->namesDirty = 0;
    }
    TallyCounterValues Counters() {
        TallyCounterValues c;
        TallyReadCounters(*store, c);
        return c;
    }
    // The five error counters, in storage order.
    std::vector<uint32_t> ErrorCounts() {
        const TallyCounterValues c = Counters();
        return {c.strayByteCount, c.unknownTypeCount, c.headerMismatchCount, c.headerLowByteCount,
                c.payloadErrorCount};
    }
    uint32_t Stored() {
        const TallyCounterValues c = Counters();
        uint32_t n = c.ssCount;
        for (uint32_t v : c.meCount) n += v;
        for (uint32_t v : c.extCount) n += v;
        for (uint32_t v : c.outCount) n += v;
        return n;
    }
    std::string MeData(int i) {
        MeTally r;
        TallyReadMe(*store, i, r);
        return Hex(r.header, sizeof r);
    }

    std::unique_ptr<TallyStore> store = std::make_unique<TallyStore>();
    std::unique_ptr<FrameParser> parser = std::make_unique<FrameParser>();
};

using Errors = std::vector<uint32_t>;

// --- Framing and resynchronisation ------------------------------------------

TEST_F(FrameParserTest, CompleteMessagesAreStoredAndCounted) {
    ClearDirty();
    const Bytes payload = LowPayload(ME_PAYLOAD, 0x30);
    Feed(Message(0x81, payload));
    EXPECT_EQ("8181" + Hex(payload.data(), payload.size()) + "000000", MeData(0));
    EXPECT_EQ(1, store->meDirty.load());
    EXPECT_EQ(1u, Counters().meCount[0]);
    Feed(Message(0x83, LowPayload(ME_PAYLOAD)));
    EXPECT_EQ(1u, Counters().meCount[2]);
    EXPECT_EQ(Errors({0, 0, 0, 0, 0}), ErrorCounts());
    EXPECT_EQ(0, FrameParserPending(*parser));
    // Example from the protocol: a still-store message.
    Feed(HexBytes("a1 a1 12 25 5a"));
    EXPECT_EQ(1u, Counters().ssCount);
}

TEST_F(FrameParserTest, HighPayloadBytesAfterLowBytesAreData) {
    const Bytes payload = HexBytes("01 55 02 aa 03 55 04 aa 05 a5 06 5a 07 5a 08 a5 09 aa 0a 55 0b ff 0c");
    Feed(Message(0x84, payload));
    EXPECT_EQ("8484" + Hex(payload.data(), payload.size()) + "000000", MeData(3));
    EXPECT_EQ(Errors({0, 0, 0, 0, 0}), ErrorCounts());
}

TEST_F(FrameParserTest, EachLowByteBetweenMessagesIsOneStrayByte) {
    Feed(HexBytes("00 80 7f") + Message(0xA1, LowPayload(3)) + HexBytes("05"));
    EXPECT_EQ(Errors({4, 0, 0, 0, 0}), ErrorCounts());
    EXPECT_EQ(1u, Counters().ssCount);
}

TEST_F(FrameParserTest, TestBlockLoopedBackIsTenStrayBytes) {
    const TallySnapshotValues before = Snapshot(*store);
    FrameParserFeed(*parser, testBlock, TEST_BLOCK_SIZE);
    TallySnapshotValues after = Snapshot(*store);
    EXPECT_EQ(10u, after.counters.strayByteCount);
    after.counters.strayByteCount = 0;
    EXPECT_EQ("", SnapshotDiff(before, after));
}

TEST_F(FrameParserTest, HeaderWithLowSecondByteDiscardsBothBytes) {
    Feed(HexBytes("81 05"));
    EXPECT_EQ(Errors({0, 0, 0, 1, 0}), ErrorCounts());
    EXPECT_EQ(0, FrameParserPending(*parser));
    // 0x80 is low too, and ends a header the same way.
    Feed(HexBytes("a1 80") + Message(0xA1, LowPayload(3)));
    EXPECT_EQ(Errors({0, 0, 0, 2, 0}), ErrorCounts());
    EXPECT_EQ(1u, Counters().ssCount);
}

TEST_F(FrameParserTest, MismatchedHeaderKeepsSecondByteAsNewHeader) {
    Feed(HexBytes("81 92 92") + LowPayload(EXT_PAYLOAD));
    EXPECT_EQ(Errors({0, 0, 1, 0, 0}), ErrorCounts());
    EXPECT_EQ(1u, Counters().extCount[1]);
}

TEST_F(FrameParserTest, HighFirstPayloadByteResynchronisesOnTheSecondHeaderByte) {
    // 81 81 90: payload error; framing resumes at the second 81, so 81 90 is
    // then a mismatch and 90 starts a new header.
    Feed(HexBytes("81 81 90"));
    EXPECT_EQ(Errors({0, 0, 1, 0, 1}), ErrorCounts());
    EXPECT_EQ(1, FrameParserPending(*parser));
    Feed(HexBytes("b0"));
    EXPECT_EQ(Errors({0, 0, 2, 0, 1}), ErrorCounts());
}

TEST_F(FrameParserTest, RepeatedHeaderByteCostsOnePayloadErrorPerRepetition) {
    Feed(HexBytes("91 91 91") + LowPayload(EXT_PAYLOAD));
    EXPECT_EQ(Errors({0, 0, 0, 0, 1}), ErrorCounts());
    EXPECT_EQ(1u, Counters().extCount[0]);
    Feed(HexBytes("91 91 91 91 91") + LowPayload(EXT_PAYLOAD));
    EXPECT_EQ(Errors({0, 0, 0, 0, 4}), ErrorCounts());
    EXPECT_EQ(2u, Counters().extCount[0]);
}

TEST_F(FrameParserTest, TwoHighBytesInsidePayloadAbandonIt) {
    // The two high bytes a0 b0 are kept and framed again: a0 b0 is a
    // mismatch, b0 03 a header with a low second byte, 04 a stray.
    Feed(HexBytes("81 81 01 02 a0 b0 03 04"));
    EXPECT_EQ(Errors({1, 0, 1, 1, 1}), ErrorCounts());
    EXPECT_EQ(0u, Stored());
    // A doubled byte inside a payload is a new header.
    Feed(HexBytes("81 81 01 a1 a1") + LowPayload(3));
    EXPECT_EQ(Errors({1, 0, 1, 1, 2}), ErrorCounts());
    EXPECT_EQ(1u, Counters().ssCount);
}

TEST_F(FrameParserTest, UnknownTypeDiscardsOnlyItsHeader) {
    Feed(HexBytes("e5 e5") + Message(0x81, LowPayload(ME_PAYLOAD)) + HexBytes("ff ff 01"));
    EXPECT_EQ(Errors({1, 2, 0, 0, 0}), ErrorCounts());
    EXPECT_EQ(1u, Counters().meCount[0]);
}

TEST_F(FrameParserTest, MessageSplitAcrossBlocksIsStoredOnceWhenComplete) {
    const Bytes message = Message(0x92, LowPayload(EXT_PAYLOAD, 0x40));
    ClearDirty();
    Feed(Bytes(message.begin(), message.begin() + 9));
    EXPECT_EQ(9, FrameParserPending(*parser));
    EXPECT_EQ(0, store->extDirty.load());
    EXPECT_EQ(0u, Stored());
    Feed(Bytes(message.begin() + 9, message.end()) + HexBytes("b2"));
    EXPECT_EQ(1u, Counters().extCount[1]);
    EXPECT_EQ(Errors({0, 0, 0, 0, 0}), ErrorCounts());
    EXPECT_EQ(1, FrameParserPending(*parser));  // the lone b2 waits for its twin
}

// --- Storage of every type --------------------------------------------------

TEST_F(FrameParserTest, EveryTypeIsStoredInItsRecordOrIgnored) {
    for (int t = 0x81; t <= 0xFF; ++t) {
        SCOPED_TRACE(t);
        TallyStoreInit(*store);
        FrameParserInit(*parser, store.get());
        ClearDirty();
        const TallySnapshotValues before = Snapshot(*store);
        const int length = t < 0xD0 ? (t < 0x90 ? 23 : t < 0xA0 ? 21 : t < 0xB0 ? 3 : t < 0xC0 ? 10 : 19) : 0;
        const Bytes payload = LowPayload(length, 0x11);
        Feed(Message(static_cast<uint8_t>(t), payload));
        EXPECT_EQ(0, FrameParserPending(*parser));
        TallySnapshotValues expected = before;
        if (t >= 0x81 && t <= 0x84) {
            std::memcpy(expected.meTally[t - 0x81].data, payload.data(), 23);
            expected.meDirty = 1;
            expected.counters.meCount[t - 0x81] = 1;
        } else if (t >= 0x91 && t <= 0x98) {
            std::memcpy(expected.extTally[t - 0x91].data, payload.data(), 21);
            expected.extDirty = 1;
            expected.counters.extCount[t - 0x91] = 1;
        } else if (t == 0xA1) {
            std::memcpy(expected.ssTally.data, payload.data(), 3);
            expected.ssDirty = 1;
            expected.counters.ssCount = 1;
        } else if (t >= 0xB1 && t <= 0xB6) {
            std::memcpy(expected.outTally[t - 0xB1].data, payload.data(), 10);
            expected.outDirty = 1;
            expected.counters.outCount[t - 0xB1] = 1;
        } else if (t == 0xC1 || t == 0xC2) {
            uint8_t* entry = expected.sourceNames[0x11];
            std::memcpy(t == 0xC1 ? entry + 1 : entry + 21, payload.data() + 1, 12);
            std::memcpy(entry + 14, payload.data() + 13, 6);
            entry[0] = 1;
            expected.namesDirty = 1;
        } else if (t >= 0xE0) {
            expected.counters.unknownTypeCount = 1;
        }
        EXPECT_EQ("", SnapshotDiff(expected, Snapshot(*store)));
    }
}

TEST_F(FrameParserTest, ANewMessageOverwritesAllDataAndKeepsHeader) {
    Feed(Message(0x91, Bytes(EXT_PAYLOAD, 0x7F)));
    ExtTally r;
    TallyReadExt(*store, 0, r);
    std::string sevens;
    for (int i = 0; i < EXT_PAYLOAD; ++i) sevens += "7f";
    EXPECT_EQ("9191" + sevens + "00", Hex(r.header, sizeof r));
    Feed(Message(0xB6, Bytes(OUT_PAYLOAD, 0)));
    OutputTally o;
    TallyReadOut(*store, 5, o);
    EXPECT_EQ("b6b6" + std::string(OUT_PAYLOAD * 2, '0'), Hex(o.header, sizeof o));
}

// --- Names and aliases -------------------------------------------------------

TEST_F(FrameParserTest, NameSetsNameAndNicknameAndClearsAlias) {
    Feed(Message(MSG_SOURCE_ALIAS, NamePayload(5, "OLD ALIAS XX", "NICK01")));
    ClearDirty();
    Feed(Message(MSG_SOURCE_NAME, NamePayload(5, "STUDIO CAM 5", "SCAM05")));
    SourceNameValues v;
    TallyReadName(*store, 5, v);
    EXPECT_EQ(1, v.changed);
    EXPECT_STREQ("STUDIO CAM 5", v.name);
    EXPECT_STREQ("SCAM05", v.nickname);
    EXPECT_STREQ("", v.alias);
    EXPECT_EQ(1, store->namesDirty.load());
    EXPECT_EQ(0u, Stored());  // names move no counter
}

TEST_F(FrameParserTest, AliasKeepsNameAndReplacesAliasAndNickname) {
    Feed(Message(MSG_SOURCE_NAME, NamePayload(9, "VTR 9\0\0\0\0\0\0\0", "V9\0\0\0\0")));
    SourceNameValues v;
    TallyTakeName(*store, 9, v);
    Feed(Message(MSG_SOURCE_ALIAS, NamePayload(9, "REPLAY NINE!", "RPL9  ")));
    TallyReadName(*store, 9, v);
    EXPECT_EQ(1, v.changed);
    EXPECT_STREQ("VTR 9", v.name);
    EXPECT_STREQ("REPLAY NINE!", v.alias);
    EXPECT_STREQ("RPL9  ", v.nickname);
}

TEST_F(FrameParserTest, SourceNumbersOutsideOneTo128ChangeNothing) {
    ClearDirty();
    TallySnapshotValues before = Snapshot(*store);
    Feed(Message(MSG_SOURCE_NAME, NamePayload(0, "ZERO SOURCE!", "ZERO!!")));
    EXPECT_EQ("", SnapshotDiff(before, Snapshot(*store)));  // consumed, not even counted
    EXPECT_EQ(0, FrameParserPending(*parser));
    // 129 and above are high bytes, so as a first payload byte they are a
    // framing error; the name is never written.
    Feed(Message(MSG_SOURCE_NAME, NamePayload(129, "SOURCE 129!!", "S129!!")));
    Feed(Message(MSG_SOURCE_ALIAS, NamePayload(0xFF, "SOURCE 255!!", "S255!!")));
    TallySnapshotValues after = Snapshot(*store);
    EXPECT_EQ(2u, after.counters.payloadErrorCount);
    before.counters = after.counters;
    EXPECT_EQ("", SnapshotDiff(before, after));
    Feed(Message(MSG_SOURCE_NAME, NamePayload(128, "LAST SOURCE!", "LAST!!")));
    SourceNameValues v;
    TallyReadName(*store, 128, v);
    EXPECT_STREQ("LAST SOURCE!", v.name);
}

TEST_F(FrameParserTest, FullLengthTextsKeepTheirTerminators) {
    // Alternating low/high text bytes are valid payload and fill every field.
    Bytes p = {3};
    for (int i = 0; i < 18; ++i) p.push_back(i % 2 ? 0xC8 : 0x41);
    Feed(Message(MSG_SOURCE_NAME, p));
    Feed(Message(MSG_SOURCE_ALIAS, p));
    const TallySnapshotValues s = Snapshot(*store);
    EXPECT_EQ(0, s.sourceNames[3][13]);
    EXPECT_EQ(0, s.sourceNames[3][20]);
    EXPECT_EQ(0, s.sourceNames[3][33]);
    EXPECT_EQ(0x41, s.sourceNames[3][1]);
    EXPECT_EQ(0xC8, s.sourceNames[3][32]);
}

// --- Counter reset -------------------------------------------------------------

TEST_F(FrameParserTest, ResetZeroesCountersAndLeavesEverythingElse) {
    Feed(HexBytes("00 81 05 e5 e5 81") + Message(0x92, LowPayload(21)) + Message(0x81, LowPayload(23)) + Message(0xB3, LowPayload(10)) +
         HexBytes("81 81 81") + LowPayload(23) + Message(MSG_SOURCE_NAME, NamePayload(1, "ONE ONE ONE ", "ONE   ")));
    EXPECT_EQ(Errors({1, 1, 1, 1, 1}), ErrorCounts());
    ClearDirty();
    store->meDirty = 1;
    TallySnapshotValues before = Snapshot(*store);
    Feed(HexBytes("d1 d1"));
    TallySnapshotValues after = Snapshot(*store);
    const TallyCounterValues none = {};
    EXPECT_EQ(0, std::memcmp(&none, &after.counters, sizeof none));  // the reset itself is not counted
    before.counters = none;
    EXPECT_EQ("", SnapshotDiff(before, after));
    // Counting resumes from zero; other control types do nothing.
    Feed(HexBytes("d2 d2 d0 d0 df df 01") + Message(0x81, LowPayload(23)));
    EXPECT_EQ(Errors({1, 0, 0, 0, 0}), ErrorCounts());
    EXPECT_EQ(1u, Counters().meCount[0]);
}

// --- Block boundaries --------------------------------------------------------

// Every kind of message and fault, with messages split at awkward places.
Bytes MixedStream() {
    Bytes s;
    for (int round = 0; round < 3; ++round) {
        s = s + HexBytes("00 01 80") + Message(0x81, LowPayload(23, 5 + round)) + HexBytes("81 05") +
            HexBytes("81 92") + Message(0x92, LowPayload(21)) + HexBytes("81 81 90") +
            HexBytes("91 91 91") + LowPayload(21) + HexBytes("e5 e5 ff ff") + Message(0xA1, HexBytes("01 c0 02")) +
            Message(0xB4, HexBytes("01 f0 02 f1 03 f2 04 f3 05 f4")) +
            Message(0xC1, NamePayload(static_cast<uint8_t>(10 + round), "NAME  NAME  ", "NICKNK")) +
            Message(0xC2, NamePayload(static_cast<uint8_t>(10 + round), "ALIAS ALIAS ", "NICK2 ")) +
            Message(0xC1, NamePayload(0, "NOBODY NOBOD", "NOBODY")) + Message(0x85, LowPayload(23)) +
            HexBytes("d2 d2") + HexBytes("81 81 01 a0 b0 02") + Message(0x98, LowPayload(21, 0x60));
        if (round == 1) s = s + HexBytes("d1 d1");
    }
    return s + HexBytes("83 83 01 02 03");  // left pending
}

TEST_F(FrameParserTest, BlockSizeDoesNotChangeTheOutcome) {
    const Bytes stream = MixedStream();
    FeedInBlocks(*parser, stream, 6000);
    const TallySnapshotValues whole = Snapshot(*store);
    const int pending = FrameParserPending(*parser);
    EXPECT_EQ(5, pending);
    EXPECT_NE(0u, whole.counters.payloadErrorCount);

    for (size_t block : {1, 2, 7, 24, 25, 26, 6000}) {
        SCOPED_TRACE(block);
        TallyStoreInit(*store);
        FrameParserInit(*parser, store.get());
        FeedInBlocks(*parser, stream, block);
        EXPECT_EQ("", SnapshotDiff(whole, Snapshot(*store)));
        EXPECT_EQ(pending, FrameParserPending(*parser));
    }
}

// The parser walks the buffer frame by frame instead of moving the rest of
// the buffer after every discard; the literal one-byte-per-step reading of the
// state table must agree with it on any stream and any block boundaries.
TEST_F(FrameParserTest, AgreesWithTheLiteralStateTableOnRandomStreams) {
    const Bytes mixed = MixedStream();
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        Bytes stream;
        // Pieces of real traffic, headers, repeated high bytes and noise;
        // biased towards high bytes so that every transition is exercised.
        while (stream.size() < 4000) {
            switch (rng() % 6) {
            case 0: {
                const size_t at = rng() % mixed.size(), n = 1 + rng() % 60;
                stream.insert(stream.end(), mixed.begin() + at, mixed.begin() + std::min(mixed.size(), at + n));
                break;
            }
            case 1: stream.push_back(static_cast<uint8_t>(0x80 + rng() % 0x80)); break;
            case 2: stream.push_back(static_cast<uint8_t>(rng() % 0x81)); break;
            case 3: { const uint8_t h = static_cast<uint8_t>(0x81 + rng() % 0x7F); stream.push_back(h); stream.push_back(h); break; }
            case 4: stream.push_back(static_cast<uint8_t>(rng())); break;
            default: { const uint8_t t = static_cast<uint8_t>(0x81 + rng() % 0x5F); const int n = std::max(0, payloadLength(t));
                       stream = stream + Message(t, LowPayload(n, static_cast<uint8_t>(rng() % 0x80))); break; }
            }
        }
        TallyStoreInit(*store);
        FrameParserInit(*parser, store.get());
        auto reference = std::make_unique<ReferenceParser>(*store);
        size_t at = 0;
        while (at < stream.size()) {
            // Mostly small blocks, sometimes one larger than the frame buffer.
            const size_t want = rng() % 8 == 0 ? 9990 + rng() % 20 : 1 + rng() % 40;
            const size_t n = std::min(want, stream.size() - at);
            FrameParserFeed(*parser, stream.data() + at, n);
            reference->Feed(stream.data() + at, n);
            at += n;
            ASSERT_EQ("", SnapshotDiff(reference->model, Snapshot(*store))) << "after byte " << at;
            ASSERT_EQ(reference->frameCount, FrameParserPending(*parser));
            ASSERT_EQ(0, std::memcmp(reference->frameBuffer, parser->frameBuffer,
                                     static_cast<size_t>(reference->frameCount)));
        }
    }
}

// --- Buffer limit ---------------------------------------------------------------

TEST_F(FrameParserTest, BytesBeyondTheFrameBufferAreDroppedUncounted) {
    Feed(Bytes(FRAME_BUFFER_SIZE + 500, 0x01));
    EXPECT_EQ(static_cast<uint32_t>(FRAME_BUFFER_SIZE), Counters().strayByteCount);
    EXPECT_EQ(0, FrameParserPending(*parser));

    // With 7 bytes carried over, only 9993 more fit: 16 finish the message,
    // the rest are strays, and the tail (which would be another message) is lost.
    TallyStoreInit(*store);
    FrameParserInit(*parser, store.get());
    Feed(Message(0x81, LowPayload(5)));
    ASSERT_EQ(7, FrameParserPending(*parser));
    Bytes block(FRAME_BUFFER_SIZE - 7, 0x02);
    block = block + Message(0xA1, LowPayload(3));
    Feed(block);
    EXPECT_EQ(1u, Counters().meCount[0]);
    EXPECT_EQ(static_cast<uint32_t>(FRAME_BUFFER_SIZE - 7 - 18), Counters().strayByteCount);
    EXPECT_EQ(0u, Counters().ssCount);
    EXPECT_EQ(0, FrameParserPending(*parser));
    // Nothing of the dropped tail lingers: the next message stands alone.
    Feed(Message(0xA1, LowPayload(3)));
    EXPECT_EQ(1u, Counters().ssCount);
    EXPECT_EQ(static_cast<uint32_t>(FRAME_BUFFER_SIZE - 7 - 18), Counters().strayByteCount);
}

TEST_F(FrameParserTest, FeedingAllocatesNothing) {
    const Bytes stream = MixedStream();
    allocationCount = 0;
    countAllocations = true;
    FeedInBlocks(*parser, stream, 7);
    FeedInBlocks(*parser, stream, 6000);
    countAllocations = false;
    EXPECT_EQ(0, allocationCount.load());
    EXPECT_NE(0u, Stored());
}

// --- Tracing -----------------------------------------------------------------------

struct TraceLine {
    FrameEventKind kind;
    uint64_t offset;
    std::string bytes;
    int consumed;
    uint8_t type;
    bool operator==(const TraceLine& o) const {
        return kind == o.kind && offset == o.offset && bytes == o.bytes && consumed == o.consumed && type == o.type;
    }
};
std::ostream& operator<<(std::ostream& os, const TraceLine& t) {
    return os << "{" << t.kind << " @" << t.offset << " " << t.bytes << " consumed " << t.consumed << " type "
              << int(t.type) << "}";
}

void Record(void* context, const FrameEvent& e) {
    static_cast<std::vector<TraceLine>*>(context)->push_back(
        {e.kind, e.offset, Hex(e.bytes, static_cast<size_t>(e.length)), e.consumed, e.type});
}

TEST_F(FrameParserTest, TraceReportsEveryStepWithItsInputOffsetAcrossBlocks) {
    std::vector<TraceLine> lines;
    FrameParserInit(*parser, store.get(), Record, &lines);
    const Bytes stream = HexBytes("05 81 06 81 92 e5 e5 d1 d1 d3 d3 81 81 01 a0 b0") +
                         Message(0xA1, HexBytes("01 02 03")) + Message(0xC1, NamePayload(0, "NOBODY NOBOD", "NOBODY")) +
                         Message(0xA2, HexBytes("04 05 06"));
    FeedInBlocks(*parser, stream, 3);
    const std::vector<TraceLine> expected = {
        {FRAME_STRAY_BYTE, 0, "05", 1, 0},
        {FRAME_HEADER_LOW_BYTE, 1, "8106", 2, 0},
        {FRAME_HEADER_MISMATCH, 3, "8192", 1, 0},
        {FRAME_HEADER_MISMATCH, 4, "92e5", 1, 0},
        {FRAME_UNKNOWN_TYPE, 5, "e5e5", 2, 0xE5},
        {FRAME_RESET, 7, "d1d1", 2, 0xD1},
        {FRAME_IGNORED, 9, "d3d3", 2, 0xD3},
        {FRAME_PAYLOAD_ERROR, 11, "818101a0b0", 3, 0x81},
        {FRAME_HEADER_MISMATCH, 14, "a0b0", 1, 0},
        {FRAME_HEADER_MISMATCH, 15, "b0a1", 1, 0},
        {FRAME_STORED, 16, "a1a1010203", 5, 0xA1},
        {FRAME_IGNORED, 21, Hex(stream.data() + 21, 21), 21, 0xC1},
        {FRAME_IGNORED, 42, "a2a2040506", 5, 0xA2},
    };
    EXPECT_EQ(expected, lines);
}

TEST_F(FrameParserTest, TraceOffsetsSkipDroppedBytes) {
    std::vector<TraceLine> lines;
    FrameParserInit(*parser, store.get(), Record, &lines);
    Feed(HexBytes("b1 b1 01"));
    Bytes big(FRAME_BUFFER_SIZE, 0x00);  // 9997 fit: 9 finish OUT 1, 9988 strays, 3 dropped
    Feed(big);
    Feed(HexBytes("7e"));
    ASSERT_EQ(1 + 9988 + 1 + 1u, lines.size());
    EXPECT_EQ((TraceLine{FRAME_STORED, 0, "b1b101000000000000000000", 12, 0xB1}), lines[0]);
    EXPECT_EQ((TraceLine{FRAME_STRAY_BYTE, 12, "00", 1, 0}), lines[1]);
    EXPECT_EQ((TraceLine{FRAME_BYTES_DROPPED, 3 + 9997, "000000", 3, 0}), lines[9989]);
    EXPECT_EQ((TraceLine{FRAME_STRAY_BYTE, 3 + FRAME_BUFFER_SIZE, "7e", 1, 0}), lines[9990]);
}

}  // namespace
