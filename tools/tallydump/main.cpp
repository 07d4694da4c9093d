// tallydump: decode a captured tally feed (a file or standard input) through
// the receiver's own store and frame parser, or monitor a live port.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/common/cli.h"
#include "tools/common/interrupt.h"
#include "tools/tallydump/asrun.h"
#include "tools/tallydump/dump.h"
#include "tools/tallydump/live.h"
#include "tools/tallydump/live_detect.h"
#include "tools/tallydump/options.h"
#include "tools/tallydump/tsl_decode.h"
#include "tools/tallydump/tsl_live.h"
#include "tools/tallydump/publish.h"
#include "tools/tallydump/watch_dump.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
// A terminal in its usual (cooked) mode changes and holds back bytes before
// they reach us; say so rather than decode a mangled feed in silence.
void WarnAboutTerminalInput() {
    termios tio;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &tio) != 0) return;
    const bool raw = !(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) &&
                     !(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | BRKINT | PARMRK)) &&
                     (tio.c_cflag & CSIZE) == CS8;
    if (!raw)
        std::cerr << "tallydump: standard input is a terminal not in raw mode, bytes will be changed on the way; "
                     "use --port DEVICE, or 'stty -F DEVICE raw -echo SPEED' first\n";
}
#endif

// A report that did not reach its destination (a full disk, a closed pipe)
// is a failure, whatever the decode said: one line, and exit 2 for a file
// (the report was all it made) or 1 for a port (its capture may be whole).
// std::cout writes through stdout, whose error flag stays set once a write failed.
int ReportWritten(int status, int failedStatus = 2) {
    std::cout.flush();
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) || std::cout.bad();
    if (!failed || InterruptSignal()) return status;
    std::cerr << "tallydump: writing the report to standard output failed: "
              << (errno ? std::strerror(errno) : "write error") << "\n";
    return failedStatus;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Decode a tally feed into the receiver's store and report what it holds."};
    DumpOptions options;
    DumpDeclareOptions(app, options);
    const int parsed = ToolParse(app, argc, argv, "tallydump");
    if (parsed >= 0) return parsed;
    std::string error;
    if (!DumpCheckOptions(app, options, error)) {
        std::cerr << "tallydump: " << error << "\n";
        return 2;
    }
    if (!options.tslDecode.empty()) return TslDecodeFile(options.tslDecode, std::cout, std::cerr);
    if (options.watch && !options.live.device.empty())
        return WatchPort(options.live, options.watchConfig, std::cout, std::cerr);
    if (options.detect) return ReportWritten(LiveDetect(options.live, std::cout, std::cerr), 1);
    std::unique_ptr<TslLive> tsl;
    if (!options.tsl.out.empty() || !options.tsl.in.empty()) {
        tsl.reset(new TslLive(options.tsl));
        if (!tsl->Start(std::cerr, error)) {
            std::cerr << "tallydump: " << error << "\n";
            return 2;
        }
        if (options.live.device.empty()) {
            // A recording replayed at its pace, then the final report of the mode.
            const int status = TslReplayRecording(options.input, *tsl, std::cout, std::cerr);
            tsl->Finish(3000, std::cout, std::cerr);
            if (status != 0) return status;
        }
    }
    if (!options.live.device.empty()) {
        LiveSetTsl(tsl.get());
        std::unique_ptr<MqttLinkPublisher> publisher;
        if (!options.mqtt.broker.empty()) {
            const LiveOptions& l = options.live;
            publisher.reset(new MqttLinkPublisher(
                options.mqtt, l.device,
                std::to_string(l.baud) + " " + std::to_string(l.dataBits) + l.parity + std::to_string(l.stopBits)));
            LiveSetPublisher(publisher.get());
        }
        const int status = ReportWritten(LiveMonitor(options.live, options.mode, std::cout, std::cerr), 1);
        if (publisher) {
            // What the run ended with goes out before we say offline.
            LiveSetPublisher(nullptr);
            publisher->Stop(3000);
        }
        if (tsl) {
            LiveSetTsl(nullptr);
            tsl->Finish(3000, std::cout, std::cerr);
        }
        return status;
    }

    FILE* in = nullptr;
    std::string inputName = options.input;
    if (inputName == "-") {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#else
        WarnAboutTerminalInput();
#endif
        in = stdin;
        inputName = "standard input";
    } else {
        in = std::fopen(inputName.c_str(), "rb");
        if (!in) {
            std::cerr << "tallydump: cannot open " << inputName << "\n";
            return 2;
        }
    }
    InterruptInstall();
    if (options.asRun) {
        const int status = DumpAsRun(in, inputName, options.asRunOptions, std::cout, std::cerr);
        if (in != stdin) std::fclose(in);
        return status;
    }
    if (options.watch) {
        const int watched = WatchRecording(in, inputName, options.watchConfig, std::cout, std::cerr);
        if (in != stdin) std::fclose(in);
        std::cout.flush();
        return watched;
    }
    const int status =
        DumpStream(in, inputName, options.blockSize, options.mode, options.traceTime, std::cout, std::cerr);
    if (in != stdin) std::fclose(in);
    return ReportWritten(status);
}
