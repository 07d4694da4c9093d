// tallydump --watch over a recording or a live port.
#include "tools/tallydump/watch_dump.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>

#include <nlohmann/json.hpp>

#include "recording/recording.h"
#include "tools/common/interrupt.h"
#include "tools/tallydump/dump.h"

#ifndef _WIN32
#include <poll.h>
#include <unistd.h>
#endif

namespace {

uint32_t Little32(const uint8_t* p, size_t length) {
    return length < 4 ? 0 : uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The history event kind a record stands for; -1 for a kind this program does not know.
int EventKindOfRecord(uint8_t kind) {
    switch (kind) {
    case RECORD_MESSAGE: return EVENT_MESSAGE;
    case RECORD_IGNORED: return EVENT_IGNORED;
    case RECORD_RESET: return EVENT_RESET;
    case RECORD_STRAY: return EVENT_STRAY;
    case RECORD_UNKNOWN: return EVENT_UNKNOWN;
    case RECORD_MISMATCH: return EVENT_MISMATCH;
    case RECORD_LOWBYTE: return EVENT_LOWBYTE;
    case RECORD_PAYLOAD: return EVENT_PAYLOAD;
    case RECORD_DROPPED: return EVENT_DROPPED;
    case RECORD_PENDING: return EVENT_INCOMPLETE;
    case RECORD_LINE_ERROR: return EVENT_LINE_ERROR;
    case RECORD_PORT_ERROR: return EVENT_PORT_ERROR;
    case RECORD_CONNECT: return EVENT_CONNECT;
    case RECORD_DISCONNECT: return EVENT_DISCONNECT;
    case RECORD_MODEM: return EVENT_MODEM;
    default: return -1;
    }
}

struct Printer {
    std::ostream* out;
    uint64_t alarms[WATCH_RULE_COUNT] = {};
    uint64_t total = 0;
    void Print(std::vector<WatchAlarm>& alarms) {
        for (const WatchAlarm& a : alarms) {
            *out << WatchAlarmJson(a) << '\n';
            ++this->alarms[a.rule];
            ++total;
        }
        if (!alarms.empty()) out->flush();
        alarms.clear();
    }
    std::string Summary(const std::string& over) const {
        std::string text = "tallydump: watch: ";
        if (!total) return text + "no alarms " + over;
        text += std::to_string(total) + (total == 1 ? " alarm (" : " alarms (");
        bool first = true;
        for (int r = 0; r < WATCH_RULE_COUNT; ++r) {
            if (!alarms[r]) continue;
            if (!first) text += ", ";
            text += std::string(WatchRuleName(r)) + " " + std::to_string(alarms[r]);
            first = false;
        }
        return text + ") " + over;
    }
};

std::string SecondsText(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(us) / 1e6);
    return text;
}

}  // namespace

std::string WatchTimeText(uint64_t timeUs) {
    // Milliseconds from the shared clock text, then the microseconds after them.
    std::string text = WallClockText(static_cast<int64_t>(timeUs / 1000));
    const size_t dot = text.find('.');
    char micro[4];
    std::snprintf(micro, sizeof micro, "%03u", static_cast<unsigned>(timeUs % 1000));
    if (dot != std::string::npos) text.insert(dot + 4, micro);
    return text;
}

std::string WatchAlarmJson(const WatchAlarm& a) {
    char number[64];
    std::string line = "{\"rule\":\"";
    line += WatchRuleName(a.rule);
    std::snprintf(number, sizeof number, "\",\"t\":%" PRIu64 ".%06u", a.timeUs / 1000000,
                  static_cast<unsigned>(a.timeUs % 1000000));
    line += number;
    line += ",\"time\":\"" + WatchTimeText(a.timeUs) + "\"";
    if (a.me) line += ",\"me\":" + std::to_string(a.me);
    if (a.level != WATCH_LEVEL_NONE) line += std::string(",\"level\":\"") + WatchLevelName(a.level) + "\"";
    if (a.source >= 0) line += ",\"source\":" + std::to_string(a.source);
    if (a.output) line += ",\"output\":" + std::to_string(a.output);
    if (a.glitch != WATCH_GLITCH_NONE) line += std::string(",\"glitch\":\"") + WatchGlitchName(a.glitch) + "\"";
    if (a.us >= 0) {
        std::snprintf(number, sizeof number, ",\"ms\":%" PRId64 ".%03d", a.us / 1000, static_cast<int>(a.us % 1000));
        line += number;
    }
    if (a.type >= 0) {
        std::snprintf(number, sizeof number, ",\"type\":\"0x%02X\"", a.type);
        line += number;
    }
    if (a.count >= 0) line += ",\"count\":" + std::to_string(a.count);
    line += ",\"text\":" + nlohmann::json(a.text).dump() + "}";
    return line;
}

bool WatchParseErrors(const std::string& text, uint32_t& count, double& seconds) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 >= text.size()) return false;
    const std::string n = text.substr(0, slash), t = text.substr(slash + 1);
    char* end = nullptr;
    errno = 0;
    const unsigned long parsedN = std::strtoul(n.c_str(), &end, 10);
    if (errno || *end || n[0] == '-' || parsedN < 1 || parsedN > 1000000) return false;
    const double parsedT = std::strtod(t.c_str(), &end);
    if (*end || !(parsedT > 0) || parsedT > 86400) return false;
    count = static_cast<uint32_t>(parsedN);
    seconds = parsedT;
    return true;
}

int WatchRecording(FILE* in, const std::string& inputName, const WatchConfig& config, std::ostream& out,
                   std::ostream& err) {
    uint8_t magic[4];
    const size_t got = std::fread(magic, 1, sizeof magic, in);
    if (!RecordingHasMagic(magic, got)) {
        err << "tallydump: " << inputName
            << " is a raw capture without time stamps; --watch needs a recording (--capture FILE.pcap)\n";
        return 2;
    }
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    if (!RecordingBegin(*reader, in, magic, got)) {
        err << "tallydump: " << inputName << ": " << reader->error << "\n";
        return 2;
    }
    std::unique_ptr<Watch> watch(new Watch);
    WatchInit(*watch, config);
    std::vector<WatchAlarm> alarms;
    Printer printer;
    printer.out = &out;
    RecordingRecord record;
    RecordingReadResult result;
    uint64_t records = 0, firstUs = 0, lastUs = 0;
    while (!InterruptSignal() && (result = RecordingNext(*reader, record)) == RECORDING_RECORD) {
        if (records++ == 0) firstUs = record.timeUs;
        lastUs = record.timeUs;
        const int kind = EventKindOfRecord(record.kind);
        if (kind < 0) continue;
        const bool code = record.kind == RECORD_LINE_ERROR || record.kind == RECORD_PORT_ERROR;
        const WatchEvent e =
            WatchEventMake(record.timeUs, static_cast<uint8_t>(kind), record.type, code ? nullptr : record.bytes,
                           code ? 0 : record.length, code ? Little32(record.bytes, record.length) : 0);
        WatchFeed(*watch, e, alarms);
        printer.Print(alarms);
    }
    if (result == RECORDING_BAD && !InterruptSignal()) {
        err << "tallydump: " << inputName << ": " << reader->error << "\n";
        return 2;
    }
    if (result == RECORDING_TRUNCATED)
        err << "tallydump: warning: " << inputName << ": " << reader->error << "; watched up to the last whole record\n";
    err << printer.Summary("in " + SecondsText(lastUs - firstUs) + " of recording, " + std::to_string(records) +
                           " records" + (InterruptSignal() ? ", interrupted" : ""))
        << "\n";
    return printer.total ? 1 : 0;
}

#ifndef _WIN32
namespace {

// Parser events of a live read, as the history makes them, for the watch.
struct LiveWatch {
    Watch* watch;
    std::vector<WatchAlarm>* alarms;
    uint64_t readUs;
};

void OnLiveFrame(void* context, const FrameEvent& frame) {
    LiveWatch& live = *static_cast<LiveWatch*>(context);
    static const uint8_t KIND[] = {EVENT_MESSAGE, EVENT_IGNORED, EVENT_RESET,   EVENT_STRAY,  EVENT_UNKNOWN,
                                   EVENT_MISMATCH, EVENT_LOWBYTE, EVENT_PAYLOAD, EVENT_DROPPED};
    const uint8_t kind = KIND[frame.kind];
    const int length = frame.kind == FRAME_BYTES_DROPPED ? frame.length : frame.consumed;
    WatchFeed(*live.watch, WatchEventMake(live.readUs, kind, frame.type, frame.bytes, static_cast<size_t>(length)),
              *live.alarms);
}

}  // namespace
#endif

int WatchPort(const LiveOptions& o, const WatchConfig& config, std::ostream& out, std::ostream& err) {
#ifdef _WIN32
    (void)o;
    (void)config;
    (void)out;
    err << "tallydump: --watch --port is not available in this build; record with --capture FILE.pcap and watch "
           "the recording\n";
    return 2;
#else
    std::string error;
    if (!LiveCheckSettings(o, error)) {
        err << "tallydump: " << error << "\n";
        return 2;
    }
    const int fd = LiveOpenDevice(o, error);
    if (fd < 0) {
        err << "tallydump: " << error << "\n";
        return 2;
    }
    InterruptInstall();
    std::unique_ptr<Watch> watch(new Watch);
    WatchInit(*watch, config);
    std::vector<WatchAlarm> alarms;
    Printer printer;
    printer.out = &out;
    std::unique_ptr<TallyStore> store(new TallyStore);
    TallyStoreInit(*store);
    std::unique_ptr<FrameParser> parser(new FrameParser);
    LiveWatch live{watch.get(), &alarms, 0};
    FrameParserInit(*parser, store.get(), OnLiveFrame, &live);
    const uint64_t startUs = RecordingNowUs();
    WatchFeed(*watch, WatchEventMake(startUs, EVENT_CONNECT, 0, nullptr, 0), alarms);
    err << "tallydump: watching " << o.device << " at " << o.baud << " " << o.dataBits << o.parity << o.stopBits
        << ", Ctrl-C to stop\n";
    std::vector<uint8_t> buffer(READ_BUFFER_SIZE);
    while (!InterruptSignal()) {
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, 100);
        bool failed = ready < 0 && errno != EINTR;
        ssize_t got = 0;
        if (ready > 0) {
            got = read(fd, buffer.data(), buffer.size());
            failed = (got < 0 && errno != EAGAIN && errno != EINTR) || (got == 0 && (p.revents & POLLHUP));
        }
        const uint64_t now = RecordingNowUs();
        if (failed && !InterruptSignal()) {
            WatchFeed(*watch, WatchEventMake(now, EVENT_PORT_ERROR, 0, nullptr, 0, static_cast<uint32_t>(errno)),
                      alarms);
            printer.Print(alarms);
            err << "tallydump: reading " << o.device << " failed: " << std::strerror(errno) << "\n";
            break;
        }
        if (got > 0) {
            live.readUs = now;
            WatchTick(*watch, now, alarms);
            FrameParserFeed(*parser, buffer.data(), static_cast<size_t>(got));
        } else {
            WatchTick(*watch, now, alarms);
        }
        printer.Print(alarms);
    }
    close(fd);
    err << printer.Summary("in " + SecondsText(RecordingNowUs() - startUs) + " on " + o.device) << "\n";
    return printer.total ? 1 : 0;
#endif
}
