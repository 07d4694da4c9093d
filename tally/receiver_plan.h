// How the receiver thread waits for data, decided from what its waits for
// port events and its reads returned. Portable, so the choice is unit-tested.
//
// Where the wait for EV_RXCHAR works it is used for every read. A driver that
// fails it again and again (Wine on a pseudo-terminal, some USB adapters)
// gets reads instead that sleep in the driver until the first byte comes;
// while bytes keep arriving the queue is taken at short pauses, so that a
// full-rate feed costs a few large reads rather than one per message, and a
// large read is followed by another at once, so that a faster stream is not
// held back by the pauses.
#pragma once

// Consecutive failed waits after which the receiver stops asking for port
// events on this connection.
constexpr int RECEIVER_WAIT_FAILURES_TO_GIVE_UP = 3;
// A read that brought at least this many bytes (two or three messages) is
// followed by another at once; a pause follows only a read that found less.
// At 256000 baud a pause of 20 ms gathers about 512 bytes, so a full-rate
// line costs about two reads per pause, while a faster stream (a pty fed
// unpaced) is read back to back. Measured under Wine: 1024 here cut the
// unpaced ceiling to 0.65 MB/s, 64 keeps it at 1.0 MB/s (the 20 ms polling
// it replaces: 0.85 MB/s, same load).
constexpr int RECEIVER_READ_AGAIN_BYTES = 64;

enum ReceiverStep {
    RECEIVER_WAIT_EVENT,       // wait for EV_RXCHAR, then read what is queued
    RECEIVER_READ_NOW,         // the last read was large: read again at once
    RECEIVER_READ_WAITING,     // a read that waits for the first byte
    RECEIVER_READ_AFTER_PAUSE  // bytes are flowing: pause briefly, then read what is queued
};

struct ReceiverPlan {
    int waitFailures;  // consecutive failed waits, capped at the give-up count
    bool gotData;      // the last read returned bytes
    bool readAgain;    // the last read filled the buffer or brought RECEIVER_READ_AGAIN_BYTES
};

// A new connection: waits for port events first.
void ReceiverPlanStart(ReceiverPlan& plan);
ReceiverStep ReceiverPlanNext(const ReceiverPlan& plan);
// Whether the events are still waited for on this connection.
bool ReceiverPlanUsesEvents(const ReceiverPlan& plan);
void ReceiverPlanWaited(ReceiverPlan& plan, bool waitFailed);
void ReceiverPlanRead(ReceiverPlan& plan, int count, int maximum);
