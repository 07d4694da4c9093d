// Recordings: the pcap container and our record header, written and read
// with stdio. Everything is written little-endian whatever the machine.
#include "recording/recording.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
uint32_t Get32(const uint8_t* p, bool swapped) {
    return swapped ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3])
                   : (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
}
uint32_t Get16(const uint8_t* p, bool swapped) {
    return swapped ? (uint32_t(p[0]) << 8 | p[1]) : (uint32_t(p[1]) << 8 | p[0]);
}

bool WriteBytes(RecordingWriter& writer, const void* data, size_t size) {
    if (writer.failed) return false;
    if (size && std::fwrite(data, 1, size, writer.file) != size) {
        writer.failed = true;
        return false;
    }
    writer.bytesWritten += size;
    return true;
}

// Reads exactly size bytes, the prefix first. Returns how many were read.
size_t ReadBytes(RecordingReader& reader, uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size && reader.prefixUsed < reader.prefixLength) out[got++] = reader.prefix[reader.prefixUsed++];
    if (got < size) got += std::fread(out + got, 1, size - got, reader.file);
    return got;
}

}  // namespace

#ifdef _WIN32
namespace {

// UTF-8 to UTF-16 by hand: this file stays free of windows.h. A malformed
// sequence becomes U+FFFD, which names no file the caller meant.
std::wstring WidePath(const char* path) {
    std::wstring wide;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(path);
    while (*p) {
        uint32_t c = *p++;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (c >= 0x80 && c < 0xC0) c = 0xFFFD;
        else if (extra) c &= 0x3F >> extra;
        for (; extra > 0; --extra) {
            if ((*p & 0xC0) != 0x80) {
                c = 0xFFFD;
                break;
            }
            c = c << 6 | (*p++ & 0x3F);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            wide += static_cast<wchar_t>(0xD800 + (c >> 10));
            wide += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(c);
        }
    }
    return wide;
}

}  // namespace
#endif

FILE* RecordingOpenPath(const char* path, const char* mode) {
#ifdef _WIN32
    std::wstring wideMode;
    for (const char* m = mode; *m; ++m) wideMode += static_cast<wchar_t>(*m);
    return _wfopen(WidePath(path).c_str(), wideMode.c_str());
#else
    return std::fopen(path, mode);
#endif
}

int RecordingRemovePath(const char* path) {
#ifdef _WIN32
    return _wremove(WidePath(path).c_str());
#else
    return std::remove(path);
#endif
}

const char* RecordKindName(uint8_t kind) {
    switch (kind) {
    case RECORD_MESSAGE: return "message";
    case RECORD_IGNORED: return "ignored";
    case RECORD_RESET: return "reset";
    case RECORD_STRAY: return "stray";
    case RECORD_UNKNOWN: return "unknown";
    case RECORD_MISMATCH: return "mismatch";
    case RECORD_LOWBYTE: return "lowbyte";
    case RECORD_PAYLOAD: return "payload";
    case RECORD_DROPPED: return "dropped";
    case RECORD_PENDING: return "pending";
    case RECORD_LINE_ERROR: return "line-error";
    case RECORD_PORT_ERROR: return "port-error";
    case RECORD_CONNECT: return "connect";
    case RECORD_DISCONNECT: return "disconnect";
    case RECORD_LOST: return "lost";
    case RECORD_START: return "start";
    case RECORD_STOP: return "stop";
    case RECORD_ALARM: return "alarm";
    case RECORD_MODEM: return "modem";
    default: return nullptr;
    }
}

bool RecordingStart(RecordingWriter& writer, FILE* file) {
    writer = RecordingWriter();
    writer.file = file;
    uint8_t header[PCAP_FILE_HEADER_SIZE];
    Put32(header, PCAP_MAGIC_MICROS);
    Put16(header + 4, 2);  // version 2.4
    Put16(header + 6, 4);
    Put32(header + 8, 0);  // time stamps are UTC
    Put32(header + 12, 0);
    Put32(header + 16, RECORDING_SNAPLEN);
    Put32(header + 20, RECORDING_LINKTYPE);
    return WriteBytes(writer, header, sizeof header) && RecordingFlush(writer);
}

bool RecordingCreate(RecordingWriter& writer, const char* path, std::string& error) {
    FILE* file = RecordingOpenPath(path, "wb");
    if (!file) {
        error = std::string("cannot create ") + path + ": " + std::strerror(errno);
        return false;
    }
    if (!RecordingStart(writer, file)) {
        error = std::string("cannot write ") + path;
        std::fclose(file);
        writer.file = nullptr;
        return false;
    }
    return true;
}

bool RecordingWrite(RecordingWriter& writer, uint64_t timeUs, uint8_t kind, uint8_t flags, uint8_t type,
                    const uint8_t* bytes, size_t length) {
    do {
        const size_t part = length < RECORD_MAX_BYTES ? length : RECORD_MAX_BYTES;
        uint8_t header[PCAP_RECORD_HEADER_SIZE + RECORD_HEADER_SIZE];
        Put32(header, static_cast<uint32_t>(timeUs / 1000000));
        Put32(header + 4, static_cast<uint32_t>(timeUs % 1000000));
        Put32(header + 8, static_cast<uint32_t>(part + RECORD_HEADER_SIZE));
        Put32(header + 12, static_cast<uint32_t>(part + RECORD_HEADER_SIZE));
        header[16] = RECORDING_VERSION;
        header[17] = kind;
        header[18] = flags;
        header[19] = type;
        if (!WriteBytes(writer, header, sizeof header) || !WriteBytes(writer, bytes, part)) return false;
        if (!writer.records) writer.firstUs = timeUs;
        writer.lastUs = timeUs;
        ++writer.records;
        bytes += part;
        length -= part;
    } while (length > 0);
    return true;
}

bool RecordingFlush(RecordingWriter& writer) {
    if (!writer.file || writer.failed) return false;
    if (std::fflush(writer.file) != 0) writer.failed = true;
    return !writer.failed;
}

bool RecordingClose(RecordingWriter& writer) {
    if (!writer.file) return false;
    RecordingFlush(writer);
    if (std::fclose(writer.file) != 0) writer.failed = true;
    writer.file = nullptr;
    return !writer.failed;
}

bool RecordingHasMagic(const uint8_t* bytes, size_t length) {
    if (length < 4) return false;
    const uint32_t le = Get32(bytes, false);
    const uint32_t be = Get32(bytes, true);
    // Microsecond and nanosecond pcap, either byte order, and pcapng: all are
    // capture files, so all go to the recording reader, which says what it
    // cannot read.
    return le == PCAP_MAGIC_MICROS || be == PCAP_MAGIC_MICROS || le == 0xA1B23C4D || be == 0xA1B23C4D ||
           RecordingIsPcapng(bytes, length);
}

bool RecordingIsPcapng(const uint8_t* bytes, size_t length) {
    // A section header block, and its byte-order magic in either order, so
    // that a raw feed starting with "\n\r\r\n" is still a raw feed.
    if (length < 12 || Get32(bytes, false) != PCAPNG_SECTION_HEADER) return false;
    return Get32(bytes + 8, false) == 0x1A2B3C4D || Get32(bytes + 8, true) == 0x1A2B3C4D;
}

bool RecordingBegin(RecordingReader& reader, FILE* file, const uint8_t* prefix, size_t prefixLength) {
    reader.file = file;
    reader.offset = 0;
    reader.records = 0;
    reader.error.clear();
    reader.prefix = prefix;
    reader.prefixLength = prefix ? prefixLength : 0;
    reader.prefixUsed = 0;
    uint8_t header[PCAP_FILE_HEADER_SIZE];
    const size_t got = ReadBytes(reader, header, sizeof header);
    if (RecordingIsPcapng(header, got)) {
        reader.error = "pcapng file, not a classic pcap recording: convert it first with "
                       "'editcap -F pcap FILE.pcapng FILE.pcap' (or Wireshark's Save As, format pcap)";
        return false;
    }
    if (got >= 4 && !RecordingHasMagic(header, got)) {
        reader.error = "not a recording (no pcap file header)";
        return false;
    }
    if (got < sizeof header) {
        reader.error = got == 0 ? "empty file, not a recording" : "truncated recording: the file header is incomplete";
        return false;
    }
    reader.swapped = Get32(header, false) != PCAP_MAGIC_MICROS && Get32(header, false) != 0xA1B23C4D;
    if (Get32(header, reader.swapped) != PCAP_MAGIC_MICROS) {
        reader.error = "pcap file with nanosecond time stamps: not a recording this program writes";
        return false;
    }
    const uint32_t major = Get16(header + 4, reader.swapped);
    const uint32_t minor = Get16(header + 6, reader.swapped);
    const uint32_t linkType = Get32(header + 20, reader.swapped) & 0x0FFFFFFF;  // high bits: FCS info
    if (major != 2 || minor != 4) {
        reader.error = "pcap file of version " + std::to_string(major) + "." + std::to_string(minor) +
                       ", not 2.4: not readable here";
        return false;
    }
    if (linkType != RECORDING_LINKTYPE) {
        reader.error = "pcap file of link type " + std::to_string(linkType) + ", not a tally recording (link type " +
                       std::to_string(RECORDING_LINKTYPE) + ")";
        return false;
    }
    reader.offset = PCAP_FILE_HEADER_SIZE;
    return true;
}

RecordingReadResult RecordingNext(RecordingReader& reader, RecordingRecord& record) {
    uint8_t header[PCAP_RECORD_HEADER_SIZE];
    const size_t got = ReadBytes(reader, header, sizeof header);
    if (got == 0) return RECORDING_END;
    const std::string where = "record " + std::to_string(reader.records + 1) + " at byte " + std::to_string(reader.offset);
    if (got < sizeof header) {
        reader.error = "truncated recording: " + where + " is incomplete (" + std::to_string(got) + " bytes)";
        return RECORDING_TRUNCATED;
    }
    const uint32_t captured = Get32(header + 8, reader.swapped);
    const uint32_t original = Get32(header + 12, reader.swapped);
    const uint32_t micros = Get32(header + 4, reader.swapped);
    if (captured < RECORD_HEADER_SIZE || captured > RECORDING_SNAPLEN || original != captured || micros >= 1000000) {
        reader.error = "damaged recording: " + where + " has an impossible header";
        return RECORDING_BAD;
    }
    const size_t body = ReadBytes(reader, reader.buffer, captured);
    if (body < captured) {
        reader.error = "truncated recording: " + where + " is incomplete (" + std::to_string(got + body) + " of " +
                       std::to_string(captured + sizeof header) + " bytes)";
        return RECORDING_TRUNCATED;
    }
    if (reader.buffer[0] > RECORDING_VERSION) {
        reader.error = "recording format version " + std::to_string(reader.buffer[0]) +
                       " is newer than this program reads (version " + std::to_string(RECORDING_VERSION) + ")";
        return RECORDING_BAD;
    }
    if (reader.buffer[0] == 0 || !RecordKindName(reader.buffer[1])) {
        reader.error = "damaged recording: " + where + " is of no known kind";
        return RECORDING_BAD;
    }
    // What no writer produces is refused rather than guessed at.
    const uint8_t kind = reader.buffer[1];
    const size_t length = captured - RECORD_HEADER_SIZE;
    if (reader.buffer[2] & ~RECORD_FLAG_SPLIT) {
        reader.error = "damaged recording: " + where + " has unknown flag bits";
        return RECORDING_BAD;
    }
    if ((kind == RECORD_LINE_ERROR || kind == RECORD_PORT_ERROR || kind == RECORD_LOST || kind == RECORD_MODEM) &&
        length != 4) {
        reader.error = "damaged recording: " + where + " is a " + RecordKindName(kind) + " record of " +
                       std::to_string(length) + " bytes, not 4";
        return RECORDING_BAD;
    }
    if ((kind == RECORD_DISCONNECT || kind == RECORD_START || kind == RECORD_STOP) && length != 0) {
        reader.error = "damaged recording: " + where + " is a " + RecordKindName(kind) + " record with bytes";
        return RECORDING_BAD;
    }
    record.timeUs = uint64_t(Get32(header, reader.swapped)) * 1000000 + micros;
    record.kind = reader.buffer[1];
    record.flags = reader.buffer[2];
    record.type = reader.buffer[3];
    record.bytes = reader.buffer + RECORD_HEADER_SIZE;
    record.length = captured - RECORD_HEADER_SIZE;
    reader.offset += sizeof header + captured;
    ++reader.records;
    return RECORDING_RECORD;
}

bool RecordingCheck(const char* path, RecordingSummary& summary, std::string& error) {
    summary = RecordingSummary();
    FILE* file = RecordingOpenPath(path, "rb");
    if (!file) {
        error = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return false;
    }
    RecordingReader* reader = new RecordingReader;
    bool ok = RecordingBegin(*reader, file);
    RecordingRecord record;
    RecordingReadResult result = RECORDING_END;
    while (ok && (result = RecordingNext(*reader, record)) == RECORDING_RECORD) {
        if (!summary.records) summary.firstUs = record.timeUs;
        summary.lastUs = record.timeUs;
        ++summary.records;
        if (RecordCarriesStream(record.kind)) summary.streamBytes += record.length;
    }
    if (ok && result == RECORDING_TRUNCATED) summary.truncated = true;
    if (!ok || result == RECORDING_BAD) {
        error = reader->error;
        ok = false;
    }
    std::fclose(file);
    delete reader;
    return ok;
}

uint64_t RecordingNowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

void RecordingCivilDate(int64_t days, int& year, int& month, int& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

int64_t RecordingDaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}
