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
    p.hasAhead = true;
    return true;
}

uint64_t Offset(const ReplayPlayer& p, uint64_t timeUs) {
    return timeUs > p.summary.firstUs ? timeUs - p.summary.firstUs : 0;
}

// Moves the position on to clockUs at the current speed.
void Tick(ReplayPlayer& p, uint64_t clockUs) {
    if (clockUs > p.clockUs && !p.paused && p.speed != REPLAY_SPEED_FAST)
        p.positionUs += (clockUs - p.clockUs) * static_cast<uint64_t>(p.speed);
    p.clockUs = clockUs;
}

}  // namespace

bool ReplayOpen(ReplayPlayer& player, const char* path, uint64_t clockUs, std::string& error) {
    ReplayClose(player);
    RecordingSummary summary;
    if (!RecordingCheck(path, summary, error)) return false;
    FILE* file = RecordingOpenPath(path, "rb");
    if (!file) {
        error = std::string("cannot open ") + path;
        return false;
    }
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    if (!RecordingBegin(*reader, file)) {
        error = reader->error;
        std::fclose(file);
        return false;
    }
    player.reader = std::move(reader);
    player.file = file;
    player.path = path;
    player.summary = summary;
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
        const uint64_t at = Offset(player, player.ahead.timeUs);
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

uint64_t ReplayDurationUs(const ReplayPlayer& player) { return Offset(player, player.summary.lastUs); }

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
    char text[96];
    std::snprintf(text, sizeof text, "Replay %u %% (%s of %s)", percent, ReplayClockText(at, hours).c_str(),
                  ReplayClockText(total, hours).c_str());
    return text;
}
