// The capture stream: every read the receiver made, stamped once with its
// microsecond, and the link's events, in order, in a byte-oriented
// single-producer/single-consumer ring. A recording is written from this
// stream with its own parser and the recorder `tallydump --capture X.pcap`
// uses, so it holds every byte the port delivered whatever the history's
// display keeps. Portable; the ring allocates once, at init.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "recording/recorder.h"
#include "recording/recording.h"
#include "tally/parser.h"
#include "tally/store.h"

enum CaptureKind : uint8_t {
    CAPTURE_BYTES = 1,       // one read: its bytes
    CAPTURE_CONNECT = 2,     // the port was opened: text "COM1 115200 8N1"
    CAPTURE_DISCONNECT = 3,  // the port was closed
    CAPTURE_LINE_ERROR = 4,  // code: the line error bits
    CAPTURE_PORT_ERROR = 5,  // code: the error code of a failed call
    CAPTURE_GAP = 6,         // code: received bytes the full ring could not keep before this entry
    CAPTURE_MODEM = 7,       // code: modem lines changed or a break (serial/modem_lines.h)
};

// Minutes of a full-rate 256000-baud feed (25600 bytes/s) while the window
// does not drain it.
constexpr size_t CAPTURE_RING_BYTES = size_t(8) << 20;
// Longest entry payload: a read is at most READ_BUFFER_SIZE bytes.
constexpr size_t CAPTURE_MAX_BYTES = 65535;

struct CaptureEntry {
    uint64_t timeUs;
    uint8_t kind;
    uint32_t code;
    const uint8_t* bytes;  // valid until the next pop
    size_t length;
};

// The producer owns `head` and `pendingLost`, the consumer `tail`; each
// publishes its position with release and reads the other's with acquire.
struct CaptureRing {
    std::atomic<uint64_t> head{0};
    char pad1[56];
    std::atomic<uint64_t> tail{0};
    char pad2[56];
    std::atomic<uint64_t> lostBytes{0};  // bytes refused, in total (for status texts)
    uint64_t pendingLost = 0;            // refused since the last gap entry was written
    bool gapPending = false;             // an entry was refused: a gap entry comes next
    std::unique_ptr<uint8_t[]> data;
    size_t capacity = 0;                 // a power of two
};

// Allocates capacity bytes (rounded up to a power of two, at least 4096).
void CaptureRingInit(CaptureRing& ring, size_t capacity = CAPTURE_RING_BYTES);

// Producer side; never waits. When the ring has no room the entry is refused
// (its received bytes counted) and the next entry that fits is preceded by a
// gap entry holding that count. Returns false when refused.
bool CapturePush(CaptureRing& ring, uint64_t timeUs, uint8_t kind, uint32_t code, const uint8_t* bytes,
                 size_t length);

// Consumer side: the oldest entry, its bytes copied into the ring's reader
// buffer `scratch` (at least CAPTURE_MAX_BYTES). False when empty.
bool CapturePop(CaptureRing& ring, CaptureEntry& entry, uint8_t* scratch);

// ---- A recording written from the stream ------------------------------------------

struct CaptureRecording {
    RecordingWriter writer;
    bool on = false;
    bool unflushed = false;
    uint64_t lostBytes = 0;   // gaps written into this recording
    std::unique_ptr<TallyStore> store;  // the recording's parser stores here, not in the application's store
    std::unique_ptr<FrameParser> parser;
    Recorder recorder;
};

// Starts a recording on an open stream (the file header written): the
// `start` marker at timeUs, then, with connectText (the link is connected),
// the connect record; a fresh parser frames what follows, as a replay of the
// file will. False when writing failed.
bool CaptureRecordingBegin(CaptureRecording& recording, FILE* file, uint64_t timeUs, const char* connectText);
// One entry of the stream into the file (nothing while not on).
void CaptureRecordingTake(CaptureRecording& recording, const CaptureEntry& entry);
// The incomplete message the parser holds (as pending), the `stop` marker at
// timeUs, and closes. False when anything failed.
bool CaptureRecordingEnd(CaptureRecording& recording, uint64_t timeUs);
