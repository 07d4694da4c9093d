#include "mqtt/session.h"

MqttSession::MqttSession(const MqttSessionConfig& config) : config_(config), backoffMs_(config.backoffMinMs) {
    statusTopic_ = config_.prefix + "/status";
    droppedTopic_ = config_.prefix + "/dropped";
    if (config_.clientId.empty()) {
        const size_t slash = config_.prefix.rfind('/');
        config_.clientId = slash == std::string::npos ? config_.prefix : config_.prefix.substr(slash + 1);
    }
    if (config_.maxInFlight == 0) config_.maxInFlight = 1;
}

bool MqttSession::SetRetained(const std::string& topic, const std::string& payload, uint8_t qos) {
    auto found = retained_.find(topic);
    if (found == retained_.end()) {
        if (retained_.size() >= config_.maxTopics) return false;
        found = retained_.emplace(topic, Retained()).first;
    } else if (found->second.payload == payload && found->second.qos == qos) {
        return true;
    }
    Retained& r = found->second;
    r.payload = payload;
    r.qos = qos > 1 ? 1 : qos;
    // A newer value is a new message: an older copy still in flight is left to
    // be acknowledged, and this one is not a duplicate of it.
    r.dup = false;
    if (!r.pending) pendingOrder_.push_back(topic);
    r.pending = true;
    return true;
}

bool MqttSession::AddEvent(const std::string& topic, const std::string& payload, uint8_t qos) {
    size_t held = events_.size();
    for (const auto& f : inFlight_) held += f.second.retain ? 0 : 1;
    if (held >= config_.maxEvents) {
        ++dropped_;
        return false;
    }
    Message m;
    m.topic = topic;
    m.payload = payload;
    m.qos = qos > 1 ? 1 : qos;
    events_.push_back(m);
    return true;
}

bool MqttSession::LinkUp(int64_t nowMs, MqttBytes& out) {
    decoder_.Reset();
    MqttConnectFields f;
    f.clientId = config_.clientId;
    f.keepAliveSeconds = config_.keepAliveSeconds;
    f.cleanSession = true;
    f.will.topic = statusTopic_;
    f.will.payload = "offline";
    f.will.qos = 1;
    f.will.retain = true;
    f.user = config_.user;
    f.password = config_.password;
    if (!MqttEncodeConnect(f, out)) return Fail("client identifier, user or password too long");
    state_ = CONNECTING;
    connectSentMs_ = lastSentMs_ = nowMs;
    pingSentMs_ = -1;
    return true;
}

bool MqttSession::Fail(const std::string& why) {
    error_ = why;
    return false;
}

bool MqttSession::Received(const uint8_t* bytes, size_t count, int64_t nowMs) {
    (void)nowMs;
    decoder_.Feed(bytes, count);
    MqttReply reply;
    for (;;) {
        const MqttDecoder::Result result = decoder_.Next(reply);
        if (result == MqttDecoder::NEED_MORE) return true;
        if (result == MqttDecoder::FAILED) return Fail("broker sent " + decoder_.error());
        if (reply.type == MQTT_CONNACK) {
            if (state_ != CONNECTING) return Fail("broker sent a second CONNACK");
            if (reply.returnCode != 0) return Fail(MqttConnAckText(reply.returnCode));
            state_ = CONNECTED;
            error_.clear();
            backoffMs_ = config_.backoffMinMs;
            // Our will said offline; say online before anything else.
            // Sent on every connect, even unchanged: the broker may have
            // published the will since.
            if (!closing_) {
                Retained& r = retained_[statusTopic_];
                r.payload = "online";
                r.qos = 1;
                r.dup = false;
                for (auto it = pendingOrder_.begin(); it != pendingOrder_.end(); ++it) {
                    if (*it == statusTopic_) {
                        pendingOrder_.erase(it);
                        break;
                    }
                }
                r.pending = true;
                pendingOrder_.push_front(statusTopic_);
            }
        } else if (state_ != CONNECTED) {
            return Fail("broker replied before CONNACK");
        } else if (reply.type == MQTT_PUBACK) {
            auto f = inFlight_.find(reply.packetId);
            // An unknown id is a late duplicate acknowledgement: harmless.
            if (f == inFlight_.end()) continue;
            if (f->second.retain) {
                auto r = retained_.find(f->second.topic);
                if (r != retained_.end() && r->second.inFlightId == reply.packetId) r->second.inFlightId = 0;
            }
            inFlight_.erase(f);
        } else if (reply.type == MQTT_PINGRESP) {
            pingSentMs_ = -1;
        }
        // SUBACK and PUBLISH: nothing we asked for; skipped.
    }
}

uint16_t MqttSession::NextPacketId() {
    for (;;) {
        lastId_ = static_cast<uint16_t>(lastId_ + 1);
        if (lastId_ != 0 && inFlight_.find(lastId_) == inFlight_.end()) return lastId_;
    }
}

void MqttSession::Send(const Message& m, uint16_t id, MqttBytes& out, int64_t nowMs) {
    MqttEncodePublish(m.topic, m.payload, m.qos, m.retain, m.dup, id, out);
    lastSentMs_ = nowMs;
}

bool MqttSession::Poll(int64_t nowMs, MqttBytes& out) {
    if (state_ == CONNECTING) {
        if (nowMs - connectSentMs_ > config_.connAckTimeoutMs) return Fail("no CONNACK from the broker");
        return true;
    }
    if (state_ != CONNECTED) return true;
    const int64_t keepAliveMs = static_cast<int64_t>(config_.keepAliveSeconds) * 1000;
    if (keepAliveMs > 0 && pingSentMs_ >= 0 && nowMs - pingSentMs_ > keepAliveMs)
        return Fail("the broker stopped answering (no PINGRESP)");

    if (dropped_ != droppedAnnounced_ && !closing_) {
        SetRetained(droppedTopic_, "{\"events\":" + std::to_string(dropped_) + "}", 1);
        droppedAnnounced_ = dropped_;
    }
    // The status first, then events, then other retained state.
    auto sendRetained = [&](const std::string& topic) -> bool {
        Retained& r = retained_[topic];
        Message m;
        m.topic = topic;
        m.payload = r.payload;
        m.qos = r.qos;
        m.retain = true;
        m.dup = r.dup;
        uint16_t id = 0;
        if (m.qos > 0) {
            if (inFlight_.size() >= config_.maxInFlight) return false;
            id = NextPacketId();
            inFlight_[id] = m;
            r.inFlightId = id;
        }
        r.pending = false;
        r.dup = false;
        Send(m, id, out, nowMs);
        return true;
    };
    if (!closing_ && !pendingOrder_.empty() && pendingOrder_.front() == statusTopic_) {
        if (!sendRetained(statusTopic_)) return true;
        pendingOrder_.pop_front();
    }
    while (!events_.empty()) {
        Message& m = events_.front();
        uint16_t id = 0;
        if (m.qos > 0) {
            if (inFlight_.size() >= config_.maxInFlight) return true;
            id = NextPacketId();
            inFlight_[id] = m;
        }
        Send(m, id, out, nowMs);
        events_.pop_front();
    }
    while (!pendingOrder_.empty()) {
        const std::string topic = pendingOrder_.front();
        if (closing_ && topic == statusTopic_ && pendingOrder_.size() > 1) {
            // offline goes last: move it behind the rest.
            pendingOrder_.pop_front();
            pendingOrder_.push_back(topic);
            continue;
        }
        if (!sendRetained(topic)) return true;
        pendingOrder_.pop_front();
    }
    if (keepAliveMs > 0 && pingSentMs_ < 0 && nowMs - lastSentMs_ >= keepAliveMs * 3 / 4) {
        MqttEncodePingReq(out);
        pingSentMs_ = lastSentMs_ = nowMs;
    }
    return true;
}

void MqttSession::LinkDown(int64_t nowMs) {
    // Unacknowledged messages go back, oldest first, marked as sent before.
    std::deque<Message> back;
    std::deque<std::string> again;
    for (auto& f : inFlight_) {
        Message m = f.second;
        if (m.retain) {
            auto r = retained_.find(m.topic);
            if (r == retained_.end()) continue;
            r->second.inFlightId = 0;
            // A newer value waiting replaces this one; otherwise it is resent.
            if (r->second.pending) continue;
            r->second.pending = true;
            r->second.dup = true;
            again.push_back(m.topic);
        } else {
            m.dup = m.qos > 0;
            back.push_back(m);
        }
    }
    inFlight_.clear();
    pendingOrder_.insert(pendingOrder_.begin(), again.begin(), again.end());
    events_.insert(events_.begin(), back.begin(), back.end());
    if (state_ != DOWN || reconnectAtMs_ <= nowMs) {
        reconnectAtMs_ = nowMs + backoffMs_;
        backoffMs_ = backoffMs_ * 2 > config_.backoffMaxMs ? config_.backoffMaxMs : backoffMs_ * 2;
    }
    state_ = DOWN;
    pingSentMs_ = -1;
}

void MqttSession::BeginClose() {
    if (closing_) return;
    closing_ = true;
    SetRetained(statusTopic_, "offline", 1);
}

bool MqttSession::Idle() const { return pendingOrder_.empty() && events_.empty() && inFlight_.empty(); }

bool MqttSession::Closing(MqttBytes& out) {
    if (!closing_ || state_ != CONNECTED || !Idle()) return false;
    if (!closeQueued_) MqttEncodeDisconnect(out);
    closeQueued_ = true;
    return true;
}
