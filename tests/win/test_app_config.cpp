// The registry and INI stores under Wine: values written come back with the
// registry types a user sees in regedit, and a damaged value (wrong type,
// out of range, not a number) falls back to its default alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "config/config_win.h"

namespace {

const char* const TEST_KEY = "Software\\QorvexConfigTest";

PortSettings Saved() {
    PortSettings p;
    p.portNumber = 12;
    p.baudRate = 9600;
    p.dataBits = 7;
    p.parity = 4;
    p.stopBits = 2;
    p.flowFlags = 2;
    p.autowrap = 0;
    p.newLine = 1;
    p.displayErrors = 0;
    p.reconnect = 1;
    return p;
}

DWORD RegType(const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, TEST_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return REG_NONE;
    DWORD type = REG_NONE;
    RegQueryValueExA(key, name, nullptr, &type, nullptr, nullptr);
    RegCloseKey(key);
    return type;
}

void RegPut(const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, TEST_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

class ConfigStoreTest : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteKeyA(HKEY_CURRENT_USER, TEST_KEY); }
    void TearDown() override { RegDeleteKeyA(HKEY_CURRENT_USER, TEST_KEY); }
};

TEST_F(ConfigStoreTest, RegistryKeepsNumbersAsDwordsAndDamageFallsBackValueByValue) {
    {
        std::unique_ptr<ConfigBackend> reg = ConfigOpenRegistry(TEST_KEY);
        EXPECT_TRUE(ConfigLoadPort(reg.get()) == PortSettings()) << "no key yet: defaults";
        EXPECT_EQ(RegType("BaudRate"), static_cast<DWORD>(REG_NONE)) << "reading made no key";
        EXPECT_EQ(ConfigSavePort(reg.get(), PortSettings(), Saved()), 10);
    }
    EXPECT_EQ(RegType("BaudRate"), static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(RegType("Port"), static_cast<DWORD>(REG_SZ));
    std::unique_ptr<ConfigBackend> reg = ConfigOpenRegistry(TEST_KEY);
    EXPECT_TRUE(ConfigLoadPort(reg.get()) == Saved());

    // Each value damaged in its own way; only that one returns to its default.
    const DWORD outOfRange = 9, nine = 9;
    const char text[] = "7";
    const BYTE binary[2] = {7, 0};
    RegPut("DataBits", REG_SZ, text, sizeof text);           // a number as text: wrong type
    RegPut("Parity", REG_DWORD, &outOfRange, sizeof outOfRange);
    RegPut("StopBits", REG_BINARY, binary, sizeof binary);
    RegPut("Port", REG_DWORD, &nine, sizeof nine);            // the port is a name
    PortSettings expected = Saved();
    const PortSettings defaults;
    expected.dataBits = defaults.dataBits;
    expected.parity = defaults.parity;
    expected.stopBits = defaults.stopBits;
    expected.portNumber = defaults.portNumber;
    EXPECT_TRUE(ConfigLoadPort(reg.get()) == expected);
}

TEST_F(ConfigStoreTest, IniFileKeepsTheSameValues) {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string path = std::string(folder) + "qorvex-config-test.ini";
    DeleteFileA(path.c_str());
    std::unique_ptr<ConfigBackend> ini = ConfigOpenIni(path);
    EXPECT_EQ(ConfigSavePort(ini.get(), PortSettings(), Saved()), 10);
    FontConfig font;
    font.face = "Courier New";
    font.height = -13;
    EXPECT_EQ(ConfigSaveFont(ini.get(), FontConfig(), font), 2);
    EXPECT_TRUE(ConfigLoadPort(ini.get()) == Saved());
    EXPECT_TRUE(ConfigLoadFont(ini.get()) == font);
    char line[64] = "";
    GetPrivateProfileStringA("Qorvex", "Port", "", line, sizeof line, path.c_str());
    EXPECT_STREQ(line, "COM12");
    WritePrivateProfileStringA("Qorvex", "BaudRate", "fast", path.c_str());
    WritePrivateProfileStringA("Qorvex", "FontHeight", "", path.c_str());
    PortSettings expected = Saved();
    expected.baudRate = 115200;
    EXPECT_TRUE(ConfigLoadPort(ini.get()) == expected);
    EXPECT_EQ(ConfigLoadFont(ini.get()).height, 20);
    EXPECT_EQ(ConfigLoadFont(ini.get()).face, "Courier New");
    DeleteFileA(path.c_str());
}

}  // namespace
