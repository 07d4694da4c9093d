// Change descriptions. Captions are the ones the display dialogs show beside
// their rows and above their columns; bit captions are listed from bit 0 up.
#include "history/describe.h"

#include "history/log_format.h"

#include "escape/escape.h"
#include "serial/modem_lines.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// ---- ME: data bytes 0, 2, .. 22 are sources, 1 keyer in use, 3 .. 21 rows.
const char* const ME_SOURCES[12] = {"Key1 FILL", "Key1 CUT", "Key2 FILL", "Key2 CUT", "Key3 FILL", "Key3 CUT",
                                    "Key4 FILL", "Key4 CUT", "A BUS",     "B BUS",    "UTIL 1",    "UTIL 2"};
const char* const ME_ROWS[10] = {"PGM A", "PGM B", "PGM C", "PGM D", "LAP A",
                                 "LAP B", "LAP C", "LAP D", "PVW A", "PVW 2"};
const char* const ME_COLUMNS[8] = {"BusA", "BusB", "Util1", "Util2", "Key1", "Key2", "Key3", "Key4"};
const char* const ME_KEYER[8] = {"Key1 FILL", "Key1 CUT", "Key2 FILL", "Key2 CUT",
                                 "Key3 FILL", "Key3 CUT", "Key4 FILL", "Key4 CUT"};

// ---- EXT: pairs (contribution row, source) per output, input mode, inputs.
const char* const EXT_OUTPUTS[6] = {"Output 1", "Output 2", "Output 3", "Output 4", "Output 5", "Output 6"};
const char* const EXT_INPUTS[8] = {"Input 1A", "Input 1B", "Input 2A", "Input 2B",
                                   "Input 3A", "Input 3B", "Input 4A", "Input 4B"};
const char* const EXT_COLUMNS[8] = {"In1A", "In1B", "In2A", "In2B", "In3A", "In3B", "In4A", "In4B"};
const char* const EXT_MODE[8] = {"1B", "2B", "3B", "4B", nullptr, nullptr, nullptr, nullptr};

// ---- SS: two input sources and the mode row (bits 6..0).
const char* const SS_SOURCES[2] = {"Input 1", "Input 2"};
const char* const SS_MODE[8] = {"Input1 Rec", "Input2 Rec", "Input Mode", "Output 1/2",
                                "Output 3/4", "Output 5/6", "Output 7/8", nullptr};

// ---- OUT: source byte of positions 1..8 in a record.
const int OUT_SOURCE_BYTE[8] = {0, 2, 4, 5, 6, 7, 8, 9};

void Append(std::string& out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void Append(std::string& out, const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) out.append(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

// Parts of one description are joined with "; ".
void Part(std::string& out) {
    if (!out.empty()) out += "; ";
}

// Text of a name field: up to its first NUL, bytes outside printable ASCII
// (and the quote and backslash) escaped so the text stays one clean UTF-8 field.
std::string Quoted(const char* field, size_t size) {
    return "\"" + EscapeText(field, size, true) + "\"";
}

// "8 -> 3" and, when either source has a name, " (CAMERA 8 -> CAMERA 3)".
void SourceChange(const HistoryShadow& shadow, std::string& out, int from, int to) {
    Append(out, "%d -> %d", from, to);
    const std::string a = HistorySourceName(shadow, from), b = HistorySourceName(shadow, to);
    if (a.empty() && b.empty()) return;
    out += " (";
    out += a.empty() ? std::to_string(from) : a;
    out += " -> ";
    out += b.empty() ? std::to_string(to) : b;
    out += ")";
}

void SourceField(const HistoryShadow& shadow, std::string& out, const char* caption, uint8_t from, uint8_t to) {
    if (from == to) return;
    Part(out);
    out += caption;
    out += ' ';
    SourceChange(shadow, out, from, to);
}

// "PGM A: BusA 1 -> 0, BusB 0 -> 1" for the bits with a caption that differ.
void BitRow(std::string& out, const char* row, const char* const columns[8], uint8_t from, uint8_t to) {
    bool first = true;
    for (int bit = 0; bit < 8; ++bit) {
        if (!columns[bit] || ((from ^ to) & (1u << bit)) == 0) continue;
        if (first) {
            Part(out);
            out += row;
            out += ": ";
            first = false;
        } else {
            out += ", ";
        }
        Append(out, "%s %d -> %d", columns[bit], (from >> bit) & 1, (to >> bit) & 1);
    }
}

// Bits no display shows still changed: said so, so that "no change" is never
// claimed for a message that differs.
void HiddenBits(std::string& out, int dataByte, uint8_t shownMask, uint8_t from, uint8_t to) {
    if (((from ^ to) & ~shownMask & 0xFF) == 0) return;
    Part(out);
    Append(out, "data byte %d 0x%02x -> 0x%02x (bits not shown)", dataByte, from, to);
}

void DescribeMe(const HistoryShadow& s, const uint8_t* a, const uint8_t* b, std::string& out) {
    for (int i = 0; i < 12; ++i) SourceField(s, out, ME_SOURCES[i], a[2 * i], b[2 * i]);
    BitRow(out, "KEYER IN USE", ME_KEYER, a[1], b[1]);
    for (int j = 0; j < 10; ++j) BitRow(out, ME_ROWS[j], ME_COLUMNS, a[3 + 2 * j], b[3 + 2 * j]);
}

void DescribeExt(const HistoryShadow& s, const uint8_t* a, const uint8_t* b, std::string& out) {
    for (int i = 0; i < 6; ++i) {
        char caption[32];
        std::snprintf(caption, sizeof caption, "%s source", EXT_OUTPUTS[i]);
        SourceField(s, out, caption, a[2 * i + 1], b[2 * i + 1]);
    }
    for (int k = 0; k < 8; ++k) SourceField(s, out, EXT_INPUTS[k], a[13 + k], b[13 + k]);
    for (int i = 0; i < 6; ++i) BitRow(out, EXT_OUTPUTS[i], EXT_COLUMNS, a[2 * i], b[2 * i]);
    BitRow(out, "INPUT MODE", EXT_MODE, a[12], b[12]);
    HiddenBits(out, 12, 0x0F, a[12], b[12]);
}

void DescribeSs(const HistoryShadow& s, const uint8_t* a, const uint8_t* b, std::string& out) {
    for (int i = 0; i < 2; ++i) SourceField(s, out, SS_SOURCES[i], a[i], b[i]);
    BitRow(out, "MODE", SS_MODE, a[2], b[2]);
    HiddenBits(out, 2, 0x7F, a[2], b[2]);
}

// One part per output that changed: "Output 9: source 66 -> 12, on air 0 -> 1".
void DescribeOut(const HistoryShadow& s, int record, const uint8_t* a, const uint8_t* b, std::string& out) {
    for (int p = 0; p < 8; ++p) {
        const uint8_t srcA = a[OUT_SOURCE_BYTE[p]], srcB = b[OUT_SOURCE_BYTE[p]];
        const bool hasMode = p % 2 == 1;
        const int modeBit = p / 2;
        const int modeA = hasMode ? (a[1] >> modeBit) & 1 : 0, modeB = hasMode ? (b[1] >> modeBit) & 1 : 0;
        const int airA = (a[3] >> p) & 1, airB = (b[3] >> p) & 1;
        if (srcA == srcB && modeA == modeB && airA == airB) continue;
        Part(out);
        Append(out, "Output %d: ", 8 * record + p + 1);
        bool first = true;
        if (srcA != srcB) {
            out += "source ";
            SourceChange(s, out, srcA, srcB);
            first = false;
        }
        if (modeA != modeB) {
            Append(out, "%smode %s -> %s", first ? "" : ", ", modeA ? "K" : "V", modeB ? "K" : "V");
            first = false;
        }
        if (airA != airB) Append(out, "%son air %d -> %d", first ? "" : ", ", airA, airB);
    }
    HiddenBits(out, 1, 0x0F, a[1], b[1]);
}

void CopyField(char* to, size_t size, const uint8_t* from, size_t length) {
    std::memcpy(to, from, length);
    to[length] = 0;
    (void)size;
}

void FieldChange(std::string& out, bool& first, const char* what, const char* from, const char* to, size_t size) {
    if (std::strncmp(from, to, size) == 0) return;
    out += first ? " " : ", ";
    first = false;
    out += what;
    out += ' ';
    out += Quoted(from, size);
    out += " -> ";
    out += Quoted(to, size);
}

// A stored name or alias message: its fields against the shadow's entry.
bool DescribeName(HistoryShadow& s, uint8_t type, const uint8_t* payload, std::string& out) {
    const int source = payload[0];
    HistoryShadow::Name next = s.names[source];
    if (type == MSG_SOURCE_NAME) {
        CopyField(next.name, sizeof next.name, payload + 1, NAME_LENGTH);
        next.alias[0] = 0;
    } else {
        CopyField(next.alias, sizeof next.alias, payload + 1, NAME_LENGTH);
    }
    CopyField(next.nickname, sizeof next.nickname, payload + 1 + NAME_LENGTH, NICKNAME_LENGTH);
    const HistoryShadow::Name& prev = s.names[source];
    Append(out, "source %d", source);
    bool first = true;
    FieldChange(out, first, "name", prev.name, next.name, NAME_LENGTH);
    FieldChange(out, first, "nickname", prev.nickname, next.nickname, NICKNAME_LENGTH);
    FieldChange(out, first, "alias", prev.alias, next.alias, NAME_LENGTH);
    s.names[source] = next;
    if (first) {
        out = "no change";
        return false;
    }
    return true;
}

std::string TypeName(uint8_t type) {
    const char* name = MessageTypeName(type);
    if (name) return name;
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", type);
    return text;
}

bool DescribeMessage(HistoryShadow& s, const HistoryEvent& e, std::string& out) {
    const uint8_t t = e.type;
    const int length = payloadLength(t);
    if (length <= 0 || e.length < length + 2) {
        out = "message " + TypeName(t);
        return true;
    }
    const uint8_t* payload = e.bytes + 2;
    if (t == MSG_SOURCE_NAME || t == MSG_SOURCE_ALIAS) return DescribeName(s, t, payload, out);

    if (!s.seen[t]) {
        s.seen[t] = true;
        std::memcpy(s.payload[t], payload, static_cast<size_t>(length));
        out = "first " + TypeName(t) + " message";
        return true;
    }
    const uint8_t* a = s.payload[t];
    switch (t & 0xF0) {
    case CATEGORY_ME: DescribeMe(s, a, payload, out); break;
    case CATEGORY_EXT: DescribeExt(s, a, payload, out); break;
    case CATEGORY_SS: DescribeSs(s, a, payload, out); break;
    case CATEGORY_OUT: DescribeOut(s, t - 0xB1, a, payload, out); break;
    default: break;
    }
    std::memcpy(s.payload[t], payload, static_cast<size_t>(length));
    if (out.empty()) {
        out = "no change";
        return false;
    }
    return true;
}

void DescribeIgnored(const HistoryEvent& e, std::string& out) {
    const uint8_t t = e.type;
    if ((t == MSG_SOURCE_NAME || t == MSG_SOURCE_ALIAS) && e.length > 2)
        Append(out, "%s for source %d, outside 1..%d: ignored", t == MSG_SOURCE_NAME ? "name" : "alias",
               e.bytes[2], SOURCE_COUNT);
    else if ((t & 0xF0) == CATEGORY_CONTROL)
        Append(out, "control type 0x%02x: no effect", t);
    else
        Append(out, "type 0x%02x has no record: ignored", t);
}

void LineErrors(uint32_t code, std::string& out) {
    static const struct {
        uint32_t bit;
        const char* text;
    } bits[] = {{LINE_BIT_FRAME, "framing"},
                {LINE_BIT_PARITY, "parity"},
                {LINE_BIT_OVERRUN, "overrun"},
                {LINE_BIT_RXOVER, "receive buffer overflow"},
                {LINE_BIT_BREAK, "break"}};
    for (const auto& b : bits) {
        if (!(code & b.bit)) continue;
        if (!out.empty()) out += ", ";
        out += b.text;
    }
    if (out.empty()) out = "line error";
    Append(out, " (0x%04x)", code);
}

// The note a link or port event carries in its bytes (NUL-terminated).
std::string Note(const HistoryEvent& e) {
    size_t n = 0;
    while (n < HISTORY_EVENT_BYTES && e.bytes[n]) ++n;
    return std::string(reinterpret_cast<const char*>(e.bytes), n);
}

// The row's own time is the recorded one, so the text says which it is.
void DescribeReplay(const HistoryEvent& e, std::string& out) {
    if (e.type == HISTORY_REPLAY_JUMPED) {
        Append(out, "Jump to End: %lu event%s skipped", static_cast<unsigned long>(e.code), e.code == 1 ? "" : "s");
        return;
    }
    char when[32];
    HistoryFormatTime(e.timeMs, ' ', when);
    out = (e.type == HISTORY_REPLAY_BEGINS ? "replay of " : "end of replay of ") + Note(e) +
          (e.type == HISTORY_REPLAY_BEGINS ? ", recorded from " : ", recorded up to ") + when;
}

}  // namespace

void HistoryShadowInit(HistoryShadow& shadow) { std::memset(&shadow, 0, sizeof shadow); }

void HistoryShadowForgetRecords(HistoryShadow& shadow) { std::memset(shadow.seen, 0, sizeof shadow.seen); }

std::string HistorySourceName(const HistoryShadow& shadow, int source) {
    if (source < 1 || source > SOURCE_COUNT) return std::string();
    const HistoryShadow::Name& n = shadow.names[source];
    std::string text = n.alias[0] ? n.alias : n.name;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (text.empty()) return text;
    const std::string quoted = Quoted(text.c_str(), text.size());
    return quoted.substr(1, quoted.size() - 2);
}

bool HistoryDescribe(HistoryShadow& shadow, const HistoryEvent& e, std::string& out) {
    out.clear();
    switch (e.kind) {
    case EVENT_MESSAGE: return DescribeMessage(shadow, e, out);
    case EVENT_IGNORED: DescribeIgnored(e, out); break;
    case EVENT_RESET: out = e.code == HISTORY_RESET_BY_USER ? "counters reset by the user" : "counters reset"; break;
    case EVENT_STRAY: Append(out, "%d stray byte%s", e.length, e.length == 1 ? "" : "s"); break;
    case EVENT_UNKNOWN: Append(out, "unknown type 0x%02x", e.type); break;
    case EVENT_MISMATCH:
        Append(out, "%d header byte%s each followed by a different one", e.length, e.length == 1 ? "" : "s");
        break;
    case EVENT_LOWBYTE:
        Append(out, "header 0x%02x followed by low byte 0x%02x", e.bytes[0], e.length > 1 ? e.bytes[1] : 0);
        break;
    case EVENT_PAYLOAD:
        Append(out, "%s payload broken by two high bytes", TypeName(e.type).c_str());
        break;
    case EVENT_DROPPED: Append(out, "%d bytes dropped: frame buffer full", e.length); break;
    case EVENT_INCOMPLETE: Append(out, "incomplete message: %d bytes, never completed", e.length); break;
    case EVENT_PORT_ERROR: Append(out, "<CE-0x%08x>", e.code); break;
    case EVENT_LINE_ERROR: LineErrors(e.code, out); break;
    case EVENT_CONNECT:
        out = Note(e);
        shadow.silent = false;
        shadow.lastByteMs = 0;
        break;
    case EVENT_DISCONNECT: out = Note(e); shadow.silent = false; break;
    case EVENT_SILENT: out = "no byte for 2 s"; shadow.silent = true; break;
    case EVENT_RECEIVING:
        out = Note(e);
        shadow.silent = false;
        break;
    case EVENT_REPLAY: DescribeReplay(e, out); break;
    case EVENT_MODEM: out = ModemCodeText(e.code); break;
    case EVENT_GAP:
        Append(out, "%lu received bytes not kept: the capture stream was full", static_cast<unsigned long>(e.code));
        break;
    case EVENT_LOST:
        Append(out, "%lu events lost: the window fell behind", static_cast<unsigned long>(e.code));
        HistoryShadowForgetRecords(shadow);
        break;
    default: out = "?"; break;
    }
    return true;
}
