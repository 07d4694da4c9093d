// tallysim misbehaving on purpose, recorded on its simulated clock, and
// tallydump --watch finding every injected glitch with the right rule, place,
// length and time; a clean production at a real pace raises nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/tools/process.h"
#include "tools/tallysim/sim.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;
const std::string SIM = TALLYSIM_PATH;

// One message at 115200 baud is at most 25 bytes: 2.2 ms apart.
const double SPACING_S = 25.0 / 11520.0;

std::string Dir() {
    const std::string dir = TestDir() + "/watch";
    mkdir(dir.c_str(), 0755);
    return dir;
}

std::vector<nlohmann::json> Alarms(const std::string& out) {
    std::vector<nlohmann::json> alarms;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) alarms.push_back(nlohmann::json::parse(line));
    return alarms;
}

struct Injected {
    std::string recording;
    nlohmann::json truth;
};

// 90 s of production with one of each kind injected, made once.
const Injected& InjectedRun() {
    static Injected run;
    if (!run.recording.empty()) return run;
    run.recording = Dir() + "/injected.pcap";
    const std::string summary = Dir() + "/injected.json";
    const ToolRun sim = RunTool({SIM, "--fast", "--real-pace", "--seed", "7", "--sim-seconds", "90", "-o",
                                 run.recording, "--force", "--summary", summary, "--inject", "drop,at=10,me=1,ms=40",
                                 "--inject", "blip,at=20,me=2,ms=120", "--inject", "stale,at=30,me=3,s=5", "--inject",
                                 "silence,at=45,s=3", "--inject", "errors,at=55,count=8", "--inject", "reset,at=65",
                                 "--inject", "name,at=75,source=5,name=NEWCAM"});
    EXPECT_EQ(sim.status, 0) << sim.err;
    run.truth = nlohmann::json::parse(ReadFileText(summary));
    return run;
}

}  // namespace

TEST(WatchRun, EveryInjectedGlitchIsFoundWithItsRulePlaceLengthAndTime) {
    const Injected& run = InjectedRun();
    const double start = run.truth["startUs"].get<double>() / 1e6;
    const ToolRun dump = RunTool({DUMP, "--watch", run.recording});
    EXPECT_EQ(dump.status, 1) << dump.err;
    const std::vector<nlohmann::json> alarms = Alarms(dump.out);
    ASSERT_EQ(alarms.size(), 7u) << dump.out;
    ASSERT_EQ(run.truth["injected"].size(), 7u);
    for (size_t i = 0; i < 7; ++i) {
        const nlohmann::json& truth = run.truth["injected"][i];
        const nlohmann::json& a = alarms[i];  // injected in time order, found in time order
        SCOPED_TRACE(truth.dump() + "\n" + a.dump());
        ASSERT_TRUE(truth["done"].get<bool>());
        const std::string kind = truth["kind"];
        const double t = a["t"].get<double>(), begun = start + truth["start"].get<double>(),
                     ended = start + truth["end"].get<double>();
        if (kind == "drop" || kind == "blip") {
            EXPECT_EQ(a["rule"], "flicker");
            EXPECT_EQ(a["glitch"], kind);
            EXPECT_EQ(a["me"], truth["me"]);
            EXPECT_EQ(a["level"], "PGM");
            EXPECT_EQ(a["source"], truth["source"]);
            EXPECT_NEAR(a["ms"].get<double>(), truth["lengthMs"].get<double>(), 0.002);
            EXPECT_NEAR(a["ms"].get<double>(), truth["ms"].get<double>(), 1000 * SPACING_S * 2);
            EXPECT_NEAR(t, ended, SPACING_S);
        } else if (kind == "stale") {
            EXPECT_EQ(a["rule"], "stale");
            EXPECT_EQ(a["type"], "0x83");
            EXPECT_EQ(a["me"], 3);
            EXPECT_GT(t, begun + 2.0);  // the 2 s floor: ME 3 came every 30 ms
            EXPECT_LE(t, begun + 2.0 + SPACING_S);
        } else if (kind == "silence") {
            EXPECT_EQ(a["rule"], "silence");
            EXPECT_NEAR(t, begun + 2.0, 1e-5);
        } else if (kind == "errors") {
            EXPECT_EQ(a["rule"], "errors");
            EXPECT_EQ(a["count"], 5);
            EXPECT_GE(t, begun - 1e-5);
            EXPECT_LE(t, ended + 1e-5);
        } else if (kind == "reset") {
            EXPECT_EQ(a["rule"], "reset");
            EXPECT_EQ(a["type"], "0xD1");
            EXPECT_NEAR(t, ended, 1e-5);
        } else {
            EXPECT_EQ(a["rule"], "name");
            EXPECT_EQ(a["source"], 5);
            EXPECT_NE(a["text"].get<std::string>().find("\"NEWCAM\""), std::string::npos);
            EXPECT_NEAR(t, ended, 1e-5);
        }
        // Keys that do not apply are absent; the local time names the same instant.
        if (kind != "drop" && kind != "blip") {
            EXPECT_FALSE(a.contains("ms") || a.contains("glitch") || a.contains("level"));
        }
        EXPECT_EQ(a["time"].get<std::string>().size(), std::string("2026-12-08T03:15:22.117000+01:00").size());
    }
    EXPECT_NE(dump.err.find("7 alarms (flicker 2, stale 1, silence 1, errors 1, reset 1, name 1)"), std::string::npos)
        << dump.err;
}

TEST(WatchRun, ThresholdsAndRulesFromTheCommandLine) {
    const Injected& run = InjectedRun();
    auto rules = [&](const std::vector<std::string>& options) {
        std::vector<std::string> argv = {DUMP, "--watch", run.recording};
        argv.insert(argv.end(), options.begin(), options.end());
        const ToolRun dump = RunTool(argv);
        std::string list;
        for (const nlohmann::json& a : Alarms(dump.out)) list += a["rule"].get<std::string>() + " ";
        return std::to_string(dump.status) + ": " + list;
    };
    // The 43 ms drop is within 100 ms, the 122 ms blip is not.
    EXPECT_EQ(rules({"--flicker-ms", "100", "--no", "stale", "--no", "name"}), "1: flicker silence errors reset ");
    EXPECT_EQ(rules({"--silence-s", "3.5", "--errors", "9/10", "--no", "flicker", "--no", "reset"}), "1: stale name ");
    EXPECT_EQ(rules({"--stale-min-s", "6", "--no", "flicker", "--no", "silence", "--no", "errors", "--no", "reset",
                     "--no", "name"}),
              "0: ");
}

TEST(WatchRun, TenMinutesOfCleanProductionAtARealPaceRaiseNoAlarm) {
    const std::string recording = Dir() + "/clean.pcap", summary = Dir() + "/clean.json";
    const ToolRun sim = RunTool(
        {SIM, "--fast", "--real-pace", "--seed", "3", "--sim-seconds", "600", "-o", recording, "--force", "--summary", summary},
        "", 120000);
    ASSERT_EQ(sim.status, 0) << sim.err;
    const nlohmann::json truth = nlohmann::json::parse(ReadFileText(summary));
    // A real pace: ME 1 changes every few seconds, not every few messages.
    const double me1Changes = truth["messages"]["ME 1"].get<double>() - truth["messages"]["SS"].get<double>();
    EXPECT_GT(me1Changes, 600 / 8.0);
    EXPECT_LT(me1Changes, 600 / 1.0);
    const ToolRun dump = RunTool({DUMP, "--watch", recording}, "", 120000);
    EXPECT_EQ(dump.status, 0) << dump.out;
    EXPECT_EQ(dump.out, "");
    EXPECT_NE(dump.err.find("no alarms in 600.0 s of recording"), std::string::npos) << dump.err;
}

TEST(WatchRun, ARawCaptureAndBadOptionsAreRefusedWithStatusTwo) {
    const std::string raw = Dir() + "/raw.bin";
    ASSERT_EQ(RunTool({SIM, "--fast", "--count", "50", "-o", raw, "--force", "--summary", Dir() + "/raw.json"}).status, 0);
    const ToolRun refused = RunTool({DUMP, "--watch", raw});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1);
    EXPECT_NE(refused.err.find("needs a recording"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--errors", "5"}, {"--errors", "0/10"}, {"--errors", "5/0"}, {"--no", "glitch"},
          {"--flicker-ms", "0"}}) {
        std::vector<std::string> argv = {DUMP, "--watch", InjectedRun().recording};
        argv.insert(argv.end(), bad.begin(), bad.end());
        EXPECT_EQ(RunTool(argv).status, 2) << bad[0] << " " << bad[1];
    }
    EXPECT_EQ(RunTool({DUMP, "--flicker-ms", "50", InjectedRun().recording}).status, 2);  // needs --watch
    EXPECT_EQ(RunTool({DUMP, "--watch", "--json", InjectedRun().recording}).status, 2);
}

TEST(SimInjection, ParsedFromTheCommandLineForm) {
    SimInjection in;
    std::string error;
    ASSERT_TRUE(SimParseInjection("blip,at=20.5,me=2,source=70,ms=60", in, error)) << error;
    EXPECT_EQ(in.kind, INJECT_BLIP);
    EXPECT_DOUBLE_EQ(in.at, 20.5);
    EXPECT_EQ(in.me, 2);
    EXPECT_EQ(in.source, 70);
    EXPECT_DOUBLE_EQ(in.ms, 60);
    ASSERT_TRUE(SimParseInjection("name,at=1,source=5,name=NEW NAME", in, error)) << error;
    EXPECT_EQ(in.name, "NEW NAME");
    for (const char* bad : {"drop", "drop,me=1", "flood,at=1", "drop,at=1,me=5", "drop,at=-1", "stale,at=1,s=0",
                            "name,at=1", "errors,at=1,count=x", "name,at=1,source=5,name=THIRTEEN CHARS"})
        EXPECT_FALSE(SimParseInjection(bad, in, error)) << bad;
}

TEST(WatchRun, LiveOnAPortAGlitchAndASilenceAsTheyHappen) {
    if (access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat is not installed";
    const std::string base = Dir() + "/live", sender = base + "A", receiver = base + "B";
    const pid_t socat = StartTool({"/usr/bin/socat", "pty,raw,echo=0,link=" + sender, "pty,raw,echo=0,link=" + receiver},
                                  "", base + ".socat.out", base + ".socat.err");
    for (int i = 0; i < 200 && !(Exists(sender) && Exists(receiver)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(Exists(sender) && Exists(receiver));
    const pid_t monitor = StartTool({DUMP, "--watch", "--port", receiver}, "", base + ".out", base + ".err");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    // 4.5 s at the line's own pace: ME 1 drops for 60 ms at 1 s, nothing is sent 2 s to 4.2 s.
    const ToolRun sim = RunTool({SIM, "--output", sender, "--real-pace", "--sim-seconds", "4.5", "--summary",
                                 base + ".sim", "--inject", "drop,at=1,me=1,ms=60", "--inject", "silence,at=2,s=2.2"},
                                "", 20000);
    EXPECT_EQ(sim.status, 0) << sim.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(monitor, SIGINT);
    EXPECT_EQ(WaitTool(monitor, 10000), 1) << ReadFileText(base + ".err");
    kill(socat, SIGTERM);
    WaitTool(socat, 5000);

    const std::vector<nlohmann::json> alarms = Alarms(ReadFileText(base + ".out"));
    ASSERT_EQ(alarms.size(), 2u) << ReadFileText(base + ".out");
    EXPECT_EQ(alarms[0]["rule"], "flicker");
    EXPECT_EQ(alarms[0]["glitch"], "drop");
    EXPECT_EQ(alarms[0]["me"], 1);
    EXPECT_NEAR(alarms[0]["ms"].get<double>(), 60, 25);  // read times on a loaded machine
    EXPECT_EQ(alarms[1]["rule"], "silence");
    EXPECT_NEAR(alarms[1]["t"].get<double>() - alarms[0]["t"].get<double>(), 1.0 + 2.0, 0.2);
    EXPECT_NE(ReadFileText(base + ".err").find("2 alarms (flicker 1, silence 1)"), std::string::npos);
}
