// Playing a recording back: position = recording time reached, advanced by
// the caller's clock times the speed; every record stamped at or before the
// position is played.
#include "recording/replay.h"

namespace {

bool ReadAhead(ReplayPlayer& p) {
    if (p.hasAhead || !p.reader) return p.hasAhead;
    if (p.played >= p.summary.records) return false;  // the checked end (a truncated tail stops here)
    if (RecordingNext(*p.reader, p.ahead) != RECORDING_RECORD) {
        p.failed = true;
        p.played = p.summary.records;
        return false;
    }
    p.aheadAtUs = ReplayTimelineStep(p.timeline, p.ahead.timeUs);
    p.hasAhead = true;
    return true;
}

// Moves the position on to clockUs at the current speed.
void Tick(ReplayPlayer& p, uint64_t clockUs) {
    if (clockUs > p.clockUs && !p.paused && p.speed != REPLAY_SPEED_FAST)
        p.positionUs += (clockUs - p.clockUs) * static_cast<uint64_t>(p.speed);
    p.clockUs = clockUs;
}

}  // namespace

uint64_t ReplayTimelineStep(ReplayTimeline& t, uint64_t timeUs) {
    if (!t.started) {
        t.started = true;
        t.lastUs = timeUs;
        return t.atUs = 0;
    }
    uint64_t gap = timeUs > t.lastUs ? timeUs - t.lastUs : 0;
    if (gap > t.capUs) {
        gap = t.capUs;
        ++t.capped;
    }
    t.lastUs = timeUs;
    t.atUs += gap;
    return t.atUs;
}

bool ReplayOpen(ReplayPlayer& player, const char* path, uint64_t clockUs, std::string& error, uint64_t gapCapUs) {
    ReplayClose(player);
    FILE* file = RecordingOpenPath(path, "rb");
    if (!file) {
        error = std::string("cannot open ") + path;
        return false;
    }
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    // One pass checks the whole file and finds its play time with the cap.
    RecordingSummary summary;
    ReplayTimeline timeline;
    timeline.capUs = gapCapUs;
    bool ok = RecordingBegin(*reader, file);
    RecordingRecord record;
    RecordingReadResult result = RECORDING_END;
    uint64_t durationUs = 0;
    while (ok && (result = RecordingNext(*reader, record)) == RECORDING_RECORD) {
        if (!summary.records) summary.firstUs = record.timeUs;
        summary.lastUs = record.timeUs;
        ++summary.records;
        if (RecordCarriesStream(record.kind)) summary.streamBytes += record.length;
        durationUs = ReplayTimelineStep(timeline, record.timeUs);
    }
    summary.truncated = ok && result == RECORDING_TRUNCATED;
    if (!ok || result == RECORDING_BAD || std::fseek(file, 0, SEEK_SET) != 0 || !RecordingBegin(*reader, file)) {
        error = reader->error.empty() ? std::string("cannot read ") + path : reader->error;
        std::fclose(file);
        return false;
    }
    player.reader = std::move(reader);
    player.file = file;
    player.path = path;
    player.summary = summary;
    player.timeline = ReplayTimeline();
    player.timeline.capUs = gapCapUs;
    player.durationUs = durationUs;
    player.gapsCapped = timeline.capped;
    player.hasAhead = false;
    player.played = 0;
    player.positionUs = 0;
    player.clockUs = clockUs;
    player.speed = 1;
    player.paused = false;
    player.failed = false;
    return true;
}

void ReplayClose(ReplayPlayer& player) {
    if (player.file) std::fclose(player.file);
    player.file = nullptr;
    player.reader.reset();
    player.hasAhead = false;
}

size_t ReplayAdvance(ReplayPlayer& player, uint64_t clockUs, size_t maxRecords, ReplayHandler handler,
                     void* context) {
    Tick(player, clockUs);
    size_t count = 0;
    while (count < maxRecords && !player.paused && ReadAhead(player)) {
        const uint64_t at = player.aheadAtUs;
        if (player.speed != REPLAY_SPEED_FAST && at > player.positionUs) break;
        if (player.speed == REPLAY_SPEED_FAST && at > player.positionUs) player.positionUs = at;
        player.hasAhead = false;
        ++player.played;
        ++count;
        handler(context, player.ahead);
    }
    return count;
}

size_t ReplayJumpToEnd(ReplayPlayer& player, ReplayHandler handler, void* context) {
    size_t count = 0;
    while (ReadAhead(player)) {
        player.hasAhead = false;
        ++player.played;
        ++count;
        handler(context, player.ahead);
    }
    player.positionUs = ReplayDurationUs(player);
    return count;
}

void ReplaySetPaused(ReplayPlayer& player, bool paused, uint64_t clockUs) {
    Tick(player, clockUs);
    player.paused = paused;
}

void ReplaySetSpeed(ReplayPlayer& player, int speed, uint64_t clockUs) {
    Tick(player, clockUs);
    player.speed = speed;
}

bool ReplayFinished(const ReplayPlayer& player) { return player.played >= player.summary.records; }

uint64_t ReplayDurationUs(const ReplayPlayer& player) { return player.durationUs; }

std::string ReplayClockText(uint64_t us, bool hours) {
    const uint64_t s = us / 1000000;
    char text[32];
    if (hours)
        std::snprintf(text, sizeof text, "%u:%02u:%02u", unsigned(s / 3600), unsigned(s / 60 % 60), unsigned(s % 60));
    else
        std::snprintf(text, sizeof text, "%02u:%02u", unsigned(s / 60), unsigned(s % 60));
    return text;
}

std::string ReplayStatusText(const ReplayPlayer& player) {
    const uint64_t total = ReplayDurationUs(player);
    uint64_t at = player.positionUs < total ? player.positionUs : total;
    if (ReplayFinished(player)) at = total;
    unsigned percent = total ? unsigned(at * 100 / total) : (ReplayFinished(player) ? 100 : 0);
    if (!ReplayFinished(player) && percent == 100) percent = 99;
    const bool hours = total >= 3600000000ull;
    char text[160];
    std::snprintf(text, sizeof text, "Replay %u %% (%s of %s)", percent, ReplayClockText(at, hours).c_str(),
                  ReplayClockText(total, hours).c_str());
    std::string status = text;
    if (player.gapsCapped) {
        std::snprintf(text, sizeof text, ", %llu gap%s over %llu s shortened", (unsigned long long)player.gapsCapped,
                      player.gapsCapped == 1 ? "" : "s", (unsigned long long)(player.timeline.capUs / 1000000));
        status += text;
    }
    return status;
}
