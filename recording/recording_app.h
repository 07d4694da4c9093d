// Recordings in the application: "Record..." / "Stop Recording" write what
// the receiver put in the capture stream between Start and Stop, every read
// with its microsecond, through the recorder `tallydump --capture` uses (a
// writer thread writes the file), "Open Recording..." replays one with the
// port closed, at its recorded pace, through the event source where port
// bytes enter, so the store, displays and history move as they did live.
// Win32 glue over the portable core in this folder.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "config/session_config.h"
#include "history/event.h"
#include "recording/capture.h"

// The recording's own tick (50 ms): hands the file to the system, plays the
// replay on, and keeps the status bar's recording part.
constexpr UINT_PTR RECORDING_TIMER = 17;
constexpr UINT RECORDING_PERIOD_MS = 50;

// ---- Window side -------------------------------------------------------------------
// Creates the record held per main window: `ring` is where a replay's events
// go (the port is closed then, so the window's thread is its producer),
// `capture` the stream recordings are written from (its consumer is this
// view), `connected` and `settings` the link's, for the connect record.
void RecordingViewCreate(HWND window, HistoryRing* ring, CaptureRing* capture, const std::atomic<int32_t>* connected,
                         const PortSettings* settings);
// Closes the file (what is queued reaches it) and frees the record.
void RecordingViewDestroy(HWND window);
// Takes in what the capture stream holds: into the file while recording,
// gone otherwise. The writer thread does this on its own; the history's tick
// calls it too, so the stream is drained even without that thread.
void RecordingViewPump(HWND window);
void RecordingViewTick(HWND window);
// A command of the recording menu; 1 when it was one.
int RecordingViewCommand(HWND window, int id);
// Before Connect: a replay still shown is put away (the port and a replay
// never feed the store together; Connect waits for a running one to end).
void RecordingBeforeConnect(HWND window);
// Takes in what the stream still holds, writes the `stop` record and closes
// the file (Exit, and Stop Recording).
void RecordingStop(HWND window);

// Starts writing path (UTF-8; created or truncated) with what arrives from
// now on: what the stream holds is taken in first, outside the recording;
// the file opens with a `start` record. 1 on success; 0 after a warning box.
int RecordingStart(HWND window, const char* path);
// The path being recorded to ("" when not recording).
std::string RecordingPath(HWND window);
// Opens path and replays it from its start. 1 on success; 0 after a warning
// box naming the reason, with nothing changed.
int ReplayStart(HWND window, const char* path);
bool ReplayRunning(HWND window);
// Told when a replay's session begins, jumps and ends, with the row that
// marks it for the history: the main window pauses the live log, starts the
// history's descriptions afresh and zeroes the link's counters at the
// begin, and resumes the log after the end row.
enum ReplaySessionStep { REPLAY_SESSION_BEGINS, REPLAY_SESSION_ROW, REPLAY_SESSION_ENDS };
struct ReplaySessionNote {
    ReplaySessionStep step;
    HistoryEvent row;  // EVENT_REPLAY at the recorded time, the file's name in its bytes
    std::string path;  // the recording
};
typedef void (*ReplaySessionFn)(void* context, const ReplaySessionNote& note);
void RecordingSetReplayListener(HWND window, ReplaySessionFn listener, void* context);
bool ReplayPaused(HWND window);
// Counts replay starts and jumps: the status bar measures no rate across one.
uint32_t ReplayEpoch(HWND window);

// The text of the status bar's recording part ("" when neither recording nor replaying).
std::string RecordingStatusText(HWND window);

// Every entry the capture stream gives, also handed to `tap` (the kept
// recordings around alarms) on the thread that drains the stream, one at a
// time under the recording's lock; nullptr for none.
typedef void (*RecordingTapFn)(void* context, const CaptureEntry& entry);
void RecordingSetTap(HWND window, RecordingTapFn tap, void* context);

// Seam for tests: holds the writer thread as a stalled disk would (the
// window's own Start, Stop and RecordingViewPump still run), until released.
void RecordingWriterHold(HWND window, bool held);

// Seam for tests: the warning boxes (text, caption, style).
typedef int (*RecordingMessageBoxFn)(HWND owner, const char* text, const char* caption, UINT style);
extern RecordingMessageBoxFn recordingMessageBox;
