// Tally wire protocol: byte classes, message catalogue, payload lengths and the
// one block this program transmits. Portable: no platform headers.
#pragma once
#include <cstddef>
#include <cstdint>

// Bytes 0x00-0x80 are low, 0x81-0xFF high; a doubled high byte starts a message.
constexpr bool IsHighByte(uint8_t b) { return b > 0x80; }

// Category of a type byte (its high nibble).
constexpr uint8_t CATEGORY_ME = 0x80;
constexpr uint8_t CATEGORY_EXT = 0x90;
constexpr uint8_t CATEGORY_SS = 0xA0;
constexpr uint8_t CATEGORY_OUT = 0xB0;
constexpr uint8_t CATEGORY_NAMES = 0xC0;
constexpr uint8_t CATEGORY_CONTROL = 0xD0;

constexpr uint8_t MSG_SOURCE_NAME = 0xC1;
constexpr uint8_t MSG_SOURCE_ALIAS = 0xC2;
constexpr uint8_t MSG_RESET_COUNTERS = 0xD1;

constexpr int ME_PAYLOAD = 23;
constexpr int EXT_PAYLOAD = 21;
constexpr int SS_PAYLOAD = 3;
constexpr int OUT_PAYLOAD = 10;
constexpr int NAME_PAYLOAD = 19;
constexpr int MAX_PAYLOAD = ME_PAYLOAD;

constexpr int ME_RECORDS = 4;    // 0x81..0x84
constexpr int EXT_RECORDS = 8;   // 0x91..0x98
constexpr int OUT_RECORDS = 6;   // 0xB1..0xB6
constexpr int SOURCE_COUNT = 128; // source numbers 1..128
constexpr int NAME_LENGTH = 12;
constexpr int NICKNAME_LENGTH = 6;

// Payload length of a type byte by its category: 23, 21, 3, 10, 19, 0 for the
// control category, and -1 where none is defined (0xE0-0xFF, and low bytes).
int payloadLength(uint8_t type);

// Operator-facing name of a type that is stored ("ME 2", "EXT 8", "SS",
// "OUT 4", "NAME", "ALIAS", "RESET"); nullptr for types that are ignored or unknown.
const char* MessageTypeName(uint8_t type);

// The fixed block sent by "Block 1": 0x80 then nine 0x00.
constexpr size_t TEST_BLOCK_SIZE = 10;
extern const uint8_t testBlock[TEST_BLOCK_SIZE];
