// The receiver's choice of wait: port events while they work, waiting reads
// where they keep failing, and the queue at short pauses while bytes flow.
#include "tally/receiver_plan.h"

#include <gtest/gtest.h>

namespace {

constexpr int SIZE = 6000;

TEST(ReceiverPlan, KeepsWaitingForEventsWhileTheWaitWorks) {
    ReceiverPlan plan;
    ReceiverPlanStart(plan);
    for (int pass = 0; pass < 50; ++pass) {
        ASSERT_EQ(ReceiverPlanNext(plan), RECEIVER_WAIT_EVENT) << pass;
        // A failure now and then (a line error aborting the wait) is not a
        // driver that cannot wait.
        ReceiverPlanWaited(plan, pass % 3 == 2);
        ReceiverPlanRead(plan, pass % 2 ? 25 : 0, SIZE);
    }
    EXPECT_TRUE(ReceiverPlanUsesEvents(plan));
}

TEST(ReceiverPlan, GivesUpTheWaitAfterConsecutiveFailuresOnly) {
    ReceiverPlan plan;
    ReceiverPlanStart(plan);
    for (int i = 1; i < RECEIVER_WAIT_FAILURES_TO_GIVE_UP; ++i) {
        ReceiverPlanWaited(plan, true);
        ReceiverPlanRead(plan, 0, SIZE);
        ASSERT_EQ(ReceiverPlanNext(plan), RECEIVER_WAIT_EVENT) << i << " failures";
    }
    ReceiverPlanWaited(plan, false);  // a wait that works starts the count again
    for (int i = 1; i < RECEIVER_WAIT_FAILURES_TO_GIVE_UP; ++i) ReceiverPlanWaited(plan, true);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_WAIT_EVENT);
    ReceiverPlanWaited(plan, true);
    EXPECT_FALSE(ReceiverPlanUsesEvents(plan));
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_WAITING);
    // Given up for the rest of the connection, whatever is reported later.
    ReceiverPlanWaited(plan, false);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_WAITING);
}

TEST(ReceiverPlan, WithoutEventsSleepsInTheReadWhenIdleAndPausesWhileBytesFlow) {
    ReceiverPlan plan;
    ReceiverPlanStart(plan);
    for (int i = 0; i < RECEIVER_WAIT_FAILURES_TO_GIVE_UP; ++i) ReceiverPlanWaited(plan, true);
    ReceiverPlanRead(plan, 0, SIZE);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_WAITING);
    ReceiverPlanRead(plan, 1, SIZE);  // one byte: the stream has started
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_AFTER_PAUSE);
    ReceiverPlanRead(plan, 25, SIZE);  // one message since the pause
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_AFTER_PAUSE);
    ReceiverPlanRead(plan, 0, SIZE);  // the line went quiet
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_WAITING);
}

TEST(ReceiverPlan, ALargeReadIsFollowedByAnImmediateReadInEitherMode) {
    ReceiverPlan plan;
    ReceiverPlanStart(plan);
    ReceiverPlanRead(plan, SIZE, SIZE);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_NOW) << "full buffer";
    ReceiverPlanRead(plan, RECEIVER_READ_AGAIN_BYTES - 1, SIZE);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_WAIT_EVENT);
    ReceiverPlanRead(plan, RECEIVER_READ_AGAIN_BYTES, SIZE);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_NOW);
    ReceiverPlanRead(plan, 100, 100);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_NOW) << "a small buffer filled";
    ReceiverPlanRead(plan, 0, SIZE);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_WAIT_EVENT);

    for (int i = 0; i < RECEIVER_WAIT_FAILURES_TO_GIVE_UP; ++i) ReceiverPlanWaited(plan, true);
    ReceiverPlanRead(plan, SIZE, SIZE);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_NOW);
    ReceiverPlanRead(plan, RECEIVER_READ_AGAIN_BYTES, SIZE);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_NOW);
    ReceiverPlanRead(plan, RECEIVER_READ_AGAIN_BYTES - 1, SIZE);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_AFTER_PAUSE);
    ReceiverPlanRead(plan, 0, SIZE);
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_READ_WAITING);
}

TEST(ReceiverPlan, ANewConnectionWaitsForEventsAgain) {
    ReceiverPlan plan;
    ReceiverPlanStart(plan);
    for (int i = 0; i < RECEIVER_WAIT_FAILURES_TO_GIVE_UP; ++i) ReceiverPlanWaited(plan, true);
    ReceiverPlanRead(plan, SIZE, SIZE);
    ReceiverPlanStart(plan);
    EXPECT_TRUE(ReceiverPlanUsesEvents(plan));
    EXPECT_EQ(ReceiverPlanNext(plan), RECEIVER_WAIT_EVENT);
}

}  // namespace
