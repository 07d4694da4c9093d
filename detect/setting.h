// Line settings that Detect Settings tries, and their short text ("115200 8N1").
// Portable: no platform headers.
#pragma once
#include <cstddef>

struct DetectSetting {
    long baud;
    int dataBits;   // 7 or 8
    char parity;    // 'N', 'E', 'O'
    int stopBits;   // 1 or 2
};

inline bool DetectSettingEqual(const DetectSetting& a, const DetectSetting& b) {
    return a.baud == b.baud && a.dataBits == b.dataBits && a.parity == b.parity && a.stopBits == b.stopBits;
}

// "115200 8N1" into text (at least 24 bytes).
void DetectSettingText(const DetectSetting& setting, char* text, size_t size);

// The rates of the Settings dialog, most common on tally feeds first, and the
// character formats, plain 8N1 first.
constexpr int DETECT_RATE_COUNT = 13;
constexpr int DETECT_FORMAT_COUNT = 6;
constexpr int DETECT_CANDIDATE_COUNT = DETECT_RATE_COUNT * DETECT_FORMAT_COUNT;
extern const long detectRates[DETECT_RATE_COUNT];
extern const DetectSetting detectFormats[DETECT_FORMAT_COUNT];  // baud unused

// Every rate with every format, rate by rate: a wrong rate is rejected after a
// few characters at any format, so the formats of the right rate come early.
// Fills up to max settings; returns how many.
int DetectDefaultCandidates(DetectSetting* out, int max);
