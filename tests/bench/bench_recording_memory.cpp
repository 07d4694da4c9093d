// tallydump's peak memory against the size of the recording it decodes: a
// recording of 1 M and one of 10 M records (messages, stray runs, a line
// error every thousand records), decoded in summary, --json, --trace (to
// /dev/null) and --on-air mode. The peak must stay flat in the input's
// size; prints the peak resident size of each run and its time.
//   bench_recording_memory [MILLIONS...]   (default 1 10)
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "tally/protocol.h"

namespace {

bool Make(const std::string& path, uint64_t records) {
    RecordingWriter writer;
    std::string error;
    if (!RecordingCreate(writer, path.c_str(), error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    std::vector<uint8_t> me(2 + ME_PAYLOAD, 0x01), out(2 + OUT_PAYLOAD, 0x02);
    me[0] = me[1] = 0x81;
    out[0] = out[1] = 0xB1;
    const uint8_t stray[3] = {1, 2, 3}, line[4] = {8, 0, 0, 0};
    const char* connect = "COM1 256000 8N1";
    uint64_t t = 1796720396000000ull;
    RecordingWrite(writer, t, RECORD_CONNECT, 0, 0, reinterpret_cast<const uint8_t*>(connect), 15);
    for (uint64_t i = 1; i < records; ++i) {
        t += 700;
        if (i % 1000 == 0) RecordingWrite(writer, t, RECORD_LINE_ERROR, 0, 0, line, 4);
        else if (i % 7 == 0) RecordingWrite(writer, t, RECORD_STRAY, 0, 0, stray, 3);
        else if (i % 2) RecordingWrite(writer, t, RECORD_MESSAGE, 0, 0x81, me.data(), me.size());
        else RecordingWrite(writer, t, RECORD_MESSAGE, 0, 0xB1, out.data(), out.size());
    }
    return RecordingClose(writer);
}

// Runs tallydump with stdout to /dev/null; peak resident KiB and seconds.
bool Run(const std::vector<std::string>& argv, long& peakKb, double& seconds) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    peakKb = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint64_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10) * 1000000);
    if (sizes.empty()) sizes = {1000000, 10000000};
    const std::string path = "/tmp/qorvex_bench_recording.pcap";
    int failed = 0;
    std::printf("tallydump peak memory by recording size (stdout to /dev/null)\n");
    std::printf("%10s %10s %-10s %12s %10s\n", "records", "MB", "mode", "peak KiB", "seconds");
    for (uint64_t records : sizes) {
        if (!Make(path, records)) return 1;
        RecordingSummary summary;
        std::string error;
        RecordingCheck(path.c_str(), summary, error);
        FILE* f = std::fopen(path.c_str(), "rb");
        std::fseek(f, 0, SEEK_END);
        const double mb = double(std::ftell(f)) / 1e6;
        std::fclose(f);
        for (const char* mode : {"summary", "--json", "--trace", "--on-air"}) {
            std::vector<std::string> args = {TALLYDUMP_PATH};
            if (std::string(mode) != "summary") args.push_back(mode);
            args.push_back(path);
            long peak = 0;
            double seconds = 0;
            const bool ok = Run(args, peak, seconds);
            std::printf("%10llu %10.0f %-10s %12ld %10.2f%s\n", (unsigned long long)summary.records, mb, mode, peak,
                        seconds, ok ? "" : "  FAILED");
            std::fflush(stdout);
            if (!ok) ++failed;
        }
    }
    std::remove(path.c_str());
    return failed ? 1 : 0;
}
