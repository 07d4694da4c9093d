// Destinations, listeners and one output's packets; see tsl_output.h.
#include "tsl/tsl_output.h"

#include <cstdlib>

namespace {

// "HOST:PORT" or "[V6]:PORT"; what follows the port is left in rest.
bool HostPort(const std::string& text, TslEndpoint& e, std::string& rest, std::string& error, bool anyPort = false) {
    size_t colon;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "a bracketed address needs ]:PORT after it";
            return false;
        }
        e.host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.find(':');
        if (colon == std::string::npos) {
            error = "no :PORT after the host";
            return false;
        }
        e.host = text.substr(0, colon);
    }
    if (e.host.empty()) {
        error = "empty host";
        return false;
    }
    const size_t end = text.find(':', colon + 1);
    const std::string port = text.substr(colon + 1, end == std::string::npos ? std::string::npos : end - colon - 1);
    char* stop = nullptr;
    const long value = port.empty() ? 0 : std::strtol(port.c_str(), &stop, 10);
    if (port.empty() || *stop || value < (anyPort ? 0 : 1) || value > 65535) {
        error = "port '" + port + "' is not " + (anyPort ? "0" : "1") + "..65535";
        return false;
    }
    e.port = static_cast<uint16_t>(value);
    rest = end == std::string::npos ? "" : text.substr(end + 1);
    return true;
}

bool Transport(const std::string& text, size_t& at, TslEndpoint& e, std::string& error) {
    const std::string t = text.substr(at, 4);
    if (t != "udp:" && t != "tcp:") {
        error = "the transport must be udp or tcp";
        return false;
    }
    e.tcp = t == "tcp:";
    at += 4;
    return true;
}

std::string HostText(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

bool TslParseDestination(const std::string& text, TslEndpoint& out, std::string& error) {
    TslEndpoint e;
    const std::string version = text.substr(0, 4);
    if (version != "3.1:" && version != "5.0:") {
        error = text + ": starts with 3.1: or 5.0: (as in 5.0:udp:HOST:PORT)";
        return false;
    }
    e.version = version == "3.1:" ? TSL_V31 : TSL_V50;
    size_t at = 4;
    std::string rest;
    if (!Transport(text, at, e, error) || !HostPort(text.substr(at), e, rest, error)) {
        error = text + ": " + error;
        return false;
    }
    if (rest == "dle") {
        if (e.version != TSL_V50) {
            error = text + ": DLE/STX framing is for 5.0 only";
            return false;
        }
        e.dle = true;
    } else if (!rest.empty()) {
        error = text + ": unknown option '" + rest + "' (only :dle)";
        return false;
    }
    if (e.tcp && e.version == TSL_V50) e.dle = true;
    out = e;
    return true;
}

bool TslParseListener(const std::string& text, TslEndpoint& out, std::string& error) {
    TslEndpoint e;
    error.clear();
    size_t at = 0;
    std::string rest;
    if (Transport(text, at, e, error) && HostPort(text.substr(at), e, rest, error, true) && !rest.empty())
        error = "nothing may follow the port";
    if (!error.empty()) {
        error = text + ": " + error + " (as in udp:ADDR:PORT)";
        return false;
    }
    out = e;
    return true;
}

std::string TslDestinationText(const TslEndpoint& e) {
    std::string s = std::string(e.version == TSL_V31 ? "3.1:" : "5.0:") + (e.tcp ? "tcp:" : "udp:") +
                    HostText(e.host) + ":" + std::to_string(e.port);
    if (e.dle && !e.tcp) s += ":dle";
    return s;
}

std::string TslListenerText(const TslEndpoint& e) {
    return std::string(e.tcp ? "tcp:" : "udp:") + HostText(e.host) + ":" + std::to_string(e.port);
}

std::vector<std::vector<uint8_t>> TslOutput::Packets(const OnAirTally& tally, const OnAirInputs& inputs,
                                                     int64_t nowMs) {
    const std::vector<TslLamp> lamps = TslMapLamps(map_, tally, inputs, destination_.version);
    const std::vector<TslLamp> due = scheduler_.Due(lamps, nowMs);
    if (due.empty()) return {};
    return TslMapPackets(map_, destination_.version, due, destination_.dle);
}
