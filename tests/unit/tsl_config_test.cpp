// The TSL settings: a list of destinations with their maps read back as
// written, a bad line or value refused (and only that one left out), the
// defaults from the one table, and the command line laid over the saved list.
#include "config/tsl_config.h"

#include <gtest/gtest.h>

#include <map>

#include "app/command_line.h"
#include "tests/memory_config.h"

namespace {

TslSettings TwoDestinations() {
    TslSettings s;
    TslDestinationConfig a;
    a.endpoint.version = TSL_V31;
    a.endpoint.tcp = true;
    a.endpoint.host = "tally-hub";
    a.endpoint.port = 5727;
    a.me = 2;
    a.indexOffset = -1;
    a.levels = TSL_LEVEL_PGM | TSL_LEVEL_PVW;
    a.pgmTally = 4;
    a.pvwTally = 0;
    a.brightness = 1;
    TslDestinationConfig b;
    b.endpoint.host = "fd00::9";
    b.endpoint.port = 8900;
    b.endpoint.dle = true;
    b.enabled = 0;
    b.lamps = TSL_LAMP_TEXT;
    b.screen = 7;
    s.outputs = {a, b};
    s.refreshMs = 500;
    s.inEnabled = 1;
    s.toleranceMs = 350;
    s.listener = "tcp:127.0.0.1:9910";
    return s;
}

TEST(TslConfig, DefaultsComeFromTheTablesAndMatchTheMap) {
    // An empty store reads every default, the listener included.
    MemoryIni empty;
    EXPECT_TRUE(ConfigLoadTsl(&empty) == TslSettings());
    EXPECT_EQ(ConfigLoadTsl(&empty).listener, TSL_LISTENER_KEY.def);
    // A new destination's map is the documented default map, field by field.
    const TslMapConfig map = TslDestinationMap(TslDestinationConfig());
    const TslMapConfig def;
    EXPECT_EQ(map.me, def.me);
    EXPECT_EQ(map.indexOffset, def.indexOffset);
    for (int level = 0; level < 4; ++level) {
        EXPECT_EQ(map.level[level], def.level[level]) << level;
        EXPECT_EQ(map.bit31[level], def.bit31[level]) << level;
    }
    EXPECT_TRUE(map.lh && map.txt && map.rh);
    EXPECT_EQ(map.brightness, def.brightness);
    EXPECT_EQ(map.screen, def.screen);
}

TEST(TslConfig, TwoDestinationsWithMapsRoundTripAndOnlyChangesAreWritten) {
    const TslSettings s = TwoDestinations();
    MemoryIni store;
    EXPECT_EQ(ConfigSaveTsl(&store, TslSettings(), s), 4 + 3);  // 3 numbers, listener, 2 lines, count
    EXPECT_EQ(store.values["TslOutputs"], "2");
    EXPECT_EQ(store.values["TslOutput1"],
              "3.1:tcp:tally-hub:5727 on=1 me=2 offset=-1 levels=5 pgm=4 lap=3 pvw=0 lamps=7 brightness=1 screen=0");
    EXPECT_EQ(store.values["TslOutput2"].substr(0, 23), "5.0:udp:[fd00::9]:8900:");
    const TslSettings back = ConfigLoadTsl(&store);
    EXPECT_TRUE(back == s);
    ASSERT_EQ(back.outputs.size(), 2u);
    EXPECT_TRUE(back.outputs[1].endpoint.dle);
    // The map the outputs run, read from the stored line.
    const TslMapConfig map = TslDestinationMap(back.outputs[0]);
    EXPECT_EQ(map.me, 1);
    EXPECT_EQ(map.indexOffset, -1);
    EXPECT_FALSE(map.level[ONAIR_LOOKAHEAD]);
    EXPECT_EQ(map.bit31[ONAIR_PROGRAM], 3);
    EXPECT_EQ(map.bit31[ONAIR_PREVIEW], -1);
    EXPECT_EQ(map.brightness, 1);
    const TslMapConfig map2 = TslDestinationMap(back.outputs[1]);
    EXPECT_TRUE(!map2.lh && map2.txt && !map2.rh);
    EXPECT_EQ(map2.screen, 7);

    // Nothing changed: nothing written. One destination removed: its line emptied.
    store.writes = 0;
    EXPECT_EQ(ConfigSaveTsl(&store, back, back), 0);
    TslSettings fewer = back;
    fewer.outputs.erase(fewer.outputs.begin());
    EXPECT_EQ(ConfigSaveTsl(&store, back, fewer), 3);  // line 1, line 2 emptied, count
    EXPECT_EQ(store.values["TslOutput2"], "");
    EXPECT_TRUE(ConfigLoadTsl(&store) == fewer);
}

TEST(TslConfig, BadEntriesAreRefusedNamingTheField) {
    TslDestinationConfig d;
    std::string error, message, field;
    // A stored line: an unknown word, a value out of range, a bad address.
    for (const char* bad : {"5.0:udp:h:8900 colour=3", "5.0:udp:h:8900 brightness=4", "5.0:udp:h:0 on=1",
                            "3.1:udp:h:8900:dle", "5.0:udp:h:8900 offset=12x", ""}) {
        EXPECT_FALSE(TslDestinationParse(bad, d, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    // A damaged line in a store is left out; the other lines and values stay.
    MemoryIni store;
    ConfigSaveTsl(&store, TslSettings(), TwoDestinations());
    store.values["TslOutput1"] = "5.0:udp:h:8900 levels=9";
    store.values["TslToleranceMs"] = "-5";
    store.values["TslIn"] = "udp:nowhere";
    const TslSettings loaded = ConfigLoadTsl(&store);
    ASSERT_EQ(loaded.outputs.size(), 1u);
    EXPECT_TRUE(loaded.outputs[0] == TwoDestinations().outputs[1]);
    EXPECT_EQ(loaded.toleranceMs, 200);
    EXPECT_EQ(loaded.listener, TSL_LISTENER_KEY.def);
    EXPECT_EQ(loaded.refreshMs, 500);

    // The dialog's check names the field to put right.
    struct Case {
        void (*spoil)(TslDestinationConfig&);
        const char* field;
    } cases[] = {
        {[](TslDestinationConfig& c) { c.endpoint.host = ""; }, "host"},
        {[](TslDestinationConfig& c) { c.endpoint.host = "a b"; }, "host"},
        {[](TslDestinationConfig& c) { c.endpoint.port = 0; }, "port"},
        {[](TslDestinationConfig& c) { c.indexOffset = 70000; }, "offset"},
        {[](TslDestinationConfig& c) { c.screen = -1; }, "screen"},
        {[](TslDestinationConfig& c) { c.levels = 0; }, "levels"},
        {[](TslDestinationConfig& c) { c.pgmTally = 5; }, "pgm"},
        {[](TslDestinationConfig& c) {
             c.endpoint.version = TSL_V31;
             c.endpoint.dle = true;
         },
         "dle"},
    };
    for (const Case& c : cases) {
        TslDestinationConfig x;
        x.endpoint.host = "127.0.0.1";
        x.endpoint.port = 8900;
        ASSERT_TRUE(TslDestinationCheck(x, message, field)) << message;
        c.spoil(x);
        field.clear();
        EXPECT_FALSE(TslDestinationCheck(x, message, field)) << c.field;
        EXPECT_EQ(field, c.field) << message;
    }
    TslDestinationConfig x;
    x.endpoint.host = "h";
    x.endpoint.port = 1;
    x.indexOffset = -2000;
    EXPECT_FALSE(TslDestinationCheck(x, message, field));
    EXPECT_EQ(message, "The index offset is a number from -1000 to 65000.");
}

TEST(TslConfig, CommandLineReplacesTheListForThisRun) {
    const TslSettings saved = TwoDestinations();
    CommandLineOptions none;
    EXPECT_TRUE(CommandLineApplyTsl(none, saved) == saved);
    CommandLineOptions o;
    o.tslOut = {"5.0:udp:127.0.0.1:9000", "3.1:tcp:127.0.0.1:9001"};
    o.tslIn = "udp:127.0.0.1:9002";
    TslSettings run = saved;
    run.inEnabled = 0;
    run = CommandLineApplyTsl(o, run);
    ASSERT_EQ(run.outputs.size(), 2u);
    EXPECT_EQ(TslDestinationText(run.outputs[1].endpoint), "3.1:tcp:127.0.0.1:9001");
    EXPECT_TRUE(run.outputs[0].enabled && run.outputs[0].levels == TslDestinationConfig().levels);
    EXPECT_EQ(run.inEnabled, 1);
    EXPECT_EQ(run.listener, "udp:127.0.0.1:9002");
    EXPECT_EQ(run.refreshMs, 500);
    EXPECT_EQ(run.toleranceMs, 350);
}

}  // namespace
