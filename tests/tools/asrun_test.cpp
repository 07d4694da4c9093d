// tallydump --as-run over a small recording with known cuts (CSV, and the
// EDL at 29.97 drop frame across a minute boundary), and over a raw capture,
// whose times come from byte offsets at --baud.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "tests/tools/process.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;
const uint64_t DAY_US = 1796688000ull * 1000000;  // 2026-12-08 00:00:00 UTC

std::vector<uint8_t> Msg(uint8_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> m = {type, type};
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
}

std::vector<uint8_t> Me(uint8_t busA, uint8_t busB, uint8_t pgmA) {
    std::vector<uint8_t> p(23, 0);
    p[16] = busA;
    p[18] = busB;
    p[3] = pgmA;
    return p;
}

std::vector<uint8_t> Name(uint8_t source, const char* name, const char* nickname) {
    std::vector<uint8_t> p(19, ' ');
    p[0] = source;
    std::memcpy(p.data() + 1, name, std::strlen(name));
    std::memcpy(p.data() + 13, nickname, std::strlen(nickname));
    return p;
}

void Write(RecordingWriter& w, double seconds, uint8_t kind, const std::vector<uint8_t>& bytes) {
    const uint64_t t = DAY_US + static_cast<uint64_t>(seconds * 1000000 + 0.5);
    RecordingWrite(w, t, kind, 0, bytes.size() > 1 ? bytes[0] : 0, bytes.data(), bytes.size());
}

// Cuts on ME 1 between CAM2 and GFX, 20 ms of GFX (less than a frame) among
// them, and ME 2 taking source 4 once.
std::string KnownCuts() {
    const std::string path = TestDir() + "/cuts.pcap";
    RecordingWriter w;
    std::string error;
    EXPECT_TRUE(RecordingCreate(w, path.c_str(), error)) << error;
    const std::string com = "COM1 115200 8N1";
    Write(w, 58.0, RECORD_CONNECT, std::vector<uint8_t>(com.begin(), com.end()));
    Write(w, 58.1, RECORD_MESSAGE, Msg(0xC1, Name(2, "CAMERA 2", "CAM2")));
    Write(w, 58.2, RECORD_MESSAGE, Msg(0xC1, Name(3, "GRAPHICS", "GFX")));
    Write(w, 59.0, RECORD_MESSAGE, Msg(0x81, Me(2, 3, 0x01)));
    Write(w, 59.5, RECORD_MESSAGE, Msg(0x82, Me(4, 0, 0x01)));
    Write(w, 60.5, RECORD_MESSAGE, Msg(0x81, Me(2, 3, 0x02)));
    Write(w, 60.52, RECORD_MESSAGE, Msg(0x81, Me(2, 3, 0x01)));
    Write(w, 61.0, RECORD_MESSAGE, Msg(0x81, Me(2, 3, 0x01)));  // a repeat changes nothing
    Write(w, 70.0, RECORD_MESSAGE, Msg(0x81, Me(2, 3, 0x02)));
    Write(w, 72.0, RECORD_DISCONNECT, {});
    EXPECT_TRUE(RecordingClose(w));
    return path;
}

class AsRunTool : public ::testing::Test {
protected:
    void SetUp() override { setenv("TZ", "UTC", 1); }  // the tool writes local times
};

}  // namespace

TEST_F(AsRunTool, CsvOfARecordingInStartOrder) {
    const ToolRun run = RunTool({DUMP, "--as-run", KnownCuts()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "me,source,name,start,end,duration_ms\n"
              "1,2,CAMERA 2,2026-12-08T00:00:59.000+00:00,2026-12-08T00:01:00.500+00:00,1500\n"
              "2,4,,2026-12-08T00:00:59.500+00:00,,\n"
              "1,3,GRAPHICS,2026-12-08T00:01:00.500+00:00,2026-12-08T00:01:00.520+00:00,20\n"
              "1,2,CAMERA 2,2026-12-08T00:01:00.520+00:00,2026-12-08T00:01:10.000+00:00,9480\n"
              "1,3,GRAPHICS,2026-12-08T00:01:10.000+00:00,,\n");
}

TEST_F(AsRunTool, EdlAtDropFrameAcrossAMinute) {
    // 59.000 s is real frame 1768 (00:00:58;28); 60.5 s frame 1813, which
    // drop-frame counts as 00:01:00;15 since ;00 and ;01 do not exist.
    const ToolRun run = RunTool({DUMP, "--as-run", KnownCuts(), "--edl", "1", "--fps", "29.97"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "TITLE: ME 1 AS-RUN\n"
              "FCM: DROP FRAME\n"
              "\n"
              "001  CAM2     V     C        00:00:58;28 00:01:00;15 00:00:58;28 00:01:00;15\n"
              "* FROM CLIP NAME: CAMERA 2\n"
              "002  CAM2     V     C        00:01:00;15 00:01:09;29 00:01:00;15 00:01:09;29\n"
              "* FROM CLIP NAME: CAMERA 2\n"
              "003  GFX      V     C        00:01:09;29 00:01:11;29 00:01:09;29 00:01:11;29\n"
              "* FROM CLIP NAME: GRAPHICS\n"
              "* THE LAST EVENT WAS STILL ON PROGRAM; IT ENDS AT THE LAST TALLY RECEIVED\n"
              "* 1 PROGRAM INTERVALS SHORTER THAN A FRAME LEFT OUT\n");
    const ToolRun at25 = RunTool({DUMP, "--as-run", KnownCuts(), "--edl", "2"});
    ASSERT_EQ(at25.status, 0) << at25.err;
    EXPECT_NE(at25.out.find("FCM: NON-DROP FRAME\n"), std::string::npos) << at25.out;
    EXPECT_NE(at25.out.find("001  SRC4     V     C        00:00:59:12 00:01:12:00"), std::string::npos) << at25.out;
}

TEST_F(AsRunTool, RawCaptureTimesFromByteOffsetsAndMisuse) {
    std::vector<uint8_t> feed;
    for (uint8_t pgm : {0x01, 0x02, 0x02})
        for (uint8_t b : Msg(0x81, Me(2, 3, pgm))) feed.push_back(b);
    const std::string path = TestDir() + "/cuts.bin";
    WriteFileBytes(path, feed);
    // 25 bytes of ten bits at 9600 baud: each message ends 26.04 ms after the last.
    ToolRun run = RunTool({DUMP, "--as-run", "--baud", "9600", path});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "me,source,name,start_at_9600_baud,end_at_9600_baud,duration_ms\n"
              "1,2,,00:00:00.026,00:00:00.052,26\n"
              "1,3,,00:00:00.052,,\n");
    for (const auto& args : std::vector<std::vector<std::string>>{{DUMP, "--baud", "9600", path},
                                                                  {DUMP, "--as-run", "--edl", "5", path},
                                                                  {DUMP, "--as-run", "--edl", "1", "--fps", "24", path},
                                                                  {DUMP, "--fps", "25", path},
                                                                  {DUMP, "--as-run", "--json", path}}) {
        run = RunTool(args);
        EXPECT_EQ(run.status, 2) << args[1] << " " << args[2];
        EXPECT_EQ(run.out, "");
    }
}
