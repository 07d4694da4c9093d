// Saved settings: values read back as written, damaged values falling back
// one by one to their defaults, and only changed values written.
#include "config/mqtt_config.h"
#include "config/session_config.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "tests/memory_config.h"

namespace {

TEST(ConfigValues, IntegersAreParsedWholeOrNotAtAll) {
    long long v = 0;
    EXPECT_TRUE(ConfigParseInt(" -42 ", v));
    EXPECT_EQ(v, -42);
    for (const char* bad : {"", " ", "12abc", "0x10", "1 2", "--1", "9999999999999999999"})
        EXPECT_FALSE(ConfigParseInt(bad, v)) << bad;
}

TEST(ConfigValues, TypedValuesWithDefaultsAndRanges) {
    MemoryIni store;
    ConfigSetActive(&store);
    EXPECT_EQ(ConfigGetInt("HistoryFilter", 3, 0, 7), 3) << "absent";
    EXPECT_TRUE(ConfigSetInt("HistoryFilter", 5, 0, 7));
    EXPECT_EQ(ConfigGetInt("HistoryFilter", 3, 0, 7), 5);
    EXPECT_FALSE(ConfigSetInt("HistoryFilter", 8, 0, 7)) << "out of range is not written";
    store.values["HistoryFilter"] = "9";
    EXPECT_EQ(ConfigGetInt("HistoryFilter", 3, 0, 7), 3);
    EXPECT_TRUE(ConfigSetString("HistoryView", "list", 8));
    EXPECT_EQ(ConfigGetString("HistoryView", "x", 8), "list");
    EXPECT_FALSE(ConfigSetString("HistoryView", "much too long", 8));
    ConfigSetActive(nullptr);
    EXPECT_EQ(ConfigGetInt("HistoryFilter", 3, 0, 7), 3) << "no store: defaults";
    EXPECT_FALSE(ConfigSetInt("HistoryFilter", 1, 0, 7));
}

PortSettings NonDefaultPort() {
    PortSettings p;
    p.portNumber = 12;
    p.baudRate = 9600;
    p.dataBits = 7;
    p.parity = 2;
    p.stopBits = 2;
    p.flowFlags = 3;
    p.autowrap = 0;
    p.newLine = 1;
    p.localEcho = 1;
    p.displayErrors = 0;
    p.reconnect = 1;
    return p;
}

TEST(SessionConfig, EmptyStoreGivesTheSessionDefaults) {
    MemoryIni store;
    EXPECT_TRUE(ConfigLoadPort(&store) == PortSettings());
    EXPECT_TRUE(ConfigLoadFont(&store) == FontConfig());
    EXPECT_FALSE(ConfigLoadPlacement(&store).saved);
    const PortSettings d = ConfigLoadPort(nullptr);
    EXPECT_EQ(d.portNumber, 1);
    EXPECT_EQ(d.baudRate, 115200u);
    EXPECT_EQ(d.dataBits, 8);
    EXPECT_EQ(d.flowFlags, 4);
    EXPECT_EQ(d.autowrap, 1);
    EXPECT_EQ(d.displayErrors, 1);
    EXPECT_EQ(d.reconnect, 0);
    EXPECT_EQ(ConfigLoadFont(nullptr).face, "FixedSys");
}

TEST(SessionConfig, SavedValuesComeBack) {
    MemoryIni store;
    const PortSettings port = NonDefaultPort();
    EXPECT_EQ(ConfigSavePort(&store, PortSettings(), port), 11);
    EXPECT_EQ(store.values["Port"], "COM12");
    EXPECT_TRUE(ConfigLoadPort(&store) == port);

    FontConfig font;
    font.height = -17;
    font.weight = 700;
    font.italic = 1;
    font.charSet = 0;
    font.pitchAndFamily = 0x31;
    font.face = "Lucida Console";
    font.colour = 0x0000FF;
    EXPECT_EQ(ConfigSaveFont(&store, FontConfig(), font), 6);
    EXPECT_TRUE(ConfigLoadFont(&store) == font);

    PlacementConfig place{true, -8, 20, 900, 700, 1};
    EXPECT_EQ(ConfigSavePlacement(&store, place), 5);
    EXPECT_TRUE(ConfigLoadPlacement(&store) == place);
}

TEST(SessionConfig, OnlyChangedValuesAreWritten) {
    MemoryIni store;
    PortSettings before = NonDefaultPort(), now = before;
    EXPECT_EQ(ConfigSavePort(&store, before, now), 0);
    EXPECT_EQ(store.writes, 0);
    now.baudRate = 19200;
    EXPECT_EQ(ConfigSavePort(&store, before, now), 1);
    EXPECT_EQ(store.values.size(), 1u);
    EXPECT_EQ(store.values["BaudRate"], "19200");
    // A value no store may hold is not written.
    now.dataBits = 9;
    EXPECT_EQ(ConfigSavePort(&store, before, now), 1) << "baud again, not data bits";
    EXPECT_EQ(store.values.count("DataBits"), 0u);
}

// Every stored value damaged on its own: that value alone returns to its default.
TEST(SessionConfig, DamagedValuesFallBackOneByOne) {
    MemoryIni good;
    const PortSettings port = NonDefaultPort();
    ConfigSavePort(&good, PortSettings(), port);
    const PortSettings defaults;
    const struct {
        const char* name;
        const char* bad;
        int PortSettings::*field;  // null for the two unsigned fields below
    } damage[] = {
        {"Port", "COM0", &PortSettings::portNumber},      {"Port", "LPT1", &PortSettings::portNumber},
        {"DataBits", "4", &PortSettings::dataBits},       {"DataBits", "eight", &PortSettings::dataBits},
        {"Parity", "5", &PortSettings::parity},           {"StopBits", "-1", &PortSettings::stopBits},
        {"FlowControl", "8", &PortSettings::flowFlags},   {"Autowrap", "2", &PortSettings::autowrap},
        {"NewLine", "", &PortSettings::newLine},          {"LocalEcho", "1x", &PortSettings::localEcho},
        {"DisplayErrors", "-0x1", &PortSettings::displayErrors},
        {"ReconnectAutomatically", "99", &PortSettings::reconnect},
    };
    for (const auto& d : damage) {
        MemoryIni store = good;
        store.values[d.name] = d.bad;
        PortSettings expected = port;
        expected.*d.field = defaults.*d.field;
        EXPECT_TRUE(ConfigLoadPort(&store) == expected) << d.name << "=" << d.bad;
    }
    for (const char* bad : {"9601", "0", "1000000", "115200.0"}) {
        MemoryIni store = good;
        store.values["BaudRate"] = bad;
        PortSettings expected = port;
        expected.baudRate = defaults.baudRate;
        EXPECT_TRUE(ConfigLoadPort(&store) == expected) << "BaudRate=" << bad;
    }
}

TEST(SessionConfig, DamagedFontAndPlacementFallBack) {
    MemoryIni store;
    FontConfig font;
    font.face = "Courier New";
    font.height = 16;
    ConfigSaveFont(&store, FontConfig(), font);
    store.values["FontFace"] = std::string(32, 'x');  // longer than LOGFONT holds
    store.values["FontHeight"] = "0";
    store.values["TextColour"] = "16777216";
    const FontConfig loaded = ConfigLoadFont(&store);
    EXPECT_EQ(loaded.face, "FixedSys");
    EXPECT_EQ(loaded.height, 20);
    EXPECT_EQ(loaded.colour, 0u);

    // The rectangle comes back whole or not at all; maximised falls back alone.
    ConfigSavePlacement(&store, PlacementConfig{true, 10, 10, 600, 400, 1});
    store.values["WindowMaximized"] = "yes";
    PlacementConfig p = ConfigLoadPlacement(&store);
    EXPECT_TRUE(p.saved);
    EXPECT_EQ(p.maximized, 0);
    for (const char* name : {"WindowLeft", "WindowTop", "WindowRight", "WindowBottom"}) {
        MemoryIni damaged = store;
        damaged.values[name] = "many";
        EXPECT_FALSE(ConfigLoadPlacement(&damaged).saved) << name;
        damaged.values.erase(name);
        EXPECT_FALSE(ConfigLoadPlacement(&damaged).saved) << name << " missing";
    }
    store.values["WindowRight"] = "50";  // narrower than any usable window
    EXPECT_FALSE(ConfigLoadPlacement(&store).saved);
}

// The MQTT settings: the password only ever sealed (here by a stand-in
// codec; Windows' own is tested under Wine), damaged values falling back one
// by one, a password that cannot be unsealed read as none.
// Reverses the bytes and flips their bits behind a mark, and refuses
// anything without the mark; sealing fails while `refuse` is set.
bool refuse = false;
bool FakeSeal(const std::string& clear, std::string& sealed) {
    if (refuse) return false;
    sealed = "QV";
    for (auto it = clear.rbegin(); it != clear.rend(); ++it) sealed += static_cast<char>(~*it);
    return true;
}
bool FakeUnseal(const std::string& sealed, std::string& clear) {
    if (sealed.compare(0, 2, "QV") != 0) return false;
    clear.clear();
    for (size_t i = sealed.size(); i > 2; --i) clear += static_cast<char>(~sealed[i - 1]);
    return true;
}
const ConfigSecretCodec CODEC = {FakeSeal, FakeUnseal};

MqttConfig Saved() {
    MqttConfig c;
    c.enabled = 1;
    c.host = "broker.plant.example";
    c.port = 8883;
    c.name = "GALLERY2-COM3";
    c.user = "tally";
    c.password = "s3cret pass";
    return c;
}

TEST(MqttConfig, PasswordIsStoredSealedAsHexAndComesBack) {
    MemoryIni store;
    EXPECT_TRUE(ConfigLoadMqtt(&store, CODEC) == MqttConfig()) << "empty store: defaults";
    EXPECT_EQ(MqttConfig().port, 1883);
    EXPECT_EQ(MqttConfig().enabled, 0);
    EXPECT_EQ(ConfigSaveMqtt(&store, MqttConfig(), Saved(), CODEC), 6);
    EXPECT_TRUE(ConfigLoadMqtt(&store, CODEC) == Saved());
    const std::string stored = store.values["MqttPassword"];
    for (const auto& v : store.values) {
        EXPECT_EQ(v.second.find("s3cret"), std::string::npos) << v.first << " holds the password in clear";
        EXPECT_EQ(v.second.find(ConfigHex("s3cret")), std::string::npos) << v.first << " holds its plain hex";
    }
    std::string sealed;
    ASSERT_TRUE(ConfigUnhex(stored, sealed));
    EXPECT_EQ(sealed.compare(0, 2, "QV"), 0) << "what the codec sealed, as hex";

    store.writes = 0;
    MqttConfig next = Saved();
    next.port = 1884;
    EXPECT_EQ(ConfigSaveMqtt(&store, Saved(), next, CODEC), 1);
    EXPECT_EQ(store.writes, 1) << "only the changed value";
    EXPECT_EQ(store.values["MqttPassword"], stored) << "the password untouched";

    // A password the codec cannot seal is stored as none, not as the old one.
    refuse = true;
    MqttConfig other = next;
    other.password = "new one";
    EXPECT_EQ(ConfigSaveMqtt(&store, next, other, CODEC), 1);
    refuse = false;
    EXPECT_EQ(store.values["MqttPassword"], "");
    EXPECT_EQ(ConfigLoadMqtt(&store, CODEC).password, "");
    const ConfigSecretCodec none = {nullptr, nullptr};
    EXPECT_EQ(ConfigSaveMqtt(&store, MqttConfig(), Saved(), none), 6);
    EXPECT_EQ(store.values["MqttPassword"], "") << "no codec: nothing saved";
}

TEST(MqttConfig, DamagedValuesFallBackOneByOne) {
    MemoryIni store;
    ConfigSaveMqtt(&store, MqttConfig(), Saved(), CODEC);
    store.values["MqttPort"] = "70000";
    store.values["MqttEnabled"] = "2";
    MqttConfig want = Saved();
    want.port = 1883;
    want.enabled = 0;
    EXPECT_TRUE(ConfigLoadMqtt(&store, CODEC) == want);
    for (const char* damaged : {"zz", "abc", "0102", ""}) {
        store.values["MqttPassword"] = damaged;  // not hex, odd, not sealed, empty
        EXPECT_EQ(ConfigLoadMqtt(&store, CODEC).password, "") << damaged;
        EXPECT_EQ(ConfigLoadMqtt(&store, CODEC).user, "tally") << "the rest stays";
    }
    store.values["MqttName"] = std::string(65, 'N');
    EXPECT_EQ(ConfigLoadMqtt(&store, CODEC).name, "") << "too long for a topic level here";
}

TEST(MqttConfig, AnIpv6BrokerIsBracketed) {
    MqttConfig c;
    c.host = "::1";
    c.port = 1884;
    EXPECT_EQ(MqttConfigBroker(c), "[::1]:1884");
}

}  // namespace

TEST(SessionConfig, PlacementIsBroughtOntoTheWorkArea) {
    auto placed = [](int l, int t, int r, int b) {
        PlacementConfig p;
        p.saved = true;
        p.left = l, p.top = t, p.right = r, p.bottom = b;
        const PlacementConfig c = PlacementClamp(p, 0, 0, 1920, 1040);
        return std::vector<int>{c.left, c.top, c.right, c.bottom};
    };
    EXPECT_EQ(placed(100, 50, 900, 650), (std::vector<int>{100, 50, 900, 650})) << "inside: as saved";
    EXPECT_EQ(placed(30000, 30000, 30800, 30600), (std::vector<int>{1120, 440, 1920, 1040})) << "far off: moved in";
    EXPECT_EQ(placed(-32000, -500, -31200, 100), (std::vector<int>{0, 0, 800, 600})) << "off to the left and up";
    EXPECT_EQ(placed(-100, 0, 5000, 3000), (std::vector<int>{0, 0, 1920, 1040})) << "larger than the area: fits it";
}

// The watch's settings: every row of the table names a value of its own, the
// defaults are the documented ones, only changes are written, and a damaged
// value falls back alone.
TEST(WatchConfig, DefaultsRoundTripAndDamagedValuesFallBackOneByOne) {
    std::set<std::string> names;
    for (const WatchSettingField& f : WATCH_SETTING_FIELDS) {
        ASSERT_NE(f.key.name, nullptr);
        EXPECT_TRUE(names.insert(f.key.name).second) << f.key.name;
    }
    MemoryIni store;
    const WatchSettings defaults = ConfigLoadWatch(&store);
    for (int rule = 0; rule < WATCH_SETTING_RULES; ++rule) EXPECT_EQ(defaults.rule[rule], 1) << rule;
    EXPECT_EQ(defaults.flickerMs, 200);
    EXPECT_EQ(defaults.silenceS, 2);
    EXPECT_EQ(defaults.errorsN, 5);
    EXPECT_EQ(defaults.errorsT, 10);
    EXPECT_EQ(defaults.sound + defaults.flash + defaults.keep, 0) << "off until chosen";
    EXPECT_EQ(defaults.keepBeforeS, 30);
    EXPECT_EQ(defaults.keepAfterS, 30);
    EXPECT_EQ(defaults.keepBudgetMB, 1024);
    EXPECT_TRUE(WatchSettingsValid(defaults));

    WatchSettings changed = defaults;
    changed.rule[2] = 0;
    changed.flickerMs = 120;
    changed.keepFolder = "D:\\kept";
    EXPECT_EQ(ConfigSaveWatch(&store, defaults, changed), 3);
    EXPECT_EQ(store.values["WatchSilence"], "0");
    const WatchSettings back = ConfigLoadWatch(&store);
    EXPECT_EQ(back.rule[2], 0);
    EXPECT_EQ(back.flickerMs, 120);
    EXPECT_EQ(back.keepFolder, "D:\\kept");

    store.values["WatchFlickerMs"] = "0";        // below its range
    store.values["WatchKeepBudgetMB"] = "lots";  // not a number
    const WatchSettings damaged = ConfigLoadWatch(&store);
    EXPECT_EQ(damaged.flickerMs, 200);
    EXPECT_EQ(damaged.keepBudgetMB, 1024);
    EXPECT_EQ(damaged.rule[2], 0) << "an intact value stays";
}
