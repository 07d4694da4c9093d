// Link health counters kept by the port layer: UART error bits reported by
// ClearCommError (through a fake of that call) and bytes received (for real,
// over the virtual null-modem).
#include "serial_test_util.h"

#include "app/screen_core.h"

using namespace serialtest;

namespace {

DWORD fakeErrors = 0;
DWORD fakeQueued = 0;
int fakeCalls = 0;
BOOL WINAPI FakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    ++fakeCalls;
    if (errors) *errors = fakeErrors;
    if (status) {
        ZeroMemory(status, sizeof *status);
        status->cbInQue = fakeQueued;
    }
    return TRUE;
}

class LineErrorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(MainWindow(), nullptr);
        if (Session()->link.connected.load()) Command(IDM_DISCONNECT);
        for (auto& c : Session()->link.lineErrorCounts) c.store(0);
        portSeams.clearCommError = FakeClearCommError;
        fakeErrors = 0;
        fakeQueued = 0;
        fakeCalls = 0;
    }
    void TearDown() override {
        portSeams.clearCommError = ClearCommError;
        if (Session()->link.connected.load()) Command(IDM_DISCONNECT);
    }
    static std::vector<uint32_t> Counts() {
        std::vector<uint32_t> v;
        for (auto& c : Session()->link.lineErrorCounts) v.push_back(c.load());
        return v;
    }
};

TEST_F(LineErrorTest, EachErrorBitIsCountedInItsOwnCounter) {
    char buffer[16];
    const DWORD bits[LINE_ERROR_KINDS] = {CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_RXOVER, CE_BREAK};
    for (int i = 0; i < LINE_ERROR_KINDS; ++i) {
        fakeErrors = bits[i];
        EXPECT_EQ(PortReadBlock(MainWindow(), buffer, sizeof buffer), 0);  // nothing queued: no read
        std::vector<uint32_t> expected(LINE_ERROR_KINDS, 0);
        for (int j = 0; j <= i; ++j) expected[j] = 1;
        EXPECT_EQ(Counts(), expected) << "bit " << i;
    }
    // All five at once, with bits that are not line errors (CE_TXFULL,
    // CE_MODE) alongside, count once each and nothing else.
    fakeErrors = CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER | CE_BREAK | CE_TXFULL | CE_MODE;
    PortReadBlock(MainWindow(), buffer, sizeof buffer);
    EXPECT_EQ(Counts(), (std::vector<uint32_t>{2, 2, 2, 2, 2}));
    fakeErrors = CE_TXFULL;
    PortReadBlock(MainWindow(), buffer, sizeof buffer);
    EXPECT_EQ(Counts(), (std::vector<uint32_t>{2, 2, 2, 2, 2}));
    EXPECT_EQ(fakeCalls, 7);
}

TEST_F(LineErrorTest, BitsAreCountedButNotPrintedByARead) {
    const std::string before(Session()->terminal.cells, sizeof Session()->terminal.cells);
    char buffer[4];
    fakeErrors = CE_FRAME | CE_OVERRUN;
    Session()->settings.displayErrors = 1;
    PortReadBlock(MainWindow(), buffer, sizeof buffer);
    EXPECT_EQ(std::string(Session()->terminal.cells, sizeof Session()->terminal.cells), before);
    EXPECT_EQ(Counts(), (std::vector<uint32_t>{1, 0, 1, 0, 0}));
}

// With no port open, ReadFile and WriteFile fail at once (not pending): the
// ClearCommError bits are printed at the cursor only while "Display Errors"
// is on, and a failing ClearCommError prints nothing.
TEST_F(LineErrorTest, ImmediateFailuresPrintErrorBitsOnlyWithDisplayErrors) {
    ASSERT_EQ(Session()->link.connected.load(), 0);
    SessionState* s = Session();
    const auto blankScreen = [s] {
        ScreenClear(s->terminal.cells);
        s->terminal.row = 0;
        s->terminal.column = 0;
    };
    const auto screen = [s] { return std::string(s->terminal.cells, sizeof s->terminal.cells); };
    const std::string blank(sizeof s->terminal.cells, ' ');
    const std::string printed = "<CE-0x0000000a>";  // CE_FRAME | CE_OVERRUN
    char buffer[8];

    fakeErrors = CE_FRAME | CE_OVERRUN;
    fakeQueued = 4;  // so that the read gets as far as ReadFile
    s->settings.displayErrors = 0;
    blankScreen();
    EXPECT_EQ(PortWriteBlock(MainWindow(), testBlock, static_cast<int>(TEST_BLOCK_SIZE)), 0);
    EXPECT_EQ(PortReadBlock(MainWindow(), buffer, sizeof buffer), 0);
    EXPECT_EQ(screen(), blank);

    s->settings.displayErrors = 1;
    blankScreen();
    EXPECT_EQ(PortWriteBlock(MainWindow(), testBlock, static_cast<int>(TEST_BLOCK_SIZE)), 0);
    EXPECT_EQ(screen().substr(0, 2 * printed.size()), printed + std::string(printed.size(), ' '));
    EXPECT_EQ(PortReadBlock(MainWindow(), buffer, sizeof buffer), 0);
    EXPECT_EQ(screen().substr(0, 2 * printed.size()), printed + printed);
    EXPECT_EQ(screen().substr(2 * printed.size()), blank.substr(2 * printed.size()));

    // The write's ClearCommError itself failing: nothing to report.
    blankScreen();
    portSeams.clearCommError = [](HANDLE, LPDWORD errors, LPCOMSTAT) -> BOOL {
        if (errors) *errors = CE_FRAME;
        return FALSE;
    };
    EXPECT_EQ(PortWriteBlock(MainWindow(), testBlock, static_cast<int>(TEST_BLOCK_SIZE)), 0);
    EXPECT_EQ(screen(), blank);
    s->settings.displayErrors = 1;
}

TEST_F(LineErrorTest, ConnectResetsTheCountersAndRealBytesAreCounted) {
    char buffer[4];
    fakeErrors = CE_BREAK;
    PortReadBlock(MainWindow(), buffer, sizeof buffer);
    ASSERT_EQ(Counts()[LINE_ERROR_BREAK], 1u);
    portSeams.clearCommError = ClearCommError;
    Session()->link.bytesReceived.store(12345);

    Peer peer;
    ASSERT_TRUE(peer.ok());
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    EXPECT_EQ(Counts(), (std::vector<uint32_t>(LINE_ERROR_KINDS, 0)));
    EXPECT_EQ(Session()->link.bytesReceived.load(), 0u);
    EXPECT_EQ(Session()->link.lastByteTick.load(), 0u);

    std::vector<uint8_t> bytes;
    for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<uint8_t>(i % 0x80));
    const DWORD sent = GetTickCount();
    ASSERT_TRUE(peer.Write(bytes));
    ASSERT_TRUE(WaitUntil([] { return Session()->link.bytesReceived.load() >= 1000; }, 5000))
        << Session()->link.bytesReceived.load();
    WaitUntil([] { return false; }, 200);
    EXPECT_EQ(Session()->link.bytesReceived.load(), 1000u);
    EXPECT_NE(Session()->link.lastByteTick.load(), 0u);
    EXPECT_LT(Session()->link.lastByteTick.load() - sent, 5000u);
    // A pseudo-terminal has no UART: none of the five errors arises on it.
    EXPECT_EQ(Counts(), (std::vector<uint32_t>(LINE_ERROR_KINDS, 0)));
}

}  // namespace
