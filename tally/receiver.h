// The receiver thread: the only reader of the serial port. Waits for received
// characters, reads what is queued and feeds its own frame parser.
#pragma once
#include <windows.h>

// Pause before reading the queue after a failed wait for port events, and
// between reads while bytes keep arriving on a port whose wait has been given
// up (tally/receiver_plan.h: some drivers, and Wine on a pseudo-terminal, fail
// the wait; such a port otherwise sleeps in PortReadWaiting).
constexpr DWORD RECEIVER_POLL_MS = 20;

// Thread entry; the parameter is the LinkState (serial/port.h), whose sink
// takes every event. 1 after a normal stop, 0 when start-up fails.
DWORD WINAPI ReceiverThreadProc(LPVOID parameter);
