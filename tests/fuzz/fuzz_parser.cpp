// libFuzzer target for the frame parser. The input's first byte seeds the
// block sizes; the rest is the byte stream. The stream goes to three parsers:
// the receiver's (no tracing), a traced one, and the literal reference
// reading of the state table. After every block they must agree, and:
//   - at most 10000 bytes are pending;
//   - every source-name entry keeps its three terminators and slot 0 stays zero;
//   - no counter decreases unless the block held a counter reset;
//   - the traced events account for every byte: discarded + pending =
//     previously pending + accepted.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tally/parser.h"
#include "tally/store.h"
#include "tests/support/reference_parser.h"

namespace {

struct Trace {
    int resets = 0;
    long consumed = 0;
};

void OnEvent(void* context, const FrameEvent& e) {
    Trace& t = *static_cast<Trace*>(context);
    if (e.kind == FRAME_RESET) ++t.resets;
    if (e.kind != FRAME_BYTES_DROPPED) t.consumed += e.consumed;
    if (e.length <= 0 || e.consumed > e.length) std::abort();
}

void Check(bool ok) {
    if (!ok) std::abort();
}

bool SameCounters(const TallyCounterValues& a, const TallyCounterValues& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool NoCounterDecreased(const TallyCounterValues& before, const TallyCounterValues& after) {
    const uint32_t* b = &before.strayByteCount;
    const uint32_t* a = &after.strayByteCount;
    for (int i = 0; i < TALLY_COUNTER_COUNT; ++i)
        if (a[i] < b[i]) return false;
    return true;
}

bool SameRecords(const TallySnapshotValues& a, const TallySnapshotValues& b) {
    return a.meDirty == b.meDirty && a.extDirty == b.extDirty && a.ssDirty == b.ssDirty &&
           a.outDirty == b.outDirty && a.namesDirty == b.namesDirty &&
           std::memcmp(a.meTally, b.meTally, sizeof a.meTally) == 0 &&
           std::memcmp(a.extTally, b.extTally, sizeof a.extTally) == 0 &&
           std::memcmp(&a.ssTally, &b.ssTally, sizeof a.ssTally) == 0 &&
           std::memcmp(a.outTally, b.outTally, sizeof a.outTally) == 0 &&
           std::memcmp(a.sourceNames, b.sourceNames, sizeof a.sourceNames) == 0 && SameCounters(a.counters, b.counters);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static TallyStore plainStore, tracedStore;
    static FrameParser plain, traced;
    static TallySnapshotValues before, now, other;
    Trace trace;
    TallyStoreInit(plainStore);
    TallyStoreInit(tracedStore);
    FrameParserInit(plain, &plainStore);
    FrameParserInit(traced, &tracedStore, OnEvent, &trace);
    auto reference = std::make_unique<ReferenceParser>(plainStore);

    uint32_t seed = data[0] * 2654435761u + 1;
    const uint8_t* stream = data + 1;
    size_t left = size - 1;
    TallySnapshot(plainStore, before);
    while (left > 0) {
        seed = seed * 1103515245u + 12345u;
        const size_t want = 1 + (seed >> 16) % 64;
        const size_t n = want < left ? want : left;
        const int pendingBefore = FrameParserPending(traced);
        const long consumedBefore = trace.consumed;
        const int resetsBefore = trace.resets;

        FrameParserFeed(plain, stream, n);
        FrameParserFeed(traced, stream, n);
        reference->Feed(stream, n);
        stream += n;
        left -= n;

        TallySnapshot(plainStore, now);
        TallySnapshot(tracedStore, other);
        Check(SameRecords(now, other));
        Check(SameRecords(now, reference->model));
        Check(FrameParserPending(plain) == reference->frameCount);
        Check(FrameParserPending(traced) == reference->frameCount);
        Check(std::memcmp(plain.frameBuffer, reference->frameBuffer, static_cast<size_t>(reference->frameCount)) == 0);
        Check(FrameParserPending(plain) >= 0 && FrameParserPending(plain) <= FRAME_BUFFER_SIZE);
        // Every byte is accounted for (nothing is dropped: blocks are small).
        Check(trace.consumed - consumedBefore + FrameParserPending(traced) == pendingBefore + static_cast<long>(n));
        for (int s = 0; s <= SOURCE_COUNT; ++s) {
            Check(now.sourceNames[s][13] == 0 && now.sourceNames[s][20] == 0 && now.sourceNames[s][33] == 0);
        }
        for (size_t i = 0; i < sizeof now.sourceNames[0]; ++i) Check(now.sourceNames[0][i] == 0);
        if (trace.resets == resetsBefore) Check(NoCounterDecreased(before.counters, now.counters));
        before = now;
    }
    return 0;
}
