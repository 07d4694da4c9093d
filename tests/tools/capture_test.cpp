// The application's recordings against tallydump's: the same reads, stamped
// with the same microseconds, through the capture stream and the
// application's writer on one side and `tallydump --capture X.pcap`'s live
// recording on the other, give the same records byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "recording/capture.h"
#include "recording/recording.h"
#include "tests/tools/process.h"
#include "tools/tallydump/dump.h"
#include "tools/tallydump/recorded.h"
#include "tools/tallysim/sim.h"

namespace {

struct Rec {
    uint64_t timeUs;
    uint8_t kind, flags, type;
    std::vector<uint8_t> bytes;
    bool operator==(const Rec& o) const {
        return timeUs == o.timeUs && kind == o.kind && flags == o.flags && type == o.type && bytes == o.bytes;
    }
};

std::vector<Rec> ReadAll(const std::string& path) {
    std::vector<Rec> out;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return out;
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    EXPECT_TRUE(RecordingBegin(*reader, file)) << reader->error;
    RecordingRecord r;
    RecordingReadResult result;
    while ((result = RecordingNext(*reader, r)) == RECORDING_RECORD)
        out.push_back({r.timeUs, r.kind, r.flags, r.type, std::vector<uint8_t>(r.bytes, r.bytes + r.length)});
    EXPECT_EQ(result, RECORDING_END) << reader->error;
    std::fclose(file);
    return out;
}

TEST(CaptureRecording, ApplicationAndTallydumpWriteTheSameRecordsWithMicroseconds) {
    std::unique_ptr<SimState> sim(new SimState);
    SimConfig config;
    config.seed = 11;
    for (double& r : config.faultRate) r = 0.05;
    SimInit(*sim, config);
    std::vector<uint8_t> feed;
    for (int i = 0; i < 3000; ++i) SimNext(*sim, feed);
    feed.insert(feed.end(), {0x81, 0x81, 0x01, 0x02});  // cut off by the close

    const std::string dir = TestDir();
    const std::string tallydumpPath = dir + "/tallydump.pcap", appPath = dir + "/app.pcap";
    const std::string connect = "COM1 256000 8N1";
    uint64_t now = 1796720396000000ull + 417;
    const uint64_t begin = now;

    // tallydump --capture X.pcap
    DumpSession session;
    DumpSessionInit(session, nullptr);
    LiveRecording live;
    std::string error;
    ASSERT_TRUE(LiveRecordingStart(live, session, std::fopen(tallydumpPath.c_str(), "wb"), connect, error, begin))
        << error;

    // The application: the receiver's entries through a small ring (so that
    // entries wrap its end), taken out by the writer as they come.
    CaptureRing ring;
    CaptureRingInit(ring, 4096);
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[CAPTURE_MAX_BYTES]);
    CaptureRecording app;
    ASSERT_TRUE(CaptureRecordingBegin(app, std::fopen(appPath.c_str(), "wb"), begin - 5, nullptr));
    auto take = [&] {
        CaptureEntry e;
        while (CapturePop(ring, e, scratch.get())) CaptureRecordingTake(app, e);
    };
    ASSERT_TRUE(CapturePush(ring, begin, CAPTURE_CONNECT, 0, reinterpret_cast<const uint8_t*>(connect.data()),
                            connect.size()));

    std::mt19937 rng(7);
    for (size_t at = 0; at < feed.size();) {
        const size_t n = std::min<size_t>(1 + rng() % 700, feed.size() - at);
        now += 1 + rng() % 900;  // reads less than a millisecond apart
        ASSERT_TRUE(LiveRecordingFeedAt(live, feed.data() + at, n, now));
        ASSERT_TRUE(CapturePush(ring, now, CAPTURE_BYTES, 0, feed.data() + at, n));
        take();
        at += n;
    }
    now += 333;
    ASSERT_TRUE(LiveRecordingStop(live, now));
    ASSERT_TRUE(CapturePush(ring, now, CAPTURE_DISCONNECT, 0, nullptr, 0));
    take();
    ASSERT_TRUE(CaptureRecordingEnd(app, now + 1));
    EXPECT_EQ(ring.lostBytes.load(), 0u);

    const std::vector<Rec> dumped = ReadAll(tallydumpPath);
    std::vector<Rec> written = ReadAll(appPath);
    ASSERT_GE(written.size(), 2u);
    // The application's own marks: Start before everything, Stop after.
    EXPECT_EQ(written.front().kind, RECORD_START);
    EXPECT_EQ(written.back().kind, RECORD_STOP);
    written.erase(written.begin());
    written.pop_back();
    ASSERT_EQ(written.size(), dumped.size());
    for (size_t i = 0; i < dumped.size(); ++i) ASSERT_TRUE(written[i] == dumped[i]) << "record " << i;

    // The comparison means something: split units, sub-millisecond stamps,
    // the cut-off message as pending before the disconnect.
    size_t split = 0, subMs = 0;
    for (const Rec& r : dumped) {
        split += (r.flags & RECORD_FLAG_SPLIT) != 0;
        subMs += r.timeUs % 1000 != 0;
    }
    EXPECT_GT(split, 10u);
    EXPECT_GT(subMs, dumped.size() / 2);
    ASSERT_GE(dumped.size(), 3u);
    EXPECT_EQ(dumped[dumped.size() - 2].kind, RECORD_PENDING);
    EXPECT_EQ(dumped.back().kind, RECORD_DISCONNECT);

    // The files themselves: the application's is tallydump's with the two
    // marks (20 bytes each) around its records.
    const std::string a = ReadFileText(appPath), d = ReadFileText(tallydumpPath);
    ASSERT_EQ(a.size(), d.size() + 40);
    EXPECT_EQ(a.compare(24 + 20, d.size() - 24, d, 24, d.size() - 24), 0);
}

// A full ring refuses reads and counts their bytes; the next entry that fits
// comes after a gap entry with that count, and the recording marks it.
TEST(CaptureRecording, AFullRingIsAMarkedGapWithTheBytesLost) {
    CaptureRing ring;
    CaptureRingInit(ring, 4096);
    std::vector<uint8_t> read(1000, 0x05);  // stray bytes
    size_t kept = 0, refused = 0;
    for (int i = 0; i < 7; ++i) {
        if (CapturePush(ring, 1000 + i, CAPTURE_BYTES, 0, read.data(), read.size())) ++kept;
        else ++refused;
    }
    EXPECT_EQ(kept, 4u);
    EXPECT_EQ(refused, 3u);
    EXPECT_EQ(ring.lostBytes.load(), 3000u);

    const std::string path = TestDir() + "/gap.pcap";
    CaptureRecording rec;
    ASSERT_TRUE(CaptureRecordingBegin(rec, std::fopen(path.c_str(), "wb"), 999, nullptr));
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[CAPTURE_MAX_BYTES]);
    CaptureEntry e;
    size_t popped = 0;
    while (CapturePop(ring, e, scratch.get())) {
        CaptureRecordingTake(rec, e);
        ++popped;
    }
    EXPECT_EQ(popped, 4u);
    ASSERT_TRUE(CapturePush(ring, 2000, CAPTURE_BYTES, 0, read.data(), 10));
    while (CapturePop(ring, e, scratch.get())) CaptureRecordingTake(rec, e);
    EXPECT_EQ(rec.lostBytes, 3000u);
    ASSERT_TRUE(CaptureRecordingEnd(rec, 2001));

    const std::vector<Rec> records = ReadAll(path);
    std::vector<uint8_t> kinds;
    for (const Rec& r : records) kinds.push_back(r.kind);
    EXPECT_EQ(kinds, (std::vector<uint8_t>{RECORD_START, RECORD_STRAY, RECORD_STRAY, RECORD_STRAY, RECORD_STRAY,
                                           RECORD_LOST, RECORD_STRAY, RECORD_STOP}));
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[5].bytes, (std::vector<uint8_t>{0xB8, 0x0B, 0, 0}));  // 3000
    EXPECT_EQ(records[6].bytes.size(), 10u);
}

}  // namespace

namespace {

// tallydump --port --capture X.pcap: the modem lines as the driver reports
// them; only a change, a break or the first reading is a `modem` record, with
// the lines now and those that changed, between the reads it came between.
TEST(CaptureRecording, TallydumpWritesAModemRecordPerChangeOfTheLines) {
    const std::string path = TestDir() + "/modem.pcap";
    DumpSession session;
    DumpSessionInit(session, nullptr);
    LiveRecording live;
    std::string error;
    ASSERT_TRUE(LiveRecordingStart(live, session, std::fopen(path.c_str(), "wb"), "ttyS0 115200 8N1", error, 1000))
        << error;
    ModemWatch watch;
    const uint8_t message[] = {0xA1, 0xA1, 0x01, 0x02, 0x03};  // the still store, whole
    EXPECT_EQ(LiveRecordingModem(live, watch, MODEM_CTS | MODEM_DSR, false, 1001),
              MODEM_CODE_FIRST | MODEM_CTS | MODEM_DSR);
    EXPECT_EQ(LiveRecordingModem(live, watch, MODEM_CTS | MODEM_DSR, false, 1002), 0u);
    ASSERT_TRUE(LiveRecordingFeedAt(live, message, sizeof message, 1003));
    EXPECT_EQ(LiveRecordingModem(live, watch, MODEM_CTS | MODEM_DCD, false, 1004),
              (MODEM_CTS | MODEM_DCD) | (MODEM_DSR | MODEM_DCD) << 8);
    EXPECT_EQ(LiveRecordingModem(live, watch, MODEM_CTS | MODEM_DCD, true, 1005),
              MODEM_CODE_BREAK | MODEM_CTS | MODEM_DCD);
    EXPECT_EQ(LiveRecordingModem(live, watch, MODEM_CTS | MODEM_DCD, false, 1006), 0u);
    ASSERT_TRUE(LiveRecordingStop(live, 1007));

    const std::vector<Rec> records = ReadAll(path);
    std::vector<uint8_t> kinds;
    for (const Rec& r : records) kinds.push_back(r.kind);
    ASSERT_EQ(kinds, (std::vector<uint8_t>{RECORD_CONNECT, RECORD_MODEM, RECORD_MESSAGE, RECORD_MODEM, RECORD_MODEM,
                                           RECORD_DISCONNECT}));
    EXPECT_EQ(records[1].timeUs, 1001u);
    EXPECT_EQ(records[1].bytes, (std::vector<uint8_t>{0x30, 0x00, 0x02, 0x00}));  // CTS DSR, first reading
    EXPECT_EQ(records[3].timeUs, 1004u);
    EXPECT_EQ(records[3].bytes, (std::vector<uint8_t>{0x90, 0xA0, 0x00, 0x00}));  // CTS DCD; DSR, DCD changed
    EXPECT_EQ(records[4].bytes, (std::vector<uint8_t>{0x90, 0x00, 0x01, 0x00}));  // a break, no change
}

}  // namespace
