// The process-wide tally store, its initial contents and the few operations
// through which the frame parser writes it and the displays read it.
//
// Records and source names are copied in and out under recordLock, a spin lock
// held only for the copy of one record (at most 34 bytes), so a reader never
// sees half of one message and half of another. Dirty flags, changed flags and
// counters are atomics; the receiver is their only incrementing writer, so a
// counter update is a relaxed load and store rather than a locked add.
#include "tally/store.h"

#include <cstring>
#include <thread>

namespace {

constexpr MeTally ME_INITIAL[ME_RECORDS] = {
    {{0x81, 0x81},
     {0x01, 0x55, 0x02, 0xAA, 0x03, 0x55, 0x04, 0xAA, 0x05, 0xA5, 0x06, 0x5A,
      0x07, 0x5A, 0x08, 0xA5, 0x09, 0xAA, 0x0A, 0x55, 0x0B, 0xAA, 0x0C},
     {}},
    {{0x82, 0x82}, {}, {}},
    {{0x83, 0x83}, {}, {}},
    {{0x84, 0x84}, {}, {}},
};

constexpr ExtTally EXT_INITIAL[EXT_RECORDS] = {
    {{0x91, 0x91},
     {0x55, 0x01, 0xAA, 0x02, 0x5A, 0x03, 0xA5, 0x04, 0xF0, 0x05, 0x0F,
      0x06, 0x0C, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E},
     {}},
    {{0x92, 0x92}, {}, {}},
    {{0x93, 0x93}, {0x01}, {}},
    {{0x94, 0x94}, {0x02}, {}},
    {{0x95, 0x95}, {0x03}, {}},
    {{0x96, 0x96}, {0x04}, {}},
    {{0x97, 0x97}, {0x05}, {}},
    {{0x98, 0x98}, {0x06}, {}},
};

constexpr StillStoreTally SS_INITIAL = {{0xA1, 0xA1}, {0x12, 0x25, 0x5A}, {}};

constexpr OutputTally OUT_INITIAL[OUT_RECORDS] = {
    {{0xB1, 0xB1}, {0x01, 0x01, 0x02, 0x21, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
    {{0xB2, 0xB2}, {0x09, 0x02, 0x0A, 0x43, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}},
    {{0xB3, 0xB3}, {0x11, 0x03, 0x12, 0x65, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}},
    {{0xB4, 0xB4}, {0x19, 0x04, 0x1A, 0x87, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20}},
    {{0xB5, 0xB5}, {0x21, 0x05, 0x22, 0xA9, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28}},
    {{0xB6, 0xB6}, {0x29, 0x06, 0x2A, 0xCB, 0x2B, 0x2C, 0x2D, 0x2E, 0x00, 0x00}},
};

// Offset and size of the plain bytes of a source-name entry (everything after
// the changed flag: name, nickname, alias and their terminators).
constexpr size_t NAME_TEXT_OFFSET = offsetof(SourceNameEntry, name);
constexpr size_t NAME_TEXT_SIZE = sizeof(SourceNameEntry) - NAME_TEXT_OFFSET;
static_assert(offsetof(SourceNameEntry, nickname) == 14, "SourceNameEntry layout");
static_assert(offsetof(SourceNameEntry, alias) == 21, "SourceNameEntry layout");

struct RecordLock {
    explicit RecordLock(TallyStore& s) : store(s) {
        // Held for a copy of a few dozen bytes; yield rather than burn the
        // other thread's time slice if its holder was preempted.
        while (store.recordLock.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    ~RecordLock() { store.recordLock.clear(std::memory_order_release); }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;
    TallyStore& store;
};

// An atomic add, not a load and a store: "Reset Counters" zeroes the counters
// from the window's thread while the receiver counts, and a reset must not
// be overwritten by a count that read the old value.
inline void Bump(std::atomic<uint32_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

template <typename Record>
void ReadRecord(TallyStore& store, const Record& record, Record& out) {
    RecordLock lock(store);
    std::memcpy(&out, &record, sizeof(Record));
}

template <typename Record, size_t N>
void WriteData(TallyStore& store, Record& record, const uint8_t* payload, uint8_t (&)[N]) {
    RecordLock lock(store);
    std::memcpy(record.data, payload, N);  // header bytes are never rewritten
}

void CopyNameValues(const SourceNameEntry& entry, SourceNameValues& out) {
    std::memcpy(out.name, entry.name, NAME_LENGTH);
    out.name[NAME_LENGTH] = 0;
    std::memcpy(out.nickname, entry.nickname, NICKNAME_LENGTH);
    out.nickname[NICKNAME_LENGTH] = 0;
    std::memcpy(out.alias, entry.alias, NAME_LENGTH);
    out.alias[NAME_LENGTH] = 0;
}

}  // namespace

// Constant-initialised, so the initial contents are in place before any code runs.
TallyStore tallyStore = {
    1, 1, 1, 1, 1,
    {ME_INITIAL[0], ME_INITIAL[1], ME_INITIAL[2], ME_INITIAL[3]},
    {EXT_INITIAL[0], EXT_INITIAL[1], EXT_INITIAL[2], EXT_INITIAL[3], EXT_INITIAL[4],
     EXT_INITIAL[5], EXT_INITIAL[6], EXT_INITIAL[7]},
    SS_INITIAL,
    {OUT_INITIAL[0], OUT_INITIAL[1], OUT_INITIAL[2], OUT_INITIAL[3], OUT_INITIAL[4],
     OUT_INITIAL[5]},
    {},
    {},
    ATOMIC_FLAG_INIT,
};

void TallyStoreInit(TallyStore& store) {
    store.recordLock.clear();
    std::memcpy(store.meTally, ME_INITIAL, sizeof ME_INITIAL);
    std::memcpy(store.extTally, EXT_INITIAL, sizeof EXT_INITIAL);
    std::memcpy(&store.ssTally, &SS_INITIAL, sizeof SS_INITIAL);
    std::memcpy(store.outTally, OUT_INITIAL, sizeof OUT_INITIAL);
    for (SourceNameEntry& entry : store.sourceNames) {
        entry.changed.store(0);
        std::memset(entry.name, 0, NAME_TEXT_SIZE);
    }
    TallyResetCounters(store);
    store.meDirty.store(1);
    store.extDirty.store(1);
    store.ssDirty.store(1);
    store.outDirty.store(1);
    store.namesDirty.store(1);
}

// --- Readers ----------------------------------------------------------------

void TallyReadMe(TallyStore& store, int index, MeTally& out) {
    ReadRecord(store, store.meTally[index], out);
}
void TallyReadExt(TallyStore& store, int index, ExtTally& out) {
    ReadRecord(store, store.extTally[index], out);
}
void TallyReadSs(TallyStore& store, StillStoreTally& out) { ReadRecord(store, store.ssTally, out); }
void TallyReadOut(TallyStore& store, int index, OutputTally& out) {
    ReadRecord(store, store.outTally[index], out);
}

void TallyReadName(TallyStore& store, int source, SourceNameValues& out) {
    const SourceNameEntry& entry = store.sourceNames[source];
    RecordLock lock(store);
    out.changed = entry.changed.load();
    CopyNameValues(entry, out);
}

int TallyTakeName(TallyStore& store, int source, SourceNameValues& out) {
    SourceNameEntry& entry = store.sourceNames[source];
    RecordLock lock(store);
    out.changed = entry.changed.exchange(0);
    CopyNameValues(entry, out);
    return out.changed;
}

void TallyReadCounters(const TallyStore& store, TallyCounterValues& out) {
    const TallyCounters& c = store.counters;
    out.strayByteCount = c.strayByteCount.load(std::memory_order_relaxed);
    out.unknownTypeCount = c.unknownTypeCount.load(std::memory_order_relaxed);
    out.headerMismatchCount = c.headerMismatchCount.load(std::memory_order_relaxed);
    out.headerLowByteCount = c.headerLowByteCount.load(std::memory_order_relaxed);
    out.payloadErrorCount = c.payloadErrorCount.load(std::memory_order_relaxed);
    for (int i = 0; i < ME_RECORDS; ++i) out.meCount[i] = c.meCount[i].load(std::memory_order_relaxed);
    for (int i = 0; i < EXT_RECORDS; ++i) out.extCount[i] = c.extCount[i].load(std::memory_order_relaxed);
    out.ssCount = c.ssCount.load(std::memory_order_relaxed);
    for (int i = 0; i < OUT_RECORDS; ++i) out.outCount[i] = c.outCount[i].load(std::memory_order_relaxed);
}

void TallySnapshot(TallyStore& store, TallySnapshotValues& out) {
    out.meDirty = store.meDirty.load();
    out.extDirty = store.extDirty.load();
    out.ssDirty = store.ssDirty.load();
    out.outDirty = store.outDirty.load();
    out.namesDirty = store.namesDirty.load();
    {
        RecordLock lock(store);
        std::memcpy(out.meTally, store.meTally, sizeof out.meTally);
        std::memcpy(out.extTally, store.extTally, sizeof out.extTally);
        std::memcpy(&out.ssTally, &store.ssTally, sizeof out.ssTally);
        std::memcpy(out.outTally, store.outTally, sizeof out.outTally);
        for (int s = 0; s <= SOURCE_COUNT; ++s) {
            out.sourceNames[s][0] = store.sourceNames[s].changed.load();
            std::memcpy(&out.sourceNames[s][NAME_TEXT_OFFSET], store.sourceNames[s].name, NAME_TEXT_SIZE);
        }
    }
    TallyReadCounters(store, out.counters);
}

// --- Writer -----------------------------------------------------------------
// Each store is: copy, then dirty flag, then counter, so a reader that has
// consumed the flag and then reads the record sees this message or a later one.

void TallyStoreMe(TallyStore& store, int index, const uint8_t* payload) {
    WriteData(store, store.meTally[index], payload, store.meTally[index].data);
    store.meDirty.store(1, std::memory_order_release);
    Bump(store.counters.meCount[index]);
}

void TallyStoreExt(TallyStore& store, int index, const uint8_t* payload) {
    WriteData(store, store.extTally[index], payload, store.extTally[index].data);
    store.extDirty.store(1, std::memory_order_release);
    Bump(store.counters.extCount[index]);
}

void TallyStoreSs(TallyStore& store, const uint8_t* payload) {
    WriteData(store, store.ssTally, payload, store.ssTally.data);
    store.ssDirty.store(1, std::memory_order_release);
    Bump(store.counters.ssCount);
}

void TallyStoreOut(TallyStore& store, int index, const uint8_t* payload) {
    WriteData(store, store.outTally[index], payload, store.outTally[index].data);
    store.outDirty.store(1, std::memory_order_release);
    Bump(store.counters.outCount[index]);
}

int TallyStoreName(TallyStore& store, uint8_t type, const uint8_t* payload) {
    const int source = payload[0];
    if (source < 1 || source > SOURCE_COUNT) return 0;  // slot 0 and unknown sources are never written
    SourceNameEntry& entry = store.sourceNames[source];
    {
        RecordLock lock(store);
        if (type == MSG_SOURCE_NAME) {
            std::memcpy(entry.name, payload + 1, NAME_LENGTH);
            entry.nameEnd = 0;
            std::memcpy(entry.nickname, payload + 1 + NAME_LENGTH, NICKNAME_LENGTH);
            entry.nicknameEnd = 0;
            entry.alias[0] = 0;  // a new name clears the alias
        } else {
            std::memcpy(entry.alias, payload + 1, NAME_LENGTH);
            std::memcpy(entry.nickname, payload + 1 + NAME_LENGTH, NICKNAME_LENGTH);
        }
        entry.changed.store(1, std::memory_order_release);
    }
    store.namesDirty.store(1, std::memory_order_release);
    return 1;
}

void TallyResetCounters(TallyStore& store) {
    TallyCounters& c = store.counters;
    c.strayByteCount.store(0, std::memory_order_relaxed);
    c.unknownTypeCount.store(0, std::memory_order_relaxed);
    c.headerMismatchCount.store(0, std::memory_order_relaxed);
    c.headerLowByteCount.store(0, std::memory_order_relaxed);
    c.payloadErrorCount.store(0, std::memory_order_relaxed);
    for (auto& n : c.meCount) n.store(0, std::memory_order_relaxed);
    for (auto& n : c.extCount) n.store(0, std::memory_order_relaxed);
    c.ssCount.store(0, std::memory_order_relaxed);
    for (auto& n : c.outCount) n.store(0, std::memory_order_relaxed);
}
