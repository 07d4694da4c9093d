// Tally wire protocol: payload lengths by category and the names of stored types.
#include "tally/protocol.h"

int payloadLength(uint8_t type) {
    switch (type & 0xF0) {
    case CATEGORY_ME: return ME_PAYLOAD;
    case CATEGORY_EXT: return EXT_PAYLOAD;
    case CATEGORY_SS: return SS_PAYLOAD;
    case CATEGORY_OUT: return OUT_PAYLOAD;
    case CATEGORY_NAMES: return NAME_PAYLOAD;
    case CATEGORY_CONTROL: return 0;
    default: return -1;  // 0xE0-0xFF are not defined; low bytes are not types
    }
}

const char* MessageTypeName(uint8_t type) {
    static const char* const meNames[ME_RECORDS] = {"ME 1", "ME 2", "ME 3", "ME 4"};
    static const char* const extNames[EXT_RECORDS] = {"EXT 1", "EXT 2", "EXT 3", "EXT 4",
                                                      "EXT 5", "EXT 6", "EXT 7", "EXT 8"};
    static const char* const outNames[OUT_RECORDS] = {"OUT 1", "OUT 2", "OUT 3",
                                                      "OUT 4", "OUT 5", "OUT 6"};
    if (type >= 0x81 && type < 0x81 + ME_RECORDS) return meNames[type - 0x81];
    if (type >= 0x91 && type < 0x91 + EXT_RECORDS) return extNames[type - 0x91];
    if (type == 0xA1) return "SS";
    if (type >= 0xB1 && type < 0xB1 + OUT_RECORDS) return outNames[type - 0xB1];
    if (type == MSG_SOURCE_NAME) return "NAME";
    if (type == MSG_SOURCE_ALIAS) return "ALIAS";
    if (type == MSG_RESET_COUNTERS) return "RESET";
    return nullptr;
}

const uint8_t testBlock[TEST_BLOCK_SIZE] = {0x80, 0x00, 0x00, 0x00, 0x00,
                                            0x00, 0x00, 0x00, 0x00, 0x00};
