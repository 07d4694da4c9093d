// Recordings kept around alarms: the decisions, without the files. Each alarm
// wants the capture stream from P seconds before it to F seconds after it; an
// alarm inside a running window extends that window instead of starting a
// new file. The P seconds before an alarm are held in memory until it comes.
// The caller writes and deletes files as told. Portable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "watch/watch.h"

struct KeepConfig {
    double beforeS = 30;                  // P
    double afterS = 30;                   // F
    uint64_t budgetBytes = 1ull << 30;    // kept files together, 1 GB
};

// One record of the capture stream, as a recording holds it.
struct KeepRecord {
    uint64_t timeUs;
    uint8_t kind, flags, type;
    std::vector<uint8_t> bytes;
};

struct KeepWindow {
    KeepConfig config;
    std::deque<KeepRecord> held;  // the last P seconds, while no window is open
    bool open = false;
    uint64_t startUs = 0, endUs = 0;
    std::string name;             // file name of the open window
    uint64_t alarms = 0;          // alarms in the open window
};

void KeepInit(KeepWindow& window, const KeepConfig& config);

enum KeepAlarmAction {
    KEEP_OPEN,    // create `name`, write `held` (records from startUs on), then the alarm's marker
    KEEP_EXTEND,  // the open window runs to the new endUs; write the alarm's marker
};
// An alarm: opens a window (named from the alarm, local time offsetS east of
// UTC) or extends the open one.
KeepAlarmAction KeepOnAlarm(KeepWindow& window, const WatchAlarm& alarm, int offsetS);

enum KeepRecordAction {
    KEEP_HELD,          // only held in memory
    KEEP_WRITE,         // append it to the open window's file
    KEEP_CLOSE_HELD,    // the window ended before this record: close the file; the record is held
};
KeepRecordAction KeepOnRecord(KeepWindow& window, const KeepRecord& record);
// Time passing without records (live): true when the open window has ended
// and its file is to be closed.
bool KeepOnTime(KeepWindow& window, uint64_t nowUs);

// "20261208-031522.117-flicker-ME1-PGM-src3.pcap": local time to the
// millisecond, the rule, and where (ME, level, output, source, type).
std::string KeepFileName(const WatchAlarm& alarm, int offsetS);

struct KeptFile {
    std::string name;
    uint64_t bytes;
};
// Which kept files go, oldest first (names sort by time), so that the rest
// fit the budget; the file being written is never one of them.
std::vector<std::string> KeepOverBudget(std::vector<KeptFile> files, uint64_t budgetBytes, const std::string& writing);
