// TSL UMD codecs against the published layouts: exact bytes out, fields back,
// 2048-byte packing, DLE/STX stuffing, and a stream decoder that survives
// whatever it is fed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tsl/tsl_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

TslMessage Msg(uint16_t index, const std::string& text) {
    TslMessage m;
    m.index = index;
    m.text = text;
    return m;
}

std::vector<TslPacket> FeedAll(TslStreamDecoder& d, const Bytes& bytes, size_t chunk) {
    std::vector<TslPacket> out;
    for (size_t i = 0; i < bytes.size(); i += chunk)
        d.Feed(bytes.data() + i, std::min(chunk, bytes.size() - i), out);
    return out;
}

}  // namespace

TEST(Tsl31, EncodesAddressControlAndPaddedTextAndReadsThemBack) {
    TslMessage m = Msg(3, "CAM 1");
    m.tally31 = 0x5;  // tally 1 and 3
    m.brightness = 2;
    uint8_t p[TSL31_PACKET_SIZE];
    ASSERT_TRUE(Tsl31Encode(m, p));
    const Bytes expected = {0x83, 0x25, 'C', 'A', 'M', ' ', '1', ' ', ' ', ' ',
                            ' ',  ' ',  ' ', ' ', ' ', ' ', ' ', ' '};
    EXPECT_EQ(Bytes(p, p + 18), expected);

    TslPacket back;
    ASSERT_TRUE(Tsl31Decode(p, 18, back));
    ASSERT_EQ(back.messages.size(), 1u);
    EXPECT_EQ(back.messages[0].index, 3);
    EXPECT_EQ(back.messages[0].tally31, 0x5);
    EXPECT_EQ(back.messages[0].brightness, 2);
    EXPECT_EQ(back.messages[0].text, "CAM 1");

    m.index = 127;  // one past the last address
    EXPECT_FALSE(Tsl31Encode(m, p));
    m.index = 126;
    m.text = "a very long name indeed\x01";
    ASSERT_TRUE(Tsl31Encode(m, p));
    EXPECT_EQ(p[0], 0xFE);
    EXPECT_EQ(std::string(p + 2, p + 18), "a very long name");
}

TEST(Tsl31, MarksBit7AndBadTextButRefusesWrongSizeOrAddress) {
    uint8_t p[18] = {0x80, 0x81, 'A', 0x07};
    for (int i = 4; i < 18; ++i) p[i] = ' ';
    TslPacket back;
    ASSERT_TRUE(Tsl31Decode(p, 18, back));
    EXPECT_EQ(back.control31, 0x81);
    EXPECT_EQ(back.messages[0].tally31, 1);
    EXPECT_TRUE(back.messages[0].textOutOfRange);
    EXPECT_NE(TslDescribe(back).find("bit 7"), std::string::npos);

    EXPECT_FALSE(Tsl31Decode(p, 17, back));
    EXPECT_FALSE(back.problem.empty());
    p[0] = 0x7F;
    EXPECT_FALSE(Tsl31Decode(p, 18, back));
    p[0] = 0xFF;
    EXPECT_FALSE(Tsl31Decode(p, 18, back));
}

TEST(Tsl50, EncodesLittleEndianHeaderAndDmsgWithTallyBitsInPlace) {
    TslMessage m = Msg(0x0304, "AB");
    m.rh = TSL_RED;
    m.txt = TSL_GREEN;
    m.lh = TSL_AMBER;
    m.brightness = 1;
    Bytes p;
    ASSERT_TRUE(Tsl50Encode(Tsl50Header{0x0102, false}, &m, 1, p));
    // CONTROL: RH bits 0-1 = 1, text bits 2-3 = 2, LH bits 4-5 = 3, brightness bits 6-7 = 1.
    const Bytes expected = {12, 0, 0, 0, 0x02, 0x01, 0x04, 0x03, 0x79, 0x00, 2, 0, 'A', 'B'};
    EXPECT_EQ(p, expected);

    TslPacket back;
    ASSERT_TRUE(Tsl50Decode(p.data(), p.size(), back));
    EXPECT_FALSE(back.pbcMismatch);
    EXPECT_EQ(back.screen, 0x0102);
    ASSERT_EQ(back.messages.size(), 1u);
    EXPECT_EQ(back.messages[0].index, 0x0304);
    EXPECT_EQ(back.messages[0].rh, TSL_RED);
    EXPECT_EQ(back.messages[0].txt, TSL_GREEN);
    EXPECT_EQ(back.messages[0].lh, TSL_AMBER);
    EXPECT_EQ(back.messages[0].brightness, 1);
    EXPECT_EQ(back.messages[0].text, "AB");
}

TEST(Tsl50, Utf16TextRoundTripsIncludingSurrogatePairs) {
    TslMessage m = Msg(1, "\xC3\xA9 \xF0\x9D\x84\x9E");  // e-acute, space, U+1D11E
    Bytes p;
    ASSERT_TRUE(Tsl50Encode(Tsl50Header{0, true}, &m, 1, p));
    EXPECT_EQ(p[3], 1);                   // FLAGS bit 0: UTF-16LE
    EXPECT_EQ(p[10], 8);                  // LENGTH: 4 code units
    EXPECT_EQ(Bytes(p.begin() + 12, p.end()), (Bytes{0xE9, 0, ' ', 0, 0x34, 0xD8, 0x1E, 0xDD}));
    TslPacket back;
    ASSERT_TRUE(Tsl50Decode(p.data(), p.size(), back));
    EXPECT_EQ(back.messages[0].text, m.text);
    EXPECT_FALSE(back.messages[0].textOutOfRange);

    // ASCII packets carry only 0x20..0x7E: anything else goes out as '?'.
    p.clear();
    ASSERT_TRUE(Tsl50Encode(Tsl50Header{0, false}, &m, 1, p));
    EXPECT_EQ(std::string(p.begin() + 12, p.end()), "? ?");
}

TEST(Tsl50, MalformedPacketsAreDescribedNotTrusted) {
    TslPacket back;
    const Bytes shortHeader = {4, 0, 0, 0, 0};
    EXPECT_FALSE(Tsl50Decode(shortHeader.data(), shortHeader.size(), back));
    EXPECT_NE(back.problem.find("header"), std::string::npos);

    // LENGTH 300 where 2 bytes remain; the first DMSG is kept.
    const Bytes pastEnd = {20, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0x2C, 0x01, 'x', 'y'};
    // (first DMSG: index 1, LENGTH 0; second: index 2, LENGTH 300)
    Bytes fixed = pastEnd;
    fixed[0] = static_cast<uint8_t>(fixed.size() - 2);
    EXPECT_FALSE(Tsl50Decode(fixed.data(), fixed.size(), back));
    EXPECT_NE(back.problem.find("DMSG 2: LENGTH 300"), std::string::npos) << back.problem;
    EXPECT_EQ(back.messages.size(), 1u);
    EXPECT_EQ(TslDescribe(back).rfind("malformed 5.0", 0), 0u);

    const Bytes oddUnicode = {9, 0, 0, 1, 0, 0, 1, 0, 0, 0, 1, 0, 'A'};
    EXPECT_FALSE(Tsl50Decode(oddUnicode.data(), oddUnicode.size(), back));
    EXPECT_NE(back.problem.find("odd"), std::string::npos);

    const Bytes fewForIndex = {7, 0, 0, 0, 0, 0, 1, 0, 0};
    EXPECT_FALSE(Tsl50Decode(fewForIndex.data(), fewForIndex.size(), back));

    Bytes tooLong(2049, 0);
    EXPECT_FALSE(Tsl50Decode(tooLong.data(), tooLong.size(), back));

    // A PBC that disagrees is flagged; the bytes present are still read.
    const Bytes wrongPbc = {99, 0, 0, 0, 0, 0, 7, 0, 0x01, 0, 1, 0, 'Z'};
    ASSERT_TRUE(Tsl50Decode(wrongPbc.data(), wrongPbc.size(), back));
    EXPECT_TRUE(back.pbcMismatch);
    EXPECT_EQ(back.messages[0].text, "Z");

    // Control data (bit 15) has no layout: the message is marked, the rest left.
    const Bytes control = {12, 0, 0, 0, 0, 0, 5, 0, 0x00, 0x80, 9, 9, 9, 9};
    ASSERT_TRUE(Tsl50Decode(control.data(), control.size(), back));
    ASSERT_EQ(back.messages.size(), 1u);
    EXPECT_TRUE(back.messages[0].controlData);
}

TEST(Tsl50, PackingFillsPacketsUpTo2048BytesAndKeepsEveryMessageInOrder) {
    std::vector<TslMessage> messages;
    for (int i = 0; i < 300; ++i) messages.push_back(Msg(static_cast<uint16_t>(i), "NAME " + std::to_string(1000 + i)));
    // Each DMSG is 6 + 9 bytes: 136 fit after the 6-byte header (6 + 136 * 15 = 2046).
    const auto packets = Tsl50Pack(Tsl50Header{}, messages);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].size(), 2046u);
    int next = 0;
    for (const Bytes& p : packets) {
        EXPECT_LE(p.size(), 2048u);
        TslPacket back;
        ASSERT_TRUE(Tsl50Decode(p.data(), p.size(), back)) << back.problem;
        for (const TslMessage& m : back.messages) {
            EXPECT_EQ(m.index, next);
            EXPECT_EQ(m.text, "NAME " + std::to_string(1000 + next));
            ++next;
        }
    }
    EXPECT_EQ(next, 300);
}

TEST(TslStream, DleStuffedPacketsComeBackWholeAtAnySplitAndWithoutWaitingForTheNext) {
    TslMessage m = Msg(0x00FE, "\xC3\xBE");  // index and UTF-16 text both hold 0xFE
    m.lh = TSL_AMBER;
    Bytes p;
    ASSERT_TRUE(Tsl50Encode(Tsl50Header{0xFEFE, true}, &m, 1, p));
    Bytes wire;
    TslDleWrap(p.data(), p.size(), wire);
    EXPECT_EQ(wire[0], TSL_DLE);
    EXPECT_EQ(wire[1], TSL_STX);
    EXPECT_EQ(wire.size(), 2 + p.size() + 4);  // four 0xFE doubled: screen x2, index, text
    for (size_t chunk : {size_t(1), size_t(3), size_t(7), wire.size()}) {
        SCOPED_TRACE(chunk);
        TslStreamDecoder d;
        // The packet is out as soon as its last byte is in, with no later DLE/STX.
        const auto out = FeedAll(d, wire, chunk);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_TRUE(out[0].problem.empty()) << out[0].problem;
        EXPECT_TRUE(out[0].dleFramed);
        EXPECT_EQ(out[0].screen, 0xFEFE);
        EXPECT_EQ(out[0].messages[0].index, 0x00FE);
        EXPECT_EQ(out[0].messages[0].text, m.text);
        EXPECT_EQ(d.Mode(), TSL_STREAM_DLE);
        EXPECT_EQ(d.Pending(), 0u);
    }
}

TEST(TslStream, GarbageBadPbcStrayDleAndCutPacketsAreCountedThenDecodingResumes) {
    TslMessage m = Msg(7, "OK");
    Bytes p;
    ASSERT_TRUE(Tsl50Encode(Tsl50Header{}, &m, 1, p));
    Bytes good;
    TslDleWrap(p.data(), p.size(), good);

    Bytes wire = {TSL_DLE, TSL_STX, 0xFF, 0xFF, 1, 2, 3};            // PBC 65535
    wire.insert(wire.end(), good.begin(), good.end());
    wire.insert(wire.end(), {TSL_DLE, TSL_STX, 20, 0, 0, TSL_DLE, 0x41});  // DLE then 'A'
    wire.insert(wire.end(), {TSL_DLE, TSL_STX, 30, 0, 0, 0});        // cut by the next start
    wire.insert(wire.end(), good.begin(), good.end());
    wire.insert(wire.end(), {TSL_DLE, TSL_STX, 30, 0});             // cut by the end

    TslStreamDecoder d(TSL_STREAM_DLE);
    const Bytes junk = {0x10, 0x20};
    std::vector<TslPacket> out;
    d.Feed(junk.data(), junk.size(), out);
    auto rest = FeedAll(d, wire, 5);
    out.insert(out.end(), rest.begin(), rest.end());
    d.Finish(out);
    ASSERT_EQ(out.size(), 6u);
    EXPECT_NE(out[0].problem.find("PBC 65535"), std::string::npos) << out[0].problem;
    EXPECT_TRUE(out[1].problem.empty());
    EXPECT_EQ(out[1].messages[0].text, "OK");
    EXPECT_NE(out[2].problem.find("0x41"), std::string::npos) << out[2].problem;
    EXPECT_NE(out[3].problem.find("cut short"), std::string::npos) << out[3].problem;
    EXPECT_TRUE(out[4].problem.empty());
    EXPECT_NE(out[5].problem.find("end of the stream"), std::string::npos) << out[5].problem;
    EXPECT_EQ(d.Stats().packets, 6u);
    EXPECT_EQ(d.Stats().malformed, 4u);
    EXPECT_EQ(d.Stats().strayBytes, 2u + 3u);  // leading junk, the bad packet's rest
}

TEST(TslStream, AutoModeReads31AndPlain50StreamsAndResyncs) {
    uint8_t a[18], b[18];
    ASSERT_TRUE(Tsl31Encode(Msg(1, "ONE"), a));
    ASSERT_TRUE(Tsl31Encode(Msg(2, "TWO"), b));
    Bytes wire(a, a + 18);
    wire.insert(wire.end(), {0x01, 0x02});  // stray
    wire.insert(wire.end(), b, b + 18);
    TslStreamDecoder d;
    auto out = FeedAll(d, wire, 4);
    EXPECT_EQ(d.Mode(), TSL_STREAM_31);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].messages[0].text, "ONE");
    EXPECT_NE(out[1].problem.find("2 bytes skipped"), std::string::npos);
    EXPECT_EQ(out[2].messages[0].text, "TWO");

    Bytes p1, p2;
    TslMessage m = Msg(9, "X");
    Tsl50Encode(Tsl50Header{}, &m, 1, p1);
    m.text = "YY";
    Tsl50Encode(Tsl50Header{}, &m, 1, p2);
    Bytes plain = p1;
    plain.insert(plain.end(), {0xFF, 0xFF});  // no plausible PBC starts here
    plain.insert(plain.end(), p2.begin(), p2.end());
    TslStreamDecoder e;
    out = FeedAll(e, plain, 3);
    e.Finish(out);
    EXPECT_EQ(e.Mode(), TSL_STREAM_PLAIN50);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].messages[0].text, "X");
    EXPECT_FALSE(out[1].problem.empty());
    EXPECT_EQ(out[2].messages[0].text, "YY");
}

TEST(TslDatagram, TellsDleFramed50Several31AndPlain50Apart) {
    TslMessage m = Msg(4, "D");
    Bytes p, framed;
    Tsl50Encode(Tsl50Header{}, &m, 1, p);
    TslDleWrap(p.data(), p.size(), framed);
    std::vector<TslPacket> out;
    EXPECT_EQ(TslDecodeDatagram(framed.data(), framed.size(), out), 1u);
    EXPECT_TRUE(out[0].dleFramed);
    EXPECT_TRUE(out[0].problem.empty());
    EXPECT_EQ(out[0].messages[0].index, 4);

    out.clear();
    EXPECT_EQ(TslDecodeDatagram(p.data(), p.size(), out), 1u);
    EXPECT_FALSE(out[0].dleFramed);
    EXPECT_EQ(out[0].version, TSL_V50);

    uint8_t two[36];
    Tsl31Encode(Msg(5, "A"), two);
    Tsl31Encode(Msg(6, "B"), two + 18);
    out.clear();
    EXPECT_EQ(TslDecodeDatagram(two, sizeof two, out), 2u);
    EXPECT_EQ(out[1].version, TSL_V31);
    EXPECT_EQ(out[1].messages[0].index, 6);
}
