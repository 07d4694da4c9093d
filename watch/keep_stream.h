// Recordings kept around alarms, fed from the capture stream: every entry is
// framed into records as a recording's are (its own parser, the recorder),
// and each alarm is taken in at its place in the stream, just after the read
// that raised it, so the file holds the bytes before the alarm, its marker,
// then what followed. One thread calls all of these (the capture writer
// thread); alarms raised elsewhere reach it through the caller's queue.
// Portable.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "recording/capture.h"
#include "watch/keep_files.h"

struct KeepStream {
    KeepFiles files;
    std::unique_ptr<TallyStore> store;  // the parser's own, never the application's
    std::unique_ptr<FrameParser> parser;
    Recorder recorder;
    std::deque<WatchAlarm> alarms;      // waiting for the stream to pass their time
};

void KeepStreamInit(KeepStream& stream, const KeepConfig& config, const std::string& folder, int offsetS,
                    const std::vector<KeptFile>& existing);
// An alarm: taken in before the first entry stamped after its millisecond
// (alarm times come from the history, to the millisecond), or at the next
// KeepStreamSettle.
void KeepStreamAlarm(KeepStream& stream, const WatchAlarm& alarm);
// One entry of the capture stream, in order.
void KeepStreamTake(KeepStream& stream, const CaptureEntry& entry);
// Time passing: alarms from before `untilUs` still waiting are taken in (the
// caller knows every read before then has reached the stream), and a window
// that ended before it is closed.
void KeepStreamSettle(KeepStream& stream, uint64_t untilUs);
// At the end: the incomplete message as pending, alarms taken in, file closed.
void KeepStreamClose(KeepStream& stream, uint64_t nowUs);
