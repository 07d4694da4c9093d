// qorvex.exe's command line: every option and value it takes, and every kind
// of fault named in the message.
#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

CommandLineResult Parse(std::vector<std::string> args) { return CommandLineParse(args); }

TEST(CommandLine, NoArgumentsRunWithNothingOverridden) {
    const CommandLineResult r = Parse({});
    EXPECT_EQ(r.outcome, CMDLINE_RUN);
    const CommandLineOptions& o = r.options;
    EXPECT_FALSE(o.hasPort || o.hasBaud || o.hasDataBits || o.hasParity || o.hasStopBits || o.hasFlow || o.connect);
    EXPECT_TRUE(o.logFile.empty() && o.recordFile.empty() && o.openFile.empty());
}

TEST(CommandLine, EveryOptionIsTaken) {
    const CommandLineResult r = Parse({"--port", "com12", "--baud=9600", "--data-bits", "7", "--parity", "e",
                                       "--stop-bits", "1.5", "--flow", "RtsCts", "--connect", "--log",
                                       "C:\\logs\\events.csv", "--record=feed.qvr", "--open", "old feed.qvr"});
    ASSERT_EQ(r.outcome, CMDLINE_RUN) << r.message;
    const CommandLineOptions& o = r.options;
    EXPECT_TRUE(o.hasPort && o.hasBaud && o.hasDataBits && o.hasParity && o.hasStopBits && o.hasFlow);
    EXPECT_EQ(o.portNumber, 12);
    EXPECT_EQ(o.baudRate, 9600u);
    EXPECT_EQ(o.dataBits, 7);
    EXPECT_EQ(o.parity, 2) << "even is Win32 code 2";
    EXPECT_EQ(o.stopBits, 1) << "1.5 is Win32 code 1";
    EXPECT_EQ(o.flow, CMDLINE_FLOW_RTSCTS);
    EXPECT_TRUE(o.connect);
    EXPECT_EQ(o.logFile, "C:\\logs\\events.csv");
    EXPECT_EQ(o.recordFile, "feed.qvr");
    EXPECT_EQ(o.openFile, "old feed.qvr");
}

TEST(CommandLine, ValuesMapToTheSessionCodes) {
    const char* parity = "NOEMS";
    for (int code = 0; code < 5; ++code) {
        const CommandLineResult r = Parse({"--parity", std::string(1, parity[code])});
        EXPECT_EQ(r.options.parity, code) << parity[code];
    }
    EXPECT_EQ(Parse({"--stop-bits", "2"}).options.stopBits, 2);
    EXPECT_EQ(Parse({"--stop-bits", "1"}).options.stopBits, 0);
    EXPECT_EQ(Parse({"--flow", "none"}).options.flow, CMDLINE_FLOW_NONE);
    EXPECT_EQ(Parse({"--flow", "dtrdsr"}).options.flow, CMDLINE_FLOW_DTRDSR);
    EXPECT_EQ(Parse({"--port", "COM1"}).options.portNumber, 1);
    EXPECT_EQ(Parse({"--port", "COM256"}).options.portNumber, 256);
    for (const char* baud : {"110", "14400", "256000"})
        EXPECT_EQ(Parse({"--baud", baud}).outcome, CMDLINE_RUN) << baud;
}

TEST(CommandLine, HelpWinsWhereverItStands) {
    EXPECT_EQ(Parse({"--help"}).outcome, CMDLINE_HELP);
    EXPECT_EQ(Parse({"--port", "COM3", "--help", "--bogus"}).outcome, CMDLINE_HELP);
    const std::string usage = CommandLineUsage();
    for (const char* option : {"--port", "--baud", "--data-bits", "--parity", "--stop-bits", "--flow", "--connect",
                               "--log", "--record", "--open", "--help"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    // Readable as a table: every description starts in the same column.
    size_t start = 0, rows = 0;
    for (size_t end; (end = usage.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = usage.substr(start, end - start);
        if (line.compare(0, 2, "  ") != 0) continue;
        ++rows;
        ASSERT_GT(line.size(), 30u) << line;
        EXPECT_EQ(line.find_first_not_of(' ', line.find("  ", 2)), 30u) << line;
    }
    EXPECT_GE(rows, 11u);
}

TEST(CommandLine, FaultsAreNamed) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--bogus=1"}, "unknown option --bogus"},
        {{"feed.bin"}, "unexpected argument feed.bin"},
        {{"--port", "COM0"}, "bad value for --port: \"COM0\""},
        {{"--port", "COM257"}, "bad value for --port: \"COM257\""},
        {{"--port", "COM012"}, "bad value for --port: \"COM012\""},
        {{"--port", "LPT1"}, "bad value for --port: \"LPT1\""},
        {{"--baud", "9601"}, "bad value for --baud: \"9601\""},
        {{"--baud", "-9600"}, "bad value for --baud: \"-9600\""},
        {{"--baud", "9600x"}, "bad value for --baud: \"9600x\""},
        {{"--data-bits", "9"}, "bad value for --data-bits: \"9\""},
        {{"--data-bits", "4"}, "bad value for --data-bits: \"4\""},
        {{"--parity", "X"}, "bad value for --parity: \"X\""},
        {{"--parity", "NO"}, "bad value for --parity: \"NO\""},
        {{"--stop-bits", "3"}, "bad value for --stop-bits: \"3\""},
        {{"--flow", "xonxoff"}, "bad value for --flow: \"xonxoff\""},
        {{"--baud"}, "--baud needs a value"},
        {{"--port", "COM1", "--port", "COM2"}, "--port given twice"},
        {{"--connect=yes"}, "--connect takes no value"},
        {{"--log", "--connect"}, "bad value for --log: \"--connect\""},
        {{"--open="}, "bad value for --open: \"\""},
        {{"--mqtt", "broker:0"}, "bad value for --mqtt: \"broker:0\""},
        {{"--mqtt", "broker:65536"}, "bad value for --mqtt: \"broker:65536\""},
        {{"--mqtt=:1883"}, "bad value for --mqtt: \":1883\""},
        {{"--mqtt", "--connect"}, "bad value for --mqtt: \"--connect\""},
        {{"--mqtt", "b", "--mqtt-name", "STUDIO/1"}, "bad value for --mqtt-name: \"STUDIO/1\""},
        {{"--mqtt", "b", "--mqtt-name", "A+B"}, "bad value for --mqtt-name: \"A+B\""},
        {{"--mqtt-name", "STUDIO1"}, "--mqtt-name needs --mqtt HOST[:PORT]"},
    };
    for (const auto& c : cases) {
        const CommandLineResult r = Parse(c.args);
        EXPECT_EQ(r.outcome, CMDLINE_ERROR) << c.message;
        EXPECT_EQ(r.message, c.message);
    }
}

TEST(CommandLine, SeveralMistakesAreAllNamedInOrderAndNothingIsTaken) {
    const CommandLineResult r = Parse({"--baud", "9601", "--bogus", "--port", "COM1", "feed.bin", "--port=COM0",
                                       "--connect=yes", "--parity", "E", "--log"});
    ASSERT_EQ(r.outcome, CMDLINE_ERROR);
    const std::vector<std::string> expected = {"bad value for --baud: \"9601\"", "unknown option --bogus",
                                               "unexpected argument feed.bin", "--port given twice",
                                               "bad value for --port: \"COM0\"", "--connect takes no value",
                                               "--log needs a value"};
    EXPECT_EQ(r.faults, expected);
    EXPECT_EQ(r.message, "bad value for --baud: \"9601\"\nunknown option --bogus\nunexpected argument feed.bin\n"
                         "--port given twice\nbad value for --port: \"COM0\"\n--connect takes no value\n"
                         "--log needs a value");
    EXPECT_FALSE(r.options.hasPort) << "a line with mistakes runs nothing";
    EXPECT_FALSE(r.options.hasParity);
    EXPECT_EQ(Parse({"--bogus", "--help"}).outcome, CMDLINE_HELP) << "help wins after a mistake too";
}

TEST(CommandLine, MqttOptionsEnablePublishingForTheRun) {
    MqttConfig saved;
    saved.host = "old-broker";
    saved.port = 1999;
    saved.name = "SAVED";
    saved.user = "u";
    saved.password = "p";
    EXPECT_TRUE(CommandLineApplyMqtt(Parse({"--connect"}).options, saved) == saved) << "nothing given: as saved";
    MqttConfig run = CommandLineApplyMqtt(Parse({"--mqtt", "127.0.0.1"}).options, saved);
    EXPECT_EQ(run.enabled, 1);
    EXPECT_EQ(run.host, "127.0.0.1");
    EXPECT_EQ(run.port, 1883) << "the default port, not the saved one";
    EXPECT_EQ(run.name, "SAVED");
    EXPECT_EQ(run.user, "u");
    EXPECT_EQ(run.password, "p");
    run = CommandLineApplyMqtt(Parse({"--mqtt=[::1]:1884", "--mqtt-name", "GALLERY_2.b-1"}).options, saved);
    EXPECT_EQ(run.host, "::1");
    EXPECT_EQ(run.port, 1884);
    EXPECT_EQ(run.name, "GALLERY_2.b-1");
    const std::string usage = CommandLineUsage();
    EXPECT_NE(usage.find("--mqtt HOST[:PORT]"), std::string::npos);
    EXPECT_NE(usage.find("--mqtt-name NAME"), std::string::npos);
}

TEST(CommandLine, OptionsOverrideOnlyWhatTheyName) {
    PortSettings saved;
    saved.portNumber = 7;
    saved.baudRate = 38400;
    saved.flowFlags = 4 | 1;  // XON/XOFF and DTR/DSR
    saved.reconnect = 1;
    PortSettings run = CommandLineApply(Parse({"--baud", "9600", "--flow", "rtscts"}).options, saved);
    EXPECT_EQ(run.portNumber, 7);
    EXPECT_EQ(run.baudRate, 9600u);
    EXPECT_EQ(run.flowFlags, 4 | 2);
    EXPECT_EQ(run.reconnect, 1);
    run = CommandLineApply(Parse({"--flow", "none", "--port", "COM3", "--parity", "M", "--stop-bits", "2",
                                  "--data-bits", "5"}).options, saved);
    EXPECT_EQ(run.flowFlags, 4);
    EXPECT_EQ(run.portNumber, 3);
    EXPECT_EQ(run.parity, 3);
    EXPECT_EQ(run.stopBits, 2);
    EXPECT_EQ(run.dataBits, 5);
    EXPECT_TRUE(CommandLineApply(Parse({"--connect"}).options, saved) == saved);
}

}  // namespace

TEST(CommandLine, RecordNeverReplacesAFile) {
    static const std::string present = "old.pcap";
    bool (*exists)(const std::string&) = [](const std::string& path) { return path == present; };
    CommandLineResult fresh = Parse({"--record", "new.pcap", "--open", "old.pcap", "--watch-keep=old.pcap"});
    EXPECT_TRUE(CommandLineCheckFiles(fresh, exists));
    EXPECT_EQ(fresh.outcome, CMDLINE_RUN);
    EXPECT_EQ(fresh.options.watchKeepFolder, "old.pcap");
    EXPECT_EQ(Parse({"--watch-keep", "--connect"}).outcome, CMDLINE_ERROR) << "an option is no folder";
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--record", "old.pcap"}, "--record old.pcap exists; a recording never replaces a file (choose a new name)"},
        {{"--record", "x.pcap", "--open", "x.pcap"}, "--record x.pcap is the file --open replays; record to a new file"},
        {{"--watch-keep", "C:\\nowhere"}, "--watch-keep C:\\nowhere is not a folder that exists"},
    };
    for (const auto& c : cases) {
        CommandLineResult r = Parse(c.args);
        EXPECT_FALSE(CommandLineCheckFiles(r, exists)) << c.message;
        EXPECT_EQ(r.outcome, CMDLINE_ERROR);
        EXPECT_EQ(r.message, c.message);
    }
}

namespace {

TEST(CommandLine, TslOutRepeatsTslInOnceAndBadFormsAreNamed) {
    const CommandLineResult r = Parse({"--tsl-out", "5.0:udp:127.0.0.1:8900", "--tsl-out=3.1:tcp:hub:5727",
                                       "--tsl-in", "udp:127.0.0.1:8900", "--tsl-one-dmsg"});
    ASSERT_EQ(r.outcome, CMDLINE_RUN) << r.message;
    EXPECT_TRUE(r.options.tslOneMessage);
    EXPECT_FALSE(Parse({}).options.tslOneMessage);
    EXPECT_EQ(r.options.tslOut, (std::vector<std::string>{"5.0:udp:127.0.0.1:8900", "3.1:tcp:hub:5727"}));
    EXPECT_EQ(r.options.tslIn, "udp:127.0.0.1:8900");

    const CommandLineResult bad = Parse({"--tsl-out", "5.0:udp:hub", "--tsl-in", "udp:a:1", "--tsl-in", "udp:a:2",
                                         "--tsl-out", "udp:hub:1"});
    ASSERT_EQ(bad.outcome, CMDLINE_ERROR);
    EXPECT_EQ(bad.message,
              "bad value for --tsl-out: \"5.0:udp:hub\"\n--tsl-in given twice\n"
              "bad value for --tsl-out: \"udp:hub:1\"");
    EXPECT_TRUE(bad.options.tslOut.empty());
}

}  // namespace
