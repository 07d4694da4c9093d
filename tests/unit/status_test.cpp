// The status bar's texts through the link states and the message rate.
#include "serial/status_core.h"

#include <gtest/gtest.h>

namespace {

TEST(StatusPortText, WritesThePortAsAnEngineerDoes) {
    EXPECT_EQ(StatusPortText(1, 115200, 8, 0, 0), "COM1 115200 8N1");
    EXPECT_EQ(StatusPortText(4, 9600, 7, 2, 2), "COM4 9600 7E2");
    EXPECT_EQ(StatusPortText(2, 300, 5, 1, 1), "COM2 300 5O1.5");
    EXPECT_EQ(StatusPortText(3, 19200, 8, 3, 0), "COM3 19200 8M1");
    EXPECT_EQ(StatusPortText(3, 19200, 8, 4, 0), "COM3 19200 8S1");
    EXPECT_EQ(StatusPortText(1, 1200, 8, 9, 7), "COM1 1200 8??") << "unknown codes stay visible";
}

StatusInput At(uint32_t now, bool connected, uint64_t bytes, uint32_t lastByte, uint64_t messages = 0) {
    return StatusInput{connected, bytes, lastByte, now, messages, 0, 0};
}

TEST(StatusTracker, LinkStateFollowsConnectDataAndSilence) {
    StatusTracker t;
    EXPECT_EQ(t.Update(At(1000, false, 0, 0)).link, "Disconnected");
    EXPECT_EQ(t.Update(At(1500, true, 0, 0)).link, "Connected, no data yet");
    EXPECT_EQ(t.Update(At(2000, true, 25, 1900)).link, "Receiving");
    EXPECT_EQ(t.Update(At(3900, true, 25, 1900)).link, "Receiving") << "2 s is not yet silence";
    EXPECT_EQ(t.Update(At(3901, true, 25, 1900)).link, "Silent 2 s");
    EXPECT_EQ(t.Update(At(13950, true, 25, 1900)).link, "Silent 12 s");
    EXPECT_EQ(t.Update(At(14000, true, 50, 13990)).link, "Receiving");
    EXPECT_EQ(t.Update(At(14500, false, 50, 13990)).link, "Disconnected");
    // The port layer restarts the byte count at each connect.
    EXPECT_EQ(t.Update(At(20000, true, 0, 13990)).link, "Connected, no data yet");
    EXPECT_EQ(t.Update(At(20500, true, 3, 20400)).link, "Receiving");
    // Bytes that arrived between a connect and the first tick after it are
    // data, not "no data yet", and silence after them is still reported.
    t.Update(At(21000, false, 3, 20400));
    EXPECT_EQ(t.Update(At(21500, true, 40, 21300)).link, "Receiving");
    EXPECT_EQ(t.Update(At(25000, true, 40, 21300)).link, "Silent 3 s");
}

TEST(StatusTracker, ALostPortIsShownUntilTheNextConnect) {
    StatusTracker t;
    StatusInput in = At(1000, false, 40, 900);
    in.portLost = true;
    EXPECT_EQ(t.Update(in).link, "Port lost");
    EXPECT_EQ(t.Update(At(1500, false, 40, 900)).link, "Disconnected");
    in = At(2000, true, 0, 0);
    in.portLost = true;  // reconnected: the connection wins
    EXPECT_EQ(t.Update(in).link, "Connected, no data yet");
}

TEST(StatusTracker, SilenceSurvivesTheTickCounterWrapping) {
    StatusTracker t;
    t.Update(At(0xFFFFFF00u, true, 0, 0));
    EXPECT_EQ(t.Update(At(0xFFFFFF80u, true, 10, 0xFFFFFF70u)).link, "Receiving");
    EXPECT_EQ(t.Update(At(0x00000100u, true, 10, 0xFFFFFF70u)).link, "Receiving");
    EXPECT_EQ(t.Update(At(0x00001000u, true, 10, 0xFFFFFF70u)).link, "Silent 4 s");
}

TEST(StatusTracker, RateIsMeasuredOverTheLastFewSeconds) {
    StatusTracker t;
    EXPECT_EQ(t.Update(At(0, true, 0, 0, 0)).rate, STATUS_NO_RATE) << "nothing arrived yet";
    EXPECT_EQ(t.Update(At(500, true, 0, 0, 5)).rate, "10.0 msg/s");
    EXPECT_EQ(t.Update(At(1000, true, 0, 0, 10)).rate, "10.0 msg/s");
    // Traffic stops; the rate falls as the window moves past the burst, and
    // 2 s after the last message it is a dash rather than a decaying figure.
    uint32_t now = 1000;
    std::string rate;
    for (int i = 0; i < 2; ++i) rate = t.Update(At(now += 500, true, 0, 0, 10)).rate;
    EXPECT_EQ(rate, "5.0 msg/s") << "10 messages in a 2 s window";
    for (int i = 0; i < 2; ++i) rate = t.Update(At(now += 500, true, 0, 0, 10)).rate;
    EXPECT_EQ(rate, "3.3 msg/s") << "still shown 2 s after the last message";
    EXPECT_EQ(t.Update(At(now += 500, true, 0, 0, 10)).rate, STATUS_NO_RATE);
    EXPECT_EQ(std::string(STATUS_NO_RATE), "\xE2\x80\x94 msg/s");
    EXPECT_EQ(t.Update(At(now += 500, true, 0, 0, 14)).rate, "3.5 msg/s") << "a message brings the figure back";
}

TEST(StatusTracker, RateSurvivesACounterResetAndIgnoresEarlierTotals) {
    StatusTracker t;
    EXPECT_EQ(t.Update(At(0, true, 0, 0, 500)).rate, STATUS_NO_RATE);
    EXPECT_EQ(t.Update(At(1000, true, 0, 0, 500)).rate, STATUS_NO_RATE) << "messages from before the first look";
    EXPECT_EQ(t.Update(At(2000, true, 0, 0, 520)).rate, "10.0 msg/s");
    // A reset message zeroes the counters; 4 messages came after it.
    EXPECT_EQ(t.Update(At(3000, true, 0, 0, 4)).rate, "8.0 msg/s") << "24 messages in 3 s";
    EXPECT_EQ(t.Update(At(4000, true, 0, 0, 10)).rate, "7.5 msg/s") << "30 messages in 4 s";
}

TEST(StatusTracker, RateStartsAgainAtAJumpOrReconnectAndResetsAreReported) {
    StatusTracker t;
    t.Update(At(0, true, 0, 0, 0));
    EXPECT_EQ(t.Update(At(1000, true, 0, 0, 10)).rate, "10.0 msg/s");
    // A replay's jump delivers 50,000 messages at once with a new epoch: no
    // figure until messages arrive again, then only theirs count.
    StatusInput jump = At(1500, true, 0, 0, 50010);
    jump.epoch = 1;
    const StatusTexts atJump = t.Update(jump);
    EXPECT_TRUE(atJump.epochChanged);
    EXPECT_FALSE(atJump.countersReset);
    EXPECT_EQ(atJump.rate, STATUS_NO_RATE);
    StatusInput after = At(2500, true, 0, 0, 50030);
    after.epoch = 1;
    const StatusTexts next = t.Update(after);
    EXPECT_FALSE(next.epochChanged);
    EXPECT_EQ(next.rate, "20.0 msg/s") << "20 messages in the 1 s since the jump";
    // A reset message (or Reset Counters) takes the counts down.
    StatusInput reset = At(3000, true, 0, 0, 2);
    reset.epoch = 1;
    EXPECT_TRUE(t.Update(reset).countersReset);
}

TEST(StatusTracker, FiguresAreShownAsCounted) {
    StatusTracker t;
    StatusInput in{true, 123456789012ull, 0, 0, 0, 7, 3};
    StatusTexts s = t.Update(in);
    EXPECT_EQ(s.bytes, "123456789012 bytes");
    EXPECT_EQ(s.framing, "Framing errors 7");
    EXPECT_EQ(s.line, "Line errors 3");
}

}  // namespace
