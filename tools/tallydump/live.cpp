// tallydump --port: open and configure a serial line exclusively, decode what
// arrives, optionally capture it raw, show a monitor line, and stop cleanly
// on Ctrl-C or SIGTERM.
#include "tools/tallydump/live.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "serial/modem_lines.h"
#include "tools/common/interrupt.h"
#include "tools/tallydump/publish.h"
#include "tools/tallydump/tsl_live.h"
#include "tools/tallydump/recorded.h"
#include "tools/tallydump/watch_dump.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include "tools/common/tty.h"
#endif

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The application's rates (PORT_BAUD_RATES) and the fast ones USB adapters
// and this tool's pseudo-terminal tests use.
const long FAST_BAUDS[] = {230400, 460800};
bool IsStandardBaud(long baud) {
    for (long long b : PORT_BAUD_RATES)
        if (b == baud) return true;
    for (long b : FAST_BAUDS)
        if (b == baud) return true;
    return false;
}

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

// The driver's running totals of UART errors; false where there are none
// (pseudo-terminals, and systems without the request).
bool ReadLineCounts(int fd, LineErrors& counts) {
#if defined(__linux__) && defined(TIOCGICOUNT)
    serial_icounter_struct icount;
    std::memset(&icount, 0, sizeof icount);
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) return false;
    counts.available = true;
    counts.framing = static_cast<uint32_t>(icount.frame);
    counts.parity = static_cast<uint32_t>(icount.parity);
    counts.overrun = static_cast<uint32_t>(icount.overrun);
    counts.bufferOverrun = static_cast<uint32_t>(icount.buf_overrun);
    counts.breaks = static_cast<uint32_t>(icount.brk);
    return true;
#else
    (void)fd;
    (void)counts;
    return false;
#endif
}
#endif

std::string LineErrorsText(const LineErrors& line) {
    if (!line.available) return "line errors: not reported by this device's driver (a pseudo-terminal has no UART)\n";
    char text[200];
    std::snprintf(text, sizeof text,
                  "line errors: framing %llu, parity %llu, overrun %llu, buffer overflow %llu, break %llu\n",
                  static_cast<unsigned long long>(line.framing), static_cast<unsigned long long>(line.parity),
                  static_cast<unsigned long long>(line.overrun),
                  static_cast<unsigned long long>(line.bufferOverrun),
                  static_cast<unsigned long long>(line.breaks));
    return text;
}

// Where the driver has TIOCMIWAIT (real UARTs and most USB adapters; a pty
// has no modem lines at all), a thread of its own sleeps in it and reads the
// lines the moment one changes, so that a pulse shorter than the 100 ms poll
// is seen and stamped when it happened. The main loop takes the readings in
// order; polling goes on beside it for drivers that lack the request.
#if !defined(_WIN32) && defined(__linux__) && defined(TIOCMIWAIT)
#define QV_MODEM_WAITER 1
void WakeOnly(int) {}

class ModemWaiter {
public:
    struct Reading {
        uint32_t lines;
        uint64_t timeUs;
    };
    explicit ModemWaiter(int fd) : fd_(fd) {
        // SIGUSR1 without SA_RESTART interrupts the wait when the monitor ends.
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = WakeOnly;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, nullptr);
        thread_ = std::thread([this] { Run(); });
    }
    ~ModemWaiter() {
        stop_.store(true);
        // Sent again until the thread has left the wait (it may not have
        // entered it when the first signal came); bounded at 2 s.
        for (int i = 0; i < 200 && !done_.load(); ++i) {
            pthread_kill(thread_.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (done_.load()) thread_.join();
        else thread_.detach();
    }
    void Take(std::vector<Reading>& out) {
        out.clear();
        std::lock_guard<std::mutex> held(lock_);
        out.swap(readings_);
    }

private:
    void Run() {
        while (!stop_.load()) {
            if (ioctl(fd_, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG) != 0) {
                if (errno == EINTR) continue;
                break;  // the driver has no such request: polling alone
            }
            int bits = 0;
            if (ioctl(fd_, TIOCMGET, &bits) != 0) break;
            const uint32_t lines = ((bits & TIOCM_CTS) ? MODEM_CTS : 0) | ((bits & TIOCM_DSR) ? MODEM_DSR : 0) |
                                   ((bits & TIOCM_CAR) ? MODEM_DCD : 0) | ((bits & TIOCM_RNG) ? MODEM_RI : 0);
            std::lock_guard<std::mutex> held(lock_);
            if (readings_.size() < 1024) readings_.push_back({lines, RecordingNowUs()});
        }
        done_.store(true);
    }
    int fd_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    std::mutex lock_;
    std::vector<Reading> readings_;
};
#endif

}  // namespace

#ifndef _WIN32
// tallydump --watch --port opens the device the same way.
int LiveOpenDevice(const LiveOptions& o, std::string& error) { return OpenDevice(o, error); }
#endif

bool LiveBaudAccepted(long baud) {
    bool known = IsStandardBaud(baud);
#ifndef _WIN32
    known = known && TtyRateSupported(baud);
#endif
    return known;
}

std::string LiveBaudList() {
    std::string list;
    // In numeric order, as the help has always listed them.
    std::vector<long> rates(std::begin(PORT_BAUD_RATES), std::end(PORT_BAUD_RATES));
    rates.insert(rates.end(), std::begin(FAST_BAUDS), std::end(FAST_BAUDS));
    std::sort(rates.begin(), rates.end());
    for (long b : rates) list += (list.empty() ? "" : ", ") + std::to_string(b);
    return list;
}

bool LiveCaptureIsRecording(const std::string& path) {
    return path.size() > 5 && path.compare(path.size() - 5, 5, ".pcap") == 0;
}

bool LiveCheckSettings(const LiveOptions& o, std::string& error) {
    if (!LiveBaudAccepted(o.baud)) {
        error = "--baud " + std::to_string(o.baud) + ": not a rate tallydump sets (" + LiveBaudList() + ")";
        return false;
    }
    if (o.dataBits < 5 || o.dataBits > 8) {
        error = "--data-bits " + std::to_string(o.dataBits) + ": unsupported (5 to 8)";
        return false;
    }
    if (o.parity.size() != 1 || std::string("NEOMS").find(o.parity[0]) == std::string::npos) {
        error = "--parity " + o.parity + ": unsupported parity (N, E, O, M or S)";
        return false;
    }
#if !defined(_WIN32) && !defined(CMSPAR)
    if (o.parity == "M" || o.parity == "S") {
        error = "--parity " + o.parity + ": mark and space parity are not available here";
        return false;
    }
#endif
    if (o.stopBits != 1 && o.stopBits != 2) {
        error = "--stop-bits " + std::to_string(o.stopBits) + ": unsupported (1 or 2)";
        return false;
    }
    return true;
}

std::string LiveMonitorLine(const StatusTexts& t, uint64_t framingNow, uint64_t framingTotal,
                            const LineErrors& line, uint32_t modemLines) {
    std::string text = t.link + " | " + t.bytes + " | " + t.rate + " | " + t.framing;
    // A counter reset (from the switcher, or found in noise) set the counters
    // back; the errors before it still happened.
    if (framingTotal != framingNow) text += " (" + std::to_string(framingTotal) + " since start)";
    text += " | ";
    text += line.available ? t.line : std::string("Line errors n/a");
    if (modemLines & MODEM_LINES_KNOWN) text += " | " + ModemLinesText(modemLines);
    return text;
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
    LineErrors lineErrors;
    lineErrors.available = true;  // ClearCommError reports the UART's error bits
    auto readSome = [&](uint8_t* buffer, size_t size, bool& failed) -> size_t {
        DWORD got = 0;
        failed = ReadFile(port, buffer, static_cast<DWORD>(size), &got, nullptr) == 0;
        DWORD errors = 0;
        if (ClearCommError(port, &errors, nullptr)) {
            lineErrors.framing += (errors & CE_FRAME) != 0;
            lineErrors.parity += (errors & CE_RXPARITY) != 0;
            lineErrors.overrun += (errors & CE_OVERRUN) != 0;
            lineErrors.bufferOverrun += (errors & CE_RXOVER) != 0;
            lineErrors.breaks += (errors & CE_BREAK) != 0;
        }
        return got;
    };
    auto updateLineErrors = [] {};
    auto closeDevice = [&] { CloseHandle(port); };
    auto readModem = [&](uint32_t& lines) {
        DWORD status = 0;
        if (!GetCommModemStatus(port, &status)) return false;
        lines = status & MODEM_LINES;
        return true;
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
    // The driver's totals run from boot: the monitor shows what came since it started.
    LineErrors lineErrors, lineBase;
    ReadLineCounts(fd, lineBase);
    auto updateLineErrors = [&] {
        LineErrors now;
        if (!ReadLineCounts(fd, now)) return;
        lineErrors = now;
        lineErrors.framing -= lineBase.framing;
        lineErrors.parity -= lineBase.parity;
        lineErrors.overrun -= lineBase.overrun;
        lineErrors.bufferOverrun -= lineBase.bufferOverrun;
        lineErrors.breaks -= lineBase.breaks;
    };
    updateLineErrors();
#ifdef QV_MODEM_WAITER
    // Declared before closeDevice, which ends it before the descriptor goes.
    std::unique_ptr<ModemWaiter> modemWaiter;
    auto closeDevice = [&] {
        modemWaiter.reset();
        close(fd);
    };
#else
    auto closeDevice = [&] { close(fd); };
#endif
    // TIOCMGET: a pty has no modem lines and refuses it.
    auto readModem = [&](uint32_t& lines) {
        int bits = 0;
        if (ioctl(fd, TIOCMGET, &bits) != 0) return false;
        lines = ((bits & TIOCM_CTS) ? MODEM_CTS : 0) | ((bits & TIOCM_DSR) ? MODEM_DSR : 0) |
                ((bits & TIOCM_CAR) ? MODEM_DCD : 0) | ((bits & TIOCM_RNG) ? MODEM_RI : 0);
        return true;
    };
#ifdef QV_MODEM_WAITER
    {
        uint32_t lines = 0;
        if (readModem(lines)) modemWaiter.reset(new ModemWaiter(fd));
    }
#endif
#endif
    // Only now that the device is ours is the capture file created: a
    // recording when its name ends in .pcap, raw bytes otherwise; both under
    // the same overwrite rules.
    int capture = -1;
    if (!o.capturePath.empty()) {
        capture = OutputOpen(o.capturePath, o.capturePolicy, error);
        if (capture < 0) {
            err << "tallydump: --capture " << error << "\n";
            closeDevice();
            return 2;
        }
    }
    DumpSession session;
    DumpSessionInit(session, mode == DUMP_TRACE ? &out : nullptr);
    LiveRecording recording;
    const bool recorded = capture >= 0 && LiveCaptureIsRecording(o.capturePath);
    if (recorded) {
        // The recording writes through stdio; the descriptor is its from here on.
#ifdef _WIN32
        FILE* file = _fdopen(capture, "wb");
#else
        FILE* file = fdopen(capture, "wb");
#endif
        const std::string connectText = o.device + " " + std::to_string(o.baud) + " " + std::to_string(o.dataBits) +
                                        o.parity + std::to_string(o.stopBits);
        if (!file) OutputClose(capture);
        capture = -1;
        error.clear();
        if (!file || !LiveRecordingStart(recording, session, file, connectText, error)) {
            err << "tallydump: --capture " << o.capturePath << ": cannot write the recording"
                << (error.empty() ? std::string() : ": " + error) << "\n";
            closeDevice();
            return 2;
        }
    }
    InterruptInstall();

    session.clockMs = NowMs;
    session.traceStartMs = NowMs();
    session.traceTime = o.traceTime;
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
    StatusTracker tracker;
    StatusTexts texts;
    // --mqtt: the tally as it changes, the link with the monitor line's figures.
    auto publish = [&](MqttLinkPublisher& publisher, bool final) {
        publisher.UpdateTally(*session.store, NowMs(), final);
        if (texts.link.empty()) return;
        publisher.UpdateLink(DumpLinkReport(session, texts.link, std::strtod(texts.rate.c_str(), nullptr),
                                            lineErrors.available, lineErrors.Sum()),
                             NowMs(), final);
    };
    uint32_t lastByteTick = 0;
    int64_t nextLive = NowMs() + 500;
    size_t shownLength = 0;
    DumpEnd end = DUMP_END_STOPPED;
    uint64_t captured = 0;
    // The modem lines, read at most every 100 ms (and at once on a change
    // where a waiter sleeps in the driver): each change or break is a trace
    // line and a `modem` record of a recording.
    ModemWatch modem;
    uint32_t modemLines = 0;
    int64_t nextModem = 0;
    uint64_t breaksSeen = lineErrors.breaks;
    auto takeModem = [&](uint32_t lines, uint64_t timeUs) {
        modemLines = lines | MODEM_LINES_KNOWN;
        const bool broke = lineErrors.breaks > breaksSeen;
        breaksSeen = lineErrors.breaks;
        const uint32_t code = recorded ? LiveRecordingModem(recording, modem, lines, broke, timeUs)
                                       : ModemWatchUpdate(modem, lines, broke);
        if (code && mode == DUMP_TRACE) {
            out << "modem " << ModemCodeText(code) << '\n';
            out.flush();
        }
    };
#ifdef QV_MODEM_WAITER
    std::vector<ModemWaiter::Reading> waited;
#endif
    auto checkModem = [&] {
#ifdef QV_MODEM_WAITER
        if (modemWaiter) {
            modemWaiter->Take(waited);
            for (const ModemWaiter::Reading& r : waited) takeModem(r.lines, r.timeUs);
        }
#endif
        if (NowMs() < nextModem) return;
        nextModem = NowMs() + 100;
        uint32_t lines = 0;
        if (!readModem(lines)) return;
        updateLineErrors();
        takeModem(lines, RecordingNowUs());
    };
    while (!InterruptSignal()) {
        checkModem();
        bool failed = false;
        const size_t got = readSome(buffer.data(), buffer.size(), failed);
        // A change met while waiting for the read goes before its bytes.
        if (got) checkModem();
        if (failed) {
            if (InterruptSignal()) break;
            err << (interactive ? "\n" : "") << "tallydump: reading " << o.device
                << " failed: " << std::strerror(errno) << "\n";
            end = DUMP_END_READ_FAILED;
            break;
        }
        if (got) {
            lastByteTick = static_cast<uint32_t>(NowMs());
            if (recorded) {
                if (!LiveRecordingFeed(recording, buffer.data(), got)) {
                    if (mode == DUMP_TRACE) out.flush();
                    err << (interactive ? "\n" : "") << "tallydump: writing " << o.capturePath
                        << " failed; stopped, the records written so far are kept\n";
                    end = DUMP_END_WRITE_FAILED;
                    break;
                }
            } else {
                DumpFeed(session, buffer.data(), got);
            }
            if (mode == DUMP_TRACE) out.flush();
            if (capture >= 0) {
                if (!OutputWrite(capture, buffer.data(), got, error)) {
                    err << (interactive ? "\n" : "") << "tallydump: writing " << o.capturePath << " failed: "
                        << error << "; stopped, the first " << captured << " bytes are kept\n";
                    end = DUMP_END_WRITE_FAILED;
                    break;
                }
                captured += got;
            }
        }
        MqttLinkPublisher* publisher = LivePublisher();
        if ((mode != DUMP_TRACE || publisher) && NowMs() >= nextLive) {
            updateLineErrors();
            const StatusInput in{true,
                                 session.bytesFed,
                                 lastByteTick,
                                 static_cast<uint32_t>(NowMs()),
                                 DumpStoredCount(session),
                                 DumpFramingErrors(session),
                                 lineErrors.Sum()};
            texts = tracker.Update(in);
            if (mode != DUMP_TRACE) {
                std::string line = LiveMonitorLine(texts, DumpFramingErrors(session), DumpFramingTotal(session),
                                                   lineErrors, modemLines);
                if (publisher) line += " | " + publisher->StatusText();
                if (interactive) {
                    // Blank out what a longer previous line left behind.
                    const size_t length = line.size();
                    if (length < shownLength) line.append(shownLength - length, ' ');
                    shownLength = length;
                    err << '\r' << line;
                } else {
                    err << line << '\n';
                }
                err.flush();
            }
            nextLive += 500;
            if (nextLive < NowMs()) nextLive = NowMs() + 500;
        }
        if (publisher) publish(*publisher, false);
        if (TslLive* tsl = LiveTsl()) tsl->Update(*session.store, NowMs(), out, err);
    }
    closeDevice();
    if (capture >= 0) OutputClose(capture);
    if (recorded && !LiveRecordingStop(recording)) {
        err << (interactive ? "\n" : "") << "tallydump: writing " << o.capturePath << " failed\n";
        if (end != DUMP_END_READ_FAILED) end = DUMP_END_WRITE_FAILED;
    }
    updateLineErrors();
    if (MqttLinkPublisher* publisher = LivePublisher()) publish(*publisher, true);
    if (interactive && mode != DUMP_TRACE) err << "\n";
    if (session.dropped)
        err << "tallydump: " << session.dropped << " bytes dropped (frame buffer full); the report is incomplete\n";
    if (LiveTsl() && LiveTsl()->Comparing()) {
        // The divergences were the report.
    } else if (mode == DUMP_JSON) {
        nlohmann::json json = DumpJson(session, end);
        if (lineErrors.available)
            json["lineErrors"] = {{"framing", lineErrors.framing},
                                  {"parity", lineErrors.parity},
                                  {"overrun", lineErrors.overrun},
                                  {"bufferOverflow", lineErrors.bufferOverrun},
                                  {"break", lineErrors.breaks}};
        else
            json["lineErrors"] = nullptr;
        out.clear();
        out << json.dump() << '\n';
        out.flush();
    } else if (mode == DUMP_ON_AIR) {
        DumpReport(session, DUMP_ON_AIR, end, out);
    } else {
        DumpReport(session, DUMP_SUMMARY, end, out);
        out << LineErrorsText(lineErrors);
        out.flush();
    }
    return DumpExitStatus(session, end, 0);
}
