// The publisher's side of an MQTT conversation as a state machine: what to
// send when the link comes up, what each broker reply means, when to ping,
// when to give up and when to try again. No sockets and no clock of its own
// (times come in as arguments), so tests walk it through any story.
//
// What it keeps between connections:
//  - retained state, one value per topic: a newer value replaces an older one
//    that was not yet delivered, so a long outage costs one message per topic;
//  - events (alarms) in a bounded queue: one that finds it full is dropped and
//    counted, and the count goes out (retained, <prefix>/dropped) once the
//    broker is reachable;
//  - QoS 1 messages not yet acknowledged: sent again with DUP after a
//    reconnect. The session is clean on the broker's side, so this is
//    at-least-once from our own memory, which is all a tally display needs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "mqtt/codec.h"

struct MqttSessionConfig {
    std::string prefix;    // "qorvex/GALLERY2-COM3": the will goes to <prefix>/status
    std::string clientId;  // empty: the prefix's name part
    std::string user, password;
    uint16_t keepAliveSeconds = 30;
    size_t maxTopics = 1024;     // retained topics kept (tally needs at most 256 + a few)
    size_t maxEvents = 256;      // events queued or in flight
    size_t maxInFlight = 32;     // QoS 1 messages sent and not yet acknowledged
    int connAckTimeoutMs = 10000;
    int backoffMinMs = 500;
    int backoffMaxMs = 30000;
};

class MqttSession {
public:
    explicit MqttSession(const MqttSessionConfig& config);

    // ---- The caller's side: never blocks, works connected or not.
    // Sets a retained topic's value (QoS 0 or 1). Same value as the last one
    // given: nothing to send. False when the topic is new and maxTopics are kept.
    bool SetRetained(const std::string& topic, const std::string& payload, uint8_t qos);
    // Queues a non-retained message; false (and counted) when the queue is full.
    bool AddEvent(const std::string& topic, const std::string& payload, uint8_t qos);
    uint64_t DroppedEvents() const { return dropped_; }

    // ---- The link's side.
    // The TCP connection is up: out gets CONNECT (with the will). False when
    // no CONNECT can be made of the settings (error() says why).
    bool LinkUp(int64_t nowMs, MqttBytes& out);
    // Bytes from the broker. False when the link must be closed (bad reply,
    // connection refused); error() says why.
    bool Received(const uint8_t* bytes, size_t count, int64_t nowMs);
    // Appends to out what is due: publishes (within the in-flight window) and
    // pings. False when the broker has stopped answering; close the link.
    bool Poll(int64_t nowMs, MqttBytes& out);
    // The link closed (or was closed): unacknowledged QoS 1 messages go back
    // to be sent again with DUP, and the next attempt waits ReconnectDelayMs.
    void LinkDown(int64_t nowMs);
    // Ask for a clean end: publishes `offline` to <prefix>/status after
    // everything queued. Call Closing() until it is true, then send the
    // DISCONNECT it leaves in out.
    void BeginClose();
    bool Closing(MqttBytes& out);

    bool Connected() const { return state_ == CONNECTED; }
    bool WantsLink() const { return state_ == DOWN; }
    int64_t ReconnectAtMs() const { return reconnectAtMs_; }
    // Nothing waits to be sent or acknowledged.
    bool Idle() const;
    size_t InFlight() const { return inFlight_.size(); }
    size_t QueuedEvents() const { return events_.size(); }
    const std::string& error() const { return error_; }
    const std::string& StatusTopic() const { return statusTopic_; }

private:
    enum State { DOWN, CONNECTING, CONNECTED };
    struct Retained {
        std::string payload;
        uint8_t qos = 0;
        bool pending = false;   // a value not yet sent
        bool dup = false;       // the pending value was sent before and not acknowledged
        uint16_t inFlightId = 0;
    };
    struct Message {
        std::string topic, payload;
        uint8_t qos = 1;
        bool retain = false;
        bool dup = false;
    };
    bool Fail(const std::string& why);
    uint16_t NextPacketId();
    void Send(const Message& message, uint16_t id, MqttBytes& out, int64_t nowMs);

    MqttSessionConfig config_;
    std::string statusTopic_, droppedTopic_;
    State state_ = DOWN;
    MqttDecoder decoder_;
    std::map<std::string, Retained> retained_;
    std::deque<std::string> pendingOrder_;       // retained topics to send, oldest first
    std::deque<Message> events_;
    std::map<uint16_t, Message> inFlight_;
    uint16_t lastId_ = 0;
    uint64_t dropped_ = 0, droppedAnnounced_ = 0;
    int64_t connectSentMs_ = 0, lastSentMs_ = 0, pingSentMs_ = -1;
    int64_t reconnectAtMs_ = 0;
    int backoffMs_;
    bool closing_ = false, closeQueued_ = false;
    std::string error_;
};
