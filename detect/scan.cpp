// The scan over candidate settings.
#include "detect/scan.h"

#include <cstdio>
#include <memory>

namespace {

int Cancelled(const DetectPort& port) { return port.cancelled && port.cancelled(port.context); }

// Line time of one character at the setting, in milliseconds.
double CharacterMs(const DetectSetting& s) {
    const int bits = 1 + s.dataBits + (s.parity == 'N' ? 0 : 1) + s.stopBits;
    return s.baud > 0 ? 1000.0 * bits / static_cast<double>(s.baud) : 0.0;
}

int Clamp(double value, int low, int high) {
    if (value < low) return low;
    if (value > high) return high;
    return static_cast<int>(value);
}

// Wrong beyond doubt: after the settling time, line errors on every fourth
// character or worse; or many bytes scored with fewer than half of them framed.
bool ClearlyWrong(const DetectScore& all, uint32_t settledBytes, uint32_t settledErrors) {
    if (settledErrors >= 4 && settledErrors * 4 >= settledBytes) return true;
    return all.scoredBytes >= 96 && all.framedShare < 0.5;
}

// Nothing against the setting yet (a message framed, or nothing but a
// lead-in so far) and the last slice clean: worth listening on for more.
bool Promising(const DetectScore& all, bool lastSliceClean) {
    return lastSliceClean && all.heard && (all.messages >= 1 || (all.scoredBytes == 0 && all.lineErrors == 0));
}

void Rank(DetectOutcome& o) {
    o.best = -1;
    o.runnerUp = -1;
    for (int i = 0; i < o.count; ++i) {
        if (!o.results[i].score.heard) continue;
        if (o.best < 0 || DetectBetter(o.results[i], o.results[o.best])) {
            o.runnerUp = o.best;
            o.best = i;
        } else if (o.runnerUp < 0 || DetectBetter(o.results[i], o.results[o.runnerUp])) {
            o.runnerUp = i;
        }
    }
}

}  // namespace

int DetectBetter(const DetectCandidateResult& a, const DetectCandidateResult& b) {
    const int convincingA = DetectIsConvincing(a.score), convincingB = DetectIsConvincing(b.score);
    if (convincingA != convincingB) return convincingA;
    return a.score.score > b.score.score + 1e-9;
}

int DetectIsConvincing(const DetectScore& s) {
    return s.heard && s.score >= DETECT_CONVINCING_SCORE && s.messages >= DETECT_MIN_MESSAGES;
}

int DetectIsClean(const DetectScore& s) {
    return DetectIsConvincing(s) && s.score >= DETECT_CLEAN_SCORE && s.lineErrors == 0 && s.scoredBytes >= 48;
}

DetectVerdict DetectScan(const DetectPort& port, const DetectSetting* candidates, int count,
                         const DetectLimits& limits, DetectOutcome& o, DetectProgressFn progress,
                         void* progressContext) {
    DetectSetting defaults[DETECT_CANDIDATE_COUNT];
    if (!candidates) {
        count = DetectDefaultCandidates(defaults, DETECT_CANDIDATE_COUNT);
        candidates = defaults;
    }
    if (count > DETECT_MAX_CANDIDATES) count = DETECT_MAX_CANDIDATES;
    o.count = 0;
    o.total = count;
    o.best = -1;
    o.runnerUp = -1;
    o.elapsedMs = 0;

    // Two views of each candidate: everything since the switch, and the bytes
    // since the last slice that had a line error or a framing fault. A UART
    // switched to the right setting in the middle of a character may take a
    // dozen characters to fall into step; the second view lets it.
    std::unique_ptr<DetectScorer> all(new DetectScorer), recent(new DetectScorer);
    const int capacity = 8192;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    bool cancelled = false, failed = false, clean = false, heardAny = false;
    long silentMs = 0;
    int current = -1;  // candidate the port is at

    for (int i = 0; i < count && !cancelled && !failed && !clean; ++i) {
        if (Cancelled(port)) {
            cancelled = true;
            break;
        }
        DetectCandidateResult& r = o.results[i];
        r.setting = candidates[i];
        r.listenedMs = 0;
        uint32_t settleErrors = 0;
        DetectScorerInit(*all);
        DetectScorerInit(*recent);
        r.applied = port.apply(port.context, r.setting);
        current = i;
        if (r.applied) {
            const double charMs = CharacterMs(r.setting);
            const int settleMs = Clamp(charMs * limits.settleCharacters + 1, limits.settleMs, limits.baseCapMs);
            const int baseMs = Clamp(charMs * limits.baseCharacters, limits.baseMs, limits.baseCapMs);
            const int longMs = Clamp(charMs * limits.promisingCharacters, limits.promisingMs, limits.promisingCapMs);
            uint32_t settledBytes = 0, settledErrors = 0;
            bool lastSliceClean = false;
            int heardAtMs = -1;
            for (;;) {
                if (Cancelled(port)) {
                    cancelled = true;
                    break;
                }
                // The time limits run from the first thing heard: a listen may
                // start in a pause of the feed.
                const DetectScore sofar = DetectScorerResult(*all);
                const int limit = heardAtMs < 0 ? limits.quietMs
                                  : heardAtMs + (Promising(sofar, lastSliceClean) ? longMs : baseMs);
                int ask = limit - r.listenedMs;
                if (ask > limits.sliceMs) ask = limits.sliceMs;
                // Until something is heard, listen in steps of the settling
                // time, so that the settling errors can be told from the rest.
                if (heardAtMs < 0 && ask > settleMs) ask = settleMs;
                if (heardAtMs >= 0 && r.listenedMs < heardAtMs + settleMs && ask > heardAtMs + settleMs - r.listenedMs)
                    ask = heardAtMs + settleMs - r.listenedMs;
                if (ask <= 0) break;
                int got = 0, elapsed = 0;
                uint32_t errors = 0;
                if (!port.listen(port.context, ask, buffer.get(), capacity, &got, &errors, &elapsed)) {
                    failed = true;
                    break;
                }
                if (elapsed <= 0 && got == 0) elapsed = ask;  // never spin on a port that returns at once
                if (heardAtMs < 0 && (got > 0 || errors > 0)) heardAtMs = r.listenedMs;
                const bool settled = heardAtMs >= 0 && r.listenedMs >= heardAtMs + settleMs;
                r.listenedMs += elapsed;
                o.elapsedMs += elapsed;
                if (settled) {
                    settledBytes += static_cast<uint32_t>(got);
                    settledErrors += errors;
                }
                // Line errors while the UART falls into step are not held
                // against the setting, as the bytes of the lead-in are not.
                DetectScorerFeed(*all, buffer.get(), static_cast<size_t>(got), settled ? errors : 0);
                if (!settled) settleErrors += errors;
                const uint32_t faultsBefore = recent->unframedBytes - recent->leadInBytes;
                DetectScorerFeed(*recent, buffer.get(), static_cast<size_t>(got), errors);
                lastSliceClean = errors == 0 && recent->unframedBytes - recent->leadInBytes == faultsBefore;
                if (!lastSliceClean) DetectScorerInit(*recent);
                // The whole view may only win once it has heard past the settling time.
                if ((settledBytes >= 48 && DetectIsClean(DetectScorerResult(*all))) ||
                    DetectIsClean(DetectScorerResult(*recent))) {
                    clean = true;
                    break;
                }
                if (ClearlyWrong(DetectScorerResult(*all), settledBytes, settledErrors)) break;
            }
        }
        // The candidate is judged by its settled view when that convinces.
        const DetectScore whole = DetectScorerResult(*all);
        const DetectScore settled = DetectScorerResult(*recent);
        r.score = DetectIsConvincing(settled) && settled.score > whole.score ? settled : whole;
        if (settleErrors > 0) r.score.heard = DETECT_HEARD;
        o.count = i + 1;
        if (r.score.heard) {
            heardAny = true;
        } else {
            silentMs += r.listenedMs;
        }
        Rank(o);
        if (progress) progress(progressContext, o, i);
        if (!heardAny && silentMs >= limits.silenceMs) break;
    }

    if (cancelled) o.verdict = DETECT_CANCELLED;
    else if (failed) o.verdict = DETECT_PORT_FAILED;
    else if (o.best >= 0 && DetectIsConvincing(o.results[o.best].score)) o.verdict = DETECT_FOUND;
    else if (!heardAny) o.verdict = DETECT_SILENT;
    else o.verdict = DETECT_NOT_CONVINCING;

    if (o.verdict == DETECT_FOUND) {
        // Leave the port at the winner; if it will not go back there, the
        // port is better off as it was.
        if (current != o.best && !port.apply(port.context, o.results[o.best].setting)) {
            port.restore(port.context);
            o.verdict = DETECT_PORT_FAILED;
        }
    } else {
        port.restore(port.context);
    }
    return o.verdict;
}

void DetectVerdictText(const DetectOutcome& o, char* text, size_t size) {
    char setting[32];
    const DetectCandidateResult* best = o.best >= 0 ? &o.results[o.best] : nullptr;
    if (best) DetectSettingText(best->setting, setting, sizeof setting);
    // Rounded down, so a setting is never shown as framing everything when it does not.
    const int percent = best ? static_cast<int>(best->score.framedShare * 100.0) : 0;
    switch (o.verdict) {
    case DETECT_FOUND:
        std::snprintf(text, size, "%s \xE2\x80\x94 %d %% of bytes framed", setting, percent);
        break;
    case DETECT_NOT_CONVINCING:
        if (best)
            std::snprintf(text, size, "No setting convinces (best %s \xE2\x80\x94 %d %% of bytes framed)",
                          setting, percent);
        else
            std::snprintf(text, size, "No setting convinces");
        break;
    case DETECT_SILENT:
        std::snprintf(text, size, "No data: nothing arrives at any setting tried");
        break;
    case DETECT_CANCELLED:
        std::snprintf(text, size, "Cancelled: the port is as it was");
        break;
    case DETECT_PORT_FAILED:
        std::snprintf(text, size, "The port failed during the scan");
        break;
    }
}
