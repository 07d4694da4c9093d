// tallydump's TSL out and in against tsl-umd-v5 (peer_hub.js), on loopback
// ports the test picks, fed by tallysim or a simulated feed over a pty pair.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "net/socket.h"
#include "tests/tools/process.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH, SIM = TALLYSIM_PATH, HUB = PEER_HUB_JS;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

template <typename F>
bool WaitUntil(int timeoutMs, F done) {
    const int64_t end = NowMs() + timeoutMs;
    while (!done()) {
        if (NowMs() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A free loopback UDP port: bound, read and let go.
uint16_t FreeUdpPort() {
    std::string error;
    const NetHandle s = NetUdpOpen("127.0.0.1", 0, error);
    const uint16_t port = NetLocalPort(s);
    NetClose(s);
    return port;
}

// A free loopback TCP port: listened on, read and let go.
uint16_t FreeTcpPort() {
    std::string error;
    const NetHandle s = NetTcpListen("127.0.0.1", 0, error);
    const uint16_t port = NetLocalPort(s);
    NetClose(s);
    return port;
}

// Ends a child by its pid with sig and returns its exit status.
int Stop(pid_t pid, int sig) {
    kill(pid, sig);
    return WaitTool(pid, 10000);
}

// Per source, the highest level over the four MEs of a --on-air report: 3 PGM, 2 LAP, 1 PVW.
std::map<int, int> Levels(const nlohmann::json& onAir) {
    std::map<int, int> level;
    for (const auto& me : onAir["me"])
        for (const auto& entry : {std::make_pair("pvw", 1), std::make_pair("lap", 2), std::make_pair("pgm", 3)})
            for (int s : me[entry.first]) level[s] = std::max(level[s], entry.second);
    return level;
}

class PeerLive : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat is not installed";
        ASSERT_EQ(access("/usr/bin/node", X_OK), 0) << "node is missing: run make deps";
        base = TestDir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        sender = base + ".A";
        receiver = base + ".B";
        socat = StartTool({"/usr/bin/socat", "pty,raw,echo=0,link=" + sender, "pty,raw,echo=0,link=" + receiver}, "",
                          base + ".socat.out", base + ".socat.err");
        ASSERT_TRUE(WaitUntil(3000, [&] { return Exists(sender) && Exists(receiver); }));
    }
    void TearDown() override {
        if (socat > 0) Stop(socat, SIGTERM);
    }
    std::string base, sender, receiver;
    pid_t socat = -1;
};

}  // namespace

TEST_F(PeerLive, ThePeerEndsWithTheLampsOfTheOnAirDerivationAfterAProduction) {
    const std::string port = std::to_string(FreeUdpPort());
    const pid_t peer = StartTool({"/usr/bin/node", HUB, "receive", port}, "", base + ".peer.out", base + ".peer.err");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // node is listening
    const pid_t dump = StartTool({DUMP, "--port", receiver, "--capture", base + ".pcap", "--on-air", "--tsl-out",
                                  "5.0:udp:127.0.0.1:" + port, "--tsl-one-dmsg"},
                                 "", base + ".dump.out", base + ".dump.err");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ToolRun sim = RunTool({SIM, "--output", sender, "--count", "600", "--faults", "0.02", "--seed", "24"}, "",
                                60000);
    ASSERT_EQ(sim.status, 0) << sim.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a refresh after the last change
    ASSERT_EQ(Stop(dump, SIGINT), 0) << ReadFileText(base + ".dump.err");
    ASSERT_EQ(Stop(peer, SIGTERM), 0) << ReadFileText(base + ".peer.err");
    EXPECT_EQ(ReadFileText(base + ".peer.err"), "");

    const ToolRun truth = RunTool({DUMP, "--on-air", base + ".pcap"});
    ASSERT_EQ(truth.status, 0) << truth.err;
    // The live run's own report says the same as the recording's.
    EXPECT_EQ(nlohmann::json::parse(ReadFileText(base + ".dump.out")), nlohmann::json::parse(truth.out));
    std::map<int, int> want = Levels(nlohmann::json::parse(truth.out));
    const nlohmann::json lamps = nlohmann::json::parse(ReadFileText(base + ".peer.out"))["lamps"];
    int lit = 0, checked = 0;
    for (auto it = lamps.begin(); it != lamps.end(); ++it) {
        const int index = std::stoi(it.key());
        EXPECT_EQ(it.value().get<int>(), want.count(index) ? want[index] : 0) << "index " << index;
        lit += want.count(index) ? 1 : 0;
        ++checked;
    }
    // Every source the derivation lights has a lamp at the peer.
    for (const auto& w : want) EXPECT_TRUE(lamps.contains(std::to_string(w.first))) << "source " << w.first;
    EXPECT_GT(lit, 5);
    EXPECT_GT(checked, lit);  // lamps that are off were sent too

    // The recording replayed at its pace drives the peer to the same lamps.
    const std::string port2 = std::to_string(FreeUdpPort());
    const pid_t peer2 = StartTool({"/usr/bin/node", HUB, "receive", port2}, "", base + ".peer2.out", base + ".peer2.err");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const ToolRun replay = RunTool({DUMP, "--tsl-out", "5.0:udp:127.0.0.1:" + port2, "--tsl-one-dmsg", "--on-air",
                                    base + ".pcap"});
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(nlohmann::json::parse(replay.out), nlohmann::json::parse(truth.out));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(Stop(peer2, SIGTERM), 0) << ReadFileText(base + ".peer2.err");
    EXPECT_EQ(nlohmann::json::parse(ReadFileText(base + ".peer2.out"))["lamps"], lamps);
}

TEST_F(PeerLive, ThePeersTcpListenerEndsWithTheLampsOfTheOnAirDerivation) {
    // The peer takes each TCP read as one packet and one DMSG: one DMSG per
    // packet, and a pause after each write so that packets do not share a
    // read. A read that still holds two loses the second; the refreshes after
    // the last change (held for three) put it right.
    const std::string port = std::to_string(FreeTcpPort());
    const pid_t peer =
        StartTool({"/usr/bin/node", HUB, "receive-tcp", port}, "", base + ".peer.out", base + ".peer.err");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const pid_t dump = StartTool({DUMP, "--port", receiver, "--capture", base + ".pcap", "--on-air", "--tsl-out",
                                  "5.0:tcp:127.0.0.1:" + port, "--tsl-one-dmsg", "--tsl-tcp-gap-ms", "2"},
                                 "", base + ".dump.out", base + ".dump.err");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ToolRun sim = RunTool({SIM, "--output", sender, "--count", "400", "--faults", "0.02", "--seed", "31"}, "",
                                60000);
    ASSERT_EQ(sim.status, 0) << sim.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(3200));
    ASSERT_EQ(Stop(dump, SIGINT), 0) << ReadFileText(base + ".dump.err");
    ASSERT_EQ(Stop(peer, SIGTERM), 0) << ReadFileText(base + ".peer.err");
    EXPECT_EQ(ReadFileText(base + ".peer.err"), "");
    EXPECT_NE(ReadFileText(base + ".dump.err").find("0 dropped"), std::string::npos) << ReadFileText(base + ".dump.err");

    const ToolRun truth = RunTool({DUMP, "--on-air", base + ".pcap"});
    ASSERT_EQ(truth.status, 0) << truth.err;
    std::map<int, int> want = Levels(nlohmann::json::parse(truth.out));
    const nlohmann::json report = nlohmann::json::parse(ReadFileText(base + ".peer.out"));
    const nlohmann::json lamps = report["lamps"];
    int lit = 0;
    for (auto it = lamps.begin(); it != lamps.end(); ++it) {
        const int index = std::stoi(it.key());
        EXPECT_EQ(it.value().get<int>(), want.count(index) ? want[index] : 0) << "index " << index;
        lit += want.count(index) ? 1 : 0;
    }
    for (const auto& w : want) EXPECT_TRUE(lamps.contains(std::to_string(w.first))) << "source " << w.first;
    EXPECT_GT(lit, 5);
    // Several refreshes went out as reads of their own.
    EXPECT_GT(report["reads"].get<int>(), 3 * static_cast<int>(lamps.size())) << report.dump();
    std::printf("peer TCP reads %d, holding more than one packet %d\n", report["reads"].get<int>(),
                report["merged"].get<int>());
}

namespace {

struct HubRun {
    std::set<int> diverged, stale, peerDiverged;
    std::map<int, int> truth;
    std::string err;
};

// tallydump sends to the peer playing a hub with the given faults and listens
// to what it sends back; the feed is written at once after a second, then the
// state holds for holdMs.
HubRun RunHub(const std::string& base, const std::string& sender, const std::string& receiver,
              const std::vector<uint8_t>& feed, const std::vector<std::string>& faults, int holdMs) {
    HubRun run;
    const std::string hubIn = std::to_string(FreeUdpPort()), dumpIn = std::to_string(FreeUdpPort());
    std::vector<std::string> argv{"/usr/bin/node", HUB, "hub", hubIn, dumpIn};
    argv.insert(argv.end(), faults.begin(), faults.end());
    const pid_t hub = StartTool(argv, "", base + ".hub.out", base + ".hub.err");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const pid_t dump = StartTool({DUMP, "--port", receiver, "--tsl-out", "5.0:udp:127.0.0.1:" + hubIn, "--tsl-one-dmsg",
                                  "--tsl-in", "udp:127.0.0.1:" + dumpIn},
                                 "", base + ".dump.out", base + ".dump.err");
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const int fd = open(sender.c_str(), O_WRONLY | O_NOCTTY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, feed.data(), feed.size()), static_cast<ssize_t>(feed.size()));
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    EXPECT_EQ(Stop(dump, SIGINT), 0) << ReadFileText(base + ".dump.err");
    EXPECT_EQ(Stop(hub, SIGTERM), 0) << ReadFileText(base + ".hub.err");
    run.err = ReadFileText(base + ".dump.err");
    std::istringstream lines(ReadFileText(base + ".dump.out"));
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json e = nlohmann::json::parse(line);
        for (const char* key : {"t", "index", "source", "switcher", "hub", "ms"}) EXPECT_TRUE(e.contains(key)) << line;
        if (e["event"] == "diverged") run.diverged.insert(e["index"].get<int>());
        if (e["event"] == "stale") run.stale.insert(e["index"].get<int>());
    }
    const nlohmann::json peer = nlohmann::json::parse(ReadFileText(base + ".hub.out"));
    for (int i : peer["diverged"]) run.peerDiverged.insert(i);
    for (auto it = peer["truth"].begin(); it != peer["truth"].end(); ++it) run.truth[std::stoi(it.key())] = it.value();
    return run;
}

}  // namespace

TEST_F(PeerLive, AFaultyHubIsReportedAtExactlyTheIndicesItGotWrong) {
    // A production written to a file, its final state known before it is played.
    const std::string feedPath = base + ".feed";
    const ToolRun made = RunTool({SIM, "--fast", "--output", feedPath, "--count", "300", "--seed", "11"});
    ASSERT_EQ(made.status, 0) << made.err;
    const ToolRun truth = RunTool({DUMP, "--on-air", feedPath});
    ASSERT_EQ(truth.status, 0) << truth.err;
    std::map<int, int> final = Levels(nlohmann::json::parse(truth.out));
    const std::string text = ReadFileText(feedPath);
    const std::vector<uint8_t> feed(text.begin(), text.end());
    // Stuck red: a source lit but not on PGM. Late and unrefreshed: lit ones
    // above the first 12 (which the store's initial contents light).
    int stuck = -1, late = -1, quiet = -1;
    for (const auto& f : final) {
        if (f.first <= 12) continue;
        if (stuck < 0 && f.second < 3) stuck = f.first;
        else if (late < 0 && f.first != stuck) late = f.first;
        else if (quiet < 0 && f.first != stuck && f.first != late) quiet = f.first;
    }
    ASSERT_TRUE(stuck > 0 && late > 0 && quiet > 0) << truth.out;

    const HubRun run = RunHub(base, sender, receiver, feed,
                              {"stuck=" + std::to_string(stuck), "lag=" + std::to_string(late),
                               "norefresh=" + std::to_string(quiet)},
                              4500);
    EXPECT_EQ(run.diverged, (std::set<int>{stuck, late})) << run.err;
    EXPECT_EQ(run.stale, std::set<int>{quiet}) << run.err;
    EXPECT_EQ(run.peerDiverged, (std::set<int>{stuck, late}));  // what the hub did, by its own book
    EXPECT_NE(run.err.find("Hub differs: 1"), std::string::npos) << run.err;  // stuck still wrong at the end
    // The late index's lag is in the table: about 2 s.
    std::istringstream table(run.err.substr(run.err.find("index  changes")));
    bool seen = false;
    for (std::string line; std::getline(table, line);) {
        std::istringstream f(line);
        long long index = -1, changes = 0, p50 = 0, p99 = 0, max = 0;
        if (!(f >> index >> changes >> p50 >> p99 >> max) || index != late) continue;
        seen = true;
        EXPECT_GE(p50, 1900) << line;
        EXPECT_LT(max, 4000) << line;
    }
    EXPECT_TRUE(seen) << run.err;
}

TEST_F(PeerLive, TheLastSourceForAllBugIsReportedAtEveryIndexItMisled) {
    const std::string feedPath = base + ".feed";
    const ToolRun made = RunTool({SIM, "--fast", "--output", feedPath, "--count", "300", "--seed", "12"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string text = ReadFileText(feedPath);
    const HubRun run = RunHub(base, sender, receiver, std::vector<uint8_t>(text.begin(), text.end()), {"lastall"}, 2500);
    // The hub's own book and the comparison name the same indices, and they
    // include every index whose final level differs from the last index's.
    EXPECT_EQ(run.diverged, run.peerDiverged) << run.err;
    ASSERT_FALSE(run.truth.empty());
    const int last = run.truth.rbegin()->second;
    std::set<int> misled;
    for (const auto& t : run.truth)
        if (t.second != last) misled.insert(t.first);
    EXPECT_GE(misled.size(), 3u);
    for (int i : misled) EXPECT_TRUE(run.diverged.count(i)) << "index " << i;
    EXPECT_TRUE(run.stale.empty());
}
