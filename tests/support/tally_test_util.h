// Helpers shared by the tally tests: building byte streams, feeding them in
// blocks, and describing how two store snapshots differ.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tally/parser.h"
#include "tally/store.h"

using Bytes = std::vector<uint8_t>;

// "81 81 0a ..." -> bytes (whitespace ignored).
inline Bytes HexBytes(const char* text) {
    Bytes out;
    unsigned value = 0;
    int digits = 0;
    for (const char* c = text;; ++c) {
        int d = -1;
        if (*c >= '0' && *c <= '9') d = *c - '0';
        else if (*c >= 'a' && *c <= 'f') d = *c - 'a' + 10;
        else if (*c >= 'A' && *c <= 'F') d = *c - 'A' + 10;
        if (d >= 0) {
            value = value * 16 + static_cast<unsigned>(d);
            if (++digits == 2) { out.push_back(static_cast<uint8_t>(value)); value = 0; digits = 0; }
        }
        if (*c == 0) break;
    }
    return out;
}

inline std::string Hex(const uint8_t* bytes, size_t n) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        out += buf;
    }
    return out;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A complete message: the type twice and the payload.
inline Bytes Message(uint8_t type, const Bytes& payload) {
    Bytes m = {type, type};
    return m + payload;
}

// A valid payload of n low bytes starting at first (kept below 0x80).
inline Bytes LowPayload(int n, uint8_t first = 1) {
    Bytes p;
    for (int i = 0; i < n; ++i) p.push_back(static_cast<uint8_t>((first + i) & 0x7F));
    return p;
}

// A name or alias payload: source number, 12 bytes of text, 6 of nickname.
inline Bytes NamePayload(uint8_t source, const char* text12, const char* nick6) {
    Bytes p = {source};
    for (int i = 0; i < 12; ++i) p.push_back(static_cast<uint8_t>(text12[i]));
    for (int i = 0; i < 6; ++i) p.push_back(static_cast<uint8_t>(nick6[i]));
    return p;
}

inline void FeedInBlocks(FrameParser& parser, const Bytes& stream, size_t block) {
    for (size_t at = 0; at < stream.size(); at += block) {
        const size_t n = stream.size() - at < block ? stream.size() - at : block;
        FrameParserFeed(parser, stream.data() + at, n);
    }
}

// Empty string when equal; otherwise one line per differing member.
inline std::string SnapshotDiff(const TallySnapshotValues& a, const TallySnapshotValues& b) {
    std::string out;
    auto field = [&](const char* name, const void* x, const void* y, size_t n) {
        if (std::memcmp(x, y, n) != 0) {
            out += name;
            out += ": " + Hex(static_cast<const uint8_t*>(x), n) + " vs " +
                   Hex(static_cast<const uint8_t*>(y), n) + "\n";
        }
    };
    const int32_t da[5] = {a.meDirty, a.extDirty, a.ssDirty, a.outDirty, a.namesDirty};
    const int32_t db[5] = {b.meDirty, b.extDirty, b.ssDirty, b.outDirty, b.namesDirty};
    field("dirty", da, db, sizeof da);
    for (int i = 0; i < ME_RECORDS; ++i) field("meTally", &a.meTally[i], &b.meTally[i], sizeof(MeTally));
    for (int i = 0; i < EXT_RECORDS; ++i) field("extTally", &a.extTally[i], &b.extTally[i], sizeof(ExtTally));
    field("ssTally", &a.ssTally, &b.ssTally, sizeof(StillStoreTally));
    for (int i = 0; i < OUT_RECORDS; ++i) field("outTally", &a.outTally[i], &b.outTally[i], sizeof(OutputTally));
    for (int s = 0; s <= SOURCE_COUNT; ++s) {
        if (std::memcmp(a.sourceNames[s], b.sourceNames[s], sizeof a.sourceNames[s]) != 0)
            out += "sourceNames[" + std::to_string(s) + "]: " + Hex(a.sourceNames[s], 34) + " vs " +
                   Hex(b.sourceNames[s], 34) + "\n";
    }
    field("counters", &a.counters, &b.counters, sizeof(TallyCounterValues));
    return out;
}

inline TallySnapshotValues Snapshot(TallyStore& store) {
    TallySnapshotValues s;
    std::memset(&s, 0, sizeof s);
    TallySnapshot(store, s);
    return s;
}
