// The port's modem lines (CTS, DSR, DCD, RI) and breaks as the receiver sees
// them: a wrong cable or a line held in break otherwise shows only as
// silence. The receiver reads the lines when the port reports a change (or,
// where that wait does not work, whenever it wakes) and turns each change
// into one event code. Portable.
#pragma once
#include <cstdint>
#include <string>

// The lines' bits, as GetCommModemStatus reports them (MS_CTS_ON ..).
constexpr uint32_t MODEM_CTS = 0x10;
constexpr uint32_t MODEM_DSR = 0x20;
constexpr uint32_t MODEM_RI = 0x40;
constexpr uint32_t MODEM_DCD = 0x80;
constexpr uint32_t MODEM_LINES = MODEM_CTS | MODEM_DSR | MODEM_RI | MODEM_DCD;
// Beside the lines in a held state: they were read this connection.
constexpr uint32_t MODEM_LINES_KNOWN = 0x100;

// An event code: bits 0..7 the lines now, 8..15 the lines that changed,
// bit 16 a break was seen, bit 17 the first reading of a connection.
constexpr uint32_t MODEM_CODE_BREAK = 0x10000;
constexpr uint32_t MODEM_CODE_FIRST = 0x20000;
inline uint32_t ModemCodeLines(uint32_t code) { return code & MODEM_LINES; }
inline uint32_t ModemCodeChanged(uint32_t code) { return (code >> 8) & MODEM_LINES; }

struct ModemWatch {
    bool known = false;  // a reading was taken this connection
    uint32_t lines = 0;
};

// Takes one reading (`lines`: the bits above; `breakSeen`: the port reported
// a break since the last one). Returns the event code to report, 0 when
// nothing changed. The first reading is always reported.
uint32_t ModemWatchUpdate(ModemWatch& watch, uint32_t lines, bool breakSeen);

// "CTS DSR dcd ri": upper case for a line that is on.
std::string ModemLinesText(uint32_t lines);
// What an event code says: "DSR off, DCD on (CTS DSR dcd ri)", "break
// (...)", "lines at connect (...)".
std::string ModemCodeText(uint32_t code);
