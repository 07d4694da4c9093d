// The ports the Settings dialog offers, free of any platform header: the
// system's serial devices merged with COM1 to COM4 (always listed, as the
// tool always did) and the saved port, in numeric order, with their labels.
#pragma once
#include <string>
#include <vector>

constexpr int PORT_NUMBER_MIN = 1;
constexpr int PORT_NUMBER_MAX = 256;
// COM1..COM4 are listed even when the machine has none of them.
constexpr int PORT_ALWAYS_LISTED = 4;

// A device the system reports: its name as listed ("COM7") and the friendly
// name the setup API gives, if any ("USB Serial Port (COM7)").
struct PortDevice {
    std::string name;
    std::string friendlyName;
};

struct PortEntry {
    int number;                // 1..256
    bool present;              // the system lists it now
    std::string friendlyName;  // empty when unknown
};

// "COM12" (any case, surrounding blanks allowed) to 12; 0 when the name is
// not COM1..COM256.
int PortNumberFromName(const std::string& name);

// "\\.\COM12": the device path that opens any port, COM10 and above included.
std::string PortDevicePath(int number);

// The list in numeric order, one entry per number: the devices whose names
// are COM1..COM256 (others are skipped; a repeated number keeps its first
// friendly name), COM1..COM4, and `keep` (the session's port, 0 for none)
// even when absent.
std::vector<PortEntry> PortListMerge(const std::vector<PortDevice>& devices, int keep);

// What the list shows: "COM3", "COM7: USB Serial Port" (the friendly name
// without its own "(COM7)"), or "COM2 (not present)".
std::string PortEntryLabel(const PortEntry& entry);
