// tallydump and recordings. A recording is decoded by feeding its records'
// bytes to the same parser as a raw capture (a new parser at each connect,
// as the application starts one per connection); each framing event is traced
// with the time of the record its first byte belongs to, and a run of stray
// bytes within one record is one line, so there is one line per record.
#include "tools/tallydump/recorded.h"
#include "recording/recording.h"

#include "escape/escape.h"
#include "serial/modem_lines.h"
#include "tools/common/interrupt.h"

#include <chrono>
#include <cstdint>
#include <cinttypes>
#include <deque>
#include <ostream>
#include <vector>

namespace {

std::string DateTimeText(uint64_t timeUs) {
    int y, m, d;
    RecordingCivilDate(static_cast<int64_t>(timeUs / 86400000000ull), y, m, d);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %s", y, m, d, RecordingTimeText(timeUs).c_str());
    return text;
}

uint32_t Little32(const uint8_t* p, size_t length) {
    return length < 4 ? 0 : uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Parser input offsets [parserStart, parserEnd) came from record `index`.
struct Span {
    uint64_t parserStart, parserEnd, streamStart;
    size_t index;
    uint64_t timeUs;
};
// A line for a record that no parser event stands for, printed once every
// event of earlier records is out.
struct Waiting {
    size_t index;
    std::string line;
};

struct RecordedTrace {
    DumpSession* session;
    std::ostream* out;  // null unless tracing
    std::deque<Span> spans;
    std::deque<Waiting> waiting;
    bool strayHeld = false;
    size_t strayIndex = 0;
    uint64_t strayTimeUs = 0, strayStreamOffset = 0, strayNext = 0;
    std::vector<uint8_t> stray;
};

void PrintWaitingBefore(RecordedTrace& t, size_t index) {
    while (!t.waiting.empty() && t.waiting.front().index < index) {
        *t.out << t.waiting.front().line << '\n';
        t.waiting.pop_front();
    }
}

void PrintEvent(RecordedTrace& t, size_t index, uint64_t timeUs, const FrameEvent& event) {
    PrintWaitingBefore(t, index);
    *t.out << RecordingTimeText(timeUs) << "  " << FormatTraceEvent(event) << '\n';
}

// The parser's input offset of its first pending byte belongs to which record
// (SIZE_MAX when nothing is pending).
size_t FirstPendingIndex(const RecordedTrace& t) {
    const int pending = FrameParserPending(*t.session->parser);
    if (pending <= 0) return SIZE_MAX;
    const uint64_t first = t.session->parser->bytesFed - static_cast<uint64_t>(pending);
    for (const Span& span : t.spans)
        if (first < span.parserEnd) return span.index;
    return SIZE_MAX;
}

void FlushStray(RecordedTrace& t);

// After each record: what is known to be complete goes out now, so that the
// memory held stays flat in the recording's size and a line-error line is
// not kept back to the end. Lines for later records wait only while the
// parser holds an incomplete message whose line must come first; a queue
// grown past a bound goes out anyway (a flood of link events inside one
// message is printed ahead of that message's line).
void SettleRecord(RecordedTrace& t) {
    FlushStray(t);
    const int pending = FrameParserPending(*t.session->parser);
    const uint64_t consumed = t.session->parser->bytesFed - static_cast<uint64_t>(pending > 0 ? pending : 0);
    while (!t.spans.empty() && t.spans.front().parserEnd <= consumed && t.spans.size() > 1) t.spans.pop_front();
    PrintWaitingBefore(t, FirstPendingIndex(t));
    while (t.waiting.size() > 4096) {
        *t.out << t.waiting.front().line << '\n';
        t.waiting.pop_front();
    }
}

void FlushStray(RecordedTrace& t) {
    if (!t.strayHeld) return;
    t.strayHeld = false;
    FrameEvent run;
    run.kind = FRAME_STRAY_BYTE;
    run.offset = t.strayStreamOffset;
    run.bytes = t.stray.data();
    run.length = run.consumed = static_cast<int>(t.stray.size());
    run.type = 0;
    PrintEvent(t, t.strayIndex, t.strayTimeUs, run);
}

void OnRecordedEvent(void* context, const FrameEvent& event) {
    RecordedTrace& t = *static_cast<RecordedTrace*>(context);
    DumpOnFrameEvent(t.session, event);  // the summary's tallies
    if (!t.out || t.spans.empty()) return;
    while (t.spans.size() > 1 && t.spans.front().parserEnd <= event.offset) t.spans.pop_front();
    const Span& span = t.spans.front();
    FrameEvent shown = event;
    shown.offset = span.streamStart + (event.offset - span.parserStart);
    if (event.kind == FRAME_STRAY_BYTE) {
        if (t.strayHeld && (t.strayIndex != span.index || t.strayNext != event.offset)) FlushStray(t);
        if (!t.strayHeld) {
            t.strayHeld = true;
            t.strayIndex = span.index;
            t.strayTimeUs = span.timeUs;
            t.strayStreamOffset = shown.offset;
            t.stray.clear();
        }
        t.stray.push_back(event.bytes[0]);
        t.strayNext = event.offset + 1;
        return;
    }
    FlushStray(t);
    PrintEvent(t, span.index, span.timeUs, shown);
}

// A trace line for a record no parser event stands for.
std::string RecordLine(const RecordingRecord& record, uint64_t streamOffset) {
    char head[48];
    std::string what;
    bool bytes = false;
    char text[64];
    switch (record.kind) {
    case RECORD_PENDING: what = "incomplete message, never completed"; bytes = true; break;
    case RECORD_DROPPED: what = "bytes dropped, frame buffer full"; bytes = true; break;
    case RECORD_LINE_ERROR:
        std::snprintf(text, sizeof text, "line error 0x%08" PRIx32, Little32(record.bytes, record.length));
        what = text;
        break;
    case RECORD_PORT_ERROR:
        std::snprintf(text, sizeof text, "port error 0x%08" PRIx32, Little32(record.bytes, record.length));
        what = text;
        break;
    case RECORD_CONNECT:
        // Text from the file: a newline in it must not forge a trace line.
        what = "connect " + EscapeText(record.bytes, record.length);
        break;
    case RECORD_DISCONNECT: what = "disconnect"; break;
    case RECORD_ALARM: what = "alarm " + EscapeText(record.bytes, record.length); break;
    case RECORD_MODEM: what = "modem " + ModemCodeText(Little32(record.bytes, record.length)); break;
    case RECORD_LOST:
        what = "lost " + std::to_string(Little32(record.bytes, record.length)) + " received bytes (a gap)";
        break;
    default: what = RecordKindName(record.kind); break;
    }
    if (bytes) std::snprintf(head, sizeof head, "%10" PRIu64 "  ", streamOffset);
    else std::snprintf(head, sizeof head, "%10s  ", "");
    std::string line = RecordingTimeText(record.timeUs) + "  " + head + what;
    if (bytes) {
        const size_t shown = record.length > 32 ? 32 : record.length;
        line.append(what.size() < 34 ? 34 - what.size() : 1, ' ');
        line += HexBytes(record.bytes, shown, " ");
        if (shown < record.length) line += " ... (" + std::to_string(record.length) + " bytes)";
    }
    return line;
}

}  // namespace

std::string RecordingTimeText(uint64_t timeUs) {
    const uint64_t seconds = timeUs / 1000000;
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%06u", unsigned(seconds / 3600 % 24), unsigned(seconds / 60 % 60),
                  unsigned(seconds % 60), unsigned(timeUs % 1000000));
    return text;
}

int DumpRecording(FILE* in, const std::string& inputName, const uint8_t* prefix, size_t prefixLength,
                  DumpMode mode, std::ostream& out, std::ostream& err) {
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    if (!RecordingBegin(*reader, in, prefix, prefixLength)) {
        err << "tallydump: " << inputName << ": " << reader->error << "\n";
        return 2;
    }
    DumpSession session;
    DumpSessionInit(session, nullptr);
    RecordedTrace trace;
    trace.session = &session;
    trace.out = mode == DUMP_TRACE ? &out : nullptr;
    FrameParserInit(*session.parser, session.store.get(), OnRecordedEvent, &trace);

    RecordingRecord record;
    RecordingReadResult result;
    uint64_t streamOffset = 0, records = 0, firstUs = 0, lastUs = 0;
    while (!InterruptSignal() && (result = RecordingNext(*reader, record)) == RECORDING_RECORD) {
        const size_t index = static_cast<size_t>(records++);
        if (index == 0) firstUs = record.timeUs;
        lastUs = record.timeUs;
        if (record.kind == RECORD_CONNECT) {
            // Every event of the previous connection is out; the application
            // starts a new parser here, and so does this.
            if (trace.out) {
                FlushStray(trace);
                PrintWaitingBefore(trace, index);
            }
            trace.spans.clear();
            FrameParserInit(*session.parser, session.store.get(), OnRecordedEvent, &trace);
        }
        if (RecordCarriesStream(record.kind) && record.kind != RECORD_DROPPED) {
            const uint64_t start = session.parser->bytesFed;
            if (trace.out) trace.spans.push_back({start, start + record.length, streamOffset, index, record.timeUs});
            // In reads no longer than the receiver's, so the parser never drops.
            for (size_t at = 0; at < record.length; at += READ_BUFFER_SIZE)
                DumpFeed(session, record.bytes + at,
                         record.length - at < size_t(READ_BUFFER_SIZE) ? record.length - at : READ_BUFFER_SIZE);
        } else if (record.kind == RECORD_DROPPED) {
            session.dropped += record.length;
            session.bytesFed += record.length;
        }
        if (trace.out && (!RecordCarriesStream(record.kind) || record.kind == RECORD_DROPPED ||
                          record.kind == RECORD_PENDING))
            trace.waiting.push_back({index, RecordLine(record, streamOffset)});
        if (trace.out) SettleRecord(trace);
        if (RecordCarriesStream(record.kind)) streamOffset += record.length;
    }
    // Ctrl-C or SIGTERM while reading a pipe ends the read early (and may
    // leave a short read behind): the report covers the records read so far.
    const int signal = InterruptSignal();
    const DumpEnd end = signal                               ? DUMP_END_INTERRUPTED
                        : result == RECORDING_TRUNCATED ? DUMP_END_TRUNCATED
                                                        : DUMP_END_INPUT;
    if (result == RECORDING_BAD && !signal) {
        err << "tallydump: " << inputName << ": " << reader->error << "\n";
        return 2;
    }
    if (trace.out) {
        FlushStray(trace);
        PrintWaitingBefore(trace, static_cast<size_t>(records));
    }
    if (signal)
        err << "tallydump: interrupted; the report covers the " << records << " records read so far\n";
    else if (result == RECORDING_TRUNCATED)
        err << "tallydump: warning: " << inputName << ": " << reader->error
            << "; decoded up to the last whole record\n";
    err << DumpSuspectWarning(session, inputName);
    if (mode == DUMP_SUMMARY) {
        out.clear();
        out << "recording of " << records << " records, " << (records ? DateTimeText(firstUs) : "-") << " to "
            << (records ? DateTimeText(lastUs) : "-") << " UTC\n";
        DumpReport(session, mode, end, out);
    } else if (mode == DUMP_TRACE) {
        out.clear();
        out << (signal ? "interrupted" : "end of recording") << " at " << streamOffset << " bytes, " << records
            << " records, pending " << FrameParserPending(*session.parser) << " bytes\n";
        out.flush();
    } else {
        DumpReport(session, mode, end, out);
    }
    // Dropped records are what the receiver lost when recording, not a fault
    // of this decode: only an interruption changes the status.
    return signal ? DumpExitStatus(session, end, signal) : 0;
}

// ---- Writing from a live port ------------------------------------------------

namespace {

void WriteSink(void* context, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type, const uint8_t* bytes,
               size_t length) {
    RecordingWrite(static_cast<LiveRecording*>(context)->writer, timeUs, kind, flags, type, bytes, length);
}

// The session's own callback (tallies, trace lines) and the recorder's.
void OnLiveEvent(void* context, const FrameEvent& event) {
    LiveRecording& recording = *static_cast<LiveRecording*>(context);
    DumpOnFrameEvent(recording.session, event);
    RecorderOnFrameEvent(recording.recorder.get(), event);
}

}  // namespace

bool LiveRecordingStart(LiveRecording& recording, DumpSession& session, FILE* file, const std::string& connectText,
                        std::string& error, uint64_t timeUs) {
    if (!RecordingStart(recording.writer, file)) {
        RecordingClose(recording.writer);
        error = "writing the file header failed";
        return false;
    }
    recording.session = &session;
    recording.recorder.reset(new Recorder);
    RecorderInit(*recording.recorder, WriteSink, &recording);
    session.parser->trace = OnLiveEvent;
    session.parser->traceContext = &recording;
    RecordingWrite(recording.writer, timeUs, RECORD_CONNECT, 0, 0,
                   reinterpret_cast<const uint8_t*>(connectText.data()), connectText.size());
    if (RecordingFlush(recording.writer)) return true;
    RecordingClose(recording.writer);
    error = "writing the connect record failed";
    return false;
}

bool LiveRecordingFeed(LiveRecording& recording, const uint8_t* bytes, size_t count) {
    return LiveRecordingFeedAt(recording, bytes, count, RecordingNowUs());
}

bool LiveRecordingFeedAt(LiveRecording& recording, const uint8_t* bytes, size_t count, uint64_t timeUs) {
    RecorderBeginFeed(*recording.recorder, timeUs, recording.session->parser->bytesFed);
    DumpFeed(*recording.session, bytes, count);
    RecorderEndFeed(*recording.recorder);
    // Each read reaches the file at once: a crash loses no more than the read in hand.
    return RecordingFlush(recording.writer);
}

uint32_t LiveRecordingModem(LiveRecording& recording, ModemWatch& watch, uint32_t lines, bool breakSeen,
                            uint64_t timeUs) {
    const uint32_t code = ModemWatchUpdate(watch, lines, breakSeen);
    if (!code) return 0;
    const uint8_t bytes[4] = {uint8_t(code), uint8_t(code >> 8), uint8_t(code >> 16), uint8_t(code >> 24)};
    RecordingWrite(recording.writer, timeUs, RECORD_MODEM, 0, 0, bytes, sizeof bytes);
    RecordingFlush(recording.writer);
    return code;
}

bool LiveRecordingStop(LiveRecording& recording, uint64_t now) {
    RecorderFinish(*recording.recorder, *recording.session->parser, now);
    RecordingWrite(recording.writer, now, RECORD_DISCONNECT, 0, 0, nullptr, 0);
    return RecordingClose(recording.writer);
}
