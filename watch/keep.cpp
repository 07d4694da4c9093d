// Kept-recording windows around alarms.
#include "watch/keep.h"
#include "recording/recording.h"

#include <algorithm>
#include <cstdio>

namespace {

// An alarm may reach the window after records later than it (the keeper
// takes alarms in once the stream has passed them): records are held this
// much longer than P, so the P seconds before a late alarm are still there.
constexpr uint64_t HOLD_SLACK_US = 2000000;

// Drops held records older than P (and `slackUs`) before `nowUs`.
void Trim(KeepWindow& w, uint64_t nowUs, uint64_t slackUs = 0) {
    const uint64_t keep = static_cast<uint64_t>(w.config.beforeS * 1e6) + slackUs;
    while (!w.held.empty() && nowUs >= keep && w.held.front().timeUs < nowUs - keep) w.held.pop_front();
}

}  // namespace

void KeepInit(KeepWindow& w, const KeepConfig& config) {
    w.config = config;
    w.held.clear();
    w.open = false;
    w.startUs = w.endUs = 0;
    w.name.clear();
    w.alarms = 0;
}

KeepAlarmAction KeepOnAlarm(KeepWindow& w, const WatchAlarm& alarm, int offsetS) {
    const uint64_t after = alarm.timeUs + static_cast<uint64_t>(w.config.afterS * 1e6);
    if (w.open && alarm.timeUs <= w.endUs) {
        w.endUs = std::max(w.endUs, after);
        ++w.alarms;
        return KEEP_EXTEND;
    }
    const uint64_t before = static_cast<uint64_t>(w.config.beforeS * 1e6);
    w.open = true;
    w.startUs = alarm.timeUs > before ? alarm.timeUs - before : 0;
    w.endUs = after;
    w.name = KeepFileName(alarm, offsetS);
    w.alarms = 1;
    Trim(w, alarm.timeUs);
    // What the caller writes first: the held records from the window's start on.
    while (!w.held.empty() && w.held.front().timeUs < w.startUs) w.held.pop_front();
    return KEEP_OPEN;
}

KeepRecordAction KeepOnRecord(KeepWindow& w, const KeepRecord& record) {
    if (w.open && record.timeUs <= w.endUs) return KEEP_WRITE;
    const bool closed = w.open;
    if (closed) {
        w.open = false;
        w.held.clear();  // everything held was written
    }
    w.held.push_back(record);
    Trim(w, record.timeUs, HOLD_SLACK_US);
    return closed ? KEEP_CLOSE_HELD : KEEP_HELD;
}

bool KeepOnTime(KeepWindow& w, uint64_t nowUs) {
    if (!w.open || nowUs <= w.endUs) return false;
    w.open = false;
    w.held.clear();
    return true;
}

std::string KeepFileName(const WatchAlarm& a, int offsetS) {
    const int64_t localUs = static_cast<int64_t>(a.timeUs) + static_cast<int64_t>(offsetS) * 1000000;
    const int64_t seconds = localUs / 1000000;
    int y, mo, d;
    RecordingCivilDate(seconds / 86400, y, mo, d);
    const int64_t inDay = seconds % 86400;
    char text[160];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d.%03d-%s", y, mo, d, static_cast<int>(inDay / 3600),
                  static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60),
                  static_cast<int>(localUs % 1000000 / 1000), WatchRuleName(a.rule));
    std::string name = text;
    if (a.me) name += "-ME" + std::to_string(a.me);
    if (a.level != WATCH_LEVEL_NONE) name += std::string("-") + WatchLevelName(a.level);
    if (a.output) name += "-out" + std::to_string(a.output);
    if (a.source >= 0) name += "-src" + std::to_string(a.source);
    if (a.type >= 0 && !a.me) {
        std::snprintf(text, sizeof text, "-0x%02X", a.type);
        name += text;
    }
    return name + ".pcap";
}

std::vector<std::string> KeepOverBudget(std::vector<KeptFile> files, uint64_t budgetBytes, const std::string& writing) {
    std::sort(files.begin(), files.end(), [](const KeptFile& a, const KeptFile& b) { return a.name < b.name; });
    uint64_t total = 0;
    for (const KeptFile& f : files) total += f.bytes;
    std::vector<std::string> gone;
    for (const KeptFile& f : files) {
        if (total <= budgetBytes) break;
        if (f.name == writing) continue;
        gone.push_back(f.name);
        total -= f.bytes;
    }
    return gone;
}
