// libFuzzer target for the decoder of broker replies and the session that
// reads them. The first byte seeds the block sizes; the rest is what a
// broker (or anything else listening on the port) sends. Checked:
//   - the decoder never holds more than one reply's worth plus one block;
//   - a failure is final, and every reply it gives is of a type and shape a
//     broker may send;
//   - the session, fed the same bytes, closes (returns false) exactly when the
//     decoder fails or the reply makes no sense at that point, and never
//     leaves the link half open.
#include <cstdint>
#include <cstdlib>

#include "mqtt/codec.h"
#include "mqtt/session.h"

namespace {
void Check(bool ok) {
    if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    MqttDecoder decoder;
    MqttSessionConfig config;
    config.prefix = "qorvex/FUZZ";
    MqttSession session(config);
    MqttBytes out;
    session.LinkUp(0, out);
    session.SetRetained("qorvex/FUZZ/tally/1", "x", 1);
    session.AddEvent("qorvex/FUZZ/alarm", "y", 1);
    bool sessionOpen = true;
    bool failed = false;

    uint32_t seed = data[0] * 2654435761u + 1;
    const uint8_t* stream = data + 1;
    size_t left = size - 1;
    int64_t now = 0;
    while (left > 0) {
        seed = seed * 1103515245u + 12345u;
        const size_t want = 1 + (seed >> 16) % 300;
        const size_t n = want < left ? want : left;
        decoder.Feed(stream, n);
        Check(decoder.Buffered() <= MQTT_MAX_REPLY + 5 + n);
        MqttReply reply;
        for (;;) {
            const MqttDecoder::Result r = decoder.Next(reply);
            if (r == MqttDecoder::NEED_MORE) break;
            if (r == MqttDecoder::FAILED) {
                failed = true;
                Check(!decoder.error().empty());
                break;
            }
            Check(!failed);
            Check(reply.type == MQTT_CONNACK || reply.type == MQTT_PUBACK || reply.type == MQTT_PINGRESP ||
                  reply.type == MQTT_SUBACK || reply.type == MQTT_PUBLISH);
            if (reply.type == MQTT_PUBACK) Check(reply.packetId != 0);
        }
        if (failed) Check(decoder.Next(reply) == MqttDecoder::FAILED);
        if (sessionOpen) {
            sessionOpen = session.Received(stream, n, now);
            if (!sessionOpen) Check(!session.error().empty());
            // Whatever the broker said, what we send stays well formed and bounded.
            out.clear();
            if (sessionOpen) sessionOpen = session.Poll(now, out);
            Check(session.InFlight() <= 32);
        }
        // A failed decoder always means a closed session.
        if (failed) Check(!sessionOpen);
        now += 100;
        stream += n;
        left -= n;
    }
    if (!sessionOpen) {
        session.LinkDown(now);
        Check(!session.Connected());
    }
    return 0;
}
