// tallydump --on-air over a hand-made capture: the final state's sources per
// ME and level, and the outputs on air, as one JSON object.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/tools/process.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;

void Add(std::vector<uint8_t>& to, uint8_t type, const std::vector<uint8_t>& payload) {
    to.push_back(type);
    to.push_back(type);
    to.insert(to.end(), payload.begin(), payload.end());
}

std::vector<uint8_t> Me(std::initializer_list<std::pair<int, uint8_t>> bytes) {
    std::vector<uint8_t> p(23, 0);
    for (const auto& b : bytes) p[b.first] = b.second;
    return p;
}

}  // namespace

TEST(TallyDumpOnAir, FinalStateOfAHandMadeCapture) {
    std::vector<uint8_t> feed;
    // ME 1 first with content the second message replaces.
    Add(feed, 0x81, Me({{16, 99}, {3, 0x01}}));
    Add(feed, 0x81, Me({{0, 21}, {2, 22},            // Key1 FILL, CUT
                        {16, 66}, {18, 3},           // BusA, BusB
                        {3, 0x01}, {5, 0x01},        // PGM A and PGM B: BusA (66 once)
                        {11, 0x10},                  // LAP A: Key1, fill and cut
                        {19, 0x02}, {21, 0x01}}));   // PVW A: BusB; PVW 2: BusA
    // ME 3: Key4 FILL 0 and CUT 128 on PGM D; Util2 255 on PVW 2.
    Add(feed, 0x83, Me({{14, 0x80}, {9, 0x80}, {22, 0xFF}, {21, 0x08}}));
    // Outputs: every record replaced; 9, 10 and 12 (K) on air, and 48.
    for (uint8_t t = 0xB1; t <= 0xB6; ++t) {
        std::vector<uint8_t> out(10, 5);
        out[3] = 0;
        if (t == 0xB2) out = {9, 0x02, 66, 0x0B, 11, 12, 13, 14, 15, 16};
        if (t == 0xB6) out = {1, 0x07, 2, 0x80, 3, 4, 5, 6, 7, 0xC8};
        Add(feed, t, out);
    }
    Add(feed, 0xC1, std::vector<uint8_t>(19, 0x41));  // source 65 named: changes no tally
    const std::string path = TestDir() + "/onair.bin";
    WriteFileBytes(path, feed);

    const ToolRun run = RunTool({DUMP, "--on-air", path});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "{\"me\":["
              "{\"pgm\":[66],\"lap\":[21,22],\"pvw\":[3,66],\"received\":true},"
              "{\"pgm\":[],\"lap\":[],\"pvw\":[],\"received\":false},"
              "{\"pgm\":[0,128],\"lap\":[],\"pvw\":[255],\"received\":true},"
              "{\"pgm\":[],\"lap\":[],\"pvw\":[],\"received\":false}],"
              "\"outputs\":["
              "{\"output\":9,\"source\":9,\"mode\":\"V\",\"received\":true},"
              "{\"output\":10,\"source\":66,\"mode\":\"V\",\"received\":true},"
              "{\"output\":12,\"source\":12,\"mode\":\"K\",\"received\":true},"
              "{\"output\":48,\"source\":200,\"mode\":\"V\",\"received\":true}]}\n");
    EXPECT_EQ(run.err, "");

    // The same bytes from standard input give the same object.
    EXPECT_EQ(RunTool({DUMP, "--on-air", "-"}, path).out, run.out);

    // One report at a time.
    for (const char* other : {"--json", "--trace"}) {
        const ToolRun both = RunTool({DUMP, "--on-air", other, path});
        EXPECT_EQ(both.status, 2) << other;
        EXPECT_EQ(both.out, "") << other;
    }
}

TEST(TallyDumpOnAir, InputWithoutMessagesGivesTheInitialState) {
    // An empty file is refused (nothing to decode); stray bytes change no tally.
    const std::string empty = TestDir() + "/empty.bin";
    WriteFileBytes(empty, {});
    EXPECT_EQ(RunTool({DUMP, "--on-air", empty}).status, 2);
    const std::string path = TestDir() + "/stray.bin";
    WriteFileBytes(path, {0x00, 0x01, 0x02});
    const ToolRun run = RunTool({DUMP, "--on-air", path});
    ASSERT_EQ(run.status, 0) << run.err;
    // ME 1's shipped record (sources 1-12, rows AA 55 AA A5 5A 5A A5 AA 55 AA),
    // MEs 2-4 all zero, and the shipped outputs' on-air bits: all of it
    // marked as never received, so nobody takes it for tally.
    const std::string me1 =
        "{\"pgm\":[1,2,3,4,5,6,7,8,9,10,11,12],\"lap\":[1,2,3,4,5,6,7,8,9,10,11,12],"
        "\"pvw\":[1,2,3,4,5,6,7,8,9,10,11,12],\"received\":false}";
    EXPECT_EQ(run.out.rfind("{\"me\":[" + me1 + ",{\"pgm\":[],", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\"outputs\":[{\"output\":1,\"source\":1,\"mode\":\"V\",\"received\":false},"
                           "{\"output\":6,"),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find("{\"output\":48,\"source\":0,\"mode\":\"V\",\"received\":false}]}"),
              std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\"received\":true"), std::string::npos) << run.out;
}
