// tallydump's TSL outputs and hub check; see tsl_live.h.
#include "tools/tallydump/tsl_live.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <thread>

#include "recording/recording.h"
#include "tally/store.h"
#include "tools/common/interrupt.h"
#include "tools/tallydump/dump.h"

namespace {
TslLive* liveTsl = nullptr;
}  // namespace

TslLive* LiveTsl() { return liveTsl; }
void LiveSetTsl(TslLive* tsl) { liveTsl = tsl; }

bool TslToolCheck(TslToolOptions& o, std::string& error) {
    o.destinations.clear();
    for (const std::string& text : o.out) {
        TslEndpoint e;
        if (!TslParseDestination(text, e, error)) {
            error = "--tsl-out " + error;
            return false;
        }
        if (e.tcp) e.gapMs = o.tcpGapMs;
        o.destinations.push_back(e);
    }
    if (!o.in.empty() && !TslParseListener(o.in, o.listener, error)) {
        error = "--tsl-in " + error;
        return false;
    }
    if (o.toleranceMs < 0 || o.refreshMs < 100 || o.tcpGapMs < 0 || o.tcpGapMs > 100) {
        error = "--tsl-tolerance-ms must be 0 or more, --tsl-refresh-ms 100 or more and --tsl-tcp-gap-ms 0 to 100";
        return false;
    }
    return true;
}

TslLive::TslLive(const TslToolOptions& options)
    : options_(options), inputs_(new OnAirInputs()), last_(new OnAirInputs()) {}

bool TslLive::Start(std::ostream& err, std::string& error) {
    TslMapConfig map;
    map.oneMessagePerPacket = options_.oneMessage;
    originMs_ = TslNowMs();
    if (!options_.in.empty()) {
        listener_.reset(new TslListener());
        if (!listener_->Start(options_.listener, error)) return false;
        TslEndpoint bound = options_.listener;
        bound.port = listener_->Port();
        err << "tallydump: listening for TSL on " << TslListenerText(bound) << "\n";
        TslCompareConfig config;
        config.toleranceMs = options_.toleranceMs;
        check_.reset(new TslHubCheck(map, config));
    }
    if (!options_.destinations.empty()) outputs_.reset(new TslOutputs(options_.destinations, map, options_.refreshMs));
    return true;
}

void TslLive::Update(TallyStore& store, int64_t nowMs, std::ostream& out, std::ostream& err) {
    OnAirReadStore(store, *inputs_);
    const bool changed = !started_ || !OnAirInputsEqual(*inputs_, *last_);
    // The hub's packets first: they were stamped before now.
    if (check_) check_->Heard(listener_->Take());
    if (changed) {
        started_ = true;
        *last_ = *inputs_;
        OnAirDerive(inputs_->me, inputs_->out, tally_);
        if (check_) check_->Switcher(tally_, *inputs_, nowMs);
    }
    if (outputs_) {
        if (changed || nowMs >= outputs_->NextDueMs()) outputs_->Update(tally_, *inputs_, nowMs);
        for (const std::string& line : outputs_->News()) err << "tallydump: " << line << "\n";
    }
    if (check_) {
        std::vector<TslCompareEvent> events;
        check_->Poll(nowMs, events);
        for (const TslCompareEvent& e : events) out << TslEventJson(e, originMs_) << "\n";
        if (!events.empty()) out.flush();
    }
}

void TslLive::Finish(int flushMs, std::ostream& out, std::ostream& err) {
    (void)out;
    if (outputs_) {
        outputs_->Stop(flushMs);
        for (const std::string& line : outputs_->News()) err << "tallydump: " << line << "\n";
        for (size_t i = 0; i < outputs_->Count(); ++i) {
            const TslSender& s = outputs_->Sender(i);
            err << "tallydump: TSL out " << TslDestinationText(s.Destination()) << ": " << s.PacketsSent()
                << " packets sent, " << s.PacketsDropped() << " dropped\n";
        }
    }
    if (!check_) return;
    listener_->Stop();
    const int64_t now = TslNowMs();
    for (const auto& entry : check_->Senders()) err << "tallydump: TSL in " << entry.second.Line(now) << "\n";
    const TslComparator& c = check_->Comparator();
    err << "index  changes  lag p50 ms  p99 ms  max ms\n";
    char line[96];
    for (uint16_t index : c.Indices()) {
        const TslLagStats s = c.Lag(index);
        if (!s.count) continue;
        std::snprintf(line, sizeof line, "%5u  %7zu  %10lld  %6lld  %6lld\n", index, s.count,
                      static_cast<long long>(s.p50), static_cast<long long>(s.p99), static_cast<long long>(s.max));
        err << line;
    }
    err << "tallydump: " << check_->StateText() << "\n";
}

int TslReplayRecording(const std::string& path, TslLive& tsl, std::ostream& out, std::ostream& err) {
    FILE* file = RecordingOpenPath(path.c_str(), "rb");
    if (!file) {
        err << "tallydump: cannot open " << path << "\n";
        return 2;
    }
    RecordingReader reader;
    if (!RecordingBegin(reader, file)) {
        err << "tallydump: " << path << ": " << reader.error << " (--tsl-out replays a recording, .pcap)\n";
        std::fclose(file);
        return 2;
    }
    InterruptInstall();
    DumpSession session;
    DumpSessionInit(session, nullptr);
    const int64_t startMs = TslNowMs();
    uint64_t firstUs = 0;
    bool first = true;
    RecordingRecord record;
    RecordingReadResult result;
    while (!InterruptSignal() && (result = RecordingNext(reader, record)) == RECORDING_RECORD) {
        if (!RecordCarriesStream(record.kind)) continue;
        if (first) firstUs = record.timeUs;
        first = false;
        // Wait for the record's moment, keeping the refresh going meanwhile.
        const int64_t dueMs = startMs + static_cast<int64_t>((record.timeUs - firstUs) / 1000);
        for (int64_t now = TslNowMs(); now < dueMs && !InterruptSignal(); now = TslNowMs()) {
            tsl.Update(*session.store, now, out, err);
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(dueMs - now, 50)));
        }
        DumpFeed(session, record.bytes, record.length);
        tsl.Update(*session.store, TslNowMs(), out, err);
    }
    std::fclose(file);
    if (!first && result == RECORDING_TRUNCATED) err << "tallydump: " << path << ": " << reader.error << "\n";
    return 0;
}
