// The link: one serial port, its receiver thread and overlapped I/O, and the
// link-health counters, in one record (LinkState) that the main window owns.
// Nothing here knows a window: events leave through the record's sink.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "config/session_config.h"
#include "history/event.h"
#include "recording/capture.h"

// The write time-out multiplier is WRITE_TIMEOUT_BASE / baud rate (ms per byte).
constexpr DWORD WRITE_TIMEOUT_BASE = 76800;
constexpr DWORD PORT_QUEUE_SIZE = 4096;
constexpr DWORD PORT_PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD READ_TOTAL_TIMEOUT_CONSTANT = 1000;

// Index of each UART error bit in lineErrorCounts.
enum LineErrorIndex { LINE_ERROR_FRAME, LINE_ERROR_PARITY, LINE_ERROR_OVERRUN, LINE_ERROR_RXOVER, LINE_ERROR_BREAK, LINE_ERROR_KINDS };

// Where the link's events go. The receiver thread pushes its own (line and
// port errors, the framing steps of its parser) into `ring`, of which it is
// the only producer while it runs; events met on the window's thread
// (connect, disconnect, a failed write) go to `note` at once. `capture` (may
// be nullptr) takes every read with its microsecond and the link's events in
// order, for recordings: the receiver is its producer, and the window's
// thread only while no receiver runs (connect, disconnect).
struct LinkSink {
    HistoryRing* ring;
    CaptureRing* capture;
    void (*note)(void* context, const HistoryEvent& event);
    // Called on the receiver thread when it finds the port gone, just before
    // it ends.
    void (*lost)(void* context);
    void* context;
    // Called on the receiver thread after each read has been stored (may be nullptr).
    void (*fed)(void* context);
};

// Fields shared with the receiver thread are atomics of the documented width.
// The record starts zero-filled; the atomics are lock-free scalars for which
// all-zero bytes are a valid initial value.
struct LinkState {
    HANDLE portHandle;
    std::atomic<int32_t> connected;
    std::atomic<HANDLE> receiverThread;
    std::atomic<uint32_t> receiverThreadId;
    // The handle PortOpen created: the receiver clears receiverThread as its
    // last act, so PortClose waits on this one and closes it, and
    // connect/disconnect cycles leak neither handles nor threads.
    HANDLE ownedThread;
    OVERLAPPED writeOverlapped;
    OVERLAPPED readOverlapped;

    // Link health, written by the receiving side and read by the status bar
    // on the tick. Reset at each connect. UART errors reported by
    // ClearCommError, one counter per bit in the order CE_FRAME, CE_RXPARITY,
    // CE_OVERRUN, CE_RXOVER, CE_BREAK.
    std::atomic<uint32_t> lineErrorCounts[LINE_ERROR_KINDS];
    std::atomic<uint64_t> bytesReceived;
    // GetTickCount() when the last byte arrived; 0 before the first one.
    std::atomic<uint32_t> lastByteTick;
    // Successful opens so far (window thread writes): the status bar starts
    // its rate and its "since" afresh at each.
    std::atomic<uint32_t> connects;
    // The modem lines as the receiver last read them (serial/modem_lines.h
    // bits), with MODEM_LINES_KNOWN once read this connection.
    std::atomic<uint32_t> modemLines;

    // The settings the port was opened with ("Display Errors" is read on the
    // receiver thread).
    const PortSettings* settings;
    LinkSink sink;

    // A port that went away while connected (window thread only): set from
    // the loss until the next connect or disconnect, with when the port was
    // last tried again.
    bool lost;
    int lostPort;
    DWORD lastTry;
};

// Opens "COM<settings.portNumber>" (the prefix from string resource
// IDS_COM_PREFIX of `instance`), configures it, notes the connect, starts the
// receiver and raises DTR. 1 on success; on 0 the link is left disconnected
// with no port open.
int PortOpen(LinkState& link, const PortSettings& settings, HINSTANCE instance);
// Stops the receiver, notes the disconnect (not for a lost port, whose row
// says why), lowers DTR, purges and closes the port.
int PortClose(LinkState& link);
// Reads what the driver has queued, at most maximum bytes; returns the count read.
int PortReadBlock(LinkState& link, void* buffer, int maximum);
// For a receiver whose wait for port events fails: like PortReadBlock, but
// with nothing queued it sleeps in a one-byte read until the first byte
// arrives (then takes what else is queued), the port's read time-out passes,
// or `connected` is cleared, which it notices within PORT_READ_WAIT_SLICE_MS.
// Returns the count read; never returns 0 within less than RECEIVER_POLL_MS.
constexpr DWORD PORT_READ_WAIT_SLICE_MS = 200;
int PortReadWaiting(LinkState& link, void* buffer, int maximum);
// Longest a write may wait for the line before it is cancelled: twice its
// line time at 10 bits a character, plus PORT_WRITE_WAIT_MARGIN ms.
constexpr DWORD PORT_WRITE_WAIT_MARGIN = 2000;
DWORD PortWriteWaitLimit(DWORD baudRate, int length);
// Starts an overlapped write of length bytes; 1 when started, 0 on immediate failure.
int PortWriteBlock(LinkState& link, const void* bytes, int length);

// An event met by the link: into the ring on the receiver thread, to the
// sink's note on any other.
void LinkNote(LinkState& link, HistoryEventKind kind, uint32_t code, const char* note);
// The capture stream's part of an event (connect with its text, disconnect,
// line and port errors); LinkNote calls it where the stream may take it.
void LinkCapture(LinkState& link, HistoryEventKind kind, uint32_t code, const char* note);

// Seams for tests: the system calls the port layer makes where a fake shows
// what a real port seldom does. One record for the process, as the calls
// they stand for are.
struct PortSeams {
    BOOL(WINAPI* clearCommError)(HANDLE, LPDWORD, LPCOMSTAT);
    BOOL(WINAPI* setCommState)(HANDLE, LPDCB);
    // How long PortWriteBlock lets a write wait for the line.
    DWORD (*writeWaitLimit)(DWORD baudRate, int length);
};
extern PortSeams portSeams;

// Applies the line settings to the open port (serial/settings.cpp): the
// SetCommState result, non-zero on success.
int PortApplySettings(LinkState& link, const PortSettings& settings);
