// A port that vanishes while connected: the connection closes by itself,
// the status bar says "Port lost", what arrived is kept, the history hook
// hears of it, and the operator's next Disconnect ends the loss. Run under
// serial_nullmodem.sh (COM1 <-> COM2).
#include "serial_test_util.h"

#include <commctrl.h>

#include "serial/port_watch.h"

using namespace serialtest;

namespace {

std::vector<std::pair<PortWatchEvent, int>> events;
void RecordEvent(HWND, PortWatchEvent event, int port) { events.push_back({event, port}); }

std::string StatusPart(int part) {
    HWND bar = GetDlgItem(MainWindow(), IDC_STATUS_BAR);
    char text[128] = "";
    SendMessageA(bar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(text));
    return text;
}

TEST(PortLost, TheConnectionClosesCleanlyAndSaysSo) {
    ASSERT_NE(MainWindow(), nullptr);
    PortWatchSetHook(RecordEvent);
    Peer peer;
    ASSERT_TRUE(peer.ok());
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->connected.load(), 1);
    const DWORD receiver = Session()->receiverThreadId.load();
    std::vector<uint8_t> bytes = Message(0x81, 23, 1);
    ASSERT_TRUE(peer.Write(bytes));
    ASSERT_TRUE(WaitUntil([&] { return Session()->bytesReceived.load() == bytes.size(); }, 5000));
    const uint32_t stored = tallyStore.counters.meCount[0].load();

    ASSERT_TRUE(EndPeerProcess());
    EXPECT_TRUE(WaitUntil([] { return Session()->connected.load() == 0; }, 8000)) << "still connected";
    EXPECT_TRUE(PortWatchLost());
    SendMessageA(MainWindow(), WM_TIMER, REFRESH_TIMER, 0);
    EXPECT_EQ(StatusPart(1), "Port lost");
    EXPECT_EQ(StatusPart(2), std::to_string(bytes.size()) + " bytes") << "what arrived is kept";
    EXPECT_EQ(tallyStore.counters.meCount[0].load(), stored);
    EXPECT_FALSE(ThreadAlive(receiver));
    EXPECT_TRUE(MenuEnabled(IDM_CONNECT));
    EXPECT_FALSE(MenuEnabled(IDM_DISCONNECT));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, PORT_WATCH_LOST);
    EXPECT_EQ(events[0].second, 1);

    // Without "Reconnect automatically" nothing tries the port again.
    for (int i = 0; i < 6; ++i) {
        Sleep(PORT_RECONNECT_EVERY_MS / 2);
        SendMessageA(MainWindow(), WM_TIMER, REFRESH_TIMER, 0);
    }
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(Session()->connected.load(), 0);

    Command(IDM_DISCONNECT);
    EXPECT_FALSE(PortWatchLost());
    SendMessageA(MainWindow(), WM_TIMER, REFRESH_TIMER, 0);
    EXPECT_EQ(StatusPart(1), "Disconnected");
    PortWatchSetHook(nullptr);
}

}  // namespace
