// Sockets for both systems in one file: the few calls that differ are wrapped
// at the top, everything else is shared.
#include "net/socket.h"

#include <chrono>
#include <cstring>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
using RawSocket = SOCKET;
const RawSocket RAW_INVALID = INVALID_SOCKET;
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int code) { return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS; }
bool Interrupted(int code) { return code == WSAEINTR; }
int PollSockets(pollfd* fds, unsigned n, int timeoutMs) { return WSAPoll(fds, n, timeoutMs); }
void CloseRaw(RawSocket s) { closesocket(s); }
bool MakeNonBlocking(RawSocket s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
std::string ErrorText(int code) {
    switch (code) {
    case WSAECONNREFUSED: return "connection refused";
    case WSAETIMEDOUT: return "timed out";
    case WSAECONNRESET: return "connection reset";
    case WSAEHOSTUNREACH: return "host unreachable";
    case WSAENETUNREACH: return "network unreachable";
    case WSAEADDRINUSE: return "address already in use";
    case WSAEADDRNOTAVAIL: return "address not available";
    case WSAEACCES: return "permission denied";
    default: return "socket error " + std::to_string(code);
    }
}
const int SEND_FLAGS = 0;
#else
using RawSocket = int;
const RawSocket RAW_INVALID = -1;
int LastError() { return errno; }
bool WouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS; }
bool Interrupted(int code) { return code == EINTR; }
int PollSockets(pollfd* fds, unsigned n, int timeoutMs) { return poll(fds, n, timeoutMs); }
void CloseRaw(RawSocket s) { close(s); }
bool MakeNonBlocking(RawSocket s) {
    const int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
std::string ErrorText(int code) { return std::strerror(code); }
// A peer gone while we write must not kill the process with SIGPIPE.
#ifdef MSG_NOSIGNAL
const int SEND_FLAGS = MSG_NOSIGNAL;
#else
const int SEND_FLAGS = 0;
#endif
#endif

RawSocket Raw(NetHandle h) { return static_cast<RawSocket>(h); }

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits for events on one socket; 1 ready, 0 timed out, -1 failed.
int WaitFor(RawSocket s, short events, int timeoutMs, short& revents) {
    const int64_t end = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        pollfd p;
        p.fd = s;
        p.events = events;
        p.revents = 0;
        const int64_t left = end - NowMs();
        const int ready = PollSockets(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0 && Interrupted(LastError())) continue;
        revents = p.revents;
        return ready < 0 ? -1 : ready;
    }
}

bool Resolve(const std::string& host, uint16_t port, int type, addrinfo*& list, std::string& error) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    const std::string service = std::to_string(port);
    const int code = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (code != 0) {
        error = "cannot resolve " + host;
        return false;
    }
    return true;
}

}  // namespace

bool NetStartup(std::string& error) {
#ifdef _WIN32
    // Winsock is started once for the process (WSAStartup is process-wide).
    static int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) {
        error = "Winsock did not start (error " + std::to_string(started) + ")";
        return false;
    }
#else
    (void)error;
#endif
    return true;
}

bool NetSplitHostPort(const std::string& text, uint16_t defaultPort, std::string& host, uint16_t& port) {
    host = text;
    port = defaultPort;
    // "[::1]:1883" for IPv6 literals; a bare IPv6 address has several colons.
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            portText = text.substr(close + 2);
            if (portText.empty()) return false;
        }
    } else {
        const size_t colon = text.rfind(':');
        if (colon != std::string::npos && text.find(':') == colon) {
            host = text.substr(0, colon);
            portText = text.substr(colon + 1);
            if (portText.empty()) return false;
        }
    }
    if (host.empty()) return false;
    if (!portText.empty()) {
        if (portText.size() > 5) return false;
        long value = 0;
        for (char c : portText) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535) return false;
        port = static_cast<uint16_t>(value);
    }
    return true;
}

NetHandle NetTcpConnect(const std::string& host, uint16_t port, int timeoutMs, std::string& error) {
    if (!NetStartup(error)) return NET_INVALID;
    addrinfo* list = nullptr;
    if (!Resolve(host, port, SOCK_STREAM, list, error)) return NET_INVALID;
    const int64_t end = NowMs() + timeoutMs;
    RawSocket found = RAW_INVALID;
    error = "no address for " + host;
    for (addrinfo* a = list; a && found == RAW_INVALID; a = a->ai_next) {
        RawSocket s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == RAW_INVALID) continue;
        if (!MakeNonBlocking(s)) {
            CloseRaw(s);
            continue;
        }
        int code = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 ? 0 : LastError();
        if (code != 0 && WouldBlock(code)) {
            short revents = 0;
            const int64_t left = end - NowMs();
            const int ready = WaitFor(s, POLLOUT, left > 0 ? static_cast<int>(left) : 0, revents);
            if (ready == 0) {
                error = "timed out";
                CloseRaw(s);
                continue;
            }
            int soError = 0;
            socklen_t length = sizeof soError;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
            code = ready < 0 ? LastError() : soError;
        }
        if (code != 0) {
            error = ErrorText(code);
            CloseRaw(s);
            continue;
        }
        // Small control packets go out at once rather than wait to be merged.
        int on = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        found = s;
    }
    freeaddrinfo(list);
    if (found != RAW_INVALID) error.clear();
    return found == RAW_INVALID ? NET_INVALID : static_cast<NetHandle>(found);
}

bool NetSendAll(NetHandle socket, const uint8_t* bytes, size_t count, int timeoutMs, std::string& error) {
    const int64_t end = NowMs() + timeoutMs;
    while (count > 0) {
        const int chunk = count > 65536 ? 65536 : static_cast<int>(count);
        const auto sent = send(Raw(socket), reinterpret_cast<const char*>(bytes), chunk, SEND_FLAGS);
        if (sent > 0) {
            bytes += sent;
            count -= static_cast<size_t>(sent);
            continue;
        }
        const int code = LastError();
        if (sent < 0 && Interrupted(code)) continue;
        if (sent < 0 && !WouldBlock(code)) {
            error = ErrorText(code);
            return false;
        }
        const int64_t left = end - NowMs();
        short revents = 0;
        if (left <= 0 || WaitFor(Raw(socket), POLLOUT, static_cast<int>(left), revents) <= 0) {
            error = "send timed out";
            return false;
        }
    }
    return true;
}

NetRecvResult NetRecv(NetHandle socket, uint8_t* buffer, size_t size, int timeoutMs, size_t& received,
                      std::string& error) {
    received = 0;
    short revents = 0;
    const int ready = WaitFor(Raw(socket), POLLIN, timeoutMs, revents);
    if (ready == 0) return NET_RECV_TIMEOUT;
    if (ready < 0) {
        error = ErrorText(LastError());
        return NET_RECV_ERROR;
    }
    const int want = size > 65536 ? 65536 : static_cast<int>(size);
    const auto got = recv(Raw(socket), reinterpret_cast<char*>(buffer), want, 0);
    if (got > 0) {
        received = static_cast<size_t>(got);
        return NET_RECV_DATA;
    }
    if (got == 0) {
        error = "closed by the peer";
        return NET_RECV_CLOSED;
    }
    const int code = LastError();
    if (WouldBlock(code) || Interrupted(code)) return NET_RECV_TIMEOUT;
    error = ErrorText(code);
    return NET_RECV_ERROR;
}

void NetClose(NetHandle socket) {
    if (socket != NET_INVALID) CloseRaw(Raw(socket));
}

NetHandle NetUdpOpen(const std::string& bindHost, uint16_t bindPort, std::string& error) {
    if (!NetStartup(error)) return NET_INVALID;
    addrinfo* list = nullptr;
    if (!Resolve(bindHost, bindPort, SOCK_DGRAM, list, error)) return NET_INVALID;
    RawSocket found = RAW_INVALID;
    for (addrinfo* a = list; a && found == RAW_INVALID; a = a->ai_next) {
        RawSocket s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == RAW_INVALID) continue;
        if (bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 || !MakeNonBlocking(s)) {
            error = ErrorText(LastError());
            CloseRaw(s);
            continue;
        }
        found = s;
    }
    freeaddrinfo(list);
    return found == RAW_INVALID ? NET_INVALID : static_cast<NetHandle>(found);
}

bool NetUdpSendTo(NetHandle socket, const std::string& host, uint16_t port, const uint8_t* bytes, size_t count,
                  std::string& error) {
    addrinfo* list = nullptr;
    if (!Resolve(host, port, SOCK_DGRAM, list, error)) return false;
    const auto sent = sendto(Raw(socket), reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0,
                             list->ai_addr, static_cast<int>(list->ai_addrlen));
    freeaddrinfo(list);
    if (sent < 0 || static_cast<size_t>(sent) != count) {
        error = sent < 0 ? ErrorText(LastError()) : "datagram cut short";
        return false;
    }
    return true;
}

NetRecvResult NetUdpRecv(NetHandle socket, uint8_t* buffer, size_t size, int timeoutMs, size_t& received,
                         std::string& error) {
    received = 0;
    short revents = 0;
    const int ready = WaitFor(Raw(socket), POLLIN, timeoutMs, revents);
    if (ready == 0) return NET_RECV_TIMEOUT;
    const auto got = ready < 0 ? -1 : recvfrom(Raw(socket), reinterpret_cast<char*>(buffer),
                                               static_cast<int>(size), 0, nullptr, nullptr);
    if (got < 0) {
        const int code = LastError();
        if (ready > 0 && (WouldBlock(code) || Interrupted(code))) return NET_RECV_TIMEOUT;
        error = ErrorText(code);
        return NET_RECV_ERROR;
    }
    received = static_cast<size_t>(got);
    return NET_RECV_DATA;
}

namespace {

std::string AddressText(const sockaddr_storage& address) {
    char host[64] = {};
    if (address.ss_family == AF_INET) {
        const sockaddr_in* a = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, const_cast<in_addr*>(&a->sin_addr), host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(a->sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const sockaddr_in6* a = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, const_cast<in6_addr*>(&a->sin6_addr), host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(a->sin6_port));
    }
    return "?";
}

}  // namespace

NetRecvResult NetUdpRecvFrom(NetHandle socket, uint8_t* buffer, size_t size, int timeoutMs, size_t& received,
                             std::string& from, std::string& error) {
    received = 0;
    short revents = 0;
    const int ready = WaitFor(Raw(socket), POLLIN, timeoutMs, revents);
    if (ready == 0) return NET_RECV_TIMEOUT;
    sockaddr_storage address;
    std::memset(&address, 0, sizeof address);
    socklen_t length = sizeof address;
    const auto got = ready < 0 ? -1 : recvfrom(Raw(socket), reinterpret_cast<char*>(buffer), static_cast<int>(size),
                                               0, reinterpret_cast<sockaddr*>(&address), &length);
    if (got < 0) {
        const int code = LastError();
        // An ICMP "port unreachable" for an earlier send shows up here on some systems: not ours to report.
#ifdef _WIN32
        if (ready > 0 && (WouldBlock(code) || Interrupted(code) || code == WSAECONNRESET)) return NET_RECV_TIMEOUT;
#else
        if (ready > 0 && (WouldBlock(code) || Interrupted(code) || code == ECONNREFUSED)) return NET_RECV_TIMEOUT;
#endif
        error = ErrorText(code);
        return NET_RECV_ERROR;
    }
    from = AddressText(address);
    received = static_cast<size_t>(got);
    return NET_RECV_DATA;
}

NetHandle NetTcpListen(const std::string& bindHost, uint16_t bindPort, std::string& error) {
    if (!NetStartup(error)) return NET_INVALID;
    addrinfo* list = nullptr;
    if (!Resolve(bindHost, bindPort, SOCK_STREAM, list, error)) return NET_INVALID;
    RawSocket found = RAW_INVALID;
    for (addrinfo* a = list; a && found == RAW_INVALID; a = a->ai_next) {
        RawSocket s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == RAW_INVALID) continue;
#ifndef _WIN32
        // A listener restarted soon after must not wait out TIME_WAIT.
        int on = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
#endif
        if (bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 || listen(s, 8) != 0 || !MakeNonBlocking(s)) {
            error = ErrorText(LastError());
            CloseRaw(s);
            continue;
        }
        found = s;
    }
    freeaddrinfo(list);
    return found == RAW_INVALID ? NET_INVALID : static_cast<NetHandle>(found);
}

NetHandle NetTcpAccept(NetHandle listener, int timeoutMs, std::string& from) {
    short revents = 0;
    if (WaitFor(Raw(listener), POLLIN, timeoutMs, revents) <= 0) return NET_INVALID;
    sockaddr_storage address;
    std::memset(&address, 0, sizeof address);
    socklen_t length = sizeof address;
    RawSocket s = accept(Raw(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (s == RAW_INVALID) return NET_INVALID;
    if (!MakeNonBlocking(s)) {
        CloseRaw(s);
        return NET_INVALID;
    }
    from = AddressText(address);
    return static_cast<NetHandle>(s);
}

int NetWaitReadable(const NetHandle* sockets, size_t count, int timeoutMs, bool* readable) {
    std::vector<pollfd> fds(count);
    for (size_t i = 0; i < count; ++i) {
        fds[i].fd = Raw(sockets[i]);
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    int ready;
    do {
        ready = PollSockets(fds.data(), static_cast<unsigned>(count), timeoutMs);
    } while (ready < 0 && Interrupted(LastError()));
    for (size_t i = 0; i < count; ++i) readable[i] = ready > 0 && fds[i].revents != 0;
    return ready;
}

uint16_t NetLocalPort(NetHandle socket) {
    sockaddr_storage address;
    socklen_t length = sizeof address;
    if (getsockname(Raw(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

std::string NetHostName() {
    std::string error;
    if (!NetStartup(error)) return std::string();
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return std::string();
    return name;
}
