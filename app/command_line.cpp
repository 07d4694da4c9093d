#include "app/command_line.h"

#include <cctype>

#include "mqtt/topics.h"
#include "net/socket.h"
#include "serial/port_list.h"
#include "tsl/tsl_output.h"

namespace {

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool ParseBaud(const std::string& text, uint32_t& baud) {
    if (text.empty() || text.size() > 6) return false;
    uint32_t value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    for (long long rate : PORT_BAUD_RATES)
        if (rate == value) {
            baud = value;
            return true;
        }
    return false;
}

// Applies one option's value; false when the value is not one it takes.
bool TakeValue(const std::string& name, const std::string& value, CommandLineOptions& o) {
    if (name == "--port") {
        o.portNumber = PortNumberFromName(value);
        return o.hasPort = o.portNumber != 0;
    }
    if (name == "--baud") return o.hasBaud = ParseBaud(value, o.baudRate);
    if (name == "--data-bits") {
        if (value.size() != 1 || value[0] < '5' || value[0] > '8') return false;
        o.dataBits = value[0] - '0';
        return o.hasDataBits = true;
    }
    if (name == "--parity") {
        static const char LETTERS[] = "NOEMS";  // in the order of the parity codes
        const std::string v = Upper(value);
        for (int code = 0; code < 5; ++code)
            if (v.size() == 1 && v[0] == LETTERS[code]) {
                o.parity = code;
                return o.hasParity = true;
            }
        return false;
    }
    if (name == "--stop-bits") {
        if (value == "1") o.stopBits = 0;
        else if (value == "1.5") o.stopBits = 1;
        else if (value == "2") o.stopBits = 2;
        else return false;
        return o.hasStopBits = true;
    }
    if (name == "--flow") {
        const std::string v = Upper(value);
        if (v == "NONE") o.flow = CMDLINE_FLOW_NONE;
        else if (v == "RTSCTS") o.flow = CMDLINE_FLOW_RTSCTS;
        else if (v == "DTRDSR") o.flow = CMDLINE_FLOW_DTRDSR;
        else return false;
        return o.hasFlow = true;
    }
    if (name == "--mqtt") {
        std::string host;
        uint16_t port = 0;
        if (value.empty() || value[0] == '-' || !NetSplitHostPort(value, 1883, host, port)) return false;
        o.mqttBroker = value;
        return true;
    }
    if (name == "--mqtt-name") {
        // One topic level: what MqttTopicLevel leaves as it is.
        if (value.empty() || MqttTopicLevel(value) != value) return false;
        o.mqttName = value;
        return true;
    }
    if (name == "--tsl-out" || name == "--tsl-in") {
        TslEndpoint e;
        std::string error;
        if (name == "--tsl-out") {
            if (!TslParseDestination(value, e, error)) return false;
            o.tslOut.push_back(value);
        } else {
            if (!TslParseListener(value, e, error)) return false;
            o.tslIn = value;
        }
        return true;
    }
    // A file name; one that looks like an option is a missing value.
    std::string* file = name == "--log"           ? &o.logFile
                        : name == "--record"      ? &o.recordFile
                        : name == "--watch-keep" ? &o.watchKeepFolder
                                                  : &o.openFile;
    if (value.empty() || value[0] == '-') return false;
    *file = value;
    return true;
}

const char* const VALUE_OPTIONS[] = {"--port", "--baud",      "--data-bits",  "--parity",  "--stop-bits",
                                     "--flow", "--log",       "--record",     "--open",    "--mqtt",
                                     "--mqtt-name", "--watch-keep", "--tsl-out", "--tsl-in"};

bool TakesValue(const std::string& name) {
    for (const char* option : VALUE_OPTIONS)
        if (name == option) return true;
    return false;
}

}  // namespace

std::string CommandLineUsage() {
    // Two columns: the option and its argument, then what it does.
    static const char* const OPTIONS[][2] = {
        {"--port COMn", "serial port, COM1 to COM256"},
        {"--baud N", "110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200,"},
        {"", "38400, 57600, 115200 or 256000"},
        {"--data-bits 5-8", "data bits per character"},
        {"--parity N|O|E|M|S", "none, odd, even, mark or space"},
        {"--stop-bits 1|1.5|2", "stop bits"},
        {"--flow none|rtscts|dtrdsr", "hardware flow control"},
        {"--connect", "connect at start"},
        {"--log FILE", "write the event history to FILE"},
        {"--record FILE", "record the received bytes to FILE"},
        {"--open FILE", "open a recording"},
        {"--watch-keep DIR", "keep a recording around every alarm in DIR"},
        {"--mqtt HOST[:PORT]", "publish the link and the tally to this MQTT broker"},
        {"", "(port 1883 when not given)"},
        {"--mqtt-name NAME", "the link's name under qorvex/ (letters, digits, - _ .);"},
        {"", "the computer's name and the port when not given"},
        {"--tsl-out DEST", "send the tally as TSL (repeatable): 5.0:udp:HOST:PORT,"},
        {"", "5.0:tcp:HOST:PORT, 3.1:udp:..., 3.1:tcp:..., 5.0:udp:...:dle"},
        {"--tsl-in udp:ADDR:PORT", "compare a hub's TSL (or tcp:ADDR:PORT) with the feed"},
        {"--tsl-one-dmsg", "one display message per 5.0 packet (for receivers"},
        {"", "that read only the first)"},
        {"--help", "show this list"},
    };
    std::string text = "Usage: qorvex.exe [options]\n";
    for (const auto& option : OPTIONS) {
        std::string line = std::string("  ") + option[0];
        line.resize(30, ' ');
        text += line + option[1] + "\n";
    }
    return text + "Options apply to this run only; the saved settings are not changed.\n";
}

CommandLineResult CommandLineParse(const std::vector<std::string>& args) {
    CommandLineResult result;
    for (const std::string& arg : args)
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            result.outcome = CMDLINE_HELP;
            return result;
        }
    std::vector<std::string>& faults = result.faults;
    std::vector<std::string> seen;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string name = arg, value;
        bool inlineValue = false;
        const size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            inlineValue = true;
        }
        const bool flag = name == "--connect" || name == "--tsl-one-dmsg";
        const bool known = flag || TakesValue(name);
        if (!known) {
            faults.push_back(arg.compare(0, 1, "-") == 0 ? "unknown option " + name : "unexpected argument " + arg);
            continue;
        }
        bool twice = false;
        for (const std::string& earlier : seen) twice = twice || earlier == name;
        if (twice && name != "--tsl-out") faults.push_back(name + " given twice");
        seen.push_back(name);
        if (flag) {
            if (inlineValue) faults.push_back(name + " takes no value");
            else (name == "--connect" ? result.options.connect : result.options.tslOneMessage) = true;
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                faults.push_back(name + " needs a value");
                continue;
            }
            value = args[++i];
        }
        // A repeated option's value is checked too, but the first one stays.
        CommandLineOptions ignored;
        if (!TakeValue(name, value, twice && name != "--tsl-out" ? ignored : result.options))
            faults.push_back("bad value for " + name + ": \"" + value + "\"");
    }
    if (!result.options.mqttName.empty() && result.options.mqttBroker.empty())
        faults.push_back("--mqtt-name needs --mqtt HOST[:PORT]");
    if (!faults.empty()) {
        result.outcome = CMDLINE_ERROR;
        for (const std::string& fault : faults) result.message += (result.message.empty() ? "" : "\n") + fault;
        result.options = CommandLineOptions();
    }
    return result;
}

PortSettings CommandLineApply(const CommandLineOptions& o, const PortSettings& saved) {
    PortSettings c = saved;
    if (o.hasPort) c.portNumber = o.portNumber;
    if (o.hasBaud) c.baudRate = static_cast<int>(o.baudRate);
    if (o.hasDataBits) c.dataBits = o.dataBits;
    if (o.hasParity) c.parity = o.parity;
    if (o.hasStopBits) c.stopBits = o.stopBits;
    if (o.hasFlow) {
        c.flowFlags &= ~(FLOW_DTRDSR | FLOW_RTSCTS);
        if (o.flow == CMDLINE_FLOW_RTSCTS) c.flowFlags |= FLOW_RTSCTS;
        if (o.flow == CMDLINE_FLOW_DTRDSR) c.flowFlags |= FLOW_DTRDSR;
    }
    return c;
}

MqttConfig CommandLineApplyMqtt(const CommandLineOptions& o, const MqttConfig& saved) {
    MqttConfig c = saved;
    std::string host;
    uint16_t port = 0;
    if (o.mqttBroker.empty() || !NetSplitHostPort(o.mqttBroker, 1883, host, port)) return c;
    c.enabled = 1;
    c.host = host;
    c.port = port;
    if (!o.mqttName.empty()) c.name = o.mqttName;
    return c;
}

TslSettings CommandLineApplyTsl(const CommandLineOptions& o, const TslSettings& saved) {
    TslSettings s = saved;
    std::string error;
    if (!o.tslOut.empty()) {
        s.outputs.clear();
        for (const std::string& text : o.tslOut) {
            TslDestinationConfig d;
            if (TslParseDestination(text, d.endpoint, error)) s.outputs.push_back(d);
        }
    }
    TslEndpoint at;
    if (!o.tslIn.empty() && TslParseListener(o.tslIn, at, error)) {
        s.inEnabled = 1;
        s.listener = o.tslIn;
    }
    return s;
}

bool CommandLineCheckFiles(CommandLineResult& result, bool (*exists)(const std::string& path)) {
    if (result.outcome != CMDLINE_RUN) return false;
    const CommandLineOptions& o = result.options;
    std::string fault;
    // A recording is evidence: it never replaces a file, least of all the one
    // about to be replayed.
    if (!o.recordFile.empty() && o.recordFile == o.openFile)
        fault = "--record " + o.recordFile + " is the file --open replays; record to a new file";
    else if (!o.recordFile.empty() && exists(o.recordFile))
        fault = "--record " + o.recordFile + " exists; a recording never replaces a file (choose a new name)";
    else if (!o.watchKeepFolder.empty() && !exists(o.watchKeepFolder))
        fault = "--watch-keep " + o.watchKeepFolder + " is not a folder that exists";
    if (fault.empty()) return true;
    result.outcome = CMDLINE_ERROR;
    result.message = fault;
    return false;
}
