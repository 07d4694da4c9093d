// The receiver thread.
#include "tally/receiver.h"

#include "app/app.h"
#include "app/session.h"
#include "history/history.h"
#include "history/log_format.h"
#include "history/source.h"
#include "serial/port.h"
#include "serial/port_watch.h"
#include "tally/parser.h"
#include "tally/store.h"

namespace {

// Every exit path ends with this: PortClose may be waiting for it.
DWORD ReceiverExit(SessionState* session, DWORD result) {
    session->receiverThreadId.store(0);
    session->receiverThread.store(nullptr);
    return result;
}

enum PortEventOutcome { PORT_EVENT_RXCHAR, PORT_EVENT_OTHER, PORT_EVENT_FAILED };

// One wait for port events on the overlapped handle, through the thread's own
// event. A pending wait ends when a character arrives or when PortClose clears
// the port's event mask; should a driver not release it on the cleared mask,
// the wait also notices the cleared connected flag and cancels itself.
PortEventOutcome WaitForPortEvent(SessionState* session, HANDLE event) {
    DWORD mask = 0;
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = event;
    ResetEvent(event);
    if (!WaitCommEvent(session->portHandle, &mask, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return PORT_EVENT_FAILED;  // error code dropped
        while (WaitForSingleObject(event, 250) == WAIT_TIMEOUT) {
            if (!session->connected.load()) {
                CancelIo(session->portHandle);
                break;
            }
        }
        DWORD unused = 0;
        if (!GetOverlappedResult(session->portHandle, &overlapped, &unused, TRUE)) return PORT_EVENT_FAILED;
    }
    return (mask & EV_RXCHAR) ? PORT_EVENT_RXCHAR : PORT_EVENT_OTHER;
}

}  // namespace

DWORD WINAPI ReceiverThreadProc(LPVOID parameter) {
    SessionState* session = static_cast<SessionState*>(parameter);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        MessageBoxA(nullptr, "Failed to create event for thread!", "TTY Error!", MB_ICONEXCLAMATION | MB_OK);
        return ReceiverExit(session, 0);
    }
    if (!SetCommMask(session->portHandle, EV_RXCHAR)) {
        CloseHandle(event);
        return ReceiverExit(session, 0);
    }

    // Fixed buffers on the thread's own stack (about 16 KB of the default
    // 1 MB): nothing is allocated while receiving. The event source runs the
    // frame parser and hands each framing step to the history.
    EventSource source;
    EventSourceInit(source, &tallyStore, &historyRing);
    uint8_t readBuffer[READ_BUFFER_SIZE];

    // A read that filled the buffer may have left bytes queued; those are read
    // at once instead of waiting for a character that may never come.
    bool moreQueued = false;
    int goneChecks = 0;
    while (session->connected.load()) {
        if (!moreQueued) {
            const PortEventOutcome outcome = WaitForPortEvent(session, event);
            if (outcome == PORT_EVENT_OTHER) continue;
            if (outcome == PORT_EVENT_FAILED) {
                // The driver cannot wait for events: look at the queue anyway
                // after a short pause, so data still arrives without spinning.
                if (!session->connected.load()) break;
                // A port that no longer answers at all has gone (an adapter
                // unplugged): the window closes the connection.
                if (PortWatchGone(session->portHandle)) {
                    if (++goneChecks >= PORT_GONE_CHECKS) {
                        PostMessageA(appMainWindow, WM_APP_PORT_LOST, 0, 0);
                        break;
                    }
                } else {
                    goneChecks = 0;
                }
                Sleep(RECEIVER_POLL_MS);
            } else {
                goneChecks = 0;
            }
        }
        // Never ask for more than readBuffer holds.
        const int count = PortReadBlock(appMainWindow, readBuffer, READ_BUFFER_SIZE);
        moreQueued = count == READ_BUFFER_SIZE;
        if (count > 0) EventSourceFeed(source, readBuffer, static_cast<size_t>(count), HistoryNowMs());
    }

    CloseHandle(event);
    return ReceiverExit(session, 1);
}
