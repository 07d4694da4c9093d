// tallydump --as-run (see asrun.h).
#include "tools/tallydump/asrun.h"

#include <cstring>
#include <memory>
#include <ostream>
#include <vector>

#include "history/event.h"
#include "history/source.h"
#include "recording/recording.h"
#include "tally/store.h"
#include "timeline/timeline.h"
#include "tools/common/interrupt.h"

namespace {

// The event source, its ring and the index, as the application chains them.
struct AsRunChain {
    std::unique_ptr<TallyStore> store{new TallyStore};
    std::unique_ptr<HistoryRing> ring{new HistoryRing};
    std::unique_ptr<EventSource> source{new EventSource};
    std::unique_ptr<TimelineIndex> index{new TimelineIndex};
    std::vector<HistoryEvent> drained = std::vector<HistoryEvent>(4096);

    AsRunChain() {
        TallyStoreInit(*store);
        HistoryRingInit(*ring);
        EventSourceInit(*source, store.get(), ring.get());
        TimelineInit(*index);
    }
    void Drain() {
        size_t n;
        while ((n = HistoryRingPop(*ring, drained.data(), drained.size())) > 0)
            for (size_t i = 0; i < n; ++i) TimelineIngest(*index, drained[i]);
    }
    // Feeds in parts small enough that the ring never fills between drains.
    void Feed(const uint8_t* bytes, size_t count, int64_t timeMs) {
        for (size_t at = 0; at < count; at += READ_BUFFER_SIZE) {
            EventSourceFeed(*source, bytes + at, count - at < size_t(READ_BUFFER_SIZE) ? count - at : READ_BUFFER_SIZE,
                            timeMs);
            Drain();
        }
    }
    void Note(HistoryEventKind kind, uint32_t code, int64_t timeMs) {
        EventSourceNote(*source, kind, code, timeMs);
        Drain();
    }
};

uint32_t Little32(const RecordingRecord& r) {
    return r.length < 4 ? 0
                        : uint32_t(r.bytes[0]) | uint32_t(r.bytes[1]) << 8 | uint32_t(r.bytes[2]) << 16 |
                              uint32_t(r.bytes[3]) << 24;
}

// A record does what it did live (as a replay in the application plays it).
void Play(AsRunChain& chain, const RecordingRecord& record) {
    const int64_t t = static_cast<int64_t>(record.timeUs / 1000);
    switch (record.kind) {
    case RECORD_CONNECT:
        EventSourceInit(*chain.source, chain.store.get(), chain.ring.get());
        chain.Note(EVENT_CONNECT, 0, t);
        return;
    case RECORD_DISCONNECT:
        EventSourceFinish(*chain.source, t);
        chain.Note(EVENT_DISCONNECT, 0, t);
        return;
    case RECORD_LINE_ERROR: chain.Note(EVENT_LINE_ERROR, Little32(record), t); return;
    case RECORD_PORT_ERROR: chain.Note(EVENT_PORT_ERROR, Little32(record), t); return;
    case RECORD_DROPPED: return;  // never reached the parser
    default: break;
    }
    if (RecordCarriesStream(record.kind)) chain.Feed(record.bytes, record.length, t);
}

void Write(const AsRunChain& chain, const AsRunToolOptions& options, const AsRunClock& clock, std::ostream& out) {
    if (options.edlMe) out << AsRunEdl(*chain.index, options.edlMe - 1, options.fps, clock);
    else out << AsRunCsv(*chain.index, clock);
    out.flush();
}

}  // namespace

int64_t AsRunCaptureMs(uint64_t bytesEnded, long baud) {
    return baud > 0 ? static_cast<int64_t>(bytesEnded * 10000 / static_cast<uint64_t>(baud)) : 0;
}

int DumpAsRun(FILE* in, const std::string& inputName, const AsRunToolOptions& options, std::ostream& out,
              std::ostream& err) {
    AsRunChain chain;
    uint8_t prefix[PCAP_FILE_HEADER_SIZE];
    size_t have = 0;
    while (have < sizeof prefix) {
        const size_t got = std::fread(prefix + have, 1, sizeof prefix - have, in);
        if (got == 0) break;
        have += got;
    }
    if (std::ferror(in)) {
        err << "tallydump: " << inputName << ": read failed\n";
        return 2;
    }

    if (RecordingHasMagic(prefix, have)) {
        std::unique_ptr<RecordingReader> reader(new RecordingReader);
        if (!RecordingBegin(*reader, in, prefix, have)) {
            err << "tallydump: " << inputName << ": " << reader->error << "\n";
            return 2;
        }
        RecordingRecord record;
        RecordingReadResult result;
        while (!InterruptSignal() && (result = RecordingNext(*reader, record)) == RECORDING_RECORD) Play(chain, record);
        if (!InterruptSignal() && result == RECORDING_BAD) {
            err << "tallydump: " << inputName << ": " << reader->error << "\n";
            return 2;
        }
        if (result == RECORDING_TRUNCATED)
            err << "tallydump: warning: " << inputName << ": " << reader->error
                << "; decoded up to the last whole record\n";
        Write(chain, options, AsRunClock{}, out);
        return InterruptSignal() ? 128 + InterruptSignal() : 0;
    }

    // A raw capture: in parts of about a millisecond of line time, each
    // stamped with the time its last byte ended.
    const size_t part = options.baud >= 20000 ? static_cast<size_t>(options.baud / 10000) : 1;
    std::vector<uint8_t> block(65536);
    std::memcpy(block.data(), prefix, have);
    size_t filled = have;
    uint64_t offset = 0;
    for (;;) {
        if (filled < block.size() && !std::feof(in) && !std::ferror(in) && !InterruptSignal())
            filled += std::fread(block.data() + filled, 1, block.size() - filled, in);
        if (filled == 0) break;
        for (size_t at = 0; at < filled; at += part) {
            const size_t n = filled - at < part ? filled - at : part;
            offset += n;
            chain.Feed(block.data() + at, n, AsRunCaptureMs(offset, options.baud));
        }
        filled = 0;
    }
    if (std::ferror(in)) {
        err << "tallydump: " << inputName << ": read failed\n";
        return 2;
    }
    EventSourceFinish(*chain.source, AsRunCaptureMs(offset, options.baud));
    chain.Drain();
    AsRunClock clock;
    clock.mode = AsRunClock::ELAPSED;
    clock.baud = options.baud;
    Write(chain, options, clock, out);
    return InterruptSignal() ? 128 + InterruptSignal() : 0;
}
