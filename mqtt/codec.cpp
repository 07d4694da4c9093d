#include "mqtt/codec.h"

namespace {

void Put16(MqttBytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

void PutString(MqttBytes& out, const std::string& text) {
    Put16(out, static_cast<uint16_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

bool Fits(const std::string& text) { return text.size() <= 0xFFFF; }

// Header byte, length, body; false when the body is too long for MQTT.
bool Frame(uint8_t header, const MqttBytes& body, MqttBytes& out) {
    if (body.size() > MQTT_MAX_REMAINING) return false;
    MqttBytes packet;
    packet.reserve(body.size() + 5);
    packet.push_back(header);
    MqttAppendLength(packet, static_cast<uint32_t>(body.size()));
    packet.insert(packet.end(), body.begin(), body.end());
    out.insert(out.end(), packet.begin(), packet.end());
    return true;
}

}  // namespace

bool MqttAppendLength(MqttBytes& out, uint32_t length) {
    if (length > MQTT_MAX_REMAINING) return false;
    do {
        uint8_t digit = length % 128;
        length /= 128;
        if (length > 0) digit |= 0x80;
        out.push_back(digit);
    } while (length > 0);
    return true;
}

bool MqttEncodeConnect(const MqttConnectFields& f, MqttBytes& out) {
    if (!Fits(f.clientId) || !Fits(f.will.topic) || !Fits(f.will.payload) || !Fits(f.user) || !Fits(f.password))
        return false;
    const bool will = !f.will.topic.empty();
    const bool user = !f.user.empty();
    MqttBytes body;
    PutString(body, "MQTT");
    body.push_back(4);  // protocol level 3.1.1
    uint8_t flags = 0;
    if (f.cleanSession) flags |= 0x02;
    if (will) {
        flags |= 0x04;
        flags |= static_cast<uint8_t>((f.will.qos > 2 ? 2 : f.will.qos) << 3);
        if (f.will.retain) flags |= 0x20;
    }
    // 3.1.1 allows a password only together with a user name.
    if (user) {
        flags |= 0x80;
        if (!f.password.empty()) flags |= 0x40;
    }
    body.push_back(flags);
    Put16(body, f.keepAliveSeconds);
    PutString(body, f.clientId);
    if (will) {
        PutString(body, f.will.topic);
        PutString(body, f.will.payload);
    }
    if (user) {
        PutString(body, f.user);
        if (!f.password.empty()) PutString(body, f.password);
    }
    return Frame(MQTT_CONNECT << 4, body, out);
}

bool MqttEncodePublish(const std::string& topic, const std::string& payload, uint8_t qos, bool retain, bool dup,
                       uint16_t packetId, MqttBytes& out) {
    if (!Fits(topic) || qos > 1) return false;
    MqttBytes body;
    body.reserve(topic.size() + payload.size() + 4);
    PutString(body, topic);
    if (qos > 0) Put16(body, packetId);
    body.insert(body.end(), payload.begin(), payload.end());
    uint8_t header = MQTT_PUBLISH << 4;
    if (dup && qos > 0) header |= 0x08;
    header |= static_cast<uint8_t>(qos << 1);
    if (retain) header |= 0x01;
    return Frame(header, body, out);
}

void MqttEncodePingReq(MqttBytes& out) {
    out.push_back(MQTT_PINGREQ << 4);
    out.push_back(0);
}

void MqttEncodeDisconnect(MqttBytes& out) {
    out.push_back(MQTT_DISCONNECT << 4);
    out.push_back(0);
}

void MqttEncodePubAck(uint16_t packetId, MqttBytes& out) {
    out.push_back(MQTT_PUBACK << 4);
    out.push_back(2);
    Put16(out, packetId);
}

void MqttEncodeConnAck(bool sessionPresent, uint8_t returnCode, MqttBytes& out) {
    out.push_back(MQTT_CONNACK << 4);
    out.push_back(2);
    out.push_back(sessionPresent ? 1 : 0);
    out.push_back(returnCode);
}

const char* MqttConnAckText(uint8_t code) {
    switch (code) {
    case 0: return "";
    case 1: return "connection refused: protocol version not accepted";
    case 2: return "connection refused: client identifier rejected";
    case 3: return "connection refused: broker unavailable";
    case 4: return "connection refused: bad user name or password";
    case 5: return "connection refused: not authorised";
    default: return "connection refused: unknown reason";
    }
}

void MqttDecoder::Feed(const uint8_t* bytes, size_t count) {
    if (failed_ || count == 0) return;
    // Drop what was consumed before growing, so the buffer never holds more
    // than one reply's worth plus the new bytes.
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + count);
}

void MqttDecoder::Reset() {
    buffer_.clear();
    start_ = 0;
    failed_ = false;
    error_.clear();
}

MqttDecoder::Result MqttDecoder::Fail(const std::string& why) {
    failed_ = true;
    error_ = why;
    buffer_.clear();
    start_ = 0;
    return FAILED;
}

MqttDecoder::Result MqttDecoder::Next(MqttReply& reply) {
    if (failed_) return FAILED;
    const size_t available = buffer_.size() - start_;
    if (available < 2) return NEED_MORE;
    const uint8_t* p = buffer_.data() + start_;
    const uint8_t header = p[0];
    const uint8_t type = header >> 4;
    const uint8_t flags = header & 0x0F;

    // Remaining length: at most four bytes, the last without its high bit.
    uint32_t length = 0;
    size_t used = 1;
    for (int i = 0;; ++i) {
        if (i == 4) return Fail("remaining length longer than four bytes");
        if (used >= available) return NEED_MORE;
        const uint8_t digit = p[used++];
        length |= static_cast<uint32_t>(digit & 0x7F) << (7 * i);
        if (!(digit & 0x80)) break;
    }

    // What each reply must look like, checked before waiting for its body.
    switch (type) {
    case MQTT_CONNACK:
        if (flags != 0 || length != 2) return Fail("malformed CONNACK");
        break;
    case MQTT_PUBACK:
        if (flags != 0 || length != 2) return Fail("malformed PUBACK");
        break;
    case MQTT_PINGRESP:
        if (flags != 0 || length != 0) return Fail("malformed PINGRESP");
        break;
    case MQTT_SUBACK:
        if (flags != 0 || length < 3 || length > MQTT_MAX_REPLY) return Fail("malformed SUBACK");
        break;
    case MQTT_PUBLISH:
        // We subscribe to nothing; a broker sending one anyway is tolerated
        // (and skipped) as long as it is of a sane size.
        if (length > MQTT_MAX_REPLY) return Fail("PUBLISH from the broker too long");
        break;
    default:
        return Fail("unexpected packet type " + std::to_string(type) + " from the broker");
    }
    if (available - used < length) return NEED_MORE;
    const uint8_t* body = p + used;

    reply = MqttReply();
    reply.type = static_cast<MqttPacketType>(type);
    reply.flags = flags;
    if (type == MQTT_CONNACK) {
        if (body[0] & 0xFE) return Fail("malformed CONNACK flags");
        reply.sessionPresent = (body[0] & 1) != 0;
        reply.returnCode = body[1];
    } else if (type == MQTT_PUBACK || type == MQTT_SUBACK) {
        reply.packetId = static_cast<uint16_t>(body[0] << 8 | body[1]);
        if (reply.packetId == 0) return Fail("packet identifier 0");
    }
    start_ += used + length;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return REPLY;
}
