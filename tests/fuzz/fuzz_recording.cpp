// libFuzzer target for every reader of a recording: the reader itself,
// tallydump's decode in each of its four modes, and the replay the
// application plays (check, pace with the gap cap, jump to end). When the
// input's first byte is even, a valid file header goes in front, so that
// most runs reach the records. Must hold, besides no sanitizer report:
//   - the reader, the decode and the replay agree on accepting the file;
//   - a decoded --json report parses as JSON and names how the input ended;
//   - every trace line is printable ASCII (text from the file escaped);
//   - the replay plays every record its check counted, and no more.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "recording/replay.h"
#include "tools/tallydump/dump.h"
#include "tools/tallydump/recorded.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

const uint8_t HEADER[PCAP_FILE_HEADER_SIZE] = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0,
                                               0,    0,    0,    0,    0xff, 0xff, 0, 0, 147, 0, 0, 0};

void Count(void* context, const RecordingRecord&) { ++*static_cast<uint64_t*>(context); }

// The whole file through the reader: records, and how it ended.
RecordingReadResult ReadAll(const std::vector<uint8_t>& file, uint64_t& records, bool& begun) {
    FILE* in = fmemopen(const_cast<uint8_t*>(file.data()), file.size(), "rb");
    Check(in != nullptr);
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    records = 0;
    begun = RecordingBegin(*reader, in);
    RecordingReadResult result = RECORDING_BAD;
    RecordingRecord record;
    if (begun)
        while ((result = RecordingNext(*reader, record)) == RECORDING_RECORD) {
            Check(record.length <= RECORD_MAX_BYTES);
            ++records;
        }
    std::fclose(in);
    return result;
}

int Decode(const std::vector<uint8_t>& file, DumpMode mode, std::string& out) {
    FILE* in = fmemopen(const_cast<uint8_t*>(file.data()), file.size(), "rb");
    Check(in != nullptr);
    std::ostringstream o, e;
    const int status = DumpRecording(in, "fuzz", nullptr, 0, mode, o, e);
    std::fclose(in);
    out = o.str();
    return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 200000) return 0;
    std::vector<uint8_t> file;
    if (data[0] % 2 == 0) file.assign(HEADER, HEADER + sizeof HEADER);
    file.insert(file.end(), data + 1, data + size);
    if (file.empty()) return 0;

    uint64_t records = 0;
    bool begun = false;
    const RecordingReadResult result = ReadAll(file, records, begun);
    const bool accepted = begun && result != RECORDING_BAD;

    std::string out;
    for (DumpMode mode : {DUMP_SUMMARY, DUMP_JSON, DUMP_TRACE, DUMP_ON_AIR}) {
        const int status = Decode(file, mode, out);
        Check(status == (accepted ? 0 : 2));
        if (!accepted) {
            // A trace streams its lines, so damage found late follows some.
            Check(mode == DUMP_TRACE || out.empty());
            continue;
        }
        if (mode == DUMP_JSON || mode == DUMP_ON_AIR) {
            const nlohmann::json json = nlohmann::json::parse(out, nullptr, false);
            Check(!json.is_discarded());
            if (mode == DUMP_JSON)
                Check(json["end"] == (result == RECORDING_TRUNCATED ? "truncated recording" : "end of input"));
        }
        if (mode == DUMP_TRACE) {
            uint64_t lines = 0;
            for (char c : out) {
                if (c == '\n') ++lines;
                else Check(c >= 0x20 && c < 0x7F);
            }
            Check(lines >= 1 && out.back() == '\n');
        }
    }

    // The replay, from a file of its own (it opens a path).
    const int fd = memfd_create("fuzz_recording", 0);
    Check(fd >= 0);
    Check(write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size()));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::unique_ptr<ReplayPlayer> player(new ReplayPlayer);
    std::string error;
    const bool opened = ReplayOpen(*player, path.c_str(), 0, error);
    Check(opened == accepted);
    if (opened) {
        Check(player->summary.records == records);
        uint64_t played = 0;
        uint64_t clock = 0;
        // A few paced steps of 3 s: with the 10 s cap every gap is reached.
        for (int step = 0; step < 4 && !ReplayFinished(*player); ++step, clock += 3000000)
            ReplayAdvance(*player, clock, 1000, Count, &played);
        ReplayJumpToEnd(*player, Count, &played);
        Check(ReplayFinished(*player) && played == records && !player->failed);
        Check(ReplayDurationUs(*player) <= records * REPLAY_GAP_CAP_US);
        Check(!ReplayStatusText(*player).empty());
        ReplayClose(*player);
    }
    close(fd);
    return 0;
}
