// The per-main-window session record and the operations on it that take the
// main window's handle: the terminal screen, caret and font, and the port as
// the window's commands use it (the link layer underneath, serial/port.h,
// takes the records themselves).
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "config/session_config.h"
#include "serial/port.h"

constexpr int SCREEN_ROWS = 25;
constexpr int SCREEN_COLS = 80;

// The terminal screen: its cells and cursor, the caret and the font.
struct TerminalScreen {
    char cells[SCREEN_ROWS * SCREEN_COLS];
    LONG column;
    LONG row;
    WORD caretShown;
    HFONT font;
    LOGFONTA logFont;
    COLORREF textColour;
    LONG charWidth;
    LONG charHeight;
    // Guards cells, row and column: ScreenWrite may run on any thread.
    CRITICAL_SECTION lock;
};

// The session behind a main window, one record per concern: the settings,
// the link (port, receiver, overlapped I/O, counters) and the terminal
// screen. Allocated zero-filled (LocalAlloc) with the settings' defaults and
// never freed.
struct SessionState {
    PortSettings settings;
    LinkState link;
    TerminalScreen terminal;
};

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
// The Settings dialog's "Font..." button; the dialog keeps the session as
// its property SESSION_PROPERTY.
int FontPick(HWND settingsDialog);
FontConfig FontConfigFromSession(const SessionState& s);
void FontConfigToSession(const FontConfig& c, SessionState& s);

// ---- The port, for the main window's commands ----------------------------------
// Connect: opens the session's port with its settings, then the caret and
// the menu follow. Non-zero on success.
int PortOpen(HWND window);
// Disconnect: closes the port; the caret hides and the menu follows.
int PortClose(HWND window);
// Connect during a replay waits for its end (the port and a replay feed the
// same ring): the menu offers Disconnect, which cancels the wait, and the
// replay's end posts the Connect again.
void PortConnectWait(HWND window, bool waiting);
bool PortConnectWaiting(HWND window);
int PortReadBlock(HWND window, void* buffer, int maximum);
int PortReadWaiting(HWND window, void* buffer, int maximum);
int PortWriteBlock(HWND window, const void* bytes, int length);
// SetCommState result (non-zero on success); 0 when the window has no session.
int PortApplySettings(HWND window);

// ---- A port that went away -----------------------------------------------------------
// Posted (through the link's sink) when the receiver finds the port gone.
constexpr UINT WM_APP_PORT_LOST = WM_APP + 2;
// WM_APP_PORT_LOST: closes the connection and notes "Port lost (COMn)".
void PortWatchOnLost(HWND window);
// The refresh tick: with "Reconnect automatically", tries a lost port again.
void PortWatchTick(HWND window);
// The operator's own Connect or Disconnect ends a loss.
void PortWatchOnCommand(HWND window);
// True from a loss until the next connect or disconnect.
bool PortWatchLost(HWND window);
