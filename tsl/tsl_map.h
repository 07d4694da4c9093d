// The tally map: from the On Air derivation to one lamp per TSL display
// index, and back from a received lamp to a level. Portable, no sockets.
//
// The default map:
//   - display index = source number (+ index offset, default 0); the text is
//     the source's name (its nickname, then "SRC n", when it has none);
//   - ME 1-4 or all of them, the highest level winning as in the On Air view;
//   - 3.1: PGM on tally 1, PVW on tally 2, LAP on tally 3 (bits 0, 1, 2);
//   - 5.0: red for PGM, amber for LAP, green for PVW, on the left-hand, text
//     and right-hand tallies;
//   - brightness 3 (full), screen 0.
// Every part of it can be changed; a level switched off in the map is treated
// as if the switcher had not given it (the next lower enabled level shows).
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "onair/onair.h"
#include "tsl/tsl_codec.h"

struct TslMapConfig {
    int me = ONAIR_ALL_ME;     // 0..3, or ONAIR_ALL_ME
    int indexOffset = 0;       // display index = source + offset
    bool level[4] = {false, true, true, true};  // by OnAirLevel: PVW, LAP, PGM sent
    int bit31[4] = {-1, 1, 2, 0};   // by OnAirLevel: 3.1 tally bit 0..3, -1 none
    uint8_t colour50[4] = {TSL_OFF, TSL_GREEN, TSL_AMBER, TSL_RED};  // by OnAirLevel
    bool lh = true, txt = true, rh = true;  // 5.0 tallies that carry the colour
    uint8_t brightness = 3;
    uint16_t screen = 0;
    bool unicode = false;      // 5.0 text in UTF-16LE
    // 5.0: one DMSG per packet, for receivers that read only a packet's first
    // DMSG (some open implementations do); the layout allows many.
    bool oneMessagePerPacket = false;
};

struct TslLamp {
    uint16_t index = 0;
    int source = 0;
    OnAirLevel level = ONAIR_OFF;
    std::string text;
    bool operator==(const TslLamp& o) const {
        return index == o.index && source == o.source && level == o.level && text == o.text;
    }
};

// The level of a source under the map (enabled levels only, highest wins).
OnAirLevel TslMapLevel(const TslMapConfig& map, const OnAirTally& tally, int source);

// A lamp for every source that has a tile in the On Air view (a name, or a
// place in a record), ascending. Sources whose index would fall outside
// 0..maxIndex (126 for 3.1, 65534 for 5.0) are left out and counted in
// *skipped when given.
std::vector<TslLamp> TslMapLamps(const TslMapConfig& map, const OnAirTally& tally, const OnAirInputs& inputs,
                                 TslVersion version, int* skipped = nullptr);

// A lamp as the message of either version.
TslMessage TslMapMessage(const TslMapConfig& map, const TslLamp& lamp);

// Read backwards: the level a received message shows under the map. 3.1: the
// highest enabled level whose bit is set. 5.0: the highest enabled level
// whose colour is on any of the tallies the map writes.
OnAirLevel TslMapLevelOf(const TslMapConfig& map, TslVersion version, const TslMessage& m);

// The wire packets for a set of lamps: 18-byte 3.1 packets, one each, or 5.0
// packets with as many DMSGs as fit in 2048 bytes. With dle, each is wrapped
// in DLE/STX (always for 5.0 over TCP; over UDP only when asked).
std::vector<std::vector<uint8_t>> TslMapPackets(const TslMapConfig& map, TslVersion version,
                                                const std::vector<TslLamp>& lamps, bool dle);

// Which lamps go out now. A change goes at once; once any index in use has
// gone refreshMs without being sent, every index in use is sent again, all
// together so that they share packets (none waits longer than refreshMs). An index no longer in use is sent off
// once and then forgotten. Time is given by the caller (ms, any origin).
class TslRefreshScheduler {
public:
    explicit TslRefreshScheduler(int64_t refreshMs = 1000) : refreshMs_(refreshMs) {}
    std::vector<TslLamp> Due(const std::vector<TslLamp>& lamps, int64_t nowMs);
    // When Due must next be called even if nothing changes (INT64_MAX: never).
    int64_t NextDueMs() const;
    void SetRefreshMs(int64_t ms) { refreshMs_ = ms; }
    // Forget everything sent (after a reconnect: all is sent again).
    void Reset() { sent_.clear(); }

private:
    struct Sent {
        TslLamp lamp;
        int64_t atMs;
    };
    int64_t refreshMs_;
    std::map<uint16_t, Sent> sent_;
};
