// tallydump's options: declared and checked here only.
#include "tools/tallydump/options.h"

#include <cctype>

#include "tools/common/files.h"

namespace {

const char* const EXIT_STATUSES =
    "Exit status:\n"
    "  0    the input was read to its end, or --port was stopped with Ctrl-C or SIGTERM\n"
    "  1    the report is incomplete: reading or the capture failed part way, or bytes were\n"
    "       dropped; the report of what was decoded is still printed\n"
    "  2    nothing was done: a bad option, an input, device or capture that cannot be used, or\n"
    "       the report of a file could not be written (disk full, output closed; with --port: 1)\n"
    "  130  a file or standard input interrupted with Ctrl-C (143: SIGTERM) before its end;\n"
    "       the report covers what was read. A second Ctrl-C quits at once, without a report\n";

}  // namespace

void DumpDeclareOptions(CLI::App& app, DumpOptions& o) {
    app.name("tallydump");
    app.set_version_flag("--version", "tallydump (Qorvex) " QORVEX_TOOLS_VERSION);
    app.footer(EXIT_STATUSES);
    LiveOptions& live = o.live;
    app.add_option("--block", o.blockSize,
                   "bytes per parser feed (default 6000, the receiver's read size; at most " +
                       std::to_string(DUMP_MAX_BLOCK) + ")")
        ->check(CLI::Range(size_t(1), DUMP_MAX_BLOCK));
    CLI::Option* jsonOpt = app.add_flag("--json", o.json, "print the whole store as one JSON object");
    CLI::Option* traceOpt = app.add_flag("--trace", o.trace, "print one line per framing event");
    jsonOpt->excludes(traceOpt);
    app.add_flag("--on-air", o.onAir, "print which sources the final state tallies, as one JSON object")
        ->excludes(jsonOpt)
        ->excludes(traceOpt);
    app.add_option("--time", o.time,
                   "with --trace from --port or standard input: stamp lines with ms since the start "
                   "(start, the default with --port) or local time, ISO 8601 (wall)")
        ->check(CLI::IsMember({"start", "wall"}))
        ->needs(traceOpt);
    CLI::Option* fileOpt = app.add_option("FILE", o.input, "capture to decode, or - for standard input");
    CLI::Option* portOpt =
        app.add_option("--port", live.device, "decode live from a serial device (/dev/ttyUSB0, COM3)");
    portOpt->excludes(fileOpt);
    app.add_option("--baud", live.baud, "line speed for --port (default 115200; " + LiveBaudList() + ")")
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                long baud = 0;
                if (!CLI::detail::lexical_cast(value, baud) || !LiveBaudAccepted(baud))
                    return value + " is not a rate tallydump sets (" + LiveBaudList() + ")";
                return std::string();
            },
            "RATE"))
        ->needs(portOpt);
    app.add_option("--data-bits", live.dataBits, "5, 6, 7 or 8 (default 8)")
        ->check(CLI::Range(5, 8))
        ->needs(portOpt);
    app.add_option("--parity", live.parity, "N, E, O, M or S (default N)")
        ->check(CLI::IsMember({"N", "E", "O", "M", "S"}, CLI::ignore_case))
        ->needs(portOpt);
    app.add_option("--stop-bits", live.stopBits, "1 or 2 (default 1)")
        ->check(CLI::IsMember({1, 2}))
        ->needs(portOpt);
    CLI::Option* captureOpt =
        app.add_option("--capture", live.capturePath,
                       "with --port: write the raw bytes received to FILE, or a time-stamped recording "
                       "when FILE ends in .pcap (refused if FILE exists, unless --force or --append)")
            ->needs(portOpt);
    CLI::Option* forceOpt =
        app.add_flag("--force", o.force, "with --capture: overwrite an existing FILE")->needs(captureOpt);
    app.add_flag("--append", o.append, "with --capture: add to the end of an existing FILE")
        ->needs(captureOpt)
        ->excludes(forceOpt);
    app.add_flag("--detect", o.detect,
                 "with --port: find the line's baud rate, data bits, parity and stop bits from the feed "
                 "(exit 0 found, 1 nothing convinces)")
        ->needs(portOpt);
}

bool DumpCheckOptions(CLI::App& app, DumpOptions& o, std::string& error) {
    for (char& c : o.live.parity) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    o.mode = o.json ? DUMP_JSON : o.trace ? DUMP_TRACE : o.onAir ? DUMP_ON_AIR : DUMP_SUMMARY;
    const bool live = app.count("--port") > 0;
    if (live && o.live.device.empty()) {
        error = "--port: empty device name";
        return false;
    }
    if (!live && app.count("FILE") && o.input.empty()) {
        error = "FILE: empty file name (- reads standard input)";
        return false;
    }
    if (!o.time.empty() && !live && o.input != "-") {
        error = "--time: only with --port or standard input (a file holds no times; its lines carry offsets)";
        return false;
    }
    o.traceTime = o.time == "wall" ? TRACE_TIME_WALL
                  : o.time == "start" || live ? TRACE_TIME_START
                                              : TRACE_TIME_NONE;
    o.live.traceTime = o.traceTime;
    o.live.blockSize = o.blockSize;
    o.live.capturePolicy = o.append ? FILE_APPEND : o.force ? FILE_OVERWRITE : FILE_NEW;
    if (app.count("--capture")) {
        // A recording is one pcap file with one header: a second run cannot
        // simply be added to its end.
        if (o.append && LiveCaptureIsRecording(o.live.capturePath)) {
            error = "--append: a recording (.pcap) cannot be appended to; use --force to replace it or a new name";
            return false;
        }
        if (!OutputCheck("--capture", o.live.capturePath, o.live.capturePolicy, error)) return false;
        if (SameFile(o.live.capturePath, o.live.device)) {
            error = "--capture " + o.live.capturePath + ": is the device being monitored";
            return false;
        }
    }
    if (live) return LiveCheckSettings(o.live, error);
    if (o.input != "-" && !InputCheck("", o.input, error)) return false;
    return true;
}
