// Candidate settings for Detect Settings.
#include "detect/setting.h"

#include <cstdio>

// 115200 is this program's default and what modern switchers ship with; 9600
// and 38400 are the classic tally rates; the slow rates come last, as they are
// both rare and the slowest to listen to.
const long detectRates[DETECT_RATE_COUNT] = {115200, 9600, 38400, 19200, 57600, 256000, 14400,
                                             4800,   2400, 1200,  600,   300,   110};

const DetectSetting detectFormats[DETECT_FORMAT_COUNT] = {
    {0, 8, 'N', 1}, {0, 8, 'E', 1}, {0, 8, 'O', 1}, {0, 7, 'E', 1}, {0, 7, 'O', 1}, {0, 8, 'N', 2},
};

void DetectSettingText(const DetectSetting& s, char* text, size_t size) {
    std::snprintf(text, size, "%ld %d%c%d", s.baud, s.dataBits, s.parity, s.stopBits);
}

int DetectDefaultCandidates(DetectSetting* out, int max) {
    int n = 0;
    for (long rate : detectRates)
        for (const DetectSetting& format : detectFormats) {
            if (n >= max) return n;
            out[n] = format;
            out[n].baud = rate;
            ++n;
        }
    return n;
}
