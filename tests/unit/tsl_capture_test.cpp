// UDP payloads out of pcap captures of every link type read, in both byte
// orders, with fragments and non-UDP records skipped and a cut-off end said.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tsl/tsl_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Be16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void Put32(Bytes& b, uint32_t v, bool bigEndian) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (bigEndian ? 24 - 8 * i : 8 * i)));
}

Bytes Ipv4Udp(const Bytes& payload, uint8_t protocol = 17, uint16_t fragment = 0x4000) {
    Bytes ip = {0x45, 0};
    Be16(ip, static_cast<uint16_t>(28 + payload.size()));
    Be16(ip, 0);
    Be16(ip, fragment);
    ip.insert(ip.end(), {64, protocol, 0, 0, 127, 0, 0, 2, 127, 0, 0, 1});
    Be16(ip, 4000);
    Be16(ip, 8900);
    Be16(ip, static_cast<uint16_t>(8 + payload.size()));
    Be16(ip, 0);
    ip.insert(ip.end(), payload.begin(), payload.end());
    ip.push_back(0xEE);  // Ethernet padding past the IP length: not payload
    return ip;
}

Bytes Pcap(uint32_t link, const std::vector<Bytes>& records, bool bigEndian, bool nanos = false) {
    Bytes f;
    Put32(f, nanos ? 0xA1B23C4D : 0xA1B2C3D4, bigEndian);
    f.insert(f.end(), bigEndian ? std::initializer_list<uint8_t>{0, 2, 0, 4} : std::initializer_list<uint8_t>{2, 0, 4, 0});
    Put32(f, 0, bigEndian);
    Put32(f, 0, bigEndian);
    Put32(f, 65535, bigEndian);
    Put32(f, link, bigEndian);
    uint32_t t = 0;
    for (const Bytes& r : records) {
        Put32(f, 7, bigEndian);
        Put32(f, t, bigEndian);
        t += nanos ? 2000000 : 2000;
        Put32(f, static_cast<uint32_t>(r.size()), bigEndian);
        Put32(f, static_cast<uint32_t>(r.size()), bigEndian);
        f.insert(f.end(), r.begin(), r.end());
    }
    return f;
}

}  // namespace

TEST(TslCapture, UdpPayloadsFromEveryLinkTypeAndByteOrder) {
    const Bytes payload = {1, 2, 3, 0xFE};
    const Bytes ip = Ipv4Udp(payload);
    Bytes eth(12, 0), tagged(12, 0), sll(14, 0), sll2 = {0x08, 0x00}, loop = {2, 0, 0, 0};
    eth.insert(eth.end(), {0x08, 0x00});
    tagged.insert(tagged.end(), {0x81, 0x00, 0x00, 0x05, 0x08, 0x00});
    sll.insert(sll.end(), {0x08, 0x00});
    sll2.resize(20, 0);
    const struct {
        uint32_t link;
        Bytes head;
    } cases[] = {{1, eth}, {1, tagged}, {113, sll}, {276, sll2}, {0, loop}, {101, {}}};
    for (const auto& c : cases) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(std::to_string(c.link) + (big ? " big" : " little"));
            Bytes record = c.head;
            record.insert(record.end(), ip.begin(), ip.end());
            const Bytes file = Pcap(c.link, {record, record}, big, c.link == 0);
            ASSERT_TRUE(TslIsPcap(file.data(), file.size()));
            TslCaptureResult r;
            ASSERT_TRUE(TslReadPcapUdp(file.data(), file.size(), r)) << r.problem;
            ASSERT_EQ(r.datagrams.size(), 2u);
            EXPECT_EQ(r.datagrams[0].payload, payload);
            EXPECT_EQ(r.datagrams[0].from, "127.0.0.2:4000");
            EXPECT_EQ(r.datagrams[0].to, "127.0.0.1:8900");
            EXPECT_EQ(r.datagrams[1].timeUs - r.datagrams[0].timeUs, 2000);
            EXPECT_TRUE(r.problem.empty());
        }
    }
}

TEST(TslCapture, SkipsFragmentsAndOtherProtocolsAndSaysWhenCutOff) {
    Bytes eth(12, 0);
    eth.insert(eth.end(), {0x08, 0x00});
    auto withEth = [&](const Bytes& ip) {
        Bytes r = eth;
        r.insert(r.end(), ip.begin(), ip.end());
        return r;
    };
    Bytes file = Pcap(1, {withEth(Ipv4Udp({9})), withEth(Ipv4Udp({9}, 6)), withEth(Ipv4Udp({9}, 17, 0x2000)),
                          Bytes{1, 2}},
                      false);
    file.resize(file.size() - 1);  // the last record loses a byte
    TslCaptureResult r;
    ASSERT_TRUE(TslReadPcapUdp(file.data(), file.size(), r));
    EXPECT_EQ(r.records, 3u);
    EXPECT_EQ(r.datagrams.size(), 1u);
    EXPECT_EQ(r.skipped, 2u);
    EXPECT_NE(r.problem.find("cut off"), std::string::npos);

    const Bytes notPcap = {0xFE, 0x02, 0, 0};
    EXPECT_FALSE(TslIsPcap(notPcap.data(), notPcap.size()));
    EXPECT_FALSE(TslReadPcapUdp(notPcap.data(), notPcap.size(), r));
}
