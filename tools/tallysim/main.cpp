// tallysim: play the switcher's end of a tally link into a serial device or
// pty, a file or standard output, and report what a receiver must then show.
#include <atomic>
#include <cmath>
#include <functional>
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
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "recording/recorder.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"
#include "tools/common/interrupt.h"
#include "tools/common/tty.h"
#include "tools/tallysim/sim.h"

namespace {

const char* const EXIT_STATUSES =
    "Exit status:\n"
    "  0    everything was sent (--count, --sim-seconds, --duration, the whole --replay), or\n"
    "       stopped with Ctrl-C or SIGTERM; the summary says whether the expectation is\n"
    "       complete\n"
    "  1    writing the output or the summary failed part way (device gone, disk full, reader\n"
    "       gone), or a --replay read from a pipe stopped at damage; the summary of what was\n"
    "       sent is still printed\n"
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

// How a write of the feed ended.
enum SendResult { SEND_DONE, SEND_STOPPED, SEND_FAILED };

// Writes everything, waiting for the far end at most 50 ms at a time so that
// Ctrl-C and the --duration deadline are seen after every partial write, even
// with nobody reading (a pty left open). Descriptors this program opened are
// non-blocking; standard output is written in pieces a pipe reported room for.
SendResult Send(int fd, bool blocking, const uint8_t* data, size_t count, uint64_t& written,
                const std::function<bool()>& stop) {
    while (count) {
        if (stop()) return SEND_STOPPED;
        pollfd p = {fd, POLLOUT, 0};
        const int ready = poll(&p, 1, 50);
        if (ready < 0 && errno != EINTR) return SEND_FAILED;
        if (ready <= 0) continue;
        const size_t step = blocking && count > 4096 ? 4096 : count;
        const ssize_t n = write(fd, data, step);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return SEND_FAILED;
        }
        data += n;
        count -= static_cast<size_t>(n);
        written += static_cast<uint64_t>(n);
    }
    return SEND_DONE;
}

// Lets a serial line send what it holds before the summary, but never waits
// for a reader that is not there: at most the time the queue needs plus 1 s,
// and not after Ctrl-C. What is left then is discarded; returns how much.
int Drain(int fd, double bytesPerSecond, bool interrupted) {
    if (!isatty(fd)) return 0;
#ifdef TIOCOUTQ
    int queued = 0;
    if (!interrupted && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(1000 + static_cast<long>(queued * 1000.0 / bytesPerSecond));
        while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 && !InterruptSignal() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        tcflush(fd, TCOFLUSH);
        return queued;
    }
    return 0;
#else
    if (!interrupted) tcdrain(fd);
    return 0;
#endif
}

// The --replay input, read as it is sent: a raw capture block by block, a
// recording record by record, so memory stays flat whatever its size, and a
// pipe works as well as a file (nothing is read twice or rewound).
struct ReplayInput {
    FILE* file = nullptr;
    std::string path;
    bool recording = false;
    std::unique_ptr<RecordingReader> reader;
    uint8_t head[PCAP_FILE_HEADER_SIZE];
    size_t headLength = 0;      // bytes read to tell a recording from a raw capture
    ReplayTimeline timeline;    // recording: play times with the gap cap
    std::vector<uint8_t> bytes; // the part being sent
    size_t sent = 0;
    double dueSeconds = 0;      // recording: when that part is due
    bool ended = false;
    std::string error;          // why the input stopped early (damage, a read error)
    std::string warning;        // a truncated tail
};

// Reads up to size bytes straight from the descriptor (a signal interrupts
// the wait; what a pipe has is taken without waiting for more).
size_t ReadSome(FILE* file, uint8_t* into, size_t size, bool& failed) {
    failed = false;
    for (;;) {
        const ssize_t n = read(fileno(file), into, size);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR && !InterruptSignal()) continue;
        failed = errno != EINTR;
        return 0;
    }
}

// The next part to send into in.bytes; false at the end (in.error set when
// the input could not be read to its end).
bool ReplayNext(ReplayInput& in) {
    in.bytes.clear();
    in.sent = 0;
    if (in.ended) return false;
    if (!in.recording) {
        if (in.headLength) {
            in.bytes.assign(in.head, in.head + in.headLength);
            in.headLength = 0;
            return true;
        }
        in.bytes.resize(4096);
        bool failed;
        const size_t n = ReadSome(in.file, in.bytes.data(), in.bytes.size(), failed);
        in.bytes.resize(n);
        if (n) return true;
        in.ended = true;
        if (failed) in.error = std::string("reading failed: ") + std::strerror(errno);
        else if (InterruptSignal()) in.error = "interrupted";
        return false;
    }
    RecordingRecord record;
    for (;;) {
        const RecordingReadResult result = RecordingNext(*in.reader, record);
        if (result != RECORDING_RECORD) {
            in.ended = true;
            if (result == RECORDING_TRUNCATED) in.warning = in.reader->error;
            if (result == RECORDING_BAD) in.error = in.reader->error;
            return false;
        }
        const uint64_t at = ReplayTimelineStep(in.timeline, record.timeUs);
        if (!RecordCarriesStream(record.kind) || record.length == 0) continue;
        in.bytes.assign(record.bytes, record.bytes + record.length);
        in.dueSeconds = static_cast<double>(at) / 1e6;
        return true;
    }
}

// Opens the input and reads as far as its first bytes to send. False with the
// reason when there is nothing it could send.
bool ReplayStart(ReplayInput& in, std::string& error) {
    const bool standardInput = in.path == "-";
    in.file = standardInput ? stdin : std::fopen(in.path.c_str(), "rb");
    if (!in.file) {
        error = "cannot open --replay " + in.path + ": " + std::strerror(errno);
        return false;
    }
    // Enough bytes to tell a recording (pcap or pcapng) from a raw capture.
    bool failed = false;
    while (in.headLength < sizeof in.head) {
        const size_t n = ReadSome(in.file, in.head + in.headLength, sizeof in.head - in.headLength, failed);
        if (n == 0) break;
        in.headLength += n;
    }
    if (failed) {
        error = "cannot read --replay " + in.path + ": " + std::strerror(errno);
        return false;
    }
    in.recording = RecordingHasMagic(in.head, in.headLength);
    if (in.recording) {
        // A file is checked whole first (flat in memory), so that a damaged
        // record is refused before a byte is sent; a pipe is checked as it
        // plays, and stops at damage with status 1.
        struct stat info;
        if (!standardInput && stat(in.path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            RecordingSummary summary;
            std::string why;
            if (!RecordingCheck(in.path.c_str(), summary, why)) {
                error = "--replay " + in.path + ": " + why;
                return false;
            }
        }
        in.reader.reset(new RecordingReader);
        if (!RecordingBegin(*in.reader, in.file, in.head, in.headLength)) {
            error = "--replay " + in.path + ": " + in.reader->error;
            return false;
        }
        in.headLength = 0;
    }
    if (!ReplayNext(in)) {
        if (!in.error.empty()) error = "--replay " + in.path + ": " + in.error;
        else
            error = "--replay " + in.path + (in.recording ? ": the recording holds no received bytes, nothing to send"
                                                          : ": is empty, nothing to send");
        return false;
    }
    return true;
}

// A number for a chance: 0..1, and a number at all (nan is not).
CLI::Validator Chance() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            double number = 0;
            if (!CLI::detail::lexical_cast(value, number) || !std::isfinite(number) || number < 0 || number > 1)
                return value + " is not accepted: a chance from 0 to 1";
            return std::string();
        },
        "0..1");
}

// A whole number that fits 64 bits, digits only (no sign, no wrap-around).
CLI::Validator Count64() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            errno = 0;
            char* end = nullptr;
            const bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
            std::strtoull(value.c_str(), &end, 10);
            if (!digits || errno == ERANGE || *end)
                return value + " is not accepted: a whole number from 0 to 18446744073709551615";
            return std::string();
        },
        "UINT64");
}

// Values that must be above zero, with a message that says so.
CLI::Validator AboveZero() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            double number = 0;
            if (!CLI::detail::lexical_cast(value, number) || !std::isfinite(number) || !(number > 0))
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
    double rate = 0, duration = 0, maxGap = double(REPLAY_GAP_CAP_US) / 1e6;
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
    app.add_option("--count", count, "stop after this many messages")->check(AboveZero())->check(Count64());
    app.add_option("--seed", seed, "seed of the production and the faults (default 1)")->check(Count64());
    app.add_option("--reset-at", resetAt, "send the counter-reset message as message N")
        ->check(AboveZero())->check(Count64());
    CLI::Option* noNamesOpt = app.add_flag("--no-names", noNames, "do not send the source-name table at start");
    app.add_option("--faults", allFaults, "chance per message of each fault kind not set on its own (0..1)")
        ->check(Chance());
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
        faultOpts[k] = app.add_option(faultOptions[k], faultRates[k], faultHelp[k])->check(Chance());
    CLI::Option* realPaceOpt =
        app.add_flag("--real-pace", realPace,
                     "a real production: cuts every few seconds, mixes of about a second, preview set before the "
                     "take, keys on and off; the switcher's refresh in between");
    CLI::Option* injectOpt =
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
    CLI::Option* simSecondsOpt =
        app.add_option("--sim-seconds", simSeconds, "stop once this many seconds of simulated time were sent")
            ->check(AboveZero());
    CLI::Option* replayOpt = app.add_option(
        "--replay", replayPath,
        "send a raw capture (at line rate) or a recording (.pcap, at its recorded pace) instead of a simulation; "
        "- reads standard input");
    // A replay sends what it reads: an option of the simulation would be
    // silently ignored, so it is refused.
    replayOpt->excludes("--count")->excludes("--seed")->excludes("--reset-at")->excludes("--faults")
        ->excludes(rateOpt)->excludes(noNamesOpt)->excludes(realPaceOpt)->excludes(injectOpt)
        ->excludes(simSecondsOpt);
    for (CLI::Option* fault : faultOpts) replayOpt->excludes(fault);
    CLI::Option* gapOpt =
        app.add_option("--max-gap", maxGap,
                       "longest pause between two records of a paced recording replay, in seconds (default 10)")
            ->check(AboveZero());
    gapOpt->needs(replayOpt);
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
    const bool replayStdin = replayPath == "-";
    if (app.count("--replay") && !replayStdin && !IsStream(replayPath) && !InputCheck("--replay", replayPath, error))
        return refuse(error);
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
    // Reading a pipe or opening a FIFO waits: Ctrl-C there ends the run too.
    InterruptInstall();
    ReplayInput replay;
    if (!replayPath.empty()) {
        replay.path = replayPath;
        replay.timeline.capUs = static_cast<uint64_t>(maxGap * 1e6);
        if (!ReplayStart(replay, error)) {
            if (replay.file && replay.file != stdin) std::fclose(replay.file);
            return refuse(error);
        }
    }
    const int fd = OpenOutput(output, baud, policy, error);
    if (fd < 0 && InterruptSignal()) {
        std::cerr << "tallysim: interrupted while opening " << output << "; nothing was sent\n";
        return InterruptStatus(InterruptSignal());
    }
    if (fd < 0) return refuse(error);
    std::signal(SIGPIPE, SIG_IGN);
    // An output named .pcap is a recording stamped with the simulated clock
    // (from now), framed by the real parser into records as a receiver would.
    const bool recording = replayPath.empty() && output.size() > 5 && output.compare(output.size() - 5, 5, ".pcap") == 0;
    // Descriptors opened here wait for nobody; standard output belongs to the
    // shell, and a recording is written through stdio, which expects to wait.
    struct stat outInfo;
    const bool regular = fstat(fd, &outInfo) == 0 && S_ISREG(outInfo.st_mode);
    bool blocking = fd == STDOUT_FILENO && !regular;
    if (fd != STDOUT_FILENO && !regular && !recording) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) blocking = true;
    }

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
    auto elapsedSeconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto stop = [&] { return InterruptSignal() != 0 || (duration > 0 && elapsedSeconds() >= duration); };
    // A batch in flight when --duration comes is finished (its messages are
    // in the summary): only a write still held up half a second later, by a
    // reader that stopped reading, is cut short. Ctrl-C cuts at once.
    auto stopSending = [&] {
        return InterruptSignal() != 0 || (duration > 0 && elapsedSeconds() >= duration + 0.5);
    };
    // Time the output held us up (a reader that stopped reading, a port
    // closed and opened again): the pace goes on from where it stopped
    // rather than sending the whole backlog at once when the output frees.
    double heldSeconds = 0;
    uint64_t sentBytes = 0, sentMessages = 0;
    bool writeFailed = false;
    std::vector<uint8_t> chunk;
    int writeErrno = 0;
    const bool simulating = replayPath.empty();
    for (;;) {
        if (stop()) break;
        const double elapsed = elapsedSeconds() - heldSeconds;
        if (simulating && ((count && sentMessages >= count) || simDone)) break;
        // How far the line may be by now; a few milliseconds are sent at
        // once, and never more than 64 KiB, whatever the rate asks.
        const uint8_t* data = nullptr;
        size_t size = 0;
        if (simulating && clocked) {
            chunk.clear();
            while (chunk.size() < 65536 && (!count || sentMessages < count)) {
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
            data = chunk.data();
            size = chunk.size();
        } else if (simulating) {
            chunk.clear();
            const double allowed = fast ? 1e18 : rate > 0 ? elapsed * rate + 1 : elapsed * bytesPerSecond + 64;
            while (chunk.size() < 65536 && (!count || sentMessages < count)) {
                if (rate > 0 ? double(sentMessages) >= allowed : double(sentBytes + chunk.size()) >= allowed)
                    break;
                if (simSeconds > 0 && sim->clockS >= simSeconds) {
                    simDone = true;
                    break;
                }
                SimNext(*sim, chunk);
                ++sentMessages;
            }
            data = chunk.data();
            size = chunk.size();
        } else {
            if (replay.sent >= replay.bytes.size() && !ReplayNext(replay)) break;
            size = replay.bytes.size() - replay.sent;
            if (!fast && replay.recording && replay.dueSeconds > elapsed) size = 0;  // each record at its time
            if (!fast && !replay.recording) {                                      // a raw capture at line rate
                const double allowed = elapsed * bytesPerSecond + 64;
                const double room = allowed > double(sentBytes) ? allowed - double(sentBytes) : 0;
                if (double(size) > room) size = static_cast<size_t>(room);
            }
            data = replay.bytes.data() + replay.sent;
        }
        if (recording && size) {
            // The recording's records went to its file as they were framed.
            sentBytes += size;
            if (!RecordingFlush(*writer)) {
                writeErrno = errno;
                writeFailed = true;
                std::cerr << "tallysim: writing " << output << " failed: " << std::strerror(writeErrno) << "\n";
                break;
            }
        } else if (size) {
            const uint64_t before = sentBytes;
            const auto writeStart = std::chrono::steady_clock::now();
            const SendResult sent = Send(fd, blocking, data, size, sentBytes, stopSending);
            if (!simulating) replay.sent += static_cast<size_t>(sentBytes - before);
            // A write takes about its bytes' line time; beyond that (and a
            // quarter second of slack) the output held us up.
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - writeStart).count();
            const double held = took - static_cast<double>(sentBytes - before) / bytesPerSecond;
            if (sent == SEND_DONE && !fast && held > 0.25) {
                heldSeconds += held;
                char text[96];
                std::snprintf(text, sizeof text, "%.1f", held);
                std::cerr << "tallysim: the output was blocked for " << text
                          << " s; resuming at line pace (the backlog is not sent at once)\n";
            }
            if (sent == SEND_STOPPED) break;
            if (sent == SEND_FAILED) {
                writeErrno = errno;
                writeFailed = true;
                std::cerr << "tallysim: writing " << (output == "-" ? "standard output" : output)
                          << " failed: " << std::strerror(writeErrno) << "; stopped after " << sentBytes
                          << " bytes\n";
                break;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
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
        // Bytes the line never took are not sent: the summary must not count them.
        const int discarded = Drain(fd, bytesPerSecond, InterruptSignal() != 0);
        if (discarded > 0) {
            std::cerr << "tallysim: " << discarded << " bytes still queued for " << output
                      << " were discarded (nobody reading?)\n";
            sentBytes = sentBytes > uint64_t(discarded) ? sentBytes - uint64_t(discarded) : 0;
        }
        if (fd != STDOUT_FILENO) close(fd);
    }
    if (replay.file && replay.file != stdin) std::fclose(replay.file);
    if (!replay.warning.empty())
        std::cerr << "tallysim: warning: " << replayPath << ": " << replay.warning
                  << "; replayed up to the last whole record\n";
    const bool readFailed = !replay.error.empty() && !InterruptSignal();
    if (readFailed)
        std::cerr << "tallysim: --replay " << replayPath << ": " << replay.error << "; stopped after " << sentBytes
                  << " bytes\n";

    nlohmann::json summary;
    if (simulating) {
        summary = SimSummaryJson(*sim);
        // Messages generated but not written (a stop mid-chunk) would make the
        // expectation wrong, so the summary says so.
        summary["complete"] = sim->bytes == sentBytes;
        if (recording) summary["startUs"] = recordStartUs;
    } else {
        summary = {{"replay", replayPath},
                   {"bytes", sentBytes},
                   {"complete", replay.ended && replay.error.empty() && replay.sent >= replay.bytes.size()}};
        if (replay.recording) summary["gapsShortened"] = replay.timeline.capped;
        if (replay.timeline.capped)
            std::cerr << "tallysim: " << replay.timeline.capped << " gap" << (replay.timeline.capped == 1 ? "" : "s")
                      << " between records longer than " << maxGap << " s played as " << maxGap << " s\n";
    }
    if (writeFailed) summary["writeError"] = std::strerror(writeErrno);
    if (readFailed) summary["readError"] = replay.error;
    if (InterruptSignal()) summary["interrupted"] = true;
    const std::string text = summary.dump(2) + "\n";
    const int status = writeFailed || readFailed ? 1 : 0;
    if (summaryPath.empty()) {
        // The account of what was sent is the run's result: losing it is a failure.
        std::cerr << text;
        std::cerr.flush();
        if (std::cerr.fail() || std::ferror(stderr)) return 1;
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
    return status;
}
