// TSL UMD 3.1 and 5.0 packets and the DLE/STX stream; see tsl_codec.h for
// the layouts.
#include "tsl/tsl_codec.h"

#include <cstdio>

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void PutLe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutUtf8(std::string& s, uint32_t c) {
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-8 into code points; a malformed sequence gives U+FFFD for its first byte.
std::vector<uint32_t> CodePoints(const std::string& s) {
    std::vector<uint32_t> out;
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t b = static_cast<uint8_t>(s[i]);
        int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        uint32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1Fu) : extra == 2 ? (b & 0x0Fu) : (b & 0x07u);
        bool ok = extra >= 0;
        for (int k = 1; ok && k <= extra; ++k) {
            if (i + k >= s.size()) { ok = false; break; }
            const uint8_t n = static_cast<uint8_t>(s[i + k]);
            if ((n & 0xC0) != 0x80) ok = false;
            c = (c << 6) | (n & 0x3Fu);
        }
        if (!ok || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out.push_back(0xFFFD);
            ++i;
        } else {
            out.push_back(c);
            i += static_cast<size_t>(extra) + 1;
        }
    }
    return out;
}

// Text bytes of a DMSG: ASCII ('?' for anything else) or UTF-16LE.
std::vector<uint8_t> TextBytes(const std::string& text, bool unicode) {
    std::vector<uint8_t> out;
    for (uint32_t c : CodePoints(text)) {
        if (!unicode) {
            out.push_back(c >= 0x20 && c <= 0x7E ? static_cast<uint8_t>(c) : '?');
        } else if (c >= 0x10000) {
            const uint32_t v = c - 0x10000;
            PutLe16(out, static_cast<uint16_t>(0xD800 + (v >> 10)));
            PutLe16(out, static_cast<uint16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            PutLe16(out, static_cast<uint16_t>(c));
        }
    }
    return out;
}

// ASCII text: 0x20..0x7E allowed, anything else shown as '?' and marked.
std::string AsciiText(const uint8_t* p, size_t n, bool& outOfRange) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] >= 0x20 && p[i] <= 0x7E) {
            s += static_cast<char>(p[i]);
        } else {
            s += '?';
            outOfRange = true;
        }
    }
    return s;
}

// UTF-16LE text (n even): control characters and unpaired surrogates are out of range.
std::string Utf16Text(const uint8_t* p, size_t n, bool& outOfRange) {
    std::string s;
    for (size_t i = 0; i + 1 < n; i += 2) {
        uint32_t c = Le16(p + i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < n && Le16(p + i + 2) >= 0xDC00 && Le16(p + i + 2) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (Le16(p + i + 2) - 0xDC00u);
            i += 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
            outOfRange = true;
        }
        if (c < 0x20 || c == 0x7F) {
            outOfRange = true;
            c = '?';
        }
        PutUtf8(s, c);
    }
    return s;
}

std::string TrimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

std::string Format(const char* fmt, long a, long b = 0, long c = 0) {
    char buf[200];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

}  // namespace

const char* TslColourName(uint8_t colour) {
    switch (colour & 3) {
    case TSL_RED: return "red";
    case TSL_GREEN: return "green";
    case TSL_AMBER: return "amber";
    default: return "off";
    }
}

bool Tsl31Encode(const TslMessage& m, uint8_t out[TSL31_PACKET_SIZE]) {
    if (m.index > TSL31_MAX_ADDRESS) return false;
    out[0] = static_cast<uint8_t>(0x80 + m.index);
    out[1] = static_cast<uint8_t>((m.tally31 & 0x0F) | ((m.brightness & 3) << 4));
    const std::vector<uint8_t> text = TextBytes(m.text, false);
    for (int i = 0; i < TSL31_TEXT_SIZE; ++i)
        out[2 + i] = i < static_cast<int>(text.size()) ? text[static_cast<size_t>(i)] : ' ';
    return true;
}

bool Tsl31Decode(const uint8_t* data, size_t size, TslPacket& p) {
    p = TslPacket();
    p.version = TSL_V31;
    p.size = size;
    if (size != TSL31_PACKET_SIZE) {
        p.problem = Format("%ld bytes, a 3.1 packet has 18", static_cast<long>(size));
        return false;
    }
    if (data[0] < 0x80 || data[0] == 0xFF) {
        p.problem = Format("address byte 0x%02lX is not 0x80 + 0..126", data[0]);
        return false;
    }
    TslMessage m;
    m.index = static_cast<uint16_t>(data[0] - 0x80);
    p.control31 = data[1];
    m.tally31 = data[1] & 0x0F;
    m.brightness = (data[1] >> 4) & 3;
    m.text = TrimRight(AsciiText(data + 2, TSL31_TEXT_SIZE, m.textOutOfRange));
    p.messages.push_back(m);
    return true;
}

size_t Tsl50MessageSize(const TslMessage& m, bool unicode) {
    return TSL50_DMSG_HEADER + TextBytes(m.text, unicode).size();
}

bool Tsl50Encode(const Tsl50Header& h, const TslMessage* messages, size_t count, std::vector<uint8_t>& out) {
    std::vector<uint8_t> p;
    p.reserve(TSL50_MAX_PACKET);
    PutLe16(p, 0);  // PBC, filled in below
    p.push_back(0);  // VER 5.00
    p.push_back(h.unicode ? 1 : 0);
    PutLe16(p, h.screen);
    for (size_t i = 0; i < count; ++i) {
        const TslMessage& m = messages[i];
        const std::vector<uint8_t> text = TextBytes(m.text, h.unicode);
        PutLe16(p, m.index);
        PutLe16(p, static_cast<uint16_t>((m.rh & 3) | ((m.txt & 3) << 2) | ((m.lh & 3) << 4) | ((m.brightness & 3) << 6)));
        PutLe16(p, static_cast<uint16_t>(text.size()));
        p.insert(p.end(), text.begin(), text.end());
        if (p.size() > TSL50_MAX_PACKET) return false;
    }
    const uint16_t pbc = static_cast<uint16_t>(p.size() - 2);
    p[0] = static_cast<uint8_t>(pbc & 0xFF);
    p[1] = static_cast<uint8_t>(pbc >> 8);
    out.insert(out.end(), p.begin(), p.end());
    return true;
}

std::vector<std::vector<uint8_t>> Tsl50Pack(const Tsl50Header& h, const std::vector<TslMessage>& messages) {
    std::vector<std::vector<uint8_t>> packets;
    size_t start = 0;
    while (start < messages.size()) {
        size_t bytes = TSL50_HEADER_SIZE, end = start;
        while (end < messages.size()) {
            const size_t n = Tsl50MessageSize(messages[end], h.unicode);
            if (bytes + n > TSL50_MAX_PACKET) break;
            bytes += n;
            ++end;
        }
        std::vector<uint8_t> p;
        if (end == start) {
            // A single message too long for any packet: its text is cut to fit.
            TslMessage cut = messages[start];
            while (!cut.text.empty() && TSL50_HEADER_SIZE + Tsl50MessageSize(cut, h.unicode) > TSL50_MAX_PACKET)
                cut.text.resize(cut.text.size() / 2);
            Tsl50Encode(h, &cut, 1, p);
            end = start + 1;
        } else {
            Tsl50Encode(h, &messages[start], end - start, p);
        }
        packets.push_back(std::move(p));
        start = end;
    }
    return packets;
}

bool Tsl50Decode(const uint8_t* data, size_t size, TslPacket& p) {
    p = TslPacket();
    p.version = TSL_V50;
    p.size = size;
    if (size < TSL50_HEADER_SIZE) {
        p.problem = Format("%ld bytes, shorter than the 6-byte 5.0 header", static_cast<long>(size));
        return false;
    }
    if (size > TSL50_MAX_PACKET) {
        p.problem = Format("%ld bytes, longer than the 2048 allowed", static_cast<long>(size));
        return false;
    }
    const uint16_t pbc = Le16(data);
    p.pbcMismatch = pbc != size - 2;
    p.ver = data[2];
    p.flags = data[3];
    p.screen = Le16(data + 4);
    // The bytes present are decoded, whatever PBC claims.
    if (p.flags & 2) return true;  // screen control data: undefined in 5.0, nothing to read
    const bool unicode = (p.flags & 1) != 0;
    size_t pos = TSL50_HEADER_SIZE;
    int n = 0;
    while (pos < size) {
        ++n;
        const size_t left = size - pos;
        if (left < 4) {
            p.problem = Format("DMSG %ld: %ld bytes left, too few for INDEX and CONTROL", n, static_cast<long>(left));
            return false;
        }
        TslMessage m;
        m.index = Le16(data + pos);
        const uint16_t control = Le16(data + pos + 2);
        m.rh = control & 3;
        m.txt = (control >> 2) & 3;
        m.lh = (control >> 4) & 3;
        m.brightness = (control >> 6) & 3;
        if (control & 0x8000) {
            // Display control data has no defined layout: nothing after it can be found.
            m.controlData = true;
            p.messages.push_back(m);
            return true;
        }
        if (left < TSL50_DMSG_HEADER) {
            p.problem = Format("DMSG %ld: %ld bytes left, too few for its LENGTH", n, static_cast<long>(left));
            return false;
        }
        const size_t length = Le16(data + pos + 4);
        if (length > left - TSL50_DMSG_HEADER) {
            p.problem = Format("DMSG %ld: LENGTH %ld runs past the packet's end (%ld bytes left)", n,
                               static_cast<long>(length), static_cast<long>(left - TSL50_DMSG_HEADER));
            return false;
        }
        if (unicode && (length & 1)) {
            p.problem = Format("DMSG %ld: LENGTH %ld is odd for UTF-16LE text", n, static_cast<long>(length));
            return false;
        }
        const uint8_t* text = data + pos + TSL50_DMSG_HEADER;
        m.text = unicode ? Utf16Text(text, length, m.textOutOfRange) : AsciiText(text, length, m.textOutOfRange);
        p.messages.push_back(m);
        pos += TSL50_DMSG_HEADER + length;
    }
    return true;
}

void TslDleWrap(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    out.push_back(TSL_DLE);
    out.push_back(TSL_STX);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(data[i]);
        if (data[i] == TSL_DLE) out.push_back(TSL_DLE);
    }
}

size_t TslDecodeDatagram(const uint8_t* data, size_t size, std::vector<TslPacket>& out) {
    const size_t before = out.size();
    if (size >= 2 && data[0] == TSL_DLE && data[1] == TSL_STX) {
        TslStreamDecoder d(TSL_STREAM_DLE);
        d.Feed(data, size, out);
        d.Finish(out);
        if (d.Stats().strayBytes) {
            TslPacket p;
            p.dleFramed = true;
            p.size = size;
            p.problem = Format("%ld bytes after the packet's end", static_cast<long>(d.Stats().strayBytes));
            out.push_back(p);
        }
        return out.size() - before;
    }
    bool all31 = size > 0 && size % TSL31_PACKET_SIZE == 0;
    for (size_t i = 0; all31 && i < size; i += TSL31_PACKET_SIZE) all31 = data[i] >= 0x80 && data[i] != 0xFF;
    if (all31) {
        for (size_t i = 0; i < size; i += TSL31_PACKET_SIZE) {
            TslPacket p;
            Tsl31Decode(data + i, TSL31_PACKET_SIZE, p);
            out.push_back(std::move(p));
        }
        return out.size() - before;
    }
    TslPacket p;
    Tsl50Decode(data, size, p);
    out.push_back(std::move(p));
    return 1;
}

void TslStreamDecoder::Emit(TslPacket&& p, std::vector<TslPacket>& out) {
    ++stats_.packets;
    if (!p.problem.empty()) ++stats_.malformed;
    out.push_back(std::move(p));
}

void TslStreamDecoder::Malformed(const std::string& why, std::vector<TslPacket>& out) {
    TslPacket p;
    p.version = mode_ == TSL_STREAM_31 ? TSL_V31 : TSL_V50;
    p.dleFramed = mode_ == TSL_STREAM_DLE;
    p.size = buffer_.size();
    p.problem = why;
    buffer_.clear();
    Emit(std::move(p), out);
}

void TslStreamDecoder::FeedDle(uint8_t b, std::vector<TslPacket>& out) {
    if (afterDle_) {
        afterDle_ = false;
        if (b == TSL_STX) {
            if (inPacket_ && !skipping_ && !buffer_.empty())
                Malformed(Format("cut short by the next DLE/STX after %ld bytes", static_cast<long>(buffer_.size())),
                          out);
            buffer_.clear();
            inPacket_ = true;
            skipping_ = false;
            return;
        }
        if (b != TSL_DLE) {
            if (inPacket_ && !skipping_) {
                Malformed(Format("DLE followed by 0x%02lX, neither DLE nor STX", b), out);
                skipping_ = true;
            } else {
                stats_.strayBytes += 2;
            }
            return;
        }
        // DLE DLE: one data byte 0xFE, handled below.
    } else if (b == TSL_DLE) {
        afterDle_ = true;
        return;
    }
    if (!inPacket_ || skipping_) {
        stats_.strayBytes += b == TSL_DLE ? 2 : 1;
        return;
    }
    buffer_.push_back(b);
    if (buffer_.size() < 2) return;
    const size_t pbc = Le16(buffer_.data());
    if (buffer_.size() == 2 && (pbc + 2 > TSL50_MAX_PACKET || pbc + 2 < TSL50_HEADER_SIZE)) {
        Malformed(Format("PBC %ld cannot be right (a packet is 6 to 2048 bytes)", static_cast<long>(pbc)), out);
        skipping_ = true;
        return;
    }
    if (buffer_.size() == pbc + 2) {
        TslPacket p;
        Tsl50Decode(buffer_.data(), buffer_.size(), p);
        p.dleFramed = true;
        buffer_.clear();
        inPacket_ = false;
        Emit(std::move(p), out);
    }
}

void TslStreamDecoder::FeedPlain(uint8_t b, std::vector<TslPacket>& out) {
    buffer_.push_back(b);
    if (buffer_.size() == 2) {
        const size_t pbc = Le16(buffer_.data());
        if (pbc + 2 > TSL50_MAX_PACKET || pbc + 2 < TSL50_HEADER_SIZE) {
            // Not a packet start: slide on by one byte.
            buffer_.erase(buffer_.begin());
            ++strayRun_;
            ++stats_.strayBytes;
            return;
        }
    }
    if (buffer_.size() < 2) return;
    if (buffer_.size() == static_cast<size_t>(Le16(buffer_.data())) + 2) {
        if (strayRun_) {
            std::vector<uint8_t> keep;
            keep.swap(buffer_);
            Malformed(Format("%ld bytes skipped: no plausible PBC", static_cast<long>(strayRun_)), out);
            keep.swap(buffer_);
            strayRun_ = 0;
        }
        TslPacket p;
        Tsl50Decode(buffer_.data(), buffer_.size(), p);
        buffer_.clear();
        Emit(std::move(p), out);
    }
}

void TslStreamDecoder::Feed31(uint8_t b, std::vector<TslPacket>& out) {
    if (buffer_.empty() && (b < 0x80 || b == 0xFF)) {
        ++strayRun_;
        ++stats_.strayBytes;
        return;
    }
    if (buffer_.empty() && strayRun_) {
        Malformed(Format("%ld bytes skipped: not an address byte", static_cast<long>(strayRun_)), out);
        strayRun_ = 0;
    }
    buffer_.push_back(b);
    if (buffer_.size() == TSL31_PACKET_SIZE) {
        TslPacket p;
        Tsl31Decode(buffer_.data(), buffer_.size(), p);
        buffer_.clear();
        Emit(std::move(p), out);
    }
}

void TslStreamDecoder::Feed(const uint8_t* data, size_t size, std::vector<TslPacket>& out) {
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        ++stats_.bytes;
        if (mode_ == TSL_STREAM_AUTO)
            mode_ = b == TSL_DLE ? TSL_STREAM_DLE : b >= 0x80 && b != 0xFF ? TSL_STREAM_31 : TSL_STREAM_PLAIN50;
        switch (mode_) {
        case TSL_STREAM_DLE: FeedDle(b, out); break;
        case TSL_STREAM_31: Feed31(b, out); break;
        default: FeedPlain(b, out); break;
        }
    }
}

void TslStreamDecoder::Finish(std::vector<TslPacket>& out) {
    if (mode_ == TSL_STREAM_DLE) {
        if (inPacket_ && !skipping_ && (!buffer_.empty() || afterDle_))
            Malformed(Format("cut off by the end of the stream after %ld bytes", static_cast<long>(buffer_.size())),
                      out);
        if (afterDle_ && (!inPacket_ || skipping_)) ++stats_.strayBytes;
        inPacket_ = skipping_ = afterDle_ = false;
        buffer_.clear();
        return;
    }
    if (!buffer_.empty() || strayRun_) {
        const size_t n = buffer_.size() + strayRun_;
        buffer_.clear();
        strayRun_ = 0;
        Malformed(Format("%ld bytes at the end form no whole packet", static_cast<long>(n)), out);
    }
}

std::string TslDescribe(const TslPacket& p) {
    std::string s;
    const char* version = p.version == TSL_V31 ? "3.1" : "5.0";
    if (!p.problem.empty()) {
        s = std::string("malformed ") + version + (p.dleFramed ? " DLE/STX" : "") +
            Format(" (%ld bytes): ", static_cast<long>(p.size)) + p.problem;
        if (!p.messages.empty()) s += Format(" (%ld messages before it)", static_cast<long>(p.messages.size()));
        return s;
    }
    if (p.version == TSL_V31) {
        const TslMessage& m = p.messages[0];
        s = Format("3.1 address %ld tally ", m.index);
        for (int i = 0; i < 4; ++i) s += (m.tally31 >> i) & 1 ? static_cast<char>('1' + i) : '-';
        s += Format(" bright %ld \"", m.brightness) + m.text + "\"";
        if (p.control31 & 0x80) s += " [control bit 7 set]";
        if (p.control31 & 0x40) s += " [control bit 6 set]";
        if (m.textOutOfRange) s += " [text out of range]";
        return s;
    }
    s = std::string("5.0") + (p.dleFramed ? " DLE/STX" : "") + Format(" screen %ld", p.screen);
    if (p.flags & 1) s += " UTF-16LE";
    if (p.pbcMismatch) s += " [PBC mismatch]";
    if (p.flags & 2) return s + " screen control data";
    if (p.messages.empty()) return s + " no messages";
    for (size_t i = 0; i < p.messages.size(); ++i) {
        const TslMessage& m = p.messages[i];
        s += i ? "; index " : " index ";
        s += m.index == TSL50_BROADCAST ? std::string("broadcast") : Format("%ld", m.index);
        s += std::string(" LH ") + TslColourName(m.lh) + " TXT " + TslColourName(m.txt) + " RH " + TslColourName(m.rh);
        s += Format(" bright %ld", m.brightness);
        if (m.controlData) {
            s += " control data";
        } else {
            s += " \"" + m.text + "\"";
        }
        if (m.textOutOfRange) s += " [text out of range]";
    }
    return s;
}
