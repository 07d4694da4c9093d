// The capture ring with a producer and a consumer thread at once, as the
// receiver and the window run: entries of any length wrap the buffer's end
// and arrive whole and in order, and every refused byte is in a gap entry
// just where it was refused.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "recording/capture.h"

TEST(CaptureRing, ProducerAndConsumerThreadsKeepOrderAndCountEveryRefusedByte) {
    CaptureRing ring;
    CaptureRingInit(ring, 4096);
    constexpr uint32_t ENTRIES = 60000;
    // Refused bytes since the last entry that went in, per entry number.
    std::vector<uint64_t> refusedBefore(ENTRIES + 1, 0);
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::mt19937 rng(9);
        uint64_t refused = 0;
        std::vector<uint8_t> bytes(700);
        for (uint32_t n = 0; n < ENTRIES; ++n) {
            const size_t length = 4 + rng() % 690;
            for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(n + i);
            std::memcpy(bytes.data(), &n, 4);
            if (CapturePush(ring, n, CAPTURE_BYTES, n, bytes.data(), length)) {
                refusedBefore[n] = refused;
                refused = 0;
            } else {
                refused += length;
                refusedBefore[n] = UINT64_MAX;  // never arrives
            }
            if (n % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        refusedBefore[ENTRIES] = refused;
        done.store(true);
    });

    std::unique_ptr<uint8_t[]> scratch(new uint8_t[CAPTURE_MAX_BYTES]);
    std::vector<std::pair<uint32_t, uint64_t>> arrived;  // entry number, gap count just before it
    uint64_t gap = 0, gapped = 0;
    bool bad = false;
    CaptureEntry e;
    for (;;) {
        const bool finished = done.load();
        while (CapturePop(ring, e, scratch.get())) {
            if (e.kind == CAPTURE_GAP) {
                gap = e.code;
                gapped += e.code;
                continue;
            }
            uint32_t n = 0;
            std::memcpy(&n, e.bytes, 4);
            for (size_t i = 4; i < e.length; ++i) bad |= e.bytes[i] != static_cast<uint8_t>(n + i);
            bad |= e.code != n || e.timeUs != n;
            arrived.push_back({n, gap});
            gap = 0;
            // A window that falls behind now and then: the ring fills.
            if (arrived.size() % 2000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        if (finished) break;
    }
    producer.join();
    EXPECT_FALSE(bad) << "an entry's bytes or fields came out damaged";
    // How many arrive depends on how the two threads were scheduled (under
    // Wine a few dozen); the order and gap checks below hold for any number.
    ASSERT_GT(arrived.size(), 0u);
    size_t refusedEntries = 0;
    for (size_t i = 0; i < arrived.size(); ++i) {
        if (i) {
            ASSERT_LT(arrived[i - 1].first, arrived[i].first);
        }
        ASSERT_EQ(arrived[i].second, refusedBefore[arrived[i].first]) << "entry " << arrived[i].first;
    }
    for (uint32_t n = 0; n < ENTRIES; ++n) refusedEntries += refusedBefore[n] == UINT64_MAX;
    EXPECT_EQ(arrived.size() + refusedEntries, ENTRIES);
    EXPECT_GT(refusedEntries, 0u) << "the ring never filled: the gap path was not tried";
    EXPECT_EQ(gapped + refusedBefore[ENTRIES], ring.lostBytes.load());
}
