// Recording and replay in the main window: the Recording menu, the 50 ms
// tick that writes queued records and plays the replay on, and the status
// bar's recording part.
#include "recording/recording_app.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstring>
#include <chrono>
#include <memory>

#include "history/source.h"
#include "serial/status_core.h"
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

// Received bytes a replay may feed per tick: the events they make (at most one
// per 5 bytes) must fit the history ring between two of its drains.
constexpr size_t REPLAY_BYTES_PER_TICK = 100000;

// Everything recording and replay keep for one main window, held as the
// window's property RECORDING_PROPERTY.
struct RecordingViewState {
    HistoryRing* ring = nullptr;                      // where a replay's events go
    const std::atomic<int32_t>* connected = nullptr;  // the link's flag
    const PortSettings* settings = nullptr;           // for the connect record

    // ---- Recording ----
    bool recordingOn = false;
    RecordingWriter writer;
    std::string recordPath;
    uint64_t recordStartUs = 0;
    bool unflushed = false;
    uint64_t lostEvents = 0;  // events the history ring could not take while recording

    // ---- Replay ----
    std::unique_ptr<ReplayPlayer> player;
    std::unique_ptr<EventSource> replaySource;
    bool replayShown = false;  // a replay is open (running, paused or finished)
    size_t replayBudget = 0;
    bool jumping = false;  // Jump to End: records go to the store only

    // What the Recording menu last showed: redrawing the menu bar on every
    // tick cost an idle program several percent of a core under Wine.
    HMENU drawnMenu = nullptr;
    int drawnKey = -1;
};

constexpr const char* RECORDING_PROPERTY = "Qorvex.Recording";

RecordingViewState* State(HWND window) {
    return window ? static_cast<RecordingViewState*>(GetPropA(window, RECORDING_PROPERTY)) : nullptr;
}

bool Connected(const RecordingViewState& v) { return v.connected && v.connected->load() != 0; }

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
void OnHistoryEvent(RecordingViewState& v, const HistoryEvent& event) {
    if (event.kind == EVENT_LOST) v.lostEvents += event.code;
    if (!v.recordingOn) return;
    if (RecordingWriteHistoryEvent(v.writer, event)) v.unflushed = true;
}

void WriteConnectedNow(RecordingViewState& v) {
    if (!Connected(v) || !v.settings) return;
    const PortSettings& s = *v.settings;
    const std::string text =
        StatusPortText(s.portNumber, static_cast<uint32_t>(s.baudRate), s.dataBits, s.parity, s.stopBits);
    RecordingWrite(v.writer, RecordingNowUs(), RECORD_CONNECT, 0, 0, reinterpret_cast<const uint8_t*>(text.data()),
                   text.size());
}

void Flush(RecordingViewState& v) {
    if (v.unflushed) RecordingFlush(v.writer);
    v.unflushed = false;
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
void PushNote(RecordingViewState& v, HistoryEventKind kind, uint32_t code, uint64_t timeUs, const uint8_t* text, size_t length) {
    HistoryEvent event;
    std::memset(&event, 0, sizeof event);
    event.timeMs = static_cast<int64_t>(timeUs / 1000);
    event.kind = kind;
    event.code = code;
    if (length) std::memcpy(event.bytes, text, length < HISTORY_EVENT_BYTES - 1 ? length : HISTORY_EVENT_BYTES - 1);
    if (!v.jumping) HistoryRingPush(*v.ring, event);
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
void PlayRecord(void* context, const RecordingRecord& record) {
    RecordingViewState& v = *static_cast<RecordingViewState*>(context);
    switch (record.kind) {
    case RECORD_CONNECT:
        EventSourceInit(*v.replaySource, &tallyStore, v.jumping ? nullptr : &*v.ring);
        PushNote(v, EVENT_CONNECT, 0, record.timeUs, record.bytes, record.length);
        return;
    case RECORD_DISCONNECT:
        EventSourceFinish(*v.replaySource, static_cast<int64_t>(record.timeUs / 1000));
        PushNote(v, EVENT_DISCONNECT, 0, record.timeUs, nullptr, 0);
        return;
    case RECORD_LINE_ERROR: PushNote(v, EVENT_LINE_ERROR, Little32(record), record.timeUs, nullptr, 0); return;
    case RECORD_PORT_ERROR: PushNote(v, EVENT_PORT_ERROR, Little32(record), record.timeUs, nullptr, 0); return;
    case RECORD_DROPPED: return;  // never reached the parser
    default: break;
    }
    if (!RecordCarriesStream(record.kind)) return;
    EventSourceFeed(*v.replaySource, record.bytes, record.length, static_cast<int64_t>(record.timeUs / 1000));
    v.replayBudget = record.length < v.replayBudget ? v.replayBudget - record.length : 0;
}

void ReplayClear(RecordingViewState& v) {
    if (v.player) ReplayClose(*v.player);
    v.player.reset();
    v.replayShown = false;
}

void UpdateMenu(HWND window, RecordingViewState& v) {
    HMENU menu = GetMenu(window);
    if (!menu) return;
    const bool running = v.replayShown && v.player && !ReplayFinished(*v.player);
    const int key = (v.recordingOn ? 1 : 0) | (running ? 2 : 0) | (v.player && v.player->paused ? 4 : 0) |
                    ((v.player ? v.player->speed : 1) << 3);
    if (menu == v.drawnMenu && key == v.drawnKey) return;
    v.drawnMenu = menu;
    v.drawnKey = key;
    const UINT on = MF_BYCOMMAND | MF_ENABLED, off = MF_BYCOMMAND | MF_GRAYED;
    EnableMenuItem(menu, IDM_RECORD_STOP, v.recordingOn ? on : off);
    EnableMenuItem(menu, IDM_REPLAY_PAUSE, running ? on : off);
    EnableMenuItem(menu, IDM_REPLAY_END, running ? on : off);
    ModifyMenuA(menu, IDM_REPLAY_PAUSE, MF_BYCOMMAND | MF_STRING | (running ? 0 : MF_GRAYED), IDM_REPLAY_PAUSE,
                v.player && v.player->paused ? "Res&ume" : "&Pause");
    const int speed = v.player ? v.player->speed : 1;
    CheckMenuRadioItem(menu, IDM_REPLAY_SPEED_1, IDM_REPLAY_SPEED_FAST,
                       speed == 10 ? IDM_REPLAY_SPEED_10 : speed == REPLAY_SPEED_FAST ? IDM_REPLAY_SPEED_FAST
                                                                              : IDM_REPLAY_SPEED_1,
                       MF_BYCOMMAND);
    DrawMenuBar(window);
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
void KeepTicking(HWND window, RecordingViewState& v) {
    if (v.recordingOn || ReplayRunning(window))
        SetTimer(window, RECORDING_TIMER, RECORDING_PERIOD_MS, nullptr);
    else
        KillTimer(window, RECORDING_TIMER);
}

void RecordingViewCreate(HWND window, HistoryRing* ring, const std::atomic<int32_t>* connected,
                         const PortSettings* settings) {
    RecordingViewState* v = State(window);
    if (!v) {
        v = new RecordingViewState;
        SetPropA(window, RECORDING_PROPERTY, v);
    }
    v->ring = ring;
    v->connected = connected;
    v->settings = settings;
    UpdateMenu(window, *v);
}

void RecordingViewDestroy(HWND window) {
    RecordingStop(window);  // what is queued reaches the file
    RecordingViewState* v = State(window);
    if (!v) return;
    if (v->player) ReplayClose(*v->player);
    delete static_cast<RecordingViewState*>(RemovePropA(window, RECORDING_PROPERTY));
}

void RecordingTakeEvent(HWND window, const HistoryEvent& event) {
    if (RecordingViewState* v = State(window)) OnHistoryEvent(*v, event);
}

int RecordingStart(HWND window, const char* path) {
    RecordingViewState* state = State(window);
    if (!state) return 0;
    RecordingViewState& v = *state;
    if (v.recordingOn) RecordingStop(window);
    std::string error;
    if (!RecordingCreate(v.writer, path, error)) {
        Warn(window, "Cannot record to " + std::string(path) + ":\n" + error);
        return 0;
    }
    v.recordPath = path;
    v.recordStartUs = RecordingNowUs();
    v.lostEvents = 0;
    // An open port is recorded as connected from now on (events still in the
    // history's ring, at most one tick old, follow).
    WriteConnectedNow(v);
    v.recordingOn = true;
    Flush(v);
    UpdateMenu(window, v);
    KeepTicking(window, v);
    return 1;
}

std::string RecordingPath(HWND window) {
    RecordingViewState* v = State(window);
    return v && v->recordingOn ? v->recordPath : std::string();
}

void RecordingStop(HWND window) {
    RecordingViewState* state = State(window);
    if (!state) return;
    RecordingViewState& v = *state;
    if (!v.recordingOn) return;
    v.recordingOn = false;
    const bool ok = RecordingClose(v.writer);
    UpdateMenu(window, v);
    KeepTicking(window, v);
    if (!ok) Warn(window, "Writing the recording " + v.recordPath + " failed.");
}

int ReplayStart(HWND window, const char* path) {
    RecordingViewState* state = State(window);
    if (!state) return 0;
    RecordingViewState& v = *state;
    if (Connected(v)) {
        Warn(window, "Disconnect first: a recording is replayed with the port closed.");
        return 0;
    }
    std::unique_ptr<ReplayPlayer> next(new ReplayPlayer);
    std::string error;
    if (!ReplayOpen(*next, path, SteadyUs(), error)) {
        Warn(window, "Cannot replay " + std::string(path) + ":\n" + error);
        return 0;
    }
    ReplayClear(v);
    v.player = std::move(next);
    if (!v.replaySource) v.replaySource.reset(new EventSource);
    EventSourceInit(*v.replaySource, &tallyStore, &*v.ring);
    v.replayShown = true;
    if (v.player->summary.truncated)
        Warn(window, "The recording " + std::string(path) +
                         " ends inside a record (cut short while it was written); it is replayed up to its last "
                         "whole record.");
    RecordingViewTick(window);
    return 1;
}

bool ReplayRunning(HWND window) {
    RecordingViewState* v = State(window);
    return v && v->replayShown && v->player && !ReplayFinished(*v->player);
}

void RecordingBeforeConnect(HWND window) {
    RecordingViewState* state = State(window);
    if (!state) return;
    RecordingViewState& v = *state;
    if (!v.replayShown) return;
    ReplayClear(v);
    UpdateMenu(window, v);
    KeepTicking(window, v);
}

void RecordingViewTick(HWND window) {
    RecordingViewState* state = State(window);
    if (!state) return;
    RecordingViewState& v = *state;
    if (v.recordingOn) {
        Flush(v);
        if (v.writer.failed) {
            v.recordingOn = false;
            RecordingClose(v.writer);
            Warn(window, "Writing the recording " + v.recordPath + " failed; recording stopped.");
        }
    }
    if (ReplayRunning(window)) {
        v.replayBudget = REPLAY_BYTES_PER_TICK;
        const uint64_t now = SteadyUs();
        while (v.replayBudget > 0 && ReplayAdvance(*v.player, now, 64, PlayRecord, &v) > 0) {
        }
    }
    UpdateMenu(window, v);
    KeepTicking(window, v);
}

int RecordingViewCommand(HWND window, int id) {
    RecordingViewState* state = State(window);
    if (!state) return 0;
    RecordingViewState& v = *state;
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
        if (Connected(v)) {
            Warn(window, "Disconnect first: a recording is replayed with the port closed.");
            return 1;
        }
        const std::string path = AskPath(window, false);
        if (!path.empty()) ReplayStart(window, path.c_str());
        return 1;
    }
    case IDM_REPLAY_PAUSE:
        if (ReplayRunning(window)) ReplaySetPaused(*v.player, !v.player->paused, SteadyUs());
        break;
    case IDM_REPLAY_SPEED_1:
    case IDM_REPLAY_SPEED_10:
    case IDM_REPLAY_SPEED_FAST:
        if (v.player)
            ReplaySetSpeed(*v.player, id == IDM_REPLAY_SPEED_1 ? 1 : id == IDM_REPLAY_SPEED_10 ? 10 : REPLAY_SPEED_FAST,
                           SteadyUs());
        break;
    case IDM_REPLAY_END:
        // The store and the displays reach the end at once; the history skips
        // what is jumped over (it could not take it all in one go).
        if (ReplayRunning(window)) {
            v.replaySource->ring = nullptr;
            v.jumping = true;
            ReplayJumpToEnd(*v.player, PlayRecord, &v);
            v.jumping = false;
            v.replaySource->ring = &*v.ring;
        }
        break;
    default:
        return 0;
    }
    UpdateMenu(window, v);
    KeepTicking(window, v);
    return 1;
}

std::string RecordingStatusText(HWND window) {
    RecordingViewState* state = State(window);
    if (!state) return std::string();
    RecordingViewState& v = *state;
    std::string text;
    if (v.replayShown && v.player) {
        text = ReplayStatusText(*v.player);
        if (v.player->paused && !ReplayFinished(*v.player)) text += ", paused";
    }
    if (v.recordingOn) {
        if (!text.empty()) text += "   ";
        const uint64_t now = RecordingNowUs();
        text += "Recording " + FileName(v.recordPath) + " " +
                ReplayClockText(now > v.recordStartUs ? now - v.recordStartUs : 0, now - v.recordStartUs >= 3600000000ull) +
                " " + SizeText(v.writer.bytesWritten);
        if (v.lostEvents) text += ", " + std::to_string(v.lostEvents) + " events lost";
    }
    return text;
}
