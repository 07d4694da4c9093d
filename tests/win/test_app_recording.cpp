// Recording in the main window, in-process under Wine: what a recording holds
// against what the receiver read around Start and Stop, the capture ring's
// loss marked in the file and the status bar, a path outside the ANSI code
// page, and Connect during a replay (over the null modem: COM1 opens). The
// test thread stands in for the receiver: it is the capture ring's producer,
// as the receiver is.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/session.h"
#include "app_test_util.h"
#include "history/event.h"
#include "history/history.h"
#include "history/source.h"
#include "recording/capture.h"
#include "recording/recording.h"
#include "recording/recording_app.h"
#include "resources/resource.h"
#include "tally/store.h"
#include "win_artifacts.h"

namespace {

std::string Utf8(const std::wstring& wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::wstring TempPath(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

// A read of low bytes (one stray record) whose first four spell its number,
// so the file shows which reads it holds.
bool PushRead(CaptureRing& ring, uint32_t n, size_t length = 4) {
    std::vector<uint8_t> bytes(length, 0);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>((n >> (7 * i)) & 0x7F);
    return CapturePush(ring, RecordingNowUs(), CAPTURE_BYTES, 0, bytes.data(), bytes.size());
}

struct Read {
    uint8_t kind;
    uint32_t value;  // the number of a numbered run, the count of a gap
};

std::vector<Read> ReadBack(const std::wstring& path) {
    std::vector<Read> out;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) return out;
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    if (RecordingBegin(*reader, file)) {
        RecordingRecord r;
        while (RecordingNext(*reader, r) == RECORDING_RECORD) {
            uint32_t value = 0;
            if (r.kind == RECORD_STRAY && r.length >= 4)
                for (int i = 0; i < 4; ++i) value |= uint32_t(r.bytes[i]) << (7 * i);
            else if (r.length == 4)
                value = uint32_t(r.bytes[0]) | uint32_t(r.bytes[1]) << 8 | uint32_t(r.bytes[2]) << 16 |
                        uint32_t(r.bytes[3]) << 24;
            out.push_back({r.kind, value});
        }
    }
    std::fclose(file);
    return out;
}

// Book rows from `from` on.
std::vector<HistoryEntry> RowsFrom(HWND window, uint64_t from) {
    const HistoryBook& book = HistoryTheBook(window);
    std::vector<HistoryEntry> rows;
    for (uint64_t seq = from < book.firstSeq ? book.firstSeq : from; seq < book.endSeq; ++seq)
        rows.push_back(HistoryBookEntry(book, seq));
    return rows;
}

class RecordingWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = OpenMainWindowForTest(SW_HIDE);
        ASSERT_TRUE(IsWindow(window));
        ring = MainWindowFrom(window)->capture;
        ASSERT_NE(ring, nullptr);
        recordingMessageBox = [](HWND, const char* text, const char*, UINT) {
            ADD_FAILURE() << "warning box: " << text;
            return IDOK;
        };
        path = TempPath(L"qorvex_recording_test.pcap");
        DeleteFileW(path.c_str());
    }
    void TearDown() override {
        if (IsWindow(window)) DestroyWindow(window);
        DrainQuitMessages();
        DeleteFileW(path.c_str());
    }
    bool Start() { return RecordingStart(window, Utf8(path).c_str()) == 1; }
    HWND window = nullptr;
    CaptureRing* ring = nullptr;
    std::wstring path;
};

// Stop while the receiver keeps reading: every read made before Stop is in
// the file, in order, none missing at its end, and the file ends with `stop`.
TEST_F(RecordingWindowTest, StopKeepsEverythingHandedOnBeforeItWhileDataArrives) {
    ASSERT_TRUE(Start());
    std::atomic<uint32_t> pushed{0};
    std::atomic<bool> run{true};
    std::thread receiver([&] {
        for (uint32_t n = 0; run.load() && n < 20000; ++n) {
            ASSERT_TRUE(PushRead(*ring, n));
            pushed.store(n + 1);
            if (n % 16 == 0) Sleep(1);
        }
    });
    while (pushed.load() < 200) Sleep(1);
    const uint32_t beforeStop = pushed.load();
    RecordingStop(window);
    run.store(false);
    receiver.join();
    const std::vector<Read> records = ReadBack(path);
    ASSERT_GE(records.size(), beforeStop + 2);
    EXPECT_EQ(records.front().kind, RECORD_START);
    EXPECT_EQ(records.back().kind, RECORD_STOP);
    for (size_t i = 1; i + 1 < records.size(); ++i) {
        ASSERT_EQ(records[i].kind, RECORD_STRAY) << i;
        ASSERT_EQ(records[i].value, i - 1) << "a gap or a reordering at record " << i;
    }
}

// Reads still in the stream at Start were made before it: none of them is
// recorded.
TEST_F(RecordingWindowTest, StartRecordsNothingFromBeforeIt) {
    for (uint32_t n = 0; n < 3; ++n) ASSERT_TRUE(PushRead(*ring, n));
    ASSERT_TRUE(Start());
    RecordingViewTick(window);
    for (uint32_t n = 3; n < 5; ++n) ASSERT_TRUE(PushRead(*ring, n));
    RecordingViewTick(window);
    RecordingStop(window);
    const std::vector<Read> records = ReadBack(path);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].kind, RECORD_START);
    EXPECT_EQ(records[1].value, 3u);
    EXPECT_EQ(records[2].value, 4u);
    EXPECT_EQ(records[3].kind, RECORD_STOP);
}

// A full ring refuses reads: the file marks the gap with the bytes lost
// after what was kept, and the status bar's recording part says so.
TEST_F(RecordingWindowTest, RingOverflowIsAMarkedGapInTheFileAndTheStatus) {
    ASSERT_TRUE(Start());
    RecordingWriterHold(window, true);  // a disk that stalls
    uint32_t kept = 0;
    while (PushRead(*ring, kept, 6000)) ++kept;  // the first refused read counts too
    for (int i = 0; i < 2; ++i) EXPECT_FALSE(PushRead(*ring, kept + 1 + i, 6000));
    ASSERT_GT(kept, 1000u);
    RecordingViewPump(window);
    ASSERT_TRUE(PushRead(*ring, kept + 10));
    RecordingViewPump(window);
    RecordingWriterHold(window, false);
    EXPECT_NE(RecordingStatusText(window).find(", 18000 bytes lost"), std::string::npos)
        << RecordingStatusText(window);
    RecordingStop(window);
    const std::vector<Read> records = ReadBack(path);
    ASSERT_EQ(records.size(), kept + 4u);
    EXPECT_EQ(records[kept].value, kept - 1);
    EXPECT_EQ(records[kept + 1].kind, RECORD_LOST);
    EXPECT_EQ(records[kept + 1].value, 18000u);
    EXPECT_EQ(records[kept + 2].value, kept + 10);
    EXPECT_EQ(records[kept + 3].kind, RECORD_STOP);
    // The history (and so the log) has the gap as a row of its own, and the
    // watch's gap alarm after it.
    const uint64_t from = HistoryTheBook(window).endSeq;
    SendMessageA(window, WM_TIMER, HISTORY_TIMER, 0);
    const std::vector<HistoryEntry> rows = RowsFrom(window, from);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].event.kind, EVENT_GAP);
    EXPECT_EQ(rows[0].event.code, 18000u);
    EXPECT_EQ(rows[1].event.kind, EVENT_ALARM);
}

uint64_t StoredMessages() {
    TallyCounterValues c;
    TallyReadCounters(tallyStore, c);
    return TallyMessageCount(c);
}

std::string ReadText(const std::wstring& path) {
    std::string text;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) return text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
    return text;
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// A replay after a live session is a session of its own: the live log holds
// the live events and a pause around the replay, none of the replay's; the
// store and the link's counters start from zero; the history frames the
// replay with rows of its own and its rows carry the recorded times; Jump to
// End says how many events it skipped.
TEST_F(RecordingWindowTest, AReplayAfterALiveSessionIsASessionOfItsOwn) {
    SessionState* session = SessionFromWindow(window);
    ASSERT_NE(session, nullptr);
    const std::wstring log = TempPath(L"qorvex_replay_session.tsv");
    DeleteFileW(log.c_str());
    ASSERT_EQ(HistoryLogStart(window, Utf8(log).c_str()), 1);

    // The live session: three messages through the receiver's path.
    std::unique_ptr<EventSource> live(new EventSource);
    EventSourceInit(*live, &tallyStore, MainWindowFrom(window)->ring);
    for (uint8_t i = 0; i < 3; ++i) {
        const uint8_t message[] = {0xA1, 0xA1, i, i, i};
        EventSourceFeed(*live, message, sizeof message, RecordingNowUs() / 1000);
    }
    session->link.bytesReceived.store(15);
    HistoryViewTick(window);
    ASSERT_GE(StoredMessages(), 3u);

    // The recording: two messages stamped a second and two after Start, so
    // that their rows cannot carry the time they were replayed at.
    ASSERT_TRUE(Start());
    const uint64_t t0 = RecordingNowUs();
    const uint64_t stamps[] = {t0 + 1000000, t0 + 2000000};
    for (uint8_t i = 0; i < 2; ++i) {
        const uint8_t message[] = {0xA1, 0xA1, uint8_t(9 - i), 1, 1};
        ASSERT_TRUE(CapturePush(*ring, stamps[i], CAPTURE_BYTES, 0, message, sizeof message));
    }
    RecordingStop(window);

    const uint64_t before = HistoryTheBook(window).endSeq;
    ASSERT_EQ(ReplayStart(window, Utf8(path).c_str()), 1);
    RecordingViewCommand(window, IDM_REPLAY_SPEED_FAST);
    for (int i = 0; i < 100 && ReplayRunning(window); ++i) RecordingViewTick(window);
    ASSERT_FALSE(ReplayRunning(window));
    HistoryViewTick(window);
    EXPECT_EQ(StoredMessages(), 2u) << "the live session's counts stacked under the replay's";
    EXPECT_EQ(session->link.bytesReceived.load(), 0u);

    const std::vector<HistoryEntry> rows = RowsFrom(window, before);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].event.kind, EVENT_REPLAY);
    EXPECT_EQ(rows[0].event.type, HISTORY_REPLAY_BEGINS);
    // The start marker's recorded time, taken just before t0.
    EXPECT_LE(rows[0].event.timeMs, static_cast<int64_t>(t0 / 1000));
    EXPECT_GT(rows[0].event.timeMs, static_cast<int64_t>(t0 / 1000) - 5000);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(rows[1 + i].event.kind, EVENT_MESSAGE);
        EXPECT_EQ(rows[1 + i].event.timeMs, static_cast<int64_t>(stamps[i] / 1000));
    }
    EXPECT_EQ(rows[3].event.kind, EVENT_REPLAY);
    EXPECT_EQ(rows[3].event.type, HISTORY_REPLAY_ENDS);
    const std::string beginText = HistoryBookDetails(HistoryTheBook(window), before);
    EXPECT_NE(beginText.find("qorvex_recording_test.pcap, recorded from "), std::string::npos) << beginText;

    // Jump to End at once: the two messages skipped, and said so.
    const uint64_t jumpFrom = HistoryTheBook(window).endSeq;
    ASSERT_EQ(ReplayStart(window, Utf8(path).c_str()), 1);
    RecordingViewCommand(window, IDM_REPLAY_END);
    HistoryViewTick(window);
    const std::vector<HistoryEntry> jumped = RowsFrom(window, jumpFrom);
    ASSERT_EQ(jumped.size(), 3u);
    EXPECT_EQ(jumped[1].event.type, HISTORY_REPLAY_JUMPED);
    EXPECT_EQ(jumped[1].event.code, rows.size() - 2) << "events a whole replay showed";
    EXPECT_EQ(jumped[2].event.type, HISTORY_REPLAY_ENDS);
    EXPECT_EQ(StoredMessages(), 2u);

    HistoryLogStop(window);
    const std::string text = ReadText(log);
    DeleteFileW(log.c_str());
    EXPECT_EQ(Count(text, "\tmessage\t"), 3u) << text;
    EXPECT_EQ(Count(text, "\treplay\t"), 0u) << text;
    EXPECT_EQ(Count(text, "\tlog-pause\t"), 2u) << text;
    EXPECT_EQ(Count(text, "\tlog-resume\t"), 2u) << text;
    const size_t pause = text.find("\tlog-pause\t");
    ASSERT_NE(pause, std::string::npos);
    EXPECT_LT(text.rfind("\tmessage\t"), pause) << "a line logged during the replay";
}

std::string StatusPart(HWND window, int part) {
    char text[256] = "";
    SendMessageA(GetDlgItem(window, IDC_STATUS_BAR), SB_GETTEXTA, part, reinterpret_cast<LPARAM>(text));
    return text;
}

bool MenuEnabled(HWND window, UINT id) {
    const UINT state = GetMenuState(GetMenu(window), id, MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && (state & (MF_GRAYED | MF_DISABLED)) == 0;
}

void PumpFor(DWORD ms) {
    const DWORD start = GetTickCount();
    do {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        Sleep(5);
    } while (GetTickCount() - start < ms);
}

// Connect while a recording replays waits for the replay's end instead of
// ending it (the two would feed one ring): the replay goes on, the status bar
// says so, Disconnect cancels the wait, and Jump to End opens the port. Runs
// over the null modem, so COM1 opens.
TEST_F(RecordingWindowTest, ConnectDuringAReplayWaitsForItsEnd) {
    ASSERT_NE(std::getenv("QORVEX_PORTS_DIR"), nullptr) << "run under serial_nullmodem.sh (COM1 must open)";
    SessionState* session = SessionFromWindow(window);
    session->settings.portNumber = 1;
    ASSERT_TRUE(Start());
    const uint64_t t0 = RecordingNowUs();
    for (uint8_t i = 0; i < 2; ++i) {
        const uint8_t message[] = {0xA1, 0xA1, i, 1, 1};
        ASSERT_TRUE(CapturePush(*ring, t0 + 30000000ull * i, CAPTURE_BYTES, 0, message, sizeof message));
    }
    RecordingStop(window);

    for (int cancel = 1; cancel >= 0; --cancel) {
        ASSERT_EQ(ReplayStart(window, Utf8(path).c_str()), 1);
        SendMessageA(window, WM_COMMAND, IDM_CONNECT, 0);
        PumpFor(100);
        EXPECT_TRUE(ReplayRunning(window)) << "Connect ended the replay";
        EXPECT_EQ(session->link.connected.load(), 0);
        EXPECT_EQ(StatusPart(window, 1), "Replaying, Connect waits");
        EXPECT_TRUE(MenuEnabled(window, IDM_DISCONNECT)) << "nothing cancels the wait";
        if (!cancel) {  // as the user sees it
            ShowWindow(window, SW_SHOWNOACTIVATE);
            UpdateWindow(window);
            PumpFor(200);
            SaveWindowBitmap(window, ArtifactPath("app_connect_waits.bmp"));
        }
        if (cancel) SendMessageA(window, WM_COMMAND, IDM_DISCONNECT, 0);
        SendMessageA(window, WM_COMMAND, IDM_REPLAY_END, 0);
        ASSERT_FALSE(ReplayRunning(window));
        PumpFor(300);
        EXPECT_EQ(session->link.connected.load(), cancel ? 0 : 1) << (cancel ? "cancelled" : "waiting");
        EXPECT_EQ(MenuEnabled(window, IDM_CONNECT), cancel == 1);
    }
    SendMessageA(window, WM_COMMAND, IDM_DISCONNECT, 0);
}

// The path is UTF-8 (the command line's --record, the Record... dialog): the
// file made is the one of that name, not its bytes read in the ANSI code page.
TEST_F(RecordingWindowTest, ANonAsciiPathRecordsToThatFile) {
    path = TempPath(L"qorvex_\u00e9t\u00e9_\u0416_\u2713.pcap");
    DeleteFileW(path.c_str());
    ASSERT_TRUE(Start());
    ASSERT_TRUE(PushRead(*ring, 7));
    RecordingStop(window);
    ASSERT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    const std::vector<Read> records = ReadBack(path);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].value, 7u);
}

}  // namespace
