// tallydump --port: decoding a live serial line as the bytes arrive, with a
// monitor line like the application's status bar.
#pragma once
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "config/session_config.h"
#include "serial/status_core.h"
#include "tools/common/files.h"
#include "tools/tallydump/dump.h"

struct LiveOptions {
    std::string device;       // tty path, or COMn on Windows
    // The application's defaults (PortSettings), in the tool's own terms.
    long baud = PortSettings().baudRate;
    int dataBits = PortSettings().dataBits;
    std::string parity = "N"; // N, E, O, M or S
    int stopBits = 1;
    std::string capturePath;  // raw bytes received, or a recording (.pcap), when set
    FilePolicy capturePolicy = FILE_NEW;
    size_t blockSize = READ_BUFFER_SIZE;
    TraceTime traceTime = TRACE_TIME_START;
};

// The rates tallydump sets: those the application offers plus the fast ones
// adapters commonly reach.
bool LiveBaudAccepted(long baud);
// "110, 300, ... 460800"
std::string LiveBaudList();

// True when a --capture name asks for a recording (it ends in .pcap).
bool LiveCaptureIsRecording(const std::string& path);

// Checks the line settings without touching the device; false with a message
// when they cannot be used.
bool LiveCheckSettings(const LiveOptions& options, std::string& error);

// UART line errors since the monitor started, where the driver counts them.
struct LineErrors {
    bool available = false;  // false: the driver reports none (a pty has no UART)
    uint64_t framing = 0, parity = 0, overrun = 0, bufferOverrun = 0, breaks = 0;
    uint64_t Sum() const { return framing + parity + overrun + bufferOverrun + breaks; }
};

// The monitor line: the status bar's link state, bytes, message rate and
// framing errors (with the total since start when a counter reset hid some),
// and the line errors or "n/a" where the driver has none.
// With modemLines (serial/modem_lines.h bits, MODEM_LINES_KNOWN set once
// read) also the modem lines, "CTS dsr DCD ri", upper case on.
std::string LiveMonitorLine(const StatusTexts& texts, uint64_t framingNow, uint64_t framingTotal,
                            const LineErrors& line, uint32_t modemLines = 0);

// Runs until Ctrl-C or SIGTERM, the device fails or the capture cannot be
// written, then prints the final report of mode to out. Returns 0 after a
// stop, 2 for an unusable device, settings or capture (nothing written), 1
// when reading or the capture failed or bytes were dropped (the report still
// printed).
int LiveMonitor(const LiveOptions& options, DumpMode mode, std::ostream& out, std::ostream& err);
