// The MQTT settings in a store: the password only ever sealed (here by a
// stand-in codec; Windows' own is tested under Wine), damaged values falling
// back one by one, a password that cannot be unsealed read as none.
#include "config/mqtt_config.h"

#include <gtest/gtest.h>

#include <map>

namespace {

class TextStore : public ConfigBackend {
public:
    std::map<std::string, std::string> values;
    int writes = 0;
    bool ReadInt(const std::string& name, long long& value) override {
        auto it = values.find(name);
        return it != values.end() && ConfigParseInt(it->second, value);
    }
    bool ReadString(const std::string& name, std::string& value) override {
        auto it = values.find(name);
        if (it == values.end()) return false;
        value = it->second;
        return true;
    }
    bool WriteInt(const std::string& name, long long value) override { return WriteString(name, std::to_string(value)); }
    bool WriteString(const std::string& name, const std::string& value) override {
        ++writes;
        values[name] = value;
        return true;
    }
};

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
    TextStore store;
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
    TextStore store;
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

TEST(MqttConfig, HexAndBrokerText) {
    std::string bytes;
    const std::string all = std::string("\x00\x7f\x80\xff", 4);
    EXPECT_EQ(ConfigHex(all), "007f80ff");
    ASSERT_TRUE(ConfigUnhex("007F80ff", bytes));
    EXPECT_EQ(bytes, all);
    EXPECT_FALSE(ConfigUnhex("0g", bytes));
    MqttConfig c;
    c.host = "10.0.0.5";
    EXPECT_EQ(MqttConfigBroker(c), "10.0.0.5:1883");
    c.host = "::1";
    c.port = 1884;
    EXPECT_EQ(MqttConfigBroker(c), "[::1]:1884");
}

}  // namespace
