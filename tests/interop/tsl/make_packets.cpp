// Writes, as one JSON object on standard output, the TSL 5.0 packets this
// program sends for a small simulated production, each with the messages it
// carries as this program's decoder reads them back and the On Air level of
// its source. check_peer.js feeds them to an independent implementation.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "onair/onair.h"
#include "tsl/tsl_codec.h"
#include "tsl/tsl_map.h"

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

void PrintCase(const char* name, const TslMapConfig& map, const std::vector<TslLamp>& lamps, bool dle, bool last) {
    std::printf("  \"%s\": [\n", name);
    const auto packets = TslMapPackets(map, TSL_V50, lamps, dle);
    for (size_t i = 0; i < packets.size(); ++i) {
        std::vector<TslPacket> back;
        TslDecodeDatagram(packets[i].data(), packets[i].size(), back);
        std::printf("    {\"hex\": \"%s\", \"unicode\": %s, \"messages\": [", Hex(packets[i]).c_str(),
                    map.unicode ? "true" : "false");
        const TslPacket& p = back.at(0);
        for (size_t m = 0; m < p.messages.size(); ++m) {
            const TslMessage& x = p.messages[m];
            const OnAirLevel level = TslMapLevelOf(map, TSL_V50, x);
            std::printf("%s{\"index\": %u, \"screen\": %u, \"rh\": %u, \"txt\": %u, \"lh\": %u, \"brightness\": %u, "
                        "\"text\": \"%s\", \"level\": %d}",
                        m ? ", " : "", x.index, p.screen, x.rh, x.txt, x.lh, x.brightness, x.text.c_str(), level);
        }
        std::printf("]}%s\n", i + 1 < packets.size() ? "," : "");
    }
    std::printf("  ]%s\n", last ? "" : ",");
}

}  // namespace

int main() {
    static MeTally me[ME_RECORDS] = {};
    static OutputTally out[OUT_RECORDS] = {};
    static OnAirInputs inputs = {};
    static OnAirTally tally;
    // ME 1: BusA 5 on PGM A, BusB 6 and Util1 8 on PVW A; ME 2: Key1 fill 7, cut 254 on LAP A,
    // BusA 6 on PGM B (6 is PGM over all MEs); source 254 puts 0xFE in an index.
    me[0].data[16] = 5;
    me[0].data[18] = 6;
    me[0].data[3] = 0x01;
    me[0].data[20] = 8;
    me[0].data[19] = 0x06;  // PVW A: BusB (6) and Util1 (8)
    me[1].data[0] = 7;
    me[1].data[2] = 254;
    me[1].data[16] = 6;
    me[1].data[11] = 0x10;
    me[1].data[5] = 0x01;
    for (int s = 1; s <= 10; ++s) std::snprintf(inputs.name[s], sizeof inputs.name[s], "CAM %d", s);
    OnAirDerive(me, out, tally);

    TslMapConfig map;
    map.screen = 3;
    map.brightness = 2;
    const std::vector<TslLamp> lamps = TslMapLamps(map, tally, inputs, TSL_V50);
    std::printf("{\n  \"lamps\": [");
    for (size_t i = 0; i < lamps.size(); ++i)
        std::printf("%s{\"index\": %u, \"source\": %d, \"level\": %d}", i ? ", " : "", lamps[i].index,
                    lamps[i].source, lamps[i].level);
    std::printf("],\n");
    TslMapConfig single = map;
    single.oneMessagePerPacket = true;
    PrintCase("single", single, lamps, false, false);
    PrintCase("single_dle", single, lamps, true, false);
    PrintCase("packed", map, lamps, false, false);
    TslMapConfig unicode = single;
    unicode.unicode = true;
    PrintCase("unicode", unicode, lamps, false, true);
    std::printf("}\n");
    return 0;
}
