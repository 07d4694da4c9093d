// Recordings kept around alarms: which window an alarm opens or extends, what
// of the time before it is written, the file names and the disk budget.
#include <gtest/gtest.h>

#include <cstdio>

#include "watch/keep.h"
#include "watch/keep_files.h"

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
    KeepFiles files;
    KeepFilesInit(files, config, ".", 0, {});
    const uint64_t t0 = 1796696122000000ull;  // 2026-12-08 02:15:22 UTC
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
            ASSERT_TRUE(RecordingCheck(names[0].c_str(), summary, error)) << error;
            EXPECT_EQ(summary.records, 51u);
            EXPECT_EQ(summary.firstUs, t0 + 3000000);
            EXPECT_EQ(summary.lastUs, t0 + 8000000);
            ASSERT_TRUE(RecordingCheck(names[1].c_str(), summary, error)) << error;
            EXPECT_EQ(summary.records, 41u);
            EXPECT_EQ(files.deleted, 0u);
        }
    }
    KeepFilesClose(files);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "20261208-021527.000-reset.pcap");
    // The third file pushed the folder over 2500 bytes: the oldest went.
    EXPECT_EQ(files.deleted, 1u);
    EXPECT_EQ(std::fopen(names[0].c_str(), "rb"), nullptr);
    RecordingSummary summary;
    std::string error;
    EXPECT_TRUE(RecordingCheck(names[2].c_str(), summary, error)) << error;
    EXPECT_EQ(summary.records, 41u);
    for (const std::string& name : names) std::remove(name.c_str());
}
