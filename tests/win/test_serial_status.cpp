// The status bar read back through the real link's states over the virtual
// null-modem, and a port error printed into the terminal screen and painted.
// Leaves a screenshot, serial_status_port_error.bmp, in <build>/artifacts/.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "win_artifacts.h"
#include "serial/status_core.h"
#include "serial_test_util.h"

using namespace serialtest;

namespace {

HWND Bar() { return GetDlgItem(MainWindow(), IDC_STATUS_BAR); }

// The status bar belongs to this process, but the texts are read the way any
// other process would have to read them: as wide characters.
std::string Part(int part) {
    WCHAR text[256] = {};
    const LRESULT info = SendMessageW(Bar(), SB_GETTEXTLENGTHW, part, 0);
    if (LOWORD(info) >= 255) return "<too long>";
    SendMessageW(Bar(), SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text));
    std::string narrow;
    for (const WCHAR* c = text; *c; ++c) narrow += *c < 0x80 ? static_cast<char>(*c) : '?';
    return narrow;
}

void Tick() { SendMessageW(MainWindow(), WM_TIMER, REFRESH_TIMER, 0); }

TallyCounterValues Counters() {
    TallyCounterValues c;
    TallyReadCounters(tallyStore, c);
    return c;
}

uint32_t ErrorSum(const TallyCounterValues& c) {
    return c.strayByteCount + c.unknownTypeCount + c.headerMismatchCount + c.headerLowByteCount +
           c.payloadErrorCount;
}

uint32_t MessageSum(const TallyCounterValues& c) {
    uint32_t n = c.ssCount;
    for (uint32_t v : c.meCount) n += v;
    for (uint32_t v : c.extCount) n += v;
    for (uint32_t v : c.outCount) n += v;
    return n;
}

// A message whose payload is low bytes only.
void Append(std::vector<uint8_t>& to, uint8_t type, int payload) {
    to.push_back(type);
    to.push_back(type);
    for (int i = 0; i < payload; ++i) to.push_back(static_cast<uint8_t>(1 + i % 0x70));
}

// Tally traffic with one or more faults of each of the five kinds, opened by
// a counter reset so that the store's counters become exactly this stream's.
struct FaultyStream {
    std::vector<uint8_t> bytes;
    uint32_t stray = 0, unknown = 0, mismatch = 0, lowByte = 0, payload = 0;
    uint32_t messages = 0;
};

FaultyStream MakeFaultyStream() {
    FaultyStream s;
    s.bytes = {0xD1, 0xD1};
    Append(s.bytes, 0x81, ME_PAYLOAD);
    s.bytes.insert(s.bytes.end(), {0x05, 0x06, 0x07});  // between messages
    s.stray = 3;
    Append(s.bytes, 0xA1, SS_PAYLOAD);
    s.bytes.insert(s.bytes.end(), {0xE0, 0xE0});
    s.unknown = 1;
    Append(s.bytes, 0x91, EXT_PAYLOAD);
    s.bytes.push_back(0x81);  // 0x81 0x92: the 0x92 starts the next message
    s.mismatch = 1;
    Append(s.bytes, 0x92, EXT_PAYLOAD);
    s.bytes.insert(s.bytes.end(), {0x82, 0x05});
    s.lowByte = 1;
    s.bytes.insert(s.bytes.end(), {0x83, 0x83, 0x01, 0x02, 0x03});  // cut short by the doubled 0xA1
    s.payload = 1;
    Append(s.bytes, 0xA1, SS_PAYLOAD);
    Append(s.bytes, 0xB1, OUT_PAYLOAD);
    s.messages = 6;
    return s;
}

class StatusLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(MainWindow(), nullptr);
        ASSERT_NE(Bar(), nullptr);
        KillTimer(MainWindow(), REFRESH_TIMER);  // ticks by hand
        if (Session()->link.connected.load()) Command(IDM_DISCONNECT);
    }
    void TearDown() override {
        portSeams.clearCommError = ClearCommError;
        if (Session()->link.connected.load()) Command(IDM_DISCONNECT);
    }
};

TEST_F(StatusLinkTest, TextsFollowTheRealLinkThroughItsStates) {
    Tick();
    EXPECT_EQ(Part(0), "COM1 115200 8N1");
    EXPECT_EQ(Part(1), "Disconnected");

    Peer peer;
    ASSERT_TRUE(peer.ok());
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    Tick();
    EXPECT_EQ(Part(1), "Connected, no data yet");
    EXPECT_EQ(Part(2), "0 bytes");
    EXPECT_EQ(Part(5), "Line errors 0");

    // The peer sends faulty traffic; the first tick comes only once it is all in.
    const FaultyStream stream = MakeFaultyStream();
    ASSERT_TRUE(peer.Write(stream.bytes));
    ASSERT_TRUE(WaitUntil([&] { return MessageSum(Counters()) == stream.messages; }, 5000))
        << MessageSum(Counters()) << " of " << stream.messages << " messages";
    WaitUntil([] { return false; }, 200);  // nothing more is counted late
    const TallyCounterValues c = Counters();
    EXPECT_EQ(c.strayByteCount, stream.stray);
    EXPECT_EQ(c.unknownTypeCount, stream.unknown);
    EXPECT_EQ(c.headerMismatchCount, stream.mismatch);
    EXPECT_EQ(c.headerLowByteCount, stream.lowByte);
    EXPECT_EQ(c.payloadErrorCount, stream.payload);
    ASSERT_EQ(Session()->link.bytesReceived.load(), stream.bytes.size());

    Tick();
    EXPECT_EQ(Part(1), "Receiving");
    EXPECT_EQ(Part(2), std::to_string(stream.bytes.size()) + " bytes");
    double rate = 0;
    EXPECT_EQ(std::sscanf(Part(3).c_str(), "%lf msg/s", &rate), 1) << Part(3);
    EXPECT_GT(rate, 0.0) << Part(3);
    EXPECT_EQ(Part(4), "Framing errors " + std::to_string(ErrorSum(c)));
    EXPECT_EQ(ErrorSum(c), 7u) << "3 stray bytes and one fault of each other kind";
    EXPECT_EQ(Part(5), "Line errors 0") << "a pseudo-terminal has no UART to report errors";

    // The peer goes quiet for a little over the silence limit.
    WaitUntil([] { return GetTickCount() - Session()->link.lastByteTick.load() > STATUS_SILENT_AFTER_MS + 300; },
              STATUS_SILENT_AFTER_MS + 2000);
    const uint32_t quietBefore = GetTickCount() - Session()->link.lastByteTick.load();
    Tick();
    const uint32_t quietAfter = GetTickCount() - Session()->link.lastByteTick.load();
    const std::string silent = Part(1);
    EXPECT_TRUE(silent == "Silent " + std::to_string(quietBefore / 1000) + " s" ||
                silent == "Silent " + std::to_string(quietAfter / 1000) + " s")
        << silent << " after " << quietBefore << " ms";
    EXPECT_EQ(Part(2), std::to_string(stream.bytes.size()) + " bytes") << "silence keeps the count";

    // Traffic again ends the silence.
    std::vector<uint8_t> more;
    Append(more, 0xB2, OUT_PAYLOAD);
    ASSERT_TRUE(peer.Write(more));
    ASSERT_TRUE(WaitUntil(
        [&] { return Session()->link.bytesReceived.load() == stream.bytes.size() + more.size(); }, 5000));
    Tick();
    EXPECT_EQ(Part(1), "Receiving");
    EXPECT_EQ(Part(2), std::to_string(stream.bytes.size() + more.size()) + " bytes");

    // Disconnected, the figures of the last connection stay readable.
    Command(IDM_DISCONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 0);
    Tick();
    EXPECT_EQ(Part(1), "Disconnected");
    EXPECT_EQ(Part(2), std::to_string(stream.bytes.size() + more.size()) + " bytes");
    EXPECT_EQ(Part(4), "Framing errors " + std::to_string(ErrorSum(Counters())));
}

TEST_F(StatusLinkTest, DataBeforeTheFirstTickAfterConnectIsNotNoData) {
    Tick();
    Peer peer;
    ASSERT_TRUE(peer.ok());
    Command(IDM_CONNECT);
    ASSERT_EQ(Session()->link.connected.load(), 1);
    std::vector<uint8_t> message;
    Append(message, 0xA1, SS_PAYLOAD);
    ASSERT_TRUE(peer.Write(message));
    ASSERT_TRUE(WaitUntil([&] { return Session()->link.bytesReceived.load() == message.size(); }, 5000));
    Tick();
    EXPECT_EQ(Part(1), "Receiving");
    EXPECT_EQ(Part(2), std::to_string(message.size()) + " bytes");
}

// Each part is as wide as its text, also at its longest realistic text, at
// the window's default size; narrowed, the least important parts give way
// first while the port and the link state stay whole.
TEST_F(StatusLinkTest, PartsAreSizedToTheirTextsAndTheLeastImportantGiveWay) {
    LinkState& link = Session()->link;
    const uint64_t bytesBefore = link.bytesReceived.load();
    link.bytesReceived = 4294967295u;
    link.lineErrorCounts[LINE_ERROR_FRAME] = 4294967295u;
    Tick();
    HDC dc = GetDC(Bar());
    // Without a font set, the bar draws with the system's status-bar font.
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(Bar(), WM_GETFONT, 0, 0));
    HFONT systemFont = nullptr;
    if (!font) {
        NONCLIENTMETRICSW metrics = {};
        metrics.cbSize = sizeof metrics;
        ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
        font = systemFont = CreateFontIndirectW(&metrics.lfStatusFont);
    }
    HGDIOBJ old = SelectObject(dc, font);
    // Pixels of text beyond what part p shows (negative: room to spare).
    auto overflow = [&](int part) {
        RECT r;
        if (!SendMessageW(Bar(), SB_GETRECT, part, reinterpret_cast<LPARAM>(&r))) return 1 << 20;
        const std::string text = Part(part);
        SIZE size;
        GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
        return static_cast<int>(size.cx + 8 - (r.right - r.left));  // a few pixels of margin each side
    };
    EXPECT_EQ(Part(2), "4294967295 bytes");
    for (int part = 0; part < STATUS_PARTS; ++part) EXPECT_LE(overflow(part), 0) << "part " << part << " " << Part(part);

    RECT placed;
    GetWindowRect(MainWindow(), &placed);
    SetWindowPos(MainWindow(), nullptr, 0, 0, 420, placed.bottom - placed.top, SWP_NOMOVE | SWP_NOZORDER);
    Tick();
    EXPECT_LE(overflow(0), 0) << "the port stays whole: " << Part(0);
    EXPECT_LE(overflow(1), 0) << "the link state stays whole: " << Part(1);
    EXPECT_GT(overflow(2), 0) << "the byte count gives way first";
    // A part that gives way is hidden, never shown cut short.
    for (int part = 0; part + 1 < STATUS_PARTS; ++part) {
        RECT r = {};
        SendMessageW(Bar(), SB_GETRECT, part, reinterpret_cast<LPARAM>(&r));
        EXPECT_TRUE(overflow(part) <= 0 || r.right - r.left <= 0) << "part " << part << " cut: " << Part(part);
    }
    SetWindowPos(MainWindow(), nullptr, 0, 0, placed.right - placed.left, placed.bottom - placed.top,
                 SWP_NOMOVE | SWP_NOZORDER);

    SelectObject(dc, old);
    if (systemFont) DeleteObject(systemFont);
    ReleaseDC(Bar(), dc);
    link.bytesReceived = bytesBefore;
    link.lineErrorCounts[LINE_ERROR_FRAME] = 0;
}

// ---- A port error shown on the screen ----------------------------------------------

DWORD fakeErrors = 0;
BOOL WINAPI FakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    if (errors) *errors = fakeErrors;
    if (status) {
        ZeroMemory(status, sizeof *status);
        status->cbInQue = 8;  // something to read, so that the read is attempted
    }
    return TRUE;
}

// The client area above the status bar, as pixels.
struct Capture {
    int width = 0, height = 0;
    std::vector<COLORREF> pixels;
    COLORREF At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

Capture CaptureClient() {
    RECT client, bar;
    GetClientRect(MainWindow(), &client);
    GetWindowRect(Bar(), &bar);
    MapWindowPoints(nullptr, MainWindow(), reinterpret_cast<POINT*>(&bar), 2);
    Capture c;
    c.width = client.right;
    c.height = bar.top;
    HDC windowDc = GetDC(MainWindow());
    HDC memory = CreateCompatibleDC(windowDc);
    HBITMAP bitmap = CreateCompatibleBitmap(windowDc, c.width, c.height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, c.width, c.height, windowDc, 0, 0, SRCCOPY);
    c.pixels.resize(static_cast<size_t>(c.width) * c.height);
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) c.pixels[static_cast<size_t>(y) * c.width + x] = GetPixel(memory, x, y);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(MainWindow(), windowDc);
    return c;
}

// A read that fails (here: on the closed port) while ClearCommError reports
// UART error bits prints the bits at the cursor when Display Errors is on,
// and the window repaints exactly those cells.
TEST_F(StatusLinkTest, PortErrorIsPrintedAtTheCursorAndPainted) {
    SessionState* s = Session();
    ASSERT_EQ(s->link.connected.load(), 0);
    SendMessageA(MainWindow(), WM_COMMAND, IDM_VIEW_SCREEN, 0);  // the history fills the client area by default
    ShowWindow(MainWindow(), SW_SHOWNORMAL);
    SetWindowPos(MainWindow(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    const char banner[] = "\r\n\nport check: ";
    ScreenWrite(MainWindow(), banner, static_cast<int>(std::strlen(banner)));
    Tick();
    RedrawWindow(MainWindow(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    PumpMessages();
    const int row = s->terminal.row, column = s->terminal.column;
    ASSERT_LE(column + 15, SCREEN_COLS);
    const Capture before = CaptureClient();
    uint32_t countsBefore[LINE_ERROR_KINDS];
    for (int i = 0; i < LINE_ERROR_KINDS; ++i) countsBefore[i] = s->link.lineErrorCounts[i].load();

    const LONG displayErrors = s->settings.displayErrors;
    s->settings.displayErrors = 1;
    portSeams.clearCommError = FakeClearCommError;
    fakeErrors = CE_FRAME | CE_OVERRUN;
    char buffer[16];
    EXPECT_EQ(PortReadBlock(MainWindow(), buffer, sizeof buffer), 0);
    portSeams.clearCommError = ClearCommError;
    s->settings.displayErrors = displayErrors;

    char expected[32];
    std::snprintf(expected, sizeof expected, "<CE-0x%08x>", static_cast<unsigned>(CE_FRAME | CE_OVERRUN));
    ASSERT_EQ(std::strlen(expected), 15u);
    EXPECT_EQ(std::string(s->terminal.cells + row * SCREEN_COLS + column, 15), expected);
    EXPECT_EQ(s->terminal.row, row);
    EXPECT_EQ(s->terminal.column, column + 15) << "the cursor moves past the printed code";
    // The failing read's bits were counted as well as printed.
    uint32_t lineErrors = 0;
    for (int i = 0; i < LINE_ERROR_KINDS; ++i) {
        const uint32_t added = (i == LINE_ERROR_FRAME || i == LINE_ERROR_OVERRUN) ? 2 : 0;  // before and after the read
        EXPECT_EQ(s->link.lineErrorCounts[i].load() - countsBefore[i], added) << "counter " << i;
        lineErrors += s->link.lineErrorCounts[i].load();
    }

    // Only the window's own repaint (no forced redraw) brings the text on screen.
    UpdateWindow(MainWindow());
    PumpMessages();
    const Capture after = CaptureClient();
    ASSERT_EQ(after.width, before.width);
    ASSERT_EQ(after.height, before.height);
    const int cw = s->terminal.charWidth, ch = s->terminal.charHeight;
    const RECT cells = {column * cw, row * ch, (column + 15) * cw, (row + 1) * ch};
    int changedInside = 0, changedOutside = 0;
    for (int y = 0; y < after.height; ++y)
        for (int x = 0; x < after.width; ++x) {
            if (after.At(x, y) == before.At(x, y)) continue;
            const bool inside = x >= cells.left && x < cells.right && y >= cells.top && y < cells.bottom;
            (inside ? changedInside : changedOutside)++;
        }
    EXPECT_GT(changedInside, 15 * 4) << "every character of the code leaves ink";
    // The caret may blink in or out of view between the two captures.
    EXPECT_LE(changedOutside, 2 * ch) << "nothing else on the screen changed";

    Tick();
    EXPECT_EQ(Part(5), "Line errors " + std::to_string(lineErrors));
    RedrawWindow(Bar(), nullptr, nullptr, RDW_UPDATENOW);  // the new texts on screen before the capture
    const std::string path = ArtifactPath("serial_status_port_error.bmp");
    EXPECT_TRUE(SaveWindowBitmap(MainWindow(), path)) << path;
    std::printf("screenshot: %s\n", path.c_str());
    SetWindowPos(MainWindow(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SendMessageA(MainWindow(), WM_COMMAND, IDM_VIEW_HISTORY, 0);
}

}  // namespace
