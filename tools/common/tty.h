// Putting a serial device or pty into raw mode at given line settings, for
// the tools that read or write a tally line. POSIX only.
#pragma once
#include <string>

struct TtyLine {
    long baud = 115200;
    int dataBits = 8;   // 5 to 8
    char parity = 'N';  // N, E, O, M or S
    int stopBits = 1;   // 1 or 2
};

// True when this system has a way to ask a driver for the rate at all: a
// standard constant, or an arbitrary-rate interface. Whether the driver then
// takes it is only known once TtyConfigureRaw has read the settings back.
bool TtyRateSupported(long baud);

// Raw mode (no echo, no translation, no flow control, reads return at once)
// with the line settings, then reads them back. False with a one-line reason
// when the settings are impossible, the device is not a tty, or the driver
// did not take them; fd stays open either way.
bool TtyConfigureRaw(int fd, const TtyLine& line, std::string& error);

// "256000 8N1"
std::string TtyLineText(const TtyLine& line);
