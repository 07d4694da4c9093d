#include "serial/status_core.h"

#include <cstdio>

std::string StatusPortText(int portNumber, uint32_t baudRate, int dataBits, int parity, int stopBits) {
    static const char PARITY[] = "NOEMS";  // none, odd, even, mark, space
    static const char* const STOP[] = {"1", "1.5", "2"};
    const char p = (parity >= 0 && parity <= 4) ? PARITY[parity] : '?';
    const char* s = (stopBits >= 0 && stopBits <= 2) ? STOP[stopBits] : "?";
    char text[64];
    std::snprintf(text, sizeof text, "COM%d %lu %d%c%s", portNumber, static_cast<unsigned long>(baudRate),
                  dataBits, p, s);
    return text;
}

const char STATUS_NO_RATE[] = "\xE2\x80\x94 msg/s";

StatusTexts StatusTracker::Update(const StatusInput& in) {
    StatusTexts t;
    // Messages present at the first update arrived before anyone was looking;
    // those present when a new epoch begins belong to the old one (or to a jump).
    if (started_ && in.epoch != epoch_) {
        t.epochChanged = true;
        count_ = next_ = 0;
        anyArrived_ = false;
        lastMessages_ = in.messages;
    }
    if (!started_) {
        started_ = true;
        lastMessages_ = in.messages;
        lastFraming_ = in.framingErrors;
    }
    epoch_ = in.epoch;
    t.countersReset = in.messages < lastMessages_ || in.framingErrors < lastFraming_;
    lastFraming_ = in.framingErrors;
    // Below the last value the counters were reset: what is counted now came since.
    const uint64_t before = arrived_;
    arrived_ += in.messages >= lastMessages_ ? in.messages - lastMessages_ : in.messages;
    lastMessages_ = in.messages;
    if (arrived_ != before) {
        anyArrived_ = true;
        lastArrivalTick_ = in.now;
    }

    samples_[next_] = {in.now, arrived_};
    next_ = (next_ + 1) % SAMPLES;
    if (count_ < SAMPLES) ++count_;
    const Sample& oldest = samples_[(next_ + SAMPLES - count_) % SAMPLES];

    char text[64];
    if (!in.connected) {
        t.link = in.portLost ? "Port lost" : "Disconnected";
    } else if (in.bytesReceived == 0) {
        // The count starts again at each connect, so bytes that came before
        // the first tick after a connect still count as data.
        t.link = "Connected, no data yet";
    } else {
        const uint32_t quiet = in.now - in.lastByteTick;  // unsigned: survives the tick's wrap
        if (quiet > STATUS_SILENT_AFTER_MS) {
            std::snprintf(text, sizeof text, "Silent %lu s", static_cast<unsigned long>(quiet / 1000));
            t.link = text;
        } else {
            t.link = "Receiving";
        }
    }

    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(in.bytesReceived));
    t.bytes = text;

    const uint32_t span = in.now - oldest.tick;
    const uint64_t arrived = arrived_ - oldest.arrived;
    const double rate = span > 0 ? static_cast<double>(arrived) * 1000.0 / span : 0.0;
    std::snprintf(text, sizeof text, "%.1f msg/s", rate);
    // unsigned difference: survives the tick's wrap
    t.rate = anyArrived_ && in.now - lastArrivalTick_ <= STATUS_RATE_STALE_MS ? std::string(text) : STATUS_NO_RATE;

    std::snprintf(text, sizeof text, "Framing errors %llu", static_cast<unsigned long long>(in.framingErrors));
    t.framing = text;
    std::snprintf(text, sizeof text, "Line errors %llu", static_cast<unsigned long long>(in.lineErrors));
    t.line = text;
    return t;
}
