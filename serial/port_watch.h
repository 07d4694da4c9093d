// A port that disappears while connected (a USB adapter unplugged): the
// receiver notices and tells its link's sink, the window closes the
// connection cleanly and shows "Port lost", and with "Reconnect
// automatically" it reconnects once the port answers again. The state lives
// in the link record (LinkState::lost, lostPort, lastTry).
#pragma once
#include <windows.h>

// How often a lost port is tried again, and how many failed checks in a row
// the receiver takes as the port having gone.
constexpr DWORD PORT_RECONNECT_EVERY_MS = 2000;
constexpr int PORT_GONE_CHECKS = 3;

// Receiver thread: true when the open port no longer answers a state query.
bool PortWatchGone(HANDLE port);

struct LinkState;
// True when a lost port is due to be tried again (and notes the try).
bool PortWatchDue(LinkState& link, bool reconnect);
