// Kept recordings written to files.
#include "watch/keep_files.h"

#include <cstdio>

namespace {

std::string PathOf(const KeepFiles& f, const std::string& name) { return f.folder + "/" + name; }

void Write(KeepFiles& f, const KeepRecord& r) {
    RecordingWrite(f.writer, r.timeUs, r.kind, r.flags, r.type, r.bytes.data(), r.bytes.size());
}

void CloseFile(KeepFiles& f) {
    if (!f.writing) return;
    f.writing = false;
    if (!RecordingClose(f.writer)) {
        ++f.failed;
        f.lastError = "writing " + f.window.name + " failed";
    }
    if (!f.kept.empty()) f.kept.back().bytes = f.writer.bytesWritten;
}

// The oldest files go until the rest fit, the one being written excepted.
std::vector<std::string> Budget(KeepFiles& f) {
    if (f.writing && !f.kept.empty()) f.kept.back().bytes = f.writer.bytesWritten;
    const std::vector<std::string> gone =
        KeepOverBudget(f.kept, f.window.config.budgetBytes, f.writing ? f.window.name : std::string());
    for (const std::string& name : gone) {
        RecordingRemovePath(PathOf(f, name).c_str());
        for (auto it = f.kept.begin(); it != f.kept.end(); ++it)
            if (it->name == name) {
                f.kept.erase(it);
                break;
            }
        ++f.deleted;
    }
    return gone;
}

// The alarm's own record in the file, after what was written before it.
void Marker(KeepFiles& f, const WatchAlarm& a) {
    if (!f.writing) return;
    const std::string text = std::string(WatchRuleName(a.rule)) + ": " + a.text;
    RecordingWrite(f.writer, a.timeUs, RECORD_ALARM, 0, a.type >= 0 ? static_cast<uint8_t>(a.type) : 0,
                   reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace

void KeepFilesInit(KeepFiles& f, const KeepConfig& config, const std::string& folder, int offsetS,
                   const std::vector<KeptFile>& existing) {
    KeepInit(f.window, config);
    f.folder = folder;
    f.offsetS = offsetS;
    f.writing = false;
    f.kept = existing;
    f.deleted = f.failed = 0;
    f.lastError.clear();
}

void KeepFilesRecord(KeepFiles& f, const KeepRecord& record) {
    switch (KeepOnRecord(f.window, record)) {
    case KEEP_WRITE:
        if (f.writing) Write(f, record);
        break;
    case KEEP_CLOSE_HELD:
        CloseFile(f);
        Budget(f);
        break;
    case KEEP_HELD: break;
    }
}


std::vector<std::string> KeepFilesAlarm(KeepFiles& f, const WatchAlarm& alarm) {
    if (KeepOnAlarm(f.window, alarm, f.offsetS) == KEEP_EXTEND) {
        Marker(f, alarm);
        return Budget(f);
    }
    CloseFile(f);  // a window the clock had not closed yet
    std::string error;
    f.writer = RecordingWriter();
    if (!RecordingCreate(f.writer, PathOf(f, f.window.name).c_str(), error)) {
        ++f.failed;
        f.lastError = error;
        return {};
    }
    f.writing = true;
    f.kept.push_back({f.window.name, 0});
    for (const KeepRecord& r : f.window.held) Write(f, r);
    Marker(f, alarm);
    return Budget(f);
}

void KeepFilesTick(KeepFiles& f, uint64_t nowUs) {
    if (!KeepOnTime(f.window, nowUs)) return;
    CloseFile(f);
    Budget(f);
}

void KeepFilesClose(KeepFiles& f) {
    CloseFile(f);
    f.window.open = false;
}
