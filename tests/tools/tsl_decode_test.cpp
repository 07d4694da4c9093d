// tallydump --tsl-decode over raw TSL bytes: one line a packet, malformed
// ones described, a summary on standard error, and misuse refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/tools/process.h"
#include "tsl/tsl_codec.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;

}  // namespace

TEST(TallyDumpTslDecode, RawDleStreamAnd31StreamOneLineEach) {
    TslMessage m;
    m.index = 0xFE;
    m.lh = m.txt = m.rh = TSL_RED;
    m.text = "CAM 1";
    std::vector<uint8_t> p, wire;
    Tsl50Encode(Tsl50Header{}, &m, 1, p);
    TslDleWrap(p.data(), p.size(), wire);
    wire.insert(wire.end(), {TSL_DLE, TSL_STX, 0xFF, 0x7F});  // PBC 32767
    TslDleWrap(p.data(), p.size(), wire);
    const std::string path = TestDir() + "/tsl_dle.bin";
    WriteFileBytes(path, wire);

    ToolRun run = RunTool({DUMP, "--tsl-decode", path});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "5.0 DLE/STX screen 0 index 254 LH red TXT red RH red bright 3 \"CAM 1\"\n"
              "malformed 5.0 DLE/STX (2 bytes): PBC 32767 cannot be right (a packet is 6 to 2048 bytes)\n"
              "5.0 DLE/STX screen 0 index 254 LH red TXT red RH red bright 3 \"CAM 1\"\n");
    EXPECT_NE(run.err.find("3 TSL packets (1 malformed)"), std::string::npos) << run.err;

    uint8_t a[18];
    m.index = 9;
    m.tally31 = 0x6;
    Tsl31Encode(m, a);
    const std::string path31 = TestDir() + "/tsl_31.bin";
    WriteFileBytes(path31, std::vector<uint8_t>(a, a + 18));
    run = RunTool({DUMP, "--tsl-decode", path31});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "3.1 address 9 tally -23- bright 3 \"CAM 1\"\n");

    run = RunTool({DUMP, "--tsl-decode", TestDir() + "/missing.bin"});
    EXPECT_EQ(run.status, 2);
    run = RunTool({DUMP, "--tsl-decode", path, "--json"});
    EXPECT_EQ(run.status, 2);
}
