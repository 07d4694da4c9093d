// The tally map and the refresh scheduler; see tsl_map.h.
#include "tsl/tsl_map.h"

#include <climits>
#include <cstdint>

namespace {

std::string Trimmed(const char* s) {
    std::string t(s);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
    return t;
}

bool Enabled(const TslMapConfig& map, int level) { return level > ONAIR_OFF && level <= ONAIR_PROGRAM && map.level[level]; }

}  // namespace

OnAirLevel TslMapLevel(const TslMapConfig& map, const OnAirTally& tally, int source) {
    if (source < 0 || source >= ONAIR_SOURCE_VALUES) return ONAIR_OFF;
    OnAirLevel level = ONAIR_OFF;
    for (int m = 0; m < ME_RECORDS; ++m) {
        if (map.me != ONAIR_ALL_ME && map.me != m) continue;
        for (int j = 0; j < ONAIR_ROWS; ++j) {
            const OnAirLevel l = OnAirRowLevel(j);
            if ((tally.rows[m][source] >> j & 1) && Enabled(map, l) && l > level) level = l;
        }
    }
    return level;
}

std::vector<TslLamp> TslMapLamps(const TslMapConfig& map, const OnAirTally& tally, const OnAirInputs& inputs,
                                 TslVersion version, int* skipped) {
    std::vector<TslLamp> lamps;
    const int maxIndex = version == TSL_V31 ? TSL31_MAX_ADDRESS : TSL50_BROADCAST - 1;
    int left = 0;
    for (const OnAirTile& tile : OnAirTiles(tally, inputs, map.me)) {
        const int index = tile.source + map.indexOffset;
        if (index < 0 || index > maxIndex) {
            ++left;
            continue;
        }
        TslLamp lamp;
        lamp.index = static_cast<uint16_t>(index);
        lamp.source = tile.source;
        lamp.level = TslMapLevel(map, tally, tile.source);
        lamp.text = Trimmed(tile.name.c_str());
        if (lamp.text.empty()) lamp.text = Trimmed(tile.nickname.c_str());
        if (lamp.text.empty()) lamp.text = "SRC " + std::to_string(tile.source);
        lamps.push_back(lamp);
    }
    if (skipped) *skipped = left;
    return lamps;
}

TslMessage TslMapMessage(const TslMapConfig& map, const TslLamp& lamp) {
    TslMessage m;
    m.index = lamp.index;
    m.brightness = map.brightness & 3;
    m.text = lamp.text;
    if (Enabled(map, lamp.level)) {
        const int bit = map.bit31[lamp.level];
        if (bit >= 0 && bit <= 3) m.tally31 = static_cast<uint8_t>(1u << bit);
        const uint8_t colour = map.colour50[lamp.level] & 3;
        if (map.lh) m.lh = colour;
        if (map.txt) m.txt = colour;
        if (map.rh) m.rh = colour;
    }
    return m;
}

OnAirLevel TslMapLevelOf(const TslMapConfig& map, TslVersion version, const TslMessage& m) {
    for (int level = ONAIR_PROGRAM; level > ONAIR_OFF; --level) {
        if (!Enabled(map, level)) continue;
        if (version == TSL_V31) {
            const int bit = map.bit31[level];
            if (bit >= 0 && bit <= 3 && (m.tally31 >> bit & 1)) return static_cast<OnAirLevel>(level);
        } else {
            const uint8_t c = map.colour50[level] & 3;
            if (c == TSL_OFF) continue;
            if ((map.lh && m.lh == c) || (map.txt && m.txt == c) || (map.rh && m.rh == c))
                return static_cast<OnAirLevel>(level);
        }
    }
    return ONAIR_OFF;
}

std::vector<std::vector<uint8_t>> TslMapPackets(const TslMapConfig& map, TslVersion version,
                                                const std::vector<TslLamp>& lamps, bool dle) {
    std::vector<std::vector<uint8_t>> packets;
    if (version == TSL_V31) {
        for (const TslLamp& lamp : lamps) {
            uint8_t p[TSL31_PACKET_SIZE];
            if (Tsl31Encode(TslMapMessage(map, lamp), p)) packets.emplace_back(p, p + TSL31_PACKET_SIZE);
        }
    } else {
        std::vector<TslMessage> messages;
        messages.reserve(lamps.size());
        for (const TslLamp& lamp : lamps) messages.push_back(TslMapMessage(map, lamp));
        const Tsl50Header header{map.screen, map.unicode};
        if (map.oneMessagePerPacket) {
            for (const TslMessage& m : messages) {
                std::vector<uint8_t> p;
                if (Tsl50Encode(header, &m, 1, p)) packets.push_back(std::move(p));
            }
        } else {
            packets = Tsl50Pack(header, messages);
        }
    }
    if (dle) {
        for (std::vector<uint8_t>& p : packets) {
            std::vector<uint8_t> wrapped;
            TslDleWrap(p.data(), p.size(), wrapped);
            p.swap(wrapped);
        }
    }
    return packets;
}

std::vector<TslLamp> TslRefreshScheduler::Due(const std::vector<TslLamp>& lamps, int64_t nowMs) {
    std::vector<TslLamp> due;
    bool refresh = false;
    for (const auto& entry : sent_)
        if (nowMs - entry.second.atMs >= refreshMs_) refresh = true;
    std::map<uint16_t, bool> inUse;
    for (const TslLamp& lamp : lamps) {
        inUse[lamp.index] = true;
        auto it = sent_.find(lamp.index);
        if (it == sent_.end() || !(it->second.lamp == lamp) || refresh) {
            due.push_back(lamp);
            sent_[lamp.index] = Sent{lamp, nowMs};
        }
    }
    for (auto it = sent_.begin(); it != sent_.end();) {
        if (inUse.count(it->first)) {
            ++it;
            continue;
        }
        TslLamp off = it->second.lamp;
        off.level = ONAIR_OFF;
        due.push_back(off);
        it = sent_.erase(it);
    }
    return due;
}

int64_t TslRefreshScheduler::NextDueMs() const {
    int64_t next = INT64_MAX;
    for (const auto& entry : sent_)
        if (entry.second.atMs + refreshMs_ < next) next = entry.second.atMs + refreshMs_;
    return next;
}
