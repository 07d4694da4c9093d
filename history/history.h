// The event history in the main window: the report list that shows the
// events it drains from the receiver's ring, its commands, and the log file.
// Win32 glue over the portable core in this folder; its state is a record
// held per main window.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "history/book.h"
#include "history/event.h"

// The history's own tick: drains the ring into the list and the log file.
// Five times a second is live enough to watch and keeps the window's cost
// low at full rate (a 256000-baud feed brings about 300 events a tick).
constexpr UINT_PTR HISTORY_TIMER = 16;
constexpr UINT HISTORY_PERIOD_MS = 200;
// Each tick drains at most this much work (about 20 ms); a backlog is taken
// in slices every HISTORY_CATCH_UP_MS, the window answering in between.
constexpr int64_t HISTORY_DRAIN_BUDGET_US = 20000;
constexpr UINT HISTORY_CATCH_UP_MS = 10;
// The log file is flushed to disk at least this often while it grows.
constexpr DWORD HISTORY_LOG_FLUSH_MS = 500;

// Called on the window's thread for every event the history takes in, in
// order (the main window hands them on to the recorder and the terminal
// screen); nullptr for none.
typedef void (*HistoryListenerFn)(void* context, const HistoryEvent& event);
void HistorySetListener(HWND window, HistoryListenerFn listener, void* context);

// ---- Events met on the window's thread ------------------------------------------
// The ring is drained first and the event follows what is in it.
void HistoryTakeEvent(HWND window, const HistoryEvent& event);
void HistoryNote(HWND window, HistoryEventKind kind, uint32_t code, const char* note);
// An alarm row (EVENT_ALARM) with its details, as it is: into the book and
// the log lines, never to the listener. Safe inside the listener (it does
// not drain), so the row follows the event that raised it.
void HistoryAddAlarm(HWND window, const HistoryEvent& event, const std::string& details);
// A row met on the window's thread with its details, as it is (the hub
// check's EVENT_HUB rows: no received bytes to record): the ring is drained
// first and the row stamped after that, so that it follows what came before
// it; never to the listener. Not from inside the listener. Returns the time
// it was stamped with.
int64_t HistoryAddRow(HWND window, const HistoryEvent& event, const std::string& details);

// ---- The view ---------------------------------------------------------------------
// Creates the history's record, the list (shown) and its info line in the
// main window, and starts the tick. `ring` is where the receiver leaves its
// events; `connected` the link's flag, for the silence check.
HWND HistoryViewCreate(HWND window, HistoryRing* ring, const std::atomic<int32_t>* connected);
// Places the list and its info line in `area` (client pixels).
void HistoryViewLayout(HWND window, const RECT& area);
// Drains the ring, adds link events, updates the list and writes the log.
void HistoryViewTick(HWND window);
// True while the last tick left events in the ring (the clock is then ahead
// of what was taken in: no time-driven rule may compare with it).
bool HistoryCatchingUp(HWND window);
// Last drain and log flush before the window goes; frees the record.
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
// Shows the history filtered to one category (the status bar's Alarms part).
void HistoryViewShowOnly(HWND window, int category);
// A menu or accelerator command of the history; 1 when it was one.
int HistoryViewCommand(HWND window, int id);
// WM_NOTIFY from the list; 1 when handled (result in *result).
int HistoryViewNotify(HWND window, const NMHDR* header, LRESULT* result);
// Selects the row of event `seq` (under a filter, the nearest shown row at or
// before it) and scrolls it into sight, whether or not the list is shown;
// the list stops following the newest. The selected row, -1 when none.
long long HistoryViewSelectSeq(HWND window, uint64_t seq);

// ---- Log file ------------------------------------------------------------------------
// Appends every event from now on to `path` (UTF-8; created if missing, never
// truncated; the header line only into an empty file). 1 on success; 0 after
// a warning box naming the path and the reason. Also the --log entry of the
// command line.
// The log's first line after the header is "log-start" with the details
// HistorySetLogDetails gives; its last is "log-stop" with `why` ("Stop
// Logging", "exit", "write error").
int HistoryLogStart(HWND window, const char* path);
constexpr const char* HISTORY_STOP_BY_USER = "Stop Logging";
constexpr const char* HISTORY_STOP_AT_EXIT = "exit";
void HistoryLogStop(HWND window, const char* why = HISTORY_STOP_BY_USER);
bool HistoryLogging(HWND window);
// The open log's path as given ("" when not logging).
std::string HistoryLogPath(HWND window);
// What the "log-start" line says (program version, port, settings): the
// history knows none of them, so the main window hands over a function.
typedef std::string (*HistoryLogDetailsFn)(void* context);
void HistorySetLogDetails(HWND window, HistoryLogDetailsFn details, void* context);

// A replay begins (paused) or has ended: what came before goes to the log,
// then a "log-pause" line (details: why) and nothing until the "log-resume"
// line, so a replay's events never reach a live log. A log started while
// paused starts paused.
void HistoryLogPause(HWND window, bool paused, const std::string& why);

// Seam for tests: every write to a log file waits while stalled, as on a
// disk that does not answer.
void HistoryLogStallForTest(bool stalled);

// The window's book of events (for tests and the views that read it).
HistoryBook& HistoryTheBook(HWND window);

// Seam for tests: the warning boxes of the history (text, caption, style).
typedef int (*HistoryMessageBoxFn)(HWND owner, const char* text, const char* caption, UINT style);
extern HistoryMessageBoxFn historyMessageBox;
