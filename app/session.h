// The per-main-window session record: serial port, settings, receiver thread,
// overlapped I/O records and the in-memory terminal screen.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

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
    BYTE portNumber;
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
};

// The record behind a main window (extra slot 0), or nullptr.
inline SessionState* SessionFromWindow(HWND window) {
    return window ? reinterpret_cast<SessionState*>(GetWindowLongPtrA(window, 0)) : nullptr;
}

int SessionCreate(HWND window);
int CaretShow(HWND window);
int CaretHide(HWND window);
int CaretPlace(HWND window);
int ScreenWrite(HWND window, const char* bytes, int length);
int FontApply(HWND window, SessionState* session);
int FontPick(HWND settingsDialog);
