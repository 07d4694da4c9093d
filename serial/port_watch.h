// A port that disappears while connected (a USB adapter unplugged): the
// receiver notices, the window closes the connection cleanly and shows
// "Port lost", and with "Reconnect automatically" it reconnects once the
// port answers again. One record for the process, used by the main window.
#pragma once
#include <windows.h>

// Posted by the receiver to the main window when the port has gone.
constexpr UINT WM_APP_PORT_LOST = WM_APP + 2;

// How often a lost port is tried again, and how many failed checks in a row
// the receiver takes as the port having gone.
constexpr DWORD PORT_RECONNECT_EVERY_MS = 2000;
constexpr int PORT_GONE_CHECKS = 3;

enum PortWatchEvent { PORT_WATCH_LOST, PORT_WATCH_RECONNECTED };
// Called on the user-interface thread for each event, with the port number;
// the event history hooks in here. A loss's close writes no disconnect row of
// its own: the hook's row says why. A reconnect's connect row is the port's
// own, written before the receiver starts.
typedef void (*PortWatchHook)(HWND window, PortWatchEvent event, int portNumber);
void PortWatchSetHook(PortWatchHook hook);

void PortWatchSetReconnect(bool on);
bool PortWatchReconnect();
// True from a loss until the next connect or disconnect.
bool PortWatchLost();

// Receiver thread: true when the open port no longer answers a state query.
bool PortWatchGone(HANDLE port);

// Main window: WM_APP_PORT_LOST, the refresh tick, and the operator's own
// Connect or Disconnect (which end a loss).
void PortWatchOnLost(HWND window);
void PortWatchTick(HWND window);
void PortWatchOnCommand();
