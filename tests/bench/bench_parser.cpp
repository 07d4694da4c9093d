// Frame parser throughput on three kinds of traffic, fed in 6000-byte blocks
// as the receiver reads them: clean messages, nothing but stray bytes, and
// alternating mismatched headers (every byte a framing error).
//
//   bench_parser [benchmark options]      Google Benchmark figures
//   bench_parser --cost STREAM BYTES      feed BYTES of one stream once and
//                                         exit, for instruction counting
//                                         (STREAM: clean, stray, mismatch)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "tally/parser.h"
#include "tally/store.h"

namespace {

std::vector<uint8_t> CleanStream(size_t size) {
    // A realistic mix: every ME, EXT, SS and OUT type in turn, payloads with
    // the alternating low/high bytes the switcher sends, a name now and then.
    std::vector<uint8_t> out;
    const uint8_t types[] = {0x81, 0x82, 0x83, 0x84, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
                             0x98, 0xA1, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xC1};
    unsigned n = 0;
    while (out.size() < size) {
        const uint8_t t = types[n % sizeof types];
        out.push_back(t);
        out.push_back(t);
        for (int i = 0; i < payloadLength(t); ++i)
            out.push_back(i == 0 ? static_cast<uint8_t>(1 + n % 100)
                                 : static_cast<uint8_t>(i % 2 ? 0x81 + (n + i) % 0x7F : (n + i) % 0x80));
        ++n;
    }
    out.resize(size);
    return out;
}

std::vector<uint8_t> StrayStream(size_t size) {
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i % 0x81);
    return out;
}

std::vector<uint8_t> MismatchStream(size_t size) {
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i) out[i] = i % 2 ? 0x92 : 0x81;
    return out;
}

std::vector<uint8_t> MakeStream(const char* name, size_t size) {
    if (std::strcmp(name, "clean") == 0) return CleanStream(size);
    if (std::strcmp(name, "stray") == 0) return StrayStream(size);
    if (std::strcmp(name, "mismatch") == 0) return MismatchStream(size);
    return {};
}

void FeedAll(FrameParser& parser, const std::vector<uint8_t>& stream) {
    for (size_t at = 0; at < stream.size(); at += READ_BUFFER_SIZE) {
        const size_t n = stream.size() - at < READ_BUFFER_SIZE ? stream.size() - at : READ_BUFFER_SIZE;
        FrameParserFeed(parser, stream.data() + at, n);
    }
}

void BM_Parser(benchmark::State& state, const char* name) {
    const std::vector<uint8_t> stream = MakeStream(name, 600000);
    auto store = std::make_unique<TallyStore>();
    auto parser = std::make_unique<FrameParser>();
    TallyStoreInit(*store);
    FrameParserInit(*parser, store.get());
    for (auto _ : state) {
        FeedAll(*parser, stream);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
    // How many 256000-baud links (25,600 bytes/s) one core could keep up with.
    state.counters["links"] = benchmark::Counter(static_cast<double>(stream.size()) / 25600.0,
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(BM_Parser, clean, "clean");
BENCHMARK_CAPTURE(BM_Parser, stray, "stray");
BENCHMARK_CAPTURE(BM_Parser, mismatch, "mismatch");

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--cost") == 0) {
        if (argc != 4) {
            std::fprintf(stderr, "usage: bench_parser --cost clean|stray|mismatch BYTES\n");
            return 2;
        }
        const std::vector<uint8_t> stream = MakeStream(argv[2], std::strtoul(argv[3], nullptr, 10));
        if (stream.empty()) {
            std::fprintf(stderr, "bench_parser: unknown stream '%s'\n", argv[2]);
            return 2;
        }
        auto store = std::make_unique<TallyStore>();
        auto parser = std::make_unique<FrameParser>();
        TallyStoreInit(*store);
        FrameParserInit(*parser, store.get());
        FeedAll(*parser, stream);
        TallyCounterValues c;
        TallyReadCounters(*store, c);
        std::printf("%s: %zu bytes fed, %u stray, %u mismatch, %u ssCount\n", argv[2], stream.size(),
                    c.strayByteCount, c.headerMismatchCount, c.ssCount);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
