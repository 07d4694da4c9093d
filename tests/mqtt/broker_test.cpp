// The publisher against a broker nobody here wrote: Debian's mosquitto,
// listening on 127.0.0.1 at a port picked here, with mosquitto_sub as the
// subscriber. Retained state for a late subscriber, the will of a killed
// process, reconnecting after the broker restarts, QoS 1 redelivery through
// a relay that loses a PUBLISH, and tallydump's tally equal to the On Air
// derivation of the same bytes. Every process is ended by its own pid.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include <nlohmann/json.hpp>

#include "mqtt/client.h"
#include "net/socket.h"
#include "tests/tools/process.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;
const std::string SIM = TALLYSIM_PATH;
const std::string MOSQUITTO = "/usr/sbin/mosquitto";
const std::string SUB = "/usr/bin/mosquitto_sub";

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits up to timeoutMs for done(), checking every 20 ms.
template <typename F>
bool WaitUntil(int timeoutMs, F done) {
    const int64_t end = NowMs() + timeoutMs;
    while (!done()) {
        if (NowMs() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A loopback listening socket on a port the system picks.
int ListenLoopback(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

bool CanConnect(uint16_t port) {
    std::string error;
    const NetHandle s = NetTcpConnect("127.0.0.1", port, 200, error);
    NetClose(s);
    return s != NET_INVALID;
}

class Broker {
public:
    Broker() {
        static int serial = 0;
        base_ = TestDir() + "/broker" + std::to_string(++serial);
        const int probe = ListenLoopback(port_);
        close(probe);
        std::ofstream conf(base_ + ".conf");
        conf << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
    }
    ~Broker() { Stop(); }
    bool Start() {
        pid_ = StartTool({MOSQUITTO, "-c", base_ + ".conf"}, "", base_ + ".out", base_ + ".err");
        return WaitUntil(5000, [&] { return CanConnect(port_); });
    }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        WaitTool(pid_, 5000);
        pid_ = -1;
    }
    uint16_t port() const { return port_; }
    std::string Log() const { return ReadFileText(base_ + ".err"); }

private:
    std::string base_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// mosquitto_sub for the retained messages under topic, as topic -> payload.
std::map<std::string, std::string> Retained(uint16_t port, const std::string& topic) {
    const ToolRun run = RunTool({SUB, "-h", "127.0.0.1", "-p", std::to_string(port), "-t", topic, "-v",
                                 "--retained-only", "-W", "1"},
                                "", 10000);
    std::map<std::string, std::string> values;
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t space = line.find(' ');
        if (space != std::string::npos) values[line.substr(0, space)] = line.substr(space + 1);
    }
    return values;
}

MqttClientConfig ClientConfig(uint16_t port, const std::string& name) {
    MqttClientConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.session.prefix = "qorvex/" + name;
    c.session.backoffMinMs = 100;
    c.session.backoffMaxMs = 400;
    return c;
}

// Forwards one connection at a time between a client and the broker. While
// `hold` is set, what the client sends is swallowed; Cut() closes both ends.
// Keeps what reached the broker, per connection.
class Relay {
public:
    explicit Relay(uint16_t brokerPort) : brokerPort_(brokerPort) {
        listen_ = ListenLoopback(port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~Relay() {
        stop_ = true;
        thread_.join();
        close(listen_);
    }
    uint16_t port() const { return port_; }
    std::atomic<bool> hold{false};
    void Cut() { cut_ = true; WaitUntil(2000, [&] { return !cut_; }); }
    std::vector<std::string> Upstream() {
        std::lock_guard<std::mutex> lock(mutex_);
        return upstream_;
    }

private:
    void Run() {
        int client = -1, broker = -1;
        char buffer[4096];
        auto closeBoth = [&] {
            if (client >= 0) close(client);
            if (broker >= 0) close(broker);
            client = broker = -1;
        };
        while (!stop_) {
            if (cut_) {
                closeBoth();
                cut_ = false;
            }
            pollfd p[3] = {{listen_, POLLIN, 0}, {client, POLLIN, 0}, {broker, POLLIN, 0}};
            if (poll(p, 3, 20) <= 0) continue;
            if ((p[0].revents & POLLIN) && client < 0) {
                client = accept(listen_, nullptr, nullptr);
                std::string error;
                broker = static_cast<int>(NetTcpConnect("127.0.0.1", brokerPort_, 2000, error));
                std::lock_guard<std::mutex> lock(mutex_);
                upstream_.emplace_back();
                if (broker < 0) closeBoth();
                continue;
            }
            if (client >= 0 && (p[1].revents & (POLLIN | POLLHUP))) {
                const ssize_t n = read(client, buffer, sizeof buffer);
                if (n <= 0) {
                    closeBoth();
                    continue;
                }
                if (!hold) {
                    std::string error;
                    NetSendAll(broker, reinterpret_cast<uint8_t*>(buffer), static_cast<size_t>(n), 2000, error);
                    std::lock_guard<std::mutex> lock(mutex_);
                    upstream_.back().append(buffer, static_cast<size_t>(n));
                }
            }
            if (broker >= 0 && (p[2].revents & (POLLIN | POLLHUP))) {
                const ssize_t n = read(broker, buffer, sizeof buffer);
                if (n <= 0) {
                    closeBoth();
                    continue;
                }
                std::string error;
                NetSendAll(client, reinterpret_cast<uint8_t*>(buffer), static_cast<size_t>(n), 2000, error);
            }
        }
        closeBoth();
    }
    uint16_t brokerPort_, port_ = 0;
    int listen_ = -1;
    std::atomic<bool> stop_{false}, cut_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> upstream_;
};

// The PUBLISH packets in a client's byte stream: (first byte, topic, payload).
struct Publish {
    uint8_t header;
    std::string topic, payload;
};
std::vector<Publish> Publishes(const std::string& bytes) {
    std::vector<Publish> found;
    size_t i = 0;
    while (i + 2 <= bytes.size()) {
        const uint8_t header = static_cast<uint8_t>(bytes[i]);
        size_t at = i + 1;
        uint32_t length = 0;
        for (int shift = 0; at < bytes.size(); shift += 7) {
            const uint8_t digit = static_cast<uint8_t>(bytes[at++]);
            length |= static_cast<uint32_t>(digit & 0x7F) << shift;
            if (!(digit & 0x80)) break;
        }
        if (at + length > bytes.size()) break;
        if (header >> 4 == MQTT_PUBLISH) {
            const size_t topicLength = static_cast<uint8_t>(bytes[at]) << 8 | static_cast<uint8_t>(bytes[at + 1]);
            const size_t body = at + 2 + topicLength + (((header >> 1) & 3) ? 2 : 0);
            found.push_back({header, bytes.substr(at + 2, topicLength), bytes.substr(body, at + length - body)});
        }
        i = at + length;
    }
    return found;
}

class MqttBroker : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(MOSQUITTO.c_str(), X_OK) != 0 || access(SUB.c_str(), X_OK) != 0)
            GTEST_SKIP() << "mosquitto and mosquitto-clients are not installed (make deps)";
        ASSERT_TRUE(broker.Start()) << broker.Log();
    }
    Broker broker;
};

}  // namespace

TEST_F(MqttBroker, LateSubscriberSeesTheLatestRetainedStateAndACleanStopSaysOffline) {
    MqttClient client(ClientConfig(broker.port(), "LATE"));
    // Given before the link is up: only the last value of a topic goes out.
    client.PublishRetained("tally/3", "{\"v\":1}");
    client.PublishRetained("tally/3", "{\"v\":2, \"name\":\"CAM \\\"3\\\"\"}");
    client.PublishRetained("link", "{\"state\":\"Receiving\"}", 0);
    client.Start();
    ASSERT_TRUE(WaitUntil(5000, [&] { return client.Connected(); })) << client.StatusText();
    EXPECT_EQ(client.StatusText(), "MQTT connected");
    ASSERT_TRUE(WaitUntil(5000, [&] { return Retained(broker.port(), "qorvex/LATE/#").size() == 3; }));
    std::map<std::string, std::string> seen = Retained(broker.port(), "qorvex/LATE/#");
    EXPECT_EQ(seen["qorvex/LATE/status"], "online");
    EXPECT_EQ(seen["qorvex/LATE/tally/3"], "{\"v\":2, \"name\":\"CAM \\\"3\\\"\"}");
    EXPECT_EQ(seen["qorvex/LATE/link"], "{\"state\":\"Receiving\"}");

    client.Stop(3000);
    EXPECT_EQ(client.StatusText(), "MQTT stopped");
    EXPECT_EQ(Retained(broker.port(), "qorvex/LATE/status")["qorvex/LATE/status"], "offline");
}

TEST_F(MqttBroker, ReconnectsAfterTheBrokerRestartsWithWhatChangedMeanwhile) {
    MqttClient client(ClientConfig(broker.port(), "RESTART"));
    client.PublishRetained("tally/7", "before");
    client.Start();
    ASSERT_TRUE(WaitUntil(5000, [&] { return client.Connected(); }));
    broker.Stop();
    ASSERT_TRUE(WaitUntil(5000, [&] { return !client.Connected(); }));
    EXPECT_NE(client.StatusText().find("MQTT: "), std::string::npos);
    client.PublishRetained("tally/7", "during");  // the broker is down: held, then sent
    ASSERT_TRUE(broker.Start()) << broker.Log();
    // The restarted broker has no memory (no persistence): all it holds came again.
    ASSERT_TRUE(WaitUntil(5000, [&] { return client.Connections() == 2; })) << client.StatusText();
    ASSERT_TRUE(WaitUntil(5000, [&] { return Retained(broker.port(), "qorvex/RESTART/#").size() == 2; }));
    std::map<std::string, std::string> seen = Retained(broker.port(), "qorvex/RESTART/#");
    EXPECT_EQ(seen["qorvex/RESTART/tally/7"], "during");
    EXPECT_EQ(seen["qorvex/RESTART/status"], "online");
    client.Stop(3000);
}

TEST_F(MqttBroker, AnAlarmLostOnTheWayIsSentAgainWithDupAfterReconnecting) {
    Relay relay(broker.port());
    const std::string base = TestDir() + "/redeliver";
    const pid_t sub = StartTool({SUB, "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-t",
                                 "qorvex/QOS/alarm", "-q", "1", "-C", "1", "-W", "20"},
                                "", base + ".out", base + ".err");
    MqttClientConfig config = ClientConfig(relay.port(), "QOS");
    config.session.keepAliveSeconds = 60;
    MqttClient client(config);
    client.Start();
    ASSERT_TRUE(WaitUntil(5000, [&] { return client.Connected(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the subscriber is in
    relay.hold = true;
    ASSERT_TRUE(client.PublishEvent("alarm", "{\"alarm\":\"silent\",\"seconds\":12}"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    relay.Cut();
    relay.hold = false;
    EXPECT_EQ(WaitTool(sub, 20000), 0) << ReadFileText(base + ".err");
    EXPECT_EQ(ReadFileText(base + ".out"), "{\"alarm\":\"silent\",\"seconds\":12}\n");

    const std::vector<std::string> upstream = relay.Upstream();
    ASSERT_GE(upstream.size(), 2u);
    int first = 0, again = 0;
    for (const Publish& p : Publishes(upstream[0])) first += p.topic == "qorvex/QOS/alarm";
    for (const Publish& p : Publishes(upstream[1]))
        if (p.topic == "qorvex/QOS/alarm") {
            ++again;
            EXPECT_EQ(p.header, 0x3A);  // PUBLISH, DUP, QoS 1, not retained
        }
    EXPECT_EQ(first, 0);  // held by the relay: the broker never saw it
    EXPECT_EQ(again, 1);
    client.Stop(3000);
}

TEST_F(MqttBroker, TallydumpsRetainedTallyMatchesTheOnAirDerivationAndItsWillFires) {
    if (access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat is not installed";
    const std::string base = TestDir() + "/fleet";
    const std::string sender = base + "A", receiver = base + "B";
    const pid_t socat = StartTool({"/usr/bin/socat", "pty,raw,echo=0,link=" + sender, "pty,raw,echo=0,link=" + receiver},
                                  "", base + ".socat.out", base + ".socat.err");
    ASSERT_TRUE(WaitUntil(2000, [&] { return Exists(sender) && Exists(receiver); }));
    const std::string port = std::to_string(broker.port());
    const pid_t dump = StartTool({DUMP, "--port", receiver, "--capture", base + ".cap", "--mqtt",
                                  "127.0.0.1:" + port, "--mqtt-name", "STUDIO1"},
                                 "", base + ".out", base + ".err");
    ASSERT_TRUE(WaitUntil(5000, [&] {
        return Retained(broker.port(), "qorvex/STUDIO1/status")["qorvex/STUDIO1/status"] == "online";
    })) << ReadFileText(base + ".err");
    const ToolRun sim = RunTool({SIM, "--output", sender, "--count", "800", "--faults", "0.02", "--seed", "25"},
                                "", 60000);
    ASSERT_EQ(sim.status, 0) << sim.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(dump, SIGINT);
    ASSERT_EQ(WaitTool(dump, 10000), 0) << ReadFileText(base + ".err");

    const ToolRun truth = RunTool({DUMP, "--on-air", base + ".cap"});
    ASSERT_EQ(truth.status, 0) << truth.err;
    const nlohmann::json onAir = nlohmann::json::parse(truth.out);
    std::map<std::string, std::string> seen = Retained(broker.port(), "qorvex/STUDIO1/#");
    EXPECT_EQ(seen["qorvex/STUDIO1/status"], "offline");
    const nlohmann::json link = nlohmann::json::parse(seen["qorvex/STUDIO1/link"]);
    EXPECT_EQ(link["totals"]["bytes"], ReadFileText(base + ".cap").size());
    EXPECT_EQ(link["port"], receiver);

    // Every source the derivation lights has a retained tally, and every
    // retained tally says what the derivation says, ME by ME and output by output.
    std::set<int> lit;
    for (const auto& me : onAir["me"])
        for (const char* level : {"pgm", "lap", "pvw"})
            for (int s : me[level]) lit.insert(s);
    for (const auto& o : onAir["outputs"]) lit.insert(o["source"].get<int>());
    int checked = 0;
    for (const auto& entry : seen) {
        const std::string prefix = "qorvex/STUDIO1/tally/";
        if (entry.first.compare(0, prefix.size(), prefix) != 0) continue;
        const int source = std::stoi(entry.first.substr(prefix.size()));
        SCOPED_TRACE(entry.second);
        const nlohmann::json t = nlohmann::json::parse(entry.second);
        EXPECT_EQ(t["source"], source);
        std::string best = "off";
        for (int m = 0; m < 4; ++m) {
            auto has = [&](const char* level) {
                for (int s : onAir["me"][m][level])
                    if (s == source) return true;
                return false;
            };
            const std::string want = has("pgm") ? "PGM" : has("lap") ? "LAP" : has("pvw") ? "PVW" : "off";
            EXPECT_EQ(t["me"][m], want) << "ME " << m + 1;
            if (want == "PGM" || (want == "LAP" && best != "PGM") || (want == "PVW" && best == "off")) best = want;
        }
        EXPECT_EQ(t["level"], best);
        std::vector<int> outputs;
        for (const auto& o : onAir["outputs"])
            if (o["source"] == source) outputs.push_back(o["output"]);
        EXPECT_EQ(t["outputs"].get<std::vector<int>>(), outputs);
        lit.erase(source);
        ++checked;
    }
    EXPECT_TRUE(lit.empty()) << lit.size() << " lit sources without a retained tally";
    EXPECT_GT(checked, 10);

    // A second run killed outright: the broker publishes its will.
    const pid_t killed = StartTool({DUMP, "--port", receiver, "--mqtt", "127.0.0.1:" + port, "--mqtt-name", "STUDIO1"},
                                   "", base + ".2.out", base + ".2.err");
    ASSERT_TRUE(WaitUntil(5000, [&] {
        return Retained(broker.port(), "qorvex/STUDIO1/status")["qorvex/STUDIO1/status"] == "online";
    })) << ReadFileText(base + ".2.err");
    kill(killed, SIGKILL);
    WaitTool(killed, 5000);
    EXPECT_TRUE(WaitUntil(5000, [&] {
        return Retained(broker.port(), "qorvex/STUDIO1/status")["qorvex/STUDIO1/status"] == "offline";
    }));
    kill(socat, SIGTERM);
    WaitTool(socat, 5000);
}

TEST(TallydumpMqttOptions, RefusedBeforeAnyDeviceIsTouched) {
    const std::vector<std::vector<std::string>> refused = {
        {DUMP, "--mqtt", "127.0.0.1", "-"},                                    // only with --port
        {DUMP, "--port", "/dev/null", "--mqtt", "127.0.0.1:70000"},            // port out of range
        {DUMP, "--port", "/dev/null", "--mqtt", ":1883"},                      // no host
        {DUMP, "--port", "/dev/null", "--mqtt", "h", "--mqtt-name", "A/B"},    // two topic levels
        {DUMP, "--port", "/dev/null", "--mqtt", "h", "--mqtt-name", "A+"},     // a wildcard
        {DUMP, "--port", "/dev/null", "--mqtt-name", "A"},                     // a name without a broker
    };
    for (const auto& args : refused) {
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.status, 2) << args[2] << " " << args.back() << ": " << run.err;
        EXPECT_NE(run.err.find("mqtt"), std::string::npos) << run.err;
    }
}

TEST(NetSocket, LoopbackTcpAndUdpWithTheirTimeoutsAndErrors) {
    struct Split {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
    };
    const Split splits[] = {{"broker", true, "broker", 1883},    {"broker:8883", true, "broker", 8883},
                            {"[::1]:9001", true, "::1", 9001},    {"::1", true, "::1", 1883},
                            {"broker:", false, "", 0},           {"broker:0", false, "", 0},
                            {"broker:65536", false, "", 0},      {":1883", false, "", 0},
                            {"broker:18x3", false, "", 0},       {"[::1]x", false, "", 0}};
    for (const Split& s : splits) {
        std::string host;
        uint16_t port = 0;
        EXPECT_EQ(NetSplitHostPort(s.text, 1883, host, port), s.ok) << s.text;
        if (s.ok) {
            EXPECT_EQ(host, s.host) << s.text;
            EXPECT_EQ(port, s.port) << s.text;
        }
    }

    // TCP: refused on a port nobody listens on; a quiet peer times out; a
    // peer that closes is seen as closed.
    uint16_t port = 0;
    int listener = ListenLoopback(port);
    ASSERT_GE(listener, 0);
    std::string error;
    const NetHandle client = NetTcpConnect("127.0.0.1", port, 2000, error);
    ASSERT_NE(client, NET_INVALID) << error;
    const int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    uint8_t buffer[64];
    size_t got = 0;
    const int64_t before = NowMs();
    EXPECT_EQ(NetRecv(client, buffer, sizeof buffer, 150, got, error), NET_RECV_TIMEOUT);
    EXPECT_GE(NowMs() - before, 140);
    const uint8_t hello[] = {'h', 'i'};
    ASSERT_TRUE(NetSendAll(client, hello, sizeof hello, 1000, error)) << error;
    char echo[2] = {};
    ASSERT_EQ(read(server, echo, 2), 2);
    EXPECT_EQ(std::string(echo, 2), "hi");
    close(server);
    EXPECT_EQ(NetRecv(client, buffer, sizeof buffer, 1000, got, error), NET_RECV_CLOSED);
    NetClose(client);
    close(listener);
    EXPECT_EQ(NetTcpConnect("127.0.0.1", port, 2000, error), NET_INVALID);
    EXPECT_NE(error.find("refused"), std::string::npos) << error;

    // UDP: one datagram across, then nothing more within the time-out.
    const NetHandle a = NetUdpOpen("127.0.0.1", 0, error);
    const NetHandle b = NetUdpOpen("127.0.0.1", 0, error);
    ASSERT_NE(a, NET_INVALID);
    ASSERT_NE(b, NET_INVALID);
    const uint16_t bPort = NetLocalPort(b);
    ASSERT_NE(bPort, 0);
    const uint8_t datagram[] = {1, 2, 3, 0, 255};
    ASSERT_TRUE(NetUdpSendTo(a, "127.0.0.1", bPort, datagram, sizeof datagram, error)) << error;
    ASSERT_EQ(NetUdpRecv(b, buffer, sizeof buffer, 1000, got, error), NET_RECV_DATA) << error;
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + got), std::vector<uint8_t>(datagram, datagram + 5));
    EXPECT_EQ(NetUdpRecv(b, buffer, sizeof buffer, 50, got, error), NET_RECV_TIMEOUT);
    NetClose(a);
    NetClose(b);
}
