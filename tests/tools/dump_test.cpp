// tallydump's decoding library: JSON of the store, trace lines, summary and
// block-size independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tools/tallydump/dump.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void Feed(DumpSession& session, const std::vector<uint8_t>& bytes) {
    DumpFeed(session, bytes.data(), bytes.size());
}

std::vector<uint8_t> Message(uint8_t type, std::vector<uint8_t> payload) {
    std::vector<uint8_t> out = {type, type};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> NamePayload(uint8_t source, const char* text, const char* nick) {
    std::vector<uint8_t> p(NAME_PAYLOAD, 0);
    p[0] = source;
    for (int i = 0; text[i] && i < NAME_LENGTH; ++i) p[1 + i] = static_cast<uint8_t>(text[i]);
    for (int i = 0; nick[i] && i < NICKNAME_LENGTH; ++i) p[13 + i] = static_cast<uint8_t>(nick[i]);
    return p;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

}  // namespace

TEST(TallyDumpJson, EmptyInputShowsTheInitialContents) {
    DumpSession session;
    DumpSessionInit(session, nullptr);
    const nlohmann::json json = DumpJson(session);

    std::vector<std::string> keys;
    for (auto it = json.begin(); it != json.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"counters", "dirty", "end", "names", "pending", "records", "totals"}));

    const nlohmann::json& c = json["counters"];
    EXPECT_EQ(c.size(), 9u);
    for (const char* key : {"strayByteCount", "unknownTypeCount", "headerMismatchCount",
                            "headerLowByteCount", "payloadErrorCount", "ssCount"})
        EXPECT_EQ(c.at(key), 0) << key;
    EXPECT_EQ(c["meCount"], nlohmann::json(std::vector<int>(4, 0)));
    EXPECT_EQ(c["extCount"], nlohmann::json(std::vector<int>(8, 0)));
    EXPECT_EQ(c["outCount"], nlohmann::json(std::vector<int>(6, 0)));
    EXPECT_EQ(json["dirty"], (nlohmann::json{{"me", 1}, {"ext", 1}, {"ss", 1}, {"out", 1}, {"names", 1}}));
    EXPECT_EQ(json["pending"], 0);

    const nlohmann::json& r = json["records"];
    ASSERT_EQ(r["me"].size(), 4u);
    EXPECT_EQ(r["me"][0], "8181015502aa035504aa05a5065a075a08a509aa0a550baa0c000000");
    EXPECT_EQ(r["me"][3], "8484" + std::string(46, '0') + "000000");
    ASSERT_EQ(r["ext"].size(), 8u);
    EXPECT_EQ(r["ext"][0], "919155" "01aa025a03a504f0050f060c0708090a0b0c0d0e" "00");
    EXPECT_EQ(r["ext"][2], "939301" + std::string(40, '0') + "00");
    EXPECT_EQ(r["ss"], "a1a112255a000000");
    ASSERT_EQ(r["out"].size(), 6u);
    EXPECT_EQ(r["out"][0], "b1b101010221030405060708");
    EXPECT_EQ(r["out"][5], "b6b629062acb2b2c2d2e0000");
    ASSERT_EQ(json["names"].size(), 129u);
    for (const auto& entry : json["names"]) EXPECT_EQ(entry, std::string(68, '0'));
}

TEST(TallyDumpJson, RecordsAndNamesAreWholeEntriesInHex) {
    DumpSession session;
    DumpSessionInit(session, nullptr);
    std::vector<uint8_t> stream;
    Append(stream, Message(0xA1, {0x31, 0x32, 0x7f}));
    Append(stream, Message(0xC1, NamePayload(128, "CAMERA 1", "CAM1")));
    Append(stream, Message(0xC2, NamePayload(128, "HOST", "HST")));
    Append(stream, {0xB2, 0xB2, 0x05});  // incomplete: stays pending
    Feed(session, stream);
    const nlohmann::json json = DumpJson(session);
    EXPECT_EQ(json["records"]["ss"], "a1a131327f000000");
    EXPECT_EQ(json["counters"]["ssCount"], 1);
    // changed, name + 0, nickname (alias's) + 0, alias + 0.
    EXPECT_EQ(json["names"][128], "01" "43414d45524120310000000000" "48535400000000" "484f53540000000000000000" "00");
    EXPECT_EQ(json["pending"], 3);
}

TEST(TallyDumpTrace, EveryKindOfEventReadsAsOneLine) {
    std::vector<uint8_t> stream;
    Append(stream, {0x05, 0x80});                          // 0: two stray bytes
    Append(stream, {0x81, 0x05});                          // 2: header low byte
    Append(stream, {0x81});                                // 4: header mismatch with 0x92
    Append(stream, Message(0x92, std::vector<uint8_t>(21, 0x11)));  // 5: stored EXT 2
    Append(stream, {0xE5, 0xE5});                          // 28: unknown type
    Append(stream, {0xA1, 0xA1, 0xA1, 0x01, 0x02, 0x03});  // 30: payload error, then SS at 31
    Append(stream, Message(0x85, std::vector<uint8_t>(23, 0)));  // 36: ignored
    Append(stream, Message(0xC1, NamePayload(0, "NOBODY", "")));   // 61: ignored name
    Append(stream, Message(0xC1, NamePayload(7, "CAM \"7\"", "C7")));  // 82: stored name
    Append(stream, {0xD1, 0xD1});                          // 103: reset
    Append(stream, {0xB1, 0xB1, 0x01, 0x02});              // 105: pending at the end

    std::ostringstream trace;
    DumpSession session;
    DumpSessionInit(session, &trace);
    // Fed in awkward blocks: the lines must not depend on them.
    for (size_t i = 0; i < stream.size(); i += 5)
        DumpFeed(session, stream.data() + i, std::min<size_t>(5, stream.size() - i));
    const std::vector<std::string> lines = Lines(trace.str());
    const std::vector<std::string> expected = {
        "         0  stray byte                        05",
        "         1  stray byte                        80",
        "         2  header low byte                   81 05",
        "         4  header mismatch                   81 92",
        "         5  stored EXT 2                      92 92 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 "
        "11 11 11 11",
        "        28  unknown type 0xe5                 e5 e5",
        "        30  payload error in SS               a1 a1 a1",
        "        31  stored SS                         a1 a1 01 02 03",
        "        36  ignored type 0x85                 85 85 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00",
        "        61  ignored NAME for source 0         c1 c1 00 4e 4f 42 4f 44 59 00 00 00 00 00 00 00 00 00 00 "
        "00 00",
        "        82  stored NAME 7 \"CAM \\x227\\x22\" \"C7\" c1 c1 07 43 41 4d 20 22 37 22 00 00 00 00 00 43 37 "
        "00 00 00 00",
        "       103  counters reset                    d1 d1",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(FrameParserPending(*session.parser), 4);
}

TEST(TallyDumpTrace, LongRunsAreCutAndTimeStampsPrefixLines) {
    FrameEvent event{};
    std::vector<uint8_t> bytes(100, 0x42);
    event.kind = FRAME_BYTES_DROPPED;
    event.offset = 12345;
    event.bytes = bytes.data();
    event.length = 100;
    const std::string line = FormatTraceEvent(event);
    EXPECT_NE(line.find("     12345  bytes dropped"), std::string::npos) << line;
    EXPECT_NE(line.find("... (100 bytes)"), std::string::npos) << line;
    EXPECT_LT(line.size(), 200u);

    static int64_t now = 0;
    std::ostringstream trace;
    DumpSession session;
    DumpSessionInit(session, &trace);
    session.clockMs = [] { return now; };
    session.traceTime = TRACE_TIME_START;
    session.traceStartMs = 1000;
    now = 1250;
    const uint8_t stray = 0x10;
    DumpFeed(session, &stray, 1);
    EXPECT_EQ(trace.str(), "     250 ms           0  stray byte                        10\n");
}

TEST(TallyDumpSummary, CountsMessagesErrorsAndPending) {
    DumpSession session;
    DumpSessionInit(session, nullptr);
    std::vector<uint8_t> stream;
    Append(stream, Message(0x83, std::vector<uint8_t>(23, 1)));
    Append(stream, Message(0x83, std::vector<uint8_t>(23, 2)));
    Append(stream, {0x00, 0xF0, 0xF0, 0x81, 0x81});
    Feed(session, stream);
    const std::string summary = DumpSummary(session);
    EXPECT_NE(summary.find("55 bytes decoded"), std::string::npos) << summary;
    EXPECT_NE(summary.find("  ME 3            2\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("  ME   0 0 2 0\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("stray bytes 1, unknown types 1, header mismatches 0"), std::string::npos) << summary;
    EXPECT_NE(summary.find("pending 2 bytes"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("ME 1 "), std::string::npos) << "types never seen are left out";
}

TEST(TallyDumpSummary, AFeedOfNearlyAllStrayBytesIsCalledOutAndAFaultyFeedIsNot) {
    // A saved history (text) fed by mistake: every byte is stray.
    const std::string text = "time\tevent\ttype\tbytes\tdetails\n2026-12-08T14:03:22.117\tstray\t\t0000\t2 stray bytes\n";
    DumpSession wrong;
    DumpSessionInit(wrong, nullptr);
    std::vector<uint8_t> bytes;
    while (bytes.size() < 2000) bytes.insert(bytes.end(), text.begin(), text.end());
    Feed(wrong, bytes);
    const std::string warning = DumpSuspectWarning(wrong, "history.tsv");
    EXPECT_NE(warning.find("tallydump: warning: history.tsv: "), std::string::npos) << warning;
    EXPECT_NE(warning.find("(100 %) are stray bytes"), std::string::npos) << warning;
    EXPECT_NE(warning.find("(wrong file, or wrong baud rate?)\n"), std::string::npos) << warning;

    // A feed with faults but mostly messages, and one too short to judge.
    DumpSession faulty;
    DumpSessionInit(faulty, nullptr);
    std::vector<uint8_t> stream;
    for (int i = 0; i < 20; ++i) {
        Append(stream, Message(0x83, std::vector<uint8_t>(23, static_cast<uint8_t>(i))));
        Append(stream, {0x00, 0x01, 0x02});
    }
    Feed(faulty, stream);
    EXPECT_EQ(DumpSuspectWarning(faulty, "feed.bin"), "");
    DumpSession shortText;
    DumpSessionInit(shortText, nullptr);
    Feed(shortText, std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(DumpSuspectWarning(shortText, "x"), "") << "under 256 bytes: too little to say";
}

TEST(TallyDumpStream, BlockSizeDoesNotChangeTheResult) {
    std::vector<uint8_t> stream;
    for (int i = 0; i < 300; ++i) {
        Append(stream, Message(static_cast<uint8_t>(0x91 + i % 8), std::vector<uint8_t>(21, uint8_t(i % 0x80))));
        if (i % 7 == 0) Append(stream, {0x81, 0x81, 0x81});      // payload error, then an ME 1 starts
        if (i % 11 == 0) Append(stream, {0x03, 0xB1, 0x22});     // stray, header low byte
    }
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fwrite(stream.data(), 1, stream.size(), file);
    std::string reference;
    for (size_t block : {size_t(1), size_t(7), size_t(24), size_t(25), size_t(6000)}) {
        std::rewind(file);
        std::ostringstream out, err;
        ASSERT_EQ(DumpStream(file, "test", block, DUMP_JSON, TRACE_TIME_NONE, out, err), 0);
        EXPECT_EQ(err.str(), "");
        if (reference.empty()) reference = out.str();
        EXPECT_EQ(out.str(), reference) << "block " << block;
    }
    std::fclose(file);
    const nlohmann::json json = nlohmann::json::parse(reference);
    EXPECT_GT(json["counters"]["payloadErrorCount"].get<int>(), 0);
    EXPECT_GT(json["counters"]["headerLowByteCount"].get<int>(), 0);
}

TEST(TallyDumpJson, CountersRoundTripAndRejectMalformed) {
    TallyCounterValues c{};
    c.strayByteCount = 1;
    c.payloadErrorCount = 4000000000u;
    c.meCount[3] = 7;
    c.extCount[7] = 8;
    c.ssCount = 9;
    c.outCount[5] = 10;
    TallyCounterValues back{};
    ASSERT_TRUE(CountersFromJson(CountersToJson(c), back));
    EXPECT_EQ(CountersToJson(back), CountersToJson(c));
    EXPECT_EQ(back.payloadErrorCount, 4000000000u);

    nlohmann::json broken = CountersToJson(c);
    broken["meCount"] = {1, 2, 3};
    EXPECT_FALSE(CountersFromJson(broken, back));
    broken = CountersToJson(c);
    broken.erase("ssCount");
    EXPECT_FALSE(CountersFromJson(broken, back));
    EXPECT_FALSE(CountersFromJson(nlohmann::json::array(), back));
}

TEST(TallyDumpTotals, ACounterResetDoesNotHideErrorsSinceStart) {
    // 5 stray bytes, an unknown type, a reset, 3 stray bytes, a header low
    // byte, a full ME 1: the store shows only what came after the reset.
    std::vector<uint8_t> stream = {1, 2, 3, 4, 5, 0xF0, 0xF0, MSG_RESET_COUNTERS, MSG_RESET_COUNTERS,
                                   6, 7, 8, 0x81, 0x10};
    Append(stream, Message(0x81, std::vector<uint8_t>(ME_PAYLOAD, 1)));
    for (size_t block : {size_t(1), size_t(3), stream.size()}) {
        DumpSession session;
        DumpSessionInit(session, nullptr);
        for (size_t i = 0; i < stream.size(); i += block)
            DumpFeed(session, stream.data() + i, std::min(block, stream.size() - i));
        const nlohmann::json json = DumpJson(session);
        SCOPED_TRACE("block " + std::to_string(block));
        EXPECT_EQ(json["counters"]["strayByteCount"], 3);
        EXPECT_EQ(json["counters"]["unknownTypeCount"], 0);
        EXPECT_EQ(json["totals"]["strayByteCount"], 8);
        EXPECT_EQ(json["totals"]["unknownTypeCount"], 1);
        EXPECT_EQ(json["totals"]["headerLowByteCount"], 1);
        EXPECT_EQ(json["totals"]["resets"], 1);
        EXPECT_EQ(json["totals"]["messages"], 1);
        EXPECT_EQ(json["totals"]["bytes"], stream.size());
        EXPECT_EQ(DumpFramingErrors(session), 4u);
        EXPECT_EQ(DumpFramingTotal(session), 10u);
        const std::string summary = DumpSummary(session);
        EXPECT_NE(summary.find("errors: stray bytes 3, unknown types 0, header mismatches 0, header low bytes 1"),
                  std::string::npos)
            << summary;
        EXPECT_NE(summary.find("errors since start: stray bytes 8, unknown types 1, header mismatches 0, "
                               "header low bytes 1, payload errors 0"),
                  std::string::npos)
            << summary;
    }
}

TEST(TallyDumpTrace, WallClockIsIso8601WithMillisecondsAndTheZoneOffset) {
    const char* saved = std::getenv("TZ");
    const std::string restore = saved ? saved : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(WallClockText(0), "1970-01-01T00:00:00.000+00:00");
    EXPECT_EQ(WallClockText(1796722863123), "2026-12-08T09:41:03.123+00:00");
    setenv("TZ", "IST-5:30", 1);  // POSIX sign: east of UTC
    tzset();
    EXPECT_EQ(WallClockText(1796722863123), "2026-12-08T15:11:03.123+05:30");
    setenv("TZ", "NST3:30", 1);
    tzset();
    EXPECT_EQ(WallClockText(1796722863999), "2026-12-08T06:11:03.999-03:30");
    if (saved) setenv("TZ", restore.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}
