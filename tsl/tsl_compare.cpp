// The hub check and the per-sender conformance counts; see tsl_compare.h.
#include "tsl/tsl_compare.h"

#include <algorithm>

namespace {

// Samples kept per index: enough for a long session's percentiles, bounded.
constexpr size_t MAX_LAG_SAMPLES = 10000;

int64_t NearestRank(const std::vector<int64_t>& sorted, int percent) {
    size_t rank = (sorted.size() * static_cast<size_t>(percent) + 99) / 100;
    if (rank < 1) rank = 1;
    return sorted[rank - 1];
}

}  // namespace

const char* TslLevelName(OnAirLevel level) {
    switch (level) {
    case ONAIR_PROGRAM: return "PGM";
    case ONAIR_LOOKAHEAD: return "LAP";
    case ONAIR_PREVIEW: return "PVW";
    default: return "off";
    }
}

std::string TslEventText(const TslCompareEvent& e) {
    std::string s = "index " + std::to_string(e.index) +
                    (e.source < 0 ? std::string(" (no source)") : " (source " + std::to_string(e.source) + ")") + ": ";
    switch (e.kind) {
    case TSL_DIVERGED:
        s += std::string("switcher ") + TslLevelName(e.switcher) + ", hub " + TslLevelName(e.hub) + ", for " +
             std::to_string(e.ms) + " ms";
        break;
    case TSL_AGREED:
        s += std::string("hub agrees again (") + TslLevelName(e.hub) + ") after " + std::to_string(e.ms) + " ms";
        break;
    case TSL_STALE:
        s += std::string("hub lamp ") + TslLevelName(e.hub) + " not refreshed for " + std::to_string(e.ms) + " ms";
        break;
    }
    return s;
}

void TslComparator::Recheck(Index& x, int64_t nowMs) {
    if (x.switcher != x.hub) {
        if (x.mismatchSinceMs < 0) x.mismatchSinceMs = nowMs;
    } else {
        // A reported divergence ends here; Poll says so with its length.
        if (x.diverged && x.mismatchSinceMs >= 0) x.divergedMs = nowMs - x.divergedFromMs;
        x.mismatchSinceMs = -1;
    }
}

void TslComparator::SetSwitcher(const std::vector<TslLamp>& lamps, int64_t nowMs) {
    std::map<uint16_t, bool> given;
    auto apply = [&](Index& x, OnAirLevel level) {
        if (level == x.switcher) return;
        x.switcher = level;
        // The lag runs from this change until the hub shows the same.
        if (x.hub != level) {
            x.lagFromMs = nowMs;
            x.lagLevel = level;
        } else {
            x.lagFromMs = -1;
        }
        Recheck(x, nowMs);
    };
    for (const TslLamp& lamp : lamps) {
        given[lamp.index] = true;
        Index& x = indices_[lamp.index];
        x.source = lamp.source;
        apply(x, lamp.level);
    }
    for (auto& entry : indices_)
        if (!given.count(entry.first)) apply(entry.second, ONAIR_OFF);
}

void TslComparator::SetHub(Index& x, OnAirLevel level, int64_t nowMs) {
    x.hubHeard = true;
    x.hubLastMs = nowMs;
    x.stale = false;
    if (level == x.hub) return;
    x.hub = level;
    if (x.lagFromMs >= 0 && level == x.lagLevel) {
        if (x.lags.size() >= MAX_LAG_SAMPLES) x.lags.erase(x.lags.begin());
        x.lags.push_back(nowMs - x.lagFromMs);
        x.lagFromMs = -1;
    }
    Recheck(x, nowMs);
}

void TslComparator::HubHeard(uint16_t index, OnAirLevel level, int64_t nowMs) {
    if (index == TSL50_BROADCAST) {
        for (auto& entry : indices_) SetHub(entry.second, level, nowMs);
        return;
    }
    SetHub(indices_[index], level, nowMs);
}

void TslComparator::Poll(int64_t nowMs, std::vector<TslCompareEvent>& out) {
    for (auto& entry : indices_) {
        Index& x = entry.second;
        if (entry.first > indexLimit_) {
            x.diverged = false;
            continue;
        }
        if (x.diverged && x.mismatchSinceMs < 0) {
            x.diverged = false;
            out.push_back({TSL_AGREED, nowMs, entry.first, x.source, x.switcher, x.hub, x.divergedMs});
        }
        if (!x.diverged && x.mismatchSinceMs >= 0 && nowMs - x.mismatchSinceMs > config_.toleranceMs) {
            x.diverged = true;
            x.divergedFromMs = x.mismatchSinceMs;
            out.push_back({TSL_DIVERGED, nowMs, entry.first, x.source, x.switcher, x.hub, nowMs - x.mismatchSinceMs});
        }
        if (!x.stale && x.hubHeard && x.hub != ONAIR_OFF && nowMs - x.hubLastMs >= config_.staleMs) {
            x.stale = true;
            out.push_back({TSL_STALE, nowMs, entry.first, x.source, x.switcher, x.hub, nowMs - x.hubLastMs});
        }
    }
}

void TslComparator::RestartClocks(int64_t nowMs) {
    for (auto& entry : indices_)
        if (entry.second.mismatchSinceMs >= 0) entry.second.mismatchSinceMs = nowMs;
}

TslLagStats TslComparator::Lag(uint16_t index) const {
    TslLagStats s;
    auto it = indices_.find(index);
    if (it == indices_.end() || it->second.lags.empty()) return s;
    std::vector<int64_t> sorted = it->second.lags;
    std::sort(sorted.begin(), sorted.end());
    s.count = sorted.size();
    s.p50 = NearestRank(sorted, 50);
    s.p99 = NearestRank(sorted, 99);
    s.max = sorted.back();
    return s;
}

std::vector<uint16_t> TslComparator::Indices() const {
    std::vector<uint16_t> v;
    for (const auto& entry : indices_) v.push_back(entry.first);
    return v;
}

int TslComparator::Differing() const {
    int n = 0;
    for (const auto& entry : indices_) n += entry.second.diverged && entry.first <= indexLimit_ ? 1 : 0;
    return n;
}

OnAirLevel TslComparator::HubLevel(uint16_t index) const {
    auto it = indices_.find(index);
    return it == indices_.end() ? ONAIR_OFF : it->second.hub;
}

bool TslComparator::HubHeardOf(uint16_t index) const {
    auto it = indices_.find(index);
    return it != indices_.end() && it->second.hubHeard;
}

void TslSenderConformance::Note(const TslPacket& p, bool udp, int64_t nowMs) {
    ++packets;
    lastHeardMs = nowMs;
    if (!p.problem.empty()) ++malformed;
    ++(p.version == TSL_V31 ? v31 : v50);
    if (p.version == TSL_V31 && (p.control31 & 0x80)) ++bit7;
    if (p.version == TSL_V50 && p.pbcMismatch) ++pbcMismatch;
    if (udp && p.dleFramed) ++dleOnUdp;
    for (const TslMessage& m : p.messages) {
        if (m.textOutOfRange) ++textOutOfRange;
        TslIndexHeard& h = indices[m.index];
        if (h.count) {
            h.lastIntervalMs = nowMs - h.lastMs;
            h.maxIntervalMs = std::max(h.maxIntervalMs, h.lastIntervalMs);
        }
        h.lastMs = nowMs;
        ++h.count;
    }
}

std::string TslSenderConformance::Line(int64_t nowMs) const {
    int64_t refreshMax = -1;
    for (const auto& entry : indices) refreshMax = std::max(refreshMax, entry.second.maxIntervalMs);
    std::string s = sender + ": " + std::to_string(packets) + " packets, " + std::to_string(malformed) +
                    " malformed, 3.1 bit 7: " + std::to_string(bit7) + ", PBC mismatch: " + std::to_string(pbcMismatch) +
                    ", DLE/STX on UDP: " + std::to_string(dleOnUdp) +
                    ", text out of range: " + std::to_string(textOutOfRange) + ", " + std::to_string(indices.size()) +
                    " indices";
    if (refreshMax >= 0) s += ", refresh max " + std::to_string(refreshMax) + " ms";
    if (lastHeardMs >= 0) s += ", last heard " + std::to_string(nowMs - lastHeardMs) + " ms ago";
    if (MaxIndex() == TSL31_MAX_ADDRESS) s += ", 3.1 only: indices above 126 not compared";
    return s;
}

int TslSenderConformance::MaxIndex() const {
    return v31 && !v50 ? TSL31_MAX_ADDRESS : TSL50_BROADCAST - 1;
}
