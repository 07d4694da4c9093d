// The receiver thread: the only reader of the serial port. Waits for received
// characters, reads what is queued and feeds its own frame parser.
#pragma once
#include <windows.h>

// After a failed wait for port events the receiver polls the queue at this
// interval instead (some drivers, and Wine on a pseudo-terminal, fail the wait).
constexpr DWORD RECEIVER_POLL_MS = 20;

// Thread entry; the parameter is the SessionState. 1 after a normal stop,
// 0 when start-up fails.
DWORD WINAPI ReceiverThreadProc(LPVOID parameter);
