// The as-run log as CSV and as a CMX 3600 list (see asrun.h).
#include "timeline/asrun.h"
#include "recording/recording.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Seconds east of UTC at a time, by the clock.
int64_t OffsetSeconds(int64_t unixSeconds, const AsRunClock& clock) {
    if (clock.mode == AsRunClock::FIXED) return int64_t{clock.offsetMinutes} * 60;
    if (clock.mode != AsRunClock::LOCAL) return 0;
    const std::time_t when = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &when) != 0) return 0;
#else
    if (!localtime_r(&when, &local)) return 0;
#endif
    const int64_t asUtc = RecordingDaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                        static_cast<unsigned>(local.tm_mday)) * 86400 +
                          local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    return asUtc - unixSeconds;
}

std::string Hms(int64_t ms) {
    char text[40];
    std::snprintf(text, sizeof text, "%02lld:%02d:%02d.%03d", static_cast<long long>(ms / 3600000),
                  static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
    return text;
}

// A CSV field: bytes outside printable ASCII as \xNN (as the history writes
// names), quoted when it holds a comma, a quote or an edge blank.
std::string CsvField(const std::string& text) {
    std::string out;
    bool quote = !text.empty() && (text.front() == ' ' || text.back() == ' ');
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
            continue;
        }
        if (c == ',' || c == '"') quote = true;
        if (c == '"') out += '"';
        out += static_cast<char>(c);
    }
    return quote ? "\"" + out + "\"" : out;
}

struct FpsInfo {
    int nominal;  // frames counted per time-code second
    int drop;     // frames dropped each minute but every tenth (0: none)
    int64_t num, den;  // real frames per second = num / den
};
FpsInfo InfoOf(AsRunFps fps) {
    switch (fps) {
    case FPS_2997_DF: return {30, 2, 30000, 1001};
    case FPS_30: return {30, 0, 30, 1};
    case FPS_50: return {50, 0, 50, 1};
    case FPS_5994_DF: return {60, 4, 60000, 1001};
    case FPS_25:
    default: return {25, 0, 25, 1};
    }
}

// Real frames elapsed by a time of day.
int64_t FramesAt(int64_t msOfDay, AsRunFps fps) {
    const FpsInfo f = InfoOf(fps);
    return msOfDay * f.num / (1000 * f.den);
}

// Reel name: the nickname, blanks and anything a list reader may choke on
// made '_', upper case as reels are written; SRC<n> when there is none.
std::string Reel(const TimelineName* name, int source) {
    std::string reel;
    if (name) reel = name->nickname;
    while (!reel.empty() && reel.back() == ' ') reel.pop_back();
    for (char& c : reel) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 'a' && u <= 'z') c = static_cast<char>(u - 32);
        else if (!((u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-')) c = '_';
    }
    if (reel.empty()) reel = "SRC" + std::to_string(source);
    return reel.substr(0, 8);
}

}  // namespace

std::vector<AsRunRow> AsRunRows(const TimelineIndex& index, int me) {
    std::vector<AsRunRow> rows;
    for (int m = 0; m < ME_RECORDS; ++m) {
        if (me != ONAIR_ALL_ME && me != m) continue;
        for (int s = 0; s < ONAIR_SOURCE_VALUES; ++s) {
            const TimelineLane* lane = TimelineMeLane(index, m, s);
            if (!lane) continue;
            for (const TimelineSpan& span : TimelineSpansOf(index, *lane, ONAIR_PROGRAM))
                rows.push_back({m, s, span.startMs, span.endMs, span.open});
        }
    }
    std::sort(rows.begin(), rows.end(), [](const AsRunRow& a, const AsRunRow& b) {
        if (a.startMs != b.startMs) return a.startMs < b.startMs;
        if (a.me != b.me) return a.me < b.me;
        if (a.source != b.source) return a.source < b.source;
        return a.endMs < b.endMs;
    });
    return rows;
}

std::string AsRunTimeText(int64_t unixMs, const AsRunClock& clock) {
    if (clock.mode == AsRunClock::ELAPSED) return Hms(unixMs - clock.originMs);
    const int64_t seconds = FloorDiv(unixMs, 1000);
    const int ms = static_cast<int>(unixMs - seconds * 1000);
    const int64_t offset = OffsetSeconds(seconds, clock);
    const int64_t local = seconds + offset;
    const int64_t days = FloorDiv(local, 86400);
    const int64_t inDay = local - days * 86400;
    int y, mo, d;
    RecordingCivilDate(days, y, mo, d);
    const int64_t offsetMinutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", y, mo, d,
                  static_cast<int>(inDay / 3600), static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60), ms,
                  offset < 0 ? '-' : '+', static_cast<int>(offsetMinutes / 60), static_cast<int>(offsetMinutes % 60));
    return text;
}

int64_t AsRunMsOfDay(int64_t unixMs, const AsRunClock& clock) {
    if (clock.mode == AsRunClock::ELAPSED) return unixMs - clock.originMs;
    const int64_t local = unixMs + OffsetSeconds(FloorDiv(unixMs, 1000), clock) * 1000;
    return local - FloorDiv(local, 86400000) * 86400000;
}

std::string AsRunCsv(const TimelineIndex& index, const AsRunClock& clock) {
    std::string out;
    if (clock.mode == AsRunClock::ELAPSED) {
        const std::string rate = std::to_string(clock.baud);
        out = "me,source,name,start_at_" + rate + "_baud,end_at_" + rate + "_baud,duration_ms\n";
    } else {
        out = "me,source,name,start,end,duration_ms\n";
    }
    for (const AsRunRow& row : AsRunRows(index, ONAIR_ALL_ME)) {
        out += std::to_string(row.me + 1) + "," + std::to_string(row.source) + ",";
        out += CsvField(TimelineShownName(TimelineNameAt(index, row.source, row.startMs))) + ",";
        out += AsRunTimeText(row.startMs, clock) + ",";
        if (!row.open) out += AsRunTimeText(row.endMs, clock) + "," + std::to_string(row.endMs - row.startMs);
        else out += ",";
        out += "\n";
    }
    return out;
}

bool AsRunParseFps(const std::string& text, AsRunFps& fps) {
    static const struct {
        const char* text;
        AsRunFps fps;
    } names[] = {{"25", FPS_25}, {"29.97", FPS_2997_DF}, {"30", FPS_30}, {"50", FPS_50}, {"59.94", FPS_5994_DF}};
    for (const auto& n : names)
        if (text == n.text) {
            fps = n.fps;
            return true;
        }
    return false;
}

std::string AsRunTimecode(int64_t msOfDay, AsRunFps fps) {
    const FpsInfo f = InfoOf(fps);
    int64_t frame = FramesAt(msOfDay, fps);
    if (f.drop) {
        // Drop-frame counting skips the first `drop` numbers of every minute
        // but each tenth, so the code keeps up with the clock.
        const int64_t perMinute = int64_t{f.nominal} * 60 - f.drop;
        const int64_t perTen = perMinute * 10 + f.drop;
        const int64_t tens = frame / perTen, rest = frame % perTen;
        frame += int64_t{f.drop} * 9 * tens;
        if (rest > f.drop) frame += f.drop * ((rest - f.drop) / perMinute);
    }
    const int64_t perHour = int64_t{f.nominal} * 3600;
    char text[48];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", static_cast<int>(frame / perHour % 24),
                  static_cast<int>(frame / (f.nominal * 60) % 60), static_cast<int>(frame / f.nominal % 60),
                  f.drop ? ';' : ':', static_cast<int>(frame % f.nominal));
    return text;
}

std::string AsRunEdl(const TimelineIndex& index, int me, AsRunFps fps, const AsRunClock& clock) {
    const bool drop = InfoOf(fps).drop != 0;
    std::string out = "TITLE: ME " + std::to_string(me + 1) + " AS-RUN\n";
    out += drop ? "FCM: DROP FRAME\n" : "FCM: NON-DROP FRAME\n";
    if (clock.mode == AsRunClock::ELAPSED)
        out += "* TIMES FROM BYTE OFFSETS AT " + std::to_string(clock.baud) + " BAUD, FROM THE FIRST BYTE\n";
    out += "\n";
    int event = 0, shorter = 0;
    bool open = false;
    for (const AsRunRow& row : AsRunRows(index, me)) {
        const int64_t in = FramesAt(AsRunMsOfDay(row.startMs, clock), fps);
        const int64_t outFrame = FramesAt(AsRunMsOfDay(row.endMs, clock), fps);
        if (in == outFrame) {
            ++shorter;
            continue;
        }
        open = open || row.open;
        const std::string a = AsRunTimecode(AsRunMsOfDay(row.startMs, clock), fps);
        const std::string b = AsRunTimecode(AsRunMsOfDay(row.endMs, clock), fps);
        const TimelineName* name = TimelineNameAt(index, row.source, row.startMs);
        char line[160];
        std::snprintf(line, sizeof line, "%03d  %-8s V     C        %s %s %s %s\n", ++event,
                      Reel(name, row.source).c_str(), a.c_str(), b.c_str(), a.c_str(), b.c_str());
        out += line;
        const std::string shown = TimelineShownName(name);
        out += "* FROM CLIP NAME: " + (shown.empty() ? "SOURCE " + std::to_string(row.source) : shown) + "\n";
    }
    if (open) out += "* THE LAST EVENT WAS STILL ON PROGRAM; IT ENDS AT THE LAST TALLY RECEIVED\n";
    if (shorter) out += "* " + std::to_string(shorter) + " PROGRAM INTERVALS SHORTER THAN A FRAME LEFT OUT\n";
    return out;
}
