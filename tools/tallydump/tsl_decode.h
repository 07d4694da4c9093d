// tallydump --tsl-decode FILE: the TSL UMD packets in a capture, one line each.
#pragma once
#include <ostream>
#include <string>

// A pcap of UDP (each datagram decoded on its own, stamped with its time and
// addresses) or raw bytes (a 3.1, plain 5.0 or DLE/STX stream, told apart by
// the first byte). Malformed packets are described on their line; a summary
// goes to err. Returns 0 when the file was read, 2 when it cannot be.
int TslDecodeFile(const std::string& path, std::ostream& out, std::ostream& err);
