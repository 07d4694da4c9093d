// Row and counter texts of the five displays, from a store in its initial
// contents and from records carrying the edge values an operator may meet.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "displays/rows.h"
#include "resources/resource.h"
#include "tally/store.h"

namespace {

// The column values of a row of blank-separated numbers.
std::vector<int> Columns(const char* row) {
    std::vector<int> values;
    const char* p = row;
    while (*p) {
        while (*p == ' ') ++p;
        if (!*p) break;
        values.push_back(std::atoi(p));
        while (*p && *p != ' ') ++p;
    }
    return values;
}

// Right-aligns text in a field of width characters.
std::string Field(const std::string& text, size_t width) {
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

class DisplayRows : public ::testing::Test {
protected:
    void SetUp() override {
        store.reset(new TallyStore());
        TallyStoreInit(*store);
    }
    TallyCounterValues Counters() {
        TallyCounterValues c;
        TallyReadCounters(*store, c);
        return c;
    }
    MeDisplayText Me(int record) {
        MeTally t;
        TallyReadMe(*store, record, t);
        MeDisplayText text;
        MeDisplayFormat(t, Counters(), text);
        return text;
    }
    ExtDisplayText Ext(int record) {
        ExtTally t;
        TallyReadExt(*store, record, t);
        ExtDisplayText text;
        ExtDisplayFormat(t, Counters(), text);
        return text;
    }
    SsDisplayText Ss() {
        StillStoreTally t;
        TallyReadSs(*store, t);
        SsDisplayText text;
        SsDisplayFormat(t, Counters(), text);
        return text;
    }
    std::unique_ptr<OutDisplayText> Out() {
        OutputTally t[OUT_RECORDS];
        for (int r = 0; r < OUT_RECORDS; ++r) TallyReadOut(*store, r, t[r]);
        std::unique_ptr<OutDisplayText> text(new OutDisplayText);
        OutDisplayFormat(t, Counters(), *text);
        return text;
    }
    std::unique_ptr<TallyStore> store;
};

TEST(DisplayRowRules, BitRowsPrintMostSignificantFlagFirstInTheirWidths) {
    DisplayRow row;
    DisplayBitRowWide(0xA5, row);
    EXPECT_EQ(Columns(row), (std::vector<int>{1, 0, 1, 0, 0, 1, 0, 1}));
    EXPECT_EQ(std::string(row), Field("1", 5) + Field("0", 10) + Field("1", 10) + Field("0", 10) +
                                    Field("0", 10) + Field("1", 10) + Field("0", 10) + Field("1", 10));
    DisplayBitRowKeyer(0x55, row);
    EXPECT_EQ(std::strlen(row), 78u);
    EXPECT_EQ(std::string(row, 8), Field("0", 8));
    EXPECT_EQ(Columns(row), (std::vector<int>{0, 1, 0, 1, 0, 1, 0, 1}));
    DisplayBitRowNibble(0xF0, row);  // the high nibble is never shown
    EXPECT_EQ(std::string(row), Field("0", 5) + Field("0", 10) + Field("0", 10) + Field("0", 10));
    DisplayBitRowNibble(0x0C, row);
    EXPECT_EQ(Columns(row), (std::vector<int>{1, 1, 0, 0}));
}

TEST(DisplayRowRules, BytesAndCountersAreNeverNegative) {
    DisplayRow row;
    DisplayByteRow(255, row);
    EXPECT_STREQ(row, "  255");
    DisplayByteRow(0, row);
    EXPECT_STREQ(row, "    0");
    DisplayCounter counter;
    DisplayCounterText(0x80000000u, counter);
    EXPECT_STREQ(counter, "2147483648");
    DisplayCounterText(0xFFFFFFFFu, counter);
    EXPECT_STREQ(counter, "4294967295");
    DisplayCounterText(0, counter);
    EXPECT_STREQ(counter, "0");
}

TEST(DisplayRowRules, SelectorsMapToTheRecordOfTheirCaption) {
    const int me[] = {IDC_ME1, IDC_ME2, IDC_ME3, IDC_ME4};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(MeRecordOfSelector(me[i]), i);
    const int ext[] = {IDC_EXT1, IDC_EXT2, IDC_EXT3, IDC_EXT4, IDC_EXT5, IDC_EXT6, IDC_EXT7, IDC_EXT8};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(ExtRecordOfSelector(ext[i]), i);
    EXPECT_EQ(MeRecordOfSelector(IDC_EXT1), -1);
    EXPECT_EQ(MeRecordOfSelector(0), -1);
    EXPECT_EQ(ExtRecordOfSelector(IDC_ME2), -1);
    EXPECT_EQ(ExtRecordOfSelector(1028), -1);
}

TEST_F(DisplayRows, MeInitialContents) {
    MeDisplayText me1 = Me(0);
    for (int i = 0; i < ME_SOURCE_ROWS; ++i) EXPECT_EQ(std::string(me1.sources[i]), Field(std::to_string(i + 1), 5));
    EXPECT_EQ(Columns(me1.keyer), (std::vector<int>{0, 1, 0, 1, 0, 1, 0, 1}));
    EXPECT_EQ(std::string(me1.keyer, 8), Field("0", 8));
    // "PGM A" is data byte 3 = 0xAA; the last row ("PVW 2") data byte 21 = 0xAA.
    EXPECT_EQ(Columns(me1.contribution[0]), (std::vector<int>{1, 0, 1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(std::string(me1.contribution[0], 5), Field("1", 5));
    EXPECT_EQ(Columns(me1.contribution[3]), (std::vector<int>{1, 0, 1, 0, 0, 1, 0, 1}));  // 0xA5
    EXPECT_EQ(Columns(me1.contribution[9]), (std::vector<int>{1, 0, 1, 0, 1, 0, 1, 0}));
    for (int i = 0; i < ME_COUNTER_FIELDS; ++i) EXPECT_STREQ(me1.counters[i], "0");
    for (int r = 1; r < ME_RECORDS; ++r) {
        MeDisplayText me = Me(r);
        for (int i = 0; i < ME_SOURCE_ROWS; ++i) EXPECT_STREQ(me.sources[i], "    0") << r;
        for (int j = 0; j < ME_CONTRIBUTION_ROWS; ++j)
            EXPECT_EQ(Columns(me.contribution[j]), std::vector<int>(8, 0)) << r;
        EXPECT_EQ(Columns(me.keyer), std::vector<int>(8, 0)) << r;
    }
}

TEST_F(DisplayRows, MeShowsItsRecordAndEveryCounter) {
    uint8_t payload[ME_PAYLOAD] = {};
    payload[0] = 255;   // Key1 FILL
    payload[22] = 200;  // UTIL 2
    payload[1] = 0x80;  // Key4 CUT in use
    payload[21] = 0x01; // PVW 2: BusA
    TallyStoreMe(*store, 2, payload);
    store->counters.strayByteCount.store(0x80000001u);
    store->counters.payloadErrorCount.store(7);
    MeDisplayText me = Me(2);
    EXPECT_STREQ(me.sources[0], "  255");
    EXPECT_STREQ(me.sources[11], "  200");
    EXPECT_EQ(Columns(me.keyer), (std::vector<int>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Columns(me.contribution[9]), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1}));
    const char* expected[ME_COUNTER_FIELDS] = {"0", "0", "1", "0", "2147483649", "0", "0", "0", "7"};
    for (int i = 0; i < ME_COUNTER_FIELDS; ++i) EXPECT_STREQ(me.counters[i], expected[i]) << i;
}

TEST_F(DisplayRows, ExtInitialContentsAndEdgeBytes) {
    ExtDisplayText ext1 = Ext(0);
    for (int i = 0; i < EXT_SOURCE_ROWS; ++i) EXPECT_EQ(std::string(ext1.sources[i]), Field(std::to_string(i + 1), 5));
    const std::vector<std::vector<int>> contribution = {
        {0, 1, 0, 1, 0, 1, 0, 1}, {1, 0, 1, 0, 1, 0, 1, 0}, {0, 1, 0, 1, 1, 0, 1, 0},
        {1, 0, 1, 0, 0, 1, 0, 1}, {1, 1, 1, 1, 0, 0, 0, 0}, {0, 0, 0, 0, 1, 1, 1, 1}};
    for (int i = 0; i < EXT_CONTRIBUTION_ROWS; ++i) EXPECT_EQ(Columns(ext1.contribution[i]), contribution[i]) << i;
    EXPECT_EQ(Columns(ext1.inputMode), (std::vector<int>{1, 1, 0, 0}));
    // EXT 3 .. EXT 8 hold only data byte 0 = 1..6: a contribution pattern in row 1, zero elsewhere.
    ExtDisplayText ext3 = Ext(2);
    EXPECT_EQ(Columns(ext3.contribution[0]), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1}));
    for (int i = 1; i < EXT_CONTRIBUTION_ROWS; ++i) EXPECT_EQ(Columns(ext3.contribution[i]), std::vector<int>(8, 0));
    for (int i = 0; i < EXT_SOURCE_ROWS; ++i) EXPECT_STREQ(ext3.sources[i], "    0");
    EXPECT_EQ(Columns(Ext(7).contribution[0]), (std::vector<int>{0, 0, 0, 0, 0, 1, 1, 0}));

    uint8_t payload[EXT_PAYLOAD] = {};
    payload[12] = 0xF0;  // input mode: high nibble only
    payload[20] = 255;   // Input 4B
    payload[1] = 128;
    TallyStoreExt(*store, 4, payload);
    store->counters.extCount[7].store(0xFFFFFFFEu);
    ExtDisplayText ext5 = Ext(4);
    EXPECT_EQ(Columns(ext5.inputMode), std::vector<int>(4, 0));
    EXPECT_STREQ(ext5.sources[13], "  255");
    EXPECT_STREQ(ext5.sources[0], "  128");
    // Every count is shown whichever record is selected.
    const char* expected[EXT_RECORDS] = {"0", "0", "0", "0", "1", "0", "0", "4294967294"};
    ExtDisplayText shown = Ext(0);
    for (int i = 0; i < EXT_RECORDS; ++i) EXPECT_STREQ(shown.counters[i], expected[i]) << i;
}

TEST_F(DisplayRows, StillStoreRows) {
    SsDisplayText ss = Ss();
    EXPECT_STREQ(ss.sources[0], "   18");
    EXPECT_STREQ(ss.sources[1], "   37");
    EXPECT_EQ(Columns(ss.mode), (std::vector<int>{1, 0, 1, 1, 0, 1, 0}));
    EXPECT_EQ(std::strlen(ss.mode), 75u);
    EXPECT_EQ(std::string(ss.mode, 3), "  1");
    EXPECT_STREQ(ss.count, "0");

    const uint8_t allOff[SS_PAYLOAD] = {255, 0, 0x80};
    TallyStoreSs(*store, allOff);
    ss = Ss();
    EXPECT_STREQ(ss.sources[0], "  255");
    EXPECT_STREQ(ss.sources[1], "    0");
    EXPECT_EQ(Columns(ss.mode), std::vector<int>(7, 0));
    EXPECT_STREQ(ss.count, "1");

    const uint8_t allOn[SS_PAYLOAD] = {1, 2, 0x7F};
    TallyStoreSs(*store, allOn);
    store->counters.ssCount.store(3000000000u);
    ss = Ss();
    EXPECT_EQ(Columns(ss.mode), std::vector<int>(7, 1));
    EXPECT_EQ(std::strlen(ss.mode), 75u);
    EXPECT_STREQ(ss.count, "3000000000");
}

TEST_F(DisplayRows, OutputInitialContents) {
    auto out = Out();
    for (int row = 0; row < OUT_GROUP_ROWS; ++row) {
        EXPECT_EQ(std::string(out->source[0][row]), Field(std::to_string(row + 1), 8)) << row;
        const bool keyed = row == 1 || row == 11;
        EXPECT_STREQ(out->mode[0][row], keyed ? "      K" : "V") << row;
        const bool onAir = row == 0 || row == 5 || row == 8 || row == 9 || row == 14;
        EXPECT_STREQ(out->onAir[0][row], onAir ? "  1" : " ") << row;
    }
    // Outputs 47 and 48 are the last two rows of group 3.
    EXPECT_EQ(std::string(out->source[2][14]), Field("0", 8));
    EXPECT_EQ(std::string(out->source[2][15]), Field("0", 8));
    EXPECT_EQ(std::string(out->source[2][13]), Field("46", 8));
    EXPECT_EQ(std::string(out->source[1][0]), Field("17", 8));
    for (int r = 0; r < OUT_RECORDS; ++r) EXPECT_STREQ(out->counters[r], "0");
}

TEST_F(DisplayRows, OutputModeOnAirAndSourceEdges) {
    // Record 3 (type 0xB4) is rows 9-16 of group 2.
    uint8_t payload[OUT_PAYLOAD] = {200, 0xF0, 255, 0xFF, 0, 0, 0, 0, 0, 0};
    TallyStoreOut(*store, 3, payload);
    auto out = Out();
    for (int p = 0; p < 8; ++p) {
        EXPECT_STREQ(out->mode[1][8 + p], "V") << p;  // 0xF0: only bits 4-7, never shown
        EXPECT_STREQ(out->onAir[1][8 + p], "  1") << p;
    }
    EXPECT_STREQ(out->source[1][8], "     200");
    EXPECT_STREQ(out->source[1][9], "     255");
    const char* counts[OUT_RECORDS] = {"0", "0", "0", "1", "0", "0"};
    for (int r = 0; r < OUT_RECORDS; ++r) EXPECT_STREQ(out->counters[r], counts[r]) << r;
    // The other records are still drawn unchanged.
    EXPECT_EQ(std::string(out->source[0][0]), Field("1", 8));

    // All mode bits set: even positions K, odd positions always V; on-air 0x00 all blank.
    uint8_t keyed[OUT_PAYLOAD] = {1, 0x0F, 2, 0x00, 3, 4, 5, 6, 7, 8};
    TallyStoreOut(*store, 0, keyed);
    out = Out();
    for (int p = 0; p < 8; ++p) {
        EXPECT_STREQ(out->mode[0][p], p % 2 ? "      K" : "V") << p;
        EXPECT_STREQ(out->onAir[0][p], " ") << p;
    }
}

TEST(DisplayNameRows, BlankFullAndUnterminatedEntries) {
    SourceNameValues entry = {};
    DisplayRow row;
    NameDisplayRow(1, entry, row);
    EXPECT_EQ(std::string(row), Field("1", 8) + std::string(60, ' '));
    NameDisplayRow(128, entry, row);
    EXPECT_EQ(std::string(row), Field("128", 8) + std::string(60, ' '));

    std::memcpy(entry.name, "ABCDEFGHIJKL", 12);
    std::memcpy(entry.nickname, "NICK12", 6);
    std::memcpy(entry.alias, "Camera 7", 8);
    NameDisplayRow(7, entry, row);
    EXPECT_EQ(std::string(row), Field("7", 8) + Field("ABCDEFGHIJKL", 20) + Field("NICK12", 20) + Field("Camera 7", 20));

    // Fields that lost their terminators still show only their own characters.
    std::memset(&entry, 'X', sizeof entry);
    NameDisplayRow(9, entry, row);
    EXPECT_EQ(std::string(row), Field("9", 8) + Field(std::string(12, 'X'), 20) + Field(std::string(6, 'X'), 20) +
                                    Field(std::string(12, 'X'), 20));
}

}  // namespace
