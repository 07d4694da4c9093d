// tallydump: decode a captured tally feed (a file or standard input) through
// the receiver's own store and frame parser, or monitor a live port.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/common/cli.h"
#include "tools/tallydump/dump.h"
#include "tools/tallydump/live.h"
#include "tools/tallydump/live_detect.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char** argv) {
    CLI::App app{"Decode a tally feed into the receiver's store and report what it holds."};
    app.name("tallydump");
    size_t blockSize = READ_BUFFER_SIZE;
    bool json = false, trace = false, onAir = false;
    std::string input = "-";
    LiveOptions live;
    app.add_option("--block", blockSize, "bytes per parser feed (default 6000, the receiver's read size)")
        ->check(CLI::Range(size_t(1), size_t(1) << 24));
    CLI::Option* jsonOpt = app.add_flag("--json", json, "print the whole store as one JSON object");
    CLI::Option* traceOpt = app.add_flag("--trace", trace, "print one line per framing event");
    jsonOpt->excludes(traceOpt);
    app.add_flag("--on-air", onAir, "print which sources the final state tallies, as one JSON object")
        ->excludes(jsonOpt)
        ->excludes(traceOpt);
    CLI::Option* fileOpt = app.add_option("FILE", input, "capture to decode, or - for standard input");
    CLI::Option* portOpt =
        app.add_option("--port", live.device, "decode live from a serial device (/dev/ttyUSB0, COM3)");
    portOpt->excludes(fileOpt);
    app.add_option("--baud", live.baud, "line speed for --port (default 115200)")->needs(portOpt);
    app.add_option("--data-bits", live.dataBits, "5, 6, 7 or 8 (default 8)")->needs(portOpt);
    app.add_option("--parity", live.parity, "N, E, O, M or S (default N)")->needs(portOpt);
    app.add_option("--stop-bits", live.stopBits, "1 or 2 (default 1)")->needs(portOpt);
    app.add_option("--capture", live.capturePath, "with --port: write the raw bytes received to FILE")
        ->needs(portOpt);
    bool detect = false;
    app.add_flag("--detect", detect,
                 "with --port: find the line's baud rate, data bits, parity and stop bits from the feed "
                 "(exit 0 found, 1 nothing convinces)")
        ->needs(portOpt);
    const int parsed = ToolParse(app, argc, argv, "tallydump");
    if (parsed >= 0) return parsed;
    const DumpMode mode = json ? DUMP_JSON : trace ? DUMP_TRACE : onAir ? DUMP_ON_AIR : DUMP_SUMMARY;
    if (detect) return LiveDetect(live, std::cout, std::cerr);
    if (!live.device.empty()) {
        live.blockSize = blockSize;
        return LiveMonitor(live, mode, std::cout, std::cerr);
    }
    FILE* in = nullptr;
    if (input == "-") {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        in = stdin;
        input = "standard input";
    } else {
        in = std::fopen(input.c_str(), "rb");
        if (!in) {
            std::cerr << "tallydump: cannot open " << input << ": " << std::strerror(errno) << "\n";
            return 2;
        }
    }
    const int status = DumpStream(in, input, blockSize, mode, std::cout, std::cerr);
    if (in != stdin) std::fclose(in);
    std::cout.flush();
    return status;
}
