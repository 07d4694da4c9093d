// The watch rules.
#include "watch/watch.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char* const RULE_NAMES[WATCH_RULE_COUNT] = {"flicker", "stale",     "silence", "errors",
                                                  "reset",   "name",      "port-lost", "gap"};

// Contribution rows of each level (bits of OnAirTally::rows).
const uint16_t LEVEL_ROWS[3] = {0x000F, 0x00F0, 0x0300};
const WatchLevel LEVEL_OF[3] = {WATCH_LEVEL_PGM, WATCH_LEVEL_LAP, WATCH_LEVEL_PVW};

// The record types a switcher refreshes: only these have a pace to lose.
bool IsRecordType(int type) {
    return (type >= 0x81 && type < 0x81 + ME_RECORDS) || (type >= 0x91 && type < 0x91 + EXT_RECORDS) ||
           type == 0xA1 || (type >= 0xB1 && type < 0xB1 + OUT_RECORDS);
}

// Errors as the counters count them: each stray or mismatched byte, each
// other framing fault and each line error once.
uint32_t ErrorWeight(const WatchEvent& e) {
    switch (e.kind) {
    case EVENT_STRAY:
    case EVENT_MISMATCH: return e.length ? e.length : 1;
    case EVENT_UNKNOWN:
    case EVENT_LOWBYTE:
    case EVENT_PAYLOAD:
    case EVENT_LINE_ERROR: return 1;
    default: return 0;
    }
}

std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// 'Source 5 "CAMERA 5"' as the displays name it, or 'Source 5' before any name.
std::string SourceText(const Watch& w, int source) {
    std::string text = "Source " + std::to_string(source);
    if (source >= 1 && source <= SOURCE_COUNT && w.label[source][0])
        text += std::string(" \"") + w.label[source] + "\"";
    return text;
}

std::string Seconds(uint64_t us) { return Format("%.1f s", static_cast<double>(us) / 1e6); }
std::string Millis(uint64_t us) { return Format("%.1f ms", static_cast<double>(us) / 1e3); }
std::string Span(uint64_t us) { return us < 1000000 ? Millis(us) : Seconds(us); }

// Text of a name field (NUL-padded, possibly without an end).
std::string Field(const uint8_t* bytes, int length) {
    std::string text;
    for (int i = 0; i < length && bytes[i]; ++i) text += static_cast<char>(bytes[i]);
    return text;
}

WatchAlarm& Raise(Watch& w, std::vector<WatchAlarm>& out, WatchRule rule, uint64_t timeUs) {
    ++w.alarms[rule];
    out.emplace_back();
    WatchAlarm& a = out.back();
    a.rule = rule;
    a.timeUs = timeUs;
    return a;
}

void ResetBits(Watch& w) {
    for (auto& bank : w.levels)
        for (auto& source : bank)
            for (WatchBit& bit : source) {
                bit.lit = false;
                bit.changed = false;
            }
    for (WatchBit& bit : w.outputs) {
        bit.lit = false;
        bit.changed = false;
    }
}

// One lit/dark bit moved to `lit` by event e: a change back within W is a glitch.
bool Flip(const Watch& w, WatchBit& bit, bool lit, const WatchEvent& e, WatchAlarm& filled) {
    const uint64_t window = static_cast<uint64_t>(w.config.flickerMs) * 1000;
    bool glitch = false;
    if (bit.changed && e.timeUs >= bit.sinceUs && e.timeUs - bit.sinceUs <= window) {
        glitch = true;
        filled.timeUs = e.timeUs;
        filled.glitch = lit ? WATCH_GLITCH_DROP : WATCH_GLITCH_BLIP;
        filled.us = static_cast<int64_t>(e.timeUs - bit.sinceUs);
        filled.causes.assign({bit.cause, e});
    }
    bit.lit = lit;
    bit.changed = true;
    bit.sinceUs = e.timeUs;
    bit.cause = e;
    return glitch;
}

void FlickerText(const Watch& w, WatchAlarm& a);

void Emit(Watch& w, std::vector<WatchAlarm>& out, WatchAlarm& found) {
    found.rule = WATCH_FLICKER;
    FlickerText(w, found);
    ++w.alarms[WATCH_FLICKER];
    out.push_back(std::move(found));
}

void FlickerText(const Watch& w, WatchAlarm& a) {
    const std::string who = SourceText(w, a.source);
    const std::string how = a.glitch == WATCH_GLITCH_DROP ? "went dark for " : "lit for ";
    if (a.level == WATCH_LEVEL_OUT)
        a.text = Format("Output %d on air: ", a.output) + who + (a.glitch == WATCH_GLITCH_DROP ? " off air for " : " on air for ") +
                 Millis(static_cast<uint64_t>(a.us));
    else
        a.text = Format("ME %d %s: ", a.me, WatchLevelName(a.level)) + who + " " + how + Millis(static_cast<uint64_t>(a.us));
}

// The tally after an ME or OUT record changed: every level bit compared.
void CheckLevels(Watch& w, const WatchEvent& e, int bank, bool meChanged, std::vector<WatchAlarm>& out) {
    // The bits follow the tally even with the rule off, so that turning it on starts clean.
    OnAirDerive(w.me, w.out, w.tally);
    if (meChanged) {
        for (int s = 0; s < ONAIR_SOURCE_VALUES; ++s) {
            const uint16_t rows = w.tally.rows[bank][s];
            for (int l = 0; l < 3; ++l) {
                const bool lit = (rows & LEVEL_ROWS[l]) != 0;
                WatchBit& bit = w.levels[bank][s][l];
                if (bit.lit == lit) continue;
                WatchAlarm found;
                if (Flip(w, bit, lit, e, found) && w.config.on[WATCH_FLICKER]) {
                    found.me = bank + 1;
                    found.level = LEVEL_OF[l];
                    found.source = s;
                    Emit(w, out, found);
                }
            }
        }
        return;
    }
    // Outputs of one OUT record: its on-air bits.
    bool onAir[ONAIR_OUTPUTS] = {};
    uint8_t sourceOf[ONAIR_OUTPUTS] = {};
    for (int i = 0; i < w.tally.onAirCount; ++i) {
        onAir[w.tally.onAir[i].output - 1] = true;
        sourceOf[w.tally.onAir[i].output - 1] = w.tally.onAir[i].source;
    }
    for (int o = 8 * bank; o < 8 * bank + 8; ++o) {
        WatchBit& bit = w.outputs[o];
        if (bit.lit == onAir[o]) continue;
        WatchAlarm found;
        if (Flip(w, bit, onAir[o], e, found) && w.config.on[WATCH_FLICKER]) {
            // The source is the one on the output while it was on air.
            static const int SOURCE_BYTE[8] = {0, 2, 4, 5, 6, 7, 8, 9};
            found.level = WATCH_LEVEL_OUT;
            found.output = o + 1;
            found.source = onAir[o] ? sourceOf[o] : w.out[bank].data[SOURCE_BYTE[o - 8 * bank]];
            Emit(w, out, found);
        }
    }
}

// The first state of a record is where its bits start, not a change.
void SeedLevels(Watch& w, int bank, bool me) {
    OnAirDerive(w.me, w.out, w.tally);
    if (me) {
        for (int s = 0; s < ONAIR_SOURCE_VALUES; ++s)
            for (int l = 0; l < 3; ++l) w.levels[bank][s][l].lit = (w.tally.rows[bank][s] & LEVEL_ROWS[l]) != 0;
        return;
    }
    for (int o = 8 * bank; o < 8 * bank + 8; ++o) w.outputs[o].lit = false;
    for (int i = 0; i < w.tally.onAirCount; ++i) {
        const int o = w.tally.onAir[i].output - 1;
        if (o >= 8 * bank && o < 8 * bank + 8) w.outputs[o].lit = true;
    }
}

void OnName(Watch& w, const WatchEvent& e, const uint8_t* payload, std::vector<WatchAlarm>& out) {
    const int source = payload[0];
    if (source < 1 || source > SOURCE_COUNT) return;
    const int kind = e.type == MSG_SOURCE_NAME ? 0 : 1;
    std::string before = SourceText(w, source);
    bool& seen = w.nameSeen[source][kind];
    uint8_t* last = w.namePayload[source][kind];
    const bool changed = seen && std::memcmp(last, payload, NAME_PAYLOAD) != 0;
    std::string what;
    if (changed) {
        const char* field = kind == 0 ? "name" : "alias";
        const std::string was = Field(last + 1, NAME_LENGTH), now = Field(payload + 1, NAME_LENGTH);
        if (was != now) what = std::string(field) + " \"" + was + "\" is now \"" + now + "\"";
        const std::string nickWas = Field(last + 1 + NAME_LENGTH, NICKNAME_LENGTH);
        const std::string nickNow = Field(payload + 1 + NAME_LENGTH, NICKNAME_LENGTH);
        if (nickWas != nickNow) {
            if (!what.empty()) what += ", ";
            what += "nickname \"" + nickWas + "\" is now \"" + nickNow + "\"";
        }
        if (what.empty()) what = std::string(field) + " message changed";
    }
    seen = true;
    std::memcpy(last, payload, NAME_PAYLOAD);
    // The label the displays show: the alias when there is one, else the name.
    const std::string alias = kind == 1 ? Field(payload + 1, NAME_LENGTH) : std::string();
    const std::string name = kind == 0 ? Field(payload + 1, NAME_LENGTH) : Field(w.namePayload[source][0] + 1, NAME_LENGTH);
    const std::string shown = !alias.empty() ? alias : name;
    std::snprintf(w.label[source], sizeof w.label[source], "%s", shown.c_str());
    if (!changed || !w.config.on[WATCH_NAME]) return;
    WatchAlarm& a = Raise(w, out, WATCH_NAME, e.timeUs);
    a.source = source;
    a.type = e.type;
    a.text = before + ": " + what;
    a.causes.push_back(e);
}

void OnMessage(Watch& w, const WatchEvent& e, std::vector<WatchAlarm>& out) {
    const int type = e.type;
    const int length = payloadLength(static_cast<uint8_t>(type));
    if (length < 0 || e.kept < 2 + length) return;
    const uint8_t* payload = e.bytes + 2;
    if (type >= 0x81 && type < 0x81 + ME_RECORDS) {
        const int bank = type - 0x81;
        const bool changed = !w.meSeen[bank] || std::memcmp(w.me[bank].data, payload, ME_PAYLOAD) != 0;
        w.me[bank].header[0] = w.me[bank].header[1] = static_cast<uint8_t>(type);
        std::memcpy(w.me[bank].data, payload, ME_PAYLOAD);
        if (!w.meSeen[bank]) {
            w.meSeen[bank] = true;
            SeedLevels(w, bank, true);
        } else if (changed) {
            CheckLevels(w, e, bank, true, out);
        }
    } else if (type >= 0xB1 && type < 0xB1 + OUT_RECORDS) {
        const int bank = type - 0xB1;
        const bool changed = !w.outSeen[bank] || std::memcmp(w.out[bank].data, payload, OUT_PAYLOAD) != 0;
        w.out[bank].header[0] = w.out[bank].header[1] = static_cast<uint8_t>(type);
        std::memcpy(w.out[bank].data, payload, OUT_PAYLOAD);
        if (!w.outSeen[bank]) {
            w.outSeen[bank] = true;
            SeedLevels(w, bank, false);
        } else if (changed) {
            CheckLevels(w, e, bank, false, out);
        }
    } else if (type == MSG_SOURCE_NAME || type == MSG_SOURCE_ALIAS) {
        OnName(w, e, payload, out);
    }
}

uint64_t Median(const WatchPace& p) {
    uint64_t sorted[WATCH_STALE_GAPS];
    const uint32_t n = p.gapCount;
    std::copy(p.gaps, p.gaps + n, sorted);
    std::nth_element(sorted, sorted + n / 2, sorted + n);
    return sorted[n / 2];
}

uint64_t Threshold(const Watch& w, const WatchPace& p) {
    if (p.gapCount < WATCH_STALE_GAPS) return 0;
    const uint64_t floor = static_cast<uint64_t>(w.config.staleMinS * 1e6);
    return std::max<uint64_t>(3 * Median(p), floor);
}

// A message of a record type: its own pace, then every other type that is
// overdue while this one, still on its pace, keeps arriving.
void OnPace(Watch& w, const WatchEvent& e, std::vector<WatchAlarm>& out) {
    const int type = e.type;
    if (!IsRecordType(type)) return;
    WatchPace& p = w.pace[type];
    const bool onPace = !p.seen || p.thresholdUs == 0 || e.timeUs - p.lastUs <= p.thresholdUs;
    if (p.seen && e.timeUs >= p.lastUs) {
        p.gaps[p.gapNext] = e.timeUs - p.lastUs;
        p.gapNext = (p.gapNext + 1) % WATCH_STALE_GAPS;
        if (p.gapCount < WATCH_STALE_GAPS) ++p.gapCount;
    }
    p.thresholdUs = Threshold(w, p);
    p.seen = true;
    p.alarmed = false;
    p.lastUs = e.timeUs;
    p.last = e;
    if (!onPace || !w.config.on[WATCH_STALE]) return;
    for (int other = 0x81; other <= 0xB6; ++other) {
        WatchPace& q = w.pace[other];
        if (other == type || !q.seen || q.alarmed) continue;
        const uint64_t threshold = q.thresholdUs;
        // After a pause of the whole stream every type is late: count from its end.
        const uint64_t since = std::max(q.lastUs, w.resumeUs);
        if (threshold == 0 || e.timeUs < since || e.timeUs - since <= threshold) continue;
        q.alarmed = true;
        WatchAlarm& a = Raise(w, out, WATCH_STALE, e.timeUs);
        a.type = other;
        if (other >= 0x81 && other < 0x81 + ME_RECORDS) a.me = other - 0x80;
        const char* name = MessageTypeName(static_cast<uint8_t>(other));
        a.text = std::string(name ? name : "?") + Format(" (0x%02X)", other) + " not received for " +
                 Seconds(e.timeUs - q.lastUs) + ", usually every " + Millis(Median(q)) +
                 "; other messages still arriving";
        a.causes.push_back(q.last);
        a.causes.push_back(e);
    }
}

void OnError(Watch& w, const WatchEvent& e, uint32_t weight, std::vector<WatchAlarm>& out) {
    const uint64_t window = static_cast<uint64_t>(w.config.errorsT * 1e6);
    // T quiet seconds end a burst.
    if (w.anyError && e.timeUs >= w.lastErrorUs && e.timeUs - w.lastErrorUs >= window) w.errorsArmed = true;
    w.anyError = true;
    w.lastErrorUs = e.timeUs;
    const int slot = (w.errorHead + w.errorCount) % WATCH_ERROR_WINDOW;
    if (w.errorCount == WATCH_ERROR_WINDOW) {
        w.errorHead = (w.errorHead + 1) % WATCH_ERROR_WINDOW;
        --w.errorCount;
    }
    w.errorUs[slot] = e.timeUs;
    w.errorWeight[slot] = weight;
    ++w.errorCount;
    while (w.errorCount > 0 && e.timeUs - w.errorUs[w.errorHead] >= window) {
        w.errorHead = (w.errorHead + 1) % WATCH_ERROR_WINDOW;
        --w.errorCount;
    }
    uint64_t sum = 0;
    for (int i = 0; i < w.errorCount; ++i) sum += w.errorWeight[(w.errorHead + i) % WATCH_ERROR_WINDOW];
    if (!w.errorsArmed || sum < w.config.errorsN || !w.config.on[WATCH_ERRORS]) return;
    w.errorsArmed = false;
    WatchAlarm& a = Raise(w, out, WATCH_ERRORS, e.timeUs);
    a.count = static_cast<int64_t>(sum);
    a.text = std::to_string(sum) + " framing or line errors within " + Span(e.timeUs - w.errorUs[w.errorHead]) +
             " (" + HistoryEventName(e.kind) + " last)";
    a.causes.push_back(e);
}

}  // namespace

const char* WatchRuleName(int rule) { return rule >= 0 && rule < WATCH_RULE_COUNT ? RULE_NAMES[rule] : ""; }

int WatchRuleFromName(const std::string& name) {
    for (int r = 0; r < WATCH_RULE_COUNT; ++r)
        if (name == RULE_NAMES[r]) return r;
    return -1;
}

const char* WatchLevelName(int level) {
    switch (level) {
    case WATCH_LEVEL_PGM: return "PGM";
    case WATCH_LEVEL_LAP: return "LAP";
    case WATCH_LEVEL_PVW: return "PVW";
    case WATCH_LEVEL_OUT: return "OUT";
    default: return "";
    }
}

const char* WatchGlitchName(int glitch) {
    return glitch == WATCH_GLITCH_DROP ? "drop" : glitch == WATCH_GLITCH_BLIP ? "blip" : "";
}

WatchEvent WatchEventMake(uint64_t timeUs, uint8_t kind, uint8_t type, const uint8_t* bytes, size_t length,
                          uint32_t code) {
    WatchEvent e;
    std::memset(&e, 0, sizeof e);
    e.timeUs = timeUs;
    e.kind = kind;
    e.type = type;
    e.code = code;
    e.length = static_cast<uint32_t>(length);
    e.kept = static_cast<uint8_t>(length < size_t(WATCH_EVENT_BYTES) ? length : WATCH_EVENT_BYTES);
    if (bytes && e.kept) std::memcpy(e.bytes, bytes, e.kept);
    return e;
}

WatchEvent WatchEventFromHistory(const HistoryEvent& event) {
    return WatchEventMake(static_cast<uint64_t>(event.timeMs) * 1000, event.kind, event.type, event.bytes,
                          event.length, event.code);
}

void WatchInit(Watch& w, const WatchConfig& config) {
    w.config = config;
    std::memset(w.me, 0, sizeof w.me);
    std::memset(w.out, 0, sizeof w.out);
    std::memset(w.meSeen, 0, sizeof w.meSeen);
    std::memset(w.outSeen, 0, sizeof w.outSeen);
    ResetBits(w);
    std::memset(w.nameSeen, 0, sizeof w.nameSeen);
    std::memset(w.namePayload, 0, sizeof w.namePayload);
    std::memset(w.label, 0, sizeof w.label);
    for (WatchPace& p : w.pace) {
        p.seen = p.alarmed = false;
        p.lastUs = 0;
        p.gapCount = p.gapNext = 0;
        p.thresholdUs = 0;
    }
    w.connected = w.silent = false;
    w.lastByteUs = 0;
    w.resumeUs = 0;
    w.errorHead = w.errorCount = 0;
    w.errorsArmed = true;
    w.anyError = false;
    w.lastErrorUs = 0;
    std::memset(w.alarms, 0, sizeof w.alarms);
}

uint64_t WatchStaleThresholdUs(const Watch& w, int type) {
    if (type < 0 || type > 255) return 0;
    return w.pace[type].thresholdUs;
}

void WatchTick(Watch& w, uint64_t nowUs, std::vector<WatchAlarm>& out) {
    const uint64_t silence = static_cast<uint64_t>(w.config.silenceS * 1e6);
    if (!w.connected || w.silent || nowUs < w.lastByteUs || nowUs - w.lastByteUs < silence) return;
    w.silent = true;  // one alarm per silence
    if (!w.config.on[WATCH_SILENCE]) return;
    WatchAlarm& a = Raise(w, out, WATCH_SILENCE, w.lastByteUs + silence);
    a.text = "No byte received for " + Seconds(silence) + " while connected";
    a.causes.push_back(w.lastByte);
}

void WatchFeed(Watch& w, const WatchEvent& e, std::vector<WatchAlarm>& out) {
    WatchTick(w, e.timeUs, out);
    if (HistoryIsFraming(e.kind)) {
        if (e.timeUs >= w.lastByteUs && e.timeUs - w.lastByteUs >= static_cast<uint64_t>(w.config.staleMinS * 1e6))
            w.resumeUs = e.timeUs;
        w.connected = true;  // a stream without a connect note is connected by its bytes
        w.silent = false;
        w.lastByteUs = e.timeUs;
        w.lastByte = e;
    }
    switch (e.kind) {
    case EVENT_MESSAGE:
        OnMessage(w, e, out);
        OnPace(w, e, out);
        break;
    case EVENT_IGNORED: break;
    case EVENT_RESET:
        if (w.config.on[WATCH_RESET]) {
            WatchAlarm& a = Raise(w, out, WATCH_RESET, e.timeUs);
            a.type = MSG_RESET_COUNTERS;
            a.text = "Counter reset message received: the receive counters went back to zero";
            a.causes.push_back(e);
        }
        break;
    case EVENT_DROPPED:
    case EVENT_LOST:
        if (w.config.on[WATCH_GAP]) {
            WatchAlarm& a = Raise(w, out, WATCH_GAP, e.timeUs);
            const bool bytes = e.kind == EVENT_DROPPED;
            a.count = bytes ? e.length : e.code;
            a.text = bytes ? std::to_string(a.count) + " bytes dropped: frame buffer full"
                           : std::to_string(a.count) + " events lost: the history could not keep up";
            a.causes.push_back(e);
        }
        break;
    case EVENT_PORT_ERROR:
        if (w.config.on[WATCH_PORT_LOST]) {
            WatchAlarm& a = Raise(w, out, WATCH_PORT_LOST, e.timeUs);
            a.text = Format("Port lost: a port call failed (error 0x%08X)", e.code);
            a.causes.push_back(e);
        }
        break;
    case EVENT_CONNECT:
        w.resumeUs = e.timeUs;
        w.connected = true;
        w.silent = false;
        w.lastByteUs = e.timeUs;
        w.lastByte = e;
        break;
    case EVENT_DISCONNECT: w.connected = false; break;
    default: break;
    }
    const uint32_t weight = ErrorWeight(e);
    if (weight) OnError(w, e, weight, out);
}
