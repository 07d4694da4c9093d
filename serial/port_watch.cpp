#include "serial/port_watch.h"

#include "app/session.h"
#include "serial/port.h"

namespace {

struct PortWatchState {
    bool reconnect = false;
    bool lost = false;
    int lostPort = 0;
    DWORD lastTry = 0;
    PortWatchHook hook = nullptr;
};
PortWatchState watch;

}  // namespace

void PortWatchSetHook(PortWatchHook hook) { watch.hook = hook; }
void PortWatchSetReconnect(bool on) { watch.reconnect = on; }
bool PortWatchReconnect() { return watch.reconnect; }
bool PortWatchLost() { return watch.lost; }

bool PortWatchGone(HANDLE port) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return !GetCommState(port, &dcb);
}

void PortWatchOnLost(HWND window) {
    SessionState* s = SessionFromWindow(window);
    // Already disconnected by the operator: nothing was lost.
    if (!s || !s->connected.load()) return;
    CaretHide(window);
    // Lost before the close, so that the close leaves the history's row of
    // this disconnect to the hook, which says why.
    watch.lost = true;
    watch.lostPort = s->portNumber;
    PortClose(window);
    watch.lastTry = GetTickCount();
    if (watch.hook) watch.hook(window, PORT_WATCH_LOST, watch.lostPort);
}

void PortWatchTick(HWND window) {
    if (!watch.lost || !watch.reconnect) return;
    SessionState* s = SessionFromWindow(window);
    if (!s || s->connected.load()) return;
    if (GetTickCount() - watch.lastTry < PORT_RECONNECT_EVERY_MS) return;
    watch.lastTry = GetTickCount();
    // PortOpen shows nothing: a port still missing just fails again.
    if (!PortOpen(window)) return;
    watch.lost = false;
    if (watch.hook) watch.hook(window, PORT_WATCH_RECONNECTED, s->portNumber);
}

void PortWatchOnCommand() { watch.lost = false; }
