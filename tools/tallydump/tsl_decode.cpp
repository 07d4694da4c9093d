// tallydump --tsl-decode: see tsl_decode.h.
#include "tools/tallydump/tsl_decode.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "tsl/tsl_capture.h"
#include "tsl/tsl_codec.h"

namespace {

std::string Seconds(int64_t us) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld.%06lld", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    return buf;
}

}  // namespace

int TslDecodeFile(const std::string& path, std::ostream& out, std::ostream& err) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err << "tallydump: cannot open " << path << "\n";
        return 2;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t packets = 0, malformed = 0;
    if (TslIsPcap(bytes.data(), bytes.size())) {
        TslCaptureResult capture;
        if (!TslReadPcapUdp(bytes.data(), bytes.size(), capture)) {
            err << "tallydump: " << path << ": " << capture.problem << "\n";
            return 2;
        }
        const int64_t start = capture.datagrams.empty() ? 0 : capture.datagrams[0].timeUs;
        for (const TslDatagram& d : capture.datagrams) {
            std::vector<TslPacket> decoded;
            TslDecodeDatagram(d.payload.data(), d.payload.size(), decoded);
            for (const TslPacket& p : decoded) {
                out << Seconds(d.timeUs - start) << " " << d.from << " > " << d.to << " " << TslDescribe(p) << "\n";
                ++packets;
                if (!p.problem.empty()) ++malformed;
            }
        }
        err << "tallydump: " << packets << " TSL packets (" << malformed << " malformed) in "
            << capture.datagrams.size() << " UDP datagrams of " << capture.records << " records, "
            << capture.skipped << " records not UDP";
        if (!capture.problem.empty()) err << "; " << capture.problem;
        err << "\n";
        return 0;
    }
    TslStreamDecoder decoder;
    std::vector<TslPacket> decoded;
    decoder.Feed(bytes.data(), bytes.size(), decoded);
    decoder.Finish(decoded);
    for (const TslPacket& p : decoded) out << TslDescribe(p) << "\n";
    const TslStreamStats& s = decoder.Stats();
    const char* mode = decoder.Mode() == TSL_STREAM_DLE   ? "DLE/STX 5.0"
                       : decoder.Mode() == TSL_STREAM_31  ? "3.1"
                       : decoder.Mode() == TSL_STREAM_AUTO ? "empty"
                                                           : "plain 5.0";
    err << "tallydump: " << s.packets << " TSL packets (" << s.malformed << " malformed), " << s.strayBytes
        << " stray bytes, read as a " << mode << " stream\n";
    return 0;
}
