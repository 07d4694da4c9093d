// The watch rules.
#include "watch/watch.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

const char* const RULE_NAMES[WATCH_RULE_COUNT] = {"flicker", "stale",     "silence", "errors",
                                                  "reset",   "name",      "port-lost", "gap"};

const WatchLevel LEVEL_OF[3] = {WATCH_LEVEL_PGM, WATCH_LEVEL_LAP, WATCH_LEVEL_PVW};

// The record types a switcher refreshes: only these have a pace to lose.
const uint8_t RECORD_TYPES[] = {0x81, 0x82, 0x83, 0x84, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
                                0x98, 0xA1, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6};
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

// The On Air rule for one ME record: an input's element bit in any row of a
// level puts the input's source on that level. Returns bit l for LEVEL_OF[l].
uint8_t BankLevels(const uint8_t* data, int source) {
    uint8_t mask[3] = {0, 0, 0};
    for (int row = 0; row < ONAIR_ROWS; ++row) {
        const OnAirLevel level = OnAirRowLevel(row);
        mask[level == ONAIR_PROGRAM ? 0 : level == ONAIR_LOOKAHEAD ? 1 : 2] |= data[3 + 2 * row];
    }
    uint8_t levels = 0;
    for (int input = 0; input < ONAIR_INPUTS; ++input) {
        if (data[2 * input] != source) continue;
        const int bit = OnAirInputBit(input);
        for (int l = 0; l < 3; ++l)
            if (mask[l] >> bit & 1) levels |= static_cast<uint8_t>(1u << l);
    }
    return levels;
}

// Where the output display reads output position p of an OUT record: its
// source byte; the on-air bit is bit p of data[3].
const int OUT_SOURCE_BYTE[8] = {0, 2, 4, 5, 6, 7, 8, 9};

// An ME record changed from `before`: only the sources on its inputs, before
// or now, can have changed level. The bits follow the tally even with the
// rule off, so that turning it on starts clean.
void CheckBank(Watch& w, const WatchEvent& e, int bank, const uint8_t* before, std::vector<WatchAlarm>& out) {
    const uint8_t* now = w.me[bank].data;
    for (int pass = 0; pass < 2; ++pass) {
        for (int input = 0; input < ONAIR_INPUTS; ++input) {
            const int s = (pass ? before : now)[2 * input];
            const uint8_t levels = BankLevels(now, s);
            for (int l = 0; l < 3; ++l) {
                const bool lit = levels >> l & 1;
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
    }
}

void CheckOutputs(Watch& w, const WatchEvent& e, int bank, std::vector<WatchAlarm>& out) {
    const uint8_t* data = w.out[bank].data;
    for (int p = 0; p < 8; ++p) {
        const bool onAir = data[3] >> p & 1;
        WatchBit& bit = w.outputs[8 * bank + p];
        if (bit.lit == onAir) continue;
        WatchAlarm found;
        if (Flip(w, bit, onAir, e, found) && w.config.on[WATCH_FLICKER]) {
            found.level = WATCH_LEVEL_OUT;
            found.output = 8 * bank + p + 1;
            found.source = data[OUT_SOURCE_BYTE[p]];
            Emit(w, out, found);
        }
    }
}

// The first state of a record is where its bits start, not a change.
void SeedBank(Watch& w, int bank) {
    const uint8_t* data = w.me[bank].data;
    for (int input = 0; input < ONAIR_INPUTS; ++input) {
        const int s = data[2 * input];
        const uint8_t levels = BankLevels(data, s);
        for (int l = 0; l < 3; ++l) w.levels[bank][s][l].lit = levels >> l & 1;
    }
}

void SeedOutputs(Watch& w, int bank) {
    for (int p = 0; p < 8; ++p) w.outputs[8 * bank + p].lit = w.out[bank].data[3] >> p & 1;
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
        if (w.meSeen[bank] && std::memcmp(w.me[bank].data, payload, ME_PAYLOAD) == 0) return;
        uint8_t before[ME_PAYLOAD];
        std::memcpy(before, w.me[bank].data, ME_PAYLOAD);
        w.me[bank].header[0] = w.me[bank].header[1] = static_cast<uint8_t>(type);
        std::memcpy(w.me[bank].data, payload, ME_PAYLOAD);
        if (!w.meSeen[bank]) {
            w.meSeen[bank] = true;
            SeedBank(w, bank);
        } else {
            CheckBank(w, e, bank, before, out);
        }
    } else if (type >= 0xB1 && type < 0xB1 + OUT_RECORDS) {
        const int bank = type - 0xB1;
        if (w.outSeen[bank] && std::memcmp(w.out[bank].data, payload, OUT_PAYLOAD) == 0) return;
        w.out[bank].header[0] = w.out[bank].header[1] = static_cast<uint8_t>(type);
        std::memcpy(w.out[bank].data, payload, OUT_PAYLOAD);
        if (!w.outSeen[bank]) {
            w.outSeen[bank] = true;
            SeedOutputs(w, bank);
        } else {
            CheckOutputs(w, e, bank, out);
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

// When a type becomes stale: max(its last arrival, the end of a pause of the
// whole stream, when every type is late) plus its threshold.
uint64_t Deadline(const Watch& w, const WatchPace& p) {
    if (!p.seen || p.alarmed || p.thresholdUs == 0) return UINT64_MAX;
    return std::max(p.lastUs, w.resumeUs) + p.thresholdUs;
}

void StaleRecompute(Watch& w) {
    w.staleNextUs = UINT64_MAX;
    for (int type : RECORD_TYPES) w.staleNextUs = std::min(w.staleNextUs, Deadline(w, w.pace[type]));
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
    // The median moves slowly: taken once per 20 gaps (each time over the
    // last 20), it costs little on every message.
    if (p.gapCount == WATCH_STALE_GAPS && p.gapNext == 0) p.thresholdUs = Threshold(w, p);
    p.seen = true;
    p.alarmed = false;
    p.lastUs = e.timeUs;
    p.last = e;
    // Most messages change nothing here. staleNextUs is never later than the
    // earliest deadline (arrivals only move deadlines later, or this type's
    // sooner, which is taken in), so the types are only looked through when
    // the clock passes it.
    w.staleNextUs = std::min(w.staleNextUs, Deadline(w, p));
    if (!onPace || !w.config.on[WATCH_STALE] || e.timeUs <= w.staleNextUs) return;
    for (int other : RECORD_TYPES) {
        WatchPace& q = w.pace[other];
        if (other == type || e.timeUs <= Deadline(w, q)) continue;
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
    StaleRecompute(w);
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

// "2,431": counts of a storm are read at a glance.
std::string Thousands(uint64_t n) {
    std::string digits = std::to_string(n), text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

// A rule's second is over: what it folded becomes one summary alarm, with
// the place and causes of the last folded one, so that a kept recording
// extends its window to it.
void FoldClose(WatchFold& f, std::vector<WatchAlarm>& out) {
    f.active = false;
    f.storm = f.folded > 0;
    if (!f.folded) return;
    WatchAlarm summary = std::move(f.last);
    summary.more = f.folded;
    summary.text = Thousands(f.folded) + " more in the last 1 s, not listed one by one; the last: " + summary.text;
    out.push_back(std::move(summary));
    f.folded = 0;
}

void FoldCloseDue(Watch& w, uint64_t nowUs, std::vector<WatchAlarm>& out) {
    for (WatchFold& f : w.fold)
        if (f.active && nowUs >= f.startUs + WATCH_FOLD_WINDOW_US) FoldClose(f, out);
}

// The alarms raised from out[from] on pass through the storm limit: each
// rule gives at most foldRows rows in a second and counts the rest; after a
// second that folded, it gives none until a second without its alarms.
void Fold(Watch& w, uint64_t nowUs, std::vector<WatchAlarm>& out, size_t from) {
    if (w.config.foldRows == 0) return;
    std::vector<WatchAlarm> raised;
    if (from < out.size()) {
        raised.assign(std::make_move_iterator(out.begin() + static_cast<std::ptrdiff_t>(from)),
                      std::make_move_iterator(out.end()));
        out.resize(from);
    }
    for (WatchAlarm& a : raised) {
        WatchFold& f = w.fold[a.rule];
        if (f.active && a.timeUs >= f.startUs + WATCH_FOLD_WINDOW_US) FoldClose(f, out);
        if (!f.active) {
            if (f.storm && a.timeUs >= f.lastUs + WATCH_FOLD_WINDOW_US) f.storm = false;  // a quiet second
            f.active = true;
            f.startUs = a.timeUs;
            f.rows = 0;
            f.folded = 0;
        }
        if (a.timeUs > f.lastUs) f.lastUs = a.timeUs;
        if (!f.storm && f.rows < w.config.foldRows) {
            ++f.rows;
            out.push_back(std::move(a));
        } else {
            ++f.folded;
            f.last = std::move(a);
        }
    }
    FoldCloseDue(w, nowUs, out);
}

void TickRules(Watch& w, uint64_t nowUs, std::vector<WatchAlarm>& out) {
    const uint64_t silence = static_cast<uint64_t>(w.config.silenceS * 1e6);
    if (!w.connected || w.silent || nowUs < w.lastByteUs || nowUs - w.lastByteUs < silence) return;
    w.silent = true;  // one alarm per silence
    if (!w.config.on[WATCH_SILENCE]) return;
    WatchAlarm& a = Raise(w, out, WATCH_SILENCE, w.lastByteUs + silence);
    a.text = "No byte received for " + Seconds(silence) + " while connected";
    a.causes.push_back(w.lastByte);
}

}  // namespace

const char* WatchRuleName(int rule) {
    if (rule == WATCH_HUB) return "hub";
    return rule >= 0 && rule < WATCH_RULE_COUNT ? RULE_NAMES[rule] : "";
}

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
    e.timeUs = timeUs;
    e.kind = kind;
    e.type = type;
    e.code = code;
    e.length = static_cast<uint32_t>(length);
    e.kept = static_cast<uint8_t>(length < size_t(WATCH_EVENT_BYTES) ? length : WATCH_EVENT_BYTES);
    if (!bytes) e.kept = 0;
    if (e.kept) std::memcpy(e.bytes, bytes, e.kept);
    return e;
}

WatchEvent WatchEventFromHistory(const HistoryEvent& event) {
    // The event's whole byte array at once: a fixed copy costs less than a measured one.
    WatchEvent e;
    e.timeUs = static_cast<uint64_t>(event.timeMs) * 1000;
    e.code = event.code;
    e.kind = event.kind;
    e.type = event.type;
    e.length = e.kept = event.length;
    static_assert(WATCH_EVENT_BYTES == HISTORY_EVENT_BYTES, "a history event's bytes fit");
    std::memcpy(e.bytes, event.bytes, sizeof e.bytes);
    return e;
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
    w.staleNextUs = UINT64_MAX;
    w.errorHead = w.errorCount = 0;
    w.errorsArmed = true;
    w.anyError = false;
    w.lastErrorUs = 0;
    std::memset(w.alarms, 0, sizeof w.alarms);
    for (WatchFold& f : w.fold) {
        f.active = f.storm = false;
        f.startUs = f.lastUs = 0;
        f.rows = 0;
        f.folded = 0;
    }
}

uint64_t WatchStaleThresholdUs(const Watch& w, int type) {
    if (type < 0 || type > 255) return 0;
    return w.pace[type].thresholdUs;
}

void WatchTick(Watch& w, uint64_t nowUs, std::vector<WatchAlarm>& out) {
    const size_t from = out.size();
    TickRules(w, nowUs, out);
    Fold(w, nowUs, out, from);
}

void WatchFlush(Watch& w, std::vector<WatchAlarm>& out) {
    for (WatchFold& f : w.fold)
        if (f.active) FoldClose(f, out);
}

uint64_t WatchAlarmsRaised(const Watch& w) {
    uint64_t n = 0;
    for (uint64_t a : w.alarms) n += a;
    return n;
}

void WatchFeed(Watch& w, const WatchEvent& e, std::vector<WatchAlarm>& out) {
    const size_t from = out.size();
    TickRules(w, e.timeUs, out);
    if (HistoryIsFraming(e.kind)) {
        if (e.timeUs >= w.lastByteUs && e.timeUs - w.lastByteUs >= static_cast<uint64_t>(w.config.staleMinS * 1e6))
            w.resumeUs = e.timeUs;  // deadlines only move later: staleNextUs stays a lower bound
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
    case EVENT_GAP:
        if (w.config.on[WATCH_GAP]) {
            WatchAlarm& a = Raise(w, out, WATCH_GAP, e.timeUs);
            const bool bytes = e.kind == EVENT_DROPPED;
            a.count = bytes ? e.length : e.code;
            a.text = bytes                   ? std::to_string(a.count) + " bytes dropped: frame buffer full"
                     : e.kind == EVENT_GAP ? std::to_string(a.count) + " received bytes the capture could not keep"
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
    Fold(w, e.timeUs, out, from);
}

int WatchLevelsOf(const Watch& w, int me, int source) {
    if (me < 0 || me >= ME_RECORDS || source < 0 || source >= ONAIR_SOURCE_VALUES) return 0;
    int levels = 0;
    for (int l = 0; l < 3; ++l)
        if (w.levels[me][source][l].lit) levels |= 1 << l;
    return levels;
}

bool WatchOnAir(const Watch& w, int output) {
    return output >= 1 && output <= ONAIR_OUTPUTS && w.outputs[output - 1].lit;
}
