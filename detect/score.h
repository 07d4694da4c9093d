// How well the bytes heard at one line setting frame as tally messages.
//
// The bytes go through the receiver's own frame parser (its trace says what
// each byte became); the share of bytes inside complete, well-formed messages
// is the figure, cut down by UART line errors (framing, parity, overrun),
// which a wrong parity or stop-bit setting causes even where the bytes
// themselves arrive intact. A listen joins the feed mid-message and ends
// mid-message, so the bytes before the first message (up to one message) and
// the incomplete one at the end are not held against it. Portable.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tally/parser.h"
#include "tally/store.h"

// A listen heard nothing at all: no byte, no line error.
constexpr int DETECT_NO_DATA = 0;
constexpr int DETECT_HEARD = 1;

// Scores for the verdict of a scan.
constexpr double DETECT_CONVINCING_SCORE = 0.80;  // best below this: nothing convinces
constexpr double DETECT_CLEAN_SCORE = 0.95;       // with no line error: stop scanning
constexpr uint32_t DETECT_MIN_MESSAGES = 3;       // fewer complete messages: not sure yet
constexpr uint32_t DETECT_FULL_CONFIDENCE_BYTES = 64;
// A line error costs this many times its share of what was heard.
constexpr double DETECT_LINE_ERROR_WEIGHT = 4.0;
// Bytes before the first complete message that are not counted: one message
// less its last byte, where a listen that starts mid-message may join.
constexpr uint32_t DETECT_LEAD_IN_BYTES = 2 + MAX_PAYLOAD - 1;

struct DetectScore {
    int heard;              // DETECT_NO_DATA or DETECT_HEARD
    uint32_t bytes;         // bytes fed
    uint32_t lineErrors;    // UART line errors reported with them
    uint32_t messages;      // complete, well-formed messages
    uint32_t framedBytes;   // bytes inside those messages
    uint32_t scoredBytes;   // bytes the share is taken over
    double framedShare;     // framedBytes / scoredBytes (0 when nothing scored)
    double score;           // 0..1: framedShare less the line-error penalty
    double confidence;      // 0..1: enough heard to trust the score (64 bytes or
                            // line errors beyond the lead-in make 1); shown, while
                            // the verdict asks for DETECT_MIN_MESSAGES instead
};

// Incremental: feed what each slice of a listen returned, read the score at
// any time. About 16 KB; allocates nothing.
struct DetectScorer {
    TallyStore store;
    FrameParser parser;
    uint32_t bytes;
    uint32_t lineErrors;
    uint32_t messages;
    uint32_t framedBytes;
    uint32_t unframedBytes;     // discarded as stray or faulty, lead-in included
    uint32_t leadInBytes;       // discarded before the first complete message
};

void DetectScorerInit(DetectScorer& scorer);
void DetectScorerFeed(DetectScorer& scorer, const uint8_t* bytes, size_t count, uint32_t lineErrors);
DetectScore DetectScorerResult(const DetectScorer& scorer);

// One-shot form for a whole listen.
DetectScore DetectScoreBytes(const uint8_t* bytes, size_t count, uint32_t lineErrors);
