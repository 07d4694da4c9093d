// Watch rules: the glitches engineers chase, found in the event stream as it
// arrives. Fed the same events as the history (received units and link
// notes) in time order with microsecond times, the watch raises alarms that
// say what happened, where (ME, level, source, output, type), when, in the
// displays' words, with the events that caused it. The tally levels come from
// the On Air derivation, so an alarm never disagrees with what the On Air view
// showed. Portable: no platform headers; allocates only when it raises an alarm.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "history/event.h"
#include "onair/onair.h"

enum WatchRule : uint8_t {
    WATCH_FLICKER,    // a tally level changes and changes back within W ms
    WATCH_STALE,      // a steadily refreshed record type stops while others go on
    WATCH_SILENCE,    // no byte for S seconds while connected
    WATCH_ERRORS,     // N framing or line errors within T seconds
    WATCH_RESET,      // the counter-reset message
    WATCH_NAME,       // a source's name, nickname or alias changed after it was first seen
    WATCH_PORT_LOST,  // a port call failed
    WATCH_GAP,        // bytes or events that could not be kept
    WATCH_RULE_COUNT,
    // Not rules of the feed (no switch, never raised by WatchFeed): a row of
    // the Alarms category that is no alarm, and the hub check's divergence
    // (TSL in), raised by the application while the comparison runs.
    WATCH_NOTE = WATCH_RULE_COUNT,
    WATCH_HUB
};
// "flicker", "stale", "silence", "errors", "reset", "name", "port-lost", "gap";
// and "hub" for WATCH_HUB.
const char* WatchRuleName(int rule);
// The rule of a name as WatchRuleName gives it; -1 when there is none.
int WatchRuleFromName(const std::string& name);

enum WatchLevel : uint8_t { WATCH_LEVEL_NONE, WATCH_LEVEL_PGM, WATCH_LEVEL_LAP, WATCH_LEVEL_PVW, WATCH_LEVEL_OUT };
// "PGM", "LAP", "PVW", "OUT"; "" for none.
const char* WatchLevelName(int level);

enum WatchGlitch : uint8_t { WATCH_GLITCH_NONE, WATCH_GLITCH_DROP, WATCH_GLITCH_BLIP };
const char* WatchGlitchName(int glitch);  // "drop", "blip", ""

struct WatchConfig {
    bool on[WATCH_RULE_COUNT];
    uint32_t flickerMs = 200;   // W
    double staleMinS = 2.0;     // the floor of the stale threshold
    double silenceS = 2.0;      // S
    uint32_t errorsN = 5;       // N errors ...
    double errorsT = 10.0;      // ... within T seconds
    // A storm stays readable: per rule, at most this many alarms a second
    // are given one by one; the rest are counted into one summary alarm a
    // second (WatchAlarm::more). 0 gives every alarm (tallydump's output,
    // which scripts read).
    uint32_t foldRows = 0;
    WatchConfig() {
        for (bool& rule : on) rule = true;
    }
};

// One event as the watch takes it: a history event's kind and bytes with a
// microsecond time. Runs longer than the bytes kept still count in full.
constexpr int WATCH_EVENT_BYTES = HISTORY_EVENT_BYTES;
struct WatchEvent {
    uint64_t timeUs;   // since 1970-01-01 UTC
    uint32_t code;     // as in HistoryEvent
    uint32_t length;   // bytes the event stands for
    uint8_t kind;      // HistoryEventKind
    uint8_t type;
    uint8_t kept;      // bytes held in `bytes` (at most WATCH_EVENT_BYTES)
    uint8_t bytes[WATCH_EVENT_BYTES];
};
WatchEvent WatchEventFromHistory(const HistoryEvent& event);
WatchEvent WatchEventMake(uint64_t timeUs, uint8_t kind, uint8_t type, const uint8_t* bytes, size_t length,
                          uint32_t code = 0);

struct WatchAlarm {
    uint64_t timeUs = 0;
    WatchRule rule = WATCH_FLICKER;
    int me = 0;                         // 1..4, 0 when it does not apply
    WatchLevel level = WATCH_LEVEL_NONE;
    int source = -1;                    // source byte as sent, -1 when it does not apply
    int output = 0;                     // 1..48, 0 when it does not apply
    WatchGlitch glitch = WATCH_GLITCH_NONE;
    int64_t us = -1;                    // flicker: the glitch's length in microseconds
    int type = -1;                      // message type, -1 when it does not apply
    int64_t count = -1;                 // errors, bytes or events; -1 when it does not apply
    // A summary of a storm: it stands for this many alarms of its rule that
    // were not given one by one (its place and causes are the last one's).
    uint64_t more = 0;
    std::string text;                   // in the displays' words
    std::vector<WatchEvent> causes;     // oldest first
};

// Flicker state of one lit/dark bit: its last change and the event behind it.
struct WatchBit {
    bool lit;
    bool changed;      // `sinceUs` and `cause` hold a change
    uint64_t sinceUs;
    WatchEvent cause;
};

constexpr int WATCH_STALE_GAPS = 20;
struct WatchPace {  // arrivals of one message type
    bool seen, alarmed;
    uint64_t lastUs;
    uint32_t gapCount;                  // gaps recorded, capped at WATCH_STALE_GAPS
    uint32_t gapNext;
    uint64_t gaps[WATCH_STALE_GAPS];
    uint64_t thresholdUs;               // 0 until WATCH_STALE_GAPS gaps were seen
    WatchEvent last;
};

// Enough alarm rows a second to see what a storm is made of (a glitch on
// each level of one source is three); more would bury the rest.
constexpr uint32_t WATCH_FOLD_ROWS = 5;
constexpr uint64_t WATCH_FOLD_WINDOW_US = 1000000;
struct WatchFold {  // the storm state of one rule
    bool active;                        // a window runs from startUs
    bool storm;                         // the last window folded: no rows until a quiet second
    uint64_t startUs, lastUs;           // the window's start; the rule's latest alarm
    uint32_t rows;                      // given one by one in this window
    uint64_t folded;                    // counted into its summary
    WatchAlarm last;                    // the latest folded one, for the summary's place
};

constexpr int WATCH_ERROR_WINDOW = 64;  // error arrivals kept for the burst window

// Large (a few hundred KB): keep it on the heap.
struct Watch {
    WatchConfig config;
    // Tally state, as the store would hold it.
    MeTally me[ME_RECORDS];
    OutputTally out[OUT_RECORDS];
    bool meSeen[ME_RECORDS], outSeen[OUT_RECORDS];
    WatchBit levels[ME_RECORDS][ONAIR_SOURCE_VALUES][3];  // PGM, LAP, PVW
    WatchBit outputs[ONAIR_OUTPUTS];
    // Names: what each source was first announced as, and its latest.
    bool nameSeen[SOURCE_COUNT + 1][2];                    // by C1, by C2
    uint8_t namePayload[SOURCE_COUNT + 1][2][NAME_PAYLOAD];
    char label[SOURCE_COUNT + 1][NAME_LENGTH + 1];         // alias, else name
    // Pace of each type, for stale.
    WatchPace pace[256];
    uint64_t staleNextUs;               // no type becomes stale before this
    // Silence.
    bool connected, silent;
    uint64_t lastByteUs;
    uint64_t resumeUs;                  // bytes came again after a pause of the whole stream
    WatchEvent lastByte;
    // Errors: recent arrivals (time, weight) in a ring.
    uint64_t errorUs[WATCH_ERROR_WINDOW];
    uint32_t errorWeight[WATCH_ERROR_WINDOW];
    int errorHead, errorCount;
    bool errorsArmed;
    uint64_t lastErrorUs;
    bool anyError;
    uint64_t alarms[WATCH_RULE_COUNT];  // raised so far, by rule, folded ones included
    WatchFold fold[WATCH_RULE_COUNT];
};

void WatchInit(Watch& watch, const WatchConfig& config);
// Takes one event (after checking the time-driven rules up to its time) and
// appends the alarms it raises to out, in time order.
void WatchFeed(Watch& watch, const WatchEvent& event, std::vector<WatchAlarm>& out);
// The time-driven rules (silence) up to now, and the summaries of storms
// whose second has passed; call it on a timer when live.
void WatchTick(Watch& watch, uint64_t nowUs, std::vector<WatchAlarm>& out);
// The summaries of storms still counting, now (no more events will come
// for a while: the input ended, or the port closed).
void WatchFlush(Watch& watch, std::vector<WatchAlarm>& out);
// Every alarm raised so far, folded ones included.
uint64_t WatchAlarmsRaised(const Watch& watch);

// The level bits the watch holds for a source on an ME (0..3): 1 PGM, 2 LAP,
// 4 PVW; and whether an output (1..48) is on air.
int WatchLevelsOf(const Watch& watch, int me, int source);
bool WatchOnAir(const Watch& watch, int output);

// The stale threshold of a type now: max(3 x median of its last gaps, the
// floor), in microseconds; 0 while it has too few gaps to have a pace.
uint64_t WatchStaleThresholdUs(const Watch& watch, int type);
