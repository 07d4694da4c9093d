// The MQTT publisher without a network: the bytes of the packets we send,
// the reply decoder's length checks, the session's queue (collapse, bounded
// events, redelivery with DUP, keep-alive, backoff, clean close) and the
// topic payloads (escaping, names, tally JSON and change tracking).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mqtt/codec.h"
#include "mqtt/session.h"
#include "mqtt/topics.h"

namespace {

// A PUBLISH (or other packet) as the broker would read it from our bytes.
struct Sent {
    uint8_t type = 0, flags = 0;
    std::string topic, payload;
    uint16_t id = 0;
};

std::vector<Sent> ParseSent(const MqttBytes& bytes) {
    std::vector<Sent> packets;
    size_t i = 0;
    while (i < bytes.size()) {
        Sent s;
        s.type = bytes[i] >> 4;
        s.flags = bytes[i] & 0x0F;
        ++i;
        uint32_t length = 0;
        for (int shift = 0;; shift += 7) {
            const uint8_t digit = bytes.at(i++);
            length |= static_cast<uint32_t>(digit & 0x7F) << shift;
            if (!(digit & 0x80)) break;
        }
        const size_t end = i + length;
        EXPECT_LE(end, bytes.size());
        if (s.type == MQTT_PUBLISH) {
            const size_t topicLength = bytes[i] << 8 | bytes[i + 1];
            s.topic.assign(bytes.begin() + i + 2, bytes.begin() + i + 2 + topicLength);
            size_t at = i + 2 + topicLength;
            if ((s.flags >> 1) & 3) {
                s.id = static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
                at += 2;
            }
            s.payload.assign(bytes.begin() + at, bytes.begin() + end);
        }
        packets.push_back(s);
        i = end;
    }
    return packets;
}

MqttBytes ConnAck(uint8_t code = 0) {
    MqttBytes b;
    MqttEncodeConnAck(false, code, b);
    return b;
}

MqttBytes PubAck(uint16_t id) {
    MqttBytes b;
    MqttEncodePubAck(id, b);
    return b;
}

MqttSessionConfig Config() {
    MqttSessionConfig c;
    c.prefix = "qorvex/GALLERY2-COM3";
    c.keepAliveSeconds = 10;
    c.backoffMinMs = 500;
    c.backoffMaxMs = 4000;
    return c;
}

// Brings a session up: CONNECT out, CONNACK in. Returns what Poll sends next.
std::vector<Sent> Connect(MqttSession& s, int64_t now) {
    MqttBytes out;
    s.LinkUp(now, out);
    const MqttBytes ack = ConnAck();
    EXPECT_TRUE(s.Received(ack.data(), ack.size(), now));
    EXPECT_TRUE(s.Connected());
    out.clear();
    EXPECT_TRUE(s.Poll(now, out));
    return ParseSent(out);
}

void Ack(MqttSession& s, const std::vector<Sent>& sent) {
    for (const Sent& p : sent)
        if (p.id) {
            const MqttBytes a = PubAck(p.id);
            ASSERT_TRUE(s.Received(a.data(), a.size(), 0));
        }
}

}  // namespace

TEST(MqttCodec, PacketsWeSendAreByteExact) {
    MqttConnectFields f;
    f.clientId = "c";
    f.keepAliveSeconds = 10;
    f.will.topic = "q/s";
    f.will.payload = "offline";
    f.user = "u";
    f.password = "p";
    MqttBytes out;
    ASSERT_TRUE(MqttEncodeConnect(f, out));
    const MqttBytes connect = {0x10, 33, 0, 4, 'M', 'Q', 'T', 'T', 4,
                               0xEE,  // user, password, will retain, will QoS 1, will, clean session
                               0, 10, 0, 1, 'c', 0, 3, 'q', '/', 's', 0, 7, 'o', 'f', 'f', 'l', 'i', 'n', 'e',
                               0, 1, 'u', 0, 1, 'p'};
    EXPECT_EQ(out, connect);

    // A password without a user name is not allowed in 3.1.1: neither goes.
    f.user.clear();
    f.will.topic.clear();
    out.clear();
    ASSERT_TRUE(MqttEncodeConnect(f, out));
    EXPECT_EQ(out[9], 0x02);
    EXPECT_EQ(out.size(), 15u);

    out.clear();
    ASSERT_TRUE(MqttEncodePublish("a/b", "xy", 1, true, true, 0x1234, out));
    EXPECT_EQ(out, (MqttBytes{0x3B, 9, 0, 3, 'a', '/', 'b', 0x12, 0x34, 'x', 'y'}));
    out.clear();
    // QoS 0: no packet id and never DUP.
    ASSERT_TRUE(MqttEncodePublish("t", "", 0, false, true, 7, out));
    EXPECT_EQ(out, (MqttBytes{0x30, 3, 0, 1, 't'}));
    EXPECT_FALSE(MqttEncodePublish(std::string(65536, 't'), "", 0, false, false, 0, out));

    // Remaining length: 1 to 4 bytes, nothing above the largest.
    const std::pair<uint32_t, MqttBytes> lengths[] = {
        {0, {0x00}},           {127, {0x7F}},           {128, {0x80, 0x01}},
        {16383, {0xFF, 0x7F}}, {16384, {0x80, 0x80, 0x01}}, {MQTT_MAX_REMAINING, {0xFF, 0xFF, 0xFF, 0x7F}}};
    for (const auto& l : lengths) {
        MqttBytes b;
        EXPECT_TRUE(MqttAppendLength(b, l.first));
        EXPECT_EQ(b, l.second) << l.first;
    }
    MqttBytes none;
    EXPECT_FALSE(MqttAppendLength(none, MQTT_MAX_REMAINING + 1));
    EXPECT_TRUE(none.empty());
}

TEST(MqttCodec, DecoderTakesRepliesInAnyPiecesAndRefusesBadLengthsAtOnce) {
    MqttBytes stream;
    MqttEncodeConnAck(true, 0, stream);
    MqttEncodePubAck(0x0102, stream);
    stream.push_back(0xD0);  // PINGRESP
    stream.push_back(0x00);
    MqttDecoder d;
    std::vector<MqttReply> replies;
    for (uint8_t byte : stream) {
        d.Feed(&byte, 1);
        MqttReply r;
        while (d.Next(r) == MqttDecoder::REPLY) replies.push_back(r);
    }
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].type, MQTT_CONNACK);
    EXPECT_TRUE(replies[0].sessionPresent);
    EXPECT_EQ(replies[1].type, MQTT_PUBACK);
    EXPECT_EQ(replies[1].packetId, 0x0102);
    EXPECT_EQ(replies[2].type, MQTT_PINGRESP);
    EXPECT_EQ(d.Buffered(), 0u);

    // Each is refused from its header alone, before any body arrives.
    const MqttBytes bad[] = {
        {0x40, 0x03},                    // PUBACK of 3 bytes
        {0x20, 0x02, 0x02, 0x00},        // CONNACK with reserved flag bits
        {0x42, 0x02},                    // PUBACK with flags
        {0x30, 0xFF, 0xFF, 0xFF, 0x7F},  // a 256 MB PUBLISH announced
        {0x90, 0x80, 0x80, 0x80, 0x80},  // five length bytes
        {0x10, 0x00},                    // CONNECT is not something a broker sends
        {0x40, 0x02, 0x00, 0x00},        // PUBACK for packet id 0
    };
    for (const MqttBytes& b : bad) {
        MqttDecoder bd;
        bd.Feed(b.data(), b.size());
        MqttReply r;
        EXPECT_EQ(bd.Next(r), MqttDecoder::FAILED) << int(b[0]) << " " << int(b[1]);
        EXPECT_FALSE(bd.error().empty());
        // Failed for good: later good bytes do not revive it.
        const MqttBytes ack = PubAck(1);
        bd.Feed(ack.data(), ack.size());
        EXPECT_EQ(bd.Next(r), MqttDecoder::FAILED);
    }
}

TEST(MqttSession, RetainedStateCollapsesWhileOfflineAndStatusGoesFirst) {
    MqttSession s(Config());
    EXPECT_TRUE(s.SetRetained("qorvex/GALLERY2-COM3/tally/3", "A", 1));
    EXPECT_TRUE(s.SetRetained("qorvex/GALLERY2-COM3/link", "L1", 0));
    EXPECT_TRUE(s.SetRetained("qorvex/GALLERY2-COM3/tally/3", "B", 1));
    EXPECT_TRUE(s.SetRetained("qorvex/GALLERY2-COM3/tally/3", "C", 1));
    MqttBytes out;
    EXPECT_TRUE(s.Poll(0, out));  // nothing goes while down
    EXPECT_TRUE(out.empty());

    const std::vector<Sent> sent = Connect(s, 0);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].topic, "qorvex/GALLERY2-COM3/status");
    EXPECT_EQ(sent[0].payload, "online");
    EXPECT_EQ(sent[0].flags, 0x03);  // QoS 1, retained
    EXPECT_EQ(sent[1].topic, "qorvex/GALLERY2-COM3/tally/3");
    EXPECT_EQ(sent[1].payload, "C");
    EXPECT_EQ(sent[2].payload, "L1");
    EXPECT_EQ(sent[2].flags, 0x01);  // QoS 0, retained
    EXPECT_EQ(s.InFlight(), 2u);
    Ack(s, sent);
    EXPECT_TRUE(s.Idle());
    // The same value again is not news.
    EXPECT_TRUE(s.SetRetained("qorvex/GALLERY2-COM3/tally/3", "C", 1));
    EXPECT_TRUE(s.Idle());

    MqttSessionConfig small = Config();
    small.maxTopics = 2;
    MqttSession t(small);
    EXPECT_TRUE(t.SetRetained("a", "1", 1));
    EXPECT_TRUE(t.SetRetained("b", "1", 1));
    EXPECT_FALSE(t.SetRetained("c", "1", 1));
    EXPECT_TRUE(t.SetRetained("a", "2", 1));  // a known topic still takes new values

    MqttSessionConfig huge = Config();
    huge.user = "u";
    huge.password = std::string(65536, 'p');
    MqttSession h(huge);
    MqttBytes out2;
    EXPECT_FALSE(h.LinkUp(0, out2));
    EXPECT_TRUE(out2.empty());
    EXPECT_FALSE(h.error().empty());
}

TEST(MqttSession, UnacknowledgedMessagesAreSentAgainWithDupAfterAReconnect) {
    MqttSession s(Config());
    Ack(s, Connect(s, 0));
    ASSERT_TRUE(s.AddEvent("qorvex/GALLERY2-COM3/alarm", "{\"a\":1}", 1));
    s.SetRetained("qorvex/GALLERY2-COM3/tally/5", "T1", 1);
    s.SetRetained("qorvex/GALLERY2-COM3/tally/6", "U1", 1);
    MqttBytes out;
    ASSERT_TRUE(s.Poll(10, out));
    const std::vector<Sent> first = ParseSent(out);
    ASSERT_EQ(first.size(), 3u);
    for (const Sent& p : first) EXPECT_FALSE(p.flags & 0x08);
    // Only tally/6 is acknowledged; tally/5 gets a newer value before the link drops.
    const MqttBytes ack = PubAck(first[2].id);
    ASSERT_TRUE(s.Received(ack.data(), ack.size(), 11));
    s.SetRetained("qorvex/GALLERY2-COM3/tally/5", "T2", 1);
    s.LinkDown(20);
    EXPECT_FALSE(s.Connected());

    const std::vector<Sent> again = Connect(s, 600);
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(again[0].payload, "online");
    EXPECT_EQ(again[1].topic, "qorvex/GALLERY2-COM3/alarm");
    EXPECT_EQ(again[1].payload, "{\"a\":1}");
    EXPECT_EQ(again[1].flags, 0x0A);  // DUP, QoS 1, not retained
    // The superseded value is not resent; the newer one is new, so no DUP.
    EXPECT_EQ(again[2].payload, "T2");
    EXPECT_EQ(again[2].flags, 0x03);
    Ack(s, again);
    EXPECT_TRUE(s.Idle());
}

TEST(MqttSession, FullEventQueueDropsCountsAndReportsOnceConnected) {
    MqttSessionConfig c = Config();
    c.maxEvents = 3;
    MqttSession s(c);
    int accepted = 0;
    for (int i = 0; i < 5; ++i) accepted += s.AddEvent("qorvex/x/alarm", std::to_string(i), 1);
    EXPECT_EQ(accepted, 3);
    EXPECT_EQ(s.DroppedEvents(), 2u);
    const std::vector<Sent> sent = Connect(s, 0);
    std::vector<std::string> payloads;
    for (const Sent& p : sent) payloads.push_back(p.topic + "=" + p.payload);
    EXPECT_EQ(payloads, (std::vector<std::string>{"qorvex/GALLERY2-COM3/status=online", "qorvex/x/alarm=0",
                                                  "qorvex/x/alarm=1", "qorvex/x/alarm=2",
                                                  "qorvex/GALLERY2-COM3/dropped={\"events\":2}"}));
    // Still in flight, the three alarms hold their room.
    EXPECT_FALSE(s.AddEvent("qorvex/x/alarm", "3", 1));
    Ack(s, sent);
    EXPECT_TRUE(s.AddEvent("qorvex/x/alarm", "4", 1));
}

TEST(MqttSession, KeepAliveTimeoutsRefusalAndBackoff) {
    MqttSession s(Config());  // keep-alive 10 s
    Ack(s, Connect(s, 0));
    MqttBytes out;
    ASSERT_TRUE(s.Poll(7000, out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(s.Poll(7500, out));
    ASSERT_EQ(out, (MqttBytes{0xC0, 0x00}));
    out.clear();
    const MqttBytes pong = {0xD0, 0x00};
    ASSERT_TRUE(s.Received(pong.data(), pong.size(), 8000));
    ASSERT_TRUE(s.Poll(14999, out));  // next ping 7.5 s after the last
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(s.Poll(15000, out));
    ASSERT_EQ(out, (MqttBytes{0xC0, 0x00}));
    EXPECT_TRUE(s.Poll(25000, out));
    EXPECT_FALSE(s.Poll(25001, out));  // no PINGRESP within the keep-alive
    EXPECT_NE(s.error().find("PINGRESP"), std::string::npos);

    // Backoff doubles from 0.5 s to the 4 s cap and starts over after a CONNACK.
    int64_t now = 30000;
    std::vector<int64_t> waits;
    for (int i = 0; i < 5; ++i) {
        s.LinkDown(now);
        waits.push_back(s.ReconnectAtMs() - now);
        now = s.ReconnectAtMs();
        out.clear();
        s.LinkUp(now, out);
        if (i == 1) {
            const MqttBytes refused = ConnAck(4);
            EXPECT_FALSE(s.Received(refused.data(), refused.size(), now));
            EXPECT_EQ(s.error(), "connection refused: bad user name or password");
        } else if (i == 2) {
            EXPECT_FALSE(s.Poll(now + 10001, out));  // no CONNACK
        }
    }
    EXPECT_EQ(waits, (std::vector<int64_t>{500, 1000, 2000, 4000, 4000}));
    Connect(s, now);
    s.LinkDown(now);
    EXPECT_EQ(s.ReconnectAtMs() - now, 500);
}

TEST(MqttSession, CloseSendsOfflineLastAndDisconnectsOnlyWhenAcknowledged) {
    MqttSession s(Config());
    Ack(s, Connect(s, 0));
    s.SetRetained("qorvex/GALLERY2-COM3/tally/1", "X", 1);
    s.BeginClose();
    MqttBytes out;
    EXPECT_FALSE(s.Closing(out));
    ASSERT_TRUE(s.Poll(1, out));
    const std::vector<Sent> sent = ParseSent(out);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].payload, "X");
    EXPECT_EQ(sent[1].topic, "qorvex/GALLERY2-COM3/status");
    EXPECT_EQ(sent[1].payload, "offline");
    out.clear();
    EXPECT_FALSE(s.Closing(out));
    Ack(s, sent);
    EXPECT_TRUE(s.Closing(out));
    EXPECT_EQ(out, (MqttBytes{0xE0, 0x00}));
}

TEST(MqttTopics, JsonStringsAreEscapedAndAlwaysValidUtf8) {
    EXPECT_EQ(JsonString("CAMERA 3"), "\"CAMERA 3\"");
    EXPECT_EQ(JsonString("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(JsonString(std::string("\n\r\t\x01\x1f\x7f", 6)), "\"\\n\\r\\t\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(JsonString(std::string("\0x", 2)), "\"\\u0000x\"");
    EXPECT_EQ(JsonString("caf\xc3\xa9 \xe2\x82\xac"), "\"caf\xc3\xa9 \xe2\x82\xac\"");  // UTF-8 kept
    // A Latin-1 byte, a lone continuation, an overlong '/', a surrogate, a cut-off sequence.
    EXPECT_EQ(JsonString("\xe9\x80\xc0\xaf\xed\xa0\x80\xe2\x82"),
              "\"\\u00e9\\u0080\\u00c0\\u00af\\u00ed\\u00a0\\u0080\\u00e2\\u0082\"");

    EXPECT_EQ(MqttDefaultName("gallery2", "COM3"), "GALLERY2-COM3");
    EXPECT_EQ(MqttDefaultName("truck1.plant.example", "/dev/ttyUSB0"), "TRUCK1-TTYUSB0");
    EXPECT_EQ(MqttTopicLevel("a/b+c#d e"), "a-b-c-d-e");
    EXPECT_EQ(MqttTopicLevel(""), "-");
    EXPECT_EQ(MqttTimeText(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(MqttTimeText(1796759999123), "2026-12-08T19:59:59.123Z");
}

TEST(MqttTopics, LinkAndTallyJsonHoldEveryField) {
    MqttLinkReport r;
    r.port = "COM3";
    r.settings = "115200 8N1";
    r.state = "Silent 12 s";
    r.bytes = 10;
    r.messagesPerSecond = 12.24;
    r.framingErrors = 1;
    r.lineErrorsKnown = false;
    r.modem.known = true;
    r.modem.cts = true;
    r.totalBytes = 20;
    r.totalMessages = 3;
    r.totalFramingErrors = 4;
    r.totalLineErrors = 5;
    r.unixMs = 0;
    EXPECT_EQ(MqttLinkJson(r),
              "{\"port\":\"COM3\",\"settings\":\"115200 8N1\",\"state\":\"Silent 12 s\",\"bytes\":10,"
              "\"messagesPerSecond\":12.2,\"framingErrors\":1,\"lineErrors\":null,"
              "\"modem\":{\"cts\":true,\"dsr\":false,\"dcd\":false,\"ri\":false},"
              "\"totals\":{\"bytes\":20,\"messages\":3,\"framingErrors\":4,\"lineErrors\":5},"
              "\"time\":\"1970-01-01T00:00:00.000Z\"}");

    auto in = std::make_unique<OnAirInputs>();
    std::memset(in.get(), 0, sizeof *in);
    std::strcpy(in->name[3], "CAMERA 3    ");
    in->me[0].data[16] = 3;       // BusA of ME 1 ...
    in->me[0].data[3] = 0x01;     // ... in PGM A
    in->me[2].data[18] = 3;       // BusB of ME 3 ...
    in->me[2].data[3 + 16] = 0x02;  // ... in PVW A
    in->out[1].data[0] = 3;       // output 9 carries source 3 ...
    in->out[1].data[3] = 0x01;    // ... on air
    in->out[1].data[2] = 3;       // output 10 carries it too, off air
    MqttTallyTracker tracker;
    auto changes = tracker.Changes(*in);
    std::string three;
    for (const auto& c : changes)
        if (c.first == 3) three = c.second;
    EXPECT_EQ(three,
              "{\"source\":3,\"name\":\"CAMERA 3\",\"level\":\"PGM\",\"me\":[\"PGM\",\"off\",\"PVW\",\"off\"],"
              "\"outputs\":[9]}");
    EXPECT_TRUE(tracker.Changes(*in).empty());

    // Source 3 leaves program: only it is published again, as what it is now.
    in->me[0].data[3] = 0;
    changes = tracker.Changes(*in);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].first, 3);
    // The level is taken over the MEs only; output 9 is listed on its own.
    EXPECT_EQ(changes[0].second,
              "{\"source\":3,\"name\":\"CAMERA 3\",\"level\":\"PVW\",\"me\":[\"off\",\"off\",\"PVW\",\"off\"],"
              "\"outputs\":[9]}");
}
