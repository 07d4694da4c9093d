// The Network menu's TSL dialogs under Wine, driven through their controls:
// a destination added in "Tally Outputs" (a bad port refused first, naming
// the field), saved to the INI and sending at once to a loopback socket the
// test opened, with the map as typed; a hub echoing it agrees through that
// map; its check box then turns it off.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

#include "config/config_win.h"
#include "net/socket.h"
#include "tests/win/serial_test_util.h"
#include "tests/win/win_artifacts.h"
#include "tsl/tsl_codec.h"
#include "tsl/tsl_dialogs.h"

using namespace serialtest;

namespace {

std::string TempIni(const char* name) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string path = std::string(dir) + name;
    DeleteFileA(path.c_str());
    return path;
}

std::string Cell(HWND list, int row, int column) {
    char text[256] = "";
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return text;
}

int Rows(HWND list) { return static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0)); }

// Polls from the driving thread (the UI thread is in the dialog's loop).
bool Within(DWORD ms, const std::function<bool()>& done) {
    for (DWORD start = GetTickCount(); !done(); Sleep(20))
        if (GetTickCount() - start > ms) return done();
    return true;
}

HWND FocusOf(HWND dialog) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    return info.hwndFocus;
}

// Source 66 on program of ME 2, named "CLIP 2" (the record's other bytes
// give tiles too: source 0 and the like).
void FeedSource66OnProgram() {
    uint8_t me[ME_PAYLOAD] = {};
    me[16] = 66;   // A BUS
    me[3] = 0x01;  // PGM A: BusA
    TallyStoreMe(tallyStore, 1, me);
    uint8_t name[NAME_PAYLOAD] = {66, 'C', 'L', 'I', 'P', ' ', '2', 0, 0, 0, 0, 0, 0, 'C', 'L', 'P', '2'};
    TallyStoreName(tallyStore, MSG_SOURCE_NAME, name);
}

TEST(TslDialogs, TallyOutputsAddsADestinationThatIsSavedAndSendsAtOnce) {
    ASSERT_NE(MainWindow(), nullptr);
    std::string error;
    ASSERT_TRUE(NetStartup(error)) << error;
    const NetHandle receiver = NetUdpOpen("127.0.0.1", 0, error);
    ASSERT_NE(receiver, NET_INVALID) << error;
    const std::string port = std::to_string(NetLocalPort(receiver));
    const std::string path = TempIni("qorvex_tsl_dialog.ini");
    std::unique_ptr<ConfigBackend> ini = ConfigOpenIni(path);
    ConfigSetActive(ini.get());
    FeedSource66OnProgram();

    std::string refused, rowText[5];
    bool focusOnPort = false;
    {
        ModalDriver outputs("Tally Outputs", [&](HWND dialog) {
            ModalDriver edit("Tally Output", [&](HWND d) {
                SendDlgItemMessageA(d, IDC_TSL_PROTOCOL, CB_SETCURSEL, 1, 0);  // 5.0
                SendDlgItemMessageA(d, IDC_TSL_TRANSPORT, CB_SETCURSEL, 0, 0);  // UDP
                SetDlgItemTextA(d, IDC_TSL_HOST, "127.0.0.1");
                SetDlgItemTextA(d, IDC_TSL_PORT, "70000");
                SetDlgItemTextA(d, IDC_TSL_OFFSET, "2");
                SendDlgItemMessageA(d, IDC_TSL_LEVEL_LAP, BM_SETCHECK, BST_UNCHECKED, 0);
                SendDlgItemMessageA(d, IDC_TSL_LAMP_RH, BM_SETCHECK, BST_UNCHECKED, 0);
                {
                    ModalDriver box(TSL_DIALOG_REFUSED, [&](HWND b) {
                        refused = StaticTexts(b);
                        PostMessageA(b, WM_COMMAND, IDOK, 0);
                    });
                    PostMessageA(d, WM_COMMAND, IDOK, 0);
                    EXPECT_TRUE(box.Join()) << "port 70000 was taken";
                }
                focusOnPort = Within(2000, [&] { return FocusOf(d) == GetDlgItem(d, IDC_TSL_PORT); });
                SetDlgItemTextA(d, IDC_TSL_PORT, port.c_str());
                Sleep(300);  // the dialog's thread paints what was typed
                SaveWindowBitmap(d, ArtifactPath("tsl-output-dialog.bmp"));
                PostMessageA(d, WM_COMMAND, IDOK, 0);
            });
            PostMessageA(dialog, WM_COMMAND, IDC_TSL_ADD, 0);
            EXPECT_TRUE(edit.Join()) << "Add... opened no Tally Output dialog";
            HWND list = GetDlgItem(dialog, IDC_TSL_LIST);
            Within(2000, [&] { return Rows(list) == 1; });
            for (int c = 0; c < 5; ++c) rowText[c] = Cell(list, 0, c);
            SetDlgItemTextA(dialog, IDC_TSL_REFRESH, "500");
            Sleep(300);
            SaveWindowBitmap(dialog, ArtifactPath("tsl-outputs-dialog.bmp"));
            PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        });
        Command(IDM_TSL_OUTPUTS);
        ASSERT_TRUE(outputs.Join()) << "the Tally Outputs dialog did not appear";
    }
    EXPECT_NE(refused.find("port is a number from 1 to 65535"), std::string::npos) << refused;
    EXPECT_TRUE(focusOnPort) << "the focus is not on the port after the refusal";
    EXPECT_EQ(rowText[0], "5.0 UDP");
    EXPECT_EQ(rowText[1], "127.0.0.1:" + port);
    EXPECT_EQ(rowText[2], "All");
    EXPECT_EQ(rowText[3], "index = source+2, PGM, PVW on LH TXT");
    EXPECT_EQ(rowText[4], "Yes");

    // Saved as typed.
    const TslSettings saved = ConfigLoadTsl(ini.get());
    ASSERT_EQ(saved.outputs.size(), 1u);
    const TslDestinationConfig& d = saved.outputs[0];
    EXPECT_EQ(TslDestinationText(d.endpoint), "5.0:udp:127.0.0.1:" + port);
    EXPECT_EQ(d.indexOffset, 2);
    EXPECT_EQ(d.levels, TSL_LEVEL_PGM | TSL_LEVEL_PVW);
    EXPECT_EQ(d.lamps, TSL_LAMP_LH | TSL_LAMP_TEXT);
    EXPECT_EQ(d.enabled, 1);
    EXPECT_EQ(saved.refreshMs, 500);

    // Sending at once, through the map: index 66 + 2, red on the left-hand
    // and text tallies only, the source's name.
    TslPacket packet;
    bool heard = false;
    for (int tries = 0; tries < 20 && !heard; ++tries) {
        PumpMessages();
        uint8_t buffer[2048];
        size_t got = 0;
        std::string from;
        if (NetUdpRecvFrom(receiver, buffer, sizeof buffer, 100, got, from, error) != NET_RECV_DATA) continue;
        heard = Tsl50Decode(buffer, got, packet);
    }
    ASSERT_TRUE(heard) << "nothing arrived at 127.0.0.1:" << port;
    const TslMessage* clip = nullptr;
    for (const TslMessage& m : packet.messages) {
        EXPECT_GE(m.index, 2) << "every index is source + 2";
        if (m.index == 68) clip = &m;
    }
    ASSERT_NE(clip, nullptr) << packet.messages.size() << " messages, none for index 68";
    EXPECT_EQ(clip->lh, TSL_RED);
    EXPECT_EQ(clip->txt, TSL_RED);
    EXPECT_EQ(clip->rh, TSL_OFF);
    EXPECT_EQ(clip->text, "CLIP 2");
    EXPECT_TRUE(Within(2000, [] { return AppTslStatus(MainWindow()) == "TSL out: sending"; }))
        << AppTslStatus(MainWindow());

    // The hub is read back through the same map: a hub echoing what it is
    // sent agrees (read as index = source, index 68 would differ).
    const TslSettings before = AppTslSettings(MainWindow());
    TslSettings compare = before;
    compare.inEnabled = 1;
    compare.listener = "udp:127.0.0.1:0";
    AppTslApply(MainWindow(), compare);
    const std::string listening = AppTslListening(MainWindow());
    ASSERT_EQ(listening.rfind("Listening on udp:127.0.0.1:", 0), 0u) << listening;
    const uint16_t hubPort = static_cast<uint16_t>(std::stoi(listening.substr(listening.rfind(':') + 1)));
    for (DWORD start = GetTickCount(); GetTickCount() - start < 1500;) {
        PumpMessages();
        uint8_t buffer[2048];
        size_t got = 0;
        std::string from;
        if (NetUdpRecvFrom(receiver, buffer, sizeof buffer, 50, got, from, error) == NET_RECV_DATA)
            NetUdpSendTo(receiver, "127.0.0.1", hubPort, buffer, got, error);
    }
    EXPECT_EQ(AppTslStatus(MainWindow()), "TSL out: sending | Hub agrees");
    AppTslApply(MainWindow(), before);

    // The row's check box off: saved off, and nothing sends.
    {
        ModalDriver outputs("Tally Outputs", [&](HWND dialog) {
            HWND list = GetDlgItem(dialog, IDC_TSL_LIST);
            ListView_SetCheckState(list, 0, FALSE);
            rowText[4] = Cell(list, 0, 4);
            PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        });
        Command(IDM_TSL_OUTPUTS);
        ASSERT_TRUE(outputs.Join());
    }
    EXPECT_EQ(rowText[4], "No");
    EXPECT_EQ(ConfigLoadTsl(ini.get()).outputs.at(0).enabled, 0);
    EXPECT_EQ(AppTslStatus(MainWindow()), "");
    ConfigSetActive(nullptr);
    NetClose(receiver);
    DeleteFileA(path.c_str());
}

TEST(TslDialogs, CompareWithTslInputListensWhereItIsToldAndSaysSo) {
    ASSERT_NE(MainWindow(), nullptr);
    const std::string path = TempIni("qorvex_tsl_input.ini");
    std::unique_ptr<ConfigBackend> ini = ConfigOpenIni(path);
    ConfigSetActive(ini.get());
    std::string refused, state;
    {
        ModalDriver input("Compare with TSL Input", [&](HWND dialog) {
            SendDlgItemMessageA(dialog, IDC_TSL_IN_ENABLED, BM_SETCHECK, BST_CHECKED, 0);
            SetDlgItemTextA(dialog, IDC_TSL_IN_ADDRESS, "127.0.0.1");
            SetDlgItemTextA(dialog, IDC_TSL_IN_PORT, "0");
            SetDlgItemTextA(dialog, IDC_TSL_IN_TOLERANCE, "20000");
            {
                ModalDriver box(TSL_DIALOG_REFUSED, [&](HWND b) {
                    refused = StaticTexts(b);
                    PostMessageA(b, WM_COMMAND, IDOK, 0);
                });
                PostMessageA(dialog, WM_COMMAND, IDOK, 0);
                EXPECT_TRUE(box.Join());
            }
            SetDlgItemTextA(dialog, IDC_TSL_IN_TOLERANCE, "300");
            PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        });
        Command(IDM_TSL_INPUT);
        ASSERT_TRUE(input.Join()) << "the Compare with TSL Input dialog did not appear";
    }
    EXPECT_NE(refused.find("tolerance is a number from 0 to 10000"), std::string::npos) << refused;
    const TslSettings saved = ConfigLoadTsl(ini.get());
    EXPECT_EQ(saved.inEnabled, 1);
    EXPECT_EQ(saved.listener, "udp:127.0.0.1:0");
    EXPECT_EQ(saved.toleranceMs, 300);
    // Port 0 asked: the dialog, opened again, names the port bound.
    {
        ModalDriver input("Compare with TSL Input", [&](HWND dialog) {
            char text[256] = "";
            GetDlgItemTextA(dialog, IDC_TSL_IN_STATE, text, sizeof text);
            state = text;
            Sleep(300);
            SaveWindowBitmap(dialog, ArtifactPath("tsl-input-dialog.bmp"));
            SendDlgItemMessageA(dialog, IDC_TSL_IN_ENABLED, BM_SETCHECK, BST_UNCHECKED, 0);
            PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        });
        Command(IDM_TSL_INPUT);
        ASSERT_TRUE(input.Join());
    }
    EXPECT_EQ(state.rfind("Now: Listening on udp:127.0.0.1:", 0), 0u) << state;
    EXPECT_EQ(state.find("udp:127.0.0.1:0"), std::string::npos) << "the bound port, not 0: " << state;
    EXPECT_EQ(AppTslListening(MainWindow()), "Not listening");
    ConfigSetActive(nullptr);
    DeleteFileA(path.c_str());
}

}  // namespace
