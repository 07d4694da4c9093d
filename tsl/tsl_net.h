// TSL on the network: a sender per destination and a listener, each on its
// own thread so that the receiver and the window never wait on a socket, and
// the two pieces that sit between them and the portable core: the outputs
// (from the switcher's state to the senders) and the hub check (from the
// listener to the comparison). Portable: the socket layer hides the system.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "tsl/tsl_compare.h"
#include "tsl/tsl_output.h"

// Milliseconds of a monotonic clock: the time base of the senders, the
// listener's stamps and the comparison.
int64_t TslNowMs();

// One destination. Packets handed to Send go out from the sender's thread:
// UDP at once; TCP over a connection made out and made again after a failure
// with a growing pause (250 ms doubling to 5 s). While TCP is down, packets
// are dropped: on the next connection the output sends everything again.
class TslSender {
public:
    static constexpr size_t MAX_QUEUED = 512;  // packets waiting; beyond, the oldest go
    explicit TslSender(const TslEndpoint& destination);
    ~TslSender();
    void Start();
    // Sends what is queued for at most flushMs, then ends the thread.
    void Stop(int flushMs);
    // Never waits on the network.
    void Send(std::vector<std::vector<uint8_t>> packets);
    // True once after each new TCP connection (the caller sends all again).
    bool TakeReconnected() { return reconnected_.exchange(false); }
    // "sending" or the last error, e.g. "connection refused, retrying".
    std::string StateText() const;
    // A line when the state changed since the last call ("" otherwise): an
    // error is said once, not at every retry.
    std::string TakeNews();
    uint64_t PacketsSent() const { return sent_; }
    uint64_t PacketsDropped() const { return dropped_; }
    const TslEndpoint& Destination() const { return destination_; }

private:
    void Run();
    void SetState(const std::string& state);
    TslEndpoint destination_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::vector<uint8_t>> queue_;
    std::string state_ = "starting", told_;
    bool stopping_ = false;
    int64_t stopByMs_ = 0;
    std::atomic<bool> reconnected_{false};
    std::atomic<uint64_t> sent_{0}, dropped_{0};
    std::thread thread_;
};

// The outputs of one map: every destination's packets from the switcher's
// state, handed to its sender. Call Update where messages are stored (a change
// goes out at once) and again by NextDueMs (the refresh).
class TslOutputs {
public:
    TslOutputs(const std::vector<TslEndpoint>& destinations, const TslMapConfig& map, int64_t refreshMs = 1000);
    // Each destination with a map of its own (the saved settings).
    struct Destination {
        TslEndpoint endpoint;
        TslMapConfig map;
    };
    TslOutputs(const std::vector<Destination>& destinations, int64_t refreshMs);
    ~TslOutputs();
    void Update(const OnAirTally& tally, const OnAirInputs& inputs, int64_t nowMs);
    int64_t NextDueMs() const;
    void Stop(int flushMs);
    // New state lines of the senders, each prefixed with its destination.
    std::vector<std::string> News();
    // "TSL out: sending" or "TSL out 5.0:tcp:h:p: connection refused, retrying".
    std::string StateText() const;
    size_t Count() const { return senders_.size(); }
    const TslSender& Sender(size_t i) const { return *senders_[i]; }

private:
    std::vector<std::unique_ptr<TslOutput>> outputs_;
    std::vector<std::unique_ptr<TslSender>> senders_;
};

// One packet as the listener heard it.
struct TslHeard {
    std::string sender;  // "ADDR:PORT"
    bool udp = true;
    int64_t ms = 0;      // TslNowMs() on arrival
    TslPacket packet;
};

// udp:ADDR:PORT or tcp:ADDR:PORT. Each datagram is told apart on its own (3.1,
// 5.0, DLE/STX 5.0); each TCP connection by its first byte.
class TslListener {
public:
    static constexpr size_t MAX_HELD = 4096;  // packets not yet taken; beyond, new ones are dropped
    TslListener() = default;
    ~TslListener() { Stop(); }
    // Binds now (so that "address already in use" is said here) and starts the thread.
    bool Start(const TslEndpoint& at, std::string& error);
    void Stop();
    uint16_t Port() const { return port_; }
    std::vector<TslHeard> Take();
    uint64_t Dropped() const { return dropped_; }

private:
    void Run();
    void Hold(TslHeard&& heard);
    TslEndpoint at_;
    NetHandle socket_ = NET_INVALID;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::vector<TslHeard> held_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> dropped_{0};
    std::thread thread_;
};

// The comparison fed from the listener: each message read back through the
// map, each sender's conformance counted.
class TslHubCheck {
public:
    TslHubCheck(const TslMapConfig& map, TslCompareConfig config = TslCompareConfig()) : map_(map), comparator_(config) {}
    // The switcher's state now; only a change reaches the comparator.
    void Switcher(const OnAirTally& tally, const OnAirInputs& inputs, int64_t nowMs);
    void Heard(const std::vector<TslHeard>& heard);
    // Nothing before the first packet is heard ("Hub not heard" says so);
    // from it, differences count from its time.
    void Poll(int64_t nowMs, std::vector<TslCompareEvent>& out) {
        if (!senders_.empty()) comparator_.Poll(nowMs, out);
    }
    const TslComparator& Comparator() const { return comparator_; }
    const TslMapConfig& Map() const { return map_; }
    const std::map<std::string, TslSenderConformance>& Senders() const { return senders_; }
    // "Hub agrees", "Hub differs: 2", or "Hub not heard" before any packet.
    std::string StateText() const;

private:
    TslMapConfig map_;
    TslComparator comparator_;
    std::vector<TslLamp> last_;
    bool started_ = false;
    std::map<std::string, TslSenderConformance> senders_;
};

// One comparison event as a JSON line: {"event":"diverged","t":12.345,
// "index":3,"source":3,"switcher":"PGM","hub":"off","ms":230}; t in seconds
// since originMs.
std::string TslEventJson(const TslCompareEvent& e, int64_t originMs);
