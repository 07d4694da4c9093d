// Shared between the history's Win32 files (view, log file); not for others.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "history/book.h"
#include "history/history.h"

// "Log to File...": the open file and the lines not yet written.
struct HistoryLog {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    std::string lines;         // lines not yet written
    DWORD lastFlushTick = 0;
    bool unflushed = false;
    HistoryLogDetailsFn details = nullptr;  // the "log-start" line's details
    void* detailsContext = nullptr;
    // The log's writer thread writes and flushes what the window hands it,
    // so a disk that stalls never holds the window. Under `lock`: `queued`,
    // `stopping` and `error` (the writer's failed write, 0 while none).
    HANDLE writer = nullptr;
    HANDLE wake = nullptr;  // auto-reset
    CRITICAL_SECTION lock;
    bool lockReady = false;
    std::string queued;
    bool stopping = false;
    DWORD error = 0;
};

// Everything the history keeps for one main window, held as the window's
// property HISTORY_PROPERTY from HistoryViewCreate to HistoryViewDestroy.
struct HistoryViewState {
    HistoryRing* ring = nullptr;                     // the receiver's events, drained on the tick
    const std::atomic<int32_t>* connected = nullptr;  // the link's flag, for the silence check
    HistoryListenerFn listener = nullptr;
    void* listenerContext = nullptr;
    HistoryBook book;
    bool historyShown = true;
    bool screenShown = false;      // the terminal screen fills the client area
    size_t shownRows = 0;          // rows the list was last told it has
    uint64_t shownFirstSeq = 0;    // the book's first sequence number then
    uint64_t shownRowsDropped = 0;  // the book's viewRowsDropped then
    bool following = true;
    DWORD listUpdateTick = 0;      // GetTickCount() of the last row-count update
    size_t rowsWhenLeft = 0;       // view rows when the operator scrolled away
    std::string findText;
    std::string infoShown;
    // The list asks for a row's texts one column at a time: the row is
    // formatted once. Sequence numbers are never reused, so a held row stays right.
    uint64_t cachedSeq = UINT64_MAX;
    HistoryRowText cachedRow;
    HistoryLog log;
    // A replay plays: its events reach the list but no log (HistoryLogPause).
    bool logPaused = false;
    // The tick's drain ran out of time with events left: it comes back every
    // HISTORY_CATCH_UP_MS until the ring is empty.
    bool catchingUp = false;
};

constexpr const char* HISTORY_PROPERTY = "Qorvex.History";
HistoryViewState* HistoryState(HWND window);

// Moves what the ring holds into the book (and so into the log lines).
void HistoryDrain(HWND window);
// Writes the log lines gathered so far; `final` also flushes to disk. A
// failure stops logging and shows why.
void HistoryLogWrite(HWND window, bool final);
// The Save dialog of "Save History As..." and "Log to File...": the chosen
// path, or "" when cancelled. `filterIndex` gets the chosen file type (1..).
std::string HistoryAskPath(HWND window, const char* title, const char* filter, const char* extension,
                           const char* initialName, DWORD flags, DWORD* filterIndex);
// A system error code as text, without the line end.
std::string HistoryErrorText(DWORD code);
