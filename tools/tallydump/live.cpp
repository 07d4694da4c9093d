// tallydump --port: open and configure a serial line exclusively, decode what
// arrives, optionally capture it raw, and stop cleanly on Ctrl-C.
#include "tools/tallydump/live.h"

#include "tools/tallydump/recorded.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "tools/common/tty.h"
#endif

namespace {

std::atomic<bool> liveStop{false};
extern "C" void OnLiveSignal(int) { liveStop = true; }

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The rates the application offers, plus the two fast ones adapters commonly
// reach; tallydump stays within them.
const long STANDARD_BAUDS[] = {110,   300,   600,    1200,   2400,   4800,   9600,  14400,
                               19200, 38400, 57600, 115200, 230400, 256000, 460800};

#ifndef _WIN32
// The device, opened, locked against a second reader and in raw mode.
int OpenDevice(const LiveOptions& o, std::string& error) {
    const int fd = open(o.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) error = "no such device: " + o.device;
        else if (errno == EBUSY) error = o.device + " is busy (open in another program)";
        else error = "cannot open " + o.device + ": " + std::strerror(errno);
        return -1;
    }
    // flock catches another monitor even when we run as root (who may ignore
    // TIOCEXCL); TIOCEXCL keeps out programs that do not lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = o.device + " is busy (open in another program)";
        close(fd);
        return -1;
    }
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        error = o.device + " is not a serial device: " + std::strerror(errno);
        close(fd);
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    TtyLine line;
    line.baud = o.baud;
    line.dataBits = o.dataBits;
    line.parity = o.parity[0];
    line.stopBits = o.stopBits;
    std::string why;
    if (!TtyConfigureRaw(fd, line, why)) {
        error = o.device + " does not accept " + TtyLineText(line) + ": " + why;
        close(fd);
        return -1;
    }
    tcflush(fd, TCIFLUSH);
    return fd;
}
#endif

}  // namespace

bool LiveCheckSettings(const LiveOptions& o, std::string& error) {
    const std::string settings =
        std::to_string(o.baud) + " " + std::to_string(o.dataBits) + o.parity + std::to_string(o.stopBits);
    bool baudKnown = false;
    for (long b : STANDARD_BAUDS) baudKnown = baudKnown || b == o.baud;
#ifndef _WIN32
    baudKnown = baudKnown && TtyRateSupported(o.baud);
#endif
    if (!baudKnown) {
        error = "unsupported baud rate " + std::to_string(o.baud);
        return false;
    }
    if (o.dataBits < 5 || o.dataBits > 8) {
        error = "unsupported data bits " + std::to_string(o.dataBits) + " (5 to 8)";
        return false;
    }
    if (o.parity.size() != 1 || std::string("NEOMS").find(o.parity[0]) == std::string::npos) {
        error = "unsupported parity " + o.parity + " (N, E, O, M or S)";
        return false;
    }
#if !defined(_WIN32) && !defined(CMSPAR)
    if (o.parity == "M" || o.parity == "S") {
        error = "mark and space parity are not available here";
        return false;
    }
#endif
    if (o.stopBits != 1 && o.stopBits != 2) {
        error = "unsupported stop bits " + std::to_string(o.stopBits) + " (1 or 2)";
        return false;
    }
    (void)settings;
    return true;
}

#ifdef _WIN32
int LiveMonitor(const LiveOptions& o, DumpMode mode, std::ostream& out, std::ostream& err) {
    std::string error;
    if (!LiveCheckSettings(o, error)) {
        err << "tallydump: " << error << "\n";
        return 2;
    }
    const std::string path = "\\\\.\\" + o.device;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION)
            err << "tallydump: " << o.device << " is busy (open in another program)\n";
        else if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            err << "tallydump: no such device: " << o.device << "\n";
        else
            err << "tallydump: cannot open " << o.device << " (error " << code << ")\n";
        return 2;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 100, 0, 0};  // return what is there, wait at most 100 ms
    bool ok = GetCommState(port, &dcb) != 0;
    if (ok) {
        dcb.BaudRate = static_cast<DWORD>(o.baud);
        dcb.ByteSize = static_cast<BYTE>(o.dataBits);
        const char p = o.parity[0];
        dcb.Parity = p == 'E' ? EVENPARITY : p == 'O' ? ODDPARITY : p == 'M' ? MARKPARITY
                                                    : p == 'S' ? SPACEPARITY : NOPARITY;
        dcb.fParity = p != 'N';
        dcb.StopBits = o.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = dcb.fInX = FALSE;
        ok = SetCommState(port, &dcb) != 0 && SetCommTimeouts(port, &timeouts) != 0;
    }
    if (!ok) {
        err << "tallydump: " << o.device << " does not accept " << o.baud << " " << o.dataBits << o.parity
            << o.stopBits << "\n";
        CloseHandle(port);
        return 2;
    }
    auto readSome = [&](uint8_t* buffer, size_t size, bool& failed) -> size_t {
        DWORD got = 0;
        failed = ReadFile(port, buffer, static_cast<DWORD>(size), &got, nullptr) == 0;
        return got;
    };
#else
int LiveMonitor(const LiveOptions& o, DumpMode mode, std::ostream& out, std::ostream& err) {
    std::string error;
    if (!LiveCheckSettings(o, error)) {
        err << "tallydump: " << error << "\n";
        return 2;
    }
    const int fd = OpenDevice(o, error);
    if (fd < 0) {
        err << "tallydump: " << error << "\n";
        return 2;
    }
    auto readSome = [&](uint8_t* buffer, size_t size, bool& failed) -> size_t {
        failed = false;
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, 100);
        if (ready <= 0) {
            failed = ready < 0 && errno != EINTR;
            return 0;
        }
        const ssize_t got = read(fd, buffer, size);
        if (got < 0) {
            failed = errno != EAGAIN && errno != EINTR;
            return 0;
        }
        // POLLHUP with nothing to read: the other end has gone.
        failed = got == 0 && (p.revents & POLLHUP);
        if (failed) errno = EIO;
        return static_cast<size_t>(got);
    };
#endif
    DumpSession session;
    DumpSessionInit(session, mode == DUMP_TRACE ? &out : nullptr);
    // Only now that the device is ours is the capture file created: a
    // recording when its name ends in .pcap, raw bytes otherwise.
    std::ofstream capture;
    LiveRecording recording;
    const std::string& capturePath = o.capturePath;
    const bool recorded = capturePath.size() > 5 && capturePath.compare(capturePath.size() - 5, 5, ".pcap") == 0;
    if (!capturePath.empty()) {
        std::string why = "cannot create " + capturePath;
        bool created;
        if (recorded) {
            created = LiveRecordingStart(recording, session, capturePath,
                                         o.device + " " + std::to_string(o.baud) + " " + std::to_string(o.dataBits) +
                                             o.parity + std::to_string(o.stopBits),
                                         why);
        } else {
            capture.open(capturePath, std::ios::binary | std::ios::trunc);
            created = static_cast<bool>(capture);
        }
        if (!created) {
            err << "tallydump: " << why << "\n";
#ifdef _WIN32
            CloseHandle(port);
#else
            close(fd);
#endif
            return 2;
        }
    }
    liveStop = false;
    auto previousInt = std::signal(SIGINT, OnLiveSignal);
    auto previousTerm = std::signal(SIGTERM, OnLiveSignal);

    session.clockMs = NowMs;
    session.traceStartMs = NowMs();
    const bool interactive =
#ifdef _WIN32
        false;
#else
        isatty(STDERR_FILENO) != 0;
#endif
    if (mode != DUMP_TRACE)
        err << "tallydump: monitoring " << o.device << " at " << o.baud << " " << o.dataBits << o.parity
            << o.stopBits << ", Ctrl-C to stop\n";
    std::vector<uint8_t> buffer(o.blockSize ? o.blockSize : 1);
    int64_t nextLive = NowMs() + 500;
    int status = 0;
    while (!liveStop) {
        bool failed = false;
        const size_t got = readSome(buffer.data(), buffer.size(), failed);
        if (failed) {
            if (liveStop) break;
            err << "\ntallydump: reading " << o.device << " failed: " << std::strerror(errno) << "\n";
            status = 1;
            break;
        }
        if (got) {
            if (capture.is_open()) capture.write(reinterpret_cast<const char*>(buffer.data()),
                                                 static_cast<std::streamsize>(got));
            if (recorded) LiveRecordingFeed(recording, buffer.data(), got);
            else DumpFeed(session, buffer.data(), got);
            if (mode == DUMP_TRACE) out.flush();
        }
        if (mode != DUMP_TRACE && NowMs() >= nextLive) {
            err << (interactive ? "\r" : "") << DumpLiveLine(session) << (interactive ? "" : "\n");
            err.flush();
            nextLive += 500;
            if (nextLive < NowMs()) nextLive = NowMs() + 500;
        }
    }
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
#ifdef _WIN32
    CloseHandle(port);
#else
    close(fd);
#endif
    if (recorded && !LiveRecordingStop(recording)) {
        err << "tallydump: writing " << o.capturePath << " failed\n";
        status = 1;
    }
    if (capture.is_open()) {
        capture.close();
        if (!capture) {
            err << "tallydump: writing " << o.capturePath << " failed\n";
            status = 1;
        }
    }
    if (interactive && mode != DUMP_TRACE) err << "\n";
    if (mode == DUMP_JSON)
        out << DumpJson(session).dump() << '\n';
    else if (mode == DUMP_ON_AIR)
        out << DumpOnAirJson(session).dump() << '\n';
    else
        out << DumpSummary(session);
    out.flush();
    return status;
}
