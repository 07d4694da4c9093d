// The status bar's texts, free of any platform header: the port as an
// engineer writes it, the link state, and the receive figures with a message
// rate over the last few seconds.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Parity and stop-bit codes as the session stores them (the Win32 values).
std::string StatusPortText(int portNumber, uint32_t baudRate, int dataBits, int parity, int stopBits);

// A byte received more than this long ago makes the link "Silent".
constexpr uint32_t STATUS_SILENT_AFTER_MS = 2000;

struct StatusInput {
    bool connected;
    uint64_t bytesReceived;   // since the last connect (the port layer resets it there)
    uint32_t lastByteTick;    // tick of the last byte; meaningless while bytesReceived is 0
    uint32_t now;             // current tick (ms, wraps)
    uint64_t messages;        // stored messages so far, all types (a reset message zeroes it)
    uint64_t framingErrors;   // sum of the frame parser's error counters
    uint64_t lineErrors;      // sum of the UART error counters
    bool portLost = false;    // the port went away while connected (shown until the next connect)
    // Changes at each connect, replay start and jump: the rate is never
    // measured across one (a jump's thousands of messages are no rate).
    uint32_t epoch = 0;
};

struct StatusTexts {
    std::string link;
    std::string bytes;
    std::string rate;
    std::string framing;
    std::string line;
    bool epochChanged = false;   // this update began a new epoch (the caller notes the time)
    bool countersReset = false;  // the store's counters went down: a reset message or Reset Counters
};

// Keeps the recent message totals that the rate is measured over. The store's
// counters drop to zero on a reset message, so the tracker adds up the
// increases it sees instead of trusting the raw counter to only grow.
class StatusTracker {
public:
    static constexpr size_t SAMPLES = 10;  // 5 s of 500 ms ticks

    StatusTexts Update(const StatusInput& in);

private:
    struct Sample {
        uint32_t tick;
        uint64_t arrived;  // messages seen arriving since the first update
    };
    Sample samples_[SAMPLES] = {};
    size_t count_ = 0;
    size_t next_ = 0;
    bool started_ = false;
    uint64_t lastMessages_ = 0;
    uint64_t lastFraming_ = 0;
    uint32_t epoch_ = 0;
    uint64_t arrived_ = 0;
    bool anyArrived_ = false;     // a message arrived since the first update
    uint32_t lastArrivalTick_ = 0;
};

// The rate's text when no message arrived for STATUS_RATE_STALE_MS (or none
// yet): a dash, not a figure that only decays (UTF-8 em dash).
constexpr uint32_t STATUS_RATE_STALE_MS = 2000;
extern const char STATUS_NO_RATE[];  // "\u2014 msg/s"
