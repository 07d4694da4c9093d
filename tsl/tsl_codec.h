// TSL UMD packets, both ways: version 3.1 (18 bytes, one display) and 5.0
// (several displays per packet, little-endian, ASCII or UTF-16LE text), plus
// the DLE/STX byte stream that carries 5.0 over TCP. Portable, no sockets: the
// socket layer hands bytes in and takes bytes out.
//
// Layout facts relied on (from the published protocol descriptions):
//   3.1  byte 0      display address 0..126, plus 0x80 (so 0x80..0xFE)
//        byte 1      control: bits 0-3 tally 1-4, bits 4-5 brightness,
//                    bit 6 reserved, bit 7 cleared to 0
//        bytes 2-17  16 displayable ASCII characters (0x20..0x7E)
//   5.0  PBC u16     byte count of the rest of the packet (PBC itself excluded)
//        VER u8      minor version (5.00 -> 0)
//        FLAGS u8    bit 0 set: text is UTF-16LE, clear: ASCII;
//                    bit 1 set: screen control data follows, not DMSGs;
//                    bits 2-7 reserved, 0
//        SCREEN u16  screen index, 0xFFFF broadcast
//        DMSG        INDEX u16 (0xFFFF broadcast), CONTROL u16, then
//                    LENGTH u16 + LENGTH bytes of text
//        CONTROL     bits 0-1 right-hand tally, 2-3 text tally, 4-5 left-hand
//                    tally (0 off, 1 red, 2 green, 3 amber), bits 6-7
//                    brightness, bits 8-14 reserved, bit 15 set: display
//                    control data follows instead of LENGTH+TEXT (undefined
//                    in 5.0, so nothing after it can be read)
//        A packet is at most 2048 bytes, all 16-bit fields little-endian.
//   TCP  every packet starts with DLE STX (0xFE 0x02); a 0xFE inside the
//        packet is sent as 0xFE 0xFE. PBC counts the unstuffed bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int TSL31_PACKET_SIZE = 18;
constexpr int TSL31_TEXT_SIZE = 16;
constexpr int TSL31_MAX_ADDRESS = 126;
constexpr int TSL50_MAX_PACKET = 2048;
constexpr int TSL50_HEADER_SIZE = 6;   // PBC, VER, FLAGS, SCREEN
constexpr int TSL50_DMSG_HEADER = 6;   // INDEX, CONTROL, LENGTH
constexpr uint16_t TSL50_BROADCAST = 0xFFFF;
constexpr uint8_t TSL_DLE = 0xFE;
constexpr uint8_t TSL_STX = 0x02;

enum TslVersion : uint8_t { TSL_V31 = 31, TSL_V50 = 50 };

// 5.0 tally colours.
enum TslColour : uint8_t { TSL_OFF = 0, TSL_RED = 1, TSL_GREEN = 2, TSL_AMBER = 3 };

// One display's state. For 3.1 only index (the address), tally31, brightness
// and text are used; for 5.0 the three colours.
struct TslMessage {
    uint16_t index = 0;
    uint8_t tally31 = 0;     // bits 0-3: tally 1-4
    uint8_t rh = 0, txt = 0, lh = 0;  // TslColour
    uint8_t brightness = 3;  // 0..3
    bool controlData = false;         // 5.0 CONTROL bit 15: no text, rest unreadable
    bool textOutOfRange = false;      // a character outside the allowed range
    std::string text;                 // as UTF-8
};

struct TslPacket {
    TslVersion version = TSL_V50;
    uint8_t ver = 0, flags = 0;       // 5.0
    uint16_t screen = 0;              // 5.0
    uint8_t control31 = 0;            // 3.1 control byte as received
    bool dleFramed = false;           // came wrapped in DLE/STX
    bool pbcMismatch = false;         // 5.0 PBC differs from the bytes there
    std::vector<TslMessage> messages;
    std::string problem;              // empty when well-formed; otherwise why not
    size_t size = 0;                  // bytes the packet occupied (unstuffed)
};

// --- 3.1 ---
// 18 bytes into out. The address must be 0..126; text is cut or padded with
// spaces to 16 and characters outside 0x20..0x7E become '?'.
bool Tsl31Encode(const TslMessage& m, uint8_t out[TSL31_PACKET_SIZE]);
// False (with p.problem) when the bytes are not a 3.1 packet; a well-formed
// packet with bit 7 of control set, or text outside 0x20..0x7E, still decodes
// and is marked (control31, textOutOfRange).
bool Tsl31Decode(const uint8_t* data, size_t size, TslPacket& p);

// --- 5.0 ---
struct Tsl50Header {
    uint16_t screen = 0;
    bool unicode = false;  // UTF-16LE text
};
// Bytes of one DMSG with this text (text given as UTF-8).
size_t Tsl50MessageSize(const TslMessage& m, bool unicode);
// One packet holding the messages, appended to out. False, nothing appended,
// if they do not fit in 2048 bytes.
bool Tsl50Encode(const Tsl50Header& h, const TslMessage* messages, size_t count, std::vector<uint8_t>& out);
// Packs messages in order into as few packets as the 2048-byte limit allows.
std::vector<std::vector<uint8_t>> Tsl50Pack(const Tsl50Header& h, const std::vector<TslMessage>& messages);
// Decodes one unframed packet of exactly `size` bytes. Every length is checked
// against what is there; false with p.problem when malformed (messages decoded
// before the fault are kept).
bool Tsl50Decode(const uint8_t* data, size_t size, TslPacket& p);

// --- DLE/STX ---
// DLE STX then the packet with every DLE doubled, appended to out.
void TslDleWrap(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

// One UDP datagram: DLE/STX-wrapped 5.0 (marked dleFramed), one or more 3.1
// packets (a multiple of 18 bytes, each starting 0x80..0xFE), or plain 5.0.
// Packets (well-formed or not) are appended to out; returns how many.
size_t TslDecodeDatagram(const uint8_t* data, size_t size, std::vector<TslPacket>& out);

// A byte stream (TCP, a serial line, a raw capture) reassembled into packets.
// The mode is fixed at construction or, in TSL_STREAM_AUTO, chosen by the
// first byte: DLE -> DLE/STX 5.0, 0x80..0xFD -> 3.1, else PBC-led plain 5.0.
// Nothing in the stream is trusted: a PBC that cannot be right, a DLE followed
// by anything but DLE or STX, or a packet cut short by the next DLE/STX each
// count as a malformed packet, and decoding resumes at the next DLE/STX. The
// buffer never exceeds one packet (2048 bytes).
enum TslStreamMode : uint8_t { TSL_STREAM_AUTO, TSL_STREAM_DLE, TSL_STREAM_31, TSL_STREAM_PLAIN50 };

struct TslStreamStats {
    uint64_t bytes = 0;
    uint64_t packets = 0;     // handed out, well-formed or not
    uint64_t malformed = 0;   // of those, with a problem
    uint64_t strayBytes = 0;  // bytes outside any packet, skipped
};

class TslStreamDecoder {
public:
    explicit TslStreamDecoder(TslStreamMode mode = TSL_STREAM_AUTO) : mode_(mode) {}
    // Appends every packet completed by these bytes to out. Malformed packets
    // are appended too, with their problem, so that they can be described.
    void Feed(const uint8_t* data, size_t size, std::vector<TslPacket>& out);
    // At the end of the stream: a packet still incomplete is handed out as
    // malformed ("cut off").
    void Finish(std::vector<TslPacket>& out);
    TslStreamMode Mode() const { return mode_; }
    const TslStreamStats& Stats() const { return stats_; }
    size_t Pending() const { return buffer_.size(); }

private:
    void Emit(TslPacket&& p, std::vector<TslPacket>& out);
    void Malformed(const std::string& why, std::vector<TslPacket>& out);
    void FeedDle(uint8_t b, std::vector<TslPacket>& out);
    void FeedPlain(uint8_t b, std::vector<TslPacket>& out);
    void Feed31(uint8_t b, std::vector<TslPacket>& out);

    TslStreamMode mode_;
    TslStreamStats stats_;
    std::vector<uint8_t> buffer_;
    bool inPacket_ = false;   // DLE mode: after DLE STX
    bool afterDle_ = false;   // DLE mode: last byte was an unpaired DLE
    bool skipping_ = false;   // DLE mode: dropping a bad packet's rest
    uint64_t strayRun_ = 0;   // 3.1 / plain: skipped bytes before the next packet
};

// One line describing a packet, e.g.
//   5.0 screen 0 index 3 LH red TXT red RH red bright 3 "CAM 1"; index 4 ...
//   3.1 address 3 tally 1--- bright 3 "CAM 1"
//   malformed 5.0 (40 bytes): DMSG 2 LENGTH 300 runs past the packet's end
std::string TslDescribe(const TslPacket& p);
const char* TslColourName(uint8_t colour);
