// Connection lifecycle and block I/O on the link's serial port.
#include "serial/port.h"

#include <cstdio>
#include <cstring>

#include "history/log_format.h"
#include "resources/resource.h"
#include "serial/status_core.h"
#include "tally/receiver.h"

PortSeams portSeams = {ClearCommError, SetCommState, PortWriteWaitLimit};

namespace {

// "No open port": the record starts zero-filled, a failed open leaves
// INVALID_HANDLE_VALUE, and a close resets it to INVALID_HANDLE_VALUE.
bool PortIsOpen(const LinkState& link) {
    return link.portHandle != nullptr && link.portHandle != INVALID_HANDLE_VALUE;
}

void ClosePortHandle(LinkState& link) {
    if (PortIsOpen(link)) CloseHandle(link.portHandle);
    link.portHandle = INVALID_HANDLE_VALUE;
}

// Counts each UART error bit ClearCommError reported, so that a wrong baud
// rate or bad wiring shows up even though the bits themselves are not printed.
void CountLineErrors(LinkState& link, DWORD errors) {
    static const DWORD bits[LINE_ERROR_KINDS] = {CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_RXOVER, CE_BREAK};
    DWORD met = 0;
    for (int i = 0; i < LINE_ERROR_KINDS; ++i)
        if (errors & bits[i]) {
            link.lineErrorCounts[i].fetch_add(1);
            met |= bits[i];
        }
    if (met) LinkNote(link, EVENT_LINE_ERROR, met, nullptr);
}

// Bytes that reached the caller's buffer.
int CountReceived(LinkState& link, DWORD count) {
    if (count > 0) {
        link.bytesReceived.fetch_add(count);
        link.lastByteTick.store(GetTickCount());
    }
    return static_cast<int>(count);
}

// A port error for the terminal screen ("<CE-0x...>") and the history: the
// event carries HISTORY_FLAG_SCREEN, and the window prints it when it takes
// the event in.
void PrintCode(LinkState& link, DWORD code) { LinkNote(link, EVENT_PORT_ERROR, code, nullptr); }

// ClearCommError; prints the error bits when the operator asked for them.
// Returns the call's result.
BOOL ClearAndReport(LinkState& link, bool countErrors) {
    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    const BOOL ok = portSeams.clearCommError(link.portHandle, &errors, &status);
    if (ok && countErrors) CountLineErrors(link, errors);
    if (ok && errors != 0 && link.settings && link.settings->displayErrors) PrintCode(link, errors);
    return ok;
}

// Closes the port after a failed connect, leaving the link disconnected.
int FailOpen(LinkState& link) {
    link.connected.store(0);
    ClosePortHandle(link);
    return 0;
}

}  // namespace

void LinkNote(LinkState& link, HistoryEventKind kind, uint32_t code, const char* note) {
    HistoryEvent event;
    std::memset(&event, 0, sizeof event);
    event.timeMs = HistoryNowMs();
    event.kind = kind;
    event.code = code;
    if (kind == EVENT_PORT_ERROR) event.flags = HISTORY_FLAG_SCREEN;
    if (note) std::snprintf(reinterpret_cast<char*>(event.bytes), HISTORY_EVENT_BYTES, "%s", note);
    const bool receiver = link.receiverThreadId.load() == GetCurrentThreadId();
    // The capture stream takes one producer: the receiver, or this thread
    // while none runs (the connect is noted while it is still suspended).
    if (receiver || link.receiverThreadId.load() == 0 || kind == EVENT_CONNECT) LinkCapture(link, kind, code, note);
    if (receiver) {
        if (link.sink.ring) HistoryRingPush(*link.sink.ring, event);
    } else if (link.sink.note) {
        link.sink.note(link.sink.context, event);
    }
}

void LinkCapture(LinkState& link, HistoryEventKind kind, uint32_t code, const char* note) {
    if (!link.sink.capture) return;
    uint8_t captureKind = 0;
    switch (kind) {
    case EVENT_CONNECT: captureKind = CAPTURE_CONNECT; break;
    case EVENT_DISCONNECT: captureKind = CAPTURE_DISCONNECT; break;
    case EVENT_LINE_ERROR: captureKind = CAPTURE_LINE_ERROR; break;
    case EVENT_PORT_ERROR: captureKind = CAPTURE_PORT_ERROR; break;
    case EVENT_MODEM: captureKind = CAPTURE_MODEM; break;
    default: return;
    }
    const size_t length = note ? std::strlen(note) : 0;
    CapturePush(*link.sink.capture, RecordingNowUs(), captureKind, code, reinterpret_cast<const uint8_t*>(note),
                length);
}

int PortOpen(LinkState& link, const PortSettings& settings, HINSTANCE instance) {
    // A second open would overwrite the live handle and orphan the running
    // receiver; refuse it and leave the connection as it is.
    if (link.connected.load() || PortIsOpen(link)) return 0;
    link.settings = &settings;

    // The device path, so that COM10 and above open too ("COM12" alone names
    // a file in the current folder).
    char prefix[10];
    if (LoadStringA(instance, IDS_COM_PREFIX, prefix, sizeof prefix) <= 0) lstrcpyA(prefix, "COM");
    char name[32];
    wsprintfA(name, "\\\\.\\%s%d", prefix, settings.portNumber);

    link.portHandle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (link.portHandle == INVALID_HANDLE_VALUE) return 0;

    SetCommMask(link.portHandle, EV_RXCHAR);
    SetupComm(link.portHandle, PORT_QUEUE_SIZE, PORT_QUEUE_SIZE);
    PurgeComm(link.portHandle, PORT_PURGE_ALL);
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_CONSTANT;
    timeouts.WriteTotalTimeoutMultiplier = settings.baudRate > 0 ? WRITE_TIMEOUT_BASE / static_cast<DWORD>(settings.baudRate) : 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(link.portHandle, &timeouts);

    const int applied = PortApplySettings(link, settings);
    if (!applied) return FailOpen(link);

    // Link health counts describe the current connection only.
    for (auto& counter : link.lineErrorCounts) counter.store(0);
    link.bytesReceived.store(0);
    link.lastByteTick.store(0);
    link.connects.fetch_add(1);

    link.connected.store(1);

    // Created suspended so that receiverThread and receiverThreadId are stored
    // before the thread can reach any exit path (which clears them).
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, ReceiverThreadProc, &link, CREATE_SUSPENDED, &threadId);
    if (!thread) return FailOpen(link);
    link.receiverThread.store(thread);
    link.receiverThreadId.store(threadId);
    link.ownedThread = thread;
    // Before the receiver runs, so that the history has the connect first.
    const std::string port =
        StatusPortText(settings.portNumber, static_cast<uint32_t>(settings.baudRate), settings.dataBits,
                       settings.parity, settings.stopBits);
    LinkNote(link, EVENT_CONNECT, 0, port.c_str());
    ResumeThread(thread);

    // Some drivers (and pseudo-terminals) cannot drive DTR; the line is a
    // courtesy to the sender, so a refusal does not fail the connect.
    EscapeCommFunction(link.portHandle, SETDTR);
    return applied;
}

int PortClose(LinkState& link) {
    const bool wasConnected = link.connected.load() != 0;
    link.connected.store(0);
    const bool open = PortIsOpen(link);
    // Releases the receiver's pending wait for events.
    if (open) SetCommMask(link.portHandle, 0);

    HANDLE thread = link.ownedThread;
    link.ownedThread = nullptr;
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    } else {
        while (link.receiverThreadId.load() != 0) Sleep(5);
    }

    // After the receiver's last events. A lost port's disconnect is noted by
    // the window instead, with the reason.
    if (wasConnected && !link.lost) LinkNote(link, EVENT_DISCONNECT, 0, nullptr);
    // The capture stream has its disconnect whatever the reason.
    if (wasConnected && link.lost) LinkCapture(link, EVENT_DISCONNECT, 0, nullptr);
    if (open) {
        EscapeCommFunction(link.portHandle, CLRDTR);
        PurgeComm(link.portHandle, PORT_PURGE_ALL);
    }
    ClosePortHandle(link);
    return 1;
}

int PortReadBlock(LinkState& link, void* buffer, int maximum) {
    if (maximum <= 0) return 0;

    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    // Learns the queue state; error bits found here are cleared, not printed.
    if (portSeams.clearCommError(link.portHandle, &errors, &status)) CountLineErrors(link, errors);
    const DWORD count = status.cbInQue < static_cast<DWORD>(maximum) ? status.cbInQue : static_cast<DWORD>(maximum);
    if (count == 0) return 0;

    DWORD read = 0;
    if (ReadFile(link.portHandle, buffer, count, &read, &link.readOverlapped))
        return CountReceived(link, read);

    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        OutputDebugStringA("\n\rIO Pending");
        for (;;) {
            if (GetOverlappedResult(link.portHandle, &link.readOverlapped, &read, TRUE))
                return CountReceived(link, read);
            error = GetLastError();
            if (error != ERROR_IO_INCOMPLETE) break;
        }
        PrintCode(link, error);
        ClearAndReport(link, true);
        return CountReceived(link, read);
    }

    ClearAndReport(link, true);
    return 0;
}

int PortReadWaiting(LinkState& link, void* buffer, int maximum) {
    if (maximum <= 0) return 0;
    const int queued = PortReadBlock(link, buffer, maximum);
    if (queued != 0) return queued;

    // Nothing queued. With the time-outs PortOpen sets (interval MAXDWORD,
    // total 1000 ms) a read of one byte ends with the first byte or after a
    // second, under Windows and Wine alike; a longer read would wait for all
    // its bytes under Wine, and Wine does not return on the first byte for
    // the MAXDWORD multiplier either. So the time-outs stay as they are.
    const DWORD start = GetTickCount();
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    DWORD read = 0;
    BOOL ok = ReadFile(link.portHandle, bytes, 1, &read, &link.readOverlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // Disconnect does not touch the read: cancel it here instead of
        // holding PortClose for the rest of the time-out.
        while (WaitForSingleObject(link.readOverlapped.hEvent, PORT_READ_WAIT_SLICE_MS) == WAIT_TIMEOUT) {
            if (!link.connected.load()) {
                CancelIo(link.portHandle);
                break;
            }
        }
        ok = GetOverlappedResult(link.portHandle, &link.readOverlapped, &read, TRUE);
    }
    if (!ok) {
        // A wait, like WaitCommEvent: its failure is not printed, but what the
        // line reports is counted (and shown with Display Errors on).
        const DWORD error = GetLastError();
        if (error != ERROR_TIMEOUT && error != ERROR_OPERATION_ABORTED) ClearAndReport(link, true);
    }
    if (read == 0) {
        // A port that fails every read at once must not make the caller spin.
        if (GetTickCount() - start < RECEIVER_POLL_MS) Sleep(RECEIVER_POLL_MS);
        return 0;
    }
    CountReceived(link, read);
    return 1 + PortReadBlock(link, bytes + 1, maximum - 1);
}

DWORD PortWriteWaitLimit(DWORD baudRate, int length) {
    const DWORD baud = baudRate ? baudRate : 110;
    const unsigned long long lineMs = static_cast<unsigned long long>(length > 0 ? length : 0) * 10 * 1000 / baud;
    const unsigned long long limit = PORT_WRITE_WAIT_MARGIN + 2 * lineMs;
    return limit < INFINITE ? static_cast<DWORD>(limit) : INFINITE - 1;
}

int PortWriteBlock(LinkState& link, const void* bytes, int length) {
    if (length < 0) return 0;

    DWORD written = 0;
    if (WriteFile(link.portHandle, bytes, static_cast<DWORD>(length), &written, &link.writeOverlapped))
        return 1;

    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        ClearAndReport(link, false);
        return 0;
    }

    // At high baud rates the port has no write time-out, so a write held back
    // by hardware flow control (RTS/CTS or DTR/DSR with the other end never
    // ready) would wait for ever and freeze the window. Give it twice its line
    // time plus a margin, then cancel it: the completion below then reports
    // the abort on the screen and the short count on the debugger output.
    if (WaitForSingleObject(link.writeOverlapped.hEvent, portSeams.writeWaitLimit(link.settings ? static_cast<DWORD>(link.settings->baudRate) : 0, length)) ==
        WAIT_TIMEOUT)
        CancelIo(link.portHandle);

    DWORD total = 0;
    for (;;) {
        written = 0;
        if (GetOverlappedResult(link.portHandle, &link.writeOverlapped, &written, TRUE)) break;
        error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            total += written;
            continue;
        }
        PrintCode(link, error);
        ClearAndReport(link, false);
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
