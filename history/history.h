// The event history in the main window: the ring the receiver fills, the
// report list that shows the events, its commands, and the log file.
// Win32 glue over the portable core in this folder.
#pragma once
#include <windows.h>

#include "history/event.h"

// The process's one ring between the receiver thread (producer) and the
// main window's thread (consumer).
extern HistoryRing historyRing;

// The history's own tick: drains the ring into the list and the log file.
// Five times a second is live enough to watch and keeps the window's cost
// low at full rate (a 256000-baud feed brings about 300 events a tick).
constexpr UINT_PTR HISTORY_TIMER = 16;
constexpr UINT HISTORY_PERIOD_MS = 200;
// The log file is flushed to disk at least this often while it grows.
constexpr DWORD HISTORY_LOG_FLUSH_MS = 500;

// Called on the window's thread for every event the history takes in, in
// order (the recorder writes them to a recording); nullptr for none.
typedef void (*HistoryListenerFn)(const HistoryEvent& event);
extern HistoryListenerFn historyListener;

// ---- Events met outside the frame parser (any thread) ------------------------
// On the window's own thread the ring is drained first and the event follows
// what is in it; on another thread (the receiver) it goes into the ring.
void HistoryNote(HWND window, HistoryEventKind kind, uint32_t code, const char* note);

// ---- The view ---------------------------------------------------------------------
// Creates the list (shown) and its info line in the main window; starts the tick.
HWND HistoryViewCreate(HWND window);
void HistoryViewLayout(HWND window);
// Drains the ring, adds link events, updates the list and writes the log.
void HistoryViewTick(HWND window);
// Last drain and log flush before the window goes.
void HistoryViewDestroy(HWND window);
// True while the history fills the client area.
bool HistoryViewShown(HWND window);
// True while the terminal screen fills it (View -> Terminal Screen, or no
// history view at all): the main window then paints the screen.
bool HistoryScreenShown(HWND window);
// Shows the history (View -> History), or hides it when another view (a
// later item of the View menu) takes the client area; that view then checks
// its own menu item.
void HistoryViewShow(HWND window, bool shown);
// A menu or accelerator command of the history; 1 when it was one.
int HistoryViewCommand(HWND window, int id);
// WM_NOTIFY from the list; 1 when handled (result in *result).
int HistoryViewNotify(HWND window, const NMHDR* header, LRESULT* result);

// ---- Log file ------------------------------------------------------------------------
// Appends every event from now on to `path` (UTF-8; created if missing, never
// truncated; the header line only into an empty file). 1 on success; 0 after
// a warning box naming the path and the reason. Also the --log entry of the
// command line.
int HistoryLogStart(HWND window, const char* path);
void HistoryLogStop(HWND window);
bool HistoryLogging();

// Seam for tests: the warning boxes of the history (text, caption, style).
typedef int (*HistoryMessageBoxFn)(HWND owner, const char* text, const char* caption, UINT style);
extern HistoryMessageBoxFn historyMessageBox;
