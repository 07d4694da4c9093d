// Modem lines: the receiver's readings become one event per change (the
// first reading of a connection always), and their texts.
#include <gtest/gtest.h>

#include "history/describe.h"
#include "history/event.h"
#include "serial/modem_lines.h"

TEST(ModemLines, EachChangeOrBreakIsOneCodeAndNothingElseIs) {
    ModemWatch watch;
    const uint32_t first = ModemWatchUpdate(watch, MODEM_CTS | MODEM_DSR | 0x01, false);  // stray bits ignored
    EXPECT_EQ(first, MODEM_CTS | MODEM_DSR | MODEM_CODE_FIRST);
    EXPECT_EQ(ModemWatchUpdate(watch, MODEM_CTS | MODEM_DSR, false), 0u);
    const uint32_t drop = ModemWatchUpdate(watch, MODEM_CTS | MODEM_DCD, false);
    EXPECT_EQ(ModemCodeLines(drop), MODEM_CTS | MODEM_DCD);
    EXPECT_EQ(ModemCodeChanged(drop), MODEM_DSR | MODEM_DCD);
    EXPECT_EQ(drop & (MODEM_CODE_BREAK | MODEM_CODE_FIRST), 0u);
    const uint32_t broke = ModemWatchUpdate(watch, MODEM_CTS | MODEM_DCD, true);
    EXPECT_EQ(broke, MODEM_CTS | MODEM_DCD | MODEM_CODE_BREAK);
    // A new connection reads afresh.
    watch = ModemWatch();
    EXPECT_EQ(ModemWatchUpdate(watch, 0, false), MODEM_CODE_FIRST);
}

TEST(ModemLines, TextsNameTheLinesAsTheStatusBarAndTheHistoryShowThem) {
    EXPECT_EQ(ModemLinesText(MODEM_CTS | MODEM_DCD), "CTS dsr DCD ri");
    ModemWatch watch;
    ModemWatchUpdate(watch, MODEM_CTS | MODEM_DSR, false);
    const uint32_t code = ModemWatchUpdate(watch, MODEM_CTS | MODEM_DCD | MODEM_RI, true);
    EXPECT_EQ(ModemCodeText(code), "DSR off, DCD on, RI on, break (CTS dsr DCD RI)");
    HistoryEvent event = {};
    event.kind = EVENT_MODEM;
    event.code = MODEM_DSR | MODEM_CODE_FIRST;
    HistoryShadow* shadow = new HistoryShadow;
    HistoryShadowInit(*shadow);
    std::string text;
    HistoryDescribe(*shadow, event, text);
    delete shadow;
    EXPECT_EQ(text, "lines at connect (cts DSR dcd ri)");
    EXPECT_STREQ(HistoryEventName(EVENT_MODEM), "modem");
}
