// The part of MQTT 3.1.1 a publisher needs: packets we send (CONNECT,
// PUBLISH, PINGREQ, DISCONNECT) and a decoder for what a broker sends back
// (CONNACK, PUBACK, PINGRESP). Pure bytes in and out, no sockets, so the
// session and the fuzzer drive it directly.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using MqttBytes = std::vector<uint8_t>;

enum MqttPacketType : uint8_t {
    MQTT_CONNECT = 1,
    MQTT_CONNACK = 2,
    MQTT_PUBLISH = 3,
    MQTT_PUBACK = 4,
    MQTT_SUBSCRIBE = 8,
    MQTT_SUBACK = 9,
    MQTT_PINGREQ = 12,
    MQTT_PINGRESP = 13,
    MQTT_DISCONNECT = 14,
};

// The remaining-length field holds at most 268435455 in four bytes.
constexpr uint32_t MQTT_MAX_REMAINING = 268435455u;
// We never expect a broker reply longer than this: anything larger is refused
// before a byte of it is buffered.
constexpr uint32_t MQTT_MAX_REPLY = 65536;

struct MqttWill {
    std::string topic;  // empty: no will
    std::string payload;
    uint8_t qos = 1;
    bool retain = true;
};

struct MqttConnectFields {
    std::string clientId;
    uint16_t keepAliveSeconds = 30;
    bool cleanSession = true;
    MqttWill will;
    std::string user;      // empty: none
    std::string password;  // sent only with a user, as 3.1.1 requires
};

// Appends the remaining-length field; false (nothing appended) above MQTT_MAX_REMAINING.
bool MqttAppendLength(MqttBytes& out, uint32_t length);

// Each returns false (out unchanged) when a string is longer than 65535 bytes
// or the packet would exceed MQTT_MAX_REMAINING.
bool MqttEncodeConnect(const MqttConnectFields& fields, MqttBytes& out);
bool MqttEncodePublish(const std::string& topic, const std::string& payload, uint8_t qos, bool retain, bool dup,
                       uint16_t packetId, MqttBytes& out);
void MqttEncodePingReq(MqttBytes& out);
void MqttEncodeDisconnect(MqttBytes& out);
// For tests and tools that act as the other side.
void MqttEncodePubAck(uint16_t packetId, MqttBytes& out);
void MqttEncodeConnAck(bool sessionPresent, uint8_t returnCode, MqttBytes& out);

// One decoded broker reply.
struct MqttReply {
    MqttPacketType type;
    uint8_t flags = 0;          // low nibble of the first byte
    uint16_t packetId = 0;      // PUBACK (and SUBACK)
    bool sessionPresent = false;  // CONNACK
    uint8_t returnCode = 0;       // CONNACK: 0 accepted
};

// "connection refused: bad user name or password" and the like; "" for 0.
const char* MqttConnAckText(uint8_t returnCode);

// Splits the byte stream from the broker into replies. Lengths are checked
// against the packet type before anything is kept: a malformed or oversized
// packet makes the decoder fail for good (the connection must then be
// closed), with the reason in error().
class MqttDecoder {
public:
    enum Result { NEED_MORE, REPLY, FAILED };
    // Feeds bytes; then call Next() until it returns NEED_MORE or FAILED.
    void Feed(const uint8_t* bytes, size_t count);
    Result Next(MqttReply& reply);
    const std::string& error() const { return error_; }
    size_t Buffered() const { return buffer_.size() - start_; }
    void Reset();

private:
    Result Fail(const std::string& why);
    MqttBytes buffer_;
    size_t start_ = 0;
    bool failed_ = false;
    std::string error_;
};
