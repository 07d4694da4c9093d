// tallydump --port on a virtual null-modem (a socat pty pair started and
// ended by pid here), fed by tallysim on the other end.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/tools/process.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;
const std::string SIM = TALLYSIM_PATH;

class NullModem : public ::testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        const std::string base = TestDir() + "/modem" + std::to_string(++serial);
        sender = base + "A";
        receiver = base + "B";
        if (access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat is not installed";
        socat = StartTool({"/usr/bin/socat", "pty,raw,echo=0,link=" + sender, "pty,raw,echo=0,link=" + receiver},
                          "", base + ".socat.out", base + ".socat.err");
        for (int i = 0; i < 200 && !(Exists(sender) && Exists(receiver)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(Exists(sender) && Exists(receiver)) << "socat did not create the pty pair";
    }
    void TearDown() override {
        if (socat > 0) {
            kill(socat, SIGTERM);
            WaitTool(socat, 5000);
        }
    }
    // Starts a monitor and gives it time to open and lock the port.
    pid_t StartMonitor(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
        const pid_t pid = StartTool(args, "", out, err);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return pid;
    }
    pid_t socat = -1;
    std::string sender, receiver;
};

}  // namespace

TEST_F(NullModem, LiveJsonAndCaptureAgreeWithTheSimulator) {
    const std::string base = TestDir() + "/livejson";
    const pid_t monitor =
        StartMonitor({DUMP, "--port", receiver, "--json", "--capture", base + ".cap"}, base + ".out", base + ".err");
    const ToolRun sim = RunTool({SIM, "--output", sender, "--count", "600", "--faults", "0.05", "--seed", "9",
                                 "--reset-at", "200", "--summary", base + ".sim"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    kill(monitor, SIGINT);
    ASSERT_EQ(WaitTool(monitor, 10000), 0) << ReadFileText(base + ".err");

    const nlohmann::json summary = nlohmann::json::parse(ReadFileText(base + ".sim"));
    const nlohmann::json live = nlohmann::json::parse(ReadFileText(base + ".out"));
    EXPECT_EQ(live["counters"], summary["counters"]);
    EXPECT_EQ(live["records"], summary["records"]);
    EXPECT_EQ(live["names"], summary["names"]);
    // The monitor line came about twice a second, on standard error.
    EXPECT_NE(ReadFileText(base + ".err").find(" msg/s | Framing errors "), std::string::npos);

    // The capture is the raw feed: decoded again it gives the same store, and
    // tallysim can send it again.
    EXPECT_EQ(ReadFileText(base + ".cap").size(), summary["bytes"].get<size_t>());
    const ToolRun again = RunTool({DUMP, "--json", base + ".cap"});
    const nlohmann::json decoded = nlohmann::json::parse(again.out);
    for (const char* key : {"counters", "records", "names", "totals"}) EXPECT_EQ(decoded[key], live[key]) << key;
    const ToolRun replay = RunTool({SIM, "--replay", base + ".cap", "--fast"});
    EXPECT_EQ(replay.out, ReadFileText(base + ".cap"));
}

TEST_F(NullModem, CaptureToAPcapNameWritesARecordingOfTheSameFeed) {
    const std::string base = TestDir() + "/liverec";
    const pid_t monitor = StartMonitor({DUMP, "--port", receiver, "--baud", "38400", "--json", "--capture",
                                        base + ".pcap"},
                                       base + ".out", base + ".err");
    const ToolRun sim = RunTool({SIM, "--output", sender, "--count", "300", "--faults", "0.05", "--seed", "4",
                                 "--summary", base + ".sim"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    kill(monitor, SIGINT);
    ASSERT_EQ(WaitTool(monitor, 10000), 0) << ReadFileText(base + ".err");
    const nlohmann::json summary = nlohmann::json::parse(ReadFileText(base + ".sim"));
    EXPECT_EQ(nlohmann::json::parse(ReadFileText(base + ".out"))["counters"], summary["counters"]);

    // Decoded again from the recording: the same state; sent again: the same bytes.
    const ToolRun again = RunTool({DUMP, "--json", base + ".pcap"});
    EXPECT_EQ(again.status, 0) << again.err;
    // All but how the run ended: the live run was stopped and knows its line errors.
    nlohmann::json decoded = nlohmann::json::parse(again.out), live = nlohmann::json::parse(ReadFileText(base + ".out"));
    EXPECT_EQ(decoded["end"], "end of input");
    EXPECT_EQ(live["end"], "stopped");
    for (nlohmann::json* report : {&decoded, &live}) {
        report->erase("end");
        report->erase("lineErrors");
    }
    EXPECT_EQ(decoded, live);
    const ToolRun replay = RunTool({SIM, "--replay", base + ".pcap", "--fast"});
    EXPECT_EQ(replay.out.size(), summary["bytes"].get<size_t>());
    const ToolRun trace = RunTool({DUMP, "--trace", base + ".pcap"});
    EXPECT_NE(trace.out.find("connect " + receiver + " 38400 8N1\n"), std::string::npos) << trace.out.substr(0, 200);
    EXPECT_NE(trace.out.find("disconnect\nend of recording at " + std::to_string(summary["bytes"].get<size_t>())),
              std::string::npos);
}

TEST_F(NullModem, TraceLinesAreTimeStampedAndCtrlCGivesTheFinalSummary) {
    const std::string base = TestDir() + "/livetrace";
    const pid_t monitor = StartMonitor({DUMP, "--port", receiver, "--trace", "--baud", "57600"}, base + ".out",
                                       base + ".err");
    const ToolRun sim = RunTool({SIM, "--output", sender, "--baud", "57600", "--count", "200", "--no-names",
                                 "--unknown", "0.2", "--seed", "4", "--summary", base + ".sim"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(monitor, SIGINT);
    ASSERT_EQ(WaitTool(monitor, 10000), 0);
    const nlohmann::json summary = nlohmann::json::parse(ReadFileText(base + ".sim"));
    const std::string trace = ReadFileText(base + ".out");
    std::istringstream lines(trace);
    int stored = 0, unknown = 0;
    long lastMs = -1;
    bool ordered = true;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(" ms  ") == std::string::npos) continue;
        const long ms = std::stol(line);
        ordered = ordered && ms >= lastMs;
        lastMs = ms;
        stored += line.find("stored ") != std::string::npos;
        unknown += line.find("unknown type 0x") != std::string::npos;
    }
    EXPECT_TRUE(ordered);
    EXPECT_GT(lastMs, 0);
    EXPECT_EQ(stored, summary["messageTotal"].get<int>());
    EXPECT_EQ(unknown, summary["faults"]["unknownType"].get<int>());
    EXPECT_NE(trace.find("errors: stray bytes 0, unknown types " +
                         std::to_string(summary["counters"]["unknownTypeCount"].get<int>())),
              std::string::npos)
        << trace.substr(trace.size() > 600 ? trace.size() - 600 : 0);
}

TEST_F(NullModem, UnusableDevicesAndSettingsExitWithTwoAndWriteNothing) {
    const std::string base = TestDir() + "/unusable";
    const std::string capture = base + ".cap";
    // Busy: a first monitor holds the port.
    const pid_t holder = StartMonitor({DUMP, "--port", receiver}, base + ".hold.out", base + ".hold.err");
    ToolRun run = RunTool({DUMP, "--port", receiver, "--capture", capture});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("busy"), std::string::npos) << run.err;
    kill(holder, SIGINT);
    EXPECT_EQ(WaitTool(holder, 10000), 0);

    const std::vector<std::vector<std::string>> cases = {
        {DUMP, "--port", TestDir() + "/no-such-tty", "--capture", capture},
        {DUMP, "--port", receiver, "--baud", "12345", "--capture", capture},
        {DUMP, "--port", receiver, "--data-bits", "9", "--capture", capture},
        {DUMP, "--port", receiver, "--parity", "X", "--capture", capture},
        {DUMP, "--port", receiver, "--stop-bits", "3", "--capture", capture},
        {DUMP, "--port", "/dev/null", "--capture", capture},
    };
    for (const auto& args : cases) {
        run = RunTool(args);
        EXPECT_EQ(run.status, 2) << args[2] << " " << args[3];
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(Exists(capture)) << "capture created for " << args[3];
    }
    // Options that only make sense with a port.
    run = RunTool({DUMP, "--baud", "9600", "x.bin"});
    EXPECT_EQ(run.status, 2);
    run = RunTool({DUMP, "--port", receiver, "x.bin"});
    EXPECT_EQ(run.status, 2);
}

TEST_F(NullModem, RateWithoutATermiosConstantCarriesTheFeedBothWays) {
    // 256000 has no Bxxx constant: both ends must still set it, and what the
    // monitor decodes must be exactly what the simulator says it sent.
    const std::string base = TestDir() + "/rate256k";
    const pid_t monitor = StartMonitor({DUMP, "--port", receiver, "--baud", "256000", "--json"}, base + ".out",
                                       base + ".err");
    const ToolRun sim = RunTool({SIM, "--output", sender, "--baud", "256000", "--count", "800", "--faults", "0.04",
                                 "--seed", "21", "--summary", base + ".sim"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    kill(monitor, SIGINT);
    ASSERT_EQ(WaitTool(monitor, 10000), 0) << ReadFileText(base + ".err");
    EXPECT_NE(ReadFileText(base + ".err").find("monitoring " + receiver + " at 256000 8N1"), std::string::npos)
        << ReadFileText(base + ".err");

    const nlohmann::json summary = nlohmann::json::parse(ReadFileText(base + ".sim"));
    const nlohmann::json live = nlohmann::json::parse(ReadFileText(base + ".out"));
    EXPECT_TRUE(summary["complete"].get<bool>());
    EXPECT_EQ(summary["messageTotal"].get<int>(), 800);
    EXPECT_EQ(live["counters"], summary["counters"]);
    EXPECT_EQ(live["records"], summary["records"]);
    EXPECT_EQ(live["names"], summary["names"]);
}

TEST_F(NullModem, ImpossibleRatesExitWithTwoAndTouchNothing) {
    const std::string base = TestDir() + "/badrate";
    for (const char* rate : {"0", "-1", "-256000"}) {
        ToolRun run = RunTool({DUMP, "--port", receiver, "--baud", rate, "--capture", base + ".cap"});
        EXPECT_EQ(run.status, 2) << rate;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_NE(run.err.find("baud"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(Exists(base + ".cap")) << rate;

        run = RunTool({SIM, "--output", sender, "--baud", rate, "--count", "5", "--summary", base + ".sim"});
        EXPECT_EQ(run.status, 2) << rate;
        EXPECT_NE(run.err.find("--baud"), std::string::npos) << run.err;
        EXPECT_FALSE(Exists(base + ".sim")) << rate;
    }
    // The port was left usable: a sane rate still goes through afterwards.
    const ToolRun sim = RunTool({SIM, "--output", sender, "--baud", "256000", "--count", "3", "--no-names",
                                 "--summary", base + ".ok"});
    EXPECT_EQ(sim.status, 0) << sim.err;
}

TEST_F(NullModem, MonitorLineShowsLinkStateRateAndErrorsSinceStart) {
    const std::string base = TestDir() + "/monitorline";
    const pid_t monitor = StartMonitor({DUMP, "--port", receiver}, base + ".out", base + ".err");
    // A reset in the middle hides the errors before it from the counters.
    const ToolRun sim = RunTool({SIM, "--output", sender, "--rate", "200", "--count", "600", "--no-names",
                                 "--faults", "0.05", "--seed", "5", "--reset-at", "400", "--summary",
                                 base + ".sim"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(3600));  // silent for more than 2 s
    kill(monitor, SIGTERM);
    ASSERT_EQ(WaitTool(monitor, 10000), 0);
    const std::string err = ReadFileText(base + ".err"), out = ReadFileText(base + ".out");
    const nlohmann::json summary = nlohmann::json::parse(ReadFileText(base + ".sim"));
    const nlohmann::json& c = summary["counters"];
    const int framingNow = c["strayByteCount"].get<int>() + c["unknownTypeCount"].get<int>() +
                           c["headerMismatchCount"].get<int>() + c["headerLowByteCount"].get<int>() +
                           c["payloadErrorCount"].get<int>();
    // The totals since start: the same feed decoded from a file has them too.
    const ToolRun file = RunTool({SIM, "--fast", "--count", "600", "--no-names", "--faults", "0.05", "--seed", "5",
                                  "--reset-at", "400"});
    const std::string path = base + ".bin";
    WriteFileBytes(path, std::vector<uint8_t>(file.out.begin(), file.out.end()));
    const nlohmann::json totals = nlohmann::json::parse(RunTool({DUMP, "--json", path}).out)["totals"];
    const int framingTotal = totals["strayByteCount"].get<int>() + totals["unknownTypeCount"].get<int>() +
                             totals["headerMismatchCount"].get<int>() + totals["headerLowByteCount"].get<int>() +
                             totals["payloadErrorCount"].get<int>();
    ASSERT_GT(framingTotal, framingNow);

    const std::string bytes = std::to_string(summary["bytes"].get<size_t>());
    const std::string last = "| " + bytes + " bytes | ";
    EXPECT_NE(err.find("Receiving | "), std::string::npos) << err;
    EXPECT_NE(err.find("Silent 2 s " + last), std::string::npos) << err;
    const std::string errors = "Framing errors " + std::to_string(framingNow) + " (" +
                               std::to_string(framingTotal) + " since start) | Line errors n/a\n";
    EXPECT_NE(err.find(errors), std::string::npos) << err;
    // About 200 messages a second while it was sending; a dash before the
    // first message and once none came for 2 s.
    bool rateSeen = false, dashSeen = false;
    for (size_t at = err.find(" msg/s"); at != std::string::npos; at = err.find(" msg/s", at + 1)) {
        const std::string figure = err.substr(err.rfind("| ", at) + 2, at - err.rfind("| ", at) - 2);
        if (figure == "\xE2\x80\x94") {
            dashSeen = true;
            continue;
        }
        const double rate = std::stod(figure);
        rateSeen = rateSeen || (rate > 100 && rate < 260);
    }
    EXPECT_TRUE(rateSeen) << err;
    EXPECT_TRUE(dashSeen) << err;
    EXPECT_NE(out.find("errors since start: stray bytes " + std::to_string(totals["strayByteCount"].get<int>())),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("line errors: not reported by this device's driver"), std::string::npos) << out;
}

TEST_F(NullModem, CaptureIsNeverReplacedUnaskedAndAFailedWriteStopsAtOnce) {
    const std::string base = TestDir() + "/capturerules";
    const std::string capture = base + ".cap";
    WriteFileBytes(capture, {'o', 'l', 'd'});
    ToolRun run = RunTool({DUMP, "--port", receiver, "--capture", capture});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("file exists"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFileText(capture), "old");

    // --append adds, --force replaces; SIGTERM in every report mode ends with 0.
    std::string sent;
    int n = 0;
    for (const char* how : {"--append", "--force"}) {
        for (const char* mode : {"--json", "--trace"}) {
            SCOPED_TRACE(std::string(how) + " " + mode);
            const std::string name = base + std::to_string(++n);
            const pid_t monitor = StartMonitor({DUMP, "--port", receiver, mode, "--capture", capture, how},
                                               name + ".out", name + ".err");
            const ToolRun sim = RunTool({SIM, "--output", sender, "--count", "50", "--no-names", "--seed",
                                         std::to_string(n), "--summary", name + ".sim"});
            ASSERT_EQ(sim.status, 0) << sim.err;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            kill(monitor, SIGTERM);
            ASSERT_EQ(WaitTool(monitor, 10000), 0) << ReadFileText(name + ".err");
            const ToolRun replay = RunTool({SIM, "--fast", "--count", "50", "--no-names", "--seed", std::to_string(n)});
            const std::string out = ReadFileText(name + ".out");
            if (std::string(mode) == "--json") {
                const nlohmann::json json = nlohmann::json::parse(out);
                EXPECT_EQ(json["end"], "stopped");
                EXPECT_EQ(json["totals"]["bytes"].get<size_t>(), replay.out.size());
                EXPECT_TRUE(json["lineErrors"].is_null());
            } else {
                EXPECT_NE(out.find(std::to_string(replay.out.size()) + " bytes decoded\n"), std::string::npos) << out;
            }
            if (std::string(how) == "--append") sent += replay.out;
            else sent = replay.out;
            if (n == 2) {
                EXPECT_EQ(ReadFileText(capture), "old" + sent);
            }
        }
    }
    EXPECT_EQ(ReadFileText(capture), sent);

    // A capture that cannot be written ends the run at once with status 1.
    const std::string name = base + "full";
    const pid_t monitor = StartMonitor({DUMP, "--port", receiver, "--json", "--capture", "/dev/full"}, name + ".out",
                                       name + ".err");
    const ToolRun sim = RunTool({SIM, "--output", sender, "--count", "20", "--no-names"});
    EXPECT_EQ(WaitTool(monitor, 5000), 1);
    EXPECT_NE(ReadFileText(name + ".err").find("writing /dev/full failed: No space left on device; stopped"),
              std::string::npos)
        << ReadFileText(name + ".err");
    EXPECT_EQ(nlohmann::json::parse(ReadFileText(name + ".out"))["end"], "capture write failed");
}
