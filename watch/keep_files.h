// Recordings kept around alarms, written: the window decisions of keep.h
// carried out with recording files in one folder, under the disk budget.
// Portable (stdio); the folder is UTF-8, and files are created and deleted
// through wide paths on Windows (recording.h). The caller lists the folder's kept files once at the start
// (names as KeepFileName makes them); from then on this keeps the list.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "watch/keep.h"

struct KeepFiles {
    KeepWindow window;
    std::string folder;            // ends without a separator
    int offsetS = 0;               // local time east of UTC, for the names
    RecordingWriter writer;
    bool writing = false;
    std::vector<KeptFile> kept;    // the kept files, the one being written last
    uint64_t deleted = 0;          // files the budget removed
    uint64_t failed = 0;           // files that could not be created or written
    std::string lastError;
};

void KeepFilesInit(KeepFiles& files, const KeepConfig& config, const std::string& folder, int offsetS,
                   const std::vector<KeptFile>& existing);
// Each record of the capture stream, in time order.
void KeepFilesRecord(KeepFiles& files, const KeepRecord& record);
// Each alarm, after the record that raised it. Returns the names of files
// the budget deleted to make room (for the history to count).
std::vector<std::string> KeepFilesAlarm(KeepFiles& files, const WatchAlarm& alarm);
// Time passing (live): closes a window that has ended.
void KeepFilesTick(KeepFiles& files, uint64_t nowUs);
// At the end: closes the file being written.
void KeepFilesClose(KeepFiles& files);
