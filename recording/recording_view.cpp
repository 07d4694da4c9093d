// Recording and replay in the main window: the Recording menu, the 50 ms
// tick that writes queued records and plays the replay on, and the status
// bar's recording part.
#include "recording/recording_app.h"

#include <commctrl.h>
#include <commdlg.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "app/app.h"
#include "app/session.h"
#include "app/startup.h"
#include "app/status_core.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "resources/resource.h"
#include "tally/parser.h"
#include "tally/store.h"

RecordRing recordRing;

namespace {

int DefaultMessageBox(HWND owner, const char* text, const char* caption, UINT style) {
    return MessageBoxA(owner, text, caption, style);
}

}  // namespace

RecordingMessageBoxFn recordingMessageBox = DefaultMessageBox;

namespace {

// ---- Recording -------------------------------------------------------------------
std::atomic<bool> recordingOn{false};
RecordingWriter writer;
std::string recordPath;
uint64_t recordStartUs = 0;
bool linkWasUp = false;    // connected at the last tick: connect and disconnect become records
bool unflushed = false;
uint64_t lostSeen = 0;

// ---- Replay ------------------------------------------------------------------------
std::unique_ptr<ReplayPlayer> player;
std::unique_ptr<FrameParser> replayParser;
bool replayShown = false;  // a replay is open (running, paused or finished)

// Records a fast replay plays per tick: about 1.5 MB of feed, so the window
// stays responsive.
constexpr size_t FAST_RECORDS_PER_TICK = 60000;

const char CAPTION[] = "Qorvex V-1.0";

void Warn(HWND window, const std::string& text) {
    recordingMessageBox(window, text.c_str(), CAPTION, MB_ICONWARNING | MB_OK);
}

uint64_t SteadyUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void WriteQueued(void*, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type, const uint8_t* bytes,
                 size_t length) {
    RecordingWrite(writer, timeUs, kind, flags, type, bytes, length);
    unflushed = true;
}

void WriteLinkRecord(HWND window, bool up) {
    SessionState* s = SessionFromWindow(window);
    std::string text;
    if (up && s) text = StatusPortText(s->portNumber, s->baudRate, s->dataBits, s->parity, s->stopBits);
    WriteQueued(nullptr, RecordingNowUs(), up ? RECORD_CONNECT : RECORD_DISCONNECT, 0, 0,
                reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Connect first, then what the receiver queued; on a disconnect the receiver
// has ended (its last record, an incomplete message, is queued) before the
// disconnect record.
void DrainIntoFile(HWND window) {
    SessionState* s = SessionFromWindow(window);
    const bool up = s && s->connected.load() != 0;
    if (up && !linkWasUp) WriteLinkRecord(window, true);
    RecordRingDrain(recordRing, WriteQueued, nullptr);
    if (!up && linkWasUp) WriteLinkRecord(window, false);
    linkWasUp = up;
    if (unflushed) RecordingFlush(writer);
    unflushed = false;
}

std::string FileName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string SizeText(uint64_t bytes) {
    char text[32];
    if (bytes < 1024 * 1024) std::snprintf(text, sizeof text, "%.1f KB", bytes / 1024.0);
    else std::snprintf(text, sizeof text, "%.1f MB", bytes / (1024.0 * 1024.0));
    return text;
}

// ---- Replay ------------------------------------------------------------------------
// A played record does what the same bytes did live: a connect starts a new
// parser (the application starts one per connection), received bytes go to
// the parser and so to the store.
void PlayRecord(void*, const RecordingRecord& record) {
    if (record.kind == RECORD_CONNECT) {
        FrameParserInit(*replayParser, &tallyStore);
        return;
    }
    if (!RecordCarriesStream(record.kind) || record.kind == RECORD_DROPPED) return;
    for (size_t at = 0; at < record.length; at += READ_BUFFER_SIZE) {
        const size_t n = record.length - at < size_t(READ_BUFFER_SIZE) ? record.length - at : READ_BUFFER_SIZE;
        FrameParserFeed(*replayParser, record.bytes + at, n);
    }
}

void ReplayClear() {
    if (player) ReplayClose(*player);
    player.reset();
    replayShown = false;
}

void UpdateMenu(HWND window) {
    HMENU menu = GetMenu(window);
    if (!menu) return;
    const bool running = replayShown && player && !ReplayFinished(*player);
    const UINT on = MF_BYCOMMAND | MF_ENABLED, off = MF_BYCOMMAND | MF_GRAYED;
    EnableMenuItem(menu, IDM_RECORD_STOP, recordingOn ? on : off);
    EnableMenuItem(menu, IDM_REPLAY_PAUSE, running ? on : off);
    EnableMenuItem(menu, IDM_REPLAY_END, running ? on : off);
    ModifyMenuA(menu, IDM_REPLAY_PAUSE, MF_BYCOMMAND | MF_STRING | (running ? 0 : MF_GRAYED), IDM_REPLAY_PAUSE,
                player && player->paused ? "Resume" : "Pause");
    const int speed = player ? player->speed : 1;
    CheckMenuRadioItem(menu, IDM_REPLAY_SPEED_1, IDM_REPLAY_SPEED_FAST,
                       speed == 10 ? IDM_REPLAY_SPEED_10 : speed == REPLAY_SPEED_FAST ? IDM_REPLAY_SPEED_FAST
                                                                              : IDM_REPLAY_SPEED_1,
                       MF_BYCOMMAND);
    DrawMenuBar(window);
}

// The status bar gets a seventh part while there is something to say.
void ShowStatus(HWND window) {
    HWND bar = GetDlgItem(window, IDC_STATUS_BAR);
    if (!bar) return;
    const std::string text = RecordingStatusText();
    int edges[STATUS_PARTS + 1];
    const int parts = static_cast<int>(SendMessageA(bar, SB_GETPARTS, STATUS_PARTS + 1, reinterpret_cast<LPARAM>(edges)));
    if (!text.empty() && parts == STATUS_PARTS) {
        edges[STATUS_PARTS - 1] = edges[STATUS_PARTS - 2] + 110;  // "Line errors" keeps its room, the rest is ours
        edges[STATUS_PARTS] = -1;
        SendMessageA(bar, SB_SETPARTS, STATUS_PARTS + 1, reinterpret_cast<LPARAM>(edges));
    } else if (text.empty() && parts == STATUS_PARTS + 1) {
        edges[STATUS_PARTS - 1] = -1;
        SendMessageA(bar, SB_SETPARTS, STATUS_PARTS, reinterpret_cast<LPARAM>(edges));
        return;
    }
    if (!text.empty()) SendMessageA(bar, SB_SETTEXTA, STATUS_PARTS, reinterpret_cast<LPARAM>(text.c_str()));
}

std::string AskPath(HWND window, bool save) {
    char path[MAX_PATH] = "";
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = window;
    ofn.lpstrFilter = "Recordings (*.pcap)\0*.pcap\0All files (*.*)\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = sizeof path;
    ofn.lpstrDefExt = "pcap";
    if (save) {
        ofn.lpstrTitle = "Record";
        ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
        return GetSaveFileNameA(&ofn) ? path : "";
    }
    ofn.lpstrTitle = "Open Recording";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    return GetOpenFileNameA(&ofn) ? path : "";
}

}  // namespace

bool RecordingActive() { return recordingOn.load(std::memory_order_relaxed); }

void RecordingQueueRecord(void*, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type, const uint8_t* bytes,
                          size_t length) {
    RecordRingPush(recordRing, timeUs, kind, flags, type, bytes, length);
}

void RecordingViewCreate(HWND window) {
    SetTimer(window, RECORDING_TIMER, RECORDING_PERIOD_MS, nullptr);
    // --record FILE and --open FILE arrive here once the window is up.
    commandLineFileHandlers.record = [](HWND w, const std::string& path) { return RecordingStart(w, path.c_str()); };
    commandLineFileHandlers.open = [](HWND w, const std::string& path) { return ReplayStart(w, path.c_str()); };
    UpdateMenu(window);
}

int RecordingStart(HWND window, const char* path) {
    if (recordingOn) RecordingStop(window);
    std::string error;
    if (!RecordingCreate(writer, path, error)) {
        Warn(window, "Cannot record to " + std::string(path) + ":\n" + error);
        return 0;
    }
    recordPath = path;
    recordStartUs = RecordingNowUs();
    lostSeen = recordRing.lost.load();
    // Records from an earlier recording still queued are not this one's.
    RecordRingDrain(recordRing, [](void*, uint64_t, uint8_t, uint8_t, uint8_t, const uint8_t*, size_t) {}, nullptr);
    linkWasUp = false;  // an open port is recorded as connected from now
    recordingOn = true;
    DrainIntoFile(window);
    UpdateMenu(window);
    ShowStatus(window);
    return 1;
}

void RecordingStop(HWND window) {
    if (!recordingOn) return;
    recordingOn = false;
    DrainIntoFile(window);
    const bool ok = RecordingClose(writer);
    UpdateMenu(window);
    ShowStatus(window);
    if (!ok) Warn(window, "Writing the recording " + recordPath + " failed.");
}

int ReplayStart(HWND window, const char* path) {
    SessionState* s = SessionFromWindow(window);
    if (s && s->connected.load()) {
        Warn(window, "Disconnect first: a recording is replayed with the port closed.");
        return 0;
    }
    std::unique_ptr<ReplayPlayer> next(new ReplayPlayer);
    std::string error;
    if (!ReplayOpen(*next, path, SteadyUs(), error)) {
        Warn(window, "Cannot replay " + std::string(path) + ":\n" + error);
        return 0;
    }
    ReplayClear();
    player = std::move(next);
    if (!replayParser) replayParser.reset(new FrameParser);
    FrameParserInit(*replayParser, &tallyStore);
    replayShown = true;
    if (player->summary.truncated)
        Warn(window, "The recording " + std::string(path) +
                         " ends inside a record (cut short while it was written); it is replayed up to its last "
                         "whole record.");
    RecordingViewTick(window);
    return 1;
}

bool ReplayRunning() { return replayShown && player && !ReplayFinished(*player); }

void RecordingBeforeConnect(HWND window) {
    if (!replayShown) return;
    ReplayClear();
    UpdateMenu(window);
    ShowStatus(window);
}

void RecordingViewTick(HWND window) {
    if (recordingOn) {
        DrainIntoFile(window);
        if (writer.failed) {
            recordingOn = false;
            RecordingClose(writer);
            Warn(window, "Writing the recording " + recordPath + " failed; recording stopped.");
        }
    }
    if (ReplayRunning()) {
        const bool fast = player->speed == REPLAY_SPEED_FAST;
        ReplayAdvance(*player, SteadyUs(), fast ? FAST_RECORDS_PER_TICK : size_t(-1), PlayRecord, nullptr);
    }
    UpdateMenu(window);
    ShowStatus(window);
}

int RecordingViewCommand(HWND window, int id) {
    switch (id) {
    case IDM_RECORD_START: {
        const std::string path = AskPath(window, true);
        if (!path.empty()) RecordingStart(window, path.c_str());
        return 1;
    }
    case IDM_RECORD_STOP:
        RecordingStop(window);
        return 1;
    case IDM_REPLAY_OPEN: {
        SessionState* s = SessionFromWindow(window);
        if (s && s->connected.load()) {
            Warn(window, "Disconnect first: a recording is replayed with the port closed.");
            return 1;
        }
        const std::string path = AskPath(window, false);
        if (!path.empty()) ReplayStart(window, path.c_str());
        return 1;
    }
    case IDM_REPLAY_PAUSE:
        if (ReplayRunning()) ReplaySetPaused(*player, !player->paused, SteadyUs());
        break;
    case IDM_REPLAY_SPEED_1:
    case IDM_REPLAY_SPEED_10:
    case IDM_REPLAY_SPEED_FAST:
        if (player)
            ReplaySetSpeed(*player, id == IDM_REPLAY_SPEED_1 ? 1 : id == IDM_REPLAY_SPEED_10 ? 10 : REPLAY_SPEED_FAST,
                           SteadyUs());
        break;
    case IDM_REPLAY_END:
        if (ReplayRunning()) ReplayJumpToEnd(*player, PlayRecord, nullptr);
        break;
    default:
        return 0;
    }
    UpdateMenu(window);
    ShowStatus(window);
    return 1;
}

std::string RecordingStatusText() {
    std::string text;
    if (replayShown && player) {
        text = ReplayStatusText(*player);
        if (player->paused && !ReplayFinished(*player)) text += ", paused";
    }
    if (recordingOn) {
        if (!text.empty()) text += "   ";
        const uint64_t now = RecordingNowUs();
        text += "Recording " + FileName(recordPath) + " " +
                ReplayClockText(now > recordStartUs ? now - recordStartUs : 0, now - recordStartUs >= 3600000000ull) +
                " " + SizeText(writer.bytesWritten);
        const uint64_t lost = recordRing.lost.load() - lostSeen;
        if (lost) text += ", " + std::to_string(lost) + " records lost";
    }
    return text;
}
