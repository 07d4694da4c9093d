// A port that vanishes while connected: the connection closes by itself,
// the status bar says "Port lost", what arrived is kept, the history has one
// disconnect row saying "Port lost (COM1)", and the operator's next
// Disconnect ends the loss. Run under serial_nullmodem.sh (COM1 <-> COM2).
#include "serial_test_util.h"

#include <commctrl.h>

#include "history/history.h"
#include "serial/port_watch.h"

using namespace serialtest;

namespace {

// The history list's rows, read through the list itself.
int HistoryRows() {
    return static_cast<int>(SendMessageA(GetDlgItem(MainWindow(), IDC_HISTORY_LIST), LVM_GETITEMCOUNT, 0, 0));
}
std::string HistoryCell(int row, int column) {
    char text[256] = "";
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(GetDlgItem(MainWindow(), IDC_HISTORY_LIST), LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    return text;
}

std::string StatusPart(int part) {
    HWND bar = GetDlgItem(MainWindow(), IDC_STATUS_BAR);
    char text[128] = "";
    SendMessageA(bar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(text));
    return text;
}

TEST(PortLost, TheConnectionClosesCleanlyAndSaysSo) {
    ASSERT_NE(MainWindow(), nullptr);
    Peer peer;
    ASSERT_TRUE(peer.ok());
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    const DWORD receiver = Session()->link.receiverThreadId.load();
    std::vector<uint8_t> bytes = Message(0x81, 23, 1);
    ASSERT_TRUE(peer.Write(bytes));
    ASSERT_TRUE(WaitUntil([&] { return Session()->link.bytesReceived.load() == bytes.size(); }, 5000));
    const uint32_t stored = tallyStore.counters.meCount[0].load();

    ASSERT_TRUE(EndPeerProcess());
    EXPECT_TRUE(WaitUntil([] { return Session()->link.connected.load() == 0; }, 8000)) << "still connected";
    EXPECT_TRUE(PortWatchLost(MainWindow()));
    SendMessageA(MainWindow(), WM_TIMER, REFRESH_TIMER, 0);
    EXPECT_EQ(StatusPart(1), "Port lost");
    EXPECT_EQ(StatusPart(2), std::to_string(bytes.size()) + " bytes") << "what arrived is kept";
    EXPECT_EQ(tallyStore.counters.meCount[0].load(), stored);
    EXPECT_FALSE(ThreadAlive(receiver));
    EXPECT_TRUE(MenuEnabled(IDM_CONNECT));
    EXPECT_FALSE(MenuEnabled(IDM_DISCONNECT));
    // One disconnect row, the last, and it says why.
    SendMessageA(MainWindow(), WM_TIMER, HISTORY_TIMER, 0);
    const int rows = HistoryRows();
    ASSERT_GE(rows, 2);
    EXPECT_EQ(HistoryCell(rows - 1, 1), "disconnect");
    EXPECT_EQ(HistoryCell(rows - 1, 3), "Port lost (COM1)");
    EXPECT_NE(HistoryCell(rows - 2, 1), "disconnect");

    // Without "Reconnect automatically" nothing tries the port again.
    for (int i = 0; i < 6; ++i) {
        Sleep(PORT_RECONNECT_EVERY_MS / 2);
        SendMessageA(MainWindow(), WM_TIMER, REFRESH_TIMER, 0);
    }
    SendMessageA(MainWindow(), WM_TIMER, HISTORY_TIMER, 0);
    EXPECT_EQ(HistoryRows(), rows) << "no retry, so no connect row";
    EXPECT_EQ(Session()->link.connected.load(), 0);

    Command(IDM_DISCONNECT);
    EXPECT_FALSE(PortWatchLost(MainWindow()));
    SendMessageA(MainWindow(), WM_TIMER, REFRESH_TIMER, 0);
    EXPECT_EQ(StatusPart(1), "Disconnected");
}

}  // namespace
