// The two tools as an engineer runs them: options and exit codes, tallysim
// piped into tallydump, replay, and stopping tallysim with Ctrl-C.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/tools/process.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;
const std::string SIM = TALLYSIM_PATH;

int CountLines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

}  // namespace

TEST(TallyDumpCli, UnreadableInputAndBadOptionsExitWithTwo) {
    const std::string missing = TestDir() + "/no-such-capture.bin";
    ToolRun run = RunTool({DUMP, "--json", missing});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(CountLines(run.err), 1) << run.err;
    EXPECT_NE(run.err.find(missing), std::string::npos) << run.err;

    // A directory opens but cannot be read.
    run = RunTool({DUMP, TestDir()});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(CountLines(run.err), 1) << run.err;
    EXPECT_NE(run.err.find(TestDir()), std::string::npos) << run.err;

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{DUMP, "--bogus"}, {DUMP, "--json", "--trace"}, {DUMP, "--block", "0"},
          {DUMP, "--block", "many"}, {DUMP, "a.bin", "b.bin"}}) {
        run = RunTool(args);
        EXPECT_EQ(run.status, 2) << args[1];
        EXPECT_EQ(run.out, "") << args[1];
        EXPECT_EQ(CountLines(run.err), 1) << run.err;
        EXPECT_NE(run.err.find("--help lists the options"), std::string::npos) << run.err;
    }
    // An unknown option after --port is named, not taken for the FILE that --port excludes.
    run = RunTool({DUMP, "--port", "/dev/null", "--bogus"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--bogus"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("excludes"), std::string::npos) << run.err;
    run = RunTool({DUMP, "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("--trace"), std::string::npos);
}

TEST(TallyDumpCli, ReadsStandardInputAndAnyBytesAtAll) {
    std::vector<uint8_t> noise(70000);
    uint32_t x = 12345;
    for (uint8_t& b : noise) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 24);
    }
    const std::string path = TestDir() + "/noise.bin";
    WriteFileBytes(path, noise);
    const ToolRun fromFile = RunTool({DUMP, "--json", "--block", "333", path});
    const ToolRun fromStdin = RunTool({DUMP, "--json", "-"}, path);
    ASSERT_EQ(fromFile.status, 0) << fromFile.err;
    ASSERT_EQ(fromStdin.status, 0) << fromStdin.err;
    EXPECT_EQ(fromFile.out, fromStdin.out);
    const nlohmann::json json = nlohmann::json::parse(fromStdin.out);
    EXPECT_GT(json["counters"]["strayByteCount"].get<int>(), 1000);
    EXPECT_LE(json["pending"].get<int>(), 24);

    const ToolRun trace = RunTool({DUMP, "--trace", path});
    EXPECT_EQ(trace.status, 0);
    EXPECT_GT(CountLines(trace.out), 1000);
    const ToolRun summary = RunTool({DUMP, path});
    EXPECT_EQ(summary.status, 0);
    EXPECT_NE(summary.out.find("70000 bytes decoded"), std::string::npos) << summary.out;
}

TEST(TallySimCli, OutputDecodedByTallydumpMatchesItsSummary) {
    const char* faultSets[][2] = {{"--faults", "0"}, {"--faults", "0.05"}, {"--truncate", "0.5"},
                                  {"--faults", "0.5"}};
    int i = 0;
    for (const auto& faults : faultSets) {
        for (const char* seed : {"1", "42", "31337"}) {
            const std::string base = TestDir() + "/sim" + std::to_string(++i);
            const ToolRun sim = RunTool({SIM, "--fast", "--count", "3000", "--seed", seed, faults[0], faults[1],
                                         "--reset-at", "1000", "--output", base + ".bin", "--summary",
                                         base + ".json"});
            ASSERT_EQ(sim.status, 0) << sim.err;
            const nlohmann::json summary = nlohmann::json::parse(ReadFileText(base + ".json"));
            const ToolRun dump = RunTool({DUMP, "--json", base + ".bin"});
            ASSERT_EQ(dump.status, 0) << dump.err;
            const nlohmann::json decoded = nlohmann::json::parse(dump.out);
            SCOPED_TRACE(std::string(faults[0]) + " " + faults[1] + " seed " + seed);
            EXPECT_EQ(summary["messageTotal"], 3000);
            EXPECT_EQ(summary["complete"], true);
            EXPECT_EQ(decoded["counters"], summary["counters"]);
            EXPECT_EQ(decoded["records"], summary["records"]);
            EXPECT_EQ(decoded["names"], summary["names"]);
            EXPECT_EQ(summary["bytes"].get<size_t>(), ReadFileText(base + ".bin").size());
        }
    }
    // Standard output and the summary on standard error, as in a pipe.
    const ToolRun piped = RunTool({SIM, "--fast", "--count", "50", "--seed", "3"});
    ASSERT_EQ(piped.status, 0);
    EXPECT_EQ(nlohmann::json::parse(piped.err)["bytes"].get<size_t>(), piped.out.size());
}

TEST(TallySimCli, SameSeedGivesTheSameBytes) {
    const ToolRun a = RunTool({SIM, "--fast", "--count", "2000", "--seed", "77", "--faults", "0.1"});
    const ToolRun b = RunTool({SIM, "--fast", "--count", "2000", "--seed", "77", "--faults", "0.1"});
    const ToolRun c = RunTool({SIM, "--fast", "--count", "2000", "--seed", "78", "--faults", "0.1"});
    ASSERT_EQ(a.status, 0);
    EXPECT_GT(a.out.size(), 20000u);
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(a.err, b.err);
    EXPECT_NE(a.out, c.out);
}

TEST(TallySimCli, ReplaySendsTheCaptureUnchangedAtLineRate) {
    const std::string capture = TestDir() + "/capture.bin";
    const ToolRun made = RunTool({SIM, "--fast", "--count", "300", "--faults", "0.2", "--output", capture});
    ASSERT_EQ(made.status, 0);
    const std::string original = ReadFileText(capture);
    ASSERT_GT(original.size(), 3000u);

    const std::string copy = TestDir() + "/replayed.bin";
    const auto start = std::chrono::steady_clock::now();
    const ToolRun replay = RunTool({SIM, "--replay", capture, "--baud", "230400", "--output", copy});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(ReadFileText(copy), original);
    const nlohmann::json summary = nlohmann::json::parse(replay.err);
    EXPECT_EQ(summary["bytes"].get<size_t>(), original.size());
    EXPECT_EQ(summary["complete"], true);
    // Paced, not dumped: a lower bound only (the machine may be slow, never fast).
    EXPECT_GE(seconds, 0.8 * static_cast<double>(original.size()) / 23040.0);

    const ToolRun fast = RunTool({SIM, "--replay", capture, "--fast"});
    EXPECT_EQ(fast.out, original);
    const ToolRun missing = RunTool({SIM, "--replay", TestDir() + "/nothing.bin", "--fast"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("nothing.bin"), std::string::npos);
}

TEST(TallySimCli, CtrlCEndsWithASummaryTheReceiverAgreesWith) {
    const std::string base = TestDir() + "/interrupted";
    const pid_t pid = StartTool({SIM, "--baud", "115200", "--faults", "0.05", "--output", base + ".bin"}, "",
                                base + ".out", base + ".err");
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    kill(pid, SIGINT);
    ASSERT_EQ(WaitTool(pid, 10000), 0);
    const nlohmann::json summary = nlohmann::json::parse(ReadFileText(base + ".err"));
    const std::string bytes = ReadFileText(base + ".bin");
    // About 11520 characters a second at 115200 baud.
    EXPECT_GT(bytes.size(), 2000u);
    EXPECT_LT(bytes.size(), 40000u);
    EXPECT_EQ(summary["bytes"].get<size_t>(), bytes.size());
    const ToolRun dump = RunTool({DUMP, "--json", base + ".bin"});
    EXPECT_EQ(nlohmann::json::parse(dump.out)["counters"], summary["counters"]);
}

TEST(TallySimCli, BadOptionsAndOutputsExitWithTwo) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{SIM, "--stray", "2"}, {SIM, "--count", "-3"}, {SIM, "--rate", "5", "--fast"},
          {SIM, "--what"}, {SIM, "--replay", "x.bin", "--seed", "4"}}) {
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.status, 2) << args[1];
        EXPECT_EQ(CountLines(run.err), 1) << run.err;
    }
    const ToolRun unwritable = RunTool({SIM, "--count", "1", "--output", "/nonexistent-dir/feed.bin"});
    EXPECT_EQ(unwritable.status, 2);
    EXPECT_NE(unwritable.err.find("/nonexistent-dir/feed.bin"), std::string::npos);
}
