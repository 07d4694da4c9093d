// How the receiver thread waits for data, decided from what its waits for
// port events and its reads returned. Portable, so the choice is unit-tested.
//
// Where the wait for EV_RXCHAR works it is used for every read. A driver that
// fails it again and again (Wine on a pseudo-terminal, some USB adapters)
// gets reads instead that sleep in the driver until the first byte comes;
// while bytes keep arriving the queue is taken at short pauses, so that a
// full-rate feed costs a few large reads rather than one per message.
#pragma once

// Consecutive failed waits after which the receiver stops asking for port
// events on this connection.
constexpr int RECEIVER_WAIT_FAILURES_TO_GIVE_UP = 3;

enum ReceiverStep {
    RECEIVER_WAIT_EVENT,       // wait for EV_RXCHAR, then read what is queued
    RECEIVER_READ_NOW,         // the last read filled the buffer: read again at once
    RECEIVER_READ_WAITING,     // a read that waits for the first byte
    RECEIVER_READ_AFTER_PAUSE  // bytes are flowing: pause briefly, then read what is queued
};

struct ReceiverPlan {
    int waitFailures;  // consecutive failed waits, capped at the give-up count
    bool gotData;      // the last read returned bytes
    bool bufferFilled; // the last read filled the whole buffer
};

// A new connection: waits for port events first.
void ReceiverPlanStart(ReceiverPlan& plan);
ReceiverStep ReceiverPlanNext(const ReceiverPlan& plan);
// Whether the events are still waited for on this connection.
bool ReceiverPlanUsesEvents(const ReceiverPlan& plan);
void ReceiverPlanWaited(ReceiverPlan& plan, bool waitFailed);
void ReceiverPlanRead(ReceiverPlan& plan, int count, int maximum);
