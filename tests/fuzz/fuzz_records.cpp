// Writes a recording of random, mostly damaged records for fuzzing the
// dissector through tshark: messages of every type cut or stretched around
// their length, every kind with random bytes, random record headers
// (versions, flags, kinds), and records shorter than their own header.
//   fuzz_records FILE COUNT SEED
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "recording/recording.h"
#include "tally/protocol.h"

namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: fuzz_records FILE COUNT SEED\n");
        return 2;
    }
    const unsigned long count = std::strtoul(argv[2], nullptr, 10);
    std::mt19937 rng(static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
    auto below = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    static const uint8_t KINDS[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 32, 33, 34, 35};
    std::vector<uint8_t> file;
    Put32(file, PCAP_MAGIC_MICROS);
    file.insert(file.end(), {2, 0, 4, 0});
    Put32(file, 0);
    Put32(file, 0);
    Put32(file, RECORDING_SNAPLEN);
    Put32(file, RECORDING_LINKTYPE);
    for (unsigned long i = 0; i < count; ++i) {
        std::vector<uint8_t> record;
        const unsigned shape = below(10);
        if (shape == 0) {  // shorter than the record header
            for (unsigned n = below(4); n; --n) record.push_back(static_cast<uint8_t>(rng()));
        } else {
            const uint8_t kind = shape < 8 ? KINDS[below(sizeof KINDS)] : static_cast<uint8_t>(rng());
            const uint8_t type = static_cast<uint8_t>(0x80 + below(128));
            record = {static_cast<uint8_t>(shape == 9 ? below(3) : 1), kind,
                      static_cast<uint8_t>(below(8) ? below(2) : rng()), type};
            if (shape < 6) {  // a message of that type, cut or stretched
                const int payload = payloadLength(type);
                const unsigned whole = 2 + static_cast<unsigned>(payload > 0 ? payload : 0);
                const unsigned length = below(whole + 4);
                for (unsigned k = 0; k < length; ++k)
                    record.push_back(k < 2 ? type : static_cast<uint8_t>(below(4) ? below(0x81) : rng()));
            } else {
                for (unsigned n = below(48); n; --n) record.push_back(static_cast<uint8_t>(rng()));
            }
        }
        Put32(file, 1796720396u + static_cast<uint32_t>(i));
        Put32(file, below(1000000));
        Put32(file, static_cast<uint32_t>(record.size()));
        Put32(file, static_cast<uint32_t>(record.size()));
        file.insert(file.end(), record.begin(), record.end());
    }
    FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(file.data(), 1, file.size(), out) != file.size() || std::fclose(out) != 0) {
        std::fprintf(stderr, "fuzz_records: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
