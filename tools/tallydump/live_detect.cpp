// tallydump --detect: the Detect Settings scan over a POSIX tty (or, in the
// Windows build, a COM port through the application's own port adapter).
#include "tools/tallydump/live_detect.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "detect/scan.h"

#ifdef _WIN32
#include <windows.h>

#include "detect/win_port.h"
#else
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
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

std::atomic<bool> detectStop{false};
#ifdef _WIN32
volatile LONG detectCancel = 0;  // what the port adapter looks at
extern "C" void OnDetectSignal(int) {
    detectStop = true;
    detectCancel = 1;
}
#else
extern "C" void OnDetectSignal(int) { detectStop = true; }
#endif

struct Printer {
    std::ostream* out;
};

void PrintCandidate(void* context, const DetectOutcome& o, int index) {
    std::ostream& out = *static_cast<Printer*>(context)->out;
    const DetectCandidateResult& r = o.results[index];
    char setting[32], line[200];
    DetectSettingText(r.setting, setting, sizeof setting);
    if (!r.applied)
        std::snprintf(line, sizeof line, "%2d/%d  %-11s  refused by the driver", index + 1, o.total, setting);
    else if (!r.score.heard)
        std::snprintf(line, sizeof line, "%2d/%d  %-11s  no data  (%d ms)", index + 1, o.total, setting,
                      r.listenedMs);
    else
        std::snprintf(line, sizeof line,
                      "%2d/%d  %-11s  score %.2f  framed %3d %%  messages %u  bytes %u  line errors %u  "
                      "confidence %d %%  (%d ms)",
                      index + 1, o.total, setting, r.score.score, static_cast<int>(r.score.framedShare * 100),
                      r.score.messages, r.score.bytes, r.score.lineErrors,
                      static_cast<int>(r.score.confidence * 100), r.listenedMs);
    out << line << std::endl;
}

int Report(const DetectOutcome& o, std::ostream& out) {
    char text[160];
    DetectVerdictText(o, text, sizeof text);
    out << (o.verdict == DETECT_FOUND ? "found: " : "not found: ") << text;
    if (o.runnerUp >= 0) {
        char setting[32];
        DetectSettingText(o.results[o.runnerUp].setting, setting, sizeof setting);
        out << " (runner-up " << setting << ", score " << static_cast<int>(o.results[o.runnerUp].score.score * 100)
            << " %)";
    }
    out << "; " << o.count << " of " << o.total << " settings in " << o.elapsedMs / 1000.0 << " s\n";
    return o.verdict == DETECT_FOUND ? 0 : 1;
}

#ifndef _WIN32
int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The tty as the scan sees it. Line errors come from the driver's counters
// where it keeps them (real UARTs on Linux); a pty has none and no rate
// either, so on a pty every setting hears the same bytes.
struct TtyDetectPort {
    int fd;
    termios original;
    bool counted;
    uint32_t errorsSeen;
};

uint32_t LineErrorTotal(TtyDetectPort& p) {
#ifdef TIOCGICOUNT
    serial_icounter_struct counts;
    std::memset(&counts, 0, sizeof counts);
    if (ioctl(p.fd, TIOCGICOUNT, &counts) == 0) {
        p.counted = true;
        return static_cast<uint32_t>(counts.frame + counts.parity + counts.overrun + counts.buf_overrun + counts.brk);
    }
#endif
    p.counted = false;
    return 0;
}

DetectPort TtyPort(TtyDetectPort& tty) {
    DetectPort port;
    port.context = &tty;
    port.apply = [](void* c, const DetectSetting& s) -> int {
        TtyDetectPort& p = *static_cast<TtyDetectPort*>(c);
        TtyLine line;
        line.baud = s.baud;
        line.dataBits = s.dataBits;
        line.parity = s.parity;
        line.stopBits = s.stopBits;
        std::string why;
        if (!TtyConfigureRaw(p.fd, line, why)) return 0;
        tcflush(p.fd, TCIFLUSH);
        p.errorsSeen = LineErrorTotal(p);
        return 1;
    };
    port.listen = [](void* c, int maxMs, uint8_t* buffer, int capacity, int* got, uint32_t* errors,
                     int* elapsed) -> int {
        TtyDetectPort& p = *static_cast<TtyDetectPort*>(c);
        const int64_t start = NowMs();
        int have = 0;
        for (;;) {
            const int64_t left = start + maxMs - NowMs();
            if (left <= 0 || have >= capacity || detectStop) break;
            pollfd fds = {p.fd, POLLIN, 0};
            const int ready = poll(&fds, 1, static_cast<int>(left));
            if (ready < 0 && errno != EINTR) return 0;
            if (ready <= 0) continue;
            const ssize_t n = read(p.fd, buffer + have, static_cast<size_t>(capacity - have));
            if (n < 0 && errno != EAGAIN && errno != EINTR) return 0;
            if (n == 0 && (fds.revents & POLLHUP)) {
                // The other end of a pty is not open: the line is as good as silent.
                usleep(static_cast<useconds_t>(left > 20 ? 20000 : left * 1000));
                continue;
            }
            if (n > 0) have += static_cast<int>(n);
        }
        const uint32_t total = LineErrorTotal(p);
        *errors = p.counted ? total - p.errorsSeen : 0;
        p.errorsSeen = total;
        *got = have;
        *elapsed = static_cast<int>(NowMs() - start);
        return 1;
    };
    port.restore = [](void* c) -> int {
        TtyDetectPort& p = *static_cast<TtyDetectPort*>(c);
        return tcsetattr(p.fd, TCSANOW, &p.original) == 0;
    };
    port.cancelled = [](void*) -> int { return detectStop ? 1 : 0; };
    return port;
}
#endif

}  // namespace

int LiveDetect(const LiveOptions& o, std::ostream& out, std::ostream& err) {
#ifdef _WIN32
    const std::string path = "\\\\.\\" + o.device;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        err << "tallydump: cannot open " << o.device << " (error " << GetLastError() << ")\n";
        return 2;
    }
    DetectWinPort win;
    if (!DetectWinPortBegin(win, handle, &detectCancel)) {
        err << "tallydump: " << o.device << " is not a serial port\n";
        CloseHandle(handle);
        return 2;
    }
    const DetectPort port = DetectWinPortOps(win);
#else
    TtyDetectPort tty;
    tty.fd = open(o.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (tty.fd < 0) {
        err << "tallydump: cannot open " << o.device << ": " << std::strerror(errno) << "\n";
        return 2;
    }
    if (flock(tty.fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(tty.fd, &tty.original) != 0) {
        err << "tallydump: " << o.device << " is busy or not a serial device\n";
        close(tty.fd);
        return 2;
    }
    ioctl(tty.fd, TIOCEXCL);
    tty.counted = false;
    tty.errorsSeen = 0;
    const DetectPort port = TtyPort(tty);
#endif
    detectStop = false;
    auto previousInt = std::signal(SIGINT, OnDetectSignal);
    auto previousTerm = std::signal(SIGTERM, OnDetectSignal);
    err << "tallydump: detecting the settings of " << o.device << ", Ctrl-C to stop\n";
    std::unique_ptr<DetectOutcome> outcome(new DetectOutcome);
    Printer printer = {&out};
    DetectScan(port, nullptr, 0, DetectLimits(), *outcome, PrintCandidate, &printer);
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
#ifdef _WIN32
    CloseHandle(handle);
#else
    close(tty.fd);
#endif
    const int status = Report(*outcome, out);
    out.flush();
    return status;
}
