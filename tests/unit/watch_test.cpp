// The watch rules on hand-made event sequences: the edges of each rule.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "watch/watch.h"

namespace {

const uint64_t T0 = 1796731522000000ull;  // some night in 2026, in microseconds
uint64_t Ms(double ms) { return T0 + static_cast<uint64_t>(ms * 1000 + 0.5); }

// An ME bank: bus A on program, bus B on preview and look-ahead, Util2 on
// program only when `util2Pgm`; `mix` puts bus B on program as well.
struct Bank {
    uint8_t a = 5, b = 6, util2 = 81;
    bool util2Pgm = false, mix = false;
};

WatchEvent Me(uint64_t t, int me, const Bank& bank) {
    uint8_t m[2 + ME_PAYLOAD] = {};
    m[0] = m[1] = static_cast<uint8_t>(0x81 + me);
    uint8_t* d = m + 2;
    for (int i = 0; i < 8; ++i) d[2 * i] = 41;  // keyers, never in a row here
    d[16] = bank.a;
    d[18] = bank.b;
    d[20] = 82;
    d[22] = bank.util2;
    const uint8_t pgm = static_cast<uint8_t>(0x01 | (bank.mix ? 0x02 : 0) | (bank.util2Pgm ? 0x08 : 0));
    for (int r = 0; r < 4; ++r) d[3 + 2 * r] = pgm;
    for (int r = 4; r < 8; ++r) d[3 + 2 * r] = 0x02;
    d[19] = d[21] = 0x02;
    return WatchEventMake(t, EVENT_MESSAGE, m[0], m, sizeof m);
}

// OUT 1 with output 1 carrying `source`, its on-air bit as given.
WatchEvent Out(uint64_t t, uint8_t source, bool onAir) {
    uint8_t m[2 + OUT_PAYLOAD] = {0xB1, 0xB1, source, 0, 9, static_cast<uint8_t>(onAir ? 1 : 0), 10, 11, 12, 13, 14, 15};
    return WatchEventMake(t, EVENT_MESSAGE, 0xB1, m, sizeof m);
}

WatchEvent Name(uint64_t t, uint8_t type, uint8_t source, const char* name, const char* nick) {
    uint8_t m[2 + NAME_PAYLOAD] = {};
    m[0] = m[1] = type;
    m[2] = source;
    std::memcpy(m + 3, name, std::strlen(name));
    std::memcpy(m + 3 + NAME_LENGTH, nick, std::strlen(nick));
    return WatchEventMake(t, EVENT_MESSAGE, type, m, sizeof m);
}

WatchEvent Note(uint64_t t, HistoryEventKind kind, uint32_t code = 0, size_t length = 0) {
    uint8_t bytes[HISTORY_EVENT_BYTES] = {};
    return WatchEventMake(t, kind, 0, length ? bytes : nullptr, length, code);
}

// Hand-made sequences leave seconds between events: silence is tested on its own.
WatchConfig NoSilence() {
    WatchConfig config;
    config.on[WATCH_SILENCE] = false;
    return config;
}

struct Fixture {
    std::unique_ptr<Watch> watch{new Watch};
    std::vector<WatchAlarm> alarms;
    explicit Fixture(const WatchConfig& config = NoSilence()) { WatchInit(*watch, config); }
    void Feed(const WatchEvent& e) { WatchFeed(*watch, e, alarms); }
};

}  // namespace

TEST(WatchFlicker, ADropOfExactlyWIsFoundAndOneMicrosecondMoreIsNot) {
    Fixture f;
    Bank lit, dark;
    dark.a = 7;  // source 5 leaves program, 7 takes its place
    f.Feed(Me(Ms(0), 0, lit));
    f.Feed(Me(Ms(1000), 0, dark));
    f.Feed(Me(Ms(1200), 0, lit));  // exactly 200 ms
    // Source 5 dropped and source 7 blipped, each for 200 ms.
    ASSERT_EQ(f.alarms.size(), 2u);
    const WatchAlarm* drop = f.alarms[0].source == 5 ? &f.alarms[0] : &f.alarms[1];
    const WatchAlarm* blip = f.alarms[0].source == 5 ? &f.alarms[1] : &f.alarms[0];
    EXPECT_EQ(drop->rule, WATCH_FLICKER);
    EXPECT_EQ(drop->glitch, WATCH_GLITCH_DROP);
    EXPECT_EQ(drop->me, 1);
    EXPECT_EQ(drop->level, WATCH_LEVEL_PGM);
    EXPECT_EQ(drop->us, 200000);
    EXPECT_EQ(drop->timeUs, Ms(1200));
    ASSERT_EQ(drop->causes.size(), 2u);
    EXPECT_EQ(drop->causes[0].timeUs, Ms(1000));
    EXPECT_EQ(drop->causes[1].timeUs, Ms(1200));
    EXPECT_EQ(drop->text, "ME 1 PGM: Source 5 went dark for 200.0 ms");
    EXPECT_EQ(blip->source, 7);
    EXPECT_EQ(blip->glitch, WATCH_GLITCH_BLIP);

    f.alarms.clear();
    f.Feed(Me(Ms(5000), 0, dark));
    f.Feed(Me(Ms(5200.001), 0, lit));  // 200.001 ms: a real change, not a glitch
    EXPECT_TRUE(f.alarms.empty());

    // A narrower window from the configuration.
    WatchConfig config = NoSilence();
    config.flickerMs = 40;
    Fixture g(config);
    g.Feed(Me(Ms(0), 0, lit));
    g.Feed(Me(Ms(100), 0, dark));
    g.Feed(Me(Ms(150), 0, lit));
    EXPECT_TRUE(g.alarms.empty());
}

TEST(WatchFlicker, OverlappingGlitchesOnOneBankAndTwoAreEachFoundWithTheirOwnLength) {
    Fixture f;
    f.Feed(Name(Ms(0), MSG_SOURCE_NAME, 5, "CAMERA 5", "CAM5"));
    Bank me1, me2;
    me2.a = 9;
    me2.b = 10;
    f.Feed(Me(Ms(1), 0, me1));
    f.Feed(Me(Ms(2), 1, me2));
    // ME 1: source 5 dark 1000..1050 while source 12 is lit on Util2 1020..1080;
    // ME 2: source 9 dark 1030..1100.
    Bank m1 = me1;
    m1.a = 13;
    f.Feed(Me(Ms(1000), 0, m1));
    m1.util2 = 12;
    m1.util2Pgm = true;
    f.Feed(Me(Ms(1020), 0, m1));
    Bank m2 = me2;
    m2.a = 14;
    f.Feed(Me(Ms(1030), 1, m2));
    m1.a = 5;
    f.Feed(Me(Ms(1050), 0, m1));
    m1.util2Pgm = false;
    m1.util2 = 81;
    f.Feed(Me(Ms(1080), 0, m1));
    f.Feed(Me(Ms(1100), 1, me2));

    auto find = [&](int me, int source) -> const WatchAlarm* {
        for (const WatchAlarm& a : f.alarms)
            if (a.me == me && a.source == source) return &a;
        return nullptr;
    };
    const WatchAlarm* five = find(1, 5);
    const WatchAlarm* twelve = find(1, 12);
    const WatchAlarm* thirteen = find(1, 13);
    const WatchAlarm* nine = find(2, 9);
    ASSERT_TRUE(five && twelve && thirteen && nine);
    EXPECT_EQ(five->us, 50000);
    EXPECT_EQ(five->glitch, WATCH_GLITCH_DROP);
    EXPECT_EQ(five->text, "ME 1 PGM: Source 5 \"CAMERA 5\" went dark for 50.0 ms");
    EXPECT_EQ(twelve->us, 60000);
    EXPECT_EQ(twelve->glitch, WATCH_GLITCH_BLIP);
    EXPECT_EQ(thirteen->us, 50000);
    EXPECT_EQ(nine->us, 70000);
    EXPECT_EQ(nine->level, WATCH_LEVEL_PGM);
    // Source 14 blipped on ME 2; nothing else moved.
    EXPECT_EQ(f.alarms.size(), 5u);
    EXPECT_EQ(f.watch->alarms[WATCH_FLICKER], 5u);
}

TEST(WatchFlicker, AMixWithBothSourcesOnProgramIsNoGlitchButAnAbandonedOneIs) {
    Fixture f;
    Bank bank;  // 5 on program, 6 on preview
    f.Feed(Me(Ms(0), 0, bank));
    for (double length : {1000.0, 40.0}) {  // a real mix and a very fast one
        const double start = length == 1000.0 ? 3000 : 8000;
        bank.mix = true;
        f.Feed(Me(Ms(start), 0, bank));
        // The end of the mix: B is now on A, the old program goes to preview.
        std::swap(bank.a, bank.b);
        bank.mix = false;
        f.Feed(Me(Ms(start + length), 0, bank));
    }
    EXPECT_TRUE(f.alarms.empty());
    // A mix taken back after 100 ms: the preview source blipped on program.
    bank.mix = true;
    f.Feed(Me(Ms(12000), 0, bank));
    bank.mix = false;
    f.Feed(Me(Ms(12100), 0, bank));
    ASSERT_EQ(f.alarms.size(), 1u);
    EXPECT_EQ(f.alarms[0].source, bank.b);
    EXPECT_EQ(f.alarms[0].glitch, WATCH_GLITCH_BLIP);
    EXPECT_EQ(f.alarms[0].us, 100000);
}

TEST(WatchFlicker, AnOutputOnAirBitAndTheRuleTurnedOff) {
    Fixture f;
    f.Feed(Out(Ms(0), 33, true));
    f.Feed(Out(Ms(500), 33, false));
    f.Feed(Out(Ms(530), 33, true));
    ASSERT_EQ(f.alarms.size(), 1u);
    EXPECT_EQ(f.alarms[0].level, WATCH_LEVEL_OUT);
    EXPECT_EQ(f.alarms[0].output, 1);
    EXPECT_EQ(f.alarms[0].source, 33);
    EXPECT_EQ(f.alarms[0].me, 0);
    EXPECT_EQ(f.alarms[0].glitch, WATCH_GLITCH_DROP);
    EXPECT_EQ(f.alarms[0].us, 30000);
    EXPECT_EQ(f.alarms[0].text, "Output 1 on air: Source 33 off air for 30.0 ms");

    WatchConfig config = NoSilence();
    config.on[WATCH_FLICKER] = false;
    Fixture off(config);
    off.Feed(Out(Ms(0), 33, true));
    off.Feed(Out(Ms(500), 33, false));
    off.Feed(Out(Ms(530), 33, true));
    EXPECT_TRUE(off.alarms.empty());
}

TEST(WatchStale, ABankThatStopsWhileOthersGoOnIsStaleButAWholePauseIsSilence) {
    Fixture f{WatchConfig()};
    Bank bank;
    // Four banks in turn, one message every 10 ms: each every 40 ms.
    double t = 0;
    auto run = [&](double until, int skip) {
        for (; t < until; t += 10) {
            const int me = static_cast<int>(t / 10 + 0.5) % 4;
            if (me != skip) f.Feed(Me(Ms(t), me, bank));
        }
    };
    run(2000, -1);
    EXPECT_TRUE(f.alarms.empty());
    EXPECT_EQ(WatchStaleThresholdUs(*f.watch, 0x82), 2000000u);  // 3 x 40 ms is below the 2 s floor
    run(6000, 1);  // ME 2 stops at 1970 ms
    ASSERT_EQ(f.alarms.size(), 1u);
    const WatchAlarm& a = f.alarms[0];
    EXPECT_EQ(a.rule, WATCH_STALE);
    EXPECT_EQ(a.type, 0x82);
    EXPECT_EQ(a.me, 2);
    // Raised by the first message after 2 s without ME 2.
    EXPECT_GT(a.timeUs, Ms(1970 + 2000));
    EXPECT_LE(a.timeUs, Ms(1970 + 2000 + 10));
    EXPECT_EQ(a.text, "ME 2 (0x82) not received for 2.0 s, usually every 40.0 ms; other messages still arriving");
    run(7000, -1);  // ME 2 is back: no new alarm
    EXPECT_EQ(f.alarms.size(), 1u);

    // The whole stream pauses for 5 s: silence, and no type is stale for it.
    f.alarms.clear();
    t += 5000;
    run(t + 3000, -1);
    ASSERT_EQ(f.alarms.size(), 1u);
    EXPECT_EQ(f.alarms[0].rule, WATCH_SILENCE);
}

TEST(WatchSilence, AlarmAtExactlySSecondsOncePerSilenceOnlyWhileConnected) {
    Fixture f{WatchConfig()};
    f.Feed(Note(Ms(0), EVENT_CONNECT));
    f.Feed(Note(Ms(100), EVENT_STRAY, 0, 1));
    WatchTick(*f.watch, Ms(2099), f.alarms);
    EXPECT_TRUE(f.alarms.empty());
    WatchTick(*f.watch, Ms(2100), f.alarms);
    WatchTick(*f.watch, Ms(9000), f.alarms);
    ASSERT_EQ(f.alarms.size(), 1u);
    EXPECT_EQ(f.alarms[0].rule, WATCH_SILENCE);
    EXPECT_EQ(f.alarms[0].timeUs, Ms(2100));
    EXPECT_EQ(f.alarms[0].text, "No byte received for 2.0 s while connected");
    // Bytes again, then a disconnect: the quiet port raises nothing.
    f.Feed(Note(Ms(9500), EVENT_STRAY, 0, 1));
    f.Feed(Note(Ms(9600), EVENT_DISCONNECT));
    WatchTick(*f.watch, Ms(30000), f.alarms);
    EXPECT_EQ(f.alarms.size(), 1u);
    // A silence found only when the next event comes (a recording) keeps its own time.
    f.Feed(Note(Ms(31000), EVENT_CONNECT));
    f.Feed(Note(Ms(35000), EVENT_STRAY, 0, 1));
    ASSERT_EQ(f.alarms.size(), 2u);
    EXPECT_EQ(f.alarms[1].timeUs, Ms(33000));
}

TEST(WatchErrors, OneAlarmPerBurstCountingBytesAndReArmedAfterTQuietSeconds) {
    Fixture f;
    for (int i = 0; i < 4; ++i) f.Feed(Note(Ms(1000 * i), EVENT_PAYLOAD, 0, 3));
    EXPECT_TRUE(f.alarms.empty());
    f.Feed(Note(Ms(10500), EVENT_LINE_ERROR, 8));  // the first error left the window
    EXPECT_TRUE(f.alarms.empty());
    f.Feed(Note(Ms(10600), EVENT_LOWBYTE, 0, 2));
    ASSERT_EQ(f.alarms.size(), 1u);
    EXPECT_EQ(f.alarms[0].rule, WATCH_ERRORS);
    EXPECT_EQ(f.alarms[0].count, 5);
    EXPECT_EQ(f.alarms[0].timeUs, Ms(10600));
    // The burst goes on: no more alarms while errors keep coming within T.
    for (int i = 0; i < 20; ++i) f.Feed(Note(Ms(11000 + 900 * i), EVENT_UNKNOWN, 0, 2));
    EXPECT_EQ(f.alarms.size(), 1u);
    // 10 s quiet, then five stray bytes in one run: a new burst.
    f.Feed(Note(Ms(11000 + 900 * 19 + 10000), EVENT_STRAY, 0, 5));
    ASSERT_EQ(f.alarms.size(), 2u);
    EXPECT_EQ(f.alarms[1].count, 5);
}

TEST(WatchEvents, ResetNameGapAndPortLostEachRaiseTheirOwnAlarm) {
    Fixture f;
    f.Feed(Name(Ms(0), MSG_SOURCE_NAME, 3, "CAMERA 3", "CAM3"));
    f.Feed(Name(Ms(1), MSG_SOURCE_ALIAS, 3, "GUEST 1", "GST1"));  // first alias: not a change
    f.Feed(Name(Ms(2), MSG_SOURCE_NAME, 3, "CAMERA 3", "CAM3"));  // the same again (it clears the alias)
    EXPECT_TRUE(f.alarms.empty());
    f.Feed(Name(Ms(3), MSG_SOURCE_ALIAS, 3, "HOST", "GST1"));
    ASSERT_EQ(f.alarms.size(), 1u);
    EXPECT_EQ(f.alarms[0].rule, WATCH_NAME);
    EXPECT_EQ(f.alarms[0].source, 3);
    EXPECT_EQ(f.alarms[0].text, "Source 3 \"CAMERA 3\": alias \"GUEST 1\" is now \"HOST\"");
    f.Feed(Note(Ms(4), EVENT_RESET, 0, 2));
    f.Feed(Note(Ms(5), EVENT_DROPPED, 0, 40));
    f.Feed(Note(Ms(6), EVENT_LOST, 12));
    f.Feed(Note(Ms(7), EVENT_PORT_ERROR, 5));
    ASSERT_EQ(f.alarms.size(), 5u);
    EXPECT_EQ(f.alarms[1].rule, WATCH_RESET);
    EXPECT_EQ(f.alarms[2].rule, WATCH_GAP);
    EXPECT_EQ(f.alarms[2].count, 40);
    EXPECT_EQ(f.alarms[3].count, 12);
    EXPECT_EQ(f.alarms[4].rule, WATCH_PORT_LOST);
    for (int r = 0; r < WATCH_RULE_COUNT; ++r) EXPECT_EQ(WatchRuleFromName(WatchRuleName(r)), r);

    WatchConfig config = NoSilence();
    config.on[WATCH_RESET] = config.on[WATCH_GAP] = config.on[WATCH_PORT_LOST] = false;
    Fixture off(config);
    off.Feed(Note(Ms(4), EVENT_RESET, 0, 2));
    off.Feed(Note(Ms(5), EVENT_DROPPED, 0, 40));
    off.Feed(Note(Ms(7), EVENT_PORT_ERROR, 5));
    EXPECT_TRUE(off.alarms.empty());
}

TEST(WatchFlicker, LevelsFollowTheOnAirDerivationExactly) {
    // Random ME and OUT records, one source value often repeated on several
    // inputs: after each, the watch's bits must be what the On Air view shows.
    Fixture f;
    MeTally me[ME_RECORDS] = {};
    OutputTally out[OUT_RECORDS] = {};
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    std::unique_ptr<OnAirTally> tally(new OnAirTally);
    for (int step = 0; step < 3000; ++step) {
        uint8_t m[2 + ME_PAYLOAD] = {};
        if (next() % 4) {
            const int bank = static_cast<int>(next() % ME_RECORDS);
            m[0] = m[1] = static_cast<uint8_t>(0x81 + bank);
            for (int i = 0; i < ME_PAYLOAD; ++i)
                m[2 + i] = static_cast<uint8_t>(i % 2 == 0 ? 1 + next() % 6 : next() % 256);
            std::memcpy(me[bank].data, m + 2, ME_PAYLOAD);
            f.Feed(WatchEventMake(Ms(step), EVENT_MESSAGE, m[0], m, 2 + ME_PAYLOAD));
        } else {
            const int bank = static_cast<int>(next() % OUT_RECORDS);
            m[0] = m[1] = static_cast<uint8_t>(0xB1 + bank);
            for (int i = 0; i < OUT_PAYLOAD; ++i) m[2 + i] = static_cast<uint8_t>(next() % 256);
            std::memcpy(out[bank].data, m + 2, OUT_PAYLOAD);
            f.Feed(WatchEventMake(Ms(step), EVENT_MESSAGE, m[0], m, 2 + OUT_PAYLOAD));
        }
        // Banks not sent yet hold zeros here and in the watch's view alike.
        OnAirDerive(me, out, *tally);
        for (int b = 0; b < ME_RECORDS; ++b) {
            for (int s = 0; s < 8; ++s) {
                const uint16_t rows = tally->rows[b][s];
                const int expected = ((rows & 0x000F) ? 1 : 0) | ((rows & 0x00F0) ? 2 : 0) | ((rows & 0x0300) ? 4 : 0);
                ASSERT_EQ(WatchLevelsOf(*f.watch, b, s), expected) << "step " << step << " ME " << b + 1 << " source " << s;
            }
        }
        bool onAir[ONAIR_OUTPUTS + 1] = {};
        for (int i = 0; i < tally->onAirCount; ++i) onAir[tally->onAir[i].output] = true;
        for (int o = 1; o <= ONAIR_OUTPUTS; ++o) ASSERT_EQ(WatchOnAir(*f.watch, o), onAir[o]) << "step " << step;
    }
    EXPECT_GT(f.watch->alarms[WATCH_FLICKER], 0u);  // fast random changes do flicker
}

// Output 1 switched on and off `toggles` times, `stepMs` apart from `atMs`:
// every switch after the first is a glitch of the one before.
void Toggle(Fixture& f, double atMs, int toggles, double stepMs, bool& onAir) {
    for (int i = 0; i < toggles; ++i) {
        onAir = !onAir;
        f.Feed(Out(Ms(atMs + i * stepMs), 3, onAir));
    }
}

TEST(WatchFold, AStormOfAThousandGivesFiveRowsAndOneSummaryAndAQuietSecondReArms) {
    WatchConfig config = NoSilence();
    config.foldRows = WATCH_FOLD_ROWS;
    Fixture f(config);
    bool onAir = false;
    f.Feed(Out(Ms(0), 3, onAir));
    Toggle(f, 1000, 1001, 0.9, onAir);  // 1,000 glitches within 0.9 s
    ASSERT_EQ(f.alarms.size(), WATCH_FOLD_ROWS);  // the summary waits for its second to end
    for (const WatchAlarm& a : f.alarms) EXPECT_EQ(a.more, 0u);
    EXPECT_EQ(WatchAlarmsRaised(*f.watch), 1000u);
    WatchTick(*f.watch, Ms(1000.9 + 999), f.alarms);  // not yet a second since the first
    ASSERT_EQ(f.alarms.size(), WATCH_FOLD_ROWS);
    WatchTick(*f.watch, Ms(1000.9 + 1000), f.alarms);
    ASSERT_EQ(f.alarms.size(), WATCH_FOLD_ROWS + 1);
    const WatchAlarm& summary = f.alarms.back();
    EXPECT_EQ(summary.rule, WATCH_FLICKER);
    EXPECT_EQ(summary.more, 1000u - WATCH_FOLD_ROWS);
    EXPECT_EQ(summary.output, 1);
    EXPECT_EQ(summary.timeUs, Ms(1000 + 1000 * 0.9));  // the last folded glitch, for the kept window
    EXPECT_EQ(summary.text.rfind("995 more in the last 1 s", 0), 0u) << summary.text;

    // Still storming (the next glitch within a second of the last): counted, no row.
    Toggle(f, 2500, 2, 10, onAir);
    ASSERT_EQ(f.alarms.size(), WATCH_FOLD_ROWS + 1);
    WatchFlush(*f.watch, f.alarms);
    ASSERT_EQ(f.alarms.size(), WATCH_FOLD_ROWS + 2);
    EXPECT_EQ(f.alarms.back().more, 1u);
    WatchFlush(*f.watch, f.alarms);  // nothing left to say
    ASSERT_EQ(f.alarms.size(), WATCH_FOLD_ROWS + 2);

    // A quiet second re-arms: the next glitches get rows of their own again.
    Toggle(f, 3600, 3, 10, onAir);
    ASSERT_EQ(f.alarms.size(), WATCH_FOLD_ROWS + 4);
    EXPECT_EQ(f.alarms.back().more, 0u);
    EXPECT_EQ(f.alarms.back().us, 10000);
    EXPECT_EQ(WatchAlarmsRaised(*f.watch), 1003u);
}

TEST(WatchFold, RulesFoldApartAndOtherRulesKeepTheirRows) {
    WatchConfig config = NoSilence();
    config.foldRows = 2;
    Fixture f(config);
    bool onAir = false;
    f.Feed(Out(Ms(0), 3, onAir));
    Toggle(f, 1000, 11, 1, onAir);  // 10 flicker alarms
    f.Feed(Note(Ms(1020), EVENT_RESET));
    f.Feed(Note(Ms(1021), EVENT_RESET));
    f.Feed(Note(Ms(1022), EVENT_RESET));
    WatchTick(*f.watch, Ms(5000), f.alarms);
    int rows[WATCH_RULE_COUNT] = {}, more[WATCH_RULE_COUNT] = {};
    for (const WatchAlarm& a : f.alarms) {
        ++rows[a.rule];
        more[a.rule] += static_cast<int>(a.more);
    }
    EXPECT_EQ(rows[WATCH_FLICKER], 3);
    EXPECT_EQ(more[WATCH_FLICKER], 8);
    EXPECT_EQ(rows[WATCH_RESET], 3);  // 2 rows and a summary of 1
    EXPECT_EQ(more[WATCH_RESET], 1);
}
