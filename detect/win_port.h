// Detect Settings on a Win32 COM port: the DetectPort over an open,
// non-overlapped port handle. Line errors are the ClearCommError flags
// (framing, parity, overrun, buffer overflow, break) seen after each read,
// one per flag: Windows reports that they happened, not how often, so the
// count is a lower bound.
#pragma once
#include <windows.h>

#include "detect/scan.h"

struct DetectWinPort {
    HANDLE port;
    DCB original;
    COMMTIMEOUTS originalTimeouts;
    const volatile LONG* cancel;  // non-zero: stop
};

// Keeps the port's settings and time-outs for restore. Returns 0 when the
// handle is not a serial port.
int DetectWinPortBegin(DetectWinPort& win, HANDLE port, const volatile LONG* cancel);
DetectPort DetectWinPortOps(DetectWinPort& win);
