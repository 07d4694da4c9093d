// tallydump's options: declared and checked here only.
#include "tools/tallydump/options.h"

#include <cctype>
#include <cstdlib>

#include "tools/common/files.h"
#include "tools/tallydump/watch_dump.h"

namespace {

const char* const EXIT_STATUSES =
    "Exit status:\n"
    "  0    the input was read to its end, or --port was stopped with Ctrl-C or SIGTERM\n"
    "       (--watch: and no alarm was raised; 1: alarms were raised)\n"
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
    CLI::Option* onAirOpt =
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
    CLI::Option* asRunOpt =
        app.add_flag("--as-run", o.asRun,
                     "print the as-run log of FILE (a recording or a raw capture) as CSV: per ME every "
                     "interval a source was on program")
            ->excludes(jsonOpt)
            ->excludes(traceOpt);
    CLI::Option* edlOpt = app.add_option("--edl", o.asRunOptions.edlMe,
                                         "with --as-run: a CMX 3600 list of ME 1-4 instead of the CSV")
                              ->check(CLI::Range(1, 4))
                              ->needs(asRunOpt);
    app.add_option("--fps", o.fps, "with --edl: time code rate 25 (default), 29.97 (drop frame), 30, 50, 59.94 (drop frame)")
        ->check(CLI::IsMember({"25", "29.97", "30", "50", "59.94"}))
        ->needs(edlOpt);
    asRunOpt->excludes(portOpt)->excludes(onAirOpt);
    app.add_option("--baud", live.baud,
                   "line speed for --port (default 115200; " + LiveBaudList() +
                       "); with --as-run, the rate a raw capture's times are worked out at")
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                long baud = 0;
                if (!CLI::detail::lexical_cast(value, baud) || !LiveBaudAccepted(baud))
                    return value + " is not a rate tallydump sets (" + LiveBaudList() + ")";
                return std::string();
            },
            "RATE"));
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
    app.add_option("--tsl-decode", o.tslDecode,
                   "print the TSL UMD 3.1/5.0 packets in FILE, one line each, malformed ones described: "
                   "a pcap of UDP, or raw bytes (3.1, 5.0 or a DLE/STX stream)")
        ->excludes(portOpt)
        ->excludes(fileOpt)
        ->excludes(jsonOpt)
        ->excludes(traceOpt);
    CLI::Option* mqttOpt =
        app.add_option("--mqtt", o.mqtt.broker,
                       "with --port: publish the link's health and the tally to the MQTT broker HOST[:PORT] "
                       "(default port 1883) under qorvex/NAME/")
            ->needs(portOpt);
    app.add_option("--mqtt-name", o.mqtt.name, "with --mqtt: the NAME in the topics (default: HOST-PORT, upper case)")
        ->needs(mqttOpt);
    app.add_option("--mqtt-user", o.mqtt.user,
                   "with --mqtt: user name for the broker; the password is read from QORVEX_MQTT_PASSWORD")
        ->needs(mqttOpt);

    CLI::Option* watchOpt = app.add_flag(
        "--watch", o.watch,
        "run the watch rules on a recording (.pcap) or --port: one JSON line per alarm, a summary on stderr "
        "(exit 0 no alarm, 1 alarms)");
    watchOpt->excludes(jsonOpt)->excludes(traceOpt)->excludes("--on-air")->excludes("--detect")->excludes(captureOpt);
    WatchConfig& w = o.watchConfig;
    app.add_option("--flicker-ms", w.flickerMs,
                   "with --watch: a tally level changing back within this many ms is a flicker (default 200)")
        ->check(CLI::Range(1u, 60000u))
        ->needs(watchOpt);
    app.add_option("--stale-min-s", w.staleMinS,
                   "with --watch: a type is stale after max(3 x its median gap, this many seconds) (default 2)")
        ->check(CLI::Range(0.001, 86400.0))
        ->needs(watchOpt);
    app.add_option("--silence-s", w.silenceS,
                   "with --watch: no byte for this many seconds while connected is a silence (default 2)")
        ->check(CLI::Range(0.001, 86400.0))
        ->needs(watchOpt);
    app.add_option("--errors", o.errors,
                   "with --watch: N framing or line errors within T seconds are a burst, as N/T (default 5/10)")
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                uint32_t n;
                double t;
                return WatchParseErrors(value, n, t) ? std::string()
                                                     : value + " is not N/T (N errors >= 1 within T seconds > 0)";
            },
            "N/T"))
        ->needs(watchOpt);
    std::vector<std::string> ruleNames;
    for (int r = 0; r < WATCH_RULE_COUNT; ++r) ruleNames.push_back(WatchRuleName(r));
    app.add_option("--no", o.noRules, "with --watch: turn a rule off (repeatable): " + [&] {
        std::string list;
        for (const std::string& name : ruleNames) list += (list.empty() ? "" : ", ") + name;
        return list;
    }())
        ->check(CLI::IsMember(ruleNames))
        ->needs(watchOpt);

    TslToolOptions& t = o.tsl;
    CLI::Option* tslOutOpt =
        app.add_option("--tsl-out", t.out,
                       "send the tally as TSL UMD (repeatable): 5.0:udp:HOST:PORT, 5.0:tcp:HOST:PORT, "
                       "3.1:udp:HOST:PORT, 3.1:tcp:HOST:PORT, 5.0:udp:HOST:PORT:dle (DLE/STX over UDP); "
                       "from --port, or from a recording (FILE.pcap) replayed at its pace")
            ->excludes(jsonOpt)
            ->excludes(traceOpt)
            ->excludes(asRunOpt)
            ->excludes(watchOpt);
    CLI::Option* tslInOpt =
        app.add_option("--tsl-in", t.in,
                       "with --port: listen for a tally hub's TSL on udp:ADDR:PORT or tcp:ADDR:PORT (port 0: any "
                       "free one) and print where it differs from the switcher as JSON lines; the lag table on "
                       "standard error at the end")
            ->needs(portOpt)
            ->excludes(jsonOpt)
            ->excludes(traceOpt)
            ->excludes(watchOpt);
    app.add_flag("--tsl-one-dmsg", t.oneMessage,
                 "with --tsl-out: one display message per 5.0 packet, for receivers that read only the first")
        ->needs(tslOutOpt);
    app.add_option("--tsl-refresh-ms", t.refreshMs, "with --tsl-out: every index sent again this often (default 1000)")
        ->needs(tslOutOpt);
    app.add_option("--tsl-tcp-gap-ms", t.tcpGapMs,
                   "with --tsl-out to tcp: a pause after each packet, for receivers that take each read as one "
                   "packet (default 0)")
        ->needs(tslOutOpt);
    app.add_option("--tsl-tolerance-ms", t.toleranceMs,
                   "with --tsl-in: how long a lamp may differ before it counts (default 200)")
        ->needs(tslInOpt);
}

bool DumpCheckOptions(CLI::App& app, DumpOptions& o, std::string& error) {
    for (char& c : o.live.parity) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    o.mode = o.json ? DUMP_JSON : o.trace ? DUMP_TRACE : o.onAir ? DUMP_ON_AIR : DUMP_SUMMARY;
    const bool live = app.count("--port") > 0;
    if (app.count("--baud") && !live && !o.asRun) {
        error = "--baud: only with --port, or with --as-run for a raw capture's times";
        return false;
    }
    o.asRunOptions.baud = o.live.baud;
    AsRunParseFps(o.fps, o.asRunOptions.fps);
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
    if (!o.errors.empty()) WatchParseErrors(o.errors, o.watchConfig.errorsN, o.watchConfig.errorsT);
    for (const std::string& name : o.noRules) o.watchConfig.on[WatchRuleFromName(name)] = false;
    if (app.count("--mqtt")) {
        if (!MqttCheckSettings(o.mqtt, error)) {
            error = (error.compare(0, 4, "name") == 0 ? "--mqtt-" : "--mqtt ") + error;
            return false;
        }
        // Never from the command line, where other users could read it.
        if (const char* password = std::getenv("QORVEX_MQTT_PASSWORD")) o.mqtt.password = password;
    }
    if (!TslToolCheck(o.tsl, error)) return false;
    if (!o.tsl.out.empty() && !live && (o.input == "-" || !LiveCaptureIsRecording(o.input))) {
        error = "--tsl-out: needs --port, or a recording (FILE.pcap) to replay";
        return false;
    }
    if (app.count("--tsl-decode")) return InputCheck("--tsl-decode", o.tslDecode, error);
    if (live) return LiveCheckSettings(o.live, error);
    if (o.input != "-" && !InputCheck("", o.input, error)) return false;
    return true;
}
