// tallysim: play the switcher's end of a tally link into a serial device or
// pty, a file or standard output, and report what a receiver must then show.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "recording/recorder.h"
#include "recording/recording.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"
#include "tools/common/interrupt.h"
#include "tools/common/tty.h"
#include "tools/tallysim/sim.h"

namespace {

const char* const EXIT_STATUSES =
    "Exit status:\n"
    "  0    everything was sent (--count, --duration, the whole --replay), or stopped with\n"
    "       Ctrl-C or SIGTERM; the summary says whether the expectation is complete\n"
    "  1    writing the output or the summary failed part way (device gone, disk full, reader\n"
    "       gone); the summary of what was sent is still printed\n"
    "  2    nothing was sent: a bad option, an output, replay or summary file that cannot be used\n"
    "  130  a second Ctrl-C (143: SIGTERM) while finishing: quit at once, without a summary\n";

// Opens the output: "-" is standard output; a tty is put into raw mode at the
// baud rate; another device (/dev/null, a FIFO) is written as it is; a file
// is created, or overwritten or appended to when told so.
int OpenOutput(const std::string& path, long baud, FilePolicy policy, std::string& error) {
    if (path == "-") return STDOUT_FILENO;
    const bool stream = IsStream(path);
    const int fd = stream ? open(path.c_str(), O_WRONLY | O_NOCTTY) : OutputOpen(path, policy, error);
    if (fd < 0) {
        if (stream) error = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    if (isatty(fd)) {
        TtyLine line;
        line.baud = baud;
        std::string why;
        if (!TtyConfigureRaw(fd, line, why)) {
            error = path + " does not accept " + TtyLineText(line) + ": " + why;
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Writes everything, unless stopped or the far end went away.
bool WriteAll(int fd, const uint8_t* data, size_t count, uint64_t& written) {
    while (count) {
        const ssize_t n = write(fd, data, count);
        if (n < 0) {
            if (errno == EINTR) {
                if (InterruptSignal()) return false;
                continue;
            }
            if (errno == EAGAIN) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            return false;
        }
        data += n;
        count -= static_cast<size_t>(n);
        written += static_cast<uint64_t>(n);
    }
    return true;
}

// A recording's received bytes, end to end, and for each record carrying
// some the stream offset it ends at and its time after the first record.
struct ReplayMark {
    size_t end;
    double seconds;
};
bool LoadRecording(FILE* file, const std::string& path, std::vector<uint8_t>& bytes, std::vector<ReplayMark>& marks,
                   std::string& error) {
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    if (!RecordingBegin(*reader, file)) {
        error = path + ": " + reader->error;
        return false;
    }
    RecordingRecord record;
    RecordingReadResult result;
    uint64_t firstUs = 0;
    bool first = true;
    while ((result = RecordingNext(*reader, record)) == RECORDING_RECORD) {
        if (first) firstUs = record.timeUs;
        first = false;
        if (!RecordCarriesStream(record.kind)) continue;
        bytes.insert(bytes.end(), record.bytes, record.bytes + record.length);
        const double at = record.timeUs > firstUs ? double(record.timeUs - firstUs) / 1e6 : 0.0;
        marks.push_back({bytes.size(), at});
    }
    if (result == RECORDING_BAD) {
        error = path + ": " + reader->error;
        return false;
    }
    if (result == RECORDING_TRUNCATED)
        std::cerr << "tallysim: warning: " << path << ": " << reader->error << "; replaying up to the last whole record\n";
    return true;
}

// Values that must be above zero, with a message that says so.
CLI::Validator AboveZero() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            double number = 0;
            if (!CLI::detail::lexical_cast(value, number) || !(number > 0))
                return value + " is not accepted: a number above 0";
            return std::string();
        },
        "> 0");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Simulate the switcher end of a tally link."};
    app.name("tallysim");
    app.set_version_flag("--version", "tallysim (Qorvex) " QORVEX_TOOLS_VERSION);
    app.footer(EXIT_STATUSES);
    std::string output = "-", replayPath, summaryPath;
    bool force = false, append = false;
    long baud = 115200;
    double rate = 0, duration = 0;
    uint64_t count = 0, seed = 1, resetAt = 0;
    bool fast = false, noNames = false;
    double faultRates[FAULT_KINDS] = {};
    double allFaults = 0;
    bool realPace = false;
    double simSeconds = 0;
    std::vector<std::string> injectTexts;
    app.add_option("--output,-o", output, "serial device, pty, file, or - for standard output (default -)");
    app.add_option("--baud", baud, "line rate: pace at baud/10 characters per second (default 115200)")
        ->check(CLI::Range(50L, 4000000L));
    CLI::Option* rateOpt = app.add_option("--rate", rate, "pace at this many messages per second instead")
                               ->check(AboveZero());
    CLI::Option* fastOpt = app.add_flag("--fast", fast, "no pacing (for files and pipes)");
    rateOpt->excludes(fastOpt);
    app.add_option("--duration", duration, "stop after this many seconds")->check(AboveZero());
    app.add_option("--count", count, "stop after this many messages")->check(AboveZero());
    app.add_option("--seed", seed, "seed of the production and the faults (default 1)");
    app.add_option("--reset-at", resetAt, "send the counter-reset message as message N")
        ->check(AboveZero());
    app.add_flag("--no-names", noNames, "do not send the source-name table at start");
    app.add_option("--faults", allFaults, "chance per message of each fault kind not set on its own (0..1)")
        ->check(CLI::Range(0.0, 1.0));
    static const char* const faultOptions[FAULT_KINDS] = {"--stray",   "--mismatch", "--low-header",
                                                          "--payload", "--unknown",  "--truncate"};
    static const char* const faultHelp[FAULT_KINDS] = {
        "chance per message of 1-4 stray low bytes", "chance per message of a header mismatch",
        "chance per message of a header with a low second byte",
        "chance per message of a payload error (header byte sent three times)",
        "chance per message of an unknown type (0xE0-0xFF)",
        "chance per message of a message cut short"};
    CLI::Option* faultOpts[FAULT_KINDS];
    for (int k = 0; k < FAULT_KINDS; ++k)
        faultOpts[k] = app.add_option(faultOptions[k], faultRates[k], faultHelp[k])->check(CLI::Range(0.0, 1.0));
    app.add_flag("--real-pace", realPace,
                 "a real production: cuts every few seconds, mixes of about a second, preview set before the "
                 "take, keys on and off; the switcher's refresh in between");
    app.add_option("--inject", injectTexts,
                   "misbehave on purpose at a simulated time (repeatable): drop,at=S,me=N,ms=MS | "
                   "blip,at=S,me=N[,source=N],ms=MS | stale,at=S,me=N,s=S | silence,at=S,s=S | "
                   "errors,at=S,count=N | reset,at=S | name,at=S,source=N,name=TEXT")
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                SimInjection injection;
                std::string error;
                return SimParseInjection(value, injection, error) ? std::string() : error;
            },
            "KIND,at=S,..."));
    app.add_option("--sim-seconds", simSeconds, "stop once this many seconds of simulated time were sent")
        ->check(AboveZero());
    CLI::Option* replayOpt = app.add_option(
        "--replay", replayPath,
        "send a raw capture (at line rate) or a recording (.pcap, at its recorded pace) instead of a simulation");
    replayOpt->excludes("--count")->excludes("--seed")->excludes("--reset-at")->excludes("--faults");
    replayOpt->excludes("--real-pace")->excludes("--inject")->excludes("--sim-seconds");
    app.add_option("--summary", summaryPath, "write the JSON summary to FILE instead of standard error");
    CLI::Option* forceOpt =
        app.add_flag("--force", force, "overwrite an existing --output or --summary file (refused otherwise)");
    app.add_flag("--append", append, "add to the end of an existing --output or --summary file")
        ->excludes(forceOpt);
    const int parsed = ToolParse(app, argc, argv, "tallysim");
    if (parsed >= 0) return parsed;

    // Everything that can be checked is checked before a byte is sent.
    const FilePolicy policy = append ? FILE_APPEND : force ? FILE_OVERWRITE : FILE_NEW;
    std::string error;
    auto refuse = [](const std::string& why) {
        std::cerr << "tallysim: " << why << "\n";
        return 2;
    };
    if (app.count("--replay") && !InputCheck("--replay", replayPath, error)) return refuse(error);
    if (output == "-") {
        if (isatty(STDOUT_FILENO))
            return refuse("--output -: standard output is a terminal; the binary feed would garble it "
                          "(give --output DEVICE or FILE, or pipe it)");
    } else {
        if (!OutputCheck("--output", output, policy, error)) return refuse(error);
        if (!replayPath.empty() && SameFile(output, replayPath))
            return refuse("--output " + output + ": is the --replay file itself");
    }
    if (app.count("--summary")) {
        if (!OutputCheck("--summary", summaryPath, policy, error)) return refuse(error);
        struct stat summaryInfo, outInfo;
        const bool summaryIsStdout = output == "-" && stat(summaryPath.c_str(), &summaryInfo) == 0 &&
                                     fstat(STDOUT_FILENO, &outInfo) == 0 && summaryInfo.st_dev == outInfo.st_dev &&
                                     summaryInfo.st_ino == outInfo.st_ino;
        if (summaryPath == output || summaryIsStdout || SameFile(summaryPath, output) ||
            SameFile(summaryPath, replayPath))
            return refuse("--summary " + summaryPath + ": the same file as the feed");
    }
    std::vector<uint8_t> replay;
    std::vector<ReplayMark> marks;  // empty for a raw capture
    if (!replayPath.empty()) {
        FILE* in = std::fopen(replayPath.c_str(), "rb");
        if (!in) return refuse("cannot open --replay " + replayPath + ": " + std::strerror(errno));
        // A recording or a raw capture: told apart by the pcap magic.
        uint8_t magic[4];
        const size_t got = std::fread(magic, 1, sizeof magic, in);
        std::string why;
        bool ok;
        const bool recording = RecordingHasMagic(magic, got);
        if (recording) {
            std::rewind(in);
            ok = LoadRecording(in, replayPath, replay, marks, why);
            why = "--replay " + why;
        } else {
            replay.assign(magic, magic + got);
            uint8_t block[65536];
            size_t n;
            while ((n = std::fread(block, 1, sizeof block, in)) > 0) replay.insert(replay.end(), block, block + n);
            ok = !std::ferror(in);
            why = "cannot read --replay " + replayPath;
        }
        std::fclose(in);
        if (!ok) return refuse(why);
        if (replay.empty())
            return refuse("--replay " + replayPath +
                          (recording ? ": the recording holds no received bytes, nothing to send"
                                     : ": is empty, nothing to send"));
    }
    // Opening a FIFO waits for its reader: Ctrl-C there ends the run too.
    InterruptInstall();
    const int fd = OpenOutput(output, baud, policy, error);
    if (fd < 0 && InterruptSignal()) {
        std::cerr << "tallysim: interrupted while opening " << output << "; nothing was sent\n";
        return InterruptStatus(InterruptSignal());
    }
    if (fd < 0) return refuse(error);
    std::signal(SIGPIPE, SIG_IGN);

    SimConfig config;
    config.seed = seed;
    config.resetAt = resetAt;
    config.names = !noNames;
    for (int k = 0; k < FAULT_KINDS; ++k) config.faultRate[k] = faultOpts[k]->count() ? faultRates[k] : allFaults;
    config.realPace = realPace;
    config.bytesPerSecond = static_cast<double>(baud) / 10.0;
    config.messagesPerSecond = rate;
    for (const std::string& text : injectTexts) {
        SimInjection injection;
        SimParseInjection(text, injection, error);
        config.injections.push_back(injection);
    }
    std::unique_ptr<SimState> sim(new SimState);
    SimInit(*sim, config);

    // An output named .pcap is a recording stamped with the simulated clock
    // (from now), framed by the real parser into records as a receiver would.
    const bool recording = replayPath.empty() && output.size() > 5 && output.compare(output.size() - 5, 5, ".pcap") == 0;
    std::unique_ptr<RecordingWriter> writer;
    std::unique_ptr<Recorder> recorder;
    std::unique_ptr<TallyStore> recordStore;
    std::unique_ptr<FrameParser> recordParser;
    const uint64_t recordStartUs = RecordingNowUs();
    if (recording) {
        FILE* file = fdopen(fd, "wb");
        writer.reset(new RecordingWriter);
        if (!file || !RecordingStart(*writer, file)) return refuse("--output " + output + ": cannot write the recording");
        recorder.reset(new Recorder);
        RecorderInit(
            *recorder,
            [](void* context, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type, const uint8_t* bytes,
               size_t length) {
                RecordingWrite(*static_cast<RecordingWriter*>(context), timeUs, kind, flags, type, bytes, length);
            },
            writer.get());
        recordStore.reset(new TallyStore);
        TallyStoreInit(*recordStore);
        recordParser.reset(new FrameParser);
        FrameParserInit(*recordParser, recordStore.get(), RecorderOnFrameEvent, recorder.get());
        const std::string connect = "tallysim " + std::to_string(baud) + " 8N1";
        RecordingWrite(*writer, recordStartUs, RECORD_CONNECT, 0, 0, reinterpret_cast<const uint8_t*>(connect.data()),
                       connect.size());
    }
    // Paced by the simulated clock where it matters (a real pace, injections,
    // a recording), by the bytes sent otherwise.
    const bool clocked = realPace || !config.injections.empty() || recording;
    bool simDone = false;

    const double bytesPerSecond = static_cast<double>(baud) / 10.0;
    const auto start = std::chrono::steady_clock::now();
    // Time the output held us up (a reader that stopped reading, a port
    // closed and opened again): the pace goes on from where it stopped
    // rather than sending the whole backlog at once when the output frees.
    double heldSeconds = 0;
    uint64_t sentBytes = 0, sentMessages = 0;
    size_t replayPos = 0, replayMark = 0;
    bool writeFailed = false;
    std::vector<uint8_t> chunk;
    int writeErrno = 0;
    for (;;) {
        if (InterruptSignal()) break;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (duration > 0 && wall >= duration) break;
        const double elapsed = wall - heldSeconds;
        const bool simulating = replayPath.empty();
        if (simulating && ((count && sentMessages >= count) || simDone)) break;
        if (!simulating && replayPos >= replay.size()) break;
        // How far the line may be by now; a few milliseconds are sent at once.
        chunk.clear();
        if (simulating && clocked) {
            while ((fast ? chunk.size() < 65536 : true) && (!count || sentMessages < count)) {
                SimPrepare(*sim);
                if (simSeconds > 0 && sim->clockS >= simSeconds) {
                    simDone = true;
                    break;
                }
                if (!fast && sim->clockS > elapsed + 0.005) break;
                const size_t before = chunk.size();
                SimNext(*sim, chunk);
                ++sentMessages;
                if (recording)
                    RecorderFeed(*recorder, *recordParser, recordStartUs + static_cast<uint64_t>(sim->clockS * 1e6),
                                 chunk.data() + before, chunk.size() - before);
            }
        } else if (simulating) {
            const double allowed = fast ? 1e18 : rate > 0 ? elapsed * rate + 1 : elapsed * bytesPerSecond + 64;
            while ((fast ? chunk.size() < 65536 : true) && (!count || sentMessages < count)) {
                if (rate > 0 ? double(sentMessages) >= allowed : double(sentBytes + chunk.size()) >= allowed)
                    break;
                if (simSeconds > 0 && sim->clockS >= simSeconds) {
                    simDone = true;
                    break;
                }
                SimNext(*sim, chunk);
                ++sentMessages;
            }
        } else {
            size_t allowed = fast ? replay.size() : static_cast<size_t>(elapsed * bytesPerSecond + 64);
            if (!fast && !marks.empty()) {  // a recording: each record's bytes at its recorded time
                while (replayMark < marks.size() && marks[replayMark].seconds <= elapsed) ++replayMark;
                allowed = replayMark ? marks[replayMark - 1].end : 0;
            }
            if (allowed > replay.size()) allowed = replay.size();
            if (allowed > replayPos) chunk.assign(replay.begin() + static_cast<long>(replayPos),
                                                  replay.begin() + static_cast<long>(allowed));
            replayPos += chunk.size();
        }
        if (recording && !chunk.empty()) {
            sentBytes += chunk.size();
            if (!RecordingFlush(*writer)) {
                writeErrno = errno;
                writeFailed = true;
                std::cerr << "tallysim: writing " << output << " failed: " << std::strerror(writeErrno) << "\n";
                break;
            }
        } else if (!chunk.empty()) {
            const auto writeStart = std::chrono::steady_clock::now();
            const bool wrote = WriteAll(fd, chunk.data(), chunk.size(), sentBytes);
            // A write takes about its bytes' line time; beyond that (and a
            // quarter second of slack) the output held us up.
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - writeStart).count();
            const double held = took - static_cast<double>(chunk.size()) / bytesPerSecond;
            if (wrote && !fast && held > 0.25) {
                heldSeconds += held;
                char text[96];
                std::snprintf(text, sizeof text, "%.1f", held);
                std::cerr << "tallysim: the output was blocked for " << text
                          << " s; resuming at line pace (the backlog is not sent at once)\n";
            }
            if (!wrote) {
                writeErrno = errno;
                writeFailed = !InterruptSignal();
                if (writeFailed)
                    std::cerr << "tallysim: writing " << (output == "-" ? "standard output" : output)
                              << " failed: " << std::strerror(writeErrno) << "; stopped after " << sentBytes
                              << " bytes\n";
                break;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // Let a serial line drain before reporting what was sent.
    if (recording) {
        const uint64_t endUs = recordStartUs + static_cast<uint64_t>(sim->clockS * 1e6);
        RecorderFinish(*recorder, *recordParser, endUs);
        RecordingWrite(*writer, endUs, RECORD_DISCONNECT, 0, 0, nullptr, 0);
        if (!RecordingClose(*writer) && !writeFailed) {
            writeFailed = true;
            writeErrno = errno;
            std::cerr << "tallysim: writing " << output << " failed\n";
        }
    } else {
        if (isatty(fd)) tcdrain(fd);
        if (fd != STDOUT_FILENO) close(fd);
    }

    nlohmann::json summary;
    if (replayPath.empty()) {
        summary = SimSummaryJson(*sim);
        // Messages generated but not written (a stop mid-chunk) would make the
        // expectation wrong, so the summary says so.
        summary["complete"] = sim->bytes == sentBytes;
        if (recording) summary["startUs"] = recordStartUs;
    } else {
        summary = {{"replay", replayPath}, {"bytes", sentBytes}, {"complete", sentBytes == replay.size()}};
    }
    if (writeFailed) summary["writeError"] = std::strerror(writeErrno);
    if (InterruptSignal()) summary["interrupted"] = true;
    const std::string text = summary.dump(2) + "\n";
    if (summaryPath.empty()) {
        std::cerr << text;
    } else {
        const int file = OutputOpen(summaryPath, policy, error);
        if (file < 0 || !OutputWrite(file, text.data(), text.size(), error)) {
            // The account of what was sent must not be lost with the file.
            std::cerr << "tallysim: writing --summary " << summaryPath << " failed: " << error
                      << "; the summary follows\n"
                      << text;
            if (file >= 0) close(file);
            return 1;
        }
        close(file);
    }
    return writeFailed ? 1 : 0;
}
