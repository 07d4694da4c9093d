// Connection lifecycle and block I/O on the session's serial port.
#pragma once
#include <windows.h>

// The write time-out multiplier is WRITE_TIMEOUT_BASE / baud rate (ms per byte).
constexpr DWORD WRITE_TIMEOUT_BASE = 76800;
constexpr DWORD PORT_QUEUE_SIZE = 4096;
constexpr DWORD PORT_PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD READ_TOTAL_TIMEOUT_CONSTANT = 1000;

// Opens "COM<portNumber>", configures it, starts the receiver and raises DTR.
// Non-zero on success; on 0 the session is left disconnected with no port open.
int PortOpen(HWND window);
// Stops the receiver, lowers DTR, purges and closes the port. 1, or 0 without a session.
int PortClose(HWND window);
// Reads what the driver has queued, at most maximum bytes; returns the count read.
int PortReadBlock(HWND window, void* buffer, int maximum);
// For a receiver whose wait for port events fails: like PortReadBlock, but
// with nothing queued it sleeps in a one-byte read until the first byte
// arrives (then takes what else is queued), the port's read time-out passes,
// or `connected` is cleared, which it notices within PORT_READ_WAIT_SLICE_MS.
// Returns the count read; never returns 0 within less than RECEIVER_POLL_MS.
constexpr DWORD PORT_READ_WAIT_SLICE_MS = 200;
int PortReadWaiting(HWND window, void* buffer, int maximum);
// Longest a write may wait for the line before it is cancelled: twice its
// line time at 10 bits a character, plus PORT_WRITE_WAIT_MARGIN ms.
constexpr DWORD PORT_WRITE_WAIT_MARGIN = 2000;
DWORD PortWriteWaitLimit(DWORD baudRate, int length);
// Starts an overlapped write of length bytes; 1 when started, 0 on immediate failure.
int PortWriteBlock(HWND window, const void* bytes, int length);

// Seam for tests: the ClearCommError the block operations call.
typedef BOOL(WINAPI* PortClearCommErrorFn)(HANDLE, LPDWORD, LPCOMSTAT);
extern PortClearCommErrorFn portClearCommError;

// Seam for tests: how long PortWriteBlock lets a write wait for the line.
typedef DWORD (*PortWriteWaitLimitFn)(DWORD baudRate, int length);
extern PortWriteWaitLimitFn portWriteWaitLimit;
