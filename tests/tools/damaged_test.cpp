// One table of damaged recordings, each with its verdict, run through every
// reader: the reader's check, tallydump in each of its modes (from a file and
// from a pipe), tallysim --replay (file and pipe), the application's replay,
// and tshark with the dissector. A recording is decoded whole, decoded up to
// a cut with a warning, or refused with one line and status 2: never a
// wrong success, and never a Lua error on what the tools accept.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "recording/recording.h"
#include "recording/replay.h"
#include "tally/protocol.h"
#include "tests/tools/process.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;
const std::string SIM = TALLYSIM_PATH;
const std::string DISSECTOR = DISSECTOR_PATH;
const std::string TSHARK = "/usr/bin/tshark";

typedef std::vector<uint8_t> Bytes;

void Put32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes FileHeader(uint16_t minor = 4, uint32_t magic = PCAP_MAGIC_MICROS, uint32_t link = RECORDING_LINKTYPE) {
    Bytes out;
    Put32(out, magic);
    out.insert(out.end(), {2, 0, static_cast<uint8_t>(minor), 0});
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, RECORDING_SNAPLEN);
    Put32(out, link);
    return out;
}

// One record: pcap header with the given stamp, our header, the bytes.
Bytes Record(uint32_t seconds, uint8_t kind, const Bytes& bytes, uint8_t type = 0, uint8_t flags = 0,
             uint8_t version = 1) {
    Bytes out;
    Put32(out, seconds);
    Put32(out, 250000);
    Put32(out, static_cast<uint32_t>(bytes.size() + 4));
    Put32(out, static_cast<uint32_t>(bytes.size() + 4));
    out.insert(out.end(), {version, kind, flags, type});
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Message(uint8_t type, size_t payload, uint8_t fill = 0x01) {
    Bytes out = {type, type};
    out.resize(2 + payload, fill);
    return out;
}

const uint32_t T = 1796720396;

// A session as a receiver records it, with the text of its connect record
// holding a newline and ESC (that must never reach a terminal raw).
Bytes Session() {
    const std::string text = "COM1 115200 8N1\nforged line\x1b[31m";
    Bytes name = Message(0xC1, NAME_PAYLOAD, 0);
    name[2] = 5;
    name[3] = 'C', name[4] = '\n', name[5] = 0x1b;
    return FileHeader() + Record(T, RECORD_CONNECT, Bytes(text.begin(), text.end())) +
           Record(T, RECORD_MESSAGE, Message(0x81, ME_PAYLOAD), 0x81) +
           Record(T + 1, RECORD_MESSAGE, Message(0xB1, OUT_PAYLOAD), 0xB1) +
           Record(T + 1, RECORD_MESSAGE, name, 0xC1) + Record(T + 1, RECORD_IGNORED, {0xD2, 0xD2}, 0xD2) +
           Record(T + 2, RECORD_STRAY, {0x01, 0x02}) + Record(T + 2, RECORD_LINE_ERROR, {8, 0, 0, 0}) +
           Record(T + 3, RECORD_MESSAGE, Message(0xA1, SS_PAYLOAD), 0xA1, RECORD_FLAG_SPLIT) +
           Record(T + 3, RECORD_DISCONNECT, {});
}

enum Verdict { WHOLE, CUT, REFUSED };

struct Case {
    const char* name;
    Bytes file;
    Verdict verdict;
    std::string says;  // part of the one line on standard error
    bool late = false; // damage after the first bytes to send: a pipe finds it while sending
};

std::vector<Case> Cases() {
    const Bytes session = Session();
    Bytes cutHeader(session.begin(), session.begin() + 20);
    Bytes cut(session.begin(), session.end() - 3);
    Bytes pcapng = {0x0A, 0x0D, 0x0D, 0x0A, 28, 0, 0, 0, 0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0,
                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 28, 0, 0, 0};
    Bytes impossible = FileHeader() + Record(T, RECORD_STRAY, {1});
    impossible[PCAP_FILE_HEADER_SIZE + 8] = 0x70;  // captured length 65536 + 5
    impossible[PCAP_FILE_HEADER_SIZE + 10] = 0x01;
    const Bytes head = FileHeader() + Record(T, RECORD_CONNECT, {'C', 'O', 'M', '1'}) +
                       Record(T, RECORD_MESSAGE, Message(0x81, ME_PAYLOAD), 0x81);
    return {
        {"whole session", session, WHOLE, ""},
        // What a hand or another tool may write, and the tools accept: records
        // shorter than their kind suggests are fed as they are.
        {"short records",
         head + Record(T, RECORD_MESSAGE, {}, 0x81) + Record(T, RECORD_MESSAGE, {0x81}, 0x81) +
             Record(T, RECORD_MESSAGE, {0x81, 0x81}, 0x81) + Record(T, RECORD_MESSAGE, Message(0x81, 7), 0x81) +
             Record(T, RECORD_MESSAGE, Message(0xC1, 4), 0xC1) + Record(T, RECORD_IGNORED, {}, 0x85) +
             Record(T, RECORD_RESET, {}) + Record(T, RECORD_CONNECT, {}),
         WHOLE, ""},
        {"a stamp in 2106", head + Record(0xFFFFFFFFu, RECORD_STRAY, {1}) + Record(T + 1, RECORD_STRAY, {2}), WHOLE,
         ""},
        {"cut inside a record", cut, CUT, "truncated recording: record 9 at byte 287 is incomplete"},
        {"cut inside the file header", cutHeader, REFUSED, "truncated recording: the file header is incomplete"},
        {"pcapng copy", pcapng, REFUSED, "pcapng file, not a classic pcap recording: convert it first with 'editcap"},
        {"pcap 2.9", FileHeader(9) + Record(T, RECORD_STRAY, {1}), REFUSED, "pcap file of version 2.9, not 2.4"},
        {"nanosecond stamps", FileHeader(4, 0xA1B23C4D) + Record(T, RECORD_STRAY, {1}), REFUSED,
         "nanosecond time stamps"},
        {"link type 1", FileHeader(4, PCAP_MAGIC_MICROS, 1) + Record(T, RECORD_STRAY, {1}), REFUSED,
         "pcap file of link type 1, not a tally recording"},
        {"line error of 3 bytes", head + Record(T, RECORD_LINE_ERROR, {8, 0, 0}), REFUSED,
         "record 3 at byte 93 is a line-error record of 3 bytes, not 4", true},
        {"unknown flag bits", head + Record(T, RECORD_STRAY, {1}, 0, 0x02), REFUSED, "has unknown flag bits", true},
        {"newer format", head + Record(T, RECORD_STRAY, {1}, 0, 0, 2), REFUSED,
         "recording format version 2 is newer than this program reads (version 1)", true},
        {"impossible length", impossible, REFUSED, "record 1 at byte 24 has an impossible header"},
        {"unknown kind", head + Record(T, 99, {1}), REFUSED, "is of no known kind", true},
        {"disconnect with bytes", head + Record(T, RECORD_DISCONNECT, {1}), REFUSED,
         "is a disconnect record with bytes", true},
    };
}

bool Printable(const std::string& text) {
    for (char c : text)
        if (c != '\n' && (c < 0x20 || c > 0x7E)) return false;
    return true;
}

}  // namespace

TEST(DamagedRecordings, EveryReaderGivesTheSameVerdict) {
    const std::string d = TestDir();
    int n = 0;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const std::string path = d + "/damaged" + std::to_string(++n) + ".pcap";
        WriteFileBytes(path, c.file);
        const bool accepted = c.verdict != REFUSED;

        // The reader's check, and the application's replay (which plays every record).
        RecordingSummary summary;
        std::string error;
        EXPECT_EQ(RecordingCheck(path.c_str(), summary, error), accepted) << error;
        EXPECT_EQ(summary.truncated, c.verdict == CUT);
        if (!accepted) {
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
        }
        std::unique_ptr<ReplayPlayer> player(new ReplayPlayer);
        EXPECT_EQ(ReplayOpen(*player, path.c_str(), 0, error), accepted) << error;
        if (accepted) {
            EXPECT_EQ(ReplayJumpToEnd(*player, [](void*, const RecordingRecord&) {}, nullptr), summary.records);
            EXPECT_LE(ReplayDurationUs(*player), summary.records * REPLAY_GAP_CAP_US);
            ReplayClose(*player);
        }

        // tallydump, each mode from the file, and --json from a pipe.
        for (const char* mode : {"--summary", "--json", "--trace", "--on-air", "pipe"}) {
            SCOPED_TRACE(mode);
            const bool pipe = std::string(mode) == "pipe";
            std::vector<std::string> args = {DUMP};
            if (!pipe && std::string(mode) != "--summary") args.push_back(mode);
            if (pipe) args.push_back("--json");
            args.push_back(pipe ? "-" : path);
            const ToolRun run = RunTool(args, pipe ? path : "");
            const std::string name = pipe ? "standard input" : path;
            if (!accepted) {
                EXPECT_EQ(run.status, 2);
                // A trace streams its lines: damage found late follows the records before it.
                if (!c.late || std::string(mode) != "--trace") {
                    EXPECT_EQ(run.out, "");
                }
                EXPECT_EQ(run.err.rfind("tallydump: " + name + ": ", 0), 0u) << run.err;
                EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
                EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
                continue;
            }
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_TRUE(Printable(run.out)) << run.out;
            if (c.verdict == CUT) {
                EXPECT_NE(run.err.find("warning: " + name + ": " + c.says), std::string::npos) << run.err;
            } else {
                EXPECT_EQ(run.err, "");
            }
            if (std::string(mode) == "--json" || pipe) {
                const nlohmann::json json = nlohmann::json::parse(run.out);
                EXPECT_EQ(json["end"], c.verdict == CUT ? "truncated recording" : "end of input");
            }
            if (std::string(mode) == "--trace") {
                EXPECT_NE(run.out.find("connect COM1"), std::string::npos);
                if (c.file == Session()) {
                    EXPECT_NE(run.out.find("connect COM1 115200 8N1\\x0aforged line\\x1b[31m\n"), std::string::npos);
                    EXPECT_NE(run.out.find("stored NAME 5 \"C\\x0a\\x1b\""), std::string::npos) << run.out;
                }
            }
        }

        // tallysim sends the recorded bytes, from the file and from a pipe.
        for (const std::string& input : {path, std::string("-")}) {
            SCOPED_TRACE(input);
            const std::string out = path + ".out";
            const ToolRun sim = RunTool({SIM, "--fast", "--force", "-o", out, "--replay", input},
                                        input == "-" ? path : "");
            const bool damageInThePipe = input == "-" && c.late;
            if (accepted) {
                EXPECT_EQ(sim.status, 0) << sim.err;
                EXPECT_EQ(ReadFileText(out).size(), summary.streamBytes);
            } else if (damageInThePipe) {
                // Found only after the first records went: status 1, said once.
                EXPECT_EQ(sim.status, 1) << sim.err;
                EXPECT_NE(sim.err.find(c.says), std::string::npos) << sim.err;
            } else {
                EXPECT_EQ(sim.status, 2) << sim.err;
                EXPECT_NE(sim.err.find(c.says), std::string::npos) << sim.err;
            }
        }

        // tshark with the dissector: no Lua error on anything the tools accept.
        if (accepted && access(TSHARK.c_str(), X_OK) == 0) {
            const ToolRun shark = RunTool({TSHARK, "-X", "lua_script:" + DISSECTOR, "-r", path, "-V"});
            EXPECT_EQ(shark.out.find("Lua Error"), std::string::npos) << shark.out;
            EXPECT_NE(shark.out.find("Qorvex tally feed"), std::string::npos);
        }
    }
}

TEST(DamagedRecordings, StallsAndLostReportsAreNeverASuccess) {
    const std::string d = TestDir();
    const std::string path = d + "/stamps.pcap";
    // One record stamped in 2106 among records a second apart.
    WriteFileBytes(path, FileHeader() + Record(T, RECORD_STRAY, {1}) + Record(0xFFFFFFFFu, RECORD_STRAY, {2}) +
                             Record(T + 1, RECORD_STRAY, {3}) + Record(T + 2, RECORD_STRAY, {4}));

    // A paced replay shortens the absurd gap to --max-gap and says so.
    const auto start = std::chrono::steady_clock::now();
    const ToolRun paced = RunTool({SIM, "--force", "-o", d + "/paced.out", "--replay", path, "--max-gap", "1.5"});
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(paced.status, 0) << paced.err;
    EXPECT_GT(took, 2.3);  // 1.5 s capped, no gap back, then 1 s
    EXPECT_LT(took, 8.0);
    EXPECT_NE(paced.err.find("1 gap between records longer than 1.5 s played as 1.5 s"), std::string::npos);
    EXPECT_NE(paced.err.find("\"gapsShortened\": 1"), std::string::npos) << paced.err;
    EXPECT_EQ(ReadFileText(d + "/paced.out"), std::string("\x01\x02\x03\x04"));

    // A report or summary that cannot be written fails, with one line.
    const pid_t dump = StartTool({DUMP, "--json", path}, "", "/dev/full", d + "/full.err");
    EXPECT_EQ(WaitTool(dump, 30000), 2);
    EXPECT_EQ(ReadFileText(d + "/full.err"),
              "tallydump: writing the report to standard output failed: No space left on device\n");
    const pid_t sim = StartTool({SIM, "--fast", "--count", "5", "-o", d + "/five.bin"}, "", d + "/sim.out", "/dev/full");
    EXPECT_EQ(WaitTool(sim, 30000), 1);

    // An endless input streams in flat memory and stops at --duration.
    const ToolRun zero = RunTool({SIM, "--fast", "--duration", "0.5", "-o", "/dev/null", "--replay", "/dev/zero"});
    EXPECT_EQ(zero.status, 0) << zero.err;
    EXPECT_NE(zero.err.find("\"complete\": false"), std::string::npos) << zero.err;

    // A pty nobody reads: --duration still ends the run, and so does Ctrl-C.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    for (bool interrupt : {false, true}) {
        SCOPED_TRACE(interrupt ? "SIGINT" : "--duration");
        std::vector<std::string> args = {SIM, "-o", slave, "--baud", "4000000"};
        if (!interrupt) args.insert(args.end(), {"--duration", "1"});
        const auto begun = std::chrono::steady_clock::now();
        const pid_t pid = StartTool(args, "", d + "/pty.out", d + "/pty.err");
        if (interrupt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            kill(pid, SIGINT);
        }
        EXPECT_EQ(WaitTool(pid, 10000), 0) << ReadFileText(d + "/pty.err");
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count(), 5.0);
    }
    close(master);
}
