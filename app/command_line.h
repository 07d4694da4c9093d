// qorvex.exe's command line, free of any platform header: the options that
// override the saved settings for one run, --connect, and the files handed to
// the event log, recorder and player. WinMain splits the line into UTF-8
// arguments and acts on the result.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "config/mqtt_config.h"
#include "config/session_config.h"
#include "config/tsl_config.h"

enum CommandLineFlow { CMDLINE_FLOW_NONE, CMDLINE_FLOW_RTSCTS, CMDLINE_FLOW_DTRDSR };

// Every value is set only when its option was given (the `has...` flags).
// Parity and stop bits carry the codes the session stores (the Win32 ones:
// parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stop bits 0 one, 1 one and
// a half, 2 two).
struct CommandLineOptions {
    bool hasPort = false;
    int portNumber = 0;  // 1..256
    bool hasBaud = false;
    uint32_t baudRate = 0;
    bool hasDataBits = false;
    int dataBits = 0;
    bool hasParity = false;
    int parity = 0;
    bool hasStopBits = false;
    int stopBits = 0;
    bool hasFlow = false;
    CommandLineFlow flow = CMDLINE_FLOW_NONE;
    bool connect = false;
    // Empty when not given.
    std::string logFile;
    std::string recordFile;
    std::string openFile;
    std::string watchKeepFolder;  // --watch-keep: recordings kept around alarms, this run
    // --mqtt HOST[:PORT] and --mqtt-name NAME publish this run to that broker
    // (the saved user and password still apply); empty when not given.
    std::string mqttBroker;
    std::string mqttName;
    // TSL: --tsl-out (repeatable) and --tsl-in, as written (each one checked).
    std::vector<std::string> tslOut;
    std::string tslIn;
    bool tslOneMessage = false;  // --tsl-one-dmsg: one display message per 5.0 packet
};

enum CommandLineOutcome {
    CMDLINE_RUN,    // start with the options
    CMDLINE_HELP,   // show the usage and exit 0
    CMDLINE_ERROR,  // show `message` (which names the fault) with the usage and exit 2
};

struct CommandLineResult {
    CommandLineOutcome outcome = CMDLINE_RUN;
    // CMDLINE_ERROR: every fault of the line, each naming its option or
    // value, in the order met; `message` is them one per line, so that one
    // box names them all.
    std::vector<std::string> faults;
    std::string message;
    CommandLineOptions options;
};

constexpr int CMDLINE_EXIT_HELP = 0;
constexpr int CMDLINE_EXIT_ERROR = 2;

// The arguments after the program name. Options take their value as the next
// argument or after '=' (--baud=9600); each option may be given once. --help
// anywhere wins; otherwise parsing goes on past a fault to find the others.
CommandLineResult CommandLineParse(const std::vector<std::string>& args);

// The list of options, one per line, as --help and errors show it.
std::string CommandLineUsage();

// The saved settings with the options laid over them, for this run: flow
// "none" clears both hardware flow options, "rtscts" and "dtrdsr" set one
// and clear the other; the XON/XOFF option is left as it was.
PortSettings CommandLineApply(const CommandLineOptions& options, const PortSettings& saved);

// The saved MQTT settings with --mqtt and --mqtt-name laid over them: a
// broker given enables publishing for this run, to that host and port; the
// saved name, user and password stay unless --mqtt-name names the link.
MqttConfig CommandLineApplyMqtt(const CommandLineOptions& options, const MqttConfig& saved);

// The saved TSL settings with --tsl-out and --tsl-in laid over them, for
// this run: destinations given replace the saved list (each with the default
// map, enabled); a listener given turns the comparison on from that address.
// The saved refresh interval and tolerance stay.
TslSettings CommandLineApplyTsl(const CommandLineOptions& options, const TslSettings& saved);

// The files a parsed command line names, checked against the disk through
// `exists`: --record never names a file that exists or the file --open
// replays; --watch-keep names a folder that exists. On a fault the result becomes CMDLINE_ERROR naming it; false then.
bool CommandLineCheckFiles(CommandLineResult& result, bool (*exists)(const std::string& path));
