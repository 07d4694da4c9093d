// Raw line setup shared by tallydump --port and tallysim --output.
#include "tools/common/tty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include "tools/common/tty_rate.h"
#endif

namespace {

// The standard rate constants this system defines.
bool StandardSpeed(long baud, speed_t& speed) {
    static const struct {
        long baud;
        speed_t speed;
    } table[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
#ifdef B57600
        {57600, B57600},
#endif
#ifdef B115200
        {115200, B115200},
#endif
#ifdef B230400
        {230400, B230400},
#endif
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B500000
        {500000, B500000},
#endif
#ifdef B576000
        {576000, B576000},
#endif
#ifdef B921600
        {921600, B921600},
#endif
#ifdef B1000000
        {1000000, B1000000},
#endif
#ifdef B1152000
        {1152000, B1152000},
#endif
#ifdef B1500000
        {1500000, B1500000},
#endif
#ifdef B2000000
        {2000000, B2000000},
#endif
#ifdef B2500000
        {2500000, B2500000},
#endif
#ifdef B3000000
        {3000000, B3000000},
#endif
#ifdef B3500000
        {3500000, B3500000},
#endif
#ifdef B4000000
        {4000000, B4000000},
#endif
    };
    for (const auto& entry : table)
        if (entry.baud == baud) {
            speed = entry.speed;
            return true;
        }
    return false;
}

// Where speed_t is the rate itself (the BSDs), any rate can be handed over.
constexpr bool NUMERIC_SPEEDS = B9600 == 9600 && B38400 == 38400;

// Rates away from the request by no more than a UART tolerates between two
// ends (the driver may report the rate it could actually make).
bool CloseEnough(long actual, long wanted) {
    return std::labs(actual - wanted) * 100 <= wanted * 2;
}

tcflag_t SizeFlag(int dataBits) {
    return dataBits == 5 ? CS5 : dataBits == 6 ? CS6 : dataBits == 7 ? CS7 : CS8;
}

// The character-format bits asked for and read back.
tcflag_t FormatMask() {
    tcflag_t mask = CSIZE | CSTOPB | PARENB | PARODD;
#ifdef CMSPAR
    mask |= CMSPAR;
#endif
    return mask;
}

}  // namespace

bool TtyRateSupported(long baud) {
    speed_t speed;
    if (baud <= 0) return false;
#ifdef __linux__
    (void)speed;
    return true;  // termios2
#else
    return NUMERIC_SPEEDS || StandardSpeed(baud, speed);
#endif
}

std::string TtyLineText(const TtyLine& line) {
    return std::to_string(line.baud) + " " + std::to_string(line.dataBits) + line.parity +
           std::to_string(line.stopBits);
}

bool TtyConfigureRaw(int fd, const TtyLine& line, std::string& error) {
    if (line.baud <= 0) {
        error = "impossible baud rate " + std::to_string(line.baud);
        return false;
    }
    if (!TtyRateSupported(line.baud)) {
        error = "this system cannot set " + std::to_string(line.baud) + " baud";
        return false;
    }
    if (line.dataBits < 5 || line.dataBits > 8) {
        error = "unsupported data bits " + std::to_string(line.dataBits) + " (5 to 8)";
        return false;
    }
    if (line.parity == '\0' || std::strchr("NEOMS", line.parity) == nullptr) {
        error = std::string("unsupported parity ") + line.parity + " (N, E, O, M or S)";
        return false;
    }
#ifndef CMSPAR
    if (line.parity == 'M' || line.parity == 'S') {
        error = "mark and space parity are not available here";
        return false;
    }
#endif
    if (line.stopBits != 1 && line.stopBits != 2) {
        error = "unsupported stop bits " + std::to_string(line.stopBits) + " (1 or 2)";
        return false;
    }

    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        error = std::string("not a serial device: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(FormatMask() | CRTSCTS);
    tio.c_cflag |= SizeFlag(line.dataBits);
    if (line.stopBits == 2) tio.c_cflag |= CSTOPB;
    if (line.parity != 'N') tio.c_cflag |= PARENB;
    if (line.parity == 'O' || line.parity == 'M') tio.c_cflag |= PARODD;
#ifdef CMSPAR
    if (line.parity == 'M' || line.parity == 'S') tio.c_cflag |= CMSPAR;
#endif
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    speed_t speed = 0;
    const bool standard = StandardSpeed(line.baud, speed);
    if (standard) {
#ifdef CIBAUD
        tio.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);  // input follows output
#endif
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    } else if (NUMERIC_SPEEDS) {
        cfsetispeed(&tio, static_cast<speed_t>(line.baud));
        cfsetospeed(&tio, static_cast<speed_t>(line.baud));
    }
    // Otherwise the rate is left as it is here and set on its own below.
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = std::string("the driver refused the settings: ") + std::strerror(errno);
        return false;
    }
#ifdef __linux__
    if (!standard) {
        const int code = TtyLinuxSetRate(fd, line.baud);
        if (code != 0) {
            error = "the driver refused " + std::to_string(line.baud) + " baud: " + std::strerror(code);
            return false;
        }
    }
#endif

    // Read back: a driver may drop what it cannot do without failing the call.
    termios applied;
    if (tcgetattr(fd, &applied) != 0) {
        error = std::string("cannot read the settings back: ") + std::strerror(errno);
        return false;
    }
    if ((applied.c_cflag & FormatMask()) != (tio.c_cflag & FormatMask())) {
        error = "the driver did not take " + std::to_string(line.dataBits) + line.parity +
                std::to_string(line.stopBits);
        return false;
    }
    long inputBaud = 0, outputBaud = 0;
#ifdef __linux__
    const int code = TtyLinuxGetRates(fd, inputBaud, outputBaud);
    if (code != 0) {
        error = std::string("cannot read the line rate back: ") + std::strerror(code);
        return false;
    }
#else
    if (standard) {
        const bool same = cfgetispeed(&applied) == speed && cfgetospeed(&applied) == speed;
        inputBaud = outputBaud = same ? line.baud : 0;
    } else {
        inputBaud = static_cast<long>(cfgetispeed(&applied));
        outputBaud = static_cast<long>(cfgetospeed(&applied));
    }
#endif
    const bool rateTaken = standard ? inputBaud == line.baud && outputBaud == line.baud
                                    : CloseEnough(inputBaud, line.baud) && CloseEnough(outputBaud, line.baud);
    if (!rateTaken) {
        error = "the driver did not take " + std::to_string(line.baud) + " baud (it has " +
                std::to_string(outputBaud) +
                (inputBaud == outputBaud ? std::string() : " out, " + std::to_string(inputBaud) + " in") + ")";
        return false;
    }
    return true;
}
