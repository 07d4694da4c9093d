// MQTT in the application under Wine: the password sealed for the user in a
// qorvex.ini (never there in clear, damage reads as no password), the
// Network -> MQTT... dialog saving what was typed, and the status bar's MQTT
// part shown only while MQTT is on.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "config/config_win.h"
#include "tests/win/serial_test_util.h"
#include "tests/win/win_artifacts.h"

using namespace serialtest;

namespace {

std::string TempIni(const char* name) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string path = std::string(dir) + name;
    DeleteFileA(path.c_str());
    return path;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string Wide16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string StatusPart(int part) {
    HWND bar = GetDlgItem(MainWindow(), IDC_STATUS_BAR);
    char text[256] = {};
    if (SendMessageA(bar, SB_GETPARTS, 0, 0) <= part) return "<none>";
    SendMessageA(bar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(text));
    return text;
}

const char* const PASSWORD = "Tally-Pa55word";

TEST(MqttSettings, PasswordIsSealedForTheUserInTheIniAndComesBack) {
    const std::string path = TempIni("qorvex_mqtt_test.ini");
    MqttConfig saved;
    saved.enabled = 1;
    saved.host = "broker.plant.example";
    saved.name = "GALLERY2-COM3";
    saved.user = "gallery";
    saved.password = PASSWORD;
    {
        std::unique_ptr<ConfigBackend> ini = ConfigOpenIni(path);
        EXPECT_EQ(ConfigSaveMqtt(ini.get(), MqttConfig(), saved, ConfigUserSecretCodec()), 5);
    }
    const std::string file = FileBytes(path);
    EXPECT_NE(file.find("MqttUser=gallery"), std::string::npos) << file;
    for (const std::string& clear : {std::string(PASSWORD), Wide16(PASSWORD), ConfigHex(PASSWORD), std::string("Pa55")})
        EXPECT_EQ(file.find(clear), std::string::npos) << "the INI holds the password in some clear form:\n" << file;
    const size_t at = file.find("MqttPassword=");
    ASSERT_NE(at, std::string::npos) << file;
    const std::string hex = file.substr(at + 13, file.find_first_of("\r\n", at) - at - 13);
    std::string sealed;
    ASSERT_TRUE(ConfigUnhex(hex, sealed)) << hex;
    EXPECT_GT(sealed.size(), std::strlen(PASSWORD)) << "a sealed blob, not the bytes themselves";

    std::unique_ptr<ConfigBackend> ini = ConfigOpenIni(path);
    EXPECT_TRUE(ConfigLoadMqtt(ini.get(), ConfigUserSecretCodec()) == saved);

    // One byte of the sealed data changed, or the blob cut short: no
    // password, everything else as saved. (Wine checks the data and its
    // signature at the end, not the header's fields; see tests/wine/README.md.)
    std::string damaged = hex;
    const size_t digit = damaged.size() - 20;
    damaged[digit] = damaged[digit] == '0' ? '1' : '0';
    for (const std::string& bad : {damaged, hex.substr(0, hex.size() - 8)}) {
        ASSERT_TRUE(ini->WriteString("MqttPassword", bad));
        const MqttConfig back = ConfigLoadMqtt(ini.get(), ConfigUserSecretCodec());
        EXPECT_EQ(back.password, "");
        EXPECT_EQ(back.user, "gallery");
        EXPECT_EQ(back.host, saved.host);
    }
    DeleteFileA(path.c_str());
}

// Fills the dialog as an operator would and chooses OK.
void FillAndOk(HWND dialog, bool enabled, std::string& topic) {
    SendDlgItemMessageA(dialog, IDC_MQTT_ENABLED, BM_SETCHECK, enabled ? BST_CHECKED : BST_UNCHECKED, 0);
    SetDlgItemTextA(dialog, IDC_MQTT_HOST, "127.0.0.1");
    SetDlgItemTextA(dialog, IDC_MQTT_PORT, "1884");
    SetDlgItemTextA(dialog, IDC_MQTT_NAME, "STUDIO9");
    SetDlgItemTextA(dialog, IDC_MQTT_USER, "tally");
    SetDlgItemTextA(dialog, IDC_MQTT_PASSWORD, PASSWORD);
    char text[128] = {};
    GetDlgItemTextA(dialog, IDC_MQTT_TOPIC, text, sizeof text);
    topic = text;
    Sleep(300);  // the dialog's thread paints what was typed
    SaveWindowBitmap(dialog, ArtifactPath("mqtt-dialog.bmp"));
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
}

TEST(MqttSettings, DialogSavesWhatWasTypedAndTheStatusBarShowsMqttOnlyWhileOn) {
    ASSERT_NE(MainWindow(), nullptr);
    const std::string path = TempIni("qorvex_mqtt_dialog.ini");
    std::unique_ptr<ConfigBackend> ini = ConfigOpenIni(path);
    ConfigSetActive(ini.get());
    EXPECT_EQ(StatusPart(STATUS_PARTS), "<none>") << "MQTT off: no part";

    std::string topic;
    {
        ModalDriver driver("MQTT", [&](HWND dialog) { FillAndOk(dialog, true, topic); });
        Command(IDM_MQTT_SETTINGS);
        ASSERT_TRUE(driver.Join()) << "the MQTT dialog did not appear";
    }
    EXPECT_EQ(topic, "Topics under qorvex/STUDIO9/");
    const MqttConfig stored = ConfigLoadMqtt(ini.get(), ConfigUserSecretCodec());
    EXPECT_EQ(stored.enabled, 1);
    EXPECT_EQ(stored.host, "127.0.0.1");
    EXPECT_EQ(stored.port, 1884);
    EXPECT_EQ(stored.name, "STUDIO9");
    EXPECT_EQ(stored.user, "tally");
    EXPECT_EQ(stored.password, PASSWORD);
    EXPECT_EQ(FileBytes(path).find(PASSWORD), std::string::npos);
    // Not connected: the part says when it starts.
    StatusBarUpdate(MainWindow());
    EXPECT_EQ(StatusPart(STATUS_PARTS), "MQTT starts with Connect");

    {
        ModalDriver driver("MQTT", [&](HWND dialog) { FillAndOk(dialog, false, topic); });
        Command(IDM_MQTT_SETTINGS);
        ASSERT_TRUE(driver.Join());
    }
    EXPECT_EQ(ConfigLoadMqtt(ini.get(), ConfigUserSecretCodec()).enabled, 0);
    StatusBarUpdate(MainWindow());
    EXPECT_EQ(StatusPart(STATUS_PARTS), "<none>") << "MQTT off again: the part goes";
    ConfigSetActive(nullptr);
    DeleteFileA(path.c_str());
}

}  // namespace
