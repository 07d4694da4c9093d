// Recording and replay in the main window: the Recording menu, the writer
// thread that reads the capture stream into the recording, the 50 ms tick
// that plays the replay on and reports a failed write, and the status bar's
// recording part.
#include "recording/recording_app.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <memory>

#include "history/source.h"
#include "serial/status_core.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "resources/resource.h"
#include "tally/parser.h"
#include "tally/store.h"

namespace {

std::wstring Wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &out[0], n);
    out.resize(out.size() - 1);
    return out;
}

std::string Utf8(const wchar_t* wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// Texts name paths, which are UTF-8.
int DefaultMessageBox(HWND owner, const char* text, const char* caption, UINT style) {
    return MessageBoxW(owner, Wide(text).c_str(), Wide(caption).c_str(), style);
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
    CaptureRing* capture = nullptr;                   // what the receiver read, with its link events

    // ---- Recording ----
    // The writer thread reads the capture stream and writes the file, so a
    // slow disk never holds the window. `lock` makes it and the window's
    // Start and Stop take turns as the stream's one consumer.
    CRITICAL_SECTION lock;
    HANDLE writer = nullptr;
    HANDLE wake = nullptr;  // auto-reset: Start, Stop and the end wake the writer
    std::atomic<bool> writerRun{false};
    bool recordingOn = false;  // window thread: the menu's state
    CaptureRecording rec;      // under lock
    std::unique_ptr<uint8_t[]> scratch;  // an entry's bytes, CAPTURE_MAX_BYTES
    RecordingTapFn tap = nullptr;        // under lock
    void* tapContext = nullptr;
    std::string recordPath;
    uint64_t recordStartUs = 0;

    // ---- Replay ----
    std::unique_ptr<ReplayPlayer> player;
    std::unique_ptr<EventSource> replaySource;
    bool replayShown = false;  // a replay is open (running, paused or finished)
    size_t replayBudget = 0;
    bool jumping = false;  // Jump to End: records go to the store only
    uint64_t jumpSkipped = 0;  // link events a jump kept from the history
    // A replay is a session of its own, from its begin row to its end row.
    bool sessionOpen = false;
    uint64_t lastPlayedUs = 0;  // recorded time of the last record played
    ReplaySessionFn sessionListener = nullptr;
    void* sessionContext = nullptr;
    uint32_t epoch = 0;    // replay starts and jumps, for the status bar's rate

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

// The port's text as the connect record has it, or "" when not connected.
std::string ConnectedText(const RecordingViewState& v) {
    if (!Connected(v) || !v.settings) return std::string();
    const PortSettings& s = *v.settings;
    return StatusPortText(s.portNumber, static_cast<uint32_t>(s.baudRate), s.dataBits, s.parity, s.stopBits);
}

// Everything the stream holds: into the file while recording.
void Pump(RecordingViewState& v) {
    if (!v.capture || !v.capture->data) return;
    if (!v.scratch) v.scratch.reset(new uint8_t[CAPTURE_MAX_BYTES]);
    CaptureEntry entry;
    while (CapturePop(*v.capture, entry, v.scratch.get())) {
        CaptureRecordingTake(v.rec, entry);
        if (v.tap) v.tap(v.tapContext, entry);
    }
}

void Flush(RecordingViewState& v) {
    if (v.rec.unflushed) RecordingFlush(v.rec.writer);
    v.rec.unflushed = false;
}

struct Locked {
    explicit Locked(RecordingViewState& v) : v(v) { EnterCriticalSection(&v.lock); }
    ~Locked() { LeaveCriticalSection(&v.lock); }
    RecordingViewState& v;
};

// Drains the stream every 50 ms while recording (each read reaches the system
// within that), every 200 ms otherwise, so the ring never fills.
DWORD WINAPI WriterThread(LPVOID parameter) {
    RecordingViewState& v = *static_cast<RecordingViewState*>(parameter);
    while (v.writerRun.load()) {
        bool on;
        {
            Locked held(v);
            Pump(v);
            if (v.rec.on && !v.rec.writer.failed) Flush(v);
            on = v.rec.on;
        }
        WaitForSingleObject(v.wake, on ? RECORDING_PERIOD_MS : 200);
    }
    return 0;
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
    else ++v.jumpSkipped;
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
    v.lastPlayedUs = record.timeUs;
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
    case RECORD_MODEM: PushNote(v, EVENT_MODEM, Little32(record), record.timeUs, nullptr, 0); return;
    case RECORD_DROPPED: return;  // never reached the parser
    case RECORD_START:
    case RECORD_STOP:
    case RECORD_ALARM:
    case RECORD_LOST: return;  // marks in the file; the stream goes on after them
    default: break;
    }
    if (!RecordCarriesStream(record.kind)) return;
    EventSourceFeed(*v.replaySource, record.bytes, record.length, static_cast<int64_t>(record.timeUs / 1000));
    v.replayBudget = record.length < v.replayBudget ? v.replayBudget - record.length : 0;
}

// A replay's own row, at a recorded time, handed to the main window with the
// step it marks: the history is the main window's to write to.
void ReplayRow(HWND window, RecordingViewState& v, ReplaySessionStep step, uint8_t type, uint64_t timeUs,
               const std::string& name, uint32_t code) {
    (void)window;
    ReplaySessionNote note;
    std::memset(&note.row, 0, sizeof note.row);
    note.step = step;
    note.row.timeMs = static_cast<int64_t>(timeUs / 1000);
    note.row.kind = EVENT_REPLAY;
    note.row.type = type;
    note.row.code = code;
    std::snprintf(reinterpret_cast<char*>(note.row.bytes), HISTORY_EVENT_BYTES, "%s", name.c_str());
    note.path = v.player ? v.player->path : std::string();
    if (v.sessionListener) v.sessionListener(v.sessionContext, note);
}

// The displays show the recording's state alone: the store starts from its
// initial contents and zero counters; the main window starts the history's
// descriptions afresh and pauses the live log.
void SessionBegin(HWND window, RecordingViewState& v) {
    TallyStoreInit(tallyStore);
    v.lastPlayedUs = v.player->summary.firstUs;
    v.sessionOpen = true;
    ReplayRow(window, v, REPLAY_SESSION_BEGINS, HISTORY_REPLAY_BEGINS, v.player->summary.firstUs,
              FileName(v.player->path), 0);
}

// The end row follows the replay's last events; the live log resumes.
void SessionEnd(HWND window, RecordingViewState& v) {
    if (!v.sessionOpen) return;
    v.sessionOpen = false;
    ReplayRow(window, v, REPLAY_SESSION_ENDS, HISTORY_REPLAY_ENDS, v.lastPlayedUs,
              v.player ? FileName(v.player->path) : std::string(), 0);
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

// The chosen path as UTF-8 (the wide dialog: any name the system allows), or "".
std::string AskPath(HWND window, bool save) {
    wchar_t path[MAX_PATH] = L"";
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = window;
    ofn.lpstrFilter = L"Recordings (*.pcap)\0*.pcap\0All files (*.*)\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = L"pcap";
    if (save) {
        ofn.lpstrTitle = L"Record";
        ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
        return GetSaveFileNameW(&ofn) ? Utf8(path) : "";
    }
    ofn.lpstrTitle = L"Open Recording";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    return GetOpenFileNameW(&ofn) ? Utf8(path) : "";
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

void RecordingViewCreate(HWND window, HistoryRing* ring, CaptureRing* capture, const std::atomic<int32_t>* connected,
                         const PortSettings* settings) {
    RecordingViewState* v = State(window);
    if (!v) {
        v = new RecordingViewState;
        InitializeCriticalSection(&v->lock);
        SetPropA(window, RECORDING_PROPERTY, v);
    }
    v->ring = ring;
    v->connected = connected;
    v->settings = settings;
    v->capture = capture;
    if (!v->writer && capture) {
        v->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        v->writerRun.store(true);
        v->writer = CreateThread(nullptr, 0, WriterThread, v, 0, nullptr);
        if (!v->writer) v->writerRun.store(false);  // Start and Stop still drain the stream themselves
    }
    UpdateMenu(window, *v);
}

void RecordingSetReplayListener(HWND window, ReplaySessionFn listener, void* context) {
    if (RecordingViewState* v = State(window)) {
        v->sessionListener = listener;
        v->sessionContext = context;
    }
}

void RecordingViewDestroy(HWND window) {
    RecordingStop(window);  // what is queued reaches the file
    RecordingViewState* v = State(window);
    if (!v) return;
    if (v->player) ReplayClose(*v->player);
    if (v->writer) {
        v->writerRun.store(false);
        SetEvent(v->wake);
        WaitForSingleObject(v->writer, INFINITE);
        CloseHandle(v->writer);
    }
    if (v->wake) CloseHandle(v->wake);
    DeleteCriticalSection(&v->lock);
    delete static_cast<RecordingViewState*>(RemovePropA(window, RECORDING_PROPERTY));
}

void RecordingWriterHold(HWND window, bool held) {
    RecordingViewState* v = State(window);
    if (!v) return;
    // The window's thread holds the lock the writer takes; it may enter it
    // again itself, so its own calls go on.
    if (held) EnterCriticalSection(&v->lock);
    else LeaveCriticalSection(&v->lock);
}

void RecordingSetTap(HWND window, RecordingTapFn tap, void* context) {
    RecordingViewState* v = State(window);
    if (!v) return;
    Locked held(*v);
    v->tap = tap;
    v->tapContext = context;
}

void RecordingViewPump(HWND window) {
    RecordingViewState* v = State(window);
    if (!v) return;
    Locked held(*v);
    Pump(*v);
}

int RecordingStart(HWND window, const char* path) {
    RecordingViewState* state = State(window);
    if (!state) return 0;
    RecordingViewState& v = *state;
    if (v.recordingOn) RecordingStop(window);
    Locked held(v);
    // What the stream holds came before Start: it goes, and the connect
    // record of an open port follows it.
    Pump(v);
    FILE* file = RecordingOpenPath(path, "wb");
    if (!file) {
        Warn(window, "Cannot record to " + std::string(path) + ":\n" + std::strerror(errno));
        return 0;
    }
    v.recordPath = path;
    v.recordStartUs = RecordingNowUs();
    const std::string connected = ConnectedText(v);
    if (!CaptureRecordingBegin(v.rec, file, v.recordStartUs, connected.empty() ? nullptr : connected.c_str())) {
        RecordingClose(v.rec.writer);
        v.rec.on = false;
        Warn(window, "Cannot record to " + std::string(path) + ":\nwriting the file failed");
        return 0;
    }
    v.recordingOn = true;
    SetEvent(v.wake);
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
    bool ok;
    {
        Locked held(v);
        // What the receiver read before Stop belongs in the file.
        Pump(v);
        ok = !v.rec.writer.failed && CaptureRecordingEnd(v.rec, RecordingNowUs());
        if (v.rec.on) {  // failed before: close what there is
            v.rec.on = false;
            RecordingClose(v.rec.writer);
        }
    }
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
    SessionEnd(window, v);
    ReplayClear(v);
    v.player = std::move(next);
    if (!v.replaySource) v.replaySource.reset(new EventSource);
    EventSourceInit(*v.replaySource, &tallyStore, &*v.ring);
    v.replayShown = true;
    ++v.epoch;
    SessionBegin(window, v);
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

bool ReplayPaused(HWND window) {
    RecordingViewState* v = State(window);
    return ReplayRunning(window) && v->player->paused;
}

uint32_t ReplayEpoch(HWND window) {
    RecordingViewState* v = State(window);
    return v ? v->epoch : 0;
}

void RecordingBeforeConnect(HWND window) {
    RecordingViewState* state = State(window);
    if (!state) return;
    RecordingViewState& v = *state;
    if (!v.replayShown) return;
    SessionEnd(window, v);
    ReplayClear(v);
    UpdateMenu(window, v);
    KeepTicking(window, v);
}

void RecordingViewTick(HWND window) {
    RecordingViewState* state = State(window);
    if (!state) return;
    RecordingViewState& v = *state;
    if (v.recordingOn) {
        bool failed;
        {
            Locked held(v);
            failed = v.rec.writer.failed;
            if (failed) {
                v.rec.on = false;
                RecordingClose(v.rec.writer);
            }
        }
        if (failed) {
            v.recordingOn = false;
            Warn(window, "Writing the recording " + v.recordPath + " failed; recording stopped.");
        }
    }
    if (ReplayRunning(window)) {
        v.replayBudget = REPLAY_BYTES_PER_TICK;
        const uint64_t now = SteadyUs();
        while (v.replayBudget > 0 && ReplayAdvance(*v.player, now, 64, PlayRecord, &v) > 0) {
        }
        if (ReplayFinished(*v.player)) SessionEnd(window, v);
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
            v.jumpSkipped = 0;
            const uint64_t withheld = v.replaySource->withheld;
            ReplayJumpToEnd(*v.player, PlayRecord, &v);
            v.jumping = false;
            ++v.epoch;
            v.replaySource->ring = &*v.ring;
            const uint64_t skipped = v.jumpSkipped + (v.replaySource->withheld - withheld);
            ReplayRow(window, v, REPLAY_SESSION_ROW, HISTORY_REPLAY_JUMPED, v.lastPlayedUs, std::string(),
                      static_cast<uint32_t>(skipped < UINT32_MAX ? skipped : UINT32_MAX));
            SessionEnd(window, v);
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
        uint64_t written, lost;
        {
            Locked held(v);
            written = v.rec.writer.bytesWritten;
            lost = v.rec.lostBytes;
        }
        const uint64_t now = RecordingNowUs();
        text += "Recording " + FileName(v.recordPath) + " " +
                ReplayClockText(now > v.recordStartUs ? now - v.recordStartUs : 0, now - v.recordStartUs >= 3600000000ull) +
                " " + SizeText(written);
        if (lost) text += ", " + std::to_string(lost) + " bytes lost";
    }
    return text;
}
