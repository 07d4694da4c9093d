// Scoring a listen by what the frame parser makes of it.
#include "detect/score.h"

#include <memory>

namespace {

void OnFrameEvent(void* context, const FrameEvent& event) {
    DetectScorer& s = *static_cast<DetectScorer*>(context);
    switch (event.kind) {
    case FRAME_STORED:
    case FRAME_RESET:
        ++s.messages;
        s.framedBytes += static_cast<uint32_t>(event.consumed);
        break;
    case FRAME_IGNORED:
        // A well-formed message of a type without a record still frames; a
        // bare doubled control byte is too easily made by noise to count.
        if (event.consumed > 2) {
            ++s.messages;
            s.framedBytes += static_cast<uint32_t>(event.consumed);
        } else {
            s.unframedBytes += static_cast<uint32_t>(event.consumed);
            if (s.messages == 0) s.leadInBytes += static_cast<uint32_t>(event.consumed);
        }
        break;
    case FRAME_BYTES_DROPPED:
        break;  // never happens: feeds are split below the buffer size
    default:
        s.unframedBytes += static_cast<uint32_t>(event.consumed);
        if (s.messages == 0) s.leadInBytes += static_cast<uint32_t>(event.consumed);
        break;
    }
}

}  // namespace

void DetectScorerInit(DetectScorer& s) {
    TallyStoreInit(s.store);
    FrameParserInit(s.parser, &s.store, OnFrameEvent, &s);
    s.bytes = 0;
    s.lineErrors = 0;
    s.messages = 0;
    s.framedBytes = 0;
    s.unframedBytes = 0;
    s.leadInBytes = 0;
}

void DetectScorerFeed(DetectScorer& s, const uint8_t* bytes, size_t count, uint32_t lineErrors) {
    s.lineErrors += lineErrors;
    s.bytes += static_cast<uint32_t>(count);
    // The parser holds at most one incomplete message between feeds, so
    // blocks of this size always fit its buffer.
    const size_t block = 4096;
    for (size_t done = 0; done < count; done += block) {
        const size_t n = count - done < block ? count - done : block;
        FrameParserFeed(s.parser, bytes + done, n);
    }
}

DetectScore DetectScorerResult(const DetectScorer& s) {
    DetectScore r;
    r.heard = s.bytes > 0 || s.lineErrors > 0 ? DETECT_HEARD : DETECT_NO_DATA;
    r.bytes = s.bytes;
    r.lineErrors = s.lineErrors;
    r.messages = s.messages;
    r.framedBytes = s.framedBytes;
    const uint32_t forgiven = s.leadInBytes < DETECT_LEAD_IN_BYTES ? s.leadInBytes : DETECT_LEAD_IN_BYTES;
    r.scoredBytes = s.framedBytes + s.unframedBytes - forgiven;
    r.framedShare = r.scoredBytes ? static_cast<double>(r.framedBytes) / r.scoredBytes : 0.0;
    const double heard = static_cast<double>(s.bytes) + s.lineErrors;
    const double errorShare = heard > 0 ? s.lineErrors / heard : 0.0;
    double keep = 1.0 - DETECT_LINE_ERROR_WEIGHT * errorShare;
    if (keep < 0) keep = 0;
    r.score = r.framedShare * keep;
    const double seen = static_cast<double>(r.scoredBytes) + s.lineErrors;
    r.confidence = seen >= DETECT_FULL_CONFIDENCE_BYTES ? 1.0 : seen / DETECT_FULL_CONFIDENCE_BYTES;
    return r;
}

DetectScore DetectScoreBytes(const uint8_t* bytes, size_t count, uint32_t lineErrors) {
    std::unique_ptr<DetectScorer> scorer(new DetectScorer);  // 16 KB: kept off the stack
    DetectScorerInit(*scorer);
    DetectScorerFeed(*scorer, bytes, count, lineErrors);
    return DetectScorerResult(*scorer);
}
