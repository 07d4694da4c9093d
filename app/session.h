// The per-main-window session record: serial port, settings, receiver thread,
// overlapped I/O records and the in-memory terminal screen.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

// A modal dialog that edits the session keeps it as this window property
// (an integer atom) while it runs.
constexpr ATOM SESSION_PROPERTY = 0x100;

constexpr int SCREEN_ROWS = 25;
constexpr int SCREEN_COLS = 80;

// Flow-control option bits of flowFlags.
constexpr BYTE FLOW_DTRDSR = 1;
constexpr BYTE FLOW_RTSCTS = 2;
constexpr BYTE FLOW_XONXOFF = 4;

// Fields shared with the receiver thread are atomics of the documented width.
// The record is allocated zero-filled (LocalAlloc) and never freed; the atomics
// are lock-free scalars for which all-zero bytes are a valid initial value.
struct SessionState {
    HANDLE portHandle;
    WORD portNumber;  // 1..256
    char screen[SCREEN_ROWS * SCREEN_COLS];
    std::atomic<int32_t> connected;
    LONG localEcho;
    LONG newLine;
    LONG autowrap;
    LONG displayErrors;
    BYTE dataBits;
    BYTE flowFlags;
    BYTE parity;
    BYTE stopBits;
    DWORD baudRate;
    WORD caretShown;
    HFONT font;
    LOGFONTA logFont;
    COLORREF textColour;
    LONG column;
    LONG row;
    LONG charWidth;
    LONG charHeight;
    std::atomic<HANDLE> receiverThread;
    std::atomic<uint32_t> receiverThreadId;
    OVERLAPPED writeOverlapped;
    OVERLAPPED readOverlapped;
    // Guards screen, row and column: ScreenWrite runs on both threads.
    CRITICAL_SECTION screenLock;

    // Link health, written by the receiving side and read by the status bar
    // on the tick. Reset at each connect.
    // UART errors reported by ClearCommError, one counter per bit in the order
    // CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_RXOVER, CE_BREAK.
    std::atomic<uint32_t> lineErrorCounts[5];
    std::atomic<uint64_t> bytesReceived;
    // GetTickCount() when the last byte arrived; 0 before the first one.
    std::atomic<uint32_t> lastByteTick;
};

// Index of each UART error bit in lineErrorCounts.
enum LineErrorIndex { LINE_ERROR_FRAME, LINE_ERROR_PARITY, LINE_ERROR_OVERRUN, LINE_ERROR_RXOVER, LINE_ERROR_BREAK, LINE_ERROR_KINDS };

// The record behind a main window (extra slot 0), or nullptr.
inline SessionState* SessionFromWindow(HWND window) {
    return window ? reinterpret_cast<SessionState*>(GetWindowLongPtrA(window, 0)) : nullptr;
}

int SessionCreate(HWND window);

// SessionCreate with its allocation and event calls supplied by the caller, so
// that every failure path can be exercised.
struct SessionAllocator {
    HLOCAL(WINAPI* localAlloc)(UINT, SIZE_T);
    HLOCAL(WINAPI* localFree)(HLOCAL);
    HANDLE(WINAPI* createEvent)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR);
    BOOL(WINAPI* closeHandle)(HANDLE);
};
int SessionCreateWith(HWND window, const SessionAllocator& allocator);

int CaretShow(HWND window);
int CaretHide(HWND window);
int CaretPlace(HWND window);
// CaretPlace for a cursor position recorded earlier (a write's last caret move).
int CaretPlaceAt(HWND window, int row, int column);
int ScreenWrite(HWND window, const char* bytes, int length);
int FontApply(HWND window, SessionState* session);
int FontPick(HWND settingsDialog);
