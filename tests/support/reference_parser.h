// A deliberately literal frame parser used as a test oracle: one byte per
// step through the three-state table, every discard moving the rest of the
// buffer to the front, the scan restarting at index 0 after each discard and
// at every feed. Slow (quadratic on stray bytes) and independent of the real
// parser's code: it keeps its own copy of the store's bytes and counters, and
// the tests compare the two after every feed.
#pragma once
#include <cstdint>
#include <cstring>

#include "tally/parser.h"
#include "tally/protocol.h"
#include "tally/store.h"

struct ReferenceParser {
    TallySnapshotValues model;  // records, names (whole entries), counters; dirty flags
    uint8_t frameBuffer[FRAME_BUFFER_SIZE];
    int frameCount = 0;

    // Starts from the contents of an existing store (normally a fresh one).
    explicit ReferenceParser(TallyStore& start) { TallySnapshot(start, model); }

    void Feed(const uint8_t* bytes, size_t count) {
        for (size_t i = 0; i < count && frameCount < FRAME_BUFFER_SIZE; ++i) frameBuffer[frameCount++] = bytes[i];
        enum { IDLE, HEADER, PAYLOAD } state = IDLE;
        int scanPos = 0;
        uint8_t previous = 0, type = 0;
        int remaining = 0, index = 0;
        uint8_t payload[MAX_PAYLOAD];
        auto discard = [&](int k) {
            std::memmove(frameBuffer, frameBuffer + k, static_cast<size_t>(frameCount - k));
            frameCount -= k;
            scanPos = 0;
            state = IDLE;
        };
        while (scanPos < frameCount) {
            const uint8_t b = frameBuffer[scanPos++];
            const uint8_t p = previous;
            previous = b;
            switch (state) {
            case IDLE:
                if (b > 0x80) {
                    state = HEADER;
                } else {
                    ++model.counters.strayByteCount;
                    discard(scanPos);
                }
                break;
            case HEADER:
                if (b <= 0x80) {
                    ++model.counters.headerLowByteCount;
                    discard(scanPos);
                } else if (b != p) {
                    ++model.counters.headerMismatchCount;
                    discard(scanPos - 1);
                } else if (b >= 0x80 && b < 0xD0) {
                    type = b;
                    index = 0;
                    remaining = (b < 0x90) ? 23 : (b < 0xA0) ? 21 : (b < 0xB0) ? 3 : (b < 0xC0) ? 10 : 19;
                    state = PAYLOAD;
                } else if (b == 0xD1) {
                    std::memset(&model.counters, 0, sizeof model.counters);
                    discard(scanPos);
                } else if (b < 0xE0) {
                    discard(scanPos);
                } else {
                    ++model.counters.unknownTypeCount;
                    discard(scanPos);
                }
                break;
            case PAYLOAD:
                if (p > 0x80 && b > 0x80) {
                    ++model.counters.payloadErrorCount;
                    discard(scanPos - 2);
                } else {
                    payload[index++] = b;
                    if (--remaining == 0) {
                        Store(type, payload);
                        discard(scanPos);
                    }
                }
                break;
            }
        }
    }

    void Store(uint8_t t, const uint8_t* payload) {
        if (t >= 0x81 && t <= 0x84) {
            std::memcpy(model.meTally[t - 0x81].data, payload, 23);
            model.meDirty = 1;
            ++model.counters.meCount[t - 0x81];
        } else if (t >= 0x91 && t <= 0x98) {
            std::memcpy(model.extTally[t - 0x91].data, payload, 21);
            model.extDirty = 1;
            ++model.counters.extCount[t - 0x91];
        } else if (t == 0xA1) {
            std::memcpy(model.ssTally.data, payload, 3);
            model.ssDirty = 1;
            ++model.counters.ssCount;
        } else if (t >= 0xB1 && t <= 0xB6) {
            std::memcpy(model.outTally[t - 0xB1].data, payload, 10);
            model.outDirty = 1;
            ++model.counters.outCount[t - 0xB1];
        } else if ((t == 0xC1 || t == 0xC2) && payload[0] >= 1 && payload[0] <= 128) {
            uint8_t* entry = model.sourceNames[payload[0]];
            if (t == 0xC1) {
                std::memcpy(entry + 1, payload + 1, 12);   // name
                entry[13] = 0;
                std::memcpy(entry + 14, payload + 13, 6);  // nickname
                entry[20] = 0;
                entry[21] = 0;                             // alias emptied
            } else {
                std::memcpy(entry + 21, payload + 1, 12);  // alias
                std::memcpy(entry + 14, payload + 13, 6);  // nickname
            }
            entry[0] = 1;
            model.namesDirty = 1;
        }
    }
};
