// Recordings of a tally feed: classic pcap files (microsecond time stamps,
// link type DLT_USER0) whose every record is one framing unit exactly as the
// frame parser consumed it, or one event of the link (line error, port error,
// connect, disconnect). docs/recording-format.md describes the layout.
// Portable: stdio only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// pcap file header fields this program writes and requires.
constexpr uint32_t PCAP_MAGIC_MICROS = 0xA1B2C3D4;
constexpr uint32_t RECORDING_LINKTYPE = 147;  // DLT_USER0: private use, nothing else claims it
constexpr uint32_t RECORDING_SNAPLEN = 65535;
constexpr size_t PCAP_FILE_HEADER_SIZE = 24;
constexpr size_t PCAP_RECORD_HEADER_SIZE = 16;

// The record header ahead of the record's bytes: version, kind, flags, type.
constexpr uint8_t RECORDING_VERSION = 1;
constexpr size_t RECORD_HEADER_SIZE = 4;
constexpr size_t RECORD_MAX_BYTES = RECORDING_SNAPLEN - RECORD_HEADER_SIZE;

// What a record holds. Kinds below RECORD_LINE_ERROR carry received bytes
// (the stream is their concatenation); the others carry a small description.
enum RecordKind {
    RECORD_MESSAGE = 1,     // a message stored (ME, EXT, SS, OUT, name, alias)
    RECORD_IGNORED = 2,     // a well-framed message with no effect
    RECORD_RESET = 3,       // the counter reset
    RECORD_STRAY = 4,       // a run of stray low bytes
    RECORD_UNKNOWN = 5,     // a doubled header of an undefined type
    RECORD_MISMATCH = 6,    // the first of two differing high bytes
    RECORD_LOWBYTE = 7,     // a high byte followed by a low one
    RECORD_PAYLOAD = 8,     // what a payload error dropped (header and payload so far)
    RECORD_DROPPED = 9,     // bytes the full frame buffer could not take
    RECORD_PENDING = 10,    // an incomplete message left when the stream ended or the port closed
    RECORD_LINE_ERROR = 32, // 4 bytes: the line error bits (little-endian)
    RECORD_PORT_ERROR = 33, // 4 bytes: the port error code (little-endian)
    RECORD_CONNECT = 34,    // text: port and settings, e.g. "COM1 115200 8N1"
    RECORD_DISCONNECT = 35, // nothing
    RECORD_LOST = 36,       // 4 bytes: received bytes the receiver could not keep (little-endian); a gap
    RECORD_START = 37,      // nothing: recording started here (the application's Start)
    RECORD_STOP = 38,       // nothing: recording stopped here; a file without it was cut short
    RECORD_ALARM = 39,      // text: a watch alarm raised here, "rule: text" (kept recordings)
    RECORD_MODEM = 40,      // 4 bytes: modem lines changed or a break (serial/modem_lines.h; little-endian)
};

// Record flags.
constexpr uint8_t RECORD_FLAG_SPLIT = 0x01;  // the unit's bytes came in more than one read

inline bool RecordCarriesStream(uint8_t kind) { return kind >= RECORD_MESSAGE && kind <= RECORD_PENDING; }
// Short name of a kind ("message", "stray", ..., "connect"); "kind N" is not given: nullptr if unknown.
const char* RecordKindName(uint8_t kind);

struct RecordingRecord {
    uint64_t timeUs;       // microseconds since 1970-01-01 UTC
    uint8_t kind, flags, type;
    const uint8_t* bytes;  // valid until the next read
    size_t length;
};

// Opens a file by its UTF-8 path; on Windows through the wide-character
// call, since fopen takes the ANSI code page there and a name outside it
// would open some other file.
FILE* RecordingOpenPath(const char* path, const char* mode);
// Deletes a file by its UTF-8 path, the same way; 0 on success (std::remove).
int RecordingRemovePath(const char* path);

// ---- Writing --------------------------------------------------------------

struct RecordingWriter {
    FILE* file = nullptr;
    uint64_t bytesWritten = 0;  // file size so far
    uint64_t records = 0;
    uint64_t firstUs = 0, lastUs = 0;
    bool failed = false;
};

// Creates (truncates) path and writes the file header; false with a message.
bool RecordingCreate(RecordingWriter& writer, const char* path, std::string& error);
// Writes the file header to an open stream (for tests and pipes).
bool RecordingStart(RecordingWriter& writer, FILE* file);
// Appends one record; bytes longer than RECORD_MAX_BYTES are split into
// several records of the same kind. False once writing has failed.
bool RecordingWrite(RecordingWriter& writer, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type,
                    const uint8_t* bytes, size_t length);
// Hands what is buffered to the system, so a crash loses at most what came after.
bool RecordingFlush(RecordingWriter& writer);
// Flushes and closes; false when anything failed.
bool RecordingClose(RecordingWriter& writer);

// ---- Reading --------------------------------------------------------------

enum RecordingReadResult { RECORDING_RECORD, RECORDING_END, RECORDING_TRUNCATED, RECORDING_BAD };

struct RecordingReader {
    FILE* file = nullptr;
    bool swapped = false;         // file written on a big-endian machine
    uint64_t offset = 0;          // file offset of the next record
    uint64_t records = 0;
    const uint8_t* prefix = nullptr;  // bytes already taken from file (the caller keeps them)
    size_t prefixLength = 0, prefixUsed = 0;
    uint8_t buffer[RECORDING_SNAPLEN];
    std::string error;            // the reason for RECORDING_TRUNCATED or RECORDING_BAD
};

// pcapng's section header block type: a Wireshark copy of a recording.
constexpr uint32_t PCAPNG_SECTION_HEADER = 0x0A0D0D0A;

// True when the first bytes of a stream are a capture file's magic: pcap
// (either byte order, micro- or nanoseconds) or pcapng. The reader refuses
// all but microsecond pcap with a message saying why.
bool RecordingHasMagic(const uint8_t* bytes, size_t length);
// True for a pcapng section header (needs 12 bytes).
bool RecordingIsPcapng(const uint8_t* bytes, size_t length);

// Reads and checks the file header from file, after the prefix bytes already
// taken from it (for standard input, where the magic was looked at first).
// False with reader.error when it is not a tally recording this program reads.
bool RecordingBegin(RecordingReader& reader, FILE* file, const uint8_t* prefix = nullptr,
                    size_t prefixLength = 0);
// The next record. RECORDING_TRUNCATED: the file ends inside a record (a crash
// while writing); everything before it was read. RECORDING_BAD: a damaged
// record or one of a newer format version (reader.error says which).
RecordingReadResult RecordingNext(RecordingReader& reader, RecordingRecord& record);

// Checks a whole file without keeping anything: records, stream bytes, first
// and last time stamps. False with error for anything but a clean end or a
// truncated tail (truncated is then set).
struct RecordingSummary {
    uint64_t records = 0, streamBytes = 0, firstUs = 0, lastUs = 0;
    bool truncated = false;
};
bool RecordingCheck(const char* path, RecordingSummary& summary, std::string& error);

// Microseconds since 1970 UTC by the system clock: the time stamp of a read.
uint64_t RecordingNowUs();

// The UTC calendar date of a day count since 1970-01-01 (proleptic
// Gregorian), for the times of records: names, reports and payloads.
void RecordingCivilDate(int64_t days, int& year, int& month, int& day);
// And back: the day count of a date, so that offsets from UTC come out the
// same on every platform without timegm.
int64_t RecordingDaysFromCivil(int64_t year, unsigned month, unsigned day);
