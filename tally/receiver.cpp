// The receiver thread.
#include "tally/receiver.h"

#include "history/log_format.h"
#include "history/source.h"
#include "recording/capture.h"
#include "serial/port.h"
#include "serial/port_watch.h"
#include "tally/parser.h"
#include "tally/receiver_plan.h"
#include "tally/store.h"

namespace {

// Every exit path ends with this: PortClose may be waiting for it.
DWORD ReceiverExit(LinkState* link, DWORD result) {
    link->receiverThreadId.store(0);
    link->receiverThread.store(nullptr);
    return result;
}

enum PortEventOutcome { PORT_EVENT_RXCHAR, PORT_EVENT_OTHER, PORT_EVENT_FAILED };

// One wait for port events on the overlapped handle, through the thread's own
// event. A pending wait ends when a character arrives or when PortClose clears
// the port's event mask; should a driver not release it on the cleared mask,
// the wait also notices the cleared connected flag and cancels itself.
PortEventOutcome WaitForPortEvent(LinkState* link, HANDLE event) {
    DWORD mask = 0;
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = event;
    ResetEvent(event);
    if (!WaitCommEvent(link->portHandle, &mask, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return PORT_EVENT_FAILED;  // error code dropped
        while (WaitForSingleObject(event, 250) == WAIT_TIMEOUT) {
            if (!link->connected.load()) {
                CancelIo(link->portHandle);
                break;
            }
        }
        DWORD unused = 0;
        if (!GetOverlappedResult(link->portHandle, &overlapped, &unused, TRUE)) return PORT_EVENT_FAILED;
    }
    return (mask & EV_RXCHAR) ? PORT_EVENT_RXCHAR : PORT_EVENT_OTHER;
}

// One read as the plan says: after a wait for port events, at once, in a
// read that waits for the first byte, or after a short pause. Returns the
// count read, or -1 when a wait ended without a received character.
int ReceiverRead(LinkState* link, HANDLE event, ReceiverPlan& plan, uint8_t* buffer, int size) {
    switch (ReceiverPlanNext(plan)) {
        case RECEIVER_WAIT_EVENT: {
            const PortEventOutcome outcome = WaitForPortEvent(link, event);
            ReceiverPlanWaited(plan, outcome == PORT_EVENT_FAILED);
            if (outcome == PORT_EVENT_OTHER) return -1;
            if (outcome == PORT_EVENT_FAILED) {
                // Look at the queue anyway after a short pause: the failure
                // may be passing, and data must not wait for the next one.
                if (!link->connected.load()) return -1;
                Sleep(RECEIVER_POLL_MS);
            }
            break;
        }
        case RECEIVER_READ_NOW:
            break;
        case RECEIVER_READ_WAITING:
            return PortReadWaiting(*link, buffer, size);
        case RECEIVER_READ_AFTER_PAUSE:
            Sleep(RECEIVER_POLL_MS);
            break;
    }
    return PortReadBlock(*link, buffer, size);
}

}  // namespace

DWORD WINAPI ReceiverThreadProc(LPVOID parameter) {
    LinkState* link = static_cast<LinkState*>(parameter);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        MessageBoxA(nullptr, "Failed to create event for thread!", "TTY Error!", MB_ICONEXCLAMATION | MB_OK);
        return ReceiverExit(link, 0);
    }
    if (!SetCommMask(link->portHandle, EV_RXCHAR)) {
        CloseHandle(event);
        return ReceiverExit(link, 0);
    }

    // Fixed buffers on the thread's own stack (about 16 KB of the default
    // 1 MB): nothing is allocated while receiving. The event source runs the
    // frame parser and hands each framing step to the link's sink.
    EventSource source;
    EventSourceInit(source, &tallyStore, link->sink.ring);
    uint8_t readBuffer[READ_BUFFER_SIZE];

    ReceiverPlan plan;
    ReceiverPlanStart(plan);
    int goneChecks = 0;
    while (link->connected.load()) {
        // Never ask for more than readBuffer holds.
        const int count = ReceiverRead(link, event, plan, readBuffer, READ_BUFFER_SIZE);
        if (count < 0) continue;
        ReceiverPlanRead(plan, count, READ_BUFFER_SIZE);
        if (count > 0) {
            goneChecks = 0;
            // One time stamp per read, for the recording and the history alike.
            const uint64_t timeUs = RecordingNowUs();
            if (link->sink.capture)
                CapturePush(*link->sink.capture, timeUs, CAPTURE_BYTES, 0, readBuffer, static_cast<size_t>(count));
            EventSourceFeed(source, readBuffer, static_cast<size_t>(count), static_cast<int64_t>(timeUs / 1000));
            if (link->sink.fed) link->sink.fed(link->sink.context);
        } else if (link->connected.load()) {
            // Nothing came (a failed wait, a read time-out): a port that no
            // longer answers at all has gone (an adapter unplugged), and the
            // window closes the connection.
            if (!PortWatchGone(link->portHandle)) {
                goneChecks = 0;
            } else if (++goneChecks >= PORT_GONE_CHECKS) {
                if (link->sink.lost) link->sink.lost(link->sink.context);
                break;
            }
        }
    }

    // An incomplete message still held is received bytes too: the history,
    // its log and a recording keep them.
    EventSourceFinish(source, HistoryNowMs());
    CloseHandle(event);
    return ReceiverExit(link, 1);
}
