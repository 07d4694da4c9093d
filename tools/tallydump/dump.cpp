// Decoding a tally byte stream through the real store and frame parser.
#include "tools/tallydump/dump.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ostream>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "escape/escape.h"
#include "onair/onair.h"
#include "recording/recording.h"
#include "tools/common/interrupt.h"
#include "tools/tallydump/recorded.h"

namespace {

const char* const ERROR_KEYS[5] = {"strayByteCount", "unknownTypeCount", "headerMismatchCount",
                                   "headerLowByteCount", "payloadErrorCount"};

// Every field of the counters in storage order, for the JSON both ways.
void CounterScalars(TallyCounterValues& c, uint32_t* scalars[5]) {
    scalars[0] = &c.strayByteCount;
    scalars[1] = &c.unknownTypeCount;
    scalars[2] = &c.headerMismatchCount;
    scalars[3] = &c.headerLowByteCount;
    scalars[4] = &c.payloadErrorCount;
}

// Name text up to its first NUL (or the field's end), quoted, with anything
// unprintable escaped so that a trace line stays one line.
std::string QuoteText(const uint8_t* text, int length) {
    return "\"" + EscapeText(text, static_cast<size_t>(length), true) + "\"";
}

std::string TypeHex(uint8_t type) {
    char text[16];
    std::snprintf(text, sizeof text, "type 0x%02x", type);
    return text;
}

std::string DescribeEvent(const FrameEvent& event) {
    const char* name = MessageTypeName(event.type);
    const bool isName = event.type == MSG_SOURCE_NAME || event.type == MSG_SOURCE_ALIAS;
    switch (event.kind) {
    case FRAME_STORED:
        if (isName && event.length >= 2 + NAME_PAYLOAD) {
            const uint8_t* payload = event.bytes + 2;
            return std::string("stored ") + name + " " + std::to_string(payload[0]) + " " +
                   QuoteText(payload + 1, NAME_LENGTH) + " " +
                   QuoteText(payload + 1 + NAME_LENGTH, NICKNAME_LENGTH);
        }
        return std::string("stored ") + (name ? name : TypeHex(event.type).c_str());
    case FRAME_IGNORED:
        if (isName && event.length >= 3)
            return std::string("ignored ") + name + " for source " + std::to_string(event.bytes[2]);
        return "ignored " + TypeHex(event.type);
    case FRAME_RESET: return "counters reset";
    case FRAME_STRAY_BYTE: return event.length > 1 ? "stray bytes" : "stray byte";  // a recorded run
    case FRAME_UNKNOWN_TYPE: return "unknown " + TypeHex(event.type);
    case FRAME_HEADER_MISMATCH: return "header mismatch";
    case FRAME_HEADER_LOW_BYTE: return "header low byte";
    case FRAME_PAYLOAD_ERROR:
        if (name) return std::string("payload error in ") + name;
        return event.type ? "payload error in " + TypeHex(event.type) : "payload error";
    case FRAME_BYTES_DROPPED: return "bytes dropped, frame buffer full";
    }
    return "event " + std::to_string(static_cast<int>(event.kind));
}

}  // namespace

void DumpOnFrameEvent(void* context, const FrameEvent& event) {
    DumpSession& session = *static_cast<DumpSession*>(context);
    switch (event.kind) {
    case FRAME_STORED: ++session.stored[event.type]; break;
    case FRAME_RESET: ++session.resets; break;
    case FRAME_IGNORED: ++session.ignored; break;
    case FRAME_BYTES_DROPPED: session.dropped += static_cast<uint64_t>(event.length); break;
    // With a trace callback installed the parser reports every error it
    // counts, one event per counter step.
    case FRAME_STRAY_BYTE: ++session.errorTotals[0]; break;
    case FRAME_UNKNOWN_TYPE: ++session.errorTotals[1]; break;
    case FRAME_HEADER_MISMATCH: ++session.errorTotals[2]; break;
    case FRAME_HEADER_LOW_BYTE: ++session.errorTotals[3]; break;
    case FRAME_PAYLOAD_ERROR: ++session.errorTotals[4]; break;
    default: break;
    }
    if (!session.trace) return;
    if (session.traceTime == TRACE_TIME_START && session.clockMs) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%8" PRId64 " ms  ", session.clockMs() - session.traceStartMs);
        *session.trace << stamp;
    } else if (session.traceTime == TRACE_TIME_WALL) {
        *session.trace << WallClockText(WallClockMs()) << "  ";
    }
    *session.trace << FormatTraceEvent(event) << '\n';
}

std::string HexBytes(const uint8_t* bytes, size_t count, const char* sep) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i && sep) out += sep;
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string FormatTraceEvent(const FrameEvent& event) {
    // Long runs (a dropped block) are cut so that a line stays readable.
    const size_t shown = event.length > 32 ? 32 : static_cast<size_t>(event.length > 0 ? event.length : 0);
    std::string hex = HexBytes(event.bytes, shown, " ");
    if (shown < static_cast<size_t>(event.length > 0 ? event.length : 0))
        hex += " ... (" + std::to_string(event.length) + " bytes)";
    char head[48];
    std::snprintf(head, sizeof head, "%10" PRIu64 "  ", event.offset);
    std::string line = head;
    std::string what = DescribeEvent(event);
    line += what;
    line.append(what.size() < 34 ? 34 - what.size() : 1, ' ');
    line += hex;
    return line;
}

void DumpSessionInit(DumpSession& session, std::ostream* trace) {
    if (!session.store) session.store.reset(new TallyStore);
    if (!session.parser) session.parser.reset(new FrameParser);
    TallyStoreInit(*session.store);
    session.trace = trace;
    session.bytesFed = 0;
    for (uint64_t& n : session.stored) n = 0;
    session.resets = session.ignored = session.dropped = 0;
    for (uint64_t& n : session.errorTotals) n = 0;
    // The callback also keeps the summary's tallies, so it is always installed.
    FrameParserInit(*session.parser, session.store.get(), DumpOnFrameEvent, &session);
}

void DumpFeed(DumpSession& session, const uint8_t* bytes, size_t count) {
    FrameParserFeed(*session.parser, bytes, count);
    session.bytesFed += count;
}

nlohmann::json CountersToJson(const TallyCounterValues& counters) {
    TallyCounterValues c = counters;
    uint32_t* scalars[5];
    CounterScalars(c, scalars);
    nlohmann::json json = nlohmann::json::object();
    for (int i = 0; i < 5; ++i) json[ERROR_KEYS[i]] = *scalars[i];
    json["meCount"] = std::vector<uint32_t>(c.meCount, c.meCount + ME_RECORDS);
    json["extCount"] = std::vector<uint32_t>(c.extCount, c.extCount + EXT_RECORDS);
    json["ssCount"] = c.ssCount;
    json["outCount"] = std::vector<uint32_t>(c.outCount, c.outCount + OUT_RECORDS);
    return json;
}

bool CountersFromJson(const nlohmann::json& json, TallyCounterValues& counters) {
    if (!json.is_object()) return false;
    uint32_t* scalars[5];
    CounterScalars(counters, scalars);
    auto scalar = [&](const char* key, uint32_t& out) {
        auto it = json.find(key);
        if (it == json.end() || !it->is_number_unsigned()) return false;
        out = it->get<uint32_t>();
        return true;
    };
    auto array = [&](const char* key, uint32_t* out, size_t n) {
        auto it = json.find(key);
        if (it == json.end() || !it->is_array() || it->size() != n) return false;
        for (size_t i = 0; i < n; ++i) {
            if (!(*it)[i].is_number_unsigned()) return false;
            out[i] = (*it)[i].get<uint32_t>();
        }
        return true;
    };
    for (int i = 0; i < 5; ++i)
        if (!scalar(ERROR_KEYS[i], *scalars[i])) return false;
    return array("meCount", counters.meCount, ME_RECORDS) &&
           array("extCount", counters.extCount, EXT_RECORDS) && scalar("ssCount", counters.ssCount) &&
           array("outCount", counters.outCount, OUT_RECORDS);
}

nlohmann::json DumpJson(DumpSession& session, DumpEnd end) {
    std::unique_ptr<TallySnapshotValues> snap(new TallySnapshotValues);
    TallySnapshot(*session.store, *snap);
    nlohmann::json json = nlohmann::json::object();
    json["counters"] = CountersToJson(snap->counters);
    json["dirty"] = {{"me", snap->meDirty},
                     {"ext", snap->extDirty},
                     {"ss", snap->ssDirty},
                     {"out", snap->outDirty},
                     {"names", snap->namesDirty}};
    auto recordHex = [](const void* record, size_t size) {
        return HexBytes(static_cast<const uint8_t*>(record), size, "");
    };
    nlohmann::json records = nlohmann::json::object();
    records["me"] = nlohmann::json::array();
    for (const MeTally& r : snap->meTally) records["me"].push_back(recordHex(&r, sizeof r));
    records["ext"] = nlohmann::json::array();
    for (const ExtTally& r : snap->extTally) records["ext"].push_back(recordHex(&r, sizeof r));
    records["ss"] = recordHex(&snap->ssTally, sizeof snap->ssTally);
    records["out"] = nlohmann::json::array();
    for (const OutputTally& r : snap->outTally) records["out"].push_back(recordHex(&r, sizeof r));
    json["records"] = records;
    json["names"] = nlohmann::json::array();
    for (const auto& entry : snap->sourceNames) json["names"].push_back(recordHex(entry, sizeof entry));
    json["pending"] = FrameParserPending(*session.parser);
    uint64_t messages = 0;
    for (uint64_t n : session.stored) messages += n;
    nlohmann::json totals = {{"bytes", session.bytesFed}, {"messages", messages}, {"ignored", session.ignored},
                             {"resets", session.resets},  {"dropped", session.dropped}};
    for (int i = 0; i < 5; ++i) totals[ERROR_KEYS[i]] = session.errorTotals[i];
    json["totals"] = totals;
    json["end"] = DumpEndText(end);
    return json;
}

nlohmann::ordered_json DumpOnAirJson(DumpSession& session) {
    OnAirInputs* inputs = new OnAirInputs;
    OnAirTally* tally = new OnAirTally;
    OnAirReadStore(*session.store, *inputs);
    OnAirDerive(inputs->me, inputs->out, *tally);
    // Keys in the order people read them: pgm, lap, pvw; output, source, mode.
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    // "received": false where the tally comes from the store's initial
    // records, because no message for that ME or output record ever came.
    json["me"] = nlohmann::ordered_json::array();
    for (int m = 0; m < ME_RECORDS; ++m)
        json["me"].push_back(nlohmann::ordered_json{{"pgm", OnAirSourcesAt(*tally, m, ONAIR_PROGRAM)},
                              {"lap", OnAirSourcesAt(*tally, m, ONAIR_LOOKAHEAD)},
                              {"pvw", OnAirSourcesAt(*tally, m, ONAIR_PREVIEW)},
                              {"received", session.stored[CATEGORY_ME + 1 + m] > 0}});
    json["outputs"] = nlohmann::ordered_json::array();
    for (int k = 0; k < tally->onAirCount; ++k) {
        const OnAirOutput& o = tally->onAir[k];
        const int record = (o.output - 1) / 8;
        json["outputs"].push_back(nlohmann::ordered_json{{"output", o.output}, {"source", o.source},
                                                         {"mode", std::string(1, o.mode)},
                                                         {"received", session.stored[CATEGORY_OUT + 1 + record] > 0}});
    }
    delete tally;
    delete inputs;
    return json;
}

std::string DumpSummary(DumpSession& session) {
    TallyCounterValues c;
    TallyReadCounters(*session.store, c);
    std::string out;
    char line[160];
    std::snprintf(line, sizeof line, "%" PRIu64 " bytes decoded\n", session.bytesFed);
    out += line;
    out += "messages stored (since start):\n";
    bool any = false;
    for (int type = 0x81; type <= 0xFF; ++type) {
        if (!session.stored[type]) continue;
        const char* name = MessageTypeName(static_cast<uint8_t>(type));
        std::snprintf(line, sizeof line, "  %-6s %10" PRIu64 "\n", name ? name : "?", session.stored[type]);
        out += line;
        any = true;
    }
    if (!any) out += "  none\n";
    std::snprintf(line, sizeof line, "ignored messages %" PRIu64 ", counter resets %" PRIu64 "\n",
                  session.ignored, session.resets);
    out += line;
    out += "counters (as a receiver shows them):\n";
    std::snprintf(line, sizeof line, "  ME   %u %u %u %u\n", c.meCount[0], c.meCount[1], c.meCount[2],
                  c.meCount[3]);
    out += line;
    std::snprintf(line, sizeof line, "  EXT  %u %u %u %u %u %u %u %u\n", c.extCount[0], c.extCount[1],
                  c.extCount[2], c.extCount[3], c.extCount[4], c.extCount[5], c.extCount[6],
                  c.extCount[7]);
    out += line;
    std::snprintf(line, sizeof line, "  SS   %u\n", c.ssCount);
    out += line;
    std::snprintf(line, sizeof line, "  OUT  %u %u %u %u %u %u\n", c.outCount[0], c.outCount[1],
                  c.outCount[2], c.outCount[3], c.outCount[4], c.outCount[5]);
    out += line;
    std::snprintf(line, sizeof line,
                  "errors: stray bytes %u, unknown types %u, header mismatches %u, header low bytes %u, "
                  "payload errors %u\n",
                  c.strayByteCount, c.unknownTypeCount, c.headerMismatchCount, c.headerLowByteCount,
                  c.payloadErrorCount);
    out += line;
    const uint64_t* t = session.errorTotals;
    std::snprintf(line, sizeof line,
                  "errors since start: stray bytes %" PRIu64 ", unknown types %" PRIu64 ", header mismatches %" PRIu64
                  ", header low bytes %" PRIu64 ", payload errors %" PRIu64 "\n",
                  t[0], t[1], t[2], t[3], t[4]);
    out += line;
    std::snprintf(line, sizeof line, "pending %d bytes", FrameParserPending(*session.parser));
    out += line;
    if (session.dropped) {
        std::snprintf(line, sizeof line, ", %" PRIu64 " bytes dropped (frame buffer full)", session.dropped);
        out += line;
    }
    out += '\n';
    return out;
}

std::string DumpSuspectWarning(const DumpSession& session, const std::string& inputName) {
    const uint64_t stray = session.errorTotals[0];  // since start: a reset message does not hide them
    if (session.bytesFed < DUMP_SUSPECT_MIN_BYTES || stray * 10 <= session.bytesFed * 9) return std::string();
    char line[256];
    std::snprintf(line, sizeof line,
                  "tallydump: warning: %s: %" PRIu64 " of %" PRIu64 " bytes (%d %%) are stray bytes; this does not "
                  "look like a tally feed (wrong file, or wrong baud rate?)\n",
                  inputName.empty() ? "input" : inputName.c_str(), stray, session.bytesFed,
                  static_cast<int>(stray * 100 / session.bytesFed));
    return line;
}

uint64_t DumpFramingErrors(DumpSession& session) {
    TallyCounterValues c;
    TallyReadCounters(*session.store, c);
    return uint64_t(c.strayByteCount) + c.unknownTypeCount + c.headerMismatchCount + c.headerLowByteCount +
           c.payloadErrorCount;
}

uint64_t DumpFramingTotal(const DumpSession& session) {
    uint64_t sum = 0;
    for (uint64_t n : session.errorTotals) sum += n;
    return sum;
}

uint64_t DumpStoredCount(DumpSession& session) {
    TallyCounterValues c;
    TallyReadCounters(*session.store, c);
    return TallyMessageCount(c);
}

namespace {

int64_t TmSeconds(const std::tm& t) {
    return RecordingDaysFromCivil(t.tm_year + 1900, static_cast<unsigned>(t.tm_mon + 1), static_cast<unsigned>(t.tm_mday)) *
               86400 +
           t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

}  // namespace

int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string WallClockText(int64_t unixMs) {
    const int64_t seconds = unixMs >= 0 ? unixMs / 1000 : -((-unixMs + 999) / 1000);
    const int ms = static_cast<int>(unixMs - seconds * 1000);
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local = *std::localtime(&when);
    const int64_t offset = TmSeconds(local) - seconds;  // east of UTC, in seconds
    const int64_t offsetMinutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms,
                  offset < 0 ? '-' : '+', static_cast<int>(offsetMinutes / 60), static_cast<int>(offsetMinutes % 60));
    return text;
}

const char* DumpEndText(DumpEnd end) {
    switch (end) {
    case DUMP_END_INPUT: return "end of input";
    case DUMP_END_STOPPED: return "stopped";
    case DUMP_END_INTERRUPTED: return "interrupted";
    case DUMP_END_READ_FAILED: return "read failed";
    case DUMP_END_WRITE_FAILED: return "capture write failed";
    case DUMP_END_TRUNCATED: return "truncated recording";
    }
    return "?";
}

int DumpExitStatus(const DumpSession& session, DumpEnd end, int signal) {
    if (end == DUMP_END_INTERRUPTED) return InterruptStatus(signal);
    if (end == DUMP_END_READ_FAILED || end == DUMP_END_WRITE_FAILED || session.dropped) return 1;
    return 0;
}

void DumpReport(DumpSession& session, DumpMode mode, DumpEnd end, std::ostream& out) {
    // An interrupted write of a trace line leaves the stream failed; the
    // report is still owed.
    out.clear();
    if (mode == DUMP_JSON) {
        out << DumpJson(session, end).dump() << '\n';
    } else if (mode == DUMP_ON_AIR) {
        out << DumpOnAirJson(session).dump() << '\n';
    } else if (mode == DUMP_SUMMARY) {
        out << DumpSummary(session);
    } else {
        out << DumpEndText(end) << " at " << session.bytesFed << ", pending " << FrameParserPending(*session.parser)
            << " bytes";
        if (session.dropped) out << ", " << session.dropped << " bytes dropped (frame buffer full)";
        out << '\n';
    }
    out.flush();
}

int DumpStream(FILE* in, const std::string& inputName, size_t blockSize, DumpMode mode, TraceTime time,
               std::ostream& out, std::ostream& err) {
    DumpSession session;
    DumpSessionInit(session, mode == DUMP_TRACE ? &out : nullptr);
    session.traceTime = time;
    session.clockMs = [] {
        return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
    };
    session.traceStartMs = session.clockMs();
    const size_t feedSize = blockSize ? blockSize : 1;
    // Recordings and raw captures are told apart by content, the pcap magic,
    // so the first reads gather at least a pcap file header before deciding.
    std::vector<uint8_t> block(feedSize > PCAP_FILE_HEADER_SIZE ? feedSize : PCAP_FILE_HEADER_SIZE);
    size_t first = 0;  // bytes gathered for the decision
    bool deciding = true;
    DumpEnd end = DUMP_END_INPUT;
    for (;;) {
        if (InterruptSignal()) {
            end = DUMP_END_INTERRUPTED;
            break;
        }
        uint8_t* into = deciding ? block.data() + first : block.data();
        const size_t want = deciding ? block.size() - first : feedSize;
#ifdef _WIN32
        const size_t got = std::fread(into, 1, want, in);
        const bool failed = got < want && std::ferror(in);
        const bool ended = got < want && std::feof(in);
#else
        // Straight from the descriptor: a signal interrupts the read (the
        // handler has no SA_RESTART), where stdio would wait for a full block.
        const ssize_t n = read(fileno(in), into, want);
        if (n < 0 && errno == EINTR) continue;
        const size_t got = n > 0 ? static_cast<size_t>(n) : 0;
        const bool failed = n < 0;
        const bool ended = n == 0;
        const int readErrno = errno;
#endif
        if (deciding) {
            first += got;
            if (first < PCAP_FILE_HEADER_SIZE && !failed && !ended) continue;
            deciding = false;
            if (!failed && RecordingHasMagic(block.data(), first))
                return DumpRecording(in, inputName, block.data(), first, mode, out, err);
            // Those first bytes are fed in blockSize pieces like the rest.
            for (size_t at = 0; at < first; at += feedSize)
                DumpFeed(session, block.data() + at, first - at < feedSize ? first - at : feedSize);
            block.resize(feedSize);
        } else if (got > 0) {
            DumpFeed(session, block.data(), got);
        }
        if (mode == DUMP_TRACE && time != TRACE_TIME_NONE) out.flush();
        if (failed) {
#ifdef _WIN32
            const int readErrno = errno;
#endif
            if (session.bytesFed == 0) {
                err << "tallydump: cannot read " << inputName << ": " << std::strerror(readErrno) << "\n";
                return 2;
            }
            err << "tallydump: reading " << inputName << " failed after " << session.bytesFed
                << " bytes: " << std::strerror(readErrno) << "\n";
            end = DUMP_END_READ_FAILED;
            break;
        }
        if (ended) break;
    }
    // Interrupted while still gathering the first bytes: those are decoded too.
    if (deciding)
        for (size_t at = 0; at < first; at += feedSize)
            DumpFeed(session, block.data() + at, first - at < feedSize ? first - at : feedSize);
    if (end == DUMP_END_INPUT && session.bytesFed == 0) {
        err << "tallydump: " << inputName << " ended before any byte arrived; nothing to decode\n";
        return 2;
    }
    if (end == DUMP_END_INTERRUPTED)
        err << "tallydump: interrupted; the report covers the " << session.bytesFed << " bytes read so far\n";
    if (session.dropped)
        err << "tallydump: " << session.dropped << " bytes dropped (frame buffer full); the report is incomplete\n";
    err << DumpSuspectWarning(session, inputName);
    DumpReport(session, mode, end, out);
    return DumpExitStatus(session, end, InterruptSignal());
}
