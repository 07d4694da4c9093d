// The Win32 port adapter for the Detect Settings scan.
#include "detect/win_port.h"

#include <cstring>

namespace {

uint32_t TakeLineErrors(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(port, &errors, &status)) return 0;
    uint32_t n = 0;
    const DWORD kinds[] = {CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_RXOVER, CE_BREAK};
    for (DWORD kind : kinds)
        if (errors & kind) ++n;
    return n;
}

int Apply(void* context, const DetectSetting& s) {
    DetectWinPort& w = *static_cast<DetectWinPort*>(context);
    DCB dcb = w.original;
    dcb.BaudRate = static_cast<DWORD>(s.baud);
    dcb.ByteSize = static_cast<BYTE>(s.dataBits);
    dcb.Parity = s.parity == 'E' ? EVENPARITY : s.parity == 'O' ? ODDPARITY : NOPARITY;
    dcb.fParity = s.parity != 'N';  // so that parity errors are reported
    dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;  // an error must not stop the reads that count it
    if (!SetCommState(w.port, &dcb)) return 0;
    PurgeComm(w.port, PURGE_RXABORT | PURGE_RXCLEAR);
    TakeLineErrors(w.port);
    return 1;
}

int Listen(void* context, int maxMs, uint8_t* buffer, int capacity, int* got, uint32_t* lineErrors,
           int* elapsedMs) {
    DetectWinPort& w = *static_cast<DetectWinPort*>(context);
    const ULONGLONG start = GetTickCount64();
    int have = 0;
    uint32_t errors = 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const LONGLONG left = static_cast<LONGLONG>(start + maxMs) - static_cast<LONGLONG>(now);
        if (left <= 0 || have >= capacity || (w.cancel && *w.cancel)) break;
        // Return as soon as anything is there, or after what is left of the slice.
        COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, static_cast<DWORD>(left), 0, 0};
        SetCommTimeouts(w.port, &t);
        DWORD n = 0;
        if (!ReadFile(w.port, buffer + have, static_cast<DWORD>(capacity - have), &n, nullptr)) {
            errors += TakeLineErrors(w.port);
            if (GetLastError() != ERROR_OPERATION_ABORTED) return 0;
        }
        have += static_cast<int>(n);
        errors += TakeLineErrors(w.port);
    }
    *got = have;
    *lineErrors = errors;
    *elapsedMs = static_cast<int>(GetTickCount64() - start);
    return 1;
}

int Restore(void* context) {
    DetectWinPort& w = *static_cast<DetectWinPort*>(context);
    const BOOL ok = SetCommState(w.port, &w.original) && SetCommTimeouts(w.port, &w.originalTimeouts);
    PurgeComm(w.port, PURGE_RXABORT | PURGE_RXCLEAR);
    return ok ? 1 : 0;
}

int Cancelled(void* context) {
    DetectWinPort& w = *static_cast<DetectWinPort*>(context);
    return w.cancel && *w.cancel ? 1 : 0;
}

}  // namespace

int DetectWinPortBegin(DetectWinPort& w, HANDLE port, const volatile LONG* cancel) {
    w.port = port;
    w.cancel = cancel;
    std::memset(&w.original, 0, sizeof w.original);
    w.original.DCBlength = sizeof w.original;
    if (!GetCommState(port, &w.original)) return 0;
    if (!GetCommTimeouts(port, &w.originalTimeouts)) return 0;
    return 1;
}

DetectPort DetectWinPortOps(DetectWinPort& w) {
    DetectPort p;
    p.context = &w;
    p.apply = Apply;
    p.listen = Listen;
    p.restore = Restore;
    p.cancelled = Cancelled;
    return p;
}
