// The hub check: what a tally hub says on TSL, compared lamp by lamp with
// what the switcher's feed implies, and how well each sender keeps to the
// protocol. Portable and driven by times the caller gives (ms, any origin),
// so that tests and replays run without a clock.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tsl/tsl_codec.h"
#include "tsl/tsl_map.h"

struct TslCompareConfig {
    int64_t toleranceMs = 200;  // a lamp may differ this long before it counts
    int64_t staleMs = 3000;     // a lit lamp not heard again for this long is stale
};

enum TslCompareEventKind : uint8_t {
    TSL_DIVERGED,     // hub and switcher have differed for longer than the tolerance
    TSL_AGREED,       // a reported divergence is over; ms is how long it lasted
    TSL_STALE,        // the hub has left a lit lamp without a refresh
};

struct TslCompareEvent {
    TslCompareEventKind kind;
    int64_t tMs;          // when the event was found
    uint16_t index;
    int source;           // -1 when the switcher side has no source for the index
    OnAirLevel switcher, hub;
    int64_t ms;           // diverged: so far; agreed: in all; stale: since last heard
};

struct TslLagStats {
    size_t count = 0;
    int64_t p50 = 0, p99 = 0, max = 0;  // nearest-rank percentiles, ms
};

// "off", "PGM", "LAP" or "PVW".
const char* TslLevelName(OnAirLevel level);

// An event in words for the history and the log, e.g. "index 5 (source 5):
// switcher PGM, hub off, for 230 ms".
std::string TslEventText(const TslCompareEvent& e);

class TslComparator {
public:
    explicit TslComparator(TslCompareConfig config = TslCompareConfig()) : config_(config) {}
    // The switcher's lamps now (from TslMapLamps). An index given before and
    // missing now is off.
    void SetSwitcher(const std::vector<TslLamp>& lamps, int64_t nowMs);
    // The hub said this level for an index (0xFFFF: every index known).
    void HubHeard(uint16_t index, OnAirLevel level, int64_t nowMs);
    // Divergences, their ends and stale lamps found by nowMs, appended to out.
    void Poll(int64_t nowMs, std::vector<TslCompareEvent>& out);

    TslLagStats Lag(uint16_t index) const;
    std::vector<uint16_t> Indices() const;
    // Indices in a reported divergence now.
    int Differing() const;
    // The hub's lamp for an index, ONAIR_OFF when never heard.
    OnAirLevel HubLevel(uint16_t index) const;
    bool HubHeardOf(uint16_t index) const;
    // Indices above maxIndex are not compared (no event, not counted): the
    // hub's protocol cannot carry them. A divergence already reported there
    // is forgotten without an "agreed" event. Default: every index.
    void SetIndexLimit(int maxIndex) { indexLimit_ = maxIndex; }
    // Every difference running now counts from nowMs (the hub is heard for
    // the first time: what it had not said before it spoke is no divergence).
    void RestartClocks(int64_t nowMs);
    int IndexLimit() const { return indexLimit_; }

private:
    struct Index {
        int source = -1;
        OnAirLevel switcher = ONAIR_OFF, hub = ONAIR_OFF;
        bool hubHeard = false;
        int64_t hubLastMs = 0;
        int64_t mismatchSinceMs = -1;
        int64_t divergedFromMs = 0, divergedMs = 0;  // start and, once over, length
        bool diverged = false, stale = false;
        int64_t lagFromMs = -1;    // switcher change still awaiting the hub
        OnAirLevel lagLevel = ONAIR_OFF;
        std::vector<int64_t> lags;
    };
    void Recheck(Index& x, int64_t nowMs);
    void SetHub(Index& x, OnAirLevel level, int64_t nowMs);
    TslCompareConfig config_;
    std::map<uint16_t, Index> indices_;
    int indexLimit_ = 0xFFFF;
};

// What one sender did on the wire, for its conformance line.
struct TslIndexHeard {
    int64_t lastMs = 0;
    int64_t lastIntervalMs = -1, maxIntervalMs = -1;
    uint64_t count = 0;
};

struct TslSenderConformance {
    std::string sender;          // "ADDR:PORT" as the socket layer names it
    uint64_t packets = 0, malformed = 0;
    uint64_t bit7 = 0;           // 3.1 control byte with bit 7 set
    uint64_t pbcMismatch = 0;    // 5.0 PBC differing from the datagram
    uint64_t dleOnUdp = 0;       // DLE/STX framing inside UDP datagrams
    uint64_t textOutOfRange = 0; // messages with a character outside the allowed range
    uint64_t v31 = 0, v50 = 0;   // packets of each version
    int64_t lastHeardMs = -1;
    std::map<uint16_t, TslIndexHeard> indices;

    // One packet from this sender; udp tells whether it came in a datagram.
    void Note(const TslPacket& p, bool udp, int64_t nowMs);
    // "127.0.0.1:5000: 40 packets, 0 malformed, 3.1 bit 7: 0, PBC mismatch: 0,
    //  DLE/STX on UDP: 0, text out of range: 0, 12 indices, refresh max 1001 ms,
    //  last heard 20 ms ago"; a sender heard in 3.1 only adds that indices
    //  above 126 are not compared for it.
    std::string Line(int64_t nowMs) const;
    // The highest index this sender's protocol can carry: 126 for a 3.1-only
    // sender, 65534 otherwise.
    int MaxIndex() const;
};
