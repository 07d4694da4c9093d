// The On Air derivation: which element each source byte and contribution bit
// stands for, levels and their precedence, reasons, outputs on air, tiles, the
// change test and the tile grid.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "onair/onair.h"

namespace {

struct Records {
    MeTally me[ME_RECORDS] = {};
    OutputTally out[OUT_RECORDS] = {};
};

// Source of input i (0..11) goes to data byte 2i; row j to data byte 3 + 2j.
void SetInput(MeTally& me, int input, uint8_t source) { me.data[2 * input] = source; }
void SetRow(MeTally& me, int row, uint8_t bits) { me.data[3 + 2 * row] = bits; }

OnAirTally Derive(const Records& r) {
    static OnAirTally tally;  // large: keep it off the stack
    OnAirDerive(r.me, r.out, tally);
    return tally;
}

const std::vector<int> NONE;

}  // namespace

TEST(OnAirDerive, EachContributionBitLightsExactlyItsElementsSources) {
    // Bits 7..0: Key4, Key3, Key2, Key1, Util2, Util1, BusB, BusA; a keyer has fill and cut.
    const std::vector<std::vector<int>> sourcesOfBit = {
        {109},       // BusA: byte 16
        {110},       // BusB: byte 18
        {111},       // Util1: byte 20
        {112},       // Util2: byte 22
        {101, 102},  // Key1 FILL 0, CUT 2
        {103, 104},  // Key2 FILL 4, CUT 6
        {105, 106},  // Key3 FILL 8, CUT 10
        {107, 108},  // Key4 FILL 12, CUT 14
    };
    for (int bit = 0; bit < 8; ++bit) {
        SCOPED_TRACE(bit);
        Records r;
        for (int i = 0; i < ONAIR_INPUTS; ++i) SetInput(r.me[0], i, static_cast<uint8_t>(101 + i));
        r.me[0].data[1] = 0xFF;  // keyer in use plays no part
        SetRow(r.me[0], 0, static_cast<uint8_t>(1u << bit));
        const OnAirTally t = Derive(r);
        EXPECT_EQ(OnAirSourcesAt(t, 0, ONAIR_PROGRAM), sourcesOfBit[bit]);
        EXPECT_EQ(OnAirSourcesAt(t, 0, ONAIR_LOOKAHEAD), NONE);
        EXPECT_EQ(OnAirSourcesAt(t, 0, ONAIR_PREVIEW), NONE);
    }
}

TEST(OnAirDerive, KeyerFillAndCutBothLightAndTheReasonNamesEach) {
    Records r;
    SetInput(r.me[1], 2, 7);   // Key2 FILL
    SetInput(r.me[1], 3, 8);   // Key2 CUT
    SetInput(r.me[1], 8, 9);   // BusA, not contributing
    SetRow(r.me[1], 1, 0x20);  // PGM B: Key2
    SetRow(r.me[1], 9, 0x20);  // PVW 2: Key2
    const OnAirTally t = Derive(r);
    EXPECT_EQ(OnAirSourcesAt(t, 1, ONAIR_PROGRAM), (std::vector<int>{7, 8}));
    EXPECT_EQ(OnAirSourcesAt(t, 1, ONAIR_PREVIEW), (std::vector<int>{7, 8}));
    EXPECT_EQ(OnAirLevelOf(t, 1, 7), ONAIR_PROGRAM);
    EXPECT_EQ(OnAirLevelOf(t, 1, 9), ONAIR_OFF);
    EXPECT_EQ(OnAirLevelOf(t, 0, 7), ONAIR_OFF) << "ME 1 does not carry it";
    EXPECT_EQ(OnAirReason(t, ONAIR_ALL_ME, 7), "ME 2 PGM B via Key2 FILL; ME 2 PVW 2 via Key2 FILL");
    EXPECT_EQ(OnAirReason(t, ONAIR_ALL_ME, 8), "ME 2 PGM B via Key2 CUT; ME 2 PVW 2 via Key2 CUT");
    EXPECT_EQ(OnAirReason(t, ONAIR_ALL_ME, 9), "");
}

TEST(OnAirDerive, ASourceOnSeveralElementsAndMesTakesTheHighestLevel) {
    Records r;
    SetInput(r.me[0], 0, 5);   // Key1 FILL
    SetInput(r.me[0], 1, 5);   // Key1 CUT
    SetInput(r.me[0], 8, 5);   // BusA
    SetInput(r.me[0], 11, 5);  // Util2
    SetRow(r.me[0], 0, 0x11);  // PGM A: Key1 and BusA
    SetRow(r.me[0], 4, 0x08);  // LAP A: Util2
    SetInput(r.me[2], 9, 5);   // ME 3 BusB
    SetRow(r.me[2], 8, 0x02);  // ME 3 PVW A: BusB
    SetInput(r.me[3], 8, 6);
    SetRow(r.me[3], 5, 0x01);  // ME 4 LAP B: source 6
    SetRow(r.me[3], 8, 0x01);  // and PVW A: look-ahead wins
    const OnAirTally t = Derive(r);
    EXPECT_EQ(OnAirLevelOf(t, 0, 5), ONAIR_PROGRAM);
    EXPECT_EQ(OnAirLevelOf(t, 2, 5), ONAIR_PREVIEW);
    EXPECT_EQ(OnAirLevelOf(t, ONAIR_ALL_ME, 5), ONAIR_PROGRAM);
    EXPECT_EQ(OnAirLevelOf(t, 3, 6), ONAIR_LOOKAHEAD);
    EXPECT_EQ(OnAirSourcesAt(t, 0, ONAIR_PROGRAM), (std::vector<int>{5}));
    EXPECT_EQ(OnAirSourcesAt(t, 0, ONAIR_LOOKAHEAD), (std::vector<int>{5})) << "listed once per level";
    EXPECT_EQ(OnAirReason(t, ONAIR_ALL_ME, 5),
              "ME 1 PGM A via Key1 FILL, Key1 CUT, BusA; ME 1 LAP A via Util2; ME 3 PVW A via BusB");
    EXPECT_EQ(OnAirReason(t, 2, 5), "ME 3 PVW A via BusB") << "only the ME asked for";

    OnAirInputs* in = new OnAirInputs();
    std::strcpy(in->name[5], "CAMERA 5");
    std::strcpy(in->nickname[5], "CAM5");
    EXPECT_EQ(OnAirDescribe(t, *in, 2, 5), "Source 5 \"CAMERA 5\" (CAM5): ME 3 PVW A via BusB");
    EXPECT_EQ(OnAirDescribe(t, *in, 1, 5), "Source 5 \"CAMERA 5\" (CAM5): not tallied");
    delete in;
}

TEST(OnAirDerive, SourceZeroAnd255AreTakenAsSent) {
    Records r;
    SetInput(r.me[1], 8, 255);  // BusA
    SetInput(r.me[1], 9, 0);    // BusB
    SetInput(r.me[1], 4, 200);  // Key3 FILL, not contributing
    SetRow(r.me[1], 9, 0x03);   // PVW 2: BusA, BusB
    const OnAirTally t = Derive(r);
    EXPECT_EQ(OnAirSourcesAt(t, 1, ONAIR_PREVIEW), (std::vector<int>{0, 255}));
    EXPECT_EQ(OnAirLevelOf(t, ONAIR_ALL_ME, 255), ONAIR_PREVIEW);
    EXPECT_EQ(OnAirReason(t, 1, 0), "ME 2 PVW 2 via BusB");
    EXPECT_TRUE(t.appears[200]);
    EXPECT_FALSE(t.appears[201]);
}

TEST(OnAirDerive, AllBitsSetAndNone) {
    Records r;
    for (int i = 0; i < ONAIR_INPUTS; ++i) {
        SetInput(r.me[2], i, static_cast<uint8_t>(i + 1));
        SetInput(r.me[3], i, static_cast<uint8_t>(i + 1));
    }
    for (int j = 0; j < ONAIR_ROWS; ++j) SetRow(r.me[2], j, 0xFF);  // ME 4 stays all clear
    const OnAirTally t = Derive(r);
    const std::vector<int> twelve = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(OnAirSourcesAt(t, 2, ONAIR_PROGRAM), twelve);
    EXPECT_EQ(OnAirSourcesAt(t, 2, ONAIR_LOOKAHEAD), twelve);
    EXPECT_EQ(OnAirSourcesAt(t, 2, ONAIR_PREVIEW), twelve);
    for (OnAirLevel level : {ONAIR_PROGRAM, ONAIR_LOOKAHEAD, ONAIR_PREVIEW})
        EXPECT_EQ(OnAirSourcesAt(t, 3, level), NONE);
    EXPECT_EQ(OnAirLevelOf(t, 3, 1), ONAIR_OFF);
    EXPECT_EQ(OnAirReason(t, 2, 12),
              "ME 3 PGM A via Util2; ME 3 PGM B via Util2; ME 3 PGM C via Util2; ME 3 PGM D via Util2; "
              "ME 3 LAP A via Util2; ME 3 LAP B via Util2; ME 3 LAP C via Util2; ME 3 LAP D via Util2; "
              "ME 3 PVW A via Util2; ME 3 PVW 2 via Util2");
}

TEST(OnAirDerive, OutputsOnAirAreReadAsTheOutputDisplayReadsThem) {
    Records r;
    // Record 2 (outputs 17-24): every output on air, modes of positions 2, 4, 6, 8 from bits 0-3.
    const uint8_t all[OUT_PAYLOAD] = {71, 0x0A, 72, 0xFF, 73, 74, 75, 76, 77, 78};
    std::memcpy(r.out[2].data, all, OUT_PAYLOAD);
    // Record 5 (outputs 41-48): only position 8 on air; upper mode bits are not shown.
    const uint8_t last[OUT_PAYLOAD] = {1, 0xF0, 2, 0x80, 3, 4, 5, 6, 7, 255};
    std::memcpy(r.out[5].data, last, OUT_PAYLOAD);
    const OnAirTally t = Derive(r);
    ASSERT_EQ(t.onAirCount, 9);
    // data[1] = 0x0A sets bits 1 and 3: positions 4 and 8 are K.
    const uint8_t sources[8] = {71, 72, 73, 74, 75, 76, 77, 78};
    const char expectMode[8] = {'V', 'V', 'V', 'K', 'V', 'V', 'V', 'K'};
    for (int p = 0; p < 8; ++p) {
        SCOPED_TRACE(p);
        EXPECT_EQ(t.onAir[p].output, 17 + p);
        EXPECT_EQ(t.onAir[p].source, sources[p]);
        EXPECT_EQ(t.onAir[p].mode, expectMode[p]);
    }
    EXPECT_EQ(t.onAir[8].output, 48);
    EXPECT_EQ(t.onAir[8].source, 255);
    EXPECT_EQ(t.onAir[8].mode, 'V');
    EXPECT_EQ(OnAirOutputsOf(t, 74), "Output 20 K");
    OnAirInputs* in = new OnAirInputs();
    EXPECT_EQ(OnAirDescribe(t, *in, ONAIR_ALL_ME, 255), "Source 255: on air on Output 48 V");
    delete in;
    EXPECT_TRUE(t.appears[1]) << "a source on an output off air still appears";
}

TEST(OnAirDerive, TheStoresInitialOutputsOnAir) {
    TallyStore* store = new TallyStore;
    TallyStoreInit(*store);
    OnAirInputs* in = new OnAirInputs;
    OnAirReadStore(*store, *in);
    const OnAirTally t = [&] {
        OnAirTally x;
        OnAirDerive(in->me, in->out, x);
        return x;
    }();
    // On-air rows 1, 6, 9, 10, 15 of group 1 and the rest as the output display shows them.
    std::vector<int> outputs;
    for (int k = 0; k < t.onAirCount; ++k) outputs.push_back(t.onAir[k].output);
    EXPECT_EQ(outputs, (std::vector<int>{1, 6, 9, 10, 15, 17, 19, 22, 23, 25, 26, 27, 32, 33, 36, 38, 40,
                                         41, 42, 44, 47, 48}));
    // ME 1's initial record: source 12 on Util2 (bit 3), rows AA 55 AA A5 5A 5A A5 AA 55 AA.
    EXPECT_EQ(OnAirReason(t, 0, 12), "ME 1 PGM A via Util2; ME 1 PGM C via Util2; ME 1 LAP A via Util2; "
                                     "ME 1 LAP B via Util2; ME 1 LAP D via Util2; ME 1 PVW 2 via Util2");
    delete in;
    delete store;
}

TEST(OnAirInputs, ComparedWithoutChangedFlagsAndReadWithoutConsumingFlags) {
    TallyStore* store = new TallyStore;
    TallyStoreInit(*store);
    OnAirInputs* a = new OnAirInputs;
    OnAirInputs* b = new OnAirInputs;
    OnAirReadStore(*store, *a);
    store->sourceNames[3].changed = 1;  // the names display's business only
    OnAirReadStore(*store, *b);
    EXPECT_TRUE(OnAirInputsEqual(*a, *b));

    uint8_t name[NAME_PAYLOAD] = {3, 'C', 'A', 'M', ' ', '3', 0, 0, 0, 0, 0, 0, 0, 'C', '3'};
    TallyStoreName(*store, MSG_SOURCE_NAME, name);
    store->namesDirty = 0;
    uint8_t me[ME_PAYLOAD] = {};
    me[16] = 3;
    me[3] = 0x01;
    TallyStoreMe(*store, 0, me);
    OnAirReadStore(*store, *b);
    EXPECT_FALSE(OnAirInputsEqual(*a, *b));
    EXPECT_STREQ(b->name[3], "CAM 3");
    EXPECT_STREQ(b->nickname[3], "C3");
    EXPECT_EQ(store->meDirty.load(), 1) << "the ME display's flag is left for it";
    EXPECT_EQ(store->sourceNames[3].changed.load(), 1);
    delete a;
    delete b;
    delete store;
}

TEST(OnAirTiles, NamedOrAppearingSourcesInOrderWithTheirLevel) {
    Records r;
    SetInput(r.me[0], 8, 200);
    SetRow(r.me[0], 0, 0x01);
    SetInput(r.me[1], 9, 4);
    SetRow(r.me[1], 4, 0x02);
    for (auto& out : r.out) std::memset(out.data, 4, OUT_PAYLOAD);  // every output carries 4
    OnAirInputs* in = new OnAirInputs();
    std::strcpy(in->name[2], "VTR A");
    std::strcpy(in->alias[7], "GUEST");  // an alias alone also names a source
    OnAirTally t;
    OnAirDerive(r.me, r.out, t);
    const std::vector<OnAirTile> all = OnAirTiles(t, *in, ONAIR_ALL_ME);
    std::vector<int> sources;
    for (const OnAirTile& tile : all) sources.push_back(tile.source);
    EXPECT_EQ(sources, (std::vector<int>{0, 2, 4, 7, 200}));
    EXPECT_EQ(all[1].name, "VTR A");
    EXPECT_EQ(all[2].level, ONAIR_LOOKAHEAD);
    EXPECT_EQ(all[4].level, ONAIR_PROGRAM);
    const std::vector<OnAirTile> me1 = OnAirTiles(t, *in, 0);
    EXPECT_EQ(me1[2].level, ONAIR_OFF) << "source 4 is lit on ME 2 only";
    EXPECT_EQ(me1[4].level, ONAIR_PROGRAM);
    delete in;
}

TEST(OnAirGrid, FillsTheAreaWithoutOverflow) {
    const OnAirGrid none = OnAirGridFor(0, 800, 600, 1.5);
    EXPECT_EQ(none.columns, 0);
    const OnAirGrid one = OnAirGridFor(1, 300, 100, 1.5);
    EXPECT_EQ(one.columns, 1);
    EXPECT_EQ(one.tileWidth, 300);
    for (int count : {2, 17, 130, 256}) {
        for (int width : {200, 700, 1200}) {
            const OnAirGrid g = OnAirGridFor(count, width, 500, 1.4);
            SCOPED_TRACE(count * 10000 + width);
            EXPECT_GE(g.columns * g.rows, count);
            EXPECT_LT((g.rows - 1) * g.columns, count) << "no empty row";
            EXPECT_LE(g.columns * g.tileWidth, width);
            EXPECT_LE(g.rows * g.tileHeight, 500);
        }
    }
    // 130 tiles in a wide area take more columns than rows.
    const OnAirGrid wide = OnAirGridFor(130, 700, 500, 1.4);
    EXPECT_GT(wide.columns, wide.rows);
}
