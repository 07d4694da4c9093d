// tallydump --port: decoding a live serial line as the bytes arrive.
#pragma once
#include <cstddef>
#include <iosfwd>
#include <string>

#include "tools/tallydump/dump.h"

struct LiveOptions {
    std::string device;       // tty path, or COMn on Windows
    long baud = 115200;
    int dataBits = 8;
    std::string parity = "N"; // N, E, O, M or S
    int stopBits = 1;
    std::string capturePath;  // raw bytes received, when set
    size_t blockSize = READ_BUFFER_SIZE;
};

// Checks the line settings without touching the device; false with a message
// when they cannot be used.
bool LiveCheckSettings(const LiveOptions& options, std::string& error);

// Runs until Ctrl-C (SIGINT) or the device fails, then prints the final
// report of mode to out. Returns 0, 2 for an unusable device or settings
// (nothing written), 1 when the device failed while reading.
int LiveMonitor(const LiveOptions& options, DumpMode mode, std::ostream& out, std::ostream& err);
