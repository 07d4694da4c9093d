// A thin socket layer for the publishers (MQTT now, UDP tally outputs later):
// TCP connect, send and receive with time-outs, and UDP datagrams. Winsock on
// Windows, BSD sockets elsewhere; no platform header leaks out of here.
// Every call takes a time-out so that a dead peer never hangs a thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

using NetHandle = intptr_t;  // a SOCKET or a descriptor
constexpr NetHandle NET_INVALID = -1;

// Starts Winsock once per process (nothing elsewhere); false with the reason.
bool NetStartup(std::string& error);

// "host" or "host:port"; the port stays defaultPort when not given. False for
// an empty host or a port outside 1..65535.
bool NetSplitHostPort(const std::string& text, uint16_t defaultPort, std::string& host, uint16_t& port);

// Connects within timeoutMs; the socket is non-blocking from then on.
// NET_INVALID with the reason ("connection refused", "timed out", ...).
NetHandle NetTcpConnect(const std::string& host, uint16_t port, int timeoutMs, std::string& error);

// Sends every byte, waiting at most timeoutMs in all; false with the reason.
bool NetSendAll(NetHandle socket, const uint8_t* bytes, size_t count, int timeoutMs, std::string& error);

enum NetRecvResult { NET_RECV_DATA, NET_RECV_TIMEOUT, NET_RECV_CLOSED, NET_RECV_ERROR };
// Waits up to timeoutMs for bytes; received holds how many arrived.
NetRecvResult NetRecv(NetHandle socket, uint8_t* buffer, size_t size, int timeoutMs, size_t& received,
                      std::string& error);

void NetClose(NetHandle socket);

// A UDP socket bound to bindHost:bindPort (port 0: any free one).
NetHandle NetUdpOpen(const std::string& bindHost, uint16_t bindPort, std::string& error);
bool NetUdpSendTo(NetHandle socket, const std::string& host, uint16_t port, const uint8_t* bytes, size_t count,
                  std::string& error);
// One datagram within timeoutMs; received 0 on a time-out.
NetRecvResult NetUdpRecv(NetHandle socket, uint8_t* buffer, size_t size, int timeoutMs, size_t& received,
                         std::string& error);

// One datagram within timeoutMs, with the sender as "ADDR:PORT" ("[V6]:PORT").
NetRecvResult NetUdpRecvFrom(NetHandle socket, uint8_t* buffer, size_t size, int timeoutMs, size_t& received,
                             std::string& from, std::string& error);

// A TCP socket listening on bindHost:bindPort (port 0: any free one),
// non-blocking. NET_INVALID with the reason ("address already in use", ...).
NetHandle NetTcpListen(const std::string& bindHost, uint16_t bindPort, std::string& error);
// A connection waiting on a listening socket, non-blocking, with its peer as
// "ADDR:PORT"; NET_INVALID when none came within timeoutMs.
NetHandle NetTcpAccept(NetHandle listener, int timeoutMs, std::string& from);
// Waits up to timeoutMs until one of the sockets has something to read (data,
// a connection, a close); readable[i] tells which. -1 failed, else how many.
int NetWaitReadable(const NetHandle* sockets, size_t count, int timeoutMs, bool* readable);

// The local port a socket is bound to; 0 when unknown.
uint16_t NetLocalPort(NetHandle socket);

// This computer's name ("GALLERY2"); "" when the system will not say.
std::string NetHostName();
