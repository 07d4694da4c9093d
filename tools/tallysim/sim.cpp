// Switcher simulator: production model, message encoding, fault injection and
// the receiver state expected from it.
#include "tools/tallysim/sim.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/tallydump/dump.h"

const char* const SIM_FAULT_KEYS[FAULT_KINDS] = {"strayByte",    "headerMismatch", "headerLowByte",
                                                 "payloadError", "unknownType",    "truncated"};
const char* const SIM_INJECT_KEYS[INJECT_KINDS] = {"drop", "blip", "stale", "silence", "errors", "reset", "name"};

uint64_t SimRandomNext(SimRandom& rng) {  // splitmix64
    uint64_t z = (rng.state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t SimRandomBelow(SimRandom& rng, uint32_t bound) {
    return bound ? static_cast<uint32_t>(SimRandomNext(rng) % bound) : 0;
}

bool SimChance(SimRandom& rng, double probability) {
    if (probability <= 0) return false;
    return static_cast<double>(SimRandomNext(rng) >> 11) * (1.0 / 9007199254740992.0) < probability;
}

bool SimPayloadValid(const uint8_t* payload, size_t length) {
    if (length && IsHighByte(payload[0])) return false;
    for (size_t i = 1; i < length; ++i)
        if (IsHighByte(payload[i]) && IsHighByte(payload[i - 1])) return false;
    return true;
}

namespace {

struct SourceGroup {
    int first, last;
    const char* name;      // printf-style with the number within the group
    const char* nickname;
    bool letters;          // number the group A, B, C ...
};
const SourceGroup SOURCE_GROUPS[] = {
    {1, 24, "CAMERA %d", "CAM%d", false},  {25, 32, "VTR %c", "VTR%c", true},
    {33, 40, "SERVER %d", "SRV%d", false}, {41, 48, "GFX %d", "GFX%d", false},
    {49, 52, "STILL %d", "STL%d", false},  {53, 60, "REMOTE %d", "REM%d", false},
    {61, 64, "SAT %d", "SAT%d", false},    {65, 72, "CLIP %d", "CLP%d", false},
    {73, 80, "ROBO CAM %d", "ROBO%d", false},
};
const char* const FIXED_SOURCES[][2] = {{"BARS", "BARS"},       {"BLACK", "BLK"},
                                        {"CLEAN FEED", "CLEAN"}, {"PGM RETURN", "PGMRT"}};

struct Alias {
    int source;
    const char* alias;
    const char* nickname;
};
const Alias START_ALIASES[] = {{1, "WIDE", "WIDE"},       {2, "PRESENTER", "PRES"}, {3, "GUEST 1", "GST1"},
                               {4, "GUEST 2", "GST2"},    {5, "CRANE", "CRANE"},    {6, "STEADICAM", "STEDI"},
                               {41, "HEADLINES", "HEAD"}, {42, "WEATHER", "WX"},    {53, "STUDIO B", "STB"},
                               {61, "NEWSROOM", "NEWS"}};
const char* const LATER_ALIASES[] = {"INTERVIEW", "SPORTS", "MARKETS", "TRAFFIC", "LIVE SHOT", "LOWER 3RD"};

uint8_t RandomSource(SimRandom& rng) { return static_cast<uint8_t>(1 + SimRandomBelow(rng, SOURCE_COUNT)); }

// Sources a director actually cuts to: mostly cameras, servers and remotes.
uint8_t ShotSource(SimRandom& rng) {
    static const uint8_t pool[] = {1, 2, 3, 4, 5, 6, 7, 8, 25, 26, 33, 34, 35, 41, 53, 54, 61, 73};
    return pool[SimRandomBelow(rng, sizeof pool)];
}

void Enqueue(SimState& sim, uint8_t type, const uint8_t* payload, size_t length) {
    SimMessage message;
    message.type = type;
    message.payload.assign(payload, payload + length);
    // A record already waiting is simply updated: the switcher sends the latest state.
    for (SimMessage& waiting : sim.queue) {
        if (waiting.type == type && type != MSG_SOURCE_NAME && type != MSG_SOURCE_ALIAS) {
            waiting.payload = message.payload;
            return;
        }
    }
    sim.queue.push_back(message);
}

void EnqueueMe(SimState& sim, int index) {
    uint8_t payload[ME_PAYLOAD];
    SimMePayload(sim.me[index], payload);
    // While a glitch is injected the bank is sent as injected, refreshes included.
    if (sim.meOverride[index]) std::memcpy(payload, sim.overridePayload[index], ME_PAYLOAD);
    Enqueue(sim, static_cast<uint8_t>(0x81 + index), payload, ME_PAYLOAD);
}

// A message sent next, ahead of everything waiting; a waiting message of the
// same record would undo it, so it goes.
void EnqueueFirst(SimState& sim, SimMessage message) {
    if (message.type != MSG_SOURCE_NAME && message.type != MSG_SOURCE_ALIAS && message.type != MSG_RESET_COUNTERS)
        for (auto it = sim.queue.begin(); it != sim.queue.end();)
            it = it->type == message.type ? sim.queue.erase(it) : it + 1;
    sim.queue.push_front(std::move(message));
}
void EnqueueExt(SimState& sim, int index) {
    Enqueue(sim, static_cast<uint8_t>(0x91 + index), sim.ext[index], EXT_PAYLOAD);
}
void EnqueueSs(SimState& sim) { Enqueue(sim, 0xA1, sim.ss, SS_PAYLOAD); }
void EnqueueOut(SimState& sim, int index) {
    Enqueue(sim, static_cast<uint8_t>(0xB1 + index), sim.out[index], OUT_PAYLOAD);
}

void EnqueueName(SimState& sim, uint8_t type, int source, const std::string& text, const std::string& nick) {
    uint8_t payload[NAME_PAYLOAD] = {};
    payload[0] = static_cast<uint8_t>(source);
    std::memcpy(payload + 1, text.data(), text.size() < NAME_LENGTH ? text.size() : NAME_LENGTH);
    std::memcpy(payload + 1 + NAME_LENGTH, nick.data(),
                nick.size() < NICKNAME_LENGTH ? nick.size() : NICKNAME_LENGTH);
    Enqueue(sim, type, payload, NAME_PAYLOAD);
}

// Every output follows one of the ME programs or a source directly.
void RandomOutputChange(SimState& sim) {
    const int r = static_cast<int>(SimRandomBelow(sim.rng, OUT_RECORDS));
    uint8_t* d = sim.out[r];
    static const int sourceBytes[8] = {0, 2, 4, 5, 6, 7, 8, 9};
    switch (SimRandomBelow(sim.rng, 3)) {
    case 0: d[sourceBytes[SimRandomBelow(sim.rng, 8)]] = RandomSource(sim.rng); break;
    case 1: d[1] ^= static_cast<uint8_t>(1u << SimRandomBelow(sim.rng, 4)); break;  // key/video mode
    default: d[3] ^= static_cast<uint8_t>(1u << SimRandomBelow(sim.rng, 8)); break; // on air
    }
    EnqueueOut(sim, r);
}

void ProductionStep(SimState& sim) {
    SimRandom& rng = sim.rng;
    // ME 1 is the main program bank and busiest.
    const int m = SimRandomBelow(rng, 3) == 0 ? static_cast<int>(SimRandomBelow(rng, ME_RECORDS)) : 0;
    SimMe& me = sim.me[m];
    const uint32_t action = SimRandomBelow(rng, 100);
    if (me.transitioning || action < 25) {
        // A cut, or the end of a mix: preset goes to air, program drops to preset.
        const uint8_t onAir = me.busB;
        me.busB = me.busA;
        me.busA = onAir;
        me.transitioning = false;
        EnqueueMe(sim, m);
        if (m == 0) {  // program output's on-air tally follows ME 1
            sim.out[0][0] = onAir;
            sim.out[0][3] |= 1;
            EnqueueOut(sim, 0);
        }
    } else if (action < 35) {
        me.transitioning = true;  // mix starts; both buses contribute until it ends
        EnqueueMe(sim, m);
    } else if (action < 45) {
        me.busB = ShotSource(rng);  // new preset
        EnqueueMe(sim, m);
    } else if (action < 55) {
        const int k = static_cast<int>(SimRandomBelow(rng, 4));
        me.keyersOn ^= static_cast<uint8_t>(1u << k);
        if (me.keyersOn & (1u << k)) {  // a keyer going in often gets new graphics
            me.keyFill[k] = static_cast<uint8_t>(41 + SimRandomBelow(rng, 8));
            me.keyCut[k] = me.keyFill[k];
        }
        EnqueueMe(sim, m);
    } else if (action < 60) {
        (SimRandomBelow(rng, 2) ? me.util1 : me.util2) = RandomSource(rng);
        EnqueueMe(sim, m);
    } else if (action < 70) {
        const int e = static_cast<int>(SimRandomBelow(rng, EXT_RECORDS));
        uint8_t* d = sim.ext[e];
        const int output = static_cast<int>(SimRandomBelow(rng, 6));
        switch (SimRandomBelow(rng, 4)) {
        case 0:  // contribution row; the first one stays below 0x80 for the payload rule
            d[2 * output] = static_cast<uint8_t>(SimRandomBelow(rng, 256));
            if (output == 0) d[0] &= 0x7F;
            break;
        case 1: d[2 * output + 1] = RandomSource(rng); break;
        case 2: d[12] = static_cast<uint8_t>(SimRandomBelow(rng, 16)); break;
        default: d[13 + SimRandomBelow(rng, 8)] = RandomSource(rng); break;
        }
        EnqueueExt(sim, e);
    } else if (action < 82) {
        RandomOutputChange(sim);
    } else if (action < 88) {
        // Still store: recall into an input, record on or off, output pairs.
        if (SimRandomBelow(rng, 2))
            sim.ss[SimRandomBelow(rng, 2)] = static_cast<uint8_t>(49 + SimRandomBelow(rng, 4));
        else
            sim.ss[2] ^= static_cast<uint8_t>(1u << SimRandomBelow(rng, 7));
        EnqueueSs(sim);
    } else if (action < 91) {
        const int source = static_cast<int>(1 + SimRandomBelow(rng, 24));
        const char* alias = LATER_ALIASES[SimRandomBelow(rng, sizeof LATER_ALIASES / sizeof *LATER_ALIASES)];
        std::string name, nick;
        SimSourceName(source, name, nick);
        if (SimRandomBelow(rng, 4) == 0)
            EnqueueName(sim, MSG_SOURCE_NAME, source, name, nick);  // alias dropped again
        else
            EnqueueName(sim, MSG_SOURCE_ALIAS, source, alias, nick);
    } else {
        // Periodic refresh: every record is sent again in turn.
        const int total = ME_RECORDS + EXT_RECORDS + 1 + OUT_RECORDS;
        const int i = sim.refreshCursor++ % total;
        if (i < ME_RECORDS) EnqueueMe(sim, i);
        else if (i < ME_RECORDS + EXT_RECORDS) EnqueueExt(sim, i - ME_RECORDS);
        else if (i == ME_RECORDS + EXT_RECORDS) EnqueueSs(sim);
        else EnqueueOut(sim, i - ME_RECORDS - EXT_RECORDS - 1);
    }
}

double Between(SimRandom& rng, double low, double high) {
    return low + (high - low) * static_cast<double>(SimRandomBelow(rng, 1000001)) / 1e6;
}

// The switcher's refresh: every record again in turn, a stale bank left out.
void Refresh(SimState& sim) {
    const int total = ME_RECORDS + EXT_RECORDS + 1 + OUT_RECORDS;
    for (int tries = 0; tries < total; ++tries) {
        const int i = sim.refreshCursor++ % total;
        if (i < ME_RECORDS) {
            if (sim.staleUntilS[i] > sim.clockS) continue;
            EnqueueMe(sim, i);
        } else if (i < ME_RECORDS + EXT_RECORDS) {
            EnqueueExt(sim, i - ME_RECORDS);
        } else if (i == ME_RECORDS + EXT_RECORDS) {
            EnqueueSs(sim);
        } else {
            EnqueueOut(sim, i - ME_RECORDS - EXT_RECORDS - 1);
        }
        return;
    }
}

// A take on an ME: the preset goes to air, the program to preset; the
// program output follows ME 1.
void Take(SimState& sim, int m) {
    SimMe& me = sim.me[m];
    const uint8_t onAir = me.busB;
    me.busB = me.busA;
    me.busA = onAir;
    me.transitioning = false;
    EnqueueMe(sim, m);
    if (m == 0) {
        sim.out[0][0] = onAir;
        sim.out[0][3] |= 1;
        EnqueueOut(sim, 0);
    }
}

enum { PHASE_ON_AIR, PHASE_PRESET, PHASE_MIXING };

// A real production: each ME moves on its own, never faster than a person at
// a panel: preset, then a cut or a mix of about a second, keys in and out.
void RealProductionStep(SimState& sim) {
    SimRandom& rng = sim.rng;
    for (int m = 0; m < ME_RECORDS; ++m) {
        if (sim.meOverride[m]) {  // nobody touches a bank while it misbehaves
            sim.nextActionS[m] = std::max(sim.nextActionS[m], sim.clockS + 1.0);
            continue;
        }
        if (sim.clockS < sim.nextActionS[m]) continue;
        SimMe& me = sim.me[m];
        const double onAirFor = m == 0 ? Between(rng, 2.0, 5.0) : Between(rng, 4.0, 12.0);
        switch (sim.phase[m]) {
        case PHASE_ON_AIR:
            if (SimRandomBelow(rng, 100) < 25) {
                const int k = static_cast<int>(SimRandomBelow(rng, 2));
                me.keyersOn ^= static_cast<uint8_t>(1u << k);
                if (me.keyersOn & (1u << k)) me.keyFill[k] = me.keyCut[k] = static_cast<uint8_t>(41 + SimRandomBelow(rng, 8));
                sim.nextActionS[m] = sim.clockS + onAirFor;
            } else {
                for (int tries = 0; tries < 8 && (me.busB == me.busA || tries == 0); ++tries) me.busB = ShotSource(rng);
                sim.phase[m] = PHASE_PRESET;
                sim.nextActionS[m] = sim.clockS + Between(rng, 1.0, 2.5);
            }
            EnqueueMe(sim, m);
            break;
        case PHASE_PRESET:
            if (SimRandomBelow(rng, 100) < 65) {
                Take(sim, m);
                sim.phase[m] = PHASE_ON_AIR;
                sim.nextActionS[m] = sim.clockS + onAirFor;
            } else {
                me.transitioning = true;
                EnqueueMe(sim, m);
                sim.phase[m] = PHASE_MIXING;
                sim.nextActionS[m] = sim.clockS + Between(rng, 0.8, 1.5);
            }
            break;
        default:
            Take(sim, m);
            sim.phase[m] = PHASE_ON_AIR;
            sim.nextActionS[m] = sim.clockS + onAirFor;
            break;
        }
    }
    if (sim.queue.empty()) Refresh(sim);
}

// The ME payload with `source` taken off program (every element carrying it).
void DropPayload(const SimMe& me, int source, uint8_t payload[ME_PAYLOAD]) {
    SimMePayload(me, payload);
    for (int input = 0; input < 12; ++input) {
        if (payload[2 * input] != source) continue;
        static const int BITS[12] = {4, 4, 5, 5, 6, 6, 7, 7, 0, 1, 2, 3};
        for (int row = 0; row < 4; ++row) payload[3 + 2 * row] &= static_cast<uint8_t>(~(1u << BITS[input]));
    }
}

bool OnBank(const SimMe& me, int source) {
    if (me.busA == source || me.busB == source || me.util1 == source || me.util2 == source) return true;
    for (int k = 0; k < 4; ++k)
        if (me.keyFill[k] == source || me.keyCut[k] == source) return true;
    return false;
}

SimMessage MeMessage(int m, const uint8_t* payload, int injection, bool ends) {
    SimMessage message;
    message.type = static_cast<uint8_t>(0x81 + m);
    message.payload.assign(payload, payload + ME_PAYLOAD);
    message.injection = injection;
    message.ends = ends;
    return message;
}

// Starts and ends injections that are due by the clock.
void Inject(SimState& sim) {
    for (size_t i = 0; i < sim.config.injections.size(); ++i) {
        const SimInjection& in = sim.config.injections[i];
        SimInjected& done = sim.injected[i];
        const int m = in.me - 1;
        const int index = static_cast<int>(i);
        if (done.ended) continue;
        if (!done.started && !done.count && sim.clockS >= in.at) {
            done.count = 1;  // begun: waiting for the message that carries it
            switch (in.kind) {
            case INJECT_DROP: {
                SimMe& me = sim.me[m];
                done.source = in.source ? in.source : me.busA;
                DropPayload(me, done.source, sim.overridePayload[m]);
                sim.meOverride[m] = true;
                EnqueueFirst(sim, MeMessage(m, sim.overridePayload[m], index, false));
                break;
            }
            case INJECT_BLIP: {
                SimMe& me = sim.me[m];
                int source = in.source;
                for (int s = 1; !source && s <= SOURCE_COUNT; ++s)
                    if (!OnBank(me, s)) source = s;
                done.source = source;
                SimMe glitched = me;
                glitched.util2 = static_cast<uint8_t>(source);
                SimMePayload(glitched, sim.overridePayload[m]);
                for (int row = 0; row < 4; ++row) sim.overridePayload[m][3 + 2 * row] |= 0x08;  // Util2 on program
                sim.meOverride[m] = true;
                EnqueueFirst(sim, MeMessage(m, sim.overridePayload[m], index, false));
                break;
            }
            case INJECT_STALE:
                done.started = true;
                done.startS = sim.lastSentS[0x81 + m];
                sim.staleUntilS[m] = sim.clockS + in.seconds;
                done.endS = sim.staleUntilS[m];
                for (auto it = sim.queue.begin(); it != sim.queue.end();)
                    it = it->type == 0x81 + m ? sim.queue.erase(it) : it + 1;
                break;
            case INJECT_SILENCE:
                done.started = done.ended = true;
                done.startS = sim.clockS;
                sim.clockS += in.seconds;
                done.endS = sim.clockS;
                break;
            case INJECT_ERRORS:
                sim.errorsLeft = in.count;
                sim.errorsInjection = index;
                done.count = 0;
                done.started = true;
                done.startS = -1;
                break;
            case INJECT_RESET: {
                SimMessage message;
                message.type = MSG_RESET_COUNTERS;
                message.injection = index;
                message.ends = true;
                EnqueueFirst(sim, message);
                break;
            }
            case INJECT_NAME: {
                std::string name, nick;
                SimSourceName(in.source, name, nick);
                uint8_t payload[NAME_PAYLOAD] = {};
                payload[0] = static_cast<uint8_t>(in.source);
                std::memcpy(payload + 1, in.name.data(), std::min<size_t>(in.name.size(), NAME_LENGTH));
                std::memcpy(payload + 1 + NAME_LENGTH, nick.data(), std::min<size_t>(nick.size(), NICKNAME_LENGTH));
                SimMessage message;
                message.type = MSG_SOURCE_NAME;
                message.payload.assign(payload, payload + NAME_PAYLOAD);
                message.injection = index;
                message.ends = true;
                done.source = in.source;
                EnqueueFirst(sim, message);
                break;
            }
            default: break;
            }
        }
        // A glitch ends once it has lasted its length: the bank as held, at once.
        if ((in.kind == INJECT_DROP || in.kind == INJECT_BLIP) && done.started && done.count == 1 &&
            sim.clockS >= done.startS + in.ms / 1000.0) {
            done.count = 2;
            sim.meOverride[m] = false;
            uint8_t payload[ME_PAYLOAD];
            SimMePayload(sim.me[m], payload);
            EnqueueFirst(sim, MeMessage(m, payload, index, true));
        }
        if (in.kind == INJECT_STALE && done.started && sim.clockS >= sim.staleUntilS[m]) done.ended = true;
    }
}

// What a correct receiver does with one complete message.
void ExpectMessage(SimState& sim, uint8_t type, const uint8_t* payload) {
    TallyCounterValues& c = sim.expected;
    if (type >= 0x81 && type < 0x81 + ME_RECORDS) {
        std::memcpy(sim.meRecord[type - 0x81] + 2, payload, ME_PAYLOAD);
        ++c.meCount[type - 0x81];
    } else if (type >= 0x91 && type < 0x91 + EXT_RECORDS) {
        std::memcpy(sim.extRecord[type - 0x91] + 2, payload, EXT_PAYLOAD);
        ++c.extCount[type - 0x91];
    } else if (type == 0xA1) {
        std::memcpy(sim.ssRecord + 2, payload, SS_PAYLOAD);
        ++c.ssCount;
    } else if (type >= 0xB1 && type < 0xB1 + OUT_RECORDS) {
        std::memcpy(sim.outRecord[type - 0xB1] + 2, payload, OUT_PAYLOAD);
        ++c.outCount[type - 0xB1];
    } else if ((type == MSG_SOURCE_NAME || type == MSG_SOURCE_ALIAS) && payload[0] >= 1 &&
               payload[0] <= SOURCE_COUNT) {
        uint8_t* entry = sim.names[payload[0]];
        entry[0] = 1;
        if (type == MSG_SOURCE_NAME) {
            std::memcpy(entry + 1, payload + 1, NAME_LENGTH);
            entry[13] = 0;
            std::memcpy(entry + 14, payload + 13, NICKNAME_LENGTH);
            entry[20] = 0;
            entry[21] = 0;  // alias emptied by its first byte only
        } else {
            std::memcpy(entry + 21, payload + 1, NAME_LENGTH);
            std::memcpy(entry + 14, payload + 13, NICKNAME_LENGTH);
        }
    } else if (type == MSG_RESET_COUNTERS) {
        c = TallyCounterValues{};
    }
}

void Put(SimState& sim, std::vector<uint8_t>& out, uint8_t byte) {
    out.push_back(byte);
    ++sim.bytes;
}

uint8_t RandomHigh(SimRandom& rng) { return static_cast<uint8_t>(0x81 + SimRandomBelow(rng, 0x7F)); }
uint8_t RandomLow(SimRandom& rng) { return static_cast<uint8_t>(SimRandomBelow(rng, 0x81)); }

const uint8_t FRAMED_TYPES[] = {0x81, 0x82, 0x83, 0x84, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96,
                                0x97, 0x98, 0xA1, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xC1};

// Faults are laid down in an order whose effect on framing is exact:
// stray bytes and a low-byte header leave the parser idle; an unknown type is
// two whole header bytes; a truncated message is always followed by two high
// bytes (the next header, or a lone mismatching byte and the header), which
// end it as one payload error and are then framed afresh; a lone high byte
// right before the header is one mismatch; a tripled header is one payload
// error and the message is still stored.
void EmitFaults(SimState& sim, std::vector<uint8_t>& out, uint8_t nextType, bool& triple) {
    SimRandom& rng = sim.rng;
    const double* rate = sim.config.faultRate;
    TallyCounterValues& c = sim.expected;
    if (SimChance(rng, rate[FAULT_STRAY_BYTE])) {
        const int n = static_cast<int>(1 + SimRandomBelow(rng, 4));
        for (int i = 0; i < n; ++i) Put(sim, out, RandomLow(rng));
        c.strayByteCount += static_cast<uint32_t>(n);
        ++sim.faults[FAULT_STRAY_BYTE];
    }
    if (SimChance(rng, rate[FAULT_HEADER_LOW_BYTE])) {
        Put(sim, out, RandomHigh(rng));
        Put(sim, out, RandomLow(rng));
        ++c.headerLowByteCount;
        ++sim.faults[FAULT_HEADER_LOW_BYTE];
    }
    if (SimChance(rng, rate[FAULT_UNKNOWN_TYPE])) {
        const uint8_t type = static_cast<uint8_t>(0xE0 + SimRandomBelow(rng, 0x20));
        Put(sim, out, type);
        Put(sim, out, type);
        ++c.unknownTypeCount;
        ++sim.faults[FAULT_UNKNOWN_TYPE];
    }
    if (SimChance(rng, rate[FAULT_TRUNCATED])) {
        const uint8_t type = FRAMED_TYPES[SimRandomBelow(rng, sizeof FRAMED_TYPES)];
        const int length = payloadLength(type);
        std::vector<uint8_t> payload(static_cast<size_t>(length));
        for (int i = 0; i < length; ++i)
            payload[i] = (i % 2 == 0) ? RandomSource(rng) : static_cast<uint8_t>(SimRandomBelow(rng, 256));
        // Keep at least two bytes missing, so that the first following high
        // byte cannot complete it, and end on a low byte, so that it is taken
        // as data and the second one is the error.
        int kept = static_cast<int>(1 + SimRandomBelow(rng, static_cast<uint32_t>(length - 2)));
        if (IsHighByte(payload[kept - 1])) --kept;
        Put(sim, out, type);
        Put(sim, out, type);
        for (int i = 0; i < kept; ++i) Put(sim, out, payload[i]);
        ++c.payloadErrorCount;
        ++sim.faults[FAULT_TRUNCATED];
    }
    if (SimChance(rng, rate[FAULT_HEADER_MISMATCH])) {
        uint8_t lone = RandomHigh(rng);
        if (lone == nextType) lone = lone == 0xFF ? 0x81 : static_cast<uint8_t>(lone + 1);
        Put(sim, out, lone);
        ++c.headerMismatchCount;
        ++sim.faults[FAULT_HEADER_MISMATCH];
    }
    // A reset has no payload for a third header byte to fall into.
    triple = nextType != MSG_RESET_COUNTERS && SimChance(rng, rate[FAULT_PAYLOAD_ERROR]);
    if (triple) {
        ++c.payloadErrorCount;
        ++sim.faults[FAULT_PAYLOAD_ERROR];
    }
}

}  // namespace

void SimSourceName(int source, std::string& name, std::string& nickname) {
    char text[32], nick[32];
    for (const SourceGroup& g : SOURCE_GROUPS) {
        if (source < g.first || source > g.last) continue;
        const int n = source - g.first + 1;
        if (g.letters) {
            std::snprintf(text, sizeof text, g.name, 'A' + n - 1);
            std::snprintf(nick, sizeof nick, g.nickname, 'A' + n - 1);
        } else {
            std::snprintf(text, sizeof text, g.name, n);
            std::snprintf(nick, sizeof nick, g.nickname, n);
        }
        name = text;
        nickname = nick;
        return;
    }
    if (source >= 81 && source <= 84) {
        name = FIXED_SOURCES[source - 81][0];
        nickname = FIXED_SOURCES[source - 81][1];
        return;
    }
    std::snprintf(text, sizeof text, "TIE LINE %d", source - 84);  // router tie lines 1..44
    std::snprintf(nick, sizeof nick, "TIE%d", source - 84);
    name = text;
    nickname = nick;
}

void SimMePayload(const SimMe& me, uint8_t payload[ME_PAYLOAD]) {
    // Even bytes: sources of Key1..Key4 fill/cut, A bus, B bus, Util 1, Util 2.
    for (int k = 0; k < 4; ++k) {
        payload[4 * k] = me.keyFill[k];
        payload[4 * k + 2] = me.keyCut[k];
    }
    payload[16] = me.busA;
    payload[18] = me.busB;
    payload[20] = me.util1;
    payload[22] = me.util2;
    // Byte 1: fill and cut of every keyer in use.
    uint8_t inUse = 0;
    for (int k = 0; k < 4; ++k)
        if (me.keyersOn & (1u << k)) inUse |= static_cast<uint8_t>(3u << (2 * k));
    payload[1] = inUse;
    // Bit rows: bit 0 A bus, 1 B bus, 2 Util 1, 3 Util 2, 4-7 keyers 1-4.
    uint8_t program = 0x01 | static_cast<uint8_t>(me.keyersOn << 4);
    if (me.transitioning) program |= 0x02;
    const uint8_t lookahead = static_cast<uint8_t>(0x02 | (me.keyersOn << 4));
    const uint8_t rows[10] = {program, program, program, program,                   // PGM A-D
                              lookahead, lookahead, lookahead, lookahead,           // LAP A-D
                              0x02, static_cast<uint8_t>(0x02 | (me.util1 ? 4 : 0))};  // PVW A, PVW 2
    for (int j = 0; j < 10; ++j) payload[3 + 2 * j] = rows[j];
}

void SimInit(SimState& sim, const SimConfig& config) {
    sim.config = config;
    sim.clockS = 0;
    for (double& t : sim.lastSentS) t = 0;
    for (int m = 0; m < ME_RECORDS; ++m) {
        sim.phase[m] = PHASE_ON_AIR;
        sim.meOverride[m] = false;
        sim.staleUntilS[m] = 0;
    }
    sim.injected.assign(config.injections.size(), SimInjected());
    sim.errorsLeft = 0;
    sim.errorsInjection = -1;
    sim.rng.state = config.seed;
    sim.refreshCursor = 0;
    sim.queue.clear();
    sim.messageCount = 0;
    std::memset(sim.messagesByType, 0, sizeof sim.messagesByType);
    std::memset(sim.faults, 0, sizeof sim.faults);
    sim.bytes = 0;
    sim.expected = TallyCounterValues{};
    {
        // Records a receiver holds before any message: the store's initial contents.
        std::unique_ptr<TallyStore> store(new TallyStore);
        std::unique_ptr<TallySnapshotValues> snap(new TallySnapshotValues);
        TallyStoreInit(*store);
        TallySnapshot(*store, *snap);
        std::memcpy(sim.meRecord, snap->meTally, sizeof sim.meRecord);
        std::memcpy(sim.extRecord, snap->extTally, sizeof sim.extRecord);
        std::memcpy(sim.ssRecord, &snap->ssTally, sizeof sim.ssRecord);
        std::memcpy(sim.outRecord, snap->outTally, sizeof sim.outRecord);
        std::memcpy(sim.names, snap->sourceNames, sizeof sim.names);
    }
    SimRandom& rng = sim.rng;
    for (int m = 0; m < ME_RECORDS; ++m) {
        SimMe& me = sim.me[m];
        for (int k = 0; k < 4; ++k) {
            me.keyFill[k] = static_cast<uint8_t>(41 + k);
            me.keyCut[k] = static_cast<uint8_t>(41 + k);
        }
        me.busA = ShotSource(rng);
        me.busB = ShotSource(rng);
        me.util1 = static_cast<uint8_t>(82);  // black
        me.util2 = static_cast<uint8_t>(81);  // bars
        me.keyersOn = m == 0 ? 1 : 0;         // a logo on the main program
        me.transitioning = false;
    }
    for (int e = 0; e < EXT_RECORDS; ++e) {
        uint8_t* d = sim.ext[e];
        for (int o = 0; o < 6; ++o) {
            d[2 * o] = static_cast<uint8_t>(1u << SimRandomBelow(rng, 7));  // below 0x80
            d[2 * o + 1] = RandomSource(rng);
        }
        d[12] = static_cast<uint8_t>(SimRandomBelow(rng, 16));
        for (int i = 13; i < EXT_PAYLOAD; ++i) d[i] = RandomSource(rng);
    }
    sim.ss[0] = 49;
    sim.ss[1] = 50;
    sim.ss[2] = 0x08;
    for (int r = 0; r < OUT_RECORDS; ++r) {
        uint8_t* d = sim.out[r];
        static const int sourceBytes[8] = {0, 2, 4, 5, 6, 7, 8, 9};
        for (int i : sourceBytes) d[i] = RandomSource(rng);
        d[1] = static_cast<uint8_t>(SimRandomBelow(rng, 16));
        d[3] = static_cast<uint8_t>(SimRandomBelow(rng, 256));
    }
    // The switcher announces its source table first, then its aliases, then
    // its whole state.
    if (config.names) {
        for (int s = 1; s <= SOURCE_COUNT; ++s) {
            std::string name, nick;
            SimSourceName(s, name, nick);
            EnqueueName(sim, MSG_SOURCE_NAME, s, name, nick);
        }
        for (const Alias& a : START_ALIASES) EnqueueName(sim, MSG_SOURCE_ALIAS, a.source, a.alias, a.nickname);
    }
    for (int m = 0; m < ME_RECORDS; ++m) EnqueueMe(sim, m);
    for (int e = 0; e < EXT_RECORDS; ++e) EnqueueExt(sim, e);
    EnqueueSs(sim);
    for (int r = 0; r < OUT_RECORDS; ++r) EnqueueOut(sim, r);
    for (int m = 0; m < ME_RECORDS; ++m) sim.nextActionS[m] = config.realPace ? Between(rng, 1.0, 3.0) : 0;
}

void SimPrepare(SimState& sim) {
    if (!sim.config.injections.empty()) Inject(sim);
}

void SimNext(SimState& sim, std::vector<uint8_t>& out) {
    const uint64_t bytesBefore = sim.bytes;
    SimPrepare(sim);
    SimMessage message;
    if (sim.config.resetAt && sim.messageCount + 1 == sim.config.resetAt) {
        message.type = MSG_RESET_COUNTERS;
    } else {
        for (;;) {
            while (sim.queue.empty()) {
                if (sim.config.realPace) RealProductionStep(sim);
                else ProductionStep(sim);
            }
            message = sim.queue.front();
            sim.queue.pop_front();
            // A stale bank is not sent at all.
            const bool stale = message.type >= 0x81 && message.type < 0x81 + ME_RECORDS &&
                               sim.staleUntilS[message.type - 0x81] > sim.clockS;
            if (!stale) break;
        }
    }
    if (sim.errorsLeft > 0) {  // an injected burst: a header with a low second byte
        Put(sim, out, RandomHigh(sim.rng));
        Put(sim, out, RandomLow(sim.rng));
        ++sim.expected.headerLowByteCount;
        ++sim.faults[FAULT_HEADER_LOW_BYTE];
        --sim.errorsLeft;
    }
    bool triple = false;
    EmitFaults(sim, out, message.type, triple);
    Put(sim, out, message.type);
    Put(sim, out, message.type);
    if (triple) Put(sim, out, message.type);
    for (uint8_t b : message.payload) Put(sim, out, b);
    ExpectMessage(sim, message.type, message.payload.data());
    ++sim.messageCount;
    ++sim.messagesByType[message.type];
    // The clock: the message's bytes at line rate, or one message's share of the rate.
    sim.clockS += sim.config.messagesPerSecond > 0 ? 1.0 / sim.config.messagesPerSecond
                                                    : static_cast<double>(sim.bytes - bytesBefore) / sim.config.bytesPerSecond;
    sim.lastSentS[message.type] = sim.clockS;
    if (sim.errorsInjection >= 0) {
        SimInjected& burst = sim.injected[static_cast<size_t>(sim.errorsInjection)];
        if (burst.startS < 0) burst.startS = sim.clockS;
        ++burst.count;
        if (sim.errorsLeft == 0) {
            burst.endS = sim.clockS;
            burst.ended = true;
            sim.errorsInjection = -1;
        }
    }
    if (message.injection >= 0) {
        SimInjected& done = sim.injected[static_cast<size_t>(message.injection)];
        if (!message.ends) {
            done.started = true;
            done.startS = sim.clockS;
        } else {
            if (!done.started) done.startS = sim.clockS;
            done.started = done.ended = true;
            done.endS = sim.clockS;
        }
    }
}

nlohmann::json SimSummaryJson(const SimState& sim) {
    nlohmann::json json = nlohmann::json::object();
    json["seed"] = sim.config.seed;
    nlohmann::json messages = nlohmann::json::object();
    for (int type = 0x81; type <= 0xFF; ++type) {
        const char* name = MessageTypeName(static_cast<uint8_t>(type));
        if (name) messages[name] = sim.messagesByType[type];
    }
    json["messages"] = messages;
    json["messageTotal"] = sim.messageCount;
    nlohmann::json faults = nlohmann::json::object();
    for (int k = 0; k < FAULT_KINDS; ++k) faults[SIM_FAULT_KEYS[k]] = sim.faults[k];
    json["faults"] = faults;
    json["bytes"] = sim.bytes;
    json["counters"] = CountersToJson(sim.expected);
    nlohmann::json records = nlohmann::json::object();
    records["me"] = nlohmann::json::array();
    for (const auto& r : sim.meRecord) records["me"].push_back(HexBytes(r, sizeof r, ""));
    records["ext"] = nlohmann::json::array();
    for (const auto& r : sim.extRecord) records["ext"].push_back(HexBytes(r, sizeof r, ""));
    records["ss"] = HexBytes(sim.ssRecord, sizeof sim.ssRecord, "");
    records["out"] = nlohmann::json::array();
    for (const auto& r : sim.outRecord) records["out"].push_back(HexBytes(r, sizeof r, ""));
    json["records"] = records;
    json["names"] = nlohmann::json::array();
    for (const auto& entry : sim.names) json["names"].push_back(HexBytes(entry, sizeof entry, ""));
    if (!sim.config.injections.empty()) {
        nlohmann::json list = nlohmann::json::array();
        for (size_t i = 0; i < sim.config.injections.size(); ++i) {
            const SimInjection& in = sim.config.injections[i];
            const SimInjected& done = sim.injected[i];
            nlohmann::json item = {{"kind", SIM_INJECT_KEYS[in.kind]}, {"at", in.at}, {"done", done.ended}};
            if (done.started) item["start"] = done.startS;
            if (done.ended) item["end"] = done.endS;
            switch (in.kind) {
            case INJECT_DROP:
            case INJECT_BLIP:
                item["me"] = in.me;
                item["level"] = "PGM";
                item["source"] = done.source;
                item["ms"] = in.ms;
                if (done.ended) item["lengthMs"] = (done.endS - done.startS) * 1000.0;
                break;
            case INJECT_STALE:
                item["me"] = in.me;
                item["type"] = 0x80 + in.me;
                item["seconds"] = in.seconds;
                break;
            case INJECT_SILENCE: item["seconds"] = in.seconds; break;
            case INJECT_ERRORS: item["count"] = done.count; break;
            case INJECT_NAME:
                item["source"] = in.source;
                item["name"] = in.name;
                break;
            default: break;
            }
            list.push_back(item);
        }
        json["injected"] = list;
    }
    json["seconds"] = sim.clockS;
    return json;
}

bool SimParseInjection(const std::string& text, SimInjection& in, std::string& error) {
    in = SimInjection();
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        parts.push_back(text.substr(start, comma - start));
    parts.push_back(text.substr(start));
    int kind = -1;
    for (int k = 0; k < INJECT_KINDS; ++k)
        if (parts[0] == SIM_INJECT_KEYS[k]) kind = k;
    if (kind < 0) {
        error = text + ": the kind is one of drop, blip, stale, silence, errors, reset, name";
        return false;
    }
    in.kind = static_cast<SimInjectKind>(kind);
    bool at = false;
    for (size_t i = 1; i < parts.size(); ++i) {
        const size_t eq = parts[i].find('=');
        const std::string key = parts[i].substr(0, eq), value = eq == std::string::npos ? "" : parts[i].substr(eq + 1);
        char* end = nullptr;
        const double number = std::strtod(value.c_str(), &end);
        const bool numeric = !value.empty() && *end == 0 && number >= 0;
        if (key == "name" && in.kind == INJECT_NAME && !value.empty() && value.size() <= NAME_LENGTH) {
            in.name = value;
            continue;
        }
        if (!numeric) {
            error = text + ": " + parts[i] + " is not KEY=NUMBER (at, me, source, ms, s, count) or name=TEXT";
            return false;
        }
        if (key == "at") {
            in.at = number;
            at = true;
        } else if (key == "me" && number >= 1 && number <= ME_RECORDS && number == int(number)) {
            in.me = static_cast<int>(number);
        } else if (key == "source" && number >= 1 && number <= SOURCE_COUNT && number == int(number)) {
            in.source = static_cast<int>(number);
        } else if (key == "ms" && number > 0) {
            in.ms = number;
        } else if (key == "s" && number > 0) {
            in.seconds = number;
        } else if (key == "count" && number >= 1 && number <= 100000 && number == int(number)) {
            in.count = static_cast<int>(number);
        } else {
            error = text + ": " + parts[i] + " is not accepted (me 1-4, source 1-128, ms and s above 0, count 1-100000)";
            return false;
        }
    }
    if (!at) {
        error = text + ": needs at=SECONDS";
        return false;
    }
    if (in.kind == INJECT_NAME && !in.source) {
        error = text + ": needs source=N";
        return false;
    }
    return true;
}
