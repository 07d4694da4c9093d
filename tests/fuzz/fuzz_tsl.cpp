// libFuzzer target for the TSL stream and datagram decoders. The input's
// first byte picks the stream mode and seeds the block sizes; the rest is the
// byte stream. It goes to one decoder in one block and to another in random
// blocks; they must hand out the same packets, described the same way, and:
//   - nothing pending ever exceeds one 2048-byte packet;
//   - the counts match what was handed out;
//   - a well-formed packet is at most 2048 bytes and its messages were all read.
// The same bytes as one UDP datagram must decode without fault too.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tsl/tsl_codec.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const TslStreamMode mode = static_cast<TslStreamMode>(data[0] % 4);
    uint32_t seed = data[0] * 2654435761u + 1;
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;

    TslStreamDecoder whole(mode), split(mode);
    std::vector<TslPacket> a, b;
    whole.Feed(stream, length, a);
    whole.Finish(a);
    size_t left = length;
    const uint8_t* p = stream;
    while (left > 0) {
        seed = seed * 1103515245u + 12345u;
        const size_t want = 1 + (seed >> 16) % 64;
        const size_t n = want < left ? want : left;
        split.Feed(p, n, b);
        Check(split.Pending() <= static_cast<size_t>(TSL50_MAX_PACKET));
        p += n;
        left -= n;
    }
    split.Finish(b);
    Check(split.Pending() == 0);

    Check(a.size() == b.size());
    uint64_t malformed = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const std::string da = TslDescribe(a[i]);
        Check(da == TslDescribe(b[i]));
        if (!a[i].problem.empty()) {
            ++malformed;
            continue;
        }
        Check(a[i].size <= static_cast<size_t>(TSL50_MAX_PACKET));
        if (a[i].version == TSL_V31) Check(a[i].messages.size() == 1 && a[i].messages[0].index <= TSL31_MAX_ADDRESS);
    }
    Check(whole.Stats().packets == a.size() && split.Stats().packets == b.size());
    Check(whole.Stats().malformed == malformed && split.Stats().malformed == malformed);
    Check(whole.Stats().bytes == length);

    std::vector<TslPacket> datagram;
    const size_t n = TslDecodeDatagram(stream, length, datagram);
    Check(n == datagram.size());
    for (const TslPacket& packet : datagram) TslDescribe(packet);
    return 0;
}
