// The receiver thread.
#include "tally/receiver.h"

#include "history/log_format.h"
#include "history/source.h"
#include "recording/capture.h"
#include "serial/modem_lines.h"
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
PortEventOutcome WaitForPortEvent(LinkState* link, HANDLE event, DWORD* events) {
    DWORD& mask = *events;
    mask = 0;
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
int ReceiverRead(LinkState* link, HANDLE event, ReceiverPlan& plan, uint8_t* buffer, int size, DWORD* events) {
    *events = 0;
    switch (ReceiverPlanNext(plan)) {
        case RECEIVER_WAIT_EVENT: {
            const PortEventOutcome outcome = WaitForPortEvent(link, event, events);
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

// The port events that say the modem lines changed or the line broke.
constexpr DWORD MODEM_EVENTS = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK;
// Where the wait for those events does not work (Wine on a pty), the lines
// are read whenever the receiver wakes, at most this often.
constexpr DWORD MODEM_POLL_MS = 100;

// Reads the modem lines after a modem event, or when MODEM_POLL_MS have
// passed; a change (or a break) is a link event in the history, the log and
// the capture stream.
void CheckModem(LinkState* link, ModemWatch& watch, DWORD events, DWORD& lastPoll) {
    const DWORD now = GetTickCount();
    if (!(events & MODEM_EVENTS) && now - lastPoll < MODEM_POLL_MS && watch.known) return;
    lastPoll = now;
    DWORD status = 0;
    if (!GetCommModemStatus(link->portHandle, &status)) return;  // a driver without them: shown as unknown
    link->modemLines.store((status & MODEM_LINES) | MODEM_LINES_KNOWN);
    const uint32_t code = ModemWatchUpdate(watch, status, (events & EV_BREAK) != 0);
    if (code) LinkNote(*link, EVENT_MODEM, code, nullptr);
}

}  // namespace

DWORD WINAPI ReceiverThreadProc(LPVOID parameter) {
    LinkState* link = static_cast<LinkState*>(parameter);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        MessageBoxA(nullptr, "Failed to create event for thread!", "TTY Error!", MB_ICONEXCLAMATION | MB_OK);
        return ReceiverExit(link, 0);
    }
    if (!SetCommMask(link->portHandle, EV_RXCHAR | MODEM_EVENTS) && !SetCommMask(link->portHandle, EV_RXCHAR)) {
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
    ModemWatch modem;
    DWORD lastModemPoll = GetTickCount();
    link->modemLines.store(0);
    CheckModem(link, modem, 0, lastModemPoll);
    while (link->connected.load()) {
        // Never ask for more than readBuffer holds.
        DWORD events = 0;
        const int count = ReceiverRead(link, event, plan, readBuffer, READ_BUFFER_SIZE, &events);
        if (count < 0) {
            if (link->connected.load()) CheckModem(link, modem, events, lastModemPoll);
            continue;
        }
        ReceiverPlanRead(plan, count, READ_BUFFER_SIZE);
        if (count > 0) {
            goneChecks = 0;
            // One time stamp per read, for the recording and the history alike.
            const uint64_t timeUs = RecordingNowUs();
            if (link->sink.capture)
                CapturePush(*link->sink.capture, timeUs, CAPTURE_BYTES, 0, readBuffer, static_cast<size_t>(count));
            EventSourceFeed(source, readBuffer, static_cast<size_t>(count), static_cast<int64_t>(timeUs / 1000));
            if (link->sink.fed) link->sink.fed(link->sink.context);
            // After the read's bytes: they came before the lines were read.
            CheckModem(link, modem, events, lastModemPoll);
        } else if (link->connected.load()) {
            CheckModem(link, modem, events, lastModemPoll);
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
    link->modemLines.store(0);
    CloseHandle(event);
    return ReceiverExit(link, 1);
}
