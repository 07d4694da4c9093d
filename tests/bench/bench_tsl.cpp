// TSL out and in, on the portable side: the cost from a new switcher state to
// the packets ready for the socket (derive, map, schedule, encode), the
// stream decoder's throughput, and the hub comparison per update. Prints
// figures; the socket layer and Wine add their own share on top.
//
//   bench_tsl [iterations, default 20000]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "onair/onair.h"
#include "tsl/tsl_compare.h"
#include "tsl/tsl_map.h"

namespace {

using Clock = std::chrono::steady_clock;

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void Report(const char* what, std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))]; };
    std::printf("%-44s p50 %8.2f us  p99 %8.2f us  max %8.2f us  (n=%zu)\n", what, at(0.5), at(0.99), us.back(),
                us.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = std::max(100, argc > 1 ? std::atoi(argv[1]) : 20000);
    static MeTally me[ME_RECORDS];
    static OutputTally out[OUT_RECORDS];
    static OnAirInputs inputs;
    static OnAirTally tally;
    std::memset(me, 0, sizeof me);
    std::memset(out, 0, sizeof out);
    std::memset(&inputs, 0, sizeof inputs);
    for (int s = 1; s <= SOURCE_COUNT; ++s) std::snprintf(inputs.name[s], sizeof inputs.name[s], "SOURCE %d", s);
    for (int m = 0; m < ME_RECORDS; ++m)
        for (int i = 0; i < ONAIR_INPUTS; ++i) me[m].data[2 * i] = static_cast<uint8_t>(1 + m * 12 + i);

    for (TslVersion version : {TSL_V50, TSL_V31}) {
        TslMapConfig map;
        TslRefreshScheduler sched(1000);
        std::vector<double> us;
        size_t bytes = 0, packets = 0;
        for (int n = 0; n < iterations; ++n) {
            // A cut on ME (n % 4): the program row moves to the next element.
            me[n % 4].data[3] = static_cast<uint8_t>(1u << (n % 8));
            me[n % 4].data[19] = static_cast<uint8_t>(1u << ((n + 1) % 8));
            const auto t0 = Clock::now();
            OnAirDerive(me, out, tally);
            const std::vector<TslLamp> lamps = TslMapLamps(map, tally, inputs, version);
            const std::vector<TslLamp> due = sched.Due(lamps, n * 10);  // 10 ms apart: a refresh every 100
            const auto wire = TslMapPackets(map, version, due, false);
            us.push_back(Us(Clock::now() - t0));
            packets += wire.size();
            for (const auto& p : wire) bytes += p.size();
        }
        char what[80];
        std::snprintf(what, sizeof what, "%s: state change to packets (%d named)", version == TSL_V50 ? "5.0" : "3.1",
                      SOURCE_COUNT);
        Report(what, us);
        std::printf("%-44s %.1f packets, %.0f bytes per change\n", "", double(packets) / iterations,
                    double(bytes) / iterations);
    }

    // Decoder: a DLE/STX stream of full packets, fed in 1460-byte segments.
    std::vector<TslMessage> messages;
    for (int i = 0; i < 1000; ++i) {
        TslMessage m;
        m.index = static_cast<uint16_t>(i * 37);  // some indices hold 0xFE
        m.lh = m.txt = m.rh = TSL_RED;
        m.text = "SOURCE " + std::to_string(i);
        messages.push_back(m);
    }
    std::vector<uint8_t> stream;
    for (const auto& p : Tsl50Pack(Tsl50Header{}, messages)) TslDleWrap(p.data(), p.size(), stream);
    const int rounds = std::max(1, iterations / 100);
    TslStreamDecoder decoder;
    std::vector<TslPacket> decoded;
    const auto t0 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < stream.size(); i += 1460)
            decoder.Feed(stream.data() + i, std::min<size_t>(1460, stream.size() - i), decoded);
        decoded.clear();
    }
    const double seconds = Us(Clock::now() - t0) / 1e6;
    std::printf("%-44s %8.1f MB/s, %.0f DMSGs/s (%llu malformed)\n", "DLE/STX stream decoder",
                stream.size() * rounds / seconds / 1e6, 1000.0 * rounds / seconds,
                static_cast<unsigned long long>(decoder.Stats().malformed));

    // Comparison: 256 indices, the switcher and the hub each changing one per update.
    TslComparator compare;
    std::vector<TslLamp> lamps(256);
    for (int i = 0; i < 256; ++i) {
        lamps[i].index = static_cast<uint16_t>(i);
        lamps[i].source = i;
    }
    std::vector<double> us;
    std::vector<TslCompareEvent> events;
    for (int n = 0; n < iterations; ++n) {
        lamps[n % 256].level = static_cast<OnAirLevel>(n % 4);
        const auto t1 = Clock::now();
        compare.SetSwitcher(lamps, n * 10);
        compare.HubHeard(static_cast<uint16_t>(n % 256), static_cast<OnAirLevel>(n % 4), n * 10 + 5);
        compare.Poll(n * 10 + 5, events);
        us.push_back(Us(Clock::now() - t1));
        events.clear();
    }
    Report("hub comparison, 256 indices, per update", us);
    return decoder.Stats().malformed == 0 ? 0 : 1;
}
