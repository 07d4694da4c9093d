// tallydump and recordings: decoding a recording through the real parser
// (trace lines carry the recorded time stamps, one line per record), and
// writing one from a live port.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <string>

#include "recording/recorder.h"
#include "recording/recording.h"
#include "serial/modem_lines.h"
#include "tools/tallydump/dump.h"

// Decodes the recording on in, whose first prefixLength bytes (holding the
// pcap magic) were already read into prefix, and writes the report of mode.
// Returns 0 (a truncated tail is decoded up to its last whole record, with a
// warning on err), or 2 for a file that is not a recording this program reads.
int DumpRecording(FILE* in, const std::string& inputName, const uint8_t* prefix, size_t prefixLength,
                  DumpMode mode, std::ostream& out, std::ostream& err);

// "HH:MM:SS.uuuuuu" of a recorded time (UTC).
std::string RecordingTimeText(uint64_t timeUs);

// A recording written while a DumpSession decodes a live port.
struct LiveRecording {
    RecordingWriter writer;
    std::unique_ptr<Recorder> recorder;
    DumpSession* session = nullptr;
};
// Writes the file header to file (opened for writing, already checked under
// the overwrite rules; the recording owns it from here on), the connect record
// (text: device and settings) and hooks the recorder into the session's
// parser. False with the reason.
bool LiveRecordingStart(LiveRecording& recording, DumpSession& session, FILE* file, const std::string& connectText,
                        std::string& error, uint64_t timeUs = RecordingNowUs());
// Decodes one read into the session and records it, stamped now. False once
// writing the recording has failed.
bool LiveRecordingFeed(LiveRecording& recording, const uint8_t* bytes, size_t count);
// The same with the read's time stamp given (tests compare with the application's writer).
bool LiveRecordingFeedAt(LiveRecording& recording, const uint8_t* bytes, size_t count, uint64_t timeUs);
// One reading of the port's modem lines (serial/modem_lines.h bits; breakSeen:
// the driver counted a break since the last reading) through watch: a change,
// a break or the first reading is one `modem` record stamped timeUs. Returns
// the record's code, 0 when nothing changed; false from the next Feed or Stop
// when writing failed.
uint32_t LiveRecordingModem(LiveRecording& recording, ModemWatch& watch, uint32_t lines, bool breakSeen,
                            uint64_t timeUs);
// The incomplete message left, the disconnect record, then closes. False when writing failed.
bool LiveRecordingStop(LiveRecording& recording, uint64_t timeUs = RecordingNowUs());
