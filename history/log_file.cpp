// "Log to File...": every event appended to a file as one tab-separated line,
// handed to the log's writer thread on each history tick, which writes it and
// flushes to disk at least every 500 ms.
#include <windows.h>

#include <string>

#include "history/history.h"
#include "history/history_internal.h"
#include "history/log_format.h"
#include "resources/resource.h"

namespace {

std::wstring Wide(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 1u, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &out[0], n);
    return out;
}

// Texts are UTF-8 (paths from the command line may hold any character).
int SystemMessageBox(HWND owner, const char* text, const char* caption, UINT style) {
    return MessageBoxW(owner, Wide(text).c_str(), Wide(caption).c_str(), style);
}

void SetMenuLogging(HWND window, bool logging) {
    HMENU menu = GetMenu(window);
    if (!menu) return;
    CheckMenuItem(menu, IDM_HISTORY_LOG_START, MF_BYCOMMAND | (logging ? MF_CHECKED : MF_UNCHECKED));
    EnableMenuItem(menu, IDM_HISTORY_LOG_STOP, MF_BYCOMMAND | (logging ? MF_ENABLED : MF_GRAYED));
}

// The log's own start and stop lines go to the file at once: a crash right
// after them still leaves them there.
bool WriteMark(HANDLE file, const char* event, const std::string& details, DWORD* error);

HANDLE stall = nullptr;  // the test seam's manual-reset event: set while writes may go

DWORD WINAPI LogWriter(LPVOID parameter);

void StartWriter(HistoryLog& log) {
    if (!log.lockReady) {
        InitializeCriticalSection(&log.lock);
        log.lockReady = true;
    }
    log.queued.clear();
    log.stopping = false;
    log.error = 0;
    log.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    log.writer = log.wake ? CreateThread(nullptr, 0, LogWriter, &log, 0, nullptr) : nullptr;
}

// Everything handed over is written (or the write failed) when this returns.
// The writer's error, 0 when none.
DWORD StopWriter(HistoryLog& log) {
    if (!log.writer) return 0;
    EnterCriticalSection(&log.lock);
    log.stopping = true;
    LeaveCriticalSection(&log.lock);
    SetEvent(log.wake);
    WaitForSingleObject(log.writer, INFINITE);
    CloseHandle(log.writer);
    CloseHandle(log.wake);
    log.writer = log.wake = nullptr;
    return log.error;
}

void Close(HWND window) {
    SetMenuLogging(window, false);
    HistoryViewState* v = HistoryState(window);
    if (!v) return;
    HistoryLog& log = v->log;
    StopWriter(log);
    if (log.file != INVALID_HANDLE_VALUE) CloseHandle(log.file);
    log.file = INVALID_HANDLE_VALUE;
    log.path.clear();
    log.lines.clear();
    log.unflushed = false;
    v->book.logLines = nullptr;
}

// Stops logging first, so that the ticks that run while the box is up find
// nothing to write, then says why.
void Fail(HWND window, const std::string& path, const char* what, DWORD code, bool markStop = false) {
    if (markStop) {
        HistoryViewState* v = HistoryState(window);
        DWORD ignored = 0;
        // Likely to fail as the write before it did; tried once all the same.
        if (v && v->log.file != INVALID_HANDLE_VALUE) WriteMark(v->log.file, HISTORY_LOG_STOP, "write error", &ignored);
    }
    Close(window);
    const std::string text = std::string(what) + " \"" + path + "\":\n" + HistoryErrorText(code) +
                             "\n\nNothing is being logged.";
    historyMessageBox(window, text.c_str(), "Qorvex V-1.0", MB_ICONWARNING | MB_OK);
}

bool WriteAll(HANDLE logFile, const std::string& bytes, DWORD* error) {
    if (stall) WaitForSingleObject(stall, INFINITE);
    size_t at = 0;
    while (at < bytes.size()) {
        DWORD written = 0;
        const DWORD n = static_cast<DWORD>(bytes.size() - at < 1u << 20 ? bytes.size() - at : 1u << 20);
        if (!WriteFile(logFile, bytes.data() + at, n, &written, nullptr) || written == 0) {
            *error = GetLastError();
            if (*error == ERROR_SUCCESS) *error = ERROR_DISK_FULL;
            return false;
        }
        at += written;
    }
    return true;
}

bool WriteMark(HANDLE file, const char* event, const std::string& details, DWORD* error) {
    std::string line;
    HistoryAppendLogMark(HistoryNowMs(), event, details, line);
    return WriteAll(file, line, error);
}

// Takes what the window handed over, writes it, flushes every
// HISTORY_LOG_FLUSH_MS and at the end; stops at the first failed write
// (the window says so on its next tick).
DWORD WINAPI LogWriter(LPVOID parameter) {
    HistoryLog& log = *static_cast<HistoryLog*>(parameter);
    std::string batch;
    DWORD lastFlush = GetTickCount();
    bool unflushed = false;
    for (;;) {
        WaitForSingleObject(log.wake, HISTORY_LOG_FLUSH_MS);
        EnterCriticalSection(&log.lock);
        batch.swap(log.queued);
        const bool stop = log.stopping;
        LeaveCriticalSection(&log.lock);
        if (!batch.empty()) {
            DWORD error = 0;
            if (!WriteAll(log.file, batch, &error)) {
                EnterCriticalSection(&log.lock);
                log.error = error;
                LeaveCriticalSection(&log.lock);
                return 0;
            }
            batch.clear();
            unflushed = true;
        }
        const DWORD now = GetTickCount();
        if (unflushed && (stop || now - lastFlush >= HISTORY_LOG_FLUSH_MS)) {
            FlushFileBuffers(log.file);
            unflushed = false;
            lastFlush = now;
        }
        if (stop) return 0;
    }
}

}  // namespace

void HistoryLogStallForTest(bool stalled) {
    if (!stall) stall = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (stalled) ResetEvent(stall);
    else SetEvent(stall);
}

HistoryMessageBoxFn historyMessageBox = SystemMessageBox;

int HistoryLogStart(HWND window, const char* path) {
    HistoryViewState* v = HistoryState(window);
    if (!path || !*path || !v) return 0;
    HistoryLog& log = v->log;
    HistoryLogStop(window, "another log started");
    HistoryDrain(window);  // what came before belongs to no log
    HANDLE file = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Fail(window, path, "The log file cannot be opened", GetLastError());
        return 0;
    }
    log.file = file;
    log.path = path;
    LARGE_INTEGER size;
    size.QuadPart = 0;
    GetFileSizeEx(file, &size);
    DWORD error = 0;
    if (size.QuadPart == 0 && !WriteAll(file, HISTORY_LOG_HEADER, &error)) {
        Fail(window, path, "The log file cannot be written", error);
        return 0;
    }
    const std::string details = log.details ? log.details(log.detailsContext) : std::string();
    if (!WriteMark(file, HISTORY_LOG_START, details, &error)) {
        Fail(window, path, "The log file cannot be written", error);
        return 0;
    }
    if (v->logPaused && !WriteMark(file, HISTORY_LOG_PAUSE, "a replay plays", &error)) {
        Fail(window, path, "The log file cannot be written", error);
        return 0;
    }
    v->book.logLines = v->logPaused ? nullptr : &log.lines;
    log.lastFlushTick = GetTickCount();
    StartWriter(log);
    SetMenuLogging(window, true);
    return 1;
}

void HistoryLogPause(HWND window, bool paused, const std::string& why) {
    HistoryViewState* v = HistoryState(window);
    if (!v || v->logPaused == paused) return;
    // Before a pause the ring holds live events (they are logged); before a
    // resume, the replay's last ones (they are not).
    HistoryDrain(window);
    v->logPaused = paused;
    if (!HistoryLogging(window)) return;
    HistoryLog& log = v->log;
    HistoryAppendLogMark(HistoryNowMs(), paused ? HISTORY_LOG_PAUSE : HISTORY_LOG_RESUME, why, log.lines);
    v->book.logLines = paused ? nullptr : &log.lines;
    HistoryLogWrite(window, true);
}

void HistoryLogStop(HWND window, const char* why) {
    if (!HistoryLogging(window)) {
        SetMenuLogging(window, false);
        return;
    }
    HistoryDrain(window);
    HistoryLogWrite(window, false);
    if (!HistoryLogging(window)) return;  // the write failed and said so
    HistoryLog& log = HistoryState(window)->log;
    DWORD error = StopWriter(log);
    if (error) {
        const std::string path = log.path;
        Fail(window, path, "Logging stopped: the log file cannot be written", error, true);
        return;
    }
    if (!WriteMark(log.file, HISTORY_LOG_STOP, why ? why : "", &error)) {
        const std::string path = log.path;
        Fail(window, path, "Logging stopped: the log file cannot be written", error);
        return;
    }
    FlushFileBuffers(log.file);
    Close(window);
}

std::string HistoryLogPath(HWND window) {
    HistoryViewState* v = HistoryState(window);
    return v && v->log.file != INVALID_HANDLE_VALUE ? v->log.path : std::string();
}

void HistorySetLogDetails(HWND window, HistoryLogDetailsFn details, void* context) {
    if (HistoryViewState* v = HistoryState(window)) {
        v->log.details = details;
        v->log.detailsContext = context;
    }
}

bool HistoryLogging(HWND window) {
    HistoryViewState* v = HistoryState(window);
    return v && v->log.file != INVALID_HANDLE_VALUE;
}

void HistoryLogWrite(HWND window, bool final) {
    if (!HistoryLogging(window)) return;
    HistoryLog& log = HistoryState(window)->log;
    if (!log.writer) {  // no thread could be made: written here, as before
        DWORD error = 0;
        if (!log.lines.empty() && !WriteAll(log.file, log.lines, &error)) {
            const std::string path = log.path;  // Fail closes the log, and the path with it
            Fail(window, path, "Logging stopped: the log file cannot be written", error, true);
            return;
        }
        log.lines.clear();
        if (final) FlushFileBuffers(log.file);
        return;
    }
    const bool handed = !log.lines.empty();
    EnterCriticalSection(&log.lock);
    const DWORD error = log.error;
    if (!error) {
        if (log.queued.empty()) log.queued.swap(log.lines);
        else log.queued += log.lines;
    }
    LeaveCriticalSection(&log.lock);
    log.lines.clear();
    if (error) {
        StopWriter(log);
        const std::string path = log.path;  // Fail closes the log, and the path with it
        Fail(window, path, "Logging stopped: the log file cannot be written", error, true);
        return;
    }
    if (final || handed) SetEvent(log.wake);
}
