// Recordings in the application: "Record..." / "Stop Recording" write what
// the port receives to a recording (the receiver only queues records; the
// window's thread writes them), "Open Recording..." replays one with the port
// closed, at its recorded pace, through the same frame parser and store as
// live bytes. Win32 glue over the portable core in this folder.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "recording/record_ring.h"

// The ring between the receiver thread (producer) and the window's thread.
extern RecordRing recordRing;

// The recording's own tick (50 ms): drains the ring into the file, plays the
// replay on, and keeps the status bar's recording part.
constexpr UINT_PTR RECORDING_TIMER = 17;
constexpr UINT RECORDING_PERIOD_MS = 50;

// ---- Receiver side (any thread, no file I/O) -----------------------------------
// True while a recording is being written: the receiver then traces its parser.
bool RecordingActive();
// A record sink that queues into recordRing (for the receiver's Recorder).
void RecordingQueueRecord(void* context, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type,
                          const uint8_t* bytes, size_t length);

// ---- Window side -------------------------------------------------------------------
// Starts the tick; call once the main window exists.
void RecordingViewCreate(HWND window);
void RecordingViewTick(HWND window);
// A command of the recording menu; 1 when it was one.
int RecordingViewCommand(HWND window, int id);
// Before Connect: a replay in progress is stopped (the port and a replay never feed the store together).
void RecordingBeforeConnect(HWND window);
// Writes what is queued and closes the file (Exit, and Stop Recording).
void RecordingStop(HWND window);

// Starts writing path (created or truncated). 1 on success; 0 after a warning box.
int RecordingStart(HWND window, const char* path);
// Opens path and replays it from its start. 1 on success; 0 after a warning
// box naming the reason, with nothing changed.
int ReplayStart(HWND window, const char* path);
bool ReplayRunning();

// The text of the status bar's recording part ("" when neither recording nor replaying).
std::string RecordingStatusText();

// Seam for tests: the warning boxes (text, caption, style).
typedef int (*RecordingMessageBoxFn)(HWND owner, const char* text, const char* caption, UINT style);
extern RecordingMessageBoxFn recordingMessageBox;
