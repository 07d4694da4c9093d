// Switcher simulator: a plausible production rendered as tally messages, with
// framing faults injected at chosen rates, and the exact state a correct
// receiver must reach, computed as the stream is built.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tally/protocol.h"
#include "tally/store.h"

enum SimFault {
    FAULT_STRAY_BYTE,       // 1-4 low bytes between messages
    FAULT_HEADER_MISMATCH,  // one lone high byte just before a header
    FAULT_HEADER_LOW_BYTE,  // a high byte followed by a low one
    FAULT_PAYLOAD_ERROR,    // the next message's type byte sent three times
    FAULT_UNKNOWN_TYPE,     // a doubled byte 0xE0-0xFF
    FAULT_TRUNCATED,        // a message cut short, then the next header
    FAULT_KINDS
};
// JSON keys and option names of the fault kinds, in enum order.
extern const char* const SIM_FAULT_KEYS[FAULT_KINDS];

struct SimConfig {
    uint64_t seed = 1;
    double faultRate[FAULT_KINDS] = {};  // chance per message, 0..1
    uint64_t resetAt = 0;                // send the counter reset as message N (1-based); 0: never
    bool names = true;                   // the source-name table at start
};

// Small generator of our own so that a seed gives the same stream everywhere.
struct SimRandom {
    uint64_t state;
};
uint64_t SimRandomNext(SimRandom& rng);
uint32_t SimRandomBelow(SimRandom& rng, uint32_t bound);
bool SimChance(SimRandom& rng, double probability);

// One ME bank as the switcher holds it.
struct SimMe {
    uint8_t keyFill[4], keyCut[4];
    uint8_t busA, busB, util1, util2;
    uint8_t keyersOn;       // bit k: keyer k+1 on air
    bool transitioning;     // mix from A to B in progress
};

struct SimMessage {
    uint8_t type;
    std::vector<uint8_t> payload;
};

struct SimState {
    SimConfig config;
    SimRandom rng;
    // Production.
    SimMe me[ME_RECORDS];
    uint8_t ext[EXT_RECORDS][EXT_PAYLOAD];
    uint8_t ss[SS_PAYLOAD];
    uint8_t out[OUT_RECORDS][OUT_PAYLOAD];
    int refreshCursor;
    std::deque<SimMessage> queue;
    // What was sent.
    uint64_t messageCount;           // complete messages, the reset included
    uint64_t messagesByType[256];
    uint64_t faults[FAULT_KINDS];
    uint64_t bytes;
    // What a correct receiver holds after everything sent so far.
    TallyCounterValues expected;
    uint8_t meRecord[ME_RECORDS][sizeof(MeTally)];
    uint8_t extRecord[EXT_RECORDS][sizeof(ExtTally)];
    uint8_t ssRecord[sizeof(StillStoreTally)];
    uint8_t outRecord[OUT_RECORDS][sizeof(OutputTally)];
    uint8_t names[SOURCE_COUNT + 1][sizeof(SourceNameEntry)];
};

void SimInit(SimState& sim, const SimConfig& config);
// Appends the next message, with the faults drawn for it in front, to out.
void SimNext(SimState& sim, std::vector<uint8_t>& out);

// The ME payload of a bank (23 bytes).
void SimMePayload(const SimMe& me, uint8_t payload[ME_PAYLOAD]);
// First byte low and never two high bytes in a row.
bool SimPayloadValid(const uint8_t* payload, size_t length);
// The plausible name and nickname of a source 1..128 at start.
void SimSourceName(int source, std::string& name, std::string& nickname);

// "messages", "faults", "bytes", "seed", and the receiver's expected
// "counters", "records" and "names" in tallydump's JSON form.
nlohmann::json SimSummaryJson(const SimState& sim);
