// Switcher simulator: production model, message encoding, fault injection and
// the receiver state expected from it.
#include "tools/tallysim/sim.h"

#include <cstring>
#include <memory>

#include "tools/tallydump/dump.h"

const char* const SIM_FAULT_KEYS[FAULT_KINDS] = {"strayByte",    "headerMismatch", "headerLowByte",
                                                 "payloadError", "unknownType",    "truncated"};

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
    Enqueue(sim, static_cast<uint8_t>(0x81 + index), payload, ME_PAYLOAD);
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
}

void SimNext(SimState& sim, std::vector<uint8_t>& out) {
    SimMessage message;
    if (sim.config.resetAt && sim.messageCount + 1 == sim.config.resetAt) {
        message.type = MSG_RESET_COUNTERS;
    } else {
        while (sim.queue.empty()) ProductionStep(sim);
        message = sim.queue.front();
        sim.queue.pop_front();
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
    return json;
}
