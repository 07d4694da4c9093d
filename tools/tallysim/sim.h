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

// Misbehaviour injected on purpose at a chosen time, so that the watch rules
// can be proven end to end.
enum SimInjectKind {
    INJECT_DROP,     // the program source of an ME leaves program for `ms`
    INJECT_BLIP,     // a dark source comes on program of an ME for `ms`
    INJECT_STALE,    // an ME bank is no longer sent for `seconds`
    INJECT_SILENCE,  // nothing at all is sent for `seconds`
    INJECT_ERRORS,   // `count` framing errors, one before each of the next messages
    INJECT_RESET,    // the counter-reset message
    INJECT_NAME,     // a source is renamed `name`
    INJECT_KINDS
};
extern const char* const SIM_INJECT_KEYS[INJECT_KINDS];  // "drop", "blip", ...

struct SimInjection {
    SimInjectKind kind = INJECT_DROP;
    double at = 0;        // simulated seconds since the start
    int me = 1;           // 1..4 (drop, blip, stale)
    int source = 0;       // blip, name: the source; drop: 0 for whatever is on program
    double ms = 40;       // drop, blip
    double seconds = 5;   // stale, silence
    int count = 8;        // errors
    std::string name = "RENAMED";
};
// "drop,at=12.5,me=1,ms=40", "blip,at=20,me=2,source=70,ms=60", "stale,at=30,me=3,s=5",
// "silence,at=40,s=3", "errors,at=50,count=8", "reset,at=60", "name,at=70,source=5,name=NEW".
// False with a message when it is not one of these.
bool SimParseInjection(const std::string& text, SimInjection& injection, std::string& error);

struct SimConfig {
    uint64_t seed = 1;
    double faultRate[FAULT_KINDS] = {};  // chance per message, 0..1
    uint64_t resetAt = 0;                // send the counter reset as message N (1-based); 0: never
    bool names = true;                   // the source-name table at start
    // A real production: cuts every few seconds, mixes of about a second,
    // preview set before the take, keys on and off; the line between the
    // changes carries the switcher's refresh of every record in turn.
    bool realPace = false;
    // The simulated clock: each message takes its bytes at this rate, or
    // 1 / messagesPerSecond when that is set.
    double bytesPerSecond = 11520;
    double messagesPerSecond = 0;
    std::vector<SimInjection> injections;
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
    int injection = -1;   // the injection this message starts or ends
    bool ends = false;
};

// An injection as it happened: the simulated times of the messages that began
// and ended it, for the truth summary.
struct SimInjected {
    bool started = false, ended = false;
    double startS = 0, endS = 0;
    int source = -1;
    uint64_t count = 0;
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
    // The simulated clock: seconds to the end of the last message sent.
    double clockS;
    double lastSentS[256];           // end of the last message of each type
    // A real production's next change of each ME and where it stands.
    double nextActionS[ME_RECORDS];
    int phase[ME_RECORDS];
    // Injections.
    std::vector<SimInjected> injected;  // one per config.injections
    bool meOverride[ME_RECORDS];        // an ME sent as injected, not as held
    uint8_t overridePayload[ME_RECORDS][ME_PAYLOAD];
    double staleUntilS[ME_RECORDS];
    int errorsLeft, errorsInjection;
};

void SimInit(SimState& sim, const SimConfig& config);
// Appends the next message, with the faults drawn for it in front, to out,
// and moves the simulated clock to its end.
void SimNext(SimState& sim, std::vector<uint8_t>& out);
// Starts what is due by the clock before the next message (a silence moves
// the clock on): afterwards sim.clockS is when the next message starts.
void SimPrepare(SimState& sim);

// The ME payload of a bank (23 bytes).
void SimMePayload(const SimMe& me, uint8_t payload[ME_PAYLOAD]);
// First byte low and never two high bytes in a row.
bool SimPayloadValid(const uint8_t* payload, size_t length);
// The plausible name and nickname of a source 1..128 at start.
void SimSourceName(int source, std::string& name, std::string& nickname);

// "messages", "faults", "bytes", "seed", and the receiver's expected
// "counters", "records" and "names" in tallydump's JSON form; with injections,
// "injected": what was injected, where, and from when (seconds of simulated
// time since the start, at the end of the message that began it) for how long.
nlohmann::json SimSummaryJson(const SimState& sim);
