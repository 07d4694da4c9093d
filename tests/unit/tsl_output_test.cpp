// Destinations and listeners as written, and one output's packets over time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tsl/tsl_output.h"

TEST(TslEndpoint, ParsesEveryFormAndRefusesWithAReason) {
    TslEndpoint e;
    std::string error;
    ASSERT_TRUE(TslParseDestination("5.0:udp:127.0.0.9:8900", e, error)) << error;
    EXPECT_EQ(e.version, TSL_V50);
    EXPECT_FALSE(e.tcp);
    EXPECT_EQ(e.host, "127.0.0.9");
    EXPECT_EQ(e.port, 8900);
    EXPECT_FALSE(e.dle);
    ASSERT_TRUE(TslParseDestination("5.0:tcp:hub:9000", e, error));
    EXPECT_TRUE(e.dle);  // 5.0 over TCP is always framed
    EXPECT_EQ(TslDestinationText(e), "5.0:tcp:hub:9000");
    ASSERT_TRUE(TslParseDestination("3.1:tcp:hub:9000", e, error));
    EXPECT_FALSE(e.dle);
    ASSERT_TRUE(TslParseDestination("5.0:udp:[::1]:8900:dle", e, error));
    EXPECT_EQ(e.host, "::1");
    EXPECT_TRUE(e.dle);
    EXPECT_EQ(TslDestinationText(e), "5.0:udp:[::1]:8900:dle");
    ASSERT_TRUE(TslParseListener("udp:127.0.0.1:8900", e, error));
    EXPECT_EQ(TslListenerText(e), "udp:127.0.0.1:8900");

    const char* bad[] = {"4.0:udp:h:1", "5.0:sctp:h:1", "5.0:udp:h", "5.0:udp::1", "5.0:udp:h:0",
                         "5.0:udp:h:65536", "5.0:udp:h:12x", "3.1:udp:h:1:dle", "5.0:udp:h:1:fast", "5.0:udp:[::1:1"};
    for (const char* text : bad) {
        error.clear();
        EXPECT_FALSE(TslParseDestination(text, e, error)) << text;
        EXPECT_EQ(error.rfind(text, 0), 0u) << error;  // the message names what was given
    }
    EXPECT_FALSE(TslParseListener("udp:127.0.0.1:8900:dle", e, error));
    EXPECT_FALSE(TslParseListener("5.0:udp:h:1", e, error));
}

TEST(TslOutput, SendsTheStateAtOnceThenChangesThenRefreshesFramedAsAsked) {
    static MeTally me[ME_RECORDS] = {};
    static OutputTally out[OUT_RECORDS] = {};
    static OnAirInputs inputs = {};
    static OnAirTally tally;
    std::strcpy(inputs.name[5], "CAM 5");
    me[0].data[16] = 5;  // BusA 5
    OnAirDerive(me, out, tally);

    TslEndpoint dest;
    std::string error;
    ASSERT_TRUE(TslParseDestination("5.0:udp:127.0.0.1:8900:dle", dest, error));
    TslOutput output(dest, TslMapConfig(), 1000);
    auto packets = output.Packets(tally, inputs, 0);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0][0], TSL_DLE);
    EXPECT_TRUE(output.Packets(tally, inputs, 500).empty());

    me[0].data[3] = 0x01;  // PGM A: BusA
    OnAirDerive(me, out, tally);
    packets = output.Packets(tally, inputs, 600);
    ASSERT_EQ(packets.size(), 1u);
    std::vector<TslPacket> decoded;
    TslDecodeDatagram(packets[0].data(), packets[0].size(), decoded);
    ASSERT_EQ(decoded.size(), 1u);
    ASSERT_EQ(decoded[0].messages.size(), 1u);  // only the change
    EXPECT_EQ(decoded[0].messages[0].index, 5);
    EXPECT_EQ(decoded[0].messages[0].lh, TSL_RED);
    EXPECT_EQ(output.NextDueMs(), 1000);
    decoded.clear();
    packets = output.Packets(tally, inputs, 1000);
    ASSERT_EQ(packets.size(), 1u);
    TslDecodeDatagram(packets[0].data(), packets[0].size(), decoded);
    EXPECT_EQ(decoded[0].messages.size(), 2u);  // sources 0 and 5, refreshed
    output.Reconnected();
    EXPECT_EQ(output.Packets(tally, inputs, 1001).size(), 1u);
}
