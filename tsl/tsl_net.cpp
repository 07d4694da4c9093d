// Senders, listener, outputs and hub check; see tsl_net.h.
#include "tsl/tsl_net.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

int64_t TslNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {

constexpr int CONNECT_TIMEOUT_MS = 2000;
constexpr int SEND_TIMEOUT_MS = 1000;
constexpr int64_t BACKOFF_FIRST_MS = 250, BACKOFF_MAX_MS = 5000;

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.compare(0, 4, "127.") == 0;
}

// The local side of a sending UDP socket: loopback for a loopback
// destination, so that nothing is bound beyond this computer when not needed.
std::string UdpBindFor(const std::string& host) {
    const bool v6 = host.find(':') != std::string::npos;
    if (IsLoopback(host)) return v6 ? "::1" : "127.0.0.1";
    return v6 ? "::" : "0.0.0.0";
}

}  // namespace

TslSender::TslSender(const TslEndpoint& destination) : destination_(destination) {}

TslSender::~TslSender() { Stop(0); }

void TslSender::Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread(&TslSender::Run, this);
}

void TslSender::Stop(int flushMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ && !thread_.joinable()) return;
        stopping_ = true;
        stopByMs_ = TslNowMs() + flushMs;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void TslSender::Send(std::vector<std::vector<uint8_t>> packets) {
    if (packets.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& p : packets) {
            if (queue_.size() >= MAX_QUEUED) {
                queue_.pop_front();
                ++dropped_;
            }
            queue_.push_back(std::move(p));
        }
    }
    wake_.notify_all();
}

std::string TslSender::StateText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::string TslSender::TakeNews() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == told_ || state_ == "starting") return std::string();
    told_ = state_;
    return state_;
}

void TslSender::SetState(const std::string& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
}

void TslSender::Run() {
    const TslEndpoint& d = destination_;
    NetHandle socket = NET_INVALID;
    std::string error;
    int64_t backoffMs = BACKOFF_FIRST_MS, retryAtMs = 0;
    for (;;) {
        // Wait for packets, for the next connection attempt, or for Stop.
        std::vector<uint8_t> packet;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const bool connected = socket != NET_INVALID;
            wake_.wait_for(lock, std::chrono::milliseconds(connected ? 1000 : 100),
                           [&] { return stopping_ || (!queue_.empty() && socket != NET_INVALID); });
            if (stopping_ && (queue_.empty() || TslNowMs() >= stopByMs_ || socket == NET_INVALID)) break;
            if (socket == NET_INVALID && !d.tcp) {
                // UDP: the socket is opened once; only a failure to open is retried.
            } else if (socket != NET_INVALID && !queue_.empty()) {
                packet = std::move(queue_.front());
                queue_.pop_front();
            }
        }
        if (socket == NET_INVALID) {
            if (TslNowMs() < retryAtMs) continue;
            error.clear();
            socket = d.tcp ? NetTcpConnect(d.host, d.port, CONNECT_TIMEOUT_MS, error)
                           : NetUdpOpen(UdpBindFor(d.host), 0, error);
            if (socket == NET_INVALID) {
                SetState(error + ", retrying");
                retryAtMs = TslNowMs() + backoffMs;
                backoffMs = std::min(backoffMs * 2, BACKOFF_MAX_MS);
                // Nothing queued while down is worth sending late.
                std::lock_guard<std::mutex> lock(mutex_);
                dropped_ += queue_.size();
                queue_.clear();
                continue;
            }
            backoffMs = BACKOFF_FIRST_MS;
            if (d.tcp) reconnected_ = true;
            SetState("sending");
            continue;
        }
        if (d.tcp) {
            // A receiver that closed (or reset) the connection is noticed here
            // rather than by the next packet vanishing; what it sends is ignored.
            uint8_t ignored[256];
            size_t got = 0;
            const NetRecvResult r = NetRecv(socket, ignored, sizeof ignored, 0, got, error);
            if (r == NET_RECV_CLOSED || r == NET_RECV_ERROR) {
                NetClose(socket);
                socket = NET_INVALID;
                SetState(error + ", reconnecting");
                retryAtMs = TslNowMs() + backoffMs;
                backoffMs = std::min(backoffMs * 2, BACKOFF_MAX_MS);
                if (!packet.empty()) ++dropped_;
                continue;
            }
        }
        if (packet.empty()) continue;
        const bool ok = d.tcp ? NetSendAll(socket, packet.data(), packet.size(), SEND_TIMEOUT_MS, error)
                              : NetUdpSendTo(socket, d.host, d.port, packet.data(), packet.size(), error);
        if (ok) {
            ++sent_;
            if (d.tcp && d.gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(d.gapMs));
            continue;
        }
        ++dropped_;
        if (d.tcp) {
            // The connection is gone: made again after a pause.
            NetClose(socket);
            socket = NET_INVALID;
            SetState(error + ", reconnecting");
            retryAtMs = TslNowMs() + backoffMs;
            backoffMs = std::min(backoffMs * 2, BACKOFF_MAX_MS);
        } else {
            SetState(error + ", retrying");
        }
    }
    NetClose(socket);
}

TslOutputs::TslOutputs(const std::vector<TslEndpoint>& destinations, const TslMapConfig& map, int64_t refreshMs) {
    for (const TslEndpoint& d : destinations) {
        outputs_.emplace_back(new TslOutput(d, map, refreshMs));
        senders_.emplace_back(new TslSender(d));
        senders_.back()->Start();
    }
}

TslOutputs::TslOutputs(const std::vector<Destination>& destinations, int64_t refreshMs) {
    for (const Destination& d : destinations) {
        outputs_.emplace_back(new TslOutput(d.endpoint, d.map, refreshMs));
        senders_.emplace_back(new TslSender(d.endpoint));
        senders_.back()->Start();
    }
}

TslOutputs::~TslOutputs() { Stop(0); }

void TslOutputs::Update(const OnAirTally& tally, const OnAirInputs& inputs, int64_t nowMs) {
    for (size_t i = 0; i < outputs_.size(); ++i) {
        if (senders_[i]->TakeReconnected()) outputs_[i]->Reconnected();
        senders_[i]->Send(outputs_[i]->Packets(tally, inputs, nowMs));
    }
}

int64_t TslOutputs::NextDueMs() const {
    int64_t next = INT64_MAX;
    for (const auto& o : outputs_) next = std::min(next, o->NextDueMs());
    return next;
}

void TslOutputs::Stop(int flushMs) {
    for (auto& s : senders_) s->Stop(flushMs);
}

std::vector<std::string> TslOutputs::News() {
    std::vector<std::string> lines;
    for (auto& s : senders_) {
        const std::string news = s->TakeNews();
        if (!news.empty()) lines.push_back("TSL out " + TslDestinationText(s->Destination()) + ": " + news);
    }
    return lines;
}

std::string TslOutputs::StateText() const {
    for (const auto& s : senders_) {
        const std::string state = s->StateText();
        if (state != "sending" && state != "starting")
            return "TSL out " + TslDestinationText(s->Destination()) + ": " + state;
    }
    return senders_.empty() ? std::string() : "TSL out: sending";
}

bool TslListener::Start(const TslEndpoint& at, std::string& error) {
    Stop();
    at_ = at;
    error.clear();
    socket_ = at.tcp ? NetTcpListen(at.host, at.port, error) : NetUdpOpen(at.host, at.port, error);
    if (socket_ == NET_INVALID) {
        error = TslListenerText(at) + ": " + (error.empty() ? "cannot listen" : error);
        return false;
    }
    port_ = NetLocalPort(socket_);
    stopping_ = false;
    thread_ = std::thread(&TslListener::Run, this);
    return true;
}

void TslListener::Stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    NetClose(socket_);
    socket_ = NET_INVALID;
}

std::vector<TslHeard> TslListener::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TslHeard> taken;
    taken.swap(held_);
    return taken;
}

void TslListener::Hold(TslHeard&& heard) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.size() >= MAX_HELD) {
        ++dropped_;
        return;
    }
    held_.push_back(std::move(heard));
}

void TslListener::Run() {
    std::vector<uint8_t> buffer(65536);
    std::string error, from;
    if (!at_.tcp) {
        while (!stopping_) {
            size_t got = 0;
            const NetRecvResult r = NetUdpRecvFrom(socket_, buffer.data(), buffer.size(), 100, got, from, error);
            if (r != NET_RECV_DATA) continue;
            const int64_t now = TslNowMs();
            std::vector<TslPacket> packets;
            TslDecodeDatagram(buffer.data(), got, packets);
            for (TslPacket& p : packets) Hold({from, true, now, std::move(p)});
        }
        return;
    }
    struct Connection {
        NetHandle socket;
        std::string from;
        TslStreamDecoder decoder;
    };
    std::vector<Connection> connections;
    constexpr size_t MAX_CONNECTIONS = 32;
    while (!stopping_) {
        std::vector<NetHandle> sockets{socket_};
        for (const Connection& c : connections) sockets.push_back(c.socket);
        std::unique_ptr<bool[]> readable(new bool[sockets.size()]);
        if (NetWaitReadable(sockets.data(), sockets.size(), 100, readable.get()) <= 0) continue;
        const int64_t now = TslNowMs();
        for (size_t i = connections.size(); i-- > 0;) {
            if (!readable[i + 1]) continue;
            Connection& c = connections[i];
            size_t got = 0;
            const NetRecvResult r = NetRecv(c.socket, buffer.data(), buffer.size(), 0, got, error);
            std::vector<TslPacket> packets;
            if (r == NET_RECV_DATA) c.decoder.Feed(buffer.data(), got, packets);
            const bool gone = r == NET_RECV_CLOSED || r == NET_RECV_ERROR;
            if (gone) c.decoder.Finish(packets);
            for (TslPacket& p : packets) Hold({c.from, false, now, std::move(p)});
            if (gone) {
                NetClose(c.socket);
                connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (readable[0]) {
            const NetHandle s = NetTcpAccept(socket_, 0, from);
            if (s != NET_INVALID && connections.size() < MAX_CONNECTIONS)
                connections.push_back({s, from, TslStreamDecoder()});
            else
                NetClose(s);
        }
    }
    for (Connection& c : connections) NetClose(c.socket);
}

void TslHubCheck::Switcher(const OnAirTally& tally, const OnAirInputs& inputs, int64_t nowMs) {
    std::vector<TslLamp> lamps = TslMapLamps(map_, tally, inputs, TSL_V50);
    // The text plays no part in the comparison.
    for (TslLamp& l : lamps) l.text.clear();
    if (started_ && lamps == last_) return;
    started_ = true;
    last_ = lamps;
    comparator_.SetSwitcher(lamps, nowMs);
}

void TslHubCheck::Heard(const std::vector<TslHeard>& heard) {
    if (senders_.empty() && !heard.empty()) comparator_.RestartClocks(heard.front().ms);
    for (const TslHeard& h : heard) {
        TslSenderConformance& c = senders_[h.sender];
        c.sender = h.sender;
        c.Note(h.packet, h.udp, h.ms);
        // An index is compared when some sender's protocol can carry it: a
        // 3.1 hub above 126 would otherwise read as dark and differ.
        int limit = 0;
        for (const auto& s : senders_) limit = std::max(limit, s.second.MaxIndex());
        comparator_.SetIndexLimit(limit);
        if (!h.packet.problem.empty()) continue;
        for (const TslMessage& m : h.packet.messages) {
            if (m.controlData) continue;
            comparator_.HubHeard(m.index, TslMapLevelOf(map_, h.packet.version, m), h.ms);
        }
    }
}

std::string TslHubCheck::StateText() const {
    if (senders_.empty()) return "Hub not heard";
    const int differing = comparator_.Differing();
    return differing ? "Hub differs: " + std::to_string(differing) : "Hub agrees";
}

std::string TslEventJson(const TslCompareEvent& e, int64_t originMs) {
    const char* kind = e.kind == TSL_DIVERGED ? "diverged" : e.kind == TSL_AGREED ? "agreed" : "stale";
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", static_cast<double>(e.tMs - originMs) / 1000.0);
    std::string s = std::string("{\"event\":\"") + kind + "\",\"t\":" + t + ",\"index\":" + std::to_string(e.index) +
                    ",\"source\":" + (e.source < 0 ? std::string("null") : std::to_string(e.source)) +
                    ",\"switcher\":\"" + TslLevelName(e.switcher) + "\",\"hub\":\"" + TslLevelName(e.hub) +
                    "\",\"ms\":" + std::to_string(e.ms) + "}";
    return s;
}
