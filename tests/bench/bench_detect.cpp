// Detect Settings on the software UART: how often the scan names the setting
// the sender uses, and how long it takes in simulated time, over every rate,
// the formats 8N1, 8E1, 8O1 and 8N2, three loads and several seeds; then a
// noise-only and a silent line. Prints figures; fails only if a run is wrong.
//
//   bench_detect [seeds per case, default 20]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "detect/scan.h"
#include "tests/support/uart_model.h"

int main(int argc, char** argv) {
    const int seeds = argc > 1 ? std::atoi(argv[1]) : 20;
    const DetectSetting formats[] = {{0, 8, 'N', 1}, {0, 8, 'E', 1}, {0, 8, 'O', 1}, {0, 8, 'N', 2}};
    const double loads[] = {1.0, 0.6, 0.3};
    const DetectSetting start = {4800, 7, 'O', 1};
    std::unique_ptr<DetectOutcome> outcome(new DetectOutcome);
    int runs = 0, right = 0;
    long worstAll = 0;
    char worstText[64] = "";
    std::printf("%-8s %6s %10s %10s %10s\n", "rate", "right", "mean s", "worst s", "candidates");
    for (long rate : detectRates) {
        int rateRuns = 0, rateRight = 0;
        long worst = 0;
        double sum = 0, candidates = 0;
        for (const DetectSetting& format : formats)
            for (double load : loads)
                for (int seed = 0; seed < seeds; ++seed) {
                    DetectSetting tx = format;
                    tx.baud = rate;
                    // A UART checks one stop bit, so 8N1 receives 8N2 without
                    // error: for an 8N2 sender both are right.
                    DetectSetting oneStop = tx;
                    oneStop.stopBits = 1;
                    ModelSender sender(tx, load, static_cast<uint64_t>(seed * 7919 + rate));
                    ModelPort port(&sender, start);
                    const DetectVerdict v = DetectScan(port.Port(), nullptr, 0, DetectLimits(), *outcome);
                    const bool ok = v == DETECT_FOUND &&
                                    (DetectSettingEqual(outcome->results[outcome->best].setting, tx) ||
                                     DetectSettingEqual(outcome->results[outcome->best].setting, oneStop));
                    if (!ok) {
                        char sent[32];
                        DetectSettingText(tx, sent, sizeof sent);
                        std::printf("  wrong: sent %s load %.1f seed %d, verdict %d\n", sent, load, seed, v);
                    }
                    ++rateRuns;
                    rateRight += ok;
                    sum += outcome->elapsedMs;
                    candidates += outcome->count;
                    if (outcome->elapsedMs > worst) worst = outcome->elapsedMs;
                    if (outcome->elapsedMs > worstAll) {
                        worstAll = outcome->elapsedMs;
                        char sent[32];
                        DetectSettingText(tx, sent, sizeof sent);
                        std::snprintf(worstText, sizeof worstText, "%s at load %.1f", sent, load);
                    }
                }
        std::printf("%-8ld %3d/%-3d %9.1f %10.1f %10.1f\n", rate, rateRight, rateRuns, sum / rateRuns / 1000.0,
                    worst / 1000.0, candidates / rateRuns);
        runs += rateRuns;
        right += rateRight;
    }
    std::printf("right %d of %d (%.1f %%); longest scan %.1f s simulated (%s)\n", right, runs, 100.0 * right / runs,
                worstAll / 1000.0, worstText);

    long noiseWorst = 0;
    int noiseRight = 0;
    for (int seed = 0; seed < seeds; ++seed) {
        ModelNoise noise(static_cast<uint64_t>(seed));
        ModelPort port(&noise, start);
        const DetectVerdict v = DetectScan(port.Port(), nullptr, 0, DetectLimits(), *outcome);
        noiseRight += v == DETECT_NOT_CONVINCING && DetectSettingEqual(port.receiver.setting, start);
        noiseWorst = std::max(noiseWorst, outcome->elapsedMs);
    }
    std::printf("noise only: %d of %d \"no setting convinces\", port restored; longest %.1f s simulated\n",
                noiseRight, seeds, noiseWorst / 1000.0);
    ModelSilence silence;
    ModelPort port(&silence, start);
    const DetectVerdict v = DetectScan(port.Port(), nullptr, 0, DetectLimits(), *outcome);
    std::printf("silent line: %s after %.1f s simulated\n", v == DETECT_SILENT ? "no data" : "WRONG VERDICT",
                outcome->elapsedMs / 1000.0);
    return right == runs && noiseRight == seeds && v == DETECT_SILENT ? 0 : 1;
}
