// Detect Settings: the scorer on byte streams, the software UART against
// itself, and the scan through the model port on every rate and format.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "detect/scan.h"
#include "detect/score.h"
#include "tests/support/tally_test_util.h"
#include "tests/support/uart_model.h"

namespace {

Bytes CleanFeed(int messages) {
    Bytes feed;
    for (int i = 0; i < messages; ++i) {
        switch (i % 3) {
        case 0: feed = feed + Message(0x81, LowPayload(ME_PAYLOAD, static_cast<uint8_t>(i))); break;
        case 1: feed = feed + Message(0xA1, LowPayload(SS_PAYLOAD)); break;
        default: feed = feed + Message(0xB2, LowPayload(OUT_PAYLOAD, 9)); break;
        }
    }
    return feed;
}

std::string Text(const DetectSetting& s) {
    char text[32];
    DetectSettingText(s, text, sizeof text);
    return text;
}

DetectSetting Setting(long baud, int dataBits, char parity, int stopBits) {
    DetectSetting s = {baud, dataBits, parity, stopBits};
    return s;
}

}  // namespace

// ---- Scorer -------------------------------------------------------------------

TEST(DetectScore, CleanFeedJoinedMidMessageFramesFully) {
    // The tail of a message the listen joined in, 20 messages, and the start
    // of one that the listen ended in: neither end counts against the feed.
    const Bytes feed = LowPayload(12) + CleanFeed(20) + Bytes{0x91, 0x91, 0x01, 0x02};
    const DetectScore s = DetectScoreBytes(feed.data(), feed.size(), 0);
    EXPECT_EQ(s.heard, DETECT_HEARD);
    EXPECT_EQ(s.messages, 20u);
    EXPECT_EQ(s.framedBytes, static_cast<uint32_t>(CleanFeed(20).size()));
    EXPECT_DOUBLE_EQ(s.framedShare, 1.0);
    EXPECT_DOUBLE_EQ(s.score, 1.0);
    EXPECT_DOUBLE_EQ(s.confidence, 1.0);
    EXPECT_TRUE(DetectIsClean(s));
}

TEST(DetectScore, LeadInIsForgivenUpToOneMessageOnly) {
    const Bytes shortLead = LowPayload(DETECT_LEAD_IN_BYTES) + CleanFeed(6);
    EXPECT_DOUBLE_EQ(DetectScoreBytes(shortLead.data(), shortLead.size(), 0).framedShare, 1.0);
    // Junk beyond one message's length before the first message is junk.
    const Bytes longLead = LowPayload(DETECT_LEAD_IN_BYTES + 40) + CleanFeed(6);
    const DetectScore s = DetectScoreBytes(longLead.data(), longLead.size(), 0);
    EXPECT_EQ(s.scoredBytes, s.framedBytes + 40);
    EXPECT_LT(s.framedShare, 0.8);
}

TEST(DetectScore, FaultsAndLineErrorsCutTheScore) {
    // Stray bytes between messages after the first one count.
    Bytes faulty = CleanFeed(10);
    const uint32_t framed = static_cast<uint32_t>(faulty.size());
    faulty = faulty + LowPayload(20) + CleanFeed(1);
    const DetectScore f = DetectScoreBytes(faulty.data(), faulty.size(), 0);
    EXPECT_EQ(f.scoredBytes, f.framedBytes + 20);
    EXPECT_GT(f.framedBytes, framed);
    EXPECT_LT(f.score, 1.0);

    // Intact bytes with a line error on every fourth: a wrong parity or stop
    // setting looks like this. It must not convince.
    const Bytes feed = CleanFeed(30);
    const uint32_t errors = static_cast<uint32_t>(feed.size() / 4);
    const DetectScore wrong = DetectScoreBytes(feed.data(), feed.size(), errors);
    EXPECT_DOUBLE_EQ(wrong.framedShare, 1.0);
    EXPECT_LT(wrong.score, DETECT_CONVINCING_SCORE);
    EXPECT_FALSE(DetectIsConvincing(wrong));
    // One error in a long listen (a glitch) still convinces but is not clean.
    const DetectScore glitch = DetectScoreBytes(feed.data(), feed.size(), 1);
    EXPECT_TRUE(DetectIsConvincing(glitch));
    EXPECT_FALSE(DetectIsClean(glitch));
}

TEST(DetectScore, RandomBytesDoNotFrame) {
    ModelRandom rng = {12345};
    Bytes noise(4000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng.Below(256));
    const DetectScore s = DetectScoreBytes(noise.data(), noise.size(), 0);
    EXPECT_LT(s.score, 0.2);
    EXPECT_DOUBLE_EQ(s.confidence, 1.0);
    EXPECT_FALSE(DetectIsConvincing(s));
}

TEST(DetectScore, SilenceIsNoDataAndFewBytesAreUnsure) {
    const DetectScore silent = DetectScoreBytes(nullptr, 0, 0);
    EXPECT_EQ(silent.heard, DETECT_NO_DATA);
    EXPECT_DOUBLE_EQ(silent.confidence, 0.0);
    const DetectScore errorsOnly = DetectScoreBytes(nullptr, 0, 3);
    EXPECT_EQ(errorsOnly.heard, DETECT_HEARD);
    const Bytes one = CleanFeed(1);
    const DetectScore few = DetectScoreBytes(one.data(), one.size(), 0);
    EXPECT_LT(few.confidence, 1.0);
    EXPECT_FALSE(DetectIsConvincing(few));  // one message proves nothing
}

// ---- The software UART ----------------------------------------------------------

namespace {

// Sends for `seconds` at one setting from time 0 and receives at another.
struct Link {
    std::vector<uint8_t> sent, received;
    uint32_t errors = 0;
};
Link RunLink(const DetectSetting& tx, const DetectSetting& rx, double load, double seconds) {
    Link link;
    ModelSender sender(tx, load, 3, false);
    sender.log = &link.sent;
    ModelReceiver receiver;
    receiver.setting = rx;
    receiver.Receive(sender, seconds, link.received, link.errors, 1u << 20);
    link.sent.resize(std::min(link.sent.size(), link.received.size()));
    return link;
}

}  // namespace

TEST(UartModel, MatchingSettingsDeliverEveryByteWithoutError) {
    for (const DetectSetting& s : {Setting(9600, 8, 'N', 1), Setting(115200, 8, 'E', 1), Setting(300, 8, 'O', 1),
                                   Setting(256000, 8, 'N', 2)}) {
        const Link link = RunLink(s, s, 1.0, 2000.0 * 11 / s.baud);
        EXPECT_GE(link.received.size(), 150u) << Text(s);
        EXPECT_EQ(link.received, link.sent) << Text(s);
        EXPECT_EQ(link.errors, 0u) << Text(s);
    }
}

TEST(UartModel, FormatMismatchesShowAsLineErrors) {
    // 8E1 read as 8N1: the data bits are right, the parity bit is taken for
    // the stop bit and is 0 about half the time.
    Link link = RunLink(Setting(9600, 8, 'E', 1), Setting(9600, 8, 'N', 1), 1.0, 0.5);
    EXPECT_EQ(link.received, link.sent);
    EXPECT_GT(link.errors, link.received.size() / 4);
    EXPECT_LT(link.errors, link.received.size() * 3 / 4);
    // 8O1 read as 8E1: every parity bit is wrong.
    link = RunLink(Setting(9600, 8, 'O', 1), Setting(9600, 8, 'E', 1), 1.0, 0.5);
    EXPECT_EQ(link.received, link.sent);
    EXPECT_EQ(link.errors, link.received.size());
    // Two stop bits read with one: nothing to notice (only the first is checked).
    link = RunLink(Setting(9600, 8, 'N', 2), Setting(9600, 8, 'N', 1), 1.0, 0.5);
    EXPECT_EQ(link.received, link.sent);
    EXPECT_EQ(link.errors, 0u);
    // Twice the rate: bytes and framing go wrong.
    link = RunLink(Setting(9600, 8, 'N', 1), Setting(19200, 8, 'N', 1), 1.0, 0.5);
    EXPECT_NE(link.received, link.sent);
    EXPECT_GT(link.errors, 20u);
}

// ---- The scan --------------------------------------------------------------------

namespace {

// The port starts at a setting that is none of the answers.
DetectVerdict RunScan(ModelPort& port, DetectOutcome& outcome) {
    return DetectScan(port.Port(), nullptr, 0, DetectLimits(), outcome);
}
const DetectSetting START = {4800, 7, 'O', 1};

}  // namespace

TEST(DetectScan, RightSettingWinsAtEveryRateAndFormat) {
    // 8N2 is received without error by 8N1 (a UART checks one stop bit), so
    // for an 8N2 sender 8N1 at the same rate is as right as 8N2.
    const DetectSetting formats[] = {Setting(0, 8, 'N', 1), Setting(0, 8, 'E', 1), Setting(0, 8, 'O', 1),
                                     Setting(0, 8, 'N', 2)};
    const double loads[] = {1.0, 0.3};
    int runs = 0, right = 0;
    long worstMs = 0;
    std::string worst;
    static DetectOutcome outcome;
    for (long rate : detectRates)
        for (const DetectSetting& format : formats)
            for (double load : loads) {
                DetectSetting tx = format;
                tx.baud = rate;
                DetectSetting oneStop = tx;
                oneStop.stopBits = 1;
                ModelSender sender(tx, load, static_cast<uint64_t>(rate) + runs);
                ModelPort port(&sender, START);
                const DetectVerdict verdict = RunScan(port, outcome);
                ++runs;
                const bool ok = verdict == DETECT_FOUND &&
                                (DetectSettingEqual(outcome.results[outcome.best].setting, tx) ||
                                 DetectSettingEqual(outcome.results[outcome.best].setting, oneStop));
                right += ok;
                EXPECT_TRUE(ok) << "sent " << Text(tx) << " load " << load << ": verdict " << verdict
                                << " best " << (outcome.best >= 0 ? Text(outcome.results[outcome.best].setting) : "-");
                if (outcome.elapsedMs > worstMs) {
                    worstMs = outcome.elapsedMs;
                    worst = Text(tx) + (load < 1 ? " at 30 % load" : " continuous");
                }
            }
    std::printf("[ figures  ] detect on the UART model: right %d of %d; longest scan %.1f s simulated (%s)\n",
                right, runs, worstMs / 1000.0, worst.c_str());
}

TEST(DetectScan, SilentLineSaysNoDataAndRestores) {
    ModelSilence silence;
    static DetectOutcome outcome;
    ModelPort port(&silence, START);
    EXPECT_EQ(RunScan(port, outcome), DETECT_SILENT);
    EXPECT_EQ(outcome.best, -1);
    EXPECT_GE(outcome.elapsedMs, DetectLimits().silenceMs);
    EXPECT_EQ(port.restores, 1);
    EXPECT_TRUE(DetectSettingEqual(port.receiver.setting, port.original));
    std::printf("[ figures  ] silent line: verdict after %.1f s simulated, %d candidates\n",
                outcome.elapsedMs / 1000.0, outcome.count);
}

TEST(DetectScan, NoiseConvincesNothingAndRestores) {
    ModelNoise noise(5);
    static DetectOutcome outcome;
    ModelPort port(&noise, START);
    EXPECT_EQ(RunScan(port, outcome), DETECT_NOT_CONVINCING);
    EXPECT_EQ(outcome.count, DETECT_CANDIDATE_COUNT);
    ASSERT_GE(outcome.best, 0);
    EXPECT_FALSE(DetectIsConvincing(outcome.results[outcome.best].score));
    EXPECT_EQ(port.restores, 1);
    EXPECT_TRUE(DetectSettingEqual(port.receiver.setting, port.original));
    char text[128];
    DetectVerdictText(outcome, text, sizeof text);
    EXPECT_EQ(std::string(text).rfind("No setting convinces", 0), 0u) << text;
    std::printf("[ figures  ] noise-only line: all %d candidates in %.1f s simulated\n", outcome.count,
                outcome.elapsedMs / 1000.0);
}

TEST(DetectScan, CancelLeavesThePortAsItWas) {
    ModelSender sender(Setting(110, 8, 'E', 1), 1.0, 9);  // far down the list
    ModelPort port(&sender, Setting(19200, 8, 'N', 1));
    port.cancelAfterListens = 7;
    static DetectOutcome outcome;
    EXPECT_EQ(DetectScan(port.Port(), nullptr, 0, DetectLimits(), outcome), DETECT_CANCELLED);
    EXPECT_LT(outcome.count, outcome.total);
    EXPECT_EQ(port.listens, 7);
    EXPECT_EQ(port.restores, 1);
    EXPECT_TRUE(DetectSettingEqual(port.receiver.setting, port.original));
}

TEST(DetectScan, RefusedSettingIsSkippedAndWinnerIsLeftApplied) {
    ModelSender sender(Setting(9600, 8, 'O', 1), 0.5, 4);
    ModelPort port(&sender, Setting(19200, 8, 'N', 1));
    port.refuseBaud = 115200;
    static DetectOutcome outcome;
    ASSERT_EQ(DetectScan(port.Port(), nullptr, 0, DetectLimits(), outcome), DETECT_FOUND);
    for (int i = 0; i < DETECT_FORMAT_COUNT; ++i) {
        EXPECT_EQ(outcome.results[i].applied, 0);
        EXPECT_EQ(outcome.results[i].score.heard, DETECT_NO_DATA);
    }
    EXPECT_EQ(port.restores, 0);
    EXPECT_EQ(Text(port.receiver.setting), "9600 8O1");
    ASSERT_GE(outcome.runnerUp, 0);
    EXPECT_LT(outcome.results[outcome.runnerUp].score.score, outcome.results[outcome.best].score.score);
    char text[128];
    DetectVerdictText(outcome, text, sizeof text);
    EXPECT_EQ(std::string(text), "9600 8O1 \xE2\x80\x94 100 % of bytes framed");
}
