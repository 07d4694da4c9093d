// Recordings through the tools: tallydump decodes one to the live state and
// traces it record by record with the recorded times, the Wireshark dissector
// (through tshark) sees the same records in the same order, broken files are
// refused, and tallysim replays the recorded bytes at their recorded pace.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "recording/recorder.h"
#include "recording/recording.h"
#include "tests/tools/process.h"
#include "tools/tallydump/dump.h"
#include "tools/tallydump/recorded.h"
#include "tools/tallysim/sim.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;
const std::string SIM = TALLYSIM_PATH;
const std::string DISSECTOR = DISSECTOR_PATH;
const std::string TSHARK = "/usr/bin/tshark";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void WriteSink(void* context, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type, const uint8_t* bytes,
               size_t length) {
    RecordingWrite(*static_cast<RecordingWriter*>(context), timeUs, kind, flags, type, bytes, length);
}

// The recorder and the session's totals both see every parser event, as in
// tallydump --capture FILE.pcap.
struct Hooks {
    DumpSession* session;
    Recorder* recorder;
};
void OnBoth(void* context, const FrameEvent& event) {
    const Hooks& hooks = *static_cast<Hooks*>(context);
    DumpOnFrameEvent(hooks.session, event);
    RecorderOnFrameEvent(hooks.recorder, event);
}

struct Made {
    std::vector<uint8_t> stream;  // every byte received, both connections
    nlohmann::json state;         // what the receiver held at the end
    double seconds = 0;           // first to last record
};

// Two connections of a faulty simulated feed, read in reads of random size,
// with a line error and a port error between them, recorded as a receiver would.
Made MakeRecording(const std::string& path, int messages) {
    Made made;
    std::unique_ptr<SimState> sim(new SimState);
    SimConfig config;
    config.seed = 5;
    config.resetAt = 40;
    for (double& r : config.faultRate) r = 0.04;
    SimInit(*sim, config);
    // Messages that change nothing come first: a type without a record, a
    // control type and a name for source 0.
    std::vector<uint8_t> feed = {0x85, 0x85};
    feed.resize(feed.size() + ME_PAYLOAD, 0x01);
    feed.insert(feed.end(), {0xD2, 0xD2, 0xC1, 0xC1, 0x00});
    feed.resize(feed.size() + NAME_PAYLOAD - 1, 0x41);
    for (int i = 0; i < messages; ++i) SimNext(*sim, feed);

    RecordingWriter writer;
    std::string error;
    EXPECT_TRUE(RecordingCreate(writer, path.c_str(), error)) << error;
    DumpSession session;
    DumpSessionInit(session, nullptr);
    Recorder recorder;
    RecorderInit(recorder, WriteSink, &writer);
    Hooks hooks{&session, &recorder};
    uint64_t now = 1796720396000000ull + 123456;
    const uint64_t start = now;
    std::mt19937 rng(3);
    const std::string settings = "COM1 115200 8N1";
    const uint8_t lineError[4] = {0x08, 0, 0, 0}, portError[4] = {0x10, 0, 0, 0};
    const uint8_t modem[4] = {0x90, 0x20, 0x01, 0};  // DSR dropped, CTS and DCD on, a break
    for (int connection = 0; connection < 2; ++connection) {
        RecordingWrite(writer, now, RECORD_CONNECT, 0, 0, reinterpret_cast<const uint8_t*>(settings.data()),
                       settings.size());
        FrameParserInit(*session.parser, session.store.get(), OnBoth, &hooks);
        const size_t from = connection == 0 ? 0 : feed.size() / 2 + 7;  // cut inside a message
        const size_t to = connection == 0 ? feed.size() / 2 + 7 : feed.size();
        for (size_t at = from; at < to;) {
            const size_t n = std::min<size_t>(1 + rng() % 300, to - at);
            now += 2000 + rng() % 20000;
            RecorderBeginFeed(recorder, now, session.parser->bytesFed);
            DumpFeed(session, feed.data() + at, n);
            RecorderEndFeed(recorder);
            made.stream.insert(made.stream.end(), feed.begin() + long(at), feed.begin() + long(at + n));
            at += n;
            if (connection == 0 && at > from + 3000 && at - n <= from + 3000) {
                RecordingWrite(writer, now, RECORD_LINE_ERROR, 0, 0, lineError, 4);
                RecordingWrite(writer, now, RECORD_PORT_ERROR, 0, 0, portError, 4);
                RecordingWrite(writer, now, RECORD_MODEM, 0, 0, modem, 4);
            }
        }
        now += 1000;
        RecorderFinish(recorder, *session.parser, now);
        RecordingWrite(writer, now, RECORD_DISCONNECT, 0, 0, nullptr, 0);
    }
    EXPECT_TRUE(RecordingClose(writer));
    made.state = DumpJson(session);
    made.state["pending"] = 0;
    made.seconds = double(now - start) / 1e6;
    return made;
}

// "kind" or "kind:type name" from a tallydump trace line of a recording.
std::string TraceToken(const std::string& line) {
    const std::string what = line.size() > 29 ? line.substr(29) : "";
    auto starts = [&](const char* prefix) { return what.compare(0, std::strlen(prefix), prefix) == 0; };
    auto word = [&](size_t from) {  // up to the message name's end ("ME 1", "NAME", "type 0x85")
        std::string rest = what.substr(from);
        if (rest.compare(0, 5, "type ") == 0) return rest.substr(5, 4);
        std::istringstream in(rest);
        std::string a, b;
        in >> a >> b;
        return (a == "ME" || a == "EXT" || a == "OUT") ? a + " " + b : a;
    };
    if (starts("stored ")) return "message:" + word(7);
    if (starts("ignored ")) return "ignored:" + word(8);
    if (starts("counters reset")) return "reset";
    if (starts("stray byte")) return "stray";
    if (starts("unknown type ")) return "unknown:" + what.substr(13, 4);
    if (starts("header mismatch")) return "mismatch";
    if (starts("header low byte")) return "lowbyte";
    if (starts("payload error in ")) return "payload:" + word(17);
    if (starts("bytes dropped")) return "dropped";
    if (starts("incomplete message")) return "pending";
    if (starts("connect ")) return "connect";
    if (starts("disconnect")) return "disconnect";
    if (starts("line error")) return "line-error";
    if (starts("port error")) return "port-error";
    if (starts("modem DSR off, break (CTS dsr DCD ri)")) return "modem";
    return "?" + what;
}

// The same token from tshark's kind and type fields.
std::string FieldsToken(const std::string& kindText, const std::string& typeText) {
    const int kind = std::atoi(kindText.c_str());
    const char* name = RecordKindName(static_cast<uint8_t>(kind));
    std::string token = name ? name : "?" + kindText;
    if (kind == RECORD_MESSAGE || kind == RECORD_IGNORED || kind == RECORD_PAYLOAD || kind == RECORD_UNKNOWN) {
        const uint8_t type = static_cast<uint8_t>(std::strtoul(typeText.c_str(), nullptr, 16));
        const char* typeName = kind == RECORD_UNKNOWN ? nullptr : MessageTypeName(type);
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x", type);
        token += ":" + std::string(typeName ? typeName : hex);
    }
    return token;
}

class RecordingTools : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        path = new std::string(TestDir() + "/feed.pcap");
        made = new Made(MakeRecording(*path, 2500));
    }
    static void TearDownTestSuite() {
        delete made;
        delete path;
    }
    static std::string* path;
    static Made* made;
};
std::string* RecordingTools::path = nullptr;
Made* RecordingTools::made = nullptr;

}  // namespace

TEST_F(RecordingTools, DecodesToTheReceiversStateAndTracesOneLinePerRecordWithItsTime) {
    const ToolRun json = RunTool({DUMP, "--json", *path});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out), made->state);

    const ToolRun trace = RunTool({DUMP, "--trace", *path});
    ASSERT_EQ(trace.status, 0) << trace.err;
    std::vector<std::string> lines = Lines(trace.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("end of recording at " + std::to_string(made->stream.size()) + " bytes", 0), 0u)
        << lines.back();
    lines.pop_back();
    RecordingSummary summary;
    std::string error;
    ASSERT_TRUE(RecordingCheck(path->c_str(), summary, error)) << error;
    EXPECT_EQ(lines.size(), summary.records);
    EXPECT_EQ(lines.front().substr(0, 15), RecordingTimeText(summary.firstUs));
    EXPECT_EQ(lines.back().substr(0, 15), RecordingTimeText(summary.lastUs));
    EXPECT_EQ(TraceToken(lines.front()), "connect");
    EXPECT_EQ(TraceToken(lines.back()), "disconnect");
}

TEST_F(RecordingTools, TsharkWithTheDissectorListsTheSameRecordsAsTallydump) {
    ASSERT_EQ(access(TSHARK.c_str(), X_OK), 0) << "tshark is not installed (make deps installs it)";
    const ToolRun trace = RunTool({DUMP, "--trace", *path});
    ASSERT_EQ(trace.status, 0) << trace.err;
    std::vector<std::string> dumped = Lines(trace.out);
    dumped.pop_back();  // the end line

    const ToolRun shark = RunTool({TSHARK, "-X", "lua_script:" + DISSECTOR, "-r", *path, "-T", "fields", "-e",
                                   "_ws.col.Protocol", "-e", "frame.time_epoch", "-e", "tally.kind", "-e",
                                   "tally.type", "-e", "tally.fault", "-E", "occurrence=f"});
    ASSERT_EQ(shark.status, 0) << shark.err;
    EXPECT_EQ(shark.err.find("Lua: Error"), std::string::npos) << shark.err;
    const std::vector<std::string> rows = Lines(shark.out);
    ASSERT_EQ(rows.size(), dumped.size());
    size_t faults = 0, kinds[64] = {};
    for (size_t i = 0; i < rows.size(); ++i) {
        std::vector<std::string> cols;
        std::istringstream in(rows[i]);
        for (std::string col; std::getline(in, col, '\t');) cols.push_back(col);
        cols.resize(5);
        ASSERT_EQ(cols[0], "TALLY") << rows[i];
        const std::string token = FieldsToken(cols[2], cols[3]);
        ASSERT_EQ(token, TraceToken(dumped[i])) << "record " << i + 1 << ": " << rows[i] << " | " << dumped[i];
        // The recorded time, as tallydump prints it.
        const uint64_t us = static_cast<uint64_t>(std::stoull(cols[1].substr(0, cols[1].find('.')))) * 1000000 +
                            static_cast<uint64_t>(std::stoul(cols[1].substr(cols[1].find('.') + 1, 6)));
        ASSERT_EQ(RecordingTimeText(us), dumped[i].substr(0, 15)) << rows[i];
        // tally.fault on exactly the framing faults, named by kind.
        const int kind = std::atoi(cols[2].c_str());
        ++kinds[kind & 63];
        if (kind >= RECORD_STRAY && kind <= RECORD_DROPPED) {
            ++faults;
            EXPECT_EQ(cols[4], RecordKindName(static_cast<uint8_t>(kind))) << rows[i];
        } else {
            EXPECT_EQ(cols[4], "") << rows[i];
        }
    }
    // The feed held every kind the recording can carry but a drop.
    for (int kind : {RECORD_MESSAGE, RECORD_IGNORED, RECORD_RESET, RECORD_STRAY, RECORD_UNKNOWN, RECORD_MISMATCH,
                     RECORD_LOWBYTE, RECORD_PAYLOAD, RECORD_PENDING, RECORD_LINE_ERROR, RECORD_PORT_ERROR,
                     RECORD_CONNECT, RECORD_DISCONNECT})
        EXPECT_GT(kinds[kind], 0u) << RecordKindName(static_cast<uint8_t>(kind));

    // Display filters: every fault row carries an expert warning.
    const ToolRun warned = RunTool({TSHARK, "-X", "lua_script:" + DISSECTOR, "-r", *path, "-Y",
                                    "tally.fault && _ws.expert.severity == warning", "-T", "fields", "-e",
                                    "frame.number"});
    ASSERT_EQ(warned.status, 0) << warned.err;
    EXPECT_EQ(Lines(warned.out).size(), faults);
}

TEST_F(RecordingTools, TruncatedIsDecodedUpToItsLastRecordForeignAndNewerAreRefused) {
    const std::string file = ReadFileText(*path);
    const std::string cut = TestDir() + "/cut.pcap";
    std::ofstream(cut, std::ios::binary) << file.substr(0, file.size() - 3);  // inside the disconnect record
    const ToolRun truncated = RunTool({DUMP, "--trace", cut});
    EXPECT_EQ(truncated.status, 0);
    EXPECT_NE(truncated.err.find("warning: " + cut + ": truncated recording: record "), std::string::npos)
        << truncated.err;
    RecordingSummary whole;
    std::string error;
    ASSERT_TRUE(RecordingCheck(path->c_str(), whole, error));
    const std::vector<std::string> lines = Lines(truncated.out);
    ASSERT_EQ(lines.size(), whole.records);  // all records but the cut one, and the end line
    EXPECT_NE(TraceToken(lines[lines.size() - 2]), "disconnect");

    std::string foreign = file;
    foreign[20] = 1;  // link type 1: Ethernet
    const std::string ethernet = TestDir() + "/ethernet.pcap";
    std::ofstream(ethernet, std::ios::binary) << foreign;
    const ToolRun refused = RunTool({DUMP, "--json", ethernet});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "tallydump: " + ethernet +
                               ": pcap file of link type 1, not a tally recording (link type 147)\n");

    std::string newer = file;
    newer[PCAP_FILE_HEADER_SIZE + PCAP_RECORD_HEADER_SIZE] = 2;
    const std::string future = TestDir() + "/newer.pcap";
    std::ofstream(future, std::ios::binary) << newer;
    const ToolRun tooNew = RunTool({SIM, "--fast", "-o", TestDir() + "/newer.out", "--replay", future});
    EXPECT_EQ(tooNew.status, 2);
    EXPECT_NE(tooNew.err.find("recording format version 2 is newer than this program reads (version 1)"),
              std::string::npos)
        << tooNew.err;
}

TEST_F(RecordingTools, ReplaySendsTheRecordedBytesAtTheRecordedPace) {
    const std::string out = TestDir() + "/replayed.bin";
    const ToolRun fast = RunTool({SIM, "--fast", "--force", "-o", out, "--replay", *path});
    ASSERT_EQ(fast.status, 0) << fast.err;
    const std::string sent = ReadFileText(out);
    EXPECT_TRUE(sent == std::string(made->stream.begin(), made->stream.end())) << sent.size() << " bytes";

    // Paced: the first half of the recording's span must pass before it ends.
    const std::string half = TestDir() + "/half.pcap";
    MakeRecording(half, 300);
    RecordingSummary summary;
    std::string error;
    ASSERT_TRUE(RecordingCheck(half.c_str(), summary, error)) << error;
    const double span = double(summary.lastUs - summary.firstUs) / 1e6;
    ASSERT_GT(span, 0.5);
    const auto start = std::chrono::steady_clock::now();
    const ToolRun paced = RunTool({SIM, "--force", "-o", out, "--replay", half});
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(paced.status, 0) << paced.err;
    EXPECT_GT(took, span * 0.9) << "recorded span " << span << " s";
}
