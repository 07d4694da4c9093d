// The tally map (On Air levels to lamps and back), the refresh scheduler and
// the hub comparator, all on explicit times.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tsl/tsl_compare.h"
#include "tsl/tsl_map.h"

namespace {

// Source of input i (0..11) goes to data byte 2i; row j to data byte 3 + 2j.
// Rows 0-3 PGM, 4-7 LAP, 8-9 PVW; bit 0 of a row is BusA (input 8), bit 1 BusB (9).
struct Switcher {
    MeTally me[ME_RECORDS] = {};
    OutputTally out[OUT_RECORDS] = {};
    OnAirInputs inputs = {};
    void Bus(int me, int input, int source) { me_(me).data[2 * input] = static_cast<uint8_t>(source); }
    void Row(int me, int row, uint8_t bits) { me_(me).data[3 + 2 * row] = bits; }
    MeTally& me_(int m) { return me[m]; }
    void Name(int source, const char* name) { std::strcpy(inputs.name[source], name); }
    const OnAirTally& Derive() {
        static OnAirTally tally;
        OnAirDerive(me, out, tally);
        return tally;
    }
};

const int BUS_A = 8, BUS_B = 9;

TslLamp Lamp(uint16_t index, OnAirLevel level) {
    TslLamp l;
    l.index = index;
    l.source = index;
    l.level = level;
    l.text = "S" + std::to_string(index);
    return l;
}

}  // namespace

TEST(TslMap, DefaultMapLightsEachSourceByItsHighestLevelWithNamesAndBits) {
    Switcher s;
    s.Bus(0, BUS_A, 5);
    s.Bus(0, BUS_B, 6);
    s.Row(0, 0, 0x01);  // ME 1 PGM A: BusA (5)
    s.Row(0, 8, 0x02);  // ME 1 PVW A: BusB (6)
    s.Bus(1, BUS_A, 6);
    s.Bus(1, BUS_B, 7);
    s.Row(1, 4, 0x02);  // ME 2 LAP A: BusB (7)
    s.Row(1, 1, 0x01);  // ME 2 PGM B: BusA (6): PGM beats ME 1's PVW
    s.Name(5, "CAM 1  ");
    s.Name(9, "VT");  // named, in no record: off
    const OnAirTally& t = s.Derive();

    TslMapConfig map;
    auto lamps = TslMapLamps(map, t, s.inputs, TSL_V50);
    // Source 0 fills the unused inputs; like the On Air view, it gets a lamp.
    ASSERT_EQ(lamps.size(), 5u);
    EXPECT_EQ(lamps[0].index, 0);
    EXPECT_EQ(lamps[0].level, ONAIR_OFF);
    lamps.erase(lamps.begin());
    EXPECT_EQ(lamps[0].index, 5);
    EXPECT_EQ(lamps[0].level, ONAIR_PROGRAM);
    EXPECT_EQ(lamps[0].text, "CAM 1");
    EXPECT_EQ(lamps[1].level, ONAIR_PROGRAM);
    EXPECT_EQ(lamps[1].text, "SRC 6");
    EXPECT_EQ(lamps[2].level, ONAIR_LOOKAHEAD);
    EXPECT_EQ(lamps[3].index, 9);
    EXPECT_EQ(lamps[3].level, ONAIR_OFF);

    // 3.1: PGM tally 1, PVW tally 2, LAP tally 3; brightness in bits 4-5.
    EXPECT_EQ(TslMapMessage(map, lamps[0]).tally31, 0x1);
    EXPECT_EQ(TslMapMessage(map, lamps[2]).tally31, 0x4);
    EXPECT_EQ(TslMapMessage(map, lamps[3]).tally31, 0x0);
    // 5.0: red PGM, amber LAP on all three tallies.
    const TslMessage pgm = TslMapMessage(map, lamps[0]), lap = TslMapMessage(map, lamps[2]);
    EXPECT_EQ(pgm.lh, TSL_RED);
    EXPECT_EQ(pgm.txt, TSL_RED);
    EXPECT_EQ(pgm.rh, TSL_RED);
    EXPECT_EQ(lap.lh, TSL_AMBER);

    // ME 1 alone: source 6 is only on preview there, 7 not at all.
    map.me = 0;
    lamps = TslMapLamps(map, t, s.inputs, TSL_V50);
    lamps.erase(lamps.begin());
    EXPECT_EQ(lamps[1].level, ONAIR_PREVIEW);
    EXPECT_EQ(TslMapMessage(map, lamps[1]).tally31, 0x2);
    EXPECT_EQ(TslMapMessage(map, lamps[1]).lh, TSL_GREEN);
    EXPECT_EQ(lamps[2].level, ONAIR_OFF);

    // PGM left out of the map: the next level the source has shows instead.
    map.level[ONAIR_PROGRAM] = false;
    lamps = TslMapLamps(map, t, s.inputs, TSL_V50);
    lamps.erase(lamps.begin());
    EXPECT_EQ(lamps[0].level, ONAIR_OFF);
    EXPECT_EQ(lamps[1].level, ONAIR_PREVIEW);
}

TEST(TslMap, OffsetMovesIndicesAndThoseOutOfRangeAreSkipped) {
    Switcher s;
    s.Bus(0, BUS_A, 100);
    s.Bus(0, BUS_B, 3);
    s.Row(0, 0, 0x03);
    TslMapConfig map;
    map.indexOffset = 30;
    int skipped = -1;
    auto lamps = TslMapLamps(map, s.Derive(), s.inputs, TSL_V31, &skipped);
    ASSERT_EQ(lamps.size(), 2u);  // sources 0 and 3; 130 is past 3.1's last address
    EXPECT_EQ(lamps[0].index, 30);
    EXPECT_EQ(lamps[1].index, 33);
    EXPECT_EQ(lamps[1].level, ONAIR_PROGRAM);
    EXPECT_EQ(skipped, 1);
    lamps = TslMapLamps(map, s.Derive(), s.inputs, TSL_V50, &skipped);
    EXPECT_EQ(lamps.size(), 3u);
    EXPECT_EQ(skipped, 0);
}

TEST(TslMap, ReadBackwardsEveryLevelComesBackUnderDefaultAndChangedMaps) {
    TslMapConfig changed;
    changed.lh = changed.rh = false;  // colour on the text tally only
    changed.bit31[ONAIR_PROGRAM] = 3;
    changed.bit31[ONAIR_PREVIEW] = 0;
    changed.colour50[ONAIR_LOOKAHEAD] = TSL_GREEN;
    changed.colour50[ONAIR_PREVIEW] = TSL_AMBER;
    changed.brightness = 1;
    for (const TslMapConfig& map : {TslMapConfig(), changed}) {
        for (TslVersion v : {TSL_V31, TSL_V50}) {
            for (OnAirLevel level : {ONAIR_OFF, ONAIR_PREVIEW, ONAIR_LOOKAHEAD, ONAIR_PROGRAM}) {
                const TslMessage m = TslMapMessage(map, Lamp(12, level));
                EXPECT_EQ(TslMapLevelOf(map, v, m), level) << int(v) << " " << int(level);
                EXPECT_EQ(m.brightness, map.brightness);
            }
        }
    }
    const TslMessage m = TslMapMessage(changed, Lamp(1, ONAIR_PROGRAM));
    EXPECT_EQ(m.tally31, 0x8);
    EXPECT_EQ(m.lh, TSL_OFF);
    EXPECT_EQ(m.txt, TSL_RED);
    // A hub lighting two levels' bits reads as the higher one.
    TslMessage both;
    both.tally31 = 0x3;  // PGM and PVW bits
    EXPECT_EQ(TslMapLevelOf(TslMapConfig(), TSL_V31, both), ONAIR_PROGRAM);
}

TEST(TslMap, PacketsAreWhole31OrPacked50AndDleWrappedWhenAsked) {
    std::vector<TslLamp> lamps;
    for (int i = 1; i <= 200; ++i) {
        lamps.push_back(Lamp(static_cast<uint16_t>(i), ONAIR_PREVIEW));
        lamps.back().text = "A NAME OF 20 LETTERS";  // 26-byte DMSGs: 78 per packet
    }
    TslMapConfig map;
    EXPECT_EQ(TslMapPackets(map, TSL_V31, lamps, false).size(), 126u);  // 127..200 have no 3.1 address
    const auto packets = TslMapPackets(map, TSL_V50, lamps, true);
    ASSERT_EQ(packets.size(), 3u);
    TslStreamDecoder d;
    std::vector<TslPacket> out;
    for (const auto& p : packets) d.Feed(p.data(), p.size(), out);
    size_t messages = 0;
    for (const TslPacket& p : out) {
        ASSERT_TRUE(p.problem.empty()) << p.problem;
        for (const TslMessage& m : p.messages) EXPECT_EQ(TslMapLevelOf(map, TSL_V50, m), ONAIR_PREVIEW);
        messages += p.messages.size();
    }
    EXPECT_EQ(messages, 200u);

    map.oneMessagePerPacket = true;  // for receivers that read only the first DMSG
    const auto single = TslMapPackets(map, TSL_V50, lamps, false);
    ASSERT_EQ(single.size(), 200u);
    TslPacket p;
    ASSERT_TRUE(Tsl50Decode(single[199].data(), single[199].size(), p));
    ASSERT_EQ(p.messages.size(), 1u);
    EXPECT_EQ(p.messages[0].index, 200);
}

TEST(TslRefresh, ChangesGoAtOnceAndEveryIndexInUseIsResentEachInterval) {
    TslRefreshScheduler sched(1000);
    std::vector<TslLamp> lamps = {Lamp(1, ONAIR_PROGRAM), Lamp(2, ONAIR_OFF), Lamp(3, ONAIR_PREVIEW)};
    EXPECT_EQ(sched.Due(lamps, 0).size(), 3u);
    EXPECT_EQ(sched.NextDueMs(), 1000);
    EXPECT_TRUE(sched.Due(lamps, 10).empty());
    lamps[1].level = ONAIR_LOOKAHEAD;  // a change goes out on the next call, alone
    auto due = sched.Due(lamps, 40);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].index, 2);
    EXPECT_TRUE(sched.Due(lamps, 999).empty());
    EXPECT_EQ(sched.Due(lamps, 1000).size(), 3u);  // all together, 2 a little early
    EXPECT_EQ(sched.NextDueMs(), 2000);
    // Index 3 leaves: it is turned off once, then never sent again.
    lamps.pop_back();
    due = sched.Due(lamps, 1200);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].index, 3);
    EXPECT_EQ(due[0].level, ONAIR_OFF);
    due = sched.Due(lamps, 2000);
    EXPECT_EQ(due.size(), 2u);
    for (const TslLamp& l : due) EXPECT_NE(l.index, 3);
}

TEST(TslCompare, DivergenceNeedsMoreThanTheToleranceAndEndsWithItsLength) {
    TslComparator c;
    std::vector<TslCompareEvent> ev;
    c.SetSwitcher({Lamp(4, ONAIR_PROGRAM), Lamp(5, ONAIR_PREVIEW)}, 1000);
    c.HubHeard(5, ONAIR_PREVIEW, 1150);  // within tolerance: only a lag
    c.Poll(1200, ev);
    EXPECT_TRUE(ev.empty());
    c.Poll(1201, ev);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, TSL_DIVERGED);
    EXPECT_EQ(ev[0].index, 4);
    EXPECT_EQ(ev[0].source, 4);
    EXPECT_EQ(ev[0].switcher, ONAIR_PROGRAM);
    EXPECT_EQ(ev[0].hub, ONAIR_OFF);
    EXPECT_EQ(ev[0].ms, 201);
    EXPECT_EQ(c.Differing(), 1);
    c.Poll(1400, ev);
    EXPECT_EQ(ev.size(), 1u);  // said once
    c.HubHeard(4, ONAIR_PROGRAM, 3000);
    c.Poll(3010, ev);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].kind, TSL_AGREED);
    EXPECT_EQ(ev[1].ms, 2000);
    EXPECT_EQ(c.Differing(), 0);
    EXPECT_EQ(c.Lag(5).count, 1u);
    EXPECT_EQ(c.Lag(5).max, 150);
    EXPECT_EQ(c.Lag(4).max, 2000);

    // A hub lamp the switcher does not give (stuck red) diverges too.
    c.HubHeard(5, ONAIR_PREVIEW, 4000);  // refreshed, so not stale
    c.HubHeard(4, ONAIR_PROGRAM, 4000);
    c.HubHeard(6, ONAIR_PROGRAM, 4000);
    c.Poll(4300, ev);
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[2].index, 6);
    EXPECT_EQ(ev[2].switcher, ONAIR_OFF);
    EXPECT_EQ(ev[2].hub, ONAIR_PROGRAM);
}

TEST(TslCompare, EventsForTheHistoryNameIndexSourceBothLampsAndTheirLength) {
    TslComparator c;
    std::vector<TslCompareEvent> ev;
    c.SetSwitcher({Lamp(7, ONAIR_PROGRAM), Lamp(8, ONAIR_PREVIEW)}, 0);
    c.HubHeard(7, ONAIR_PROGRAM, 50);
    c.HubHeard(8, ONAIR_PREVIEW, 50);
    // Index 7 on the hub goes to LAP for 180 ms: within the tolerance, nothing.
    c.HubHeard(7, ONAIR_LOOKAHEAD, 1000);
    c.Poll(1100, ev);
    c.HubHeard(7, ONAIR_PROGRAM, 1180);
    c.Poll(1500, ev);
    EXPECT_TRUE(ev.empty());
    // Index 8 dark on the hub past the tolerance: one divergence, then one "agrees".
    c.HubHeard(8, ONAIR_OFF, 2000);
    c.Poll(2150, ev);
    c.Poll(2250, ev);
    c.Poll(2400, ev);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(TslEventText(ev[0]), "index 8 (source 8): switcher PVW, hub off, for 250 ms");
    c.HubHeard(8, ONAIR_PREVIEW, 2600);
    c.Poll(2700, ev);
    c.Poll(2800, ev);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].kind, TSL_AGREED);
    EXPECT_EQ(TslEventText(ev[1]), "index 8 (source 8): hub agrees again (PVW) after 600 ms");
    // The hub goes quiet with lamps lit: each is stale once, in words.
    c.Poll(5600, ev);
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(TslEventText(ev[2]), "index 7 (source 7): hub lamp PGM not refreshed for 4420 ms");
    EXPECT_EQ(TslEventText(ev[3]), "index 8 (source 8): hub lamp PVW not refreshed for 3000 ms");
}

TEST(TslCompare, IndicesAboveTheLimitAreNotComparedAndTheirDivergenceIsForgotten) {
    TslComparator c;
    std::vector<TslCompareEvent> ev;
    c.SetSwitcher({Lamp(126, ONAIR_PROGRAM), Lamp(127, ONAIR_PROGRAM)}, 0);
    c.Poll(300, ev);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(c.Differing(), 2);
    c.SetIndexLimit(126);
    EXPECT_EQ(c.Differing(), 1);
    c.HubHeard(126, ONAIR_PROGRAM, 400);
    c.Poll(500, ev);
    ASSERT_EQ(ev.size(), 3u);  // 126 agrees; 127 ends without a word
    EXPECT_EQ(ev[2].index, 126);
    EXPECT_EQ(ev[2].kind, TSL_AGREED);
    c.Poll(9000, ev);
    EXPECT_EQ(ev.size(), 4u);  // 126 stale; nothing of 127
    EXPECT_EQ(ev[3].index, 126);
    EXPECT_EQ(c.Differing(), 0);
}

TEST(TslCompare, LagPercentilesStaleLampsAndBroadcast) {
    TslCompareConfig config;
    config.toleranceMs = 10000;
    TslComparator c(config);
    std::vector<TslCompareEvent> ev;
    int64_t t = 0;
    for (int lag = 1; lag <= 100; ++lag) {
        c.SetSwitcher({Lamp(1, ONAIR_PROGRAM)}, t);
        c.HubHeard(1, ONAIR_PROGRAM, t + lag);
        t += 1000;
        c.SetSwitcher({Lamp(1, ONAIR_OFF)}, t);
        c.HubHeard(1, ONAIR_OFF, t);  // same instant: lag 0, counted
        t += 1000;
    }
    const TslLagStats s = c.Lag(1);
    EXPECT_EQ(s.count, 200u);
    EXPECT_EQ(s.p50, 0);
    EXPECT_EQ(s.p99, 98);
    EXPECT_EQ(s.max, 100);

    // A lit lamp left 3 s without a refresh is stale, once; hearing it clears that.
    c.SetSwitcher({Lamp(1, ONAIR_PROGRAM), Lamp(2, ONAIR_PREVIEW)}, t);
    c.HubHeard(1, ONAIR_PROGRAM, t);
    c.HubHeard(2, ONAIR_PREVIEW, t);
    c.Poll(t + 2999, ev);
    EXPECT_TRUE(ev.empty());
    c.HubHeard(2, ONAIR_PREVIEW, t + 2000);
    c.Poll(t + 3000, ev);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, TSL_STALE);
    EXPECT_EQ(ev[0].index, 1);
    c.Poll(t + 4000, ev);
    EXPECT_EQ(ev.size(), 1u);
    c.Poll(t + 5000, ev);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].index, 2);

    // 0xFFFF reaches every index known.
    c.HubHeard(TSL50_BROADCAST, ONAIR_LOOKAHEAD, t + 6000);
    EXPECT_EQ(c.HubLevel(1), ONAIR_LOOKAHEAD);
    EXPECT_EQ(c.HubLevel(2), ONAIR_LOOKAHEAD);
}

TEST(TslConformance, CountsEachDeviationAndRefreshIntervalsPerIndex) {
    TslSenderConformance s;
    s.sender = "127.0.0.1:9000";
    uint8_t p31[18];
    TslMessage m;
    m.index = 3;
    m.text = "A";
    Tsl31Encode(m, p31);
    p31[1] |= 0x80;
    std::vector<TslPacket> out;
    TslDecodeDatagram(p31, 18, out);
    s.Note(out.back(), true, 0);

    TslMessage bad;
    bad.index = 3;
    bad.text = "B";
    std::vector<uint8_t> p50, framed;
    Tsl50Encode(Tsl50Header{}, &bad, 1, p50);
    p50.back() = 0x01;  // a control character in ASCII text
    TslDleWrap(p50.data(), p50.size(), framed);
    TslDecodeDatagram(framed.data(), framed.size(), out);
    s.Note(out.back(), true, 1000);
    p50[0] = 50;  // PBC that disagrees
    TslDecodeDatagram(p50.data(), p50.size(), out);
    s.Note(out.back(), true, 2500);
    // DLE/STX on a TCP stream is how it should be: not counted.
    s.Note(out[1], false, 2600);

    EXPECT_EQ(s.packets, 4u);
    EXPECT_EQ(s.bit7, 1u);
    EXPECT_EQ(s.dleOnUdp, 1u);
    EXPECT_EQ(s.pbcMismatch, 1u);
    EXPECT_EQ(s.textOutOfRange, 3u);
    EXPECT_EQ(s.indices[3].maxIntervalMs, 1500);
    EXPECT_EQ(s.indices[3].lastIntervalMs, 100);
    const std::string line = s.Line(3000);
    EXPECT_NE(line.find("3.1 bit 7: 1"), std::string::npos) << line;
    EXPECT_NE(line.find("refresh max 1500 ms"), std::string::npos) << line;
    EXPECT_NE(line.find("last heard 400 ms ago"), std::string::npos) << line;
}
