// Kept recordings fed from the capture stream.
#include "watch/keep_stream.h"

namespace {

void OnRecord(void* context, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type, const uint8_t* bytes,
              size_t length) {
    KeepStream& s = *static_cast<KeepStream*>(context);
    KeepFilesRecord(s.files, KeepRecord{timeUs, kind, flags, type, std::vector<uint8_t>(bytes, bytes + length)});
}

void Code(KeepStream& s, uint64_t timeUs, uint8_t kind, uint32_t code) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                              static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)};
    OnRecord(&s, timeUs, kind, 0, 0, bytes, sizeof bytes);
}

void FreshParser(KeepStream& s) {
    if (!s.store) s.store.reset(new TallyStore);
    if (!s.parser) s.parser.reset(new FrameParser);
    TallyStoreInit(*s.store);
    FrameParserInit(*s.parser, s.store.get(), RecorderOnFrameEvent, &s.recorder);
    RecorderInit(s.recorder, OnRecord, &s);
}

// Alarms whose millisecond ended before `timeUs` (all of them for UINT64_MAX).
void TakeAlarms(KeepStream& s, uint64_t timeUs) {
    while (!s.alarms.empty() && (timeUs == UINT64_MAX || s.alarms.front().timeUs + 1000 <= timeUs)) {
        KeepFilesAlarm(s.files, s.alarms.front());
        s.alarms.pop_front();
    }
}

}  // namespace

void KeepStreamInit(KeepStream& s, const KeepConfig& config, const std::string& folder, int offsetS,
                    const std::vector<KeptFile>& existing) {
    KeepFilesInit(s.files, config, folder, offsetS, existing);
    s.alarms.clear();
    FreshParser(s);
}

void KeepStreamAlarm(KeepStream& s, const WatchAlarm& alarm) { s.alarms.push_back(alarm); }

void KeepStreamTake(KeepStream& s, const CaptureEntry& e) {
    TakeAlarms(s, e.timeUs);
    switch (e.kind) {
    case CAPTURE_BYTES: RecorderFeed(s.recorder, *s.parser, e.timeUs, e.bytes, e.length); return;
    case CAPTURE_CONNECT:
        FreshParser(s);
        OnRecord(&s, e.timeUs, RECORD_CONNECT, 0, 0, e.bytes, e.length);
        return;
    case CAPTURE_DISCONNECT:
        RecorderFinish(s.recorder, *s.parser, e.timeUs);
        OnRecord(&s, e.timeUs, RECORD_DISCONNECT, 0, 0, nullptr, 0);
        FreshParser(s);
        return;
    case CAPTURE_LINE_ERROR: Code(s, e.timeUs, RECORD_LINE_ERROR, e.code); return;
    case CAPTURE_PORT_ERROR: Code(s, e.timeUs, RECORD_PORT_ERROR, e.code); return;
    case CAPTURE_GAP: Code(s, e.timeUs, RECORD_LOST, e.code); return;
    default: return;
    }
}

void KeepStreamSettle(KeepStream& s, uint64_t untilUs) {
    TakeAlarms(s, untilUs);
    KeepFilesTick(s.files, untilUs);
}

void KeepStreamClose(KeepStream& s, uint64_t nowUs) {
    if (s.parser) RecorderFinish(s.recorder, *s.parser, nowUs);
    TakeAlarms(s, UINT64_MAX);
    KeepFilesClose(s.files);
}
