// tallydump --tsl-out and --tsl-in: the switcher's state decoded from --port
// (or a recording replayed at its pace) sent as TSL to each destination, and
// what a hub says on TSL compared with it, divergences as JSON lines.
#pragma once
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "tsl/tsl_net.h"

struct TallyStore;

struct TslToolOptions {
    std::vector<std::string> out;  // --tsl-out as given
    std::string in;                // --tsl-in as given
    bool oneMessage = false;       // --tsl-one-dmsg
    int64_t toleranceMs = 200;     // --tsl-tolerance-ms
    int64_t refreshMs = 1000;      // --tsl-refresh-ms
    int tcpGapMs = 0;              // --tsl-tcp-gap-ms
    std::vector<TslEndpoint> destinations;
    TslEndpoint listener;
};

// Parses the destinations and the listener; false with the option named.
bool TslToolCheck(TslToolOptions& o, std::string& error);

class TslLive {
public:
    explicit TslLive(const TslToolOptions& options);
    // Starts the senders and binds the listener ("listening on udp:ADDR:PORT"
    // on err, with the port when 0 was asked). False with the reason.
    bool Start(std::ostream& err, std::string& error);
    // From the receive loop, after every read and at least every 100 ms: a
    // change in the store goes out at once, the refresh when due; the hub's
    // packets are compared and events printed on out as JSON lines.
    void Update(TallyStore& store, int64_t nowMs, std::ostream& out, std::ostream& err);
    // Sends what is queued (up to flushMs), then the conformance lines and the
    // lag table on err.
    void Finish(int flushMs, std::ostream& out, std::ostream& err);
    bool Comparing() const { return check_ != nullptr; }

private:
    TslToolOptions options_;
    std::unique_ptr<TslOutputs> outputs_;
    std::unique_ptr<TslListener> listener_;
    std::unique_ptr<TslHubCheck> check_;
    std::unique_ptr<OnAirInputs> inputs_, last_;
    OnAirTally tally_;
    bool started_ = false;
    int64_t originMs_ = 0;
};

// The one the live monitor drives, if any (set by main before it starts).
TslLive* LiveTsl();
void LiveSetTsl(TslLive* tsl);

// Replays a recording (.pcap) at the pace it was recorded, through the
// receiver's store, driving tsl. 0 when done or interrupted, 2 when the file
// is not a recording.
int TslReplayRecording(const std::string& path, TslLive& tsl, std::ostream& out, std::ostream& err);
