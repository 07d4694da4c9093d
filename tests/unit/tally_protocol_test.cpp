// Tally protocol catalogue: payload lengths, type names and the test block.
#include <gtest/gtest.h>

#include <string>

#include "tally/protocol.h"

namespace {

TEST(TallyProtocol, PayloadLengthFollowsTheCategoryOfEveryTypeByte) {
    for (int t = 0; t <= 0xFF; ++t) {
        int expected;
        if (t >= 0x80 && t <= 0x8F) expected = 23;
        else if (t >= 0x90 && t <= 0x9F) expected = 21;
        else if (t >= 0xA0 && t <= 0xAF) expected = 3;
        else if (t >= 0xB0 && t <= 0xBF) expected = 10;
        else if (t >= 0xC0 && t <= 0xCF) expected = 19;
        else if (t >= 0xD0 && t <= 0xDF) expected = 0;
        else expected = -1;
        EXPECT_EQ(expected, payloadLength(static_cast<uint8_t>(t))) << std::hex << t;
    }
    EXPECT_EQ(MAX_PAYLOAD, ME_PAYLOAD);
}

TEST(TallyProtocol, OnlyHighBytesCanStartAMessage) {
    EXPECT_FALSE(IsHighByte(0x00));
    EXPECT_FALSE(IsHighByte(0x80));
    EXPECT_TRUE(IsHighByte(0x81));
    EXPECT_TRUE(IsHighByte(0xFF));
}

TEST(TallyProtocol, StoredTypesHaveOperatorNamesAndOthersNone) {
    EXPECT_STREQ("ME 1", MessageTypeName(0x81));
    EXPECT_STREQ("ME 4", MessageTypeName(0x84));
    EXPECT_STREQ("EXT 1", MessageTypeName(0x91));
    EXPECT_STREQ("EXT 8", MessageTypeName(0x98));
    EXPECT_STREQ("SS", MessageTypeName(0xA1));
    EXPECT_STREQ("OUT 1", MessageTypeName(0xB1));
    EXPECT_STREQ("OUT 6", MessageTypeName(0xB6));
    EXPECT_STREQ("NAME", MessageTypeName(MSG_SOURCE_NAME));
    EXPECT_STREQ("ALIAS", MessageTypeName(MSG_SOURCE_ALIAS));
    EXPECT_STREQ("RESET", MessageTypeName(MSG_RESET_COUNTERS));
    for (int t : {0x00, 0x80, 0x85, 0x90, 0x99, 0xA0, 0xA2, 0xB0, 0xB7, 0xC0, 0xC3, 0xD0, 0xD2, 0xE0, 0xFF})
        EXPECT_EQ(nullptr, MessageTypeName(static_cast<uint8_t>(t))) << std::hex << t;
}

TEST(TallyProtocol, TestBlockIs0x80ThenNineZeros) {
    ASSERT_EQ(10u, TEST_BLOCK_SIZE);
    EXPECT_EQ(0x80, testBlock[0]);
    for (size_t i = 1; i < TEST_BLOCK_SIZE; ++i) EXPECT_EQ(0, testBlock[i]) << i;
    EXPECT_FALSE(IsHighByte(testBlock[0]));  // never mistaken for a message
}

}  // namespace
