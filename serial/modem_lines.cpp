#include "serial/modem_lines.h"

namespace {

struct Line {
    uint32_t bit;
    const char* on;
    const char* off;
};
const Line LINES[] = {{MODEM_CTS, "CTS", "cts"}, {MODEM_DSR, "DSR", "dsr"}, {MODEM_DCD, "DCD", "dcd"},
                      {MODEM_RI, "RI", "ri"}};

}  // namespace

uint32_t ModemWatchUpdate(ModemWatch& watch, uint32_t lines, bool breakSeen) {
    lines &= MODEM_LINES;
    const bool first = !watch.known;
    const uint32_t changed = first ? 0 : (lines ^ watch.lines);
    watch.known = true;
    watch.lines = lines;
    if (!first && !changed && !breakSeen) return 0;
    return lines | changed << 8 | (breakSeen ? MODEM_CODE_BREAK : 0) | (first ? MODEM_CODE_FIRST : 0);
}

std::string ModemLinesText(uint32_t lines) {
    std::string text;
    for (const Line& l : LINES) {
        if (!text.empty()) text += ' ';
        text += (lines & l.bit) ? l.on : l.off;
    }
    return text;
}

std::string ModemCodeText(uint32_t code) {
    std::string text;
    if (code & MODEM_CODE_FIRST) text = "lines at connect";
    for (const Line& l : LINES) {
        if (!(ModemCodeChanged(code) & l.bit)) continue;
        if (!text.empty()) text += ", ";
        text += std::string(l.on) + ((code & l.bit) ? " on" : " off");
    }
    if (code & MODEM_CODE_BREAK) text += text.empty() ? "break" : ", break";
    if (text.empty()) text = "modem lines";
    return text + " (" + ModemLinesText(code) + ")";
}
