// A software UART for the Detect Settings tests: a sender that puts bytes on
// a wire as a UART at one setting would (start bit, data bits LSB first,
// parity, stop bits, idle gaps between messages), a receiver that samples the
// wire as a UART at another setting would (falling edge, then the middle of
// each bit; a framing error when the stop bit reads 0, a parity error when the
// parity bit disagrees; only the first stop bit is checked, as 16550-style
// UARTs do), and a fake DetectPort that listens through them on a simulated
// clock. Time is in seconds.
#pragma once
#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "detect/scan.h"
#include "tally/protocol.h"

// Deterministic generator (the tests must give the same figures everywhere).
struct ModelRandom {
    uint64_t state;
    uint32_t Next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t Below(uint32_t bound) { return Next() % bound; }
    double Unit() { return Next() / 2147483648.0; }
};

// The line as level segments: segment k holds `level` from `start` until the
// next segment's start. Levels alternate (equal neighbours are merged). Before
// anything was generated the line idles at 1 (mark).
class ModelWire {
public:
    virtual ~ModelWire() {}

    int Level(double t) {
        Extend(t);
        auto it = std::upper_bound(starts_.begin(), starts_.end(), t);
        if (it == starts_.begin()) return 1;
        return levels_[static_cast<size_t>(it - starts_.begin()) - 1];
    }

    // First time >= t at which the line falls from 1 to 0, or a value above
    // until when there is none before until.
    double NextFall(double t, double until) {
        Extend(t);
        size_t k = static_cast<size_t>(std::lower_bound(starts_.begin(), starts_.end(), t) - starts_.begin());
        for (;;) {
            while (k >= starts_.size()) {
                if (generatedTo_ > until) return until + 1.0;
                Extend(generatedTo_ + 0.01);
            }
            if (starts_[k] > until) return until + 1.0;
            if (levels_[k] == 0 && (k == 0 ? 1 : levels_[k - 1]) == 1) return starts_[k];
            ++k;
        }
    }

    // Forget what lies well before t (the receiver never looks back further).
    void Forget(double t) {
        size_t drop = 0;
        while (drop + 1 < starts_.size() && starts_[drop + 1] < t - 1.0) ++drop;
        if (drop > 0) {
            starts_.erase(starts_.begin(), starts_.begin() + static_cast<long>(drop));
            levels_.erase(levels_.begin(), levels_.begin() + static_cast<long>(drop));
        }
    }

protected:
    // Generates the line at least up to t (calls Put in time order).
    virtual void Generate(double t) = 0;

    void Put(double start, int level) {
        if (!levels_.empty() && levels_.back() == level) return;
        if (levels_.empty() && level == 1) return;
        starts_.push_back(start);
        levels_.push_back(level);
    }
    double generatedTo_ = -1e9;

private:
    void Extend(double t) {
        while (generatedTo_ < t + 0.05) Generate(t + 0.05);
    }
    std::deque<double> starts_;
    std::deque<int> levels_;
};

// A switcher: tally messages of every category with valid payloads, a gap of
// idle line between messages (none at load 1), at a line setting. It starts
// before time 0 so that a listen joins it mid-message.
class ModelSender : public ModelWire {
public:
    // joinMidStream false: the first character starts at time 0.
    ModelSender(const DetectSetting& setting, double load, uint64_t seed, bool joinMidStream = true)
        : setting_(setting), load_(load) {
        rng_.state = seed * 2654435761ULL + 1;
        bit_ = 1.0 / setting.baud;
        next_ = joinMidStream ? -(0.5 + rng_.Unit()) * 30 * CharTime() : 0.0;
        generatedTo_ = next_;
    }
    double CharTime() const {
        return bit_ * (1 + setting_.dataBits + (setting_.parity == 'N' ? 0 : 1) + setting_.stopBits);
    }
    uint64_t sentBytes = 0;
    std::vector<uint8_t>* log = nullptr;  // every byte sent, when set

protected:
    void Generate(double t) override {
        while (next_ < t) {
            if (pending_.empty()) NextMessage();
            const uint8_t byte = pending_.front();
            pending_.pop_front();
            SendChar(byte);
            if (pending_.empty() && load_ < 1.0) {
                // Idle gap: on average the message time times (1 - load) / load,
                // but never above 1 s: a switcher repeats its state at least that often.
                double mean = lastLength_ * CharTime() * (1.0 - load_) / load_;
                if (mean > 0.5) mean = 0.5;
                next_ += 2.0 * mean * rng_.Unit();
            }
        }
        generatedTo_ = next_;
    }

private:
    void SendChar(uint8_t byte) {
        double at = next_;
        Put(at, 0);  // start bit
        at += bit_;
        int ones = 0;
        for (int i = 0; i < setting_.dataBits; ++i) {
            const int b = (byte >> i) & 1;
            ones += b;
            Put(at, b);
            at += bit_;
        }
        if (setting_.parity != 'N') {
            Put(at, setting_.parity == 'E' ? (ones & 1) : !(ones & 1));
            at += bit_;
        }
        Put(at, 1);  // stop bits, then idle
        next_ = at + bit_ * setting_.stopBits;
        ++sentBytes;
        if (log) log->push_back(byte);
    }

    void NextMessage() {
        static const uint8_t types[] = {0x81, 0x82, 0x83, 0x84, 0x91, 0x92, 0x95, 0xA1, 0xB1, 0xB3, 0xB6, 0xC1};
        const uint8_t type = types[rng_.Below(sizeof types)];
        const int length = payloadLength(type);
        pending_.push_back(type);
        pending_.push_back(type);
        bool previousHigh = true;
        for (int i = 0; i < length; ++i) {
            uint8_t b;
            if (type == MSG_SOURCE_NAME && i == 0) b = static_cast<uint8_t>(1 + rng_.Below(SOURCE_COUNT));
            else if (!previousHigh && rng_.Below(4) == 0) b = static_cast<uint8_t>(0x81 + rng_.Below(0x7F));
            else b = static_cast<uint8_t>(rng_.Below(0x81));
            previousHigh = IsHighByte(b);
            pending_.push_back(b);
        }
        lastLength_ = length + 2;
    }

    DetectSetting setting_;
    double load_;
    ModelRandom rng_;
    double bit_;
    double next_;
    int lastLength_ = 0;
    std::deque<uint8_t> pending_;
};

// Noise only: the line flips at random, segments of 2 to 400 microseconds.
class ModelNoise : public ModelWire {
public:
    explicit ModelNoise(uint64_t seed) { rng_.state = seed + 77; generatedTo_ = -1.0; }

protected:
    void Generate(double t) override {
        while (generatedTo_ < t) {
            Put(generatedTo_, level_);
            level_ ^= 1;
            generatedTo_ += (2 + rng_.Below(399)) * 1e-6;
        }
    }

private:
    ModelRandom rng_;
    int level_ = 0;
};

// A disconnected or idle line: mark for ever.
class ModelSilence : public ModelWire {
protected:
    void Generate(double t) override { generatedTo_ = t; }
};

// The receiving UART.
struct ModelReceiver {
    DetectSetting setting;
    double time = 0;  // where it hunts for the next start bit

    // Receives every character whose stop bit is sampled before until; returns
    // when until is reached or capacity bytes are held.
    void Receive(ModelWire& wire, double until, std::vector<uint8_t>& bytes, uint32_t& lineErrors,
                 size_t capacity) {
        const double bit = 1.0 / setting.baud;
        const int parityBits = setting.parity == 'N' ? 0 : 1;
        while (bytes.size() < capacity) {
            const double fall = wire.NextFall(time, until);
            const double stopAt = fall + bit * (0.5 + setting.dataBits + parityBits + 1);
            if (stopAt > until) {
                time = fall < until ? fall : until;
                break;
            }
            const double middle = fall + 0.5 * bit;
            if (wire.Level(middle) != 0) {  // a glitch, not a start bit
                time = middle;
                continue;
            }
            int value = 0, ones = 0;
            for (int i = 0; i < setting.dataBits; ++i) {
                const int b = wire.Level(middle + bit * (1 + i));
                value |= b << i;
                ones += b;
            }
            bool error = false;
            if (parityBits) {
                const int p = wire.Level(middle + bit * (1 + setting.dataBits));
                const int expected = setting.parity == 'E' ? (ones & 1) : !(ones & 1);
                error = p != expected;
            }
            if (wire.Level(stopAt) == 0) error = true;  // framing error (or break)
            bytes.push_back(static_cast<uint8_t>(value));
            if (error) ++lineErrors;
            time = stopAt;
        }
        wire.Forget(time);
    }
};

// A DetectPort over a wire and a receiver on a simulated clock. Switching
// settings takes switchMs, as a driver call does.
struct ModelPort {
    ModelWire* wire;
    ModelReceiver receiver;
    DetectSetting original;
    double now = 0;
    double switchMs = 2;
    int applies = 0, restores = 0, listens = 0;
    int cancelAfterListens = -1;  // -1: never
    long refuseBaud = 0;          // a rate the "driver" refuses

    ModelPort(ModelWire* w, const DetectSetting& start) : wire(w), original(start) { receiver.setting = start; }

    DetectPort Port() {
        DetectPort p;
        p.context = this;
        p.apply = [](void* c, const DetectSetting& s) -> int {
            ModelPort& m = *static_cast<ModelPort*>(c);
            ++m.applies;
            if (s.baud == m.refuseBaud) return 0;
            m.now += m.switchMs / 1000.0;
            m.receiver.setting = s;
            m.receiver.time = m.now;  // what arrived before is purged
            return 1;
        };
        p.listen = [](void* c, int maxMs, uint8_t* buffer, int capacity, int* got, uint32_t* errors,
                      int* elapsed) -> int {
            ModelPort& m = *static_cast<ModelPort*>(c);
            ++m.listens;
            std::vector<uint8_t> bytes;
            uint32_t lineErrors = 0;
            const double until = m.now + maxMs / 1000.0;
            m.receiver.Receive(*m.wire, until, bytes, lineErrors, static_cast<size_t>(capacity));
            const double end = bytes.size() >= static_cast<size_t>(capacity) ? m.receiver.time : until;
            std::copy(bytes.begin(), bytes.end(), buffer);
            *got = static_cast<int>(bytes.size());
            *errors = lineErrors;
            *elapsed = static_cast<int>((end - m.now) * 1000.0 + 0.5);
            m.now = end;
            return 1;
        };
        p.restore = [](void* c) -> int {
            ModelPort& m = *static_cast<ModelPort*>(c);
            ++m.restores;
            m.receiver.setting = m.original;
            return 1;
        };
        p.cancelled = [](void* c) -> int {
            ModelPort& m = *static_cast<ModelPort*>(c);
            return m.cancelAfterListens >= 0 && m.listens >= m.cancelAfterListens;
        };
        return p;
    }
};
