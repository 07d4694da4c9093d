// Recordings kept around alarms: which window an alarm opens or extends, what
// of the time before it is written, the file names and the disk budget.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#ifdef _WIN32
#include <direct.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "watch/keep.h"
#include "watch/keep_files.h"
#include "watch/keep_stream.h"

namespace {

const uint64_t S = 1000000;

KeepRecord Record(uint64_t seconds) { return KeepRecord{seconds * S, 1, 0, 0x81, {0x81, 0x81, 1}}; }

WatchAlarm Alarm(uint64_t timeUs) {
    WatchAlarm a;
    a.timeUs = timeUs;
    a.rule = WATCH_FLICKER;
    a.me = 1;
    a.level = WATCH_LEVEL_PGM;
    a.source = 3;
    return a;
}

}  // namespace

TEST(KeepWindow, AnAlarmOpensPBeforeToFAfterAndOneInsideExtendsIt) {
    KeepWindow w;
    KeepInit(w, KeepConfig());
    for (uint64_t t = 0; t <= 100; ++t) EXPECT_EQ(KeepOnRecord(w, Record(t)), KEEP_HELD);
    ASSERT_EQ(KeepOnAlarm(w, Alarm(100 * S), 0), KEEP_OPEN);
    // Written first: the 30 s before the alarm, its own record included.
    ASSERT_EQ(w.held.size(), 31u);
    EXPECT_EQ(w.held.front().timeUs, 70 * S);
    EXPECT_EQ(w.startUs, 70 * S);
    EXPECT_EQ(w.endUs, 130 * S);
    for (uint64_t t = 101; t <= 120; ++t) EXPECT_EQ(KeepOnRecord(w, Record(t)), KEEP_WRITE);
    EXPECT_EQ(KeepOnAlarm(w, Alarm(120 * S), 0), KEEP_EXTEND);
    EXPECT_EQ(w.endUs, 150 * S);
    EXPECT_EQ(w.alarms, 2u);
    for (uint64_t t = 121; t <= 150; ++t) EXPECT_EQ(KeepOnRecord(w, Record(t)), KEEP_WRITE);
    EXPECT_EQ(KeepOnRecord(w, Record(151)), KEEP_CLOSE_HELD);
    EXPECT_FALSE(w.open);
    for (uint64_t t = 152; t <= 190; ++t) EXPECT_EQ(KeepOnRecord(w, Record(t)), KEEP_HELD);
    // A new window after the first ended: only what came since it ended, within P.
    ASSERT_EQ(KeepOnAlarm(w, Alarm(190 * S), 0), KEEP_OPEN);
    EXPECT_EQ(w.held.front().timeUs, 160 * S);
    EXPECT_EQ(w.held.size(), 31u);
    // Live, time passes without records: the window closes by the clock.
    EXPECT_FALSE(KeepOnTime(w, 220 * S));
    EXPECT_TRUE(KeepOnTime(w, 220 * S + 1));
    EXPECT_FALSE(w.open);
}

TEST(KeepWindow, FilesAreNamedByLocalTimeRuleAndPlace) {
    // 2026-12-08 02:15:22.117 UTC, an hour east of it.
    const uint64_t t = 1796696122117000ull;
    EXPECT_EQ(KeepFileName(Alarm(t), 3600), "20261208-031522.117-flicker-ME1-PGM-src3.pcap");
    WatchAlarm out = Alarm(t);
    out.me = 0;
    out.level = WATCH_LEVEL_OUT;
    out.output = 9;
    EXPECT_EQ(KeepFileName(out, 0), "20261208-021522.117-flicker-OUT-out9-src3.pcap");
    WatchAlarm stale;
    stale.timeUs = t;
    stale.rule = WATCH_STALE;
    stale.type = 0x91;
    EXPECT_EQ(KeepFileName(stale, -5 * 3600), "20261207-211522.117-stale-0x91.pcap");
}

TEST(KeepWindow, TheOldestFilesGoUntilTheRestFitTheBudgetButNeverTheOneBeingWritten) {
    const std::vector<KeptFile> files = {{"20261208-031522.117-reset.pcap", 500},
                                         {"20261208-010000.000-reset.pcap", 400},
                                         {"20261208-020000.000-reset.pcap", 300}};
    EXPECT_EQ(KeepOverBudget(files, 1200, ""), std::vector<std::string>{});
    EXPECT_EQ(KeepOverBudget(files, 1000, "20261208-031522.117-reset.pcap"),
              std::vector<std::string>{"20261208-010000.000-reset.pcap"});
    EXPECT_EQ(KeepOverBudget(files, 600, "20261208-010000.000-reset.pcap"),
              (std::vector<std::string>{"20261208-020000.000-reset.pcap", "20261208-031522.117-reset.pcap"}));
}

TEST(KeepFiles, WindowsBecomeRecordingsAndTheBudgetDeletesTheOldest) {
    KeepConfig config;
    config.beforeS = 2;
    config.afterS = 2;
    config.budgetBytes = 2500;
    // A folder named outside any ANSI code page: on Windows the files are
    // made, checked and deleted through wide paths.
    const std::string folder = "qorvex_keep_\xC3\xA9t\xC3\xA9_\xD0\x96";
#ifdef _WIN32
    _wmkdir(L"qorvex_keep_\u00e9t\u00e9_\u0416");
#else
    mkdir(folder.c_str(), 0755);
#endif
    KeepFiles files;
    KeepFilesInit(files, config, folder, 0, {});
    const uint64_t t0 = 1796696122000000ull;  // 2026-12-08 02:15:22 UTC
    auto path = [&](const std::string& name) { return folder + "/" + name; };
    auto alarmAt = [&](uint64_t ms) {
        WatchAlarm a = Alarm(t0 + ms * 1000);
        a.rule = WATCH_RESET;
        a.me = 0;
        a.level = WATCH_LEVEL_NONE;
        a.source = -1;
        return a;
    };
    std::vector<std::string> names;
    for (uint64_t ms = 0; ms <= 30000; ms += 100) {
        KeepFilesRecord(files, KeepRecord{t0 + ms * 1000, 1, 0, 0xD1, {0xD1, 0xD1, 0}});
        if (ms == 5000 || ms == 6000 || ms == 15000 || ms == 25000) {
            KeepFilesAlarm(files, alarmAt(ms));
            if (names.empty() || names.back() != files.window.name) names.push_back(files.window.name);
        }
        if (ms == 20000) {
            // The first window (3 s to 8 s, extended by the second alarm) and the
            // second (13 s to 17 s) are whole files by now.
            RecordingSummary summary;
            std::string error;
            ASSERT_TRUE(RecordingCheck(path(names[0]).c_str(), summary, error)) << error;
            // 51 records and the two alarms' markers.
            EXPECT_EQ(summary.records, 53u);
            EXPECT_EQ(summary.firstUs, t0 + 3000000);
            EXPECT_EQ(summary.lastUs, t0 + 8000000);
            ASSERT_TRUE(RecordingCheck(path(names[1]).c_str(), summary, error)) << error;
            EXPECT_EQ(summary.records, 42u);
            EXPECT_EQ(files.deleted, 0u);
        }
    }
    KeepFilesClose(files);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "20261208-021527.000-reset.pcap");
    // The third file pushed the folder over 2500 bytes: the oldest went.
    EXPECT_EQ(files.deleted, 1u);
    FILE* gone = RecordingOpenPath(path(names[0]).c_str(), "rb");
    EXPECT_EQ(gone, nullptr) << "counted as deleted but still there";
    if (gone) std::fclose(gone);
    RecordingSummary summary;
    std::string error;
    EXPECT_TRUE(RecordingCheck(path(names[2]).c_str(), summary, error)) << error;
    EXPECT_EQ(summary.records, 42u);
    for (const std::string& name : names) RecordingRemovePath(path(name).c_str());
#ifdef _WIN32
    _wrmdir(L"qorvex_keep_\u00e9t\u00e9_\u0416");
#else
    rmdir(folder.c_str());
#endif
}

// The capture stream into kept files: the alarm reaches the keeper before the
// read that raised it (the history drains later than the receiver writes,
// but the keeper's copy of the stream lags further), and still lands right
// after that read, with the reads of the P seconds before it.
TEST(KeepStream, TheAlarmMarkerFollowsTheReadThatRaisedItWithPBeforeAndFAfter) {
    KeepConfig config;
    config.beforeS = 1;
    config.afterS = 1;
    KeepStream stream;
    KeepStreamInit(stream, config, ".", 0, {});
    const uint64_t t0 = 1796696122000000ull;  // 2026-12-08 02:15:22 UTC
    auto read = [&](uint64_t us, uint8_t onAir) {
        const uint8_t m[] = {0xB1, 0xB1, 3, 0, 9, onAir, 10, 11, 12, 13, 14, 15};
        const CaptureEntry e{t0 + us, CAPTURE_BYTES, 0, m, sizeof m};
        KeepStreamTake(stream, e);
    };
    // A read every 100 ms for 1.5 s; the glitch's read at 2.0001 s.
    for (uint64_t ms = 0; ms < 2000; ms += 100) read(ms * 1000, 1);
    WatchAlarm alarm = Alarm(t0 + 2000000);  // the history's time: the read's millisecond
    alarm.rule = WATCH_FLICKER;
    alarm.text = "Output 9 back on air";
    KeepStreamAlarm(stream, alarm);
    KeepStreamSettle(stream, t0 + 1999000);  // not yet: the stream has not reached it
    EXPECT_FALSE(stream.files.writing);
    read(2000100, 0);                          // the read that raised it
    EXPECT_FALSE(stream.files.writing) << "taken in only once the stream is past its millisecond";
    read(2100000, 1);
    ASSERT_TRUE(stream.files.writing);
    const std::string name = stream.files.window.name;
    for (uint64_t ms = 2200; ms <= 4000; ms += 100) read(ms * 1000, 1);
    KeepStreamSettle(stream, t0 + 4000000);   // the window (1.0 s to 3.0 s) ended
    EXPECT_FALSE(stream.files.writing);
    KeepStreamClose(stream, t0 + 4000000);

    FILE* file = std::fopen(name.c_str(), "rb");
    ASSERT_NE(file, nullptr) << name;
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    ASSERT_TRUE(RecordingBegin(*reader, file));
    RecordingRecord r;
    std::vector<uint64_t> times;
    std::vector<uint8_t> kinds;
    std::string marker;
    while (RecordingNext(*reader, r) == RECORDING_RECORD) {
        times.push_back(r.timeUs - t0);
        kinds.push_back(r.kind);
        if (r.kind == RECORD_ALARM) marker.assign(reinterpret_cast<const char*>(r.bytes), r.length);
    }
    std::fclose(file);
    std::remove(name.c_str());
    // 1.0 .. 1.9 s (10 reads), the glitch's read, the marker, then 2.1 .. 3.0 s (10 reads).
    ASSERT_EQ(kinds.size(), 22u);
    EXPECT_EQ(times.front(), 1000000u);
    EXPECT_EQ(times[10], 2000100u);
    EXPECT_EQ(kinds[11], RECORD_ALARM);
    EXPECT_EQ(times[11], 2000000u);
    EXPECT_EQ(marker, "flicker: Output 9 back on air");
    EXPECT_EQ(times.back(), 3000000u);
    for (size_t i = 0; i < kinds.size(); ++i) {
        if (i == 11) continue;
        EXPECT_EQ(kinds[i], RECORD_MESSAGE) << i;
    }
}
