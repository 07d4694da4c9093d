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

#include "recording/recording.h"
#include "tools/common/cli.h"
#include "tools/common/tty.h"
#include "tools/tallysim/sim.h"

namespace {

std::atomic<bool> stopRequested{false};
extern "C" void OnSignal(int) { stopRequested = true; }

// Opens the output: "-" is standard output; a tty is put into raw mode at the
// baud rate; anything else is created or truncated as a file.
int OpenOutput(const std::string& path, long baud, std::string& error) {
    if (path == "-") return STDOUT_FILENO;
    struct stat info;
    const bool device = stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
    const int fd = device ? open(path.c_str(), O_WRONLY | O_NOCTTY)
                          : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
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
bool WriteAll(int fd, const uint8_t* data, size_t count) {
    while (count) {
        const ssize_t n = write(fd, data, count);
        if (n < 0) {
            if (errno == EINTR) {
                if (stopRequested) return false;
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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Simulate the switcher end of a tally link."};
    app.name("tallysim");
    std::string output = "-", replayPath, summaryPath;
    long baud = 115200;
    double rate = 0, duration = 0;
    uint64_t count = 0, seed = 1, resetAt = 0;
    bool fast = false, noNames = false;
    double faultRates[FAULT_KINDS] = {};
    double allFaults = 0;
    app.add_option("--output,-o", output, "serial device, pty, file, or - for standard output (default -)");
    app.add_option("--baud", baud, "line rate: pace at baud/10 characters per second (default 115200)")
        ->check(CLI::Range(50L, 4000000L));
    CLI::Option* rateOpt = app.add_option("--rate", rate, "pace at this many messages per second instead")
                               ->check(CLI::PositiveNumber);
    CLI::Option* fastOpt = app.add_flag("--fast", fast, "no pacing (for files and pipes)");
    rateOpt->excludes(fastOpt);
    app.add_option("--duration", duration, "stop after this many seconds")->check(CLI::PositiveNumber);
    app.add_option("--count", count, "stop after this many messages")->check(CLI::PositiveNumber);
    app.add_option("--seed", seed, "seed of the production and the faults (default 1)");
    app.add_option("--reset-at", resetAt, "send the counter-reset message as message N")
        ->check(CLI::PositiveNumber);
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
    CLI::Option* replayOpt = app.add_option(
        "--replay", replayPath,
        "send a raw capture (at line rate) or a recording (.pcap, at its recorded pace) instead of a simulation");
    replayOpt->excludes("--count")->excludes("--seed")->excludes("--reset-at")->excludes("--faults");
    app.add_option("--summary", summaryPath, "write the JSON summary to FILE instead of standard error");
    const int parsed = ToolParse(app, argc, argv, "tallysim");
    if (parsed >= 0) return parsed;

    std::vector<uint8_t> replay;
    std::vector<ReplayMark> marks;  // empty for a raw capture
    if (!replayPath.empty()) {
        FILE* in = std::fopen(replayPath.c_str(), "rb");
        if (!in) {
            std::cerr << "tallysim: cannot open " << replayPath << ": " << std::strerror(errno) << "\n";
            return 2;
        }
        uint8_t magic[4];
        const size_t got = std::fread(magic, 1, sizeof magic, in);
        std::string why;
        bool ok;
        if (RecordingHasMagic(magic, got)) {
            std::rewind(in);
            ok = LoadRecording(in, replayPath, replay, marks, why);
        } else {
            replay.assign(magic, magic + got);
            uint8_t block[65536];
            size_t n;
            while ((n = std::fread(block, 1, sizeof block, in)) > 0) replay.insert(replay.end(), block, block + n);
            ok = !std::ferror(in);
            why = "cannot read " + replayPath;
        }
        std::fclose(in);
        if (!ok) {
            std::cerr << "tallysim: " << why << "\n";
            return 2;
        }
    }
    std::string error;
    const int fd = OpenOutput(output, baud, error);
    if (fd < 0) {
        std::cerr << "tallysim: " << error << "\n";
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    SimConfig config;
    config.seed = seed;
    config.resetAt = resetAt;
    config.names = !noNames;
    for (int k = 0; k < FAULT_KINDS; ++k) config.faultRate[k] = faultOpts[k]->count() ? faultRates[k] : allFaults;
    std::unique_ptr<SimState> sim(new SimState);
    SimInit(*sim, config);

    const double bytesPerSecond = static_cast<double>(baud) / 10.0;
    const auto start = std::chrono::steady_clock::now();
    uint64_t sentBytes = 0, sentMessages = 0;
    size_t replayPos = 0, replayMark = 0;
    bool writeFailed = false;
    std::vector<uint8_t> chunk;
    for (;;) {
        if (stopRequested) break;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (duration > 0 && elapsed >= duration) break;
        const bool simulating = replayPath.empty();
        if (simulating && count && sentMessages >= count) break;
        if (!simulating && replayPos >= replay.size()) break;
        // How far the line may be by now; a few milliseconds are sent at once.
        chunk.clear();
        if (simulating) {
            const double allowed = fast ? 1e18 : rate > 0 ? elapsed * rate + 1 : elapsed * bytesPerSecond + 64;
            while ((fast ? chunk.size() < 65536 : true) && (!count || sentMessages < count)) {
                if (rate > 0 ? double(sentMessages) >= allowed : double(sentBytes + chunk.size()) >= allowed)
                    break;
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
        if (!chunk.empty()) {
            if (!WriteAll(fd, chunk.data(), chunk.size())) {
                writeFailed = !stopRequested;
                break;
            }
            sentBytes += chunk.size();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // Let a serial line drain before reporting what was sent.
    if (isatty(fd)) tcdrain(fd);
    if (fd != STDOUT_FILENO) close(fd);

    nlohmann::json summary;
    if (replayPath.empty()) {
        summary = SimSummaryJson(*sim);
        // Messages generated but not written (a stop mid-chunk) would make the
        // expectation wrong, so the summary says so.
        summary["complete"] = sim->bytes == sentBytes;
    } else {
        summary = {{"replay", replayPath}, {"bytes", sentBytes}, {"complete", replayPos == replay.size()}};
    }
    if (writeFailed) summary["writeError"] = std::strerror(errno);
    const std::string text = summary.dump(2) + "\n";
    if (summaryPath.empty()) {
        std::cerr << text;
    } else {
        std::ofstream file(summaryPath, std::ios::trunc);
        file << text;
        if (!file) {
            std::cerr << "tallysim: cannot write " << summaryPath << "\n";
            return 2;
        }
    }
    return writeFailed ? 1 : 0;
}
