// The process-wide tally store: the last message of every type, the source-name
// table, a dirty flag per display category and the receive counters.
//
// One writer (the receiver thread, through the frame parser) and readers on the
// user-interface thread. Flags and counters are atomics; records are copied in
// and out under a very short spin lock so that a reader never sees half of one
// message and half of another. Portable: no platform headers.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tally/protocol.h"

struct MeTally {          // 28 bytes
    uint8_t header[2];
    uint8_t data[ME_PAYLOAD];
    uint8_t spare[3];
};
struct ExtTally {         // 24 bytes
    uint8_t header[2];
    uint8_t data[EXT_PAYLOAD];
    uint8_t spare[1];
};
struct StillStoreTally {  // 8 bytes; data[2] and spare read as one little-endian word
    uint8_t header[2];
    uint8_t data[SS_PAYLOAD];
    uint8_t spare[3];
};
struct OutputTally {      // 12 bytes
    uint8_t header[2];
    uint8_t data[OUT_PAYLOAD];
};
struct SourceNameEntry {  // 34 bytes
    std::atomic<uint8_t> changed;
    char name[NAME_LENGTH];
    char nameEnd;          // always 0
    char nickname[NICKNAME_LENGTH];
    char nicknameEnd;      // always 0
    char alias[NAME_LENGTH];
    char aliasEnd;         // always 0
};
static_assert(sizeof(MeTally) == 28, "MeTally layout");
static_assert(sizeof(ExtTally) == 24, "ExtTally layout");
static_assert(sizeof(StillStoreTally) == 8, "StillStoreTally layout");
static_assert(sizeof(OutputTally) == 12, "OutputTally layout");
static_assert(sizeof(SourceNameEntry) == 34, "SourceNameEntry layout");

constexpr int TALLY_COUNTER_COUNT = 24;

// Storage order matters: the displays list the five error counters in it.
struct TallyCounters {
    std::atomic<uint32_t> strayByteCount;
    std::atomic<uint32_t> unknownTypeCount;
    std::atomic<uint32_t> headerMismatchCount;
    std::atomic<uint32_t> headerLowByteCount;
    std::atomic<uint32_t> payloadErrorCount;
    std::atomic<uint32_t> meCount[ME_RECORDS];
    std::atomic<uint32_t> extCount[EXT_RECORDS];
    std::atomic<uint32_t> ssCount;
    std::atomic<uint32_t> outCount[OUT_RECORDS];
};

// Plain copy of the counters, same order, for readers.
struct TallyCounterValues {
    uint32_t strayByteCount;
    uint32_t unknownTypeCount;
    uint32_t headerMismatchCount;
    uint32_t headerLowByteCount;
    uint32_t payloadErrorCount;
    uint32_t meCount[ME_RECORDS];
    uint32_t extCount[EXT_RECORDS];
    uint32_t ssCount;
    uint32_t outCount[OUT_RECORDS];
};

// Stored messages of every type, and the frame parser's errors of every kind.
inline uint64_t TallyMessageCount(const TallyCounterValues& c) {
    uint64_t n = c.ssCount;
    for (uint32_t v : c.meCount) n += v;
    for (uint32_t v : c.extCount) n += v;
    for (uint32_t v : c.outCount) n += v;
    return n;
}
inline uint64_t TallyFramingErrorCount(const TallyCounterValues& c) {
    return uint64_t{c.strayByteCount} + c.unknownTypeCount + c.headerMismatchCount + c.headerLowByteCount +
           c.payloadErrorCount;
}

// Plain copy of one source-name entry (changed as read).
struct SourceNameValues {
    uint8_t changed;
    char name[NAME_LENGTH + 1];
    char nickname[NICKNAME_LENGTH + 1];
    char alias[NAME_LENGTH + 1];
};

struct TallyStore {
    std::atomic<int32_t> meDirty;
    std::atomic<int32_t> extDirty;
    std::atomic<int32_t> ssDirty;
    std::atomic<int32_t> outDirty;
    std::atomic<int32_t> namesDirty;
    MeTally meTally[ME_RECORDS];
    ExtTally extTally[EXT_RECORDS];
    StillStoreTally ssTally;
    OutputTally outTally[OUT_RECORDS];
    SourceNameEntry sourceNames[SOURCE_COUNT + 1];  // slot 0 never written
    TallyCounters counters;
    std::atomic_flag recordLock;  // guards records and names while they are copied
};

// The one store of the process, holding its initial contents from start-up.
extern TallyStore tallyStore;

// Put a store (the process one, or a fresh one for a tool or test) into the
// initial contents: every dirty flag 1, counters 0, names zero, records as shipped.
void TallyStoreInit(TallyStore& store);

// --- Reader side (user-interface thread, tools, tests) ---------------------
// Tear-free copies of records.
void TallyReadMe(TallyStore& store, int index, MeTally& out);
void TallyReadExt(TallyStore& store, int index, ExtTally& out);
void TallyReadSs(TallyStore& store, StillStoreTally& out);
void TallyReadOut(TallyStore& store, int index, OutputTally& out);
void TallyReadName(TallyStore& store, int source, SourceNameValues& out);
// Copy of one source-name entry with its changed flag consumed (exchanged to 0)
// in the same step; returns the flag's previous value.
int TallyTakeName(TallyStore& store, int source, SourceNameValues& out);
void TallyReadCounters(const TallyStore& store, TallyCounterValues& out);

// Every record and source-name entry copied under one lock, with the counters
// and dirty flags as read (flags are not consumed). For tools and tests.
struct TallySnapshotValues {
    int32_t meDirty, extDirty, ssDirty, outDirty, namesDirty;
    MeTally meTally[ME_RECORDS];
    ExtTally extTally[EXT_RECORDS];
    StillStoreTally ssTally;
    OutputTally outTally[OUT_RECORDS];
    uint8_t sourceNames[SOURCE_COUNT + 1][sizeof(SourceNameEntry)];  // whole entries, changed first
    TallyCounterValues counters;
};
void TallySnapshot(TallyStore& store, TallySnapshotValues& out);
// Consume a dirty flag: exchange it to 0 and return what it held. Call before drawing.
inline int TallyTakeDirty(std::atomic<int32_t>& flag) { return flag.exchange(0); }

// --- Writer side (frame parser only) ---------------------------------------
void TallyStoreMe(TallyStore& store, int index, const uint8_t* payload);
void TallyStoreExt(TallyStore& store, int index, const uint8_t* payload);
void TallyStoreSs(TallyStore& store, const uint8_t* payload);
void TallyStoreOut(TallyStore& store, int index, const uint8_t* payload);
// 0xC1 or 0xC2; returns 0 (and changes nothing) when the source number is not 1..128.
int TallyStoreName(TallyStore& store, uint8_t type, const uint8_t* payload);
// Also "Reset Counters" on the window's thread: the writers add atomically,
// so a reset made while they count is not undone.
void TallyResetCounters(TallyStore& store);
