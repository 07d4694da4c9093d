// Connect, receive, send and disconnect on the real main window over the
// virtual null-modem (COM1 <-> COM2, the test driving COM2 as the sender).
#include <cstring>
#include <iostream>

#include "serial_test_util.h"
#include "history/book.h"
#include "history/history_internal.h"
#include "tally/protocol.h"

using namespace serialtest;

namespace {

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(MainWindow(), nullptr);
        if (Session()->link.connected.load()) Command(IDM_DISCONNECT);
        Session()->settings.portNumber = 1;
        Session()->settings.baudRate = 115200;
    }
    void TearDown() override {
        if (Session()->link.connected.load()) Command(IDM_DISCONNECT);
        Session()->settings.portNumber = 1;
    }
};

TallyCounterValues Counters() {
    TallyCounterValues values;
    TallyReadCounters(tallyStore, values);
    return values;
}

std::string ScreenText() { return std::string(Session()->terminal.cells, sizeof Session()->terminal.cells); }

TEST_F(LinkTest, ConnectSwapsTheMenuAndRunsTheReceiverUntilDisconnect) {
    EXPECT_TRUE(MenuEnabled(IDM_CONNECT));
    EXPECT_FALSE(MenuEnabled(IDM_DISCONNECT));

    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    EXPECT_FALSE(MenuEnabled(IDM_CONNECT));
    EXPECT_TRUE(MenuEnabled(IDM_DISCONNECT));
    const DWORD id = Session()->link.receiverThreadId.load();
    ASSERT_NE(id, 0u);
    EXPECT_NE(Session()->link.receiverThread.load(), nullptr);
    EXPECT_TRUE(ThreadAlive(id));
    EXPECT_EQ(Session()->terminal.caretShown, 1);

    Command(IDM_DISCONNECT);
    EXPECT_EQ(Session()->link.connected.load(), 0);
    EXPECT_EQ(Session()->link.receiverThreadId.load(), 0u);
    EXPECT_EQ(Session()->link.receiverThread.load(), nullptr);
    EXPECT_FALSE(ThreadAlive(id));
    EXPECT_EQ(Session()->terminal.caretShown, 0);
    EXPECT_TRUE(MenuEnabled(IDM_CONNECT));
    EXPECT_FALSE(MenuEnabled(IDM_DISCONNECT));
}

// A mixed stream: every ME, EXT and OUT record, SS, and low bytes in between.
struct Traffic {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> meLast[ME_RECORDS], extLast[EXT_RECORDS], outLast[OUT_RECORDS], ssLast;
    uint32_t me[ME_RECORDS] = {}, ext[EXT_RECORDS] = {}, out[OUT_RECORDS] = {}, ss = 0;
};

Traffic MakeTraffic(int rounds, uint8_t seed) {
    Traffic t;
    auto add = [&](uint8_t type, int length, std::vector<uint8_t>& last, uint32_t& count) {
        std::vector<uint8_t> message = Message(type, length, seed++);
        last.assign(message.begin() + 2, message.end());
        ++count;
        t.bytes.insert(t.bytes.end(), message.begin(), message.end());
    };
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < ME_RECORDS; ++i) add(static_cast<uint8_t>(0x81 + i), ME_PAYLOAD, t.meLast[i], t.me[i]);
        for (int i = 0; i < EXT_RECORDS; ++i)
            add(static_cast<uint8_t>(0x91 + i), EXT_PAYLOAD, t.extLast[i], t.ext[i]);
        add(0xA1, SS_PAYLOAD, t.ssLast, t.ss);
        for (int i = 0; i < OUT_RECORDS; ++i)
            add(static_cast<uint8_t>(0xB1 + i), OUT_PAYLOAD, t.outLast[i], t.out[i]);
    }
    return t;
}

uint32_t StoredMessages(const TallyCounterValues& c) {
    uint32_t sum = c.ssCount;
    for (uint32_t v : c.meCount) sum += v;
    for (uint32_t v : c.extCount) sum += v;
    for (uint32_t v : c.outCount) sum += v;
    return sum;
}

void ExpectDelivered(const Traffic& t, const TallyCounterValues& before, const char* how) {
    const uint32_t total = [&] {
        uint32_t n = t.ss;
        for (uint32_t v : t.me) n += v;
        for (uint32_t v : t.ext) n += v;
        for (uint32_t v : t.out) n += v;
        return n;
    }();
    ASSERT_TRUE(WaitUntil([&] { return StoredMessages(Counters()) - StoredMessages(before) >= total; }, 10000))
        << how << ": " << StoredMessages(Counters()) - StoredMessages(before) << " of " << total;
    WaitUntil([] { return false; }, 200);  // nothing more may arrive
    const TallyCounterValues after = Counters();
    for (int i = 0; i < ME_RECORDS; ++i) EXPECT_EQ(after.meCount[i] - before.meCount[i], t.me[i]) << how;
    for (int i = 0; i < EXT_RECORDS; ++i) EXPECT_EQ(after.extCount[i] - before.extCount[i], t.ext[i]) << how;
    for (int i = 0; i < OUT_RECORDS; ++i) EXPECT_EQ(after.outCount[i] - before.outCount[i], t.out[i]) << how;
    EXPECT_EQ(after.ssCount - before.ssCount, t.ss) << how;
    EXPECT_EQ(after.strayByteCount, before.strayByteCount) << how;
    EXPECT_EQ(after.unknownTypeCount, before.unknownTypeCount) << how;
    EXPECT_EQ(after.headerMismatchCount, before.headerMismatchCount) << how;
    EXPECT_EQ(after.headerLowByteCount, before.headerLowByteCount) << how;
    EXPECT_EQ(after.payloadErrorCount, before.payloadErrorCount) << how;

    for (int i = 0; i < ME_RECORDS; ++i) {
        MeTally record;
        TallyReadMe(tallyStore, i, record);
        EXPECT_EQ(0, memcmp(record.data, t.meLast[i].data(), ME_PAYLOAD)) << how << " ME " << i + 1;
    }
    for (int i = 0; i < EXT_RECORDS; ++i) {
        ExtTally record;
        TallyReadExt(tallyStore, i, record);
        EXPECT_EQ(0, memcmp(record.data, t.extLast[i].data(), EXT_PAYLOAD)) << how << " EXT " << i + 1;
    }
    for (int i = 0; i < OUT_RECORDS; ++i) {
        OutputTally record;
        TallyReadOut(tallyStore, i, record);
        EXPECT_EQ(0, memcmp(record.data, t.outLast[i].data(), OUT_PAYLOAD)) << how << " OUT " << i + 1;
    }
    StillStoreTally ss;
    TallyReadSs(tallyStore, ss);
    EXPECT_EQ(0, memcmp(ss.data, t.ssLast.data(), SS_PAYLOAD)) << how;
}

TEST_F(LinkTest, PeerTrafficLandsInTheStoreWholeAndInSmallPieces) {
    Peer peer;
    ASSERT_TRUE(peer.ok());
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);

    // One large write: 40 rounds of 19 messages, about 11 KB, more than one
    // read buffer and more than the driver queue size.
    Traffic whole = MakeTraffic(40, 1);
    TallyCounterValues before = Counters();
    ASSERT_TRUE(peer.Write(whole.bytes));
    ExpectDelivered(whole, before, "one write");

    // The same kind of stream cut into pieces of 1 to 7 bytes, with pauses so
    // that messages are split across reads.
    Traffic pieces = MakeTraffic(3, 77);
    before = Counters();
    size_t at = 0, n = 0;
    while (at < pieces.bytes.size()) {
        const size_t size = std::min<size_t>(1 + (n++ % 7), pieces.bytes.size() - at);
        ASSERT_TRUE(peer.Write(std::vector<uint8_t>(pieces.bytes.begin() + at, pieces.bytes.begin() + at + size)));
        at += size;
        if (n % 5 == 0) Sleep(25);
    }
    ExpectDelivered(pieces, before, "small writes");
}

// A message cut off by Disconnect is kept: an "incomplete" event with its
// bytes, just before the disconnect, so the log and a recording lose nothing.
TEST_F(LinkTest, AMessageCutOffByDisconnectIsKeptAsAnIncompleteEvent) {
    Peer peer;
    ASSERT_TRUE(peer.ok());
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    const uint32_t outs = Counters().outCount[0];
    const std::vector<uint8_t> cut = {0xB1, 0xB1, 0x01, 0x02};
    std::vector<uint8_t> bytes = Message(0xB1, 10, 5);
    bytes.insert(bytes.end(), cut.begin(), cut.end());
    ASSERT_TRUE(peer.Write(bytes));
    ASSERT_TRUE(WaitUntil([&] { return Counters().outCount[0] == outs + 1; }, 5000));
    Sleep(300);  // the tail came in the same write
    Command(IDM_DISCONNECT);

    const HistoryBook& book = HistoryTheBook(MainWindow());
    const size_t n = HistoryBookSize(book);
    ASSERT_GE(n, 2u);
    const HistoryEvent& held = HistoryBookEntry(book, book.firstSeq + n - 2).event;
    EXPECT_EQ(held.kind, EVENT_INCOMPLETE);
    EXPECT_EQ(std::vector<uint8_t>(held.bytes, held.bytes + held.length), cut);
    EXPECT_EQ(HistoryBookEntry(book, book.firstSeq + n - 1).event.kind, EVENT_DISCONNECT);
    EXPECT_EQ(Counters().outCount[0], outs + 1) << "nothing is counted for the cut message";
}

TEST_F(LinkTest, BlockOneSendsExactlyTheTestBlock) {
    Peer peer;
    ASSERT_TRUE(peer.ok());
    const std::string screenBefore = ScreenText();
    // While disconnected nothing is sent and nothing is printed.
    Command(IDM_BLOCK1);
    EXPECT_TRUE(peer.Read(1, 300).empty());
    EXPECT_EQ(ScreenText(), screenBefore);

    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    Command(IDM_BLOCK1);
    const std::vector<uint8_t> got = peer.Read(11, 1000);
    EXPECT_EQ(got, (std::vector<uint8_t>{0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    Command(IDM_BLOCK1);
    EXPECT_EQ(peer.Read(11, 1000).size(), 10u);
}

TEST_F(LinkTest, DisconnectWhileIdleEndsTheReceiverAndThePortOpensAgain) {
    for (int round = 0; round < 3; ++round) {
        Command(IDM_CONNECT);
        ASSERT_EQ(Session()->link.connected.load(), 1);
        const DWORD id = Session()->link.receiverThreadId.load();
        WaitUntil([] { return false; }, 300);  // let the receiver settle into its wait
        const DWORD start = GetTickCount();
        Command(IDM_DISCONNECT);
        const DWORD elapsed = GetTickCount() - start;
        EXPECT_LT(elapsed, 1000u) << "round " << round;
        EXPECT_FALSE(ThreadAlive(id));
        EXPECT_EQ(Session()->link.receiverThreadId.load(), 0u);
    }
    // Still usable afterwards: data arrives on a fresh connection.
    Peer peer;
    ASSERT_TRUE(peer.ok());
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    Traffic t = MakeTraffic(1, 9);
    const TallyCounterValues before = Counters();
    ASSERT_TRUE(peer.Write(t.bytes));
    ExpectDelivered(t, before, "after reconnect");
}

// Under Wine the wait for port events fails on the null modem, so an idle
// receiver sleeps in reads that wait for the first byte. Their time-outs are
// not errors, and Disconnect must not wait for the read to end by itself.
TEST_F(LinkTest, IdleWaitingReadsPrintNothingAndDisconnectEndsThemPromptly) {
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    const DWORD id = Session()->link.receiverThreadId.load();
    const std::string screenBefore = ScreenText();
    WaitUntil([] { return false; }, 2600);  // at least two read time-outs of 1 s
    EXPECT_EQ(ScreenText(), screenBefore);
    EXPECT_EQ(Session()->link.bytesReceived.load(), 0u);

    // A read time-out far longer than Disconnect may take: only the
    // receiver's own look at `connected` can end the read in time.
    COMMTIMEOUTS timeouts = {};
    ASSERT_TRUE(GetCommTimeouts(Session()->link.portHandle, &timeouts));
    timeouts.ReadTotalTimeoutConstant = 60000;
    ASSERT_TRUE(SetCommTimeouts(Session()->link.portHandle, &timeouts));
    WaitUntil([] { return false; }, 1300);  // the next read now waits up to a minute
    const DWORD start = GetTickCount();
    Command(IDM_DISCONNECT);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_LT(elapsed, 1000u);
    EXPECT_FALSE(ThreadAlive(id));
    EXPECT_EQ(ScreenText(), screenBefore);
    std::cout << "[ figures  ] Disconnect during a waiting read took " << elapsed << " ms\n";
}

TEST_F(LinkTest, MissingPortFailsWithAWarningAndLeavesTheMenu) {
    Session()->settings.portNumber = 3;  // mapped to a path that never exists
    const HCURSOR cursorBefore = GetCursor();
    std::string text, caption;
    {
        ModalDriver box("Qorvex V-1.0", [&](HWND window) {
            text = StaticTexts(window);
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        });
        Command(IDM_CONNECT);
        ASSERT_TRUE(box.Join());
    }
    EXPECT_NE(text.find("Connection failed."), std::string::npos) << text;
    EXPECT_EQ(Session()->link.connected.load(), 0);
    EXPECT_EQ(Session()->link.receiverThreadId.load(), 0u);
    EXPECT_TRUE(MenuEnabled(IDM_CONNECT));
    EXPECT_FALSE(MenuEnabled(IDM_DISCONNECT));
    EXPECT_EQ(GetCursor(), cursorBefore);
    // A Disconnect that arrives anyway touches no port and does not wait.
    Command(IDM_DISCONNECT);
    EXPECT_TRUE(MenuEnabled(IDM_CONNECT));
}

TEST_F(LinkTest, ConnectWhileConnectedKeepsTheLiveConnection) {
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    const HANDLE port = Session()->link.portHandle;
    const DWORD id = Session()->link.receiverThreadId.load();
    EXPECT_EQ(PortOpen(MainWindow()), 0);
    EXPECT_EQ(Session()->link.portHandle, port);
    EXPECT_EQ(Session()->link.receiverThreadId.load(), id);
    EXPECT_TRUE(ThreadAlive(id));
}

TEST_F(LinkTest, TwoHundredCyclesLeaveHandlesAndThreadsAsTheyWere) {
    for (int i = 0; i < 3; ++i) {  // warm-up: first-use allocations inside the system
        Command(IDM_CONNECT);
        Command(IDM_DISCONNECT);
    }
    const int handlesBefore = HandleCount();
    ASSERT_GT(handlesBefore, 0);
    {  // the count sees a single extra handle
        HANDLE extra = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_EQ(HandleCount(), handlesBefore + 1);
        CloseHandle(extra);
    }
    std::vector<DWORD> receivers;
    for (int i = 0; i < 200; ++i) {
        Command(IDM_CONNECT);
        ASSERT_EQ(Session()->link.connected.load(), 1) << "cycle " << i;
        receivers.push_back(Session()->link.receiverThreadId.load());
        Command(IDM_DISCONNECT);
        ASSERT_EQ(Session()->link.receiverThreadId.load(), 0u) << "cycle " << i;
    }
    const int handlesAfter = HandleCount();
    EXPECT_EQ(handlesAfter, handlesBefore);
    int alive = 0;
    for (DWORD id : receivers) alive += ThreadAlive(id) ? 1 : 0;
    EXPECT_EQ(alive, 0);
    std::cout << "[ figures  ] 200 connect/disconnect cycles: handles " << handlesBefore << " -> " << handlesAfter
              << ", receiver threads still alive " << alive << " of " << receivers.size() << "\n";
}

uint64_t ThreadCpu100ns(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
    auto v = [](const FILETIME& f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return v(kernel) + v(user);
}

uint64_t ProcessCpu100ns() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto v = [](const FILETIME& f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return v(kernel) + v(user);
}

// Prints the CPU use of an idle connected receiver; the receiver must still
// deliver data afterwards.
TEST_F(LinkTest, IdleReceiverFigures) {
    Peer peer;
    ASSERT_TRUE(peer.ok());
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    const HANDLE thread = Session()->link.receiverThread.load();
    ASSERT_NE(thread, nullptr);
    const DWORD seconds = 10;
    const uint64_t threadBefore = ThreadCpu100ns(thread), processBefore = ProcessCpu100ns();
    Sleep(seconds * 1000);
    const uint64_t threadUsed = ThreadCpu100ns(thread) - threadBefore, processUsed = ProcessCpu100ns() - processBefore;
    std::cout << "[ figures  ] idle connected for " << seconds << " s: receiver thread CPU "
              << threadUsed / 10000.0 << " ms (" << threadUsed / (seconds * 100000.0) << " %), whole process "
              << processUsed / 10000.0 << " ms (" << processUsed / (seconds * 100000.0) << " %)\n";
    Traffic t = MakeTraffic(1, 5);
    const TallyCounterValues before = Counters();
    ASSERT_TRUE(peer.Write(t.bytes));
    ExpectDelivered(t, before, "after idling");
}

// A write the line never takes (the other end reads nothing, so the pipe
// fills) must not freeze the window: it is cancelled after its wait limit,
// the abort is printed on the screen and the link stays usable.
DWORD ShortWriteWait(DWORD, int) { return 500; }

TEST_F(LinkTest, StalledWriteIsCancelledInsteadOfFreezingTheWindow) {
    EXPECT_EQ(PortWriteWaitLimit(115200, 11520), PORT_WRITE_WAIT_MARGIN + 2000u);
    EXPECT_EQ(PortWriteWaitLimit(9600, 9600), PORT_WRITE_WAIT_MARGIN + 20000u);

    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    const auto saved = portSeams.writeWaitLimit;
    portSeams.writeWaitLimit = ShortWriteWait;
    std::vector<uint8_t> big(4 * 1024 * 1024, 0x20);
    const DWORD start = GetTickCount();
    EXPECT_EQ(PortWriteBlock(MainWindow(), big.data(), static_cast<int>(big.size())), 1);
    const DWORD elapsed = GetTickCount() - start;
    portSeams.writeWaitLimit = saved;
    std::cout << "stalled write returned after " << elapsed << " ms\n";
    EXPECT_LT(elapsed, 10000u);
    EXPECT_NE(ScreenText().find("<CE-0x000003e3>"), std::string::npos) << "the abort is shown to the operator";

    // Still connected and able to disconnect promptly.
    EXPECT_EQ(Session()->link.connected.load(), 1);
    Command(IDM_DISCONNECT);
    EXPECT_EQ(Session()->link.receiverThreadId.load(), 0u);
}


// Must run last: it ends the null-modem.
TEST_F(LinkTest, ZPeerVanishingLeavesTheApplicationResponsive) {
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    const DWORD id = Session()->link.receiverThreadId.load();
    ASSERT_TRUE(EndPeerProcess());
    WaitUntil([] { return false; }, 1500);  // socat notices and exits

    // The window still answers another thread promptly, again and again.
    std::atomic<int> answered{0};
    std::thread prober([&] {
        for (int i = 0; i < 5; ++i) {
            DWORD_PTR result = 0;
            if (SendMessageTimeoutA(MainWindow(), WM_NULL, 0, 0, SMTO_BLOCK, 1000, &result)) ++answered;
            Sleep(100);
        }
    });
    WaitUntil([&] { return answered.load() == 5; }, 8000);
    prober.join();
    EXPECT_EQ(answered.load(), 5);
    Command(IDM_BLOCK1);  // a write to the vanished peer must not hang

    Command(IDM_DISCONNECT);
    EXPECT_EQ(Session()->link.connected.load(), 0);
    EXPECT_FALSE(ThreadAlive(id));
    EXPECT_TRUE(MenuEnabled(IDM_CONNECT));
}

}  // namespace

