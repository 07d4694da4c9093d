#include "history/log_format.h"

#include "escape/escape.h"

#include <chrono>
#include <cstdio>
#include <ctime>

const char HISTORY_LOG_HEADER[] = "time\tevent\ttype\tbytes\tdetails\n";
const char HISTORY_CSV_HEADER[] = "time,event,type,bytes,details\r\n";
const char HISTORY_LOG_START[] = "log-start";
const char HISTORY_LOG_STOP[] = "log-stop";
const char HISTORY_LOG_PAUSE[] = "log-pause";
const char HISTORY_LOG_RESUME[] = "log-resume";

namespace {

// One local-time conversion per second: a full-rate feed stamps thousands
// of events within the same second.
// The last second formatted: consecutive events mostly share it, and
// localtime is the costly part. Only the window's thread formats times.
struct TimeCache {
    int64_t second = INT64_MIN;
    char text[20] = {};  // "YYYY-MM-DDTHH:MM:SS"
} timeCache;

// Fixed-width decimal; localtime's fields are in range, so nothing is cut
// (snprintf of plain ints made the compiler warn of truncation).
void PutDigits(char*& out, int value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out += width;
}

// Details never hold a tab or line end (descriptions escape name bytes), but
// a line must stay one line whatever it is given, and no other control byte
// (ESC, NUL: text of a replayed recording) may reach a terminal showing the
// log. Printable text, escapes already made included, stays as it is.
void AppendClean(const std::string& text, std::string& out) {
    for (char c : text) {
        if (c == '\t' || c == '\n' || c == '\r') out += ' ';
        else if ((c >= 0 && c < 0x20) || c == 0x7F) out += EscapeText(&c, 1);
        else out += c;
    }
}

void AppendCsvField(const std::string& raw, std::string& out) {
    // Line ends are quoted as CSV wants; other control bytes escaped as in the log.
    std::string text;
    for (char c : raw) {
        if (((c >= 0 && c < 0x20) || c == 0x7F) && c != '\r' && c != '\n' && c != '\t') text += EscapeText(&c, 1);
        else text += c;
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

}  // namespace

void HistoryFormatTime(int64_t timeMs, char separator, char (&out)[32]) {
    int64_t second = timeMs >= 0 ? timeMs / 1000 : (timeMs - 999) / 1000;
    const int ms = static_cast<int>(timeMs - second * 1000);
    if (second != timeCache.second) {
        const std::time_t t = static_cast<std::time_t>(second);
        const std::tm* local = std::localtime(&t);
        const int year = local ? local->tm_year + 1900 : -1;
        if (year >= 0 && year <= 9999) {
            char* p = timeCache.text;
            PutDigits(p, year, 4);
            *p++ = '-';
            PutDigits(p, local->tm_mon + 1, 2);
            *p++ = '-';
            PutDigits(p, local->tm_mday, 2);
            *p++ = 'T';
            PutDigits(p, local->tm_hour, 2);
            *p++ = ':';
            PutDigits(p, local->tm_min, 2);
            *p++ = ':';
            PutDigits(p, local->tm_sec, 2);
            *p = '\0';
        } else {
            std::snprintf(timeCache.text, sizeof timeCache.text, "0000-00-00T00:00:00");
        }
        timeCache.second = second;
    }
    std::snprintf(out, sizeof out, "%s.%03d", timeCache.text, ms);
    out[10] = separator;
}

void HistoryTypeText(const HistoryEvent& event, char (&out)[8]) {
    if (event.type) std::snprintf(out, sizeof out, "0x%02x", event.type);
    else out[0] = 0;
}

void HistoryHex(const HistoryEvent& event, bool spaced, std::string& out) {
    static const char digits[] = "0123456789abcdef";
    out.clear();
    if (!HistoryIsFraming(event.kind)) return;
    for (int i = 0; i < event.length; ++i) {
        if (spaced && i) out += ' ';
        out += digits[event.bytes[i] >> 4];
        out += digits[event.bytes[i] & 15];
    }
}

namespace {

// The log and the CSV file share their columns; only the separator, the
// quoting of the details and the line end differ.
void AppendLine(const HistoryEvent& event, const std::string& details, char separator, std::string& out) {
    char time[32], type[8];
    HistoryFormatTime(event.timeMs, 'T', time);
    HistoryTypeText(event, type);
    std::string hex;
    HistoryHex(event, false, hex);
    out += time;
    out += separator;
    out += HistoryEventName(event.kind);
    out += separator;
    out += type;
    out += separator;
    out += hex;
    out += separator;
    if (separator == ',') {
        AppendCsvField(details, out);
        out += "\r\n";
    } else {
        AppendClean(details, out);
        out += '\n';
    }
}

}  // namespace

void HistoryAppendLogLine(const HistoryEvent& event, const std::string& details, std::string& out) {
    AppendLine(event, details, '\t', out);
}

void HistoryAppendCsvLine(const HistoryEvent& event, const std::string& details, std::string& out) {
    AppendLine(event, details, ',', out);
}

void HistoryAppendLogMark(int64_t timeMs, const char* event, const std::string& details, std::string& out) {
    char time[32];
    HistoryFormatTime(timeMs, 'T', time);
    out += time;
    out += '\t';
    out += event;
    out += "\t\t\t";
    AppendClean(details, out);
    out += '\n';
}

int64_t HistoryNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
