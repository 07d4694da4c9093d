// Careless use of the tools: values that cannot work are refused before
// anything is read, sent or written; files are never replaced unasked;
// Ctrl-C and SIGTERM always leave a report.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <nlohmann/json.hpp>

#include "recording/recording.h"
#include "tests/tools/process.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;
const std::string SIM = TALLYSIM_PATH;

int Lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

std::string Dir() {
    const std::string dir = TestDir() + "/misuse";
    mkdir(dir.c_str(), 0755);
    return dir;
}

// A feed of a few kilobytes with every fault kind, made once.
const std::string& Feed() {
    static std::string path;
    if (path.empty()) {
        path = Dir() + "/feed.bin";
        RunTool({SIM, "--fast", "--count", "400", "--faults", "0.05", "--output", path, "--force"});
    }
    return path;
}

}  // namespace

TEST(ToolMisuse, RefusedWithOneLineAndStatusTwoBeforeAnythingIsWritten) {
    const std::string d = Dir();
    const std::string existing = d + "/existing.bin", empty = d + "/empty.bin", made = d + "/made.bin";
    WriteFileBytes(existing, {1, 2, 3});
    WriteFileBytes(empty, {});
    const std::string existingPcap = d + "/existing.pcap";
    WriteFileBytes(existingPcap, {1, 2, 3});
    mkdir((d + "/folder").c_str(), 0755);
    const std::string noTty = "/dev/qorvex-no-such-tty";
    struct Case {
        std::vector<std::string> args;
        std::string says;  // part of the one line on standard error
    } cases[] = {
        {{SIM, "-o", noTty, "--count", "10"}, "no such device"},
        {{SIM, "-o", noTty, "--count", "10", "--force"}, "no such device"},
        {{SIM, "--replay", d + "/folder", "-o", made}, "is a directory"},
        {{SIM, "--replay", empty, "-o", made}, "is empty"},
        {{SIM, "--count", "5", "-o", existing}, "file exists (--force overwrites it, --append adds to it)"},
        {{SIM, "--count", "5", "-o", ""}, "--output: empty file name"},
        {{SIM, "--count", "5", "-o", d + "/folder"}, "is a directory"},
        {{SIM, "--count", "5", "-o", made, "--summary", d + "/no-folder/s.json"}, "no such folder"},
        {{SIM, "--count", "5", "-o", made, "--summary", existing}, "--summary " + existing + ": file exists"},
        {{SIM, "--replay", existing, "-o", existing, "--force"}, "is the --replay file itself"},
        {{SIM, "--count", "-3", "-o", made}, "--count: -3 is not accepted: a number above 0"},
        {{SIM, "--count", "18446744073709551616", "-o", made}, "--count: 18446744073709551616 is not accepted"},
        {{SIM, "--stray", "nan", "-o", made}, "--stray: nan is not accepted: a chance from 0 to 1"},
        {{SIM, "--faults", "nan", "-o", made}, "--faults: nan is not accepted"},
        {{SIM, "--duration", "inf", "-o", made}, "--duration: inf is not accepted: a number above 0"},
        // A replay sends what it reads: the simulation's options would be ignored.
        {{SIM, "--replay", existing, "--stray", "0.1", "-o", made}, "--stray excludes --replay"},
        {{SIM, "--replay", existing, "--truncate", "0.1", "-o", made}, "--truncate excludes --replay"},
        {{SIM, "--replay", existing, "--unknown", "0.1", "-o", made}, "--unknown excludes --replay"},
        {{SIM, "--replay", existing, "--no-names", "-o", made}, "--no-names excludes --replay"},
        {{SIM, "--replay", existing, "--rate", "5", "-o", made}, "--rate excludes --replay"},
        {{SIM, "--replay", existing, "--real-pace", "-o", made}, "--real-pace excludes --replay"},
        {{SIM, "--replay", existing, "--inject", "reset,at=1", "-o", made}, "--inject excludes --replay"},
        {{SIM, "--replay", existing, "--sim-seconds", "5", "-o", made}, "--sim-seconds excludes --replay"},
        {{SIM, "--max-gap", "5", "-o", made}, "--max-gap requires --replay"},
        {{SIM, "--force", "--append", "-o", made}, "--force excludes --append"},
        {{DUMP, d + "/folder"}, "is a directory"},
        {{DUMP, empty}, "is empty"},
        {{DUMP, ""}, "empty file name"},
        {{DUMP, "--block", "9977", Feed()}, "--block: Value 9977 not in range 1 to 9976"},
        {{DUMP, "--trace", "--time", "wall", Feed()}, "--time: only with --port or standard input"},
        {{DUMP, "--trace", "--time", "noon", "-"}, "--time: noon not in {start,wall}"},
        {{DUMP, "--port", noTty, "--baud", "12345"}, "12345 is not a rate tallydump sets (110, 300, 600"},
        {{DUMP, "--port", noTty, "--parity", "X"}, "--parity"},
        {{DUMP, "--port", ""}, "--port: empty device name"},
        {{DUMP, "--port", noTty, "--capture", ""}, "--capture: empty file name"},
        {{DUMP, "--port", noTty, "--capture", existing}, "file exists (--force overwrites it, --append adds to it)"},
        {{DUMP, "--port", noTty, "--capture", d + "/no-folder/c.bin"}, "no such folder"},
        {{DUMP, "--port", noTty, "--capture", made}, "no such device"},
        {{DUMP, "--capture", made, Feed()}, "--capture requires --port"},
        {{DUMP, "--port", noTty, "--capture", existingPcap}, "file exists (--force overwrites it"},
        {{DUMP, "--port", noTty, "--capture", existingPcap, "--append"}, "a recording (.pcap) cannot be appended to"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += (a.find('/') != std::string::npos ? a.substr(a.rfind('/')) : a) + " ";
        SCOPED_TRACE(line);
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(Lines(run.err), 1) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(Exists(made));
        EXPECT_FALSE(Exists(noTty));
        EXPECT_EQ(ReadFileText(existing), std::string("\x01\x02\x03"));
        EXPECT_EQ(ReadFileText(existingPcap), std::string("\x01\x02\x03"));
    }
    EXPECT_EQ(RunTool({SIM, "--version"}).out, "tallysim (Qorvex) " QORVEX_VERSION_TEXT "\n");
    EXPECT_EQ(RunTool({DUMP, "--version"}).out, "tallydump (Qorvex) " QORVEX_VERSION_TEXT "\n");
    EXPECT_NE(RunTool({DUMP, "--help"}).out.find("130  a file or standard input interrupted"), std::string::npos);
}

TEST(ToolFiles, OutputsAreReplacedOrExtendedOnlyWhenTold) {
    const std::string d = Dir(), out = d + "/sim-out.bin", summary = d + "/sim-summary.json";
    const std::vector<std::string> sim = {SIM, "--fast", "--count", "20", "--no-names", "-o", out, "--summary", summary};
    ASSERT_EQ(RunTool(sim).status, 0);
    const std::string first = ReadFileText(out);
    ASSERT_GT(first.size(), 100u);
    EXPECT_EQ(RunTool(sim).status, 2) << "a second run must not replace the first";
    EXPECT_EQ(ReadFileText(out), first);

    std::vector<std::string> append = sim;
    append.push_back("--append");
    ASSERT_EQ(RunTool(append).status, 0);
    EXPECT_EQ(ReadFileText(out), first + first);
    const std::string summaries = ReadFileText(summary);
    EXPECT_NE(summaries.find("\"seed\""), summaries.rfind("\"seed\"")) << "two summaries, one after the other";

    std::vector<std::string> force = sim;
    force.push_back("--force");
    ASSERT_EQ(RunTool(force).status, 0);
    EXPECT_EQ(ReadFileText(out), first);
    EXPECT_EQ(nlohmann::json::parse(ReadFileText(summary))["bytes"].get<size_t>(), first.size());

    // A write that fails stops the run at once, says so, and keeps the account.
    const ToolRun full = RunTool({SIM, "--fast", "--count", "100000", "-o", "/dev/full"});
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("tallysim: writing /dev/full failed: No space left on device"), std::string::npos)
        << full.err.substr(0, 300);
    const nlohmann::json account = nlohmann::json::parse(full.err.substr(full.err.find('{')));
    EXPECT_EQ(account["complete"], false);
    EXPECT_LT(account["messageTotal"].get<int>(), 100000);
}

namespace {

// tallydump reading a FIFO that the test keeps open, as a pipe from a live
// port would be; the bytes written are all the tool can have seen.
struct FifoRun {
    pid_t pid = -1;
    int writer = -1;
    std::string out, err;
};

// Until the tool has taken every byte written into the fifo (it reads only
// once its interrupt handler is in place), then a moment for it to decode
// them: a loaded machine may start a sanitizer build slower than any fixed
// pause.
void WaitUntilRead(int writer) {
    for (int i = 0; i < 1000; ++i) {
        int pending = 0;
        if (ioctl(writer, FIONREAD, &pending) != 0 || pending == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

FifoRun StartOnFifo(const std::vector<std::string>& args, const std::string& name, const std::string& bytes) {
    FifoRun run;
    const std::string fifo = Dir() + "/" + name + ".fifo";
    unlink(fifo.c_str());
    mkfifo(fifo.c_str(), 0600);
    run.out = Dir() + "/" + name + ".out";
    run.err = Dir() + "/" + name + ".err";
    run.pid = StartTool(args, fifo, run.out, run.err);
    run.writer = open(fifo.c_str(), O_WRONLY);
    if (write(run.writer, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) run.writer = -1;
    return run;
}

}  // namespace

TEST(ToolInterrupt, StandardInputStillOpenGivesTheReportOfWhatWasRead) {
    const std::string feed = ReadFileText(Feed());
    const std::string size = std::to_string(feed.size());
    const nlohmann::json whole = nlohmann::json::parse(RunTool({DUMP, "--json", Feed()}).out);
    struct Case {
        const char* mode;
        int signal;
    } cases[] = {{"--json", SIGINT}, {"--json", SIGTERM}, {"--trace", SIGINT}, {"", SIGINT}, {"", SIGTERM}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " signal " + std::to_string(c.signal));
        std::vector<std::string> args = {DUMP};
        if (*c.mode) args.push_back(c.mode);
        args.push_back("-");
        FifoRun run = StartOnFifo(args, "stdin" + std::to_string(++n), feed);
        ASSERT_GE(run.writer, 0);
        WaitUntilRead(run.writer);
        kill(run.pid, c.signal);
        EXPECT_EQ(WaitTool(run.pid, 10000), 128 + c.signal);
        close(run.writer);
        const std::string out = ReadFileText(run.out), err = ReadFileText(run.err);
        EXPECT_NE(err.find("tallydump: interrupted; the report covers the " + size + " bytes read so far"),
                  std::string::npos)
            << err;
        if (std::string(c.mode) == "--json") {
            const nlohmann::json json = nlohmann::json::parse(out);
            EXPECT_EQ(json["end"], "interrupted");
            EXPECT_EQ(json["counters"], whole["counters"]);
            EXPECT_EQ(json["totals"], whole["totals"]);
        } else if (std::string(c.mode) == "--trace") {
            EXPECT_NE(out.find("\ninterrupted at " + size + ", pending 0 bytes\n"), std::string::npos)
                << out.substr(out.size() > 300 ? out.size() - 300 : 0);
        } else {
            EXPECT_EQ(out.find(size + " bytes decoded\n"), 0u) << out;
        }
    }

    // Wall-clock stamps from a live pipe: ISO 8601 with milliseconds, now.
    FifoRun run = StartOnFifo({DUMP, "--trace", "--time", "wall", "-"}, "wall", std::string("\x01\x02", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(run.writer);
    EXPECT_EQ(WaitTool(run.pid, 10000), 0);
    const std::string trace = ReadFileText(run.out);
    char today[16];
    const time_t now = time(nullptr);
    strftime(today, sizeof today, "%Y-%m-%dT", localtime(&now));
    ASSERT_GT(trace.size(), 30u) << trace;
    EXPECT_EQ(trace.substr(0, 11), today) << trace;
    EXPECT_EQ(trace[19], '.') << trace;
    EXPECT_TRUE(trace[23] == '+' || trace[23] == '-') << trace;
    EXPECT_EQ(trace.substr(29, 12), "           0") << trace;
}

TEST(ToolInterrupt, ARecordingOnStandardInputStillOpenGivesTheReportOfItsRecords) {
    // The feed as a recording of two records, sent through a pipe kept open.
    const std::string feed = ReadFileText(Feed()), path = Dir() + "/interrupted.pcap";
    RecordingWriter writer;
    std::string error;
    ASSERT_TRUE(RecordingCreate(writer, path.c_str(), error)) << error;
    const std::string settings = "COM1 115200 8N1";
    RecordingWrite(writer, 1796720396000000ull, RECORD_CONNECT, 0, 0,
                   reinterpret_cast<const uint8_t*>(settings.data()), settings.size());
    RecordingWrite(writer, 1796720396500000ull, RECORD_STRAY, 0, 0, reinterpret_cast<const uint8_t*>(feed.data()),
                   feed.size());
    ASSERT_TRUE(RecordingClose(writer));
    const nlohmann::json whole = nlohmann::json::parse(RunTool({DUMP, "--json", Feed()}).out);

    FifoRun run = StartOnFifo({DUMP, "--json", "-"}, "recording", ReadFileText(path));
    ASSERT_GE(run.writer, 0);
    WaitUntilRead(run.writer);
    kill(run.pid, SIGINT);
    EXPECT_EQ(WaitTool(run.pid, 10000), 130);
    close(run.writer);
    const std::string err = ReadFileText(run.err);
    const size_t records = (feed.size() + RECORD_MAX_BYTES - 1) / RECORD_MAX_BYTES + 1;
    EXPECT_NE(err.find("tallydump: interrupted; the report covers the " + std::to_string(records) +
                       " records read so far"),
              std::string::npos)
        << err;
    const nlohmann::json json = nlohmann::json::parse(ReadFileText(run.out));
    EXPECT_EQ(json["end"], "interrupted");
    EXPECT_EQ(json["counters"], whole["counters"]);
}

TEST(ToolInterrupt, ASecondCtrlCQuitsAtOnce) {
    // Standard output is a pipe nobody reads: once it is full the trace, and
    // then the report, cannot be written, and only a second Ctrl-C ends it.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/zero", O_RDONLY);  // endless stray bytes
        const int null = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(pipeFds[1], 1);
        dup2(null, 2);
        close(pipeFds[0]);
        execl(DUMP.c_str(), DUMP.c_str(), "--trace", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    // Its first trace lines mean it is decoding, its handler in place.
    pollfd ready = {pipeFds[0], POLLIN, 0};
    poll(&ready, 1, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "still owes its report";
    const auto start = std::chrono::steady_clock::now();
    kill(pid, SIGINT);
    EXPECT_EQ(WaitTool(pid, 10000), 130);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    close(pipeFds[0]);
}
