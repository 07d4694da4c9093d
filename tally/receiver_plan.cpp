// The receiver's choice of wait; see receiver_plan.h.
#include "tally/receiver_plan.h"

void ReceiverPlanStart(ReceiverPlan& plan) {
    plan.waitFailures = 0;
    plan.gotData = false;
    plan.readAgain = false;
}

bool ReceiverPlanUsesEvents(const ReceiverPlan& plan) {
    return plan.waitFailures < RECEIVER_WAIT_FAILURES_TO_GIVE_UP;
}

ReceiverStep ReceiverPlanNext(const ReceiverPlan& plan) {
    if (plan.readAgain) return RECEIVER_READ_NOW;
    if (ReceiverPlanUsesEvents(plan)) return RECEIVER_WAIT_EVENT;
    return plan.gotData ? RECEIVER_READ_AFTER_PAUSE : RECEIVER_READ_WAITING;
}

void ReceiverPlanWaited(ReceiverPlan& plan, bool waitFailed) {
    // Once given up, the wait is not tried again on this connection.
    if (!ReceiverPlanUsesEvents(plan)) return;
    plan.waitFailures = waitFailed ? plan.waitFailures + 1 : 0;
}

void ReceiverPlanRead(ReceiverPlan& plan, int count, int maximum) {
    plan.gotData = count > 0;
    plan.readAgain = count > 0 && (count >= maximum || count >= RECEIVER_READ_AGAIN_BYTES);
}
