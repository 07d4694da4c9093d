// Display kinds and the dirty flag each one consumes. Portable.
#pragma once
#include <atomic>
#include <cstdint>

#include "tally/store.h"

enum DisplayKind : int32_t {
    DISPLAY_ME = 128,
    DISPLAY_EXT = 144,
    DISPLAY_SS = 160,
    DISPLAY_OUT = 176,
    DISPLAY_NAMES = 192,
};

// The dirty flag of a kind's category, or nullptr for a kind that is not a display.
inline std::atomic<int32_t>* DisplayDirtyFlag(TallyStore& store, int32_t kind) {
    switch (kind) {
    case DISPLAY_ME: return &store.meDirty;
    case DISPLAY_EXT: return &store.extDirty;
    case DISPLAY_SS: return &store.ssDirty;
    case DISPLAY_OUT: return &store.outDirty;
    case DISPLAY_NAMES: return &store.namesDirty;
    default: return nullptr;
    }
}
