#include "serial/port_watch.h"

#include "serial/port.h"

bool PortWatchGone(HANDLE port) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return !GetCommState(port, &dcb);
}

bool PortWatchDue(LinkState& link, bool reconnect) {
    if (!link.lost || !reconnect || link.connected.load()) return false;
    if (GetTickCount() - link.lastTry < PORT_RECONNECT_EVERY_MS) return false;
    link.lastTry = GetTickCount();
    return true;
}
