// The port as the main window's commands use it: the link layer's calls on
// the session's records, with the caret, the menu and the cursor around
// them, and a port that went away while connected.
#include <windows.h>

#include "app/app.h"
#include "app/session.h"
#include "history/history.h"
#include "recording/recording_app.h"
#include "resources/resource.h"
#include "serial/port.h"
#include "serial/port_watch.h"

namespace {

void SetMenuConnected(HWND window, bool connected) {
    HMENU menu = GetMenu(window);
    if (!menu) return;
    EnableMenuItem(menu, IDM_DISCONNECT, MF_BYCOMMAND | (connected ? MF_ENABLED : MF_DISABLED | MF_GRAYED));
    EnableMenuItem(menu, IDM_CONNECT, MF_BYCOMMAND | (connected ? MF_DISABLED | MF_GRAYED : MF_ENABLED));
}

HINSTANCE WindowInstance(HWND window) {
    return reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
}

}  // namespace

int PortOpen(HWND window) {
    SessionState* s = SessionFromWindow(window);
    // The port and a replay feed the same ring, which takes one producer: a
    // replay that runs keeps the port closed (Connect and the automatic
    // reconnect wait for its end), as a connection keeps a replay from
    // starting.
    if (!s || ReplayRunning(window)) return 0;
    HCURSOR previousCursor = SetCursor(LoadCursor(nullptr, IDC_WAIT));
    const int opened = PortOpen(s->link, s->settings, WindowInstance(window));
    if (opened) {
        CaretShow(window);
        SetMenuConnected(window, true);
    }
    SetCursor(previousCursor);
    return opened;
}

int PortClose(HWND window) {
    SessionState* s = SessionFromWindow(window);
    if (!s) return 0;
    PortClose(s->link);
    CaretHide(window);
    SetMenuConnected(window, false);
    return 1;
}

void PortConnectWait(HWND window, bool waiting) {
    MainWindowRecord* app = MainWindowFrom(window);
    SessionState* s = SessionFromWindow(window);
    if (!app || !s || app->connectWaits == waiting) return;
    app->connectWaits = waiting;
    if (!s->link.connected.load()) SetMenuConnected(window, waiting);
}

bool PortConnectWaiting(HWND window) {
    MainWindowRecord* app = MainWindowFrom(window);
    return app && app->connectWaits;
}

int PortReadBlock(HWND window, void* buffer, int maximum) {
    SessionState* s = SessionFromWindow(window);
    return s ? PortReadBlock(s->link, buffer, maximum) : 0;
}

int PortReadWaiting(HWND window, void* buffer, int maximum) {
    SessionState* s = SessionFromWindow(window);
    return s ? PortReadWaiting(s->link, buffer, maximum) : 0;
}

int PortWriteBlock(HWND window, const void* bytes, int length) {
    SessionState* s = SessionFromWindow(window);
    return s ? PortWriteBlock(s->link, bytes, length) : 0;
}

int PortApplySettings(HWND window) {
    SessionState* s = SessionFromWindow(window);
    return s ? PortApplySettings(s->link, s->settings) : 0;
}

// ---- A port that went away -----------------------------------------------------------

void PortWatchOnLost(HWND window) {
    SessionState* s = SessionFromWindow(window);
    // Already disconnected by the operator: nothing was lost.
    if (!s || !s->link.connected.load()) return;
    CaretHide(window);
    // Lost before the close, so that the close leaves the history's row of
    // this disconnect to this one, which says why.
    s->link.lost = true;
    s->link.lostPort = s->settings.portNumber;
    PortClose(window);
    s->link.lastTry = GetTickCount();
    char note[32];
    wsprintfA(note, "Port lost (COM%d)", s->link.lostPort);
    HistoryNote(window, EVENT_DISCONNECT, 0, note);
}

void PortWatchTick(HWND window) {
    SessionState* s = SessionFromWindow(window);
    if (!s || !PortWatchDue(s->link, s->settings.reconnect != 0)) return;
    // PortOpen shows nothing: a port still missing just fails again. The
    // reconnect's connect row is the port's own.
    if (PortOpen(window)) s->link.lost = false;
}

void PortWatchOnCommand(HWND window) {
    if (SessionState* s = SessionFromWindow(window)) s->link.lost = false;
}

bool PortWatchLost(HWND window) {
    SessionState* s = SessionFromWindow(window);
    return s && s->link.lost;
}
