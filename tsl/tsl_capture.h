// UDP payloads out of a pcap capture, for decoding the TSL packets a hub or
// multiviewer was sent. Portable, bounds-checked: a truncated or odd capture
// yields what it can and says what it skipped.
//
// Read: classic pcap in either byte order, microsecond or nanosecond stamps;
// link types Ethernet (1, with 802.1Q tags), BSD loopback (0, 108), raw IP
// (101, 12, 14), Linux cooked (113) and cooked v2 (276); IPv4 (unfragmented)
// and IPv6 (UDP directly after the fixed header).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TslDatagram {
    int64_t timeUs = 0;          // capture time stamp, microseconds since 1970
    std::string from, to;        // "ADDR:PORT"
    std::vector<uint8_t> payload;
};

struct TslCaptureResult {
    std::vector<TslDatagram> datagrams;
    size_t records = 0;          // packets in the capture
    size_t skipped = 0;          // not UDP, fragments, or unreadable
    std::string problem;         // a damaged header or a cut-off record, if any
};

// True when bytes start with a pcap file header's magic (either byte order).
bool TslIsPcap(const uint8_t* data, size_t size);
// False (with result.problem) when the file header itself is unusable.
bool TslReadPcapUdp(const uint8_t* data, size_t size, TslCaptureResult& result);
