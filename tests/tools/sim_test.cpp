// tallysim's generator: its own expectation of the receiver must equal what
// the real parser makes of its output, for many seeds and fault mixes.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/tallydump/dump.h"
#include "tools/tallysim/sim.h"

namespace {

struct Mix {
    const char* label;
    double rates[FAULT_KINDS];
    uint64_t resetAt;
};

// Decodes bytes through the real parser in blocks of blockSize.
nlohmann::json Decode(const std::vector<uint8_t>& bytes, size_t blockSize) {
    DumpSession session;
    DumpSessionInit(session, nullptr);
    for (size_t i = 0; i < bytes.size(); i += blockSize)
        DumpFeed(session, bytes.data() + i, std::min(blockSize, bytes.size() - i));
    return DumpJson(session);
}

std::vector<uint8_t> Generate(SimState& sim, const SimConfig& config, int messages) {
    SimInit(sim, config);
    std::vector<uint8_t> bytes;
    for (int i = 0; i < messages; ++i) SimNext(sim, bytes);
    return bytes;
}

}  // namespace

TEST(TallySimRoundTrip, ParserAgreesWithTheSummaryForManySeedsAndFaultMixes) {
    const Mix mixes[] = {
        {"clean", {0, 0, 0, 0, 0, 0}, 0},
        {"stray", {0.3, 0, 0, 0, 0, 0}, 0},
        {"mismatch", {0, 0.3, 0, 0, 0, 0}, 0},
        {"low header", {0, 0, 0.3, 0, 0, 0}, 0},
        {"payload", {0, 0, 0, 0.3, 0, 0}, 0},
        {"unknown", {0, 0, 0, 0, 0.3, 0}, 0},
        {"truncated", {0, 0, 0, 0, 0, 0.3}, 0},
        {"truncated with mismatch and payload", {0, 0.6, 0, 0.6, 0, 0.6}, 0},
        {"everything", {0.2, 0.2, 0.2, 0.2, 0.2, 0.2}, 0},
        {"storm", {0.9, 0.9, 0.9, 0.9, 0.9, 0.9}, 0},
        {"reset early", {0.1, 0.1, 0.1, 0.1, 0.1, 0.1}, 5},
        {"reset late", {0.1, 0.1, 0.1, 0.1, 0.1, 0.1}, 500},
    };
    std::unique_ptr<SimState> sim(new SimState);
    for (const Mix& mix : mixes) {
        for (uint64_t seed = 1; seed <= 12; ++seed) {
            SimConfig config;
            config.seed = seed * 7919 + 3;
            for (int k = 0; k < FAULT_KINDS; ++k) config.faultRate[k] = mix.rates[k];
            config.resetAt = mix.resetAt;
            const std::vector<uint8_t> bytes = Generate(*sim, config, 700);
            const nlohmann::json expected = SimSummaryJson(*sim);
            const nlohmann::json decoded = Decode(bytes, seed % 3 == 0 ? 1 : seed % 3 == 1 ? 6000 : 25);
            SCOPED_TRACE(std::string(mix.label) + ", seed " + std::to_string(config.seed));
            EXPECT_EQ(decoded["counters"], expected["counters"]);
            EXPECT_EQ(decoded["records"], expected["records"]);
            EXPECT_EQ(decoded["names"], expected["names"]);
            EXPECT_EQ(decoded["pending"], 0);
            // Every kind asked for was actually injected.
            for (int k = 0; k < FAULT_KINDS; ++k)
                if (mix.rates[k] > 0) EXPECT_GT(sim->faults[k], 0u) << SIM_FAULT_KEYS[k];
                else EXPECT_EQ(sim->faults[k], 0u) << SIM_FAULT_KEYS[k];
            EXPECT_EQ(expected["messages"]["RESET"], mix.resetAt ? 1 : 0);
        }
    }
}

TEST(TallySimRoundTrip, ResetLeavesOnlyWhatFollowsIt) {
    std::unique_ptr<SimState> sim(new SimState);
    SimConfig config;
    config.seed = 99;
    config.resetAt = 400;
    for (double& r : config.faultRate) r = 0.1;
    const std::vector<uint8_t> bytes = Generate(*sim, config, 600);
    const nlohmann::json summary = SimSummaryJson(*sim);
    uint64_t counted = 0;
    for (uint32_t n : sim->expected.meCount) counted += n;
    for (uint32_t n : sim->expected.extCount) counted += n;
    for (uint32_t n : sim->expected.outCount) counted += n;
    counted += sim->expected.ssCount;
    // 200 messages follow the reset; names are not counted.
    EXPECT_LE(counted, 199u);
    EXPECT_GT(counted, 100u);
    EXPECT_EQ(Decode(bytes, 6000)["counters"], summary["counters"]);
}

TEST(TallySimTraffic, StartsWithTheNameTableAndKeepsEveryPayloadValid) {
    std::unique_ptr<SimState> sim(new SimState);
    SimConfig config;
    config.seed = 5;
    std::vector<uint8_t> bytes = Generate(*sim, config, 3000);
    const nlohmann::json summary = SimSummaryJson(*sim);
    EXPECT_GE(summary["messages"]["NAME"].get<int>(), 128);
    EXPECT_GE(summary["messages"]["ALIAS"].get<int>(), 10);
    // A clean production: every message type is sent, repeatedly, and the
    // parser counts no error at all.
    for (const char* type : {"ME 1", "ME 2", "ME 3", "ME 4", "EXT 1", "EXT 8", "SS", "OUT 1", "OUT 6"})
        EXPECT_GE(summary["messages"][type].get<int>(), 2) << type;
    const nlohmann::json decoded = Decode(bytes, 6000);
    for (const char* key : {"strayByteCount", "unknownTypeCount", "headerMismatchCount",
                            "headerLowByteCount", "payloadErrorCount"})
        EXPECT_EQ(decoded["counters"][key], 0) << key;
    // Every source got a plausible, distinct name that fits its fields.
    std::set<std::string> seen;
    for (int s = 1; s <= SOURCE_COUNT; ++s) {
        std::string name, nick;
        SimSourceName(s, name, nick);
        EXPECT_FALSE(name.empty());
        EXPECT_LE(name.size(), size_t(NAME_LENGTH)) << name;
        EXPECT_FALSE(nick.empty());
        EXPECT_LE(nick.size(), size_t(NICKNAME_LENGTH)) << nick;
        EXPECT_TRUE(seen.insert(name).second) << name;
    }
    // The ME payload keeps the rule whatever keyers are on air.
    SimMe me{};
    me.busA = 128;
    me.busB = 1;
    for (int keyers = 0; keyers < 16; ++keyers) {
        me.keyersOn = static_cast<uint8_t>(keyers);
        me.transitioning = keyers % 2 == 0;
        uint8_t payload[ME_PAYLOAD];
        SimMePayload(me, payload);
        EXPECT_TRUE(SimPayloadValid(payload, ME_PAYLOAD)) << keyers;
    }
    const uint8_t bad1[] = {0x90, 0x01}, bad2[] = {0x01, 0x90, 0x91}, good[] = {0x01, 0x90, 0x02, 0xFF};
    EXPECT_FALSE(SimPayloadValid(bad1, 2));
    EXPECT_FALSE(SimPayloadValid(bad2, 3));
    EXPECT_TRUE(SimPayloadValid(good, 4));
}

TEST(TallySimSeed, SameSeedSameStreamOtherSeedOtherStream) {
    std::unique_ptr<SimState> a(new SimState), b(new SimState);
    SimConfig config;
    for (double& r : config.faultRate) r = 0.05;
    config.seed = 1234;
    const std::vector<uint8_t> first = Generate(*a, config, 1500);
    const std::vector<uint8_t> again = Generate(*b, config, 1500);
    EXPECT_EQ(first, again);
    EXPECT_EQ(SimSummaryJson(*a), SimSummaryJson(*b));
    config.seed = 1235;
    const std::vector<uint8_t> other = Generate(*b, config, 1500);
    EXPECT_NE(first, other);
}
