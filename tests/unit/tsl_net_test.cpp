// TSL over loopback sockets: outputs to a listener (UDP and TCP), the change
// path that does not wait for the refresh, reconnection after a refused TCP
// connect, and the hub check fed from the listener.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tsl/tsl_net.h"

namespace {

const int BUS_A = 8, BUS_B = 9;

// ME 1 with source pgm on PGM A (BusA) and pvw on PVW A (BusB), named "CAM n".
struct Switcher {
    MeTally me[ME_RECORDS] = {};
    OutputTally out[OUT_RECORDS] = {};
    OnAirInputs inputs = {};
    OnAirTally tally;
    void Set(int pgm, int pvw) {
        std::memset(me, 0, sizeof me);
        me[0].data[2 * BUS_A] = static_cast<uint8_t>(pgm);
        me[0].data[2 * BUS_B] = static_cast<uint8_t>(pvw);
        me[0].data[3] = 0x01;       // PGM A: BusA
        me[0].data[3 + 16] = 0x02;  // PVW A: BusB
        for (int s : {pgm, pvw}) std::snprintf(inputs.name[s], sizeof inputs.name[s], "CAM %d", s);
        OnAirDerive(me, out, tally);
    }
};

// The last level heard for each index, read back through the default map.
struct Lamps {
    std::map<uint16_t, OnAirLevel> level;
    std::vector<TslHeard> all;
    void Add(const std::vector<TslHeard>& heard) {
        for (const TslHeard& h : heard) {
            all.push_back(h);
            for (const TslMessage& m : h.packet.messages)
                level[m.index] = TslMapLevelOf(TslMapConfig(), h.packet.version, m);
        }
    }
};

bool WaitFor(TslListener& listener, Lamps& lamps, int ms, const std::function<bool()>& done) {
    const int64_t end = TslNowMs() + ms;
    while (TslNowMs() < end) {
        lamps.Add(listener.Take());
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TslEndpoint Endpoint(const std::string& text) {
    TslEndpoint e;
    std::string error;
    EXPECT_TRUE(TslParseDestination(text, e, error)) << error;
    return e;
}

}  // namespace

TEST(TslNet, UdpOutputsReachTheListenerAndAChangeGoesOutWithoutWaitingForTheRefresh) {
    TslListener listener;
    TslEndpoint at;
    std::string error;
    ASSERT_TRUE(TslParseListener("udp:127.0.0.1:0", at, error)) << error;
    ASSERT_TRUE(listener.Start(at, error)) << error;
    ASSERT_NE(listener.Port(), 0);
    const std::string port = std::to_string(listener.Port());
    // Both versions to the same listener: each datagram is told apart on its own.
    // A refresh of a minute: anything heard after the first send is the change path.
    TslOutputs outputs({Endpoint("5.0:udp:127.0.0.1:" + port), Endpoint("3.1:udp:127.0.0.1:" + port)}, TslMapConfig(),
                       60000);
    Switcher s;
    s.Set(3, 4);
    outputs.Update(s.tally, s.inputs, TslNowMs());
    Lamps lamps;
    ASSERT_TRUE(WaitFor(listener, lamps, 3000, [&] {
        int v31 = 0, v50 = 0;
        for (const TslHeard& h : lamps.all) (h.packet.version == TSL_V31 ? v31 : v50)++;
        return v31 >= 3 && v50 >= 1;  // 3.1: one packet per lamp (sources 0, 3, 4)
    }));
    for (const TslHeard& h : lamps.all) {
        EXPECT_TRUE(h.packet.problem.empty()) << h.packet.problem;
        EXPECT_EQ(h.sender.compare(0, 10, "127.0.0.1:"), 0) << h.sender;
    }
    EXPECT_EQ(lamps.level[3], ONAIR_PROGRAM);
    EXPECT_EQ(lamps.level[4], ONAIR_PREVIEW);

    lamps = Lamps();
    s.Set(4, 5);  // a cut: 4 to PGM, 5 on PVW, 3 off
    outputs.Update(s.tally, s.inputs, TslNowMs());
    ASSERT_TRUE(WaitFor(listener, lamps, 3000, [&] { return lamps.level.count(5) && lamps.level.count(3); }));
    EXPECT_EQ(lamps.level[3], ONAIR_OFF);
    EXPECT_EQ(lamps.level[4], ONAIR_PROGRAM);
    EXPECT_EQ(lamps.level[5], ONAIR_PREVIEW);
    // Only the changed indices went (0 did not change), and nothing failed.
    for (const TslHeard& h : lamps.all)
        for (const TslMessage& m : h.packet.messages) EXPECT_NE(m.index, 0);
    EXPECT_EQ(outputs.StateText(), "TSL out: sending");
    outputs.Stop(1000);
    EXPECT_EQ(outputs.Sender(0).PacketsDropped(), 0u);
}

TEST(TslNet, TcpOutputSaysRefusedOnceThenConnectsAndSendsEverythingAgain) {
    // A port free a moment ago: nobody listens there yet.
    TslEndpoint at;
    std::string error;
    ASSERT_TRUE(TslParseListener("tcp:127.0.0.1:1", at, error)) << error;
    at.port = 0;
    TslListener probe;
    ASSERT_TRUE(probe.Start(at, error)) << error;
    at.port = probe.Port();
    probe.Stop();

    TslOutputs outputs({Endpoint("5.0:tcp:127.0.0.1:" + std::to_string(at.port))}, TslMapConfig(), 60000);
    Switcher s;
    s.Set(7, 8);
    std::vector<std::string> news;
    const int64_t end = TslNowMs() + 1500;
    while (TslNowMs() < end) {  // several retries within this time
        outputs.Update(s.tally, s.inputs, TslNowMs());
        for (const std::string& n : outputs.News()) news.push_back(n);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(news.size(), 1u) << (news.empty() ? "" : news.back());
    EXPECT_NE(news[0].find("5.0:tcp:127.0.0.1:"), std::string::npos) << news[0];
    EXPECT_NE(news[0].find("refused"), std::string::npos) << news[0];
    EXPECT_NE(outputs.StateText().find("retrying"), std::string::npos);

    // The receiver appears: the sender connects within its pause and, the
    // state unchanged since, sends every lamp again, DLE/STX framed.
    TslListener listener;
    ASSERT_TRUE(listener.Start(at, error)) << error;
    Lamps lamps;
    ASSERT_TRUE(WaitFor(listener, lamps, 8000, [&] {
        outputs.Update(s.tally, s.inputs, TslNowMs());
        return lamps.level.count(7) && lamps.level.count(8);
    })) << outputs.StateText();
    EXPECT_EQ(lamps.level[7], ONAIR_PROGRAM);
    EXPECT_EQ(lamps.level[8], ONAIR_PREVIEW);
    for (const TslHeard& h : lamps.all) {
        EXPECT_FALSE(h.udp);
        EXPECT_TRUE(h.packet.dleFramed);
        EXPECT_TRUE(h.packet.problem.empty()) << h.packet.problem;
    }
    const std::vector<std::string> after = outputs.News();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0].find("sending"), std::string::npos);
    outputs.Stop(500);
}

TEST(TslNet, ListenerPortInUseIsSaidAndTheHubCheckReportsAStuckLampAsJson) {
    TslEndpoint at;
    std::string error;
    ASSERT_TRUE(TslParseListener("udp:127.0.0.1:1", at, error)) << error;
    at.port = 0;
    TslListener listener;
    ASSERT_TRUE(listener.Start(at, error)) << error;
    at.port = listener.Port();
    TslListener second;
    EXPECT_FALSE(second.Start(at, error));
    EXPECT_NE(error.find("udp:127.0.0.1:" + std::to_string(at.port)), std::string::npos) << error;

    // A hub that keeps index 3 red after the switcher cut away from it.
    Switcher s;
    s.Set(3, 4);
    TslHubCheck check{TslMapConfig()};
    const int64_t origin = TslNowMs();
    check.Switcher(s.tally, s.inputs, origin);
    TslOutputs hub({Endpoint("5.0:udp:127.0.0.1:" + std::to_string(at.port))}, TslMapConfig(), 60000);
    hub.Update(s.tally, s.inputs, origin);
    Lamps lamps;
    ASSERT_TRUE(WaitFor(listener, lamps, 3000, [&] { return lamps.level.count(4); }));
    check.Heard(lamps.all);
    std::vector<TslCompareEvent> events;
    check.Poll(TslNowMs() + 1000, events);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(check.StateText(), "Hub agrees");

    const int64_t cut = TslNowMs();
    s.Set(4, 5);
    check.Switcher(s.tally, s.inputs, cut);
    check.Poll(cut + 150, events);
    EXPECT_TRUE(events.empty());  // within the tolerance
    check.Poll(cut + 250, events);
    ASSERT_EQ(events.size(), 3u);  // 3 still red, 4 not yet PGM, 5 not yet PVW
    EXPECT_EQ(check.StateText(), "Hub differs: 3");
    EXPECT_EQ(TslEventJson(events[0], cut),
              "{\"event\":\"diverged\",\"t\":0.250,\"index\":3,\"source\":3,\"switcher\":\"off\",\"hub\":\"PGM\","
              "\"ms\":250}");
    ASSERT_EQ(check.Senders().size(), 1u);
    const TslSenderConformance& c = check.Senders().begin()->second;
    EXPECT_EQ(c.malformed, 0u);
    EXPECT_EQ(c.indices.size(), 3u);  // 0 (unused inputs), 3 and 4
    hub.Stop(0);
}

TEST(TslNet, NothingIsComparedBeforeTheHubSpeaksNorAbove126WhileOnly31IsHeard) {
    Switcher sw;
    sw.Set(5, 128);  // 128 is beyond what 3.1 can address
    TslMapConfig map;
    TslHubCheck check(map);
    check.Switcher(sw.tally, sw.inputs, 0);
    auto heard = [&](const char* sender, TslVersion version, uint16_t index, OnAirLevel level, int64_t ms) {
        TslLamp lamp;
        lamp.index = index;
        lamp.source = index;
        lamp.level = level;
        const TslMessage m = TslMapMessage(map, lamp);
        std::vector<uint8_t> bytes;
        if (version == TSL_V31) {
            bytes.resize(TSL31_PACKET_SIZE);
            EXPECT_TRUE(Tsl31Encode(m, bytes.data()));
        } else {
            EXPECT_TRUE(Tsl50Encode(Tsl50Header{}, &m, 1, bytes));
        }
        TslHeard h;
        h.sender = sender;
        h.ms = ms;
        std::vector<TslPacket> packets;
        EXPECT_EQ(TslDecodeDatagram(bytes.data(), bytes.size(), packets), 1u);
        h.packet = packets.at(0);
        check.Heard({h});
    };
    // Before the hub says anything there is nothing to compare with.
    std::vector<TslCompareEvent> ev;
    check.Poll(900, ev);
    EXPECT_TRUE(ev.empty());
    EXPECT_EQ(check.StateText(), "Hub not heard");
    heard("127.0.0.1:9031", TSL_V31, 5, ONAIR_PROGRAM, 1000);
    check.Poll(1150, ev);
    EXPECT_TRUE(ev.empty());
    check.Poll(2000, ev);
    EXPECT_TRUE(ev.empty());
    EXPECT_EQ(check.StateText(), "Hub agrees");
    const std::string line = check.Senders().at("127.0.0.1:9031").Line(1000);
    EXPECT_NE(line.find("3.1 only: indices above 126 not compared"), std::string::npos) << line;

    // A 5.0 sender can carry 128: from now on it counts, and it is dark there.
    heard("127.0.0.1:9050", TSL_V50, 5, ONAIR_PROGRAM, 2100);
    EXPECT_EQ(check.Senders().at("127.0.0.1:9050").Line(2100).find("3.1 only"), std::string::npos);
    check.Poll(2400, ev);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, TSL_DIVERGED);
    EXPECT_EQ(ev[0].index, 128);
    EXPECT_EQ(ev[0].ms, 1400);  // since the hub was first heard
    EXPECT_EQ(ev[0].switcher, ONAIR_PREVIEW);
    EXPECT_EQ(check.StateText(), "Hub differs: 1");
}
