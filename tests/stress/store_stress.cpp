// Writer/reader stress for the tally store, built with ThreadSanitizer.
//
// A writer thread feeds the parser traffic in which every message's payload
// bytes are all one value (the value changes from message to message) while
// a reader thread, like a display, consumes dirty flags and takes copies of
// records, names and counters. A copy mixing two messages shows up as a
// record whose bytes differ; ThreadSanitizer reports any data race. Prints
// its figures; exits non-zero on a torn record or a counter going backwards.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "tally/parser.h"
#include "tally/store.h"

namespace {

// Message types with one record each, and their payload lengths.
const uint8_t TYPES[] = {0x81, 0x82, 0x83, 0x84, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96,
                         0x97, 0x98, 0xA1, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xC1};

std::vector<uint8_t> Traffic(unsigned round) {
    std::vector<uint8_t> out;
    for (unsigned i = 0; i < sizeof TYPES; ++i) {
        const uint8_t t = TYPES[i];
        const uint8_t v = static_cast<uint8_t>(1 + (round * 7 + i) % 0x7F);  // low, never 0
        out.push_back(t);
        out.push_back(t);
        if (t == MSG_SOURCE_NAME) {
            out.push_back(static_cast<uint8_t>(1 + round % SOURCE_COUNT));  // source number
            out.insert(out.end(), NAME_PAYLOAD - 1, v);
        } else {
            out.insert(out.end(), static_cast<size_t>(payloadLength(t)), v);
        }
    }
    return out;
}

bool Uniform(const uint8_t* data, size_t n) {
    for (size_t i = 1; i < n; ++i)
        if (data[i] != data[0]) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned rounds = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 20000;
    auto store = std::make_unique<TallyStore>();
    auto parser = std::make_unique<FrameParser>();
    TallyStoreInit(*store);
    FrameParserInit(*parser, store.get());
    // Replace the (non-uniform) initial records before the reader starts.
    for (unsigned r = 0; r < SOURCE_COUNT; ++r) {
        const std::vector<uint8_t> t = Traffic(r);
        FrameParserFeed(*parser, t.data(), t.size());
    }

    std::atomic<bool> done{false};
    std::atomic<long> torn{0}, backwards{0}, copies{0}, refreshes{0};

    std::thread reader([&] {
        uint32_t lastMe0 = 0;
        while (!done.load()) {
            // A display's tick: consume the flag first, then copy and draw.
            if (TallyTakeDirty(store->meDirty)) refreshes.fetch_add(1);
            for (int i = 0; i < ME_RECORDS; ++i) {
                MeTally r;
                TallyReadMe(*store, i, r);
                if (!Uniform(r.data, ME_PAYLOAD) || r.header[0] != 0x81 + i) torn.fetch_add(1);
            }
            for (int i = 0; i < EXT_RECORDS; ++i) {
                ExtTally r;
                TallyReadExt(*store, i, r);
                if (!Uniform(r.data, EXT_PAYLOAD)) torn.fetch_add(1);
            }
            StillStoreTally ss;
            TallyReadSs(*store, ss);
            if (!Uniform(ss.data, SS_PAYLOAD)) torn.fetch_add(1);
            for (int i = 0; i < OUT_RECORDS; ++i) {
                OutputTally r;
                TallyReadOut(*store, i, r);
                if (!Uniform(r.data, OUT_PAYLOAD)) torn.fetch_add(1);
            }
            for (int s = 1; s <= SOURCE_COUNT; s += 9) {
                SourceNameValues v;
                TallyTakeName(*store, s, v);
                // Name and nickname come from one message: twelve and six copies of one byte.
                if (std::strlen(v.name) != NAME_LENGTH || !Uniform(reinterpret_cast<uint8_t*>(v.name), NAME_LENGTH) ||
                    std::strlen(v.nickname) != NICKNAME_LENGTH || v.nickname[0] != v.name[0] ||
                    !Uniform(reinterpret_cast<uint8_t*>(v.nickname), NICKNAME_LENGTH))
                    torn.fetch_add(1);
            }
            TallyCounterValues c;
            TallyReadCounters(*store, c);
            if (c.meCount[0] < lastMe0) backwards.fetch_add(1);
            lastMe0 = c.meCount[0];
            copies.fetch_add(1);
        }
    });

    // Writer: the receiver's role, blocks of varying size cutting messages anywhere.
    std::vector<uint8_t> block;
    size_t fed = 0;
    for (unsigned r = 0; r < rounds; ++r) {
        const std::vector<uint8_t> t = Traffic(r);
        block.insert(block.end(), t.begin(), t.end());
        const size_t cut = 1 + (r * 37) % block.size();
        FrameParserFeed(*parser, block.data(), cut);
        fed += cut;
        block.erase(block.begin(), block.begin() + static_cast<long>(cut));
    }
    FrameParserFeed(*parser, block.data(), block.size());
    fed += block.size();
    done.store(true);
    reader.join();

    TallyCounterValues c;
    TallyReadCounters(*store, c);
    const uint32_t errors = c.strayByteCount + c.unknownTypeCount + c.headerMismatchCount + c.headerLowByteCount +
                            c.payloadErrorCount;
    std::printf("store_stress: %zu bytes fed, %u ME 1 messages, %ld reader passes, %ld refreshes, "
                "%ld torn copies, %ld counters going back, %u framing errors\n",
                fed, c.meCount[0], copies.load(), refreshes.load(), torn.load(), backwards.load(), errors);
    const bool ok = torn.load() == 0 && backwards.load() == 0 && errors == 0 &&
                    c.meCount[0] == rounds + SOURCE_COUNT && copies.load() > 0;
    return ok ? 0 : 1;
}
