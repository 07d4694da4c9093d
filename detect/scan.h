// The scan: tries candidate settings on a port, listening to each until its
// score is clear or its time is up, stops early on a clean match, and names
// the best setting and the runner-up. The port is reached through DetectPort
// so that the same scan runs on a Win32 handle, a POSIX tty and the tests'
// software UART. Portable.
#pragma once
#include <cstdint>

#include "detect/score.h"
#include "detect/setting.h"

// The port seen by the scan. Every function returns 1 for success, 0 for failure.
struct DetectPort {
    void* context;
    // Puts the line at the setting and drops what was received before.
    int (*apply)(void* context, const DetectSetting& setting);
    // Listens for up to maxMs: fills at most capacity bytes, the UART line
    // errors met and the milliseconds that passed (returning early when the
    // buffer is full is fine).
    int (*listen)(void* context, int maxMs, uint8_t* buffer, int capacity, int* got,
                  uint32_t* lineErrors, int* elapsedMs);
    // Puts back the settings the port had before the scan.
    int (*restore)(void* context);
    // Non-zero when the operator has asked to stop; may be null.
    int (*cancelled)(void* context);
};

enum DetectVerdict {
    DETECT_FOUND,           // best is convincing; the port is left at it
    DETECT_NOT_CONVINCING,  // traffic heard but no setting frames it; port restored
    DETECT_SILENT,          // nothing heard at any setting tried; port restored
    DETECT_CANCELLED,       // stopped by the operator; port restored
    DETECT_PORT_FAILED,     // the port failed to listen; port restored
};

struct DetectCandidateResult {
    DetectSetting setting;
    DetectScore score;
    int applied;     // 0: the port refused the setting (scored as not heard)
    int listenedMs;
};

// Listening limits per candidate. Times in ms; "characters" are character
// times at the candidate's own setting.
struct DetectLimits {
    int sliceMs = 100;            // one listen call; Cancel is looked at between them
    int settleCharacters = 16;    // line errors this early may be the UART falling into step
    int settleMs = 5;             // (at least this long)
    int baseMs = 400;             // a candidate listens at least this long...
    int baseCharacters = 80;      // ...or this many characters...
    int baseCapMs = 5000;         // ...but no longer, unless its score is clear sooner
    // A candidate that has framed a message without a fault since its last
    // faulty slice listens on, up to this, to collect DETECT_MIN_MESSAGES.
    int promisingMs = 4000;
    int promisingCharacters = 250;
    int promisingCapMs = 15000;
    // The limits above run from the first byte or line error heard; a
    // candidate that hears nothing for quietMs gives up (longer than the
    // pauses of a live feed).
    int quietMs = 1500;
    int silenceMs = 3000;         // heard nothing this long at any setting: the line is silent
};

constexpr int DETECT_MAX_CANDIDATES = 128;

struct DetectOutcome {
    DetectVerdict verdict;
    DetectCandidateResult results[DETECT_MAX_CANDIDATES];
    int count;        // candidates tried (results filled)
    int total;        // candidates planned
    int best;         // index in results, -1 when none heard anything
    int runnerUp;     // -1 when none
    long elapsedMs;   // time spent listening and switching, as the port reports
};

// Called after each candidate (results[index] is final) for progress output.
typedef void (*DetectProgressFn)(void* context, const DetectOutcome& sofar, int index);

// Runs the scan over candidates (DetectDefaultCandidates when null). The
// outcome is filled as it goes; progress may be null.
DetectVerdict DetectScan(const DetectPort& port, const DetectSetting* candidates, int count,
                         const DetectLimits& limits, DetectOutcome& outcome,
                         DetectProgressFn progress = nullptr, void* progressContext = nullptr);

// Ranks two results: 1 when a beats b. A convincing result beats one that is
// not; then the higher score wins; on a tie the one tried first (lower index)
// wins, so the plainer format is preferred.
int DetectBetter(const DetectCandidateResult& a, const DetectCandidateResult& b);

// A clean match ends the scan: convincing score, enough messages, no line error.
int DetectIsClean(const DetectScore& score);
// Convincing enough to offer.
int DetectIsConvincing(const DetectScore& score);

// "115200 8N1 — 98 % of bytes framed" (UTF-8 dash), or a sentence for the
// other verdicts. text at least 96 bytes.
void DetectVerdictText(const DetectOutcome& outcome, char* text, size_t size);
