// A TSL destination or listener as written on the command line and in the
// settings, and one output's packets over time: everything of "TSL out" but
// the socket. Portable.
//
//   destination  VERSION:TRANSPORT:HOST:PORT[:dle]   e.g. 5.0:udp:10.0.0.9:8900,
//                3.1:tcp:tally-hub:5727, 5.0:udp:[fd00::9]:8900:dle
//   listener     TRANSPORT:ADDR:PORT                  e.g. udp:0.0.0.0:8900
//                (port 0: any free one, said once bound)
// VERSION is 3.1 or 5.0; TRANSPORT udp or tcp. 5.0 over TCP is always DLE/STX
// framed; ":dle" asks for the framing over UDP too (some receivers want it).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tsl/tsl_map.h"

struct TslEndpoint {
    TslVersion version = TSL_V50;  // destinations only
    bool tcp = false;
    std::string host;              // without brackets
    uint16_t port = 0;
    bool dle = false;              // DLE/STX framing on the wire
    // TCP: a pause after each packet written, for receivers that take each
    // read as one packet (TCP keeps no boundaries; back-to-back packets
    // arrive in one read). 0: none. Not part of the written form.
    int gapMs = 0;
};

// False with one line saying what is wrong and what is accepted.
bool TslParseDestination(const std::string& text, TslEndpoint& out, std::string& error);
bool TslParseListener(const std::string& text, TslEndpoint& out, std::string& error);
// Back to the written form (parses to the same endpoint).
std::string TslDestinationText(const TslEndpoint& e);
std::string TslListenerText(const TslEndpoint& e);

// One destination's packets: what the switcher's state and the time call for
// (changes at once, every index again each refresh interval).
class TslOutput {
public:
    TslOutput(const TslEndpoint& destination, const TslMapConfig& map, int64_t refreshMs = 1000)
        : destination_(destination), map_(map), scheduler_(refreshMs) {}
    std::vector<std::vector<uint8_t>> Packets(const OnAirTally& tally, const OnAirInputs& inputs, int64_t nowMs);
    // When Packets must next be called even if the state stays the same.
    int64_t NextDueMs() const { return scheduler_.NextDueMs(); }
    // After a (re)connection everything is sent again.
    void Reconnected() { scheduler_.Reset(); }
    const TslEndpoint& Destination() const { return destination_; }

private:
    TslEndpoint destination_;
    TslMapConfig map_;
    TslRefreshScheduler scheduler_;
};
