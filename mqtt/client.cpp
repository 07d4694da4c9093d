#include "mqtt/client.h"

#include <chrono>

#include "net/socket.h"

namespace {
// How long the thread waits for broker bytes before it looks at the queue
// again: the most a published value waits to go out.
const int POLL_MS = 20;
}  // namespace

MqttClient::MqttClient(const MqttClientConfig& config) : config_(config), session_(config.session) {
    where_ = config_.host + ":" + std::to_string(config_.port);
    status_ = "MQTT connecting to " + where_;
}

MqttClient::~MqttClient() { Stop(0); }

int64_t MqttClient::Now() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void MqttClient::Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { Run(); });
}

void MqttClient::Stop(int flushMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            stopDeadlineMs_ = Now() + (flushMs > 0 ? flushMs : 0);
            session_.BeginClose();
        }
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void MqttClient::PublishRetained(const std::string& subtopic, const std::string& payload, uint8_t qos) {
    std::lock_guard<std::mutex> lock(mutex_);
    session_.SetRetained(config_.session.prefix + "/" + subtopic, payload, qos);
}

bool MqttClient::PublishEvent(const std::string& subtopic, const std::string& payload, uint8_t qos) {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_.AddEvent(config_.session.prefix + "/" + subtopic, payload, qos);
}

std::string MqttClient::StatusText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

bool MqttClient::Connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_.Connected();
}

uint64_t MqttClient::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

uint64_t MqttClient::DroppedEvents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_.DroppedEvents();
}

void MqttClient::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    NetHandle socket = NET_INVALID;
    MqttBytes out;
    uint8_t buffer[4096];
    auto dropLink = [&](const std::string& why) {
        NetClose(socket);
        socket = NET_INVALID;
        session_.LinkDown(Now());
        status_ = "MQTT: " + why;
    };
    for (;;) {
        if (stopping_ && Now() >= stopDeadlineMs_) break;
        if (socket == NET_INVALID) {
            // Stopping with no link: the broker has published our will
            // already (or never knew us); do not hold the caller up.
            if (stopping_) break;
            // Wait out the backoff (or until told to stop).
            const int64_t at = session_.ReconnectAtMs();
            if (Now() < at) {
                wake_.wait_for(lock, std::chrono::milliseconds(at - Now()));
                continue;
            }
            lock.unlock();
            std::string error;
            const NetHandle s = NetTcpConnect(config_.host, config_.port, config_.connectTimeoutMs, error);
            lock.lock();
            if (s == NET_INVALID) {
                session_.LinkDown(Now());
                status_ = "MQTT: " + where_ + ": " + error;
                continue;
            }
            socket = s;
            out.clear();
            if (!session_.LinkUp(Now(), out)) {
                dropLink(session_.error());
                continue;
            }
        } else {
            if (!session_.Poll(Now(), out)) {
                const std::string why = session_.error();
                lock.unlock();
                if (!out.empty()) {
                    std::string ignored;
                    NetSendAll(socket, out.data(), out.size(), config_.sendTimeoutMs, ignored);
                }
                lock.lock();
                out.clear();
                dropLink(why);
                continue;
            }
            if (stopping_ && session_.Closing(out)) {
                lock.unlock();
                std::string ignored;
                NetSendAll(socket, out.data(), out.size(), config_.sendTimeoutMs, ignored);
                NetClose(socket);
                lock.lock();
                socket = NET_INVALID;
                break;
            }
        }
        // Send what is due and read replies without holding the lock.
        MqttBytes sending;
        sending.swap(out);
        lock.unlock();
        std::string error;
        bool ok = sending.empty() || NetSendAll(socket, sending.data(), sending.size(), config_.sendTimeoutMs, error);
        size_t got = 0;
        NetRecvResult result = NET_RECV_TIMEOUT;
        if (ok) result = NetRecv(socket, buffer, sizeof buffer, POLL_MS, got, error);
        lock.lock();
        if (!ok || result == NET_RECV_CLOSED || result == NET_RECV_ERROR) {
            dropLink(error.empty() ? std::string("connection lost") : error);
            continue;
        }
        if (result == NET_RECV_DATA) {
            const bool wasConnected = session_.Connected();
            if (!session_.Received(buffer, got, Now())) {
                dropLink(session_.error());
                continue;
            }
            if (!wasConnected && session_.Connected()) {
                ++connections_;
                status_ = "MQTT connected";
            }
        }
    }
    NetClose(socket);
    status_ = "MQTT stopped";
}
