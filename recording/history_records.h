// The application records what its history receives: each history event
// becomes the records of the recording format (a run of mismatched header
// bytes one record per byte, as each is one counted fault). Link changes the
// history derives itself (silent, receiving) are not recorded: a replay
// derives them again; the ring's loss is a `lost` record marking the gap.
// Portable.
#pragma once
#include <cstddef>

#include "history/event.h"
#include "recording/recording.h"

// Writes the event's records; returns how many (0 for events not recorded).
size_t RecordingWriteHistoryEvent(RecordingWriter& writer, const HistoryEvent& event);
