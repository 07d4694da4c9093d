// UDP payloads out of pcap captures; see tsl_capture.h.
#include "tsl/tsl_capture.h"

#include <cstdio>

namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t Read32(const uint8_t* p, bool swap) {
    const uint32_t le = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    const uint32_t be = (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
    return swap ? be : le;
}

std::string Ipv4(const uint8_t* a, uint16_t port) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], port);
    return buf;
}

std::string Ipv6(const uint8_t* a, uint16_t port) {
    std::string s = "[";
    char buf[8];
    for (int i = 0; i < 16; i += 2) {
        std::snprintf(buf, sizeof buf, "%s%x", i ? ":" : "", Be16(a + i));
        s += buf;
    }
    std::snprintf(buf, sizeof buf, "]:%u", port);
    return s + buf;
}

// The UDP datagram in an IP packet; false when there is none to take.
bool FromIp(const uint8_t* p, size_t n, TslDatagram& d) {
    if (n < 1) return false;
    const int version = p[0] >> 4;
    const uint8_t *udp = nullptr, *src = nullptr, *dst = nullptr;
    size_t left = 0;
    if (version == 4) {
        const size_t ihl = static_cast<size_t>(p[0] & 0x0F) * 4;
        if (n < 20 || ihl < 20 || ihl > n || p[9] != 17) return false;
        if ((Be16(p + 6) & 0x3FFF) != 0) return false;  // a fragment
        size_t total = Be16(p + 2);
        if (total > n || total < ihl) total = n;
        udp = p + ihl;
        left = total - ihl;
        src = p + 12;
        dst = p + 16;
    } else if (version == 6) {
        if (n < 40 || p[6] != 17) return false;
        udp = p + 40;
        left = n - 40;
        src = p + 8;
        dst = p + 24;
    } else {
        return false;
    }
    if (left < 8) return false;
    size_t length = Be16(udp + 4);
    if (length < 8 || length > left) length = left;
    const uint16_t sport = Be16(udp), dport = Be16(udp + 2);
    d.from = version == 4 ? Ipv4(src, sport) : Ipv6(src, sport);
    d.to = version == 4 ? Ipv4(dst, dport) : Ipv6(dst, dport);
    d.payload.assign(udp + 8, udp + length);
    return true;
}

bool FromLink(uint32_t link, const uint8_t* p, size_t n, TslDatagram& d) {
    switch (link) {
    case 1: {  // Ethernet, possibly tagged
        size_t off = 12;
        while (off + 2 <= n && (Be16(p + off) == 0x8100 || Be16(p + off) == 0x88A8)) off += 4;
        if (off + 2 > n) return false;
        const uint16_t type = Be16(p + off);
        if (type != 0x0800 && type != 0x86DD) return false;
        return FromIp(p + off + 2, n - off - 2, d);
    }
    case 0:
    case 108:  // BSD loopback: a 4-byte family, then IP
        return n > 4 && FromIp(p + 4, n - 4, d);
    case 101:
    case 12:
    case 14:
        return FromIp(p, n, d);
    case 113:  // Linux cooked: protocol at 14
        return n > 16 && (Be16(p + 14) == 0x0800 || Be16(p + 14) == 0x86DD) && FromIp(p + 16, n - 16, d);
    case 276:  // Linux cooked v2: protocol at 0
        return n > 20 && (Be16(p) == 0x0800 || Be16(p) == 0x86DD) && FromIp(p + 20, n - 20, d);
    default:
        return false;
    }
}

}  // namespace

bool TslIsPcap(const uint8_t* data, size_t size) {
    if (size < 4) return false;
    const uint32_t m = Read32(data, false);
    return m == 0xA1B2C3D4 || m == 0xD4C3B2A1 || m == 0xA1B23C4D || m == 0x4D3CB2A1;
}

bool TslReadPcapUdp(const uint8_t* data, size_t size, TslCaptureResult& result) {
    result = TslCaptureResult();
    if (size < 24 || !TslIsPcap(data, size)) {
        result.problem = "not a pcap file (no 24-byte header with its magic)";
        return false;
    }
    const uint32_t magic = Read32(data, false);
    const bool swap = magic == 0xD4C3B2A1 || magic == 0x4D3CB2A1;
    const bool nanos = magic == 0xA1B23C4D || magic == 0x4D3CB2A1;
    const uint32_t link = Read32(data + 20, swap) & 0x0FFFFFFF;
    size_t pos = 24;
    while (pos < size) {
        if (size - pos < 16) {
            result.problem = "the last record header is cut off";
            break;
        }
        const uint32_t sec = Read32(data + pos, swap), frac = Read32(data + pos + 4, swap);
        const size_t caplen = Read32(data + pos + 8, swap);
        pos += 16;
        if (caplen > size - pos) {
            result.problem = "the last record is cut off";
            break;
        }
        ++result.records;
        TslDatagram d;
        d.timeUs = static_cast<int64_t>(sec) * 1000000 + (nanos ? frac / 1000 : frac);
        if (FromLink(link, data + pos, caplen, d)) {
            result.datagrams.push_back(std::move(d));
        } else {
            ++result.skipped;
        }
        pos += caplen;
    }
    return true;
}
