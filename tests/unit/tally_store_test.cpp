// Tally store: initial contents, flag and counter semantics the displays rely on.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>

#include "tally/store.h"
#include "tests/support/tally_test_util.h"

namespace {

// The shipped initial records, header then data then spare, as the operator
// sees them before the first message arrives.
const char* const ME_HEX[ME_RECORDS] = {
    "8181" "015502aa035504aa05a5065a075a08a509aa0a550baa0c" "000000",
    "8282" "0000000000000000000000000000000000000000000000" "000000",
    "8383" "0000000000000000000000000000000000000000000000" "000000",
    "8484" "0000000000000000000000000000000000000000000000" "000000",
};
const char* const EXT_HEX[EXT_RECORDS] = {
    "9191" "5501aa025a03a504f0050f060c0708090a0b0c0d0e" "00",
    "9292" "000000000000000000000000000000000000000000" "00",
    "9393" "010000000000000000000000000000000000000000" "00",
    "9494" "020000000000000000000000000000000000000000" "00",
    "9595" "030000000000000000000000000000000000000000" "00",
    "9696" "040000000000000000000000000000000000000000" "00",
    "9797" "050000000000000000000000000000000000000000" "00",
    "9898" "060000000000000000000000000000000000000000" "00",
};
const char* const SS_HEX = "a1a1" "12255a" "000000";
const char* const OUT_HEX[OUT_RECORDS] = {
    "b1b1" "01010221030405060708", "b2b2" "09020a430b0c0d0e0f10", "b3b3" "11031265131415161718",
    "b4b4" "19041a871b1c1d1e1f20", "b5b5" "210522a9232425262728", "b6b6" "29062acb2b2c2d2e0000",
};

void ExpectInitialContents(TallyStore& store) {
    const TallySnapshotValues s = Snapshot(store);
    EXPECT_EQ(1, s.meDirty);
    EXPECT_EQ(1, s.extDirty);
    EXPECT_EQ(1, s.ssDirty);
    EXPECT_EQ(1, s.outDirty);
    EXPECT_EQ(1, s.namesDirty);
    for (int i = 0; i < ME_RECORDS; ++i) EXPECT_EQ(ME_HEX[i], Hex(s.meTally[i].header, sizeof(MeTally))) << i;
    for (int i = 0; i < EXT_RECORDS; ++i) EXPECT_EQ(EXT_HEX[i], Hex(s.extTally[i].header, sizeof(ExtTally))) << i;
    EXPECT_EQ(SS_HEX, Hex(s.ssTally.header, sizeof(StillStoreTally)));
    for (int i = 0; i < OUT_RECORDS; ++i) EXPECT_EQ(OUT_HEX[i], Hex(s.outTally[i].header, sizeof(OutputTally))) << i;
    const uint8_t zeros[sizeof(SourceNameEntry)] = {};
    for (int n = 0; n <= SOURCE_COUNT; ++n) EXPECT_EQ(0, std::memcmp(zeros, s.sourceNames[n], sizeof zeros)) << n;
    const TallyCounterValues none = {};
    EXPECT_EQ(0, std::memcmp(&none, &s.counters, sizeof none));
}

TEST(TallyStore, ProcessStoreHoldsInitialContentsFromStart) { ExpectInitialContents(tallyStore); }

TEST(TallyStore, InitRestoresInitialContentsOverAnyState) {
    auto store = std::make_unique<TallyStore>();
    std::memset(static_cast<void*>(store.get()), 0xEE, sizeof(TallyStore));
    TallyStoreInit(*store);
    ExpectInitialContents(*store);
}

TEST(TallyStore, RecordLayoutsKeepHeaderDataAndSpareBytes) {
    EXPECT_EQ(0u, offsetof(MeTally, header));
    EXPECT_EQ(2u, offsetof(MeTally, data));
    EXPECT_EQ(25u, offsetof(MeTally, spare));
    EXPECT_EQ(23u, offsetof(ExtTally, spare));
    EXPECT_EQ(5u, offsetof(StillStoreTally, spare));
    EXPECT_EQ(2u, offsetof(OutputTally, data));
    EXPECT_EQ(13u, offsetof(SourceNameEntry, nameEnd));
    EXPECT_EQ(14u, offsetof(SourceNameEntry, nickname));
    EXPECT_EQ(20u, offsetof(SourceNameEntry, nicknameEnd));
    EXPECT_EQ(21u, offsetof(SourceNameEntry, alias));
    EXPECT_EQ(33u, offsetof(SourceNameEntry, aliasEnd));
    // The five error counters come first, in the order the displays list them.
    EXPECT_LT(offsetof(TallyCounters, strayByteCount), offsetof(TallyCounters, unknownTypeCount));
    EXPECT_LT(offsetof(TallyCounters, unknownTypeCount), offsetof(TallyCounters, headerMismatchCount));
    EXPECT_LT(offsetof(TallyCounters, headerMismatchCount), offsetof(TallyCounters, headerLowByteCount));
    EXPECT_LT(offsetof(TallyCounters, headerLowByteCount), offsetof(TallyCounters, payloadErrorCount));
    EXPECT_LT(offsetof(TallyCounters, payloadErrorCount), offsetof(TallyCounters, meCount));
    EXPECT_EQ(TALLY_COUNTER_COUNT * sizeof(uint32_t), sizeof(TallyCounters));
}

class TallyStoreWrites : public ::testing::Test {
protected:
    void SetUp() override { TallyStoreInit(*store); }
    std::unique_ptr<TallyStore> store = std::make_unique<TallyStore>();
};

TEST_F(TallyStoreWrites, StoringCopiesDataOnlySetsFlagAndCounts) {
    const Bytes payload = LowPayload(ME_PAYLOAD, 0x20);
    store->meDirty = 0;
    TallyStoreMe(*store, 2, payload.data());
    MeTally me;
    TallyReadMe(*store, 2, me);
    EXPECT_EQ("8383" + Hex(payload.data(), payload.size()) + "000000", Hex(me.header, sizeof me));
    EXPECT_EQ(1, store->meDirty.load());
    EXPECT_EQ(1u, store->counters.meCount[2].load());
    EXPECT_EQ(0u, store->counters.meCount[0].load());
    EXPECT_EQ(0u, store->counters.extCount[2].load());
}

TEST_F(TallyStoreWrites, ConsumingDirtyFlagBeforeDrawingKeepsAMessageStoredDuringTheDraw) {
    ASSERT_EQ(1, TallyTakeDirty(store->outDirty));  // display starts drawing
    EXPECT_EQ(0, TallyTakeDirty(store->outDirty));
    TallyStoreOut(*store, 0, LowPayload(OUT_PAYLOAD).data());  // arrives mid-draw
    // The next tick still sees it.
    EXPECT_EQ(1, TallyTakeDirty(store->outDirty));
}

TEST_F(TallyStoreWrites, TakingANameConsumesItsChangedFlag) {
    ASSERT_EQ(1, TallyStoreName(*store, MSG_SOURCE_NAME, NamePayload(7, "CAMERA ONE  ", "CAM1  ").data()));
    SourceNameValues v;
    EXPECT_EQ(1, TallyTakeName(*store, 7, v));
    EXPECT_STREQ("CAMERA ONE  ", v.name);
    EXPECT_STREQ("CAM1  ", v.nickname);
    EXPECT_STREQ("", v.alias);
    EXPECT_EQ(0, TallyTakeName(*store, 7, v));
    TallyReadName(*store, 7, v);
    EXPECT_EQ(0, v.changed);
    EXPECT_STREQ("CAMERA ONE  ", v.name);
}

TEST_F(TallyStoreWrites, NamesOutsideOneTo128AreRefused) {
    store->namesDirty = 0;
    EXPECT_EQ(0, TallyStoreName(*store, MSG_SOURCE_NAME, NamePayload(0, "ZERO ZERO ZE", "ZERO Z").data()));
    EXPECT_EQ(0, TallyStoreName(*store, MSG_SOURCE_ALIAS, NamePayload(129, "OVER OVER OV", "OVER O").data()));
    EXPECT_EQ(0, store->namesDirty.load());
    const TallySnapshotValues s = Snapshot(*store);
    const uint8_t zeros[sizeof(SourceNameEntry)] = {};
    EXPECT_EQ(0, std::memcmp(zeros, s.sourceNames[0], sizeof zeros));
}

TEST_F(TallyStoreWrites, ResetZeroesEveryCounterAndNothingElse) {
    for (int i = 0; i < ME_RECORDS; ++i) TallyStoreMe(*store, i, LowPayload(ME_PAYLOAD).data());
    for (int i = 0; i < EXT_RECORDS; ++i) TallyStoreExt(*store, i, LowPayload(EXT_PAYLOAD).data());
    TallyStoreSs(*store, LowPayload(SS_PAYLOAD).data());
    for (int i = 0; i < OUT_RECORDS; ++i) TallyStoreOut(*store, i, LowPayload(OUT_PAYLOAD).data());
    store->counters.strayByteCount = 5;
    store->counters.unknownTypeCount = 4;
    store->counters.headerMismatchCount = 3;
    store->counters.headerLowByteCount = 2;
    store->counters.payloadErrorCount = 1;
    store->ssDirty = 0;
    TallySnapshotValues before = Snapshot(*store);
    TallyResetCounters(*store);
    TallySnapshotValues after = Snapshot(*store);
    const TallyCounterValues none = {};
    EXPECT_EQ(0, std::memcmp(&none, &after.counters, sizeof none));
    after.counters = before.counters;
    EXPECT_EQ("", SnapshotDiff(before, after));
}

}  // namespace
