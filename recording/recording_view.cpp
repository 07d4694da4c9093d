// Recording and replay in the main window: the Recording menu, the 50 ms
// tick that writes queued records and plays the replay on, and the status
// bar's recording part.
#include "recording/recording_app.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstring>
#include <chrono>
#include <memory>

#include "app/app.h"
#include "app/session.h"
#include "app/startup.h"
#include "serial/status_core.h"
#include "history/history.h"
#include "history/source.h"
#include "recording/history_records.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "resources/resource.h"
#include "tally/parser.h"
#include "tally/store.h"

namespace {

int DefaultMessageBox(HWND owner, const char* text, const char* caption, UINT style) {
    return MessageBoxA(owner, text, caption, style);
}

}  // namespace

RecordingMessageBoxFn recordingMessageBox = DefaultMessageBox;

namespace {

// ---- Recording -------------------------------------------------------------------
bool recordingOn = false;
RecordingWriter writer;
std::string recordPath;
uint64_t recordStartUs = 0;
bool unflushed = false;
uint64_t lostEvents = 0;   // events the history ring could not take while recording

// ---- Replay ------------------------------------------------------------------------
std::unique_ptr<ReplayPlayer> player;
std::unique_ptr<EventSource> replaySource;
bool replayShown = false;  // a replay is open (running, paused or finished)

// Received bytes a replay may feed per tick: the events they make (at most one
// per 5 bytes) must fit the history ring between two of its drains.
constexpr size_t REPLAY_BYTES_PER_TICK = 100000;
size_t replayBudget = 0;
bool jumping = false;  // Jump to End: records go to the store only

const char CAPTION[] = "Qorvex V-1.0";

void Warn(HWND window, const std::string& text) {
    recordingMessageBox(window, text.c_str(), CAPTION, MB_ICONWARNING | MB_OK);
}

uint64_t SteadyUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Every event the history takes in, in order, on the window's thread.
void OnHistoryEvent(const HistoryEvent& event) {
    if (event.kind == EVENT_LOST) lostEvents += event.code;
    if (!recordingOn) return;
    if (RecordingWriteHistoryEvent(writer, event)) unflushed = true;
}

void WriteConnectedNow(HWND window) {
    SessionState* s = SessionFromWindow(window);
    if (!s || !s->connected.load()) return;
    const std::string text = StatusPortText(s->portNumber, s->baudRate, s->dataBits, s->parity, s->stopBits);
    RecordingWrite(writer, RecordingNowUs(), RECORD_CONNECT, 0, 0, reinterpret_cast<const uint8_t*>(text.data()),
                   text.size());
}

void Flush() {
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
// The port is closed, so the window's thread takes the receiver's place as the
// history ring's producer.
void PushNote(HistoryEventKind kind, uint32_t code, uint64_t timeUs, const uint8_t* text, size_t length) {
    HistoryEvent event;
    std::memset(&event, 0, sizeof event);
    event.timeMs = static_cast<int64_t>(timeUs / 1000);
    event.kind = kind;
    event.code = code;
    if (length) std::memcpy(event.bytes, text, length < HISTORY_EVENT_BYTES - 1 ? length : HISTORY_EVENT_BYTES - 1);
    if (!jumping) HistoryRingPush(historyRing, event);
}

uint32_t Little32(const RecordingRecord& r) {
    return r.length < 4 ? 0
                        : uint32_t(r.bytes[0]) | uint32_t(r.bytes[1]) << 8 | uint32_t(r.bytes[2]) << 16 |
                              uint32_t(r.bytes[3]) << 24;
}

// A played record does what it did live: a connect starts a new event source
// (the receiver starts one per connection); received bytes enter where port
// bytes enter, so the store, the counters and the history move as they did,
// stamped with the recorded time.
void PlayRecord(void*, const RecordingRecord& record) {
    switch (record.kind) {
    case RECORD_CONNECT:
        EventSourceInit(*replaySource, &tallyStore, jumping ? nullptr : &historyRing);
        PushNote(EVENT_CONNECT, 0, record.timeUs, record.bytes, record.length);
        return;
    case RECORD_DISCONNECT:
        EventSourceFinish(*replaySource, static_cast<int64_t>(record.timeUs / 1000));
        PushNote(EVENT_DISCONNECT, 0, record.timeUs, nullptr, 0);
        return;
    case RECORD_LINE_ERROR: PushNote(EVENT_LINE_ERROR, Little32(record), record.timeUs, nullptr, 0); return;
    case RECORD_PORT_ERROR: PushNote(EVENT_PORT_ERROR, Little32(record), record.timeUs, nullptr, 0); return;
    case RECORD_DROPPED: return;  // never reached the parser
    default: break;
    }
    if (!RecordCarriesStream(record.kind)) return;
    EventSourceFeed(*replaySource, record.bytes, record.length, static_cast<int64_t>(record.timeUs / 1000));
    replayBudget = record.length < replayBudget ? replayBudget - record.length : 0;
}

void ReplayClear() {
    if (player) ReplayClose(*player);
    player.reset();
    replayShown = false;
}

// What the Recording menu last showed: redrawing the menu bar on every tick
// cost an idle program several percent of a core under Wine.
HMENU drawnMenu = nullptr;
int drawnKey = -1;

void UpdateMenu(HWND window) {
    HMENU menu = GetMenu(window);
    if (!menu) return;
    const bool running = replayShown && player && !ReplayFinished(*player);
    const int key = (recordingOn ? 1 : 0) | (running ? 2 : 0) | (player && player->paused ? 4 : 0) |
                    ((player ? player->speed : 1) << 3);
    if (menu == drawnMenu && key == drawnKey) return;
    drawnMenu = menu;
    drawnKey = key;
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

// The tick paces a replay and writes a recording; with neither running it has
// nothing to do, and an idle program should not wake 20 times a second.
void KeepTicking(HWND window) {
    if (recordingOn || ReplayRunning())
        SetTimer(window, RECORDING_TIMER, RECORDING_PERIOD_MS, nullptr);
    else
        KillTimer(window, RECORDING_TIMER);
}

void RecordingViewCreate(HWND window) {
    historyListener = OnHistoryEvent;
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
    lostEvents = 0;
    // An open port is recorded as connected from now on (events still in the
    // history's ring, at most one tick old, follow).
    WriteConnectedNow(window);
    recordingOn = true;
    Flush();
    UpdateMenu(window);
    ShowStatus(window);
    KeepTicking(window);
    return 1;
}

void RecordingStop(HWND window) {
    if (!recordingOn) return;
    recordingOn = false;
    const bool ok = RecordingClose(writer);
    UpdateMenu(window);
    ShowStatus(window);
    KeepTicking(window);
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
    if (!replaySource) replaySource.reset(new EventSource);
    EventSourceInit(*replaySource, &tallyStore, &historyRing);
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
    KeepTicking(window);
}

void RecordingViewTick(HWND window) {
    if (recordingOn) {
        Flush();
        if (writer.failed) {
            recordingOn = false;
            RecordingClose(writer);
            Warn(window, "Writing the recording " + recordPath + " failed; recording stopped.");
        }
    }
    if (ReplayRunning()) {
        replayBudget = REPLAY_BYTES_PER_TICK;
        const uint64_t now = SteadyUs();
        while (replayBudget > 0 && ReplayAdvance(*player, now, 64, PlayRecord, nullptr) > 0) {
        }
    }
    UpdateMenu(window);
    ShowStatus(window);
    KeepTicking(window);
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
        // The store and the displays reach the end at once; the history skips
        // what is jumped over (it could not take it all in one go).
        if (ReplayRunning()) {
            replaySource->ring = nullptr;
            jumping = true;
            ReplayJumpToEnd(*player, PlayRecord, nullptr);
            jumping = false;
            replaySource->ring = &historyRing;
        }
        break;
    default:
        return 0;
    }
    UpdateMenu(window);
    ShowStatus(window);
    KeepTicking(window);
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
        if (lostEvents) text += ", " + std::to_string(lostEvents) + " events lost";
    }
    return text;
}
