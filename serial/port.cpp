// Connection lifecycle and block I/O on the session's serial port.
#include "serial/port.h"

#include "app/session.h"
#include "serial/status_core.h"
#include "history/history.h"
#include "resources/resource.h"
#include "serial/port_watch.h"
#include "serial/settings.h"
#include "tally/receiver.h"

PortClearCommErrorFn portClearCommError = ClearCommError;
PortWriteWaitLimitFn portWriteWaitLimit = PortWriteWaitLimit;

namespace {

// "No open port": the record starts zero-filled, a failed open leaves
// INVALID_HANDLE_VALUE, and a close resets it to INVALID_HANDLE_VALUE.
bool PortIsOpen(const SessionState* session) {
    return session->portHandle != nullptr && session->portHandle != INVALID_HANDLE_VALUE;
}

void ClosePortHandle(SessionState* session) {
    if (PortIsOpen(session)) CloseHandle(session->portHandle);
    session->portHandle = INVALID_HANDLE_VALUE;
}

// The receiver clears receiverThread as its last act, so the handle PortOpen
// created is kept here as well; PortClose waits on it and closes it, so that
// connect/disconnect cycles leak neither handles nor threads. UI thread only.
struct OwnedThread {
    SessionState* session;
    HANDLE thread;
};
OwnedThread ownedThreads[4];

void RememberThread(SessionState* session, HANDLE thread) {
    for (OwnedThread& slot : ownedThreads) {
        if (slot.session == nullptr || slot.session == session) {
            slot.session = session;
            slot.thread = thread;
            return;
        }
    }
    // No free slot (more than four live sessions): PortClose falls back to
    // waiting on receiverThreadId alone.
}

HANDLE TakeThread(SessionState* session) {
    for (OwnedThread& slot : ownedThreads) {
        if (slot.session == session) {
            HANDLE thread = slot.thread;
            slot.session = nullptr;
            slot.thread = nullptr;
            return thread;
        }
    }
    return nullptr;
}

// Counts each UART error bit ClearCommError reported, so that a wrong baud
// rate or bad wiring shows up even though the bits themselves are not printed.
void CountLineErrors(HWND window, SessionState* session, DWORD errors) {
    static const DWORD bits[LINE_ERROR_KINDS] = {CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_RXOVER, CE_BREAK};
    DWORD met = 0;
    for (int i = 0; i < LINE_ERROR_KINDS; ++i)
        if (errors & bits[i]) {
            session->lineErrorCounts[i].fetch_add(1);
            met |= bits[i];
        }
    if (met) HistoryNote(window, EVENT_LINE_ERROR, met, nullptr);
}

// Bytes that reached the caller's buffer.
int CountReceived(SessionState* session, DWORD count) {
    if (count > 0) {
        session->bytesReceived.fetch_add(count);
        session->lastByteTick.store(GetTickCount());
    }
    return static_cast<int>(count);
}

void PrintCode(HWND window, DWORD code) {
    char text[32];
    const int length = wsprintfA(text, "<CE-0x%08x>", code);
    ScreenWrite(window, text, length);
    HistoryNote(window, EVENT_PORT_ERROR, code, nullptr);
}

// ClearCommError; prints the error bits when the operator asked for them.
// Returns the call's result.
BOOL ClearAndReport(HWND window, SessionState* session, bool countErrors) {
    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    const BOOL ok = portClearCommError(session->portHandle, &errors, &status);
    if (ok && countErrors) CountLineErrors(window, session, errors);
    if (ok && errors != 0 && session->displayErrors) PrintCode(window, errors);
    return ok;
}

void SetMenuConnected(HWND window, bool connected) {
    HMENU menu = GetMenu(window);
    if (!menu) return;
    EnableMenuItem(menu, IDM_DISCONNECT, MF_BYCOMMAND | (connected ? MF_ENABLED : MF_DISABLED | MF_GRAYED));
    EnableMenuItem(menu, IDM_CONNECT, MF_BYCOMMAND | (connected ? MF_DISABLED | MF_GRAYED : MF_ENABLED));
}

// Closes the port after a failed connect, leaving the session disconnected.
int FailOpen(SessionState* session, HCURSOR previousCursor) {
    session->connected.store(0);
    ClosePortHandle(session);
    SetCursor(previousCursor);
    return 0;
}

}  // namespace

int PortOpen(HWND window) {
    SessionState* session = SessionFromWindow(window);
    if (!session) return 0;
    // A second open would overwrite the live handle and orphan the running
    // receiver; refuse it and leave the connection as it is.
    if (session->connected.load() || PortIsOpen(session)) return 0;

    HCURSOR previousCursor = SetCursor(LoadCursor(nullptr, IDC_WAIT));

    // The device path, so that COM10 and above open too ("COM12" alone names
    // a file in the current folder).
    char prefix[10];
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    if (LoadStringA(instance, IDS_COM_PREFIX, prefix, sizeof prefix) <= 0) lstrcpyA(prefix, "COM");
    char name[32];
    wsprintfA(name, "\\\\.\\%s%d", prefix, session->portNumber);

    session->portHandle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (session->portHandle == INVALID_HANDLE_VALUE) {
        SetCursor(previousCursor);
        return 0;
    }

    SetCommMask(session->portHandle, EV_RXCHAR);
    SetupComm(session->portHandle, PORT_QUEUE_SIZE, PORT_QUEUE_SIZE);
    PurgeComm(session->portHandle, PORT_PURGE_ALL);
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_CONSTANT;
    timeouts.WriteTotalTimeoutMultiplier = session->baudRate ? WRITE_TIMEOUT_BASE / session->baudRate : 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(session->portHandle, &timeouts);

    const int applied = PortApplySettings(window);
    if (!applied) return FailOpen(session, previousCursor);

    // Link health counts describe the current connection only.
    for (auto& counter : session->lineErrorCounts) counter.store(0);
    session->bytesReceived.store(0);
    session->lastByteTick.store(0);

    session->connected.store(1);

    // Created suspended so that receiverThread and receiverThreadId are stored
    // before the thread can reach any exit path (which clears them).
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, ReceiverThreadProc, session, CREATE_SUSPENDED, &threadId);
    if (!thread) return FailOpen(session, previousCursor);
    session->receiverThread.store(thread);
    session->receiverThreadId.store(threadId);
    RememberThread(session, thread);
    // Before the receiver runs, so that the history has the connect first.
    const std::string port =
        StatusPortText(session->portNumber, session->baudRate, session->dataBits, session->parity, session->stopBits);
    HistoryNote(window, EVENT_CONNECT, 0, port.c_str());
    ResumeThread(thread);

    // Some drivers (and pseudo-terminals) cannot drive DTR; the line is a
    // courtesy to the sender, so a refusal does not fail the connect.
    EscapeCommFunction(session->portHandle, SETDTR);
    CaretShow(window);
    SetMenuConnected(window, true);
    SetCursor(previousCursor);
    return applied;
}

int PortClose(HWND window) {
    SessionState* session = SessionFromWindow(window);
    if (!session) return 0;

    const bool wasConnected = session->connected.load() != 0;
    session->connected.store(0);
    const bool open = PortIsOpen(session);
    // Releases the receiver's pending wait for events.
    if (open) SetCommMask(session->portHandle, 0);

    HANDLE thread = TakeThread(session);
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    } else {
        while (session->receiverThreadId.load() != 0) Sleep(5);
    }

    // After the receiver's last events. A lost port's disconnect is noted by
    // the port watch's hook instead, with the reason.
    if (wasConnected && !PortWatchLost()) HistoryNote(window, EVENT_DISCONNECT, 0, nullptr);
    CaretHide(window);
    if (open) {
        EscapeCommFunction(session->portHandle, CLRDTR);
        PurgeComm(session->portHandle, PORT_PURGE_ALL);
    }
    ClosePortHandle(session);
    SetMenuConnected(window, false);
    return 1;
}

int PortReadBlock(HWND window, void* buffer, int maximum) {
    SessionState* session = SessionFromWindow(window);
    if (!session || maximum <= 0) return 0;

    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    // Learns the queue state; error bits found here are cleared, not printed.
    if (portClearCommError(session->portHandle, &errors, &status)) CountLineErrors(window, session, errors);
    const DWORD count = status.cbInQue < static_cast<DWORD>(maximum) ? status.cbInQue : static_cast<DWORD>(maximum);
    if (count == 0) return 0;

    DWORD read = 0;
    if (ReadFile(session->portHandle, buffer, count, &read, &session->readOverlapped))
        return CountReceived(session, read);

    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        OutputDebugStringA("\n\rIO Pending");
        for (;;) {
            if (GetOverlappedResult(session->portHandle, &session->readOverlapped, &read, TRUE))
                return CountReceived(session, read);
            error = GetLastError();
            if (error != ERROR_IO_INCOMPLETE) break;
        }
        PrintCode(window, error);
        ClearAndReport(window, session, true);
        return CountReceived(session, read);
    }

    ClearAndReport(window, session, true);
    return 0;
}

int PortReadWaiting(HWND window, void* buffer, int maximum) {
    SessionState* session = SessionFromWindow(window);
    if (!session || maximum <= 0) return 0;
    const int queued = PortReadBlock(window, buffer, maximum);
    if (queued != 0) return queued;

    // Nothing queued. With the time-outs PortOpen sets (interval MAXDWORD,
    // total 1000 ms) a read of one byte ends with the first byte or after a
    // second, under Windows and Wine alike; a longer read would wait for all
    // its bytes under Wine, and Wine does not return on the first byte for
    // the MAXDWORD multiplier either. So the time-outs stay as they are.
    const DWORD start = GetTickCount();
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    DWORD read = 0;
    BOOL ok = ReadFile(session->portHandle, bytes, 1, &read, &session->readOverlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // Disconnect does not touch the read: cancel it here instead of
        // holding PortClose for the rest of the time-out.
        while (WaitForSingleObject(session->readOverlapped.hEvent, PORT_READ_WAIT_SLICE_MS) == WAIT_TIMEOUT) {
            if (!session->connected.load()) {
                CancelIo(session->portHandle);
                break;
            }
        }
        ok = GetOverlappedResult(session->portHandle, &session->readOverlapped, &read, TRUE);
    }
    if (!ok) {
        // A wait, like WaitCommEvent: its failure is not printed, but what the
        // line reports is counted (and shown with Display Errors on).
        const DWORD error = GetLastError();
        if (error != ERROR_TIMEOUT && error != ERROR_OPERATION_ABORTED) ClearAndReport(window, session, true);
    }
    if (read == 0) {
        // A port that fails every read at once must not make the caller spin.
        if (GetTickCount() - start < RECEIVER_POLL_MS) Sleep(RECEIVER_POLL_MS);
        return 0;
    }
    CountReceived(session, read);
    return 1 + PortReadBlock(window, bytes + 1, maximum - 1);
}

DWORD PortWriteWaitLimit(DWORD baudRate, int length) {
    const DWORD baud = baudRate ? baudRate : 110;
    const unsigned long long lineMs = static_cast<unsigned long long>(length > 0 ? length : 0) * 10 * 1000 / baud;
    const unsigned long long limit = PORT_WRITE_WAIT_MARGIN + 2 * lineMs;
    return limit < INFINITE ? static_cast<DWORD>(limit) : INFINITE - 1;
}

int PortWriteBlock(HWND window, const void* bytes, int length) {
    SessionState* session = SessionFromWindow(window);
    if (!session || length < 0) return 0;

    DWORD written = 0;
    if (WriteFile(session->portHandle, bytes, static_cast<DWORD>(length), &written, &session->writeOverlapped))
        return 1;

    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        ClearAndReport(window, session, false);
        return 0;
    }

    // At high baud rates the port has no write time-out, so a write held back
    // by hardware flow control (RTS/CTS or DTR/DSR with the other end never
    // ready) would wait for ever and freeze the window. Give it twice its line
    // time plus a margin, then cancel it: the completion below then reports
    // the abort on the screen and the short count on the debugger output.
    if (WaitForSingleObject(session->writeOverlapped.hEvent, portWriteWaitLimit(session->baudRate, length)) ==
        WAIT_TIMEOUT)
        CancelIo(session->portHandle);

    DWORD total = 0;
    for (;;) {
        written = 0;
        if (GetOverlappedResult(session->portHandle, &session->writeOverlapped, &written, TRUE)) break;
        error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            total += written;
            continue;
        }
        PrintCode(window, error);
        ClearAndReport(window, session, false);
        break;
    }
    total += written;

    char text[80];
    if (total == static_cast<DWORD>(length))
        wsprintfA(text, "\n%ld bytes written", static_cast<long>(total));
    else
        wsprintfA(text, "\nProbable Write Timeout: Total of %ld bytes sent", static_cast<long>(total));
    OutputDebugStringA(text);
    return 1;
}
