// bench_tsl_wire: from the last serial byte of a message to the TSL packet
// on the wire. Each sample is a cut on ME 1 written to a pty (as a switcher
// would write to the serial line), timed from the write's return to the
// arrival of the first 5.0 datagram on a loopback socket here that shows the
// new program source red; packets of the old state (a refresh) do not count.
// Prints p50, p99 and max (not asserted).
//   bench_tsl_wire [SAMPLES]
//     runs tallydump on a pty of its own, the refresh set to a minute so that
//     every packet timed is the change path's;
//   bench_tsl_wire SAMPLES PTY UDP_PORT LABEL
//     another sender (qorvex.exe under Wine, started by bench_tsl_e2e.sh) reads
//     the far end of PTY and sends 5.0 to 127.0.0.1:UDP_PORT.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "tally/protocol.h"
#include "tsl/tsl_codec.h"
#include "tsl/tsl_map.h"

namespace {

double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// ME 1 with source pgm on the A bus (PGM rows) and pvw on the B bus (preview rows).
std::vector<uint8_t> MeMessage(uint8_t pgm, uint8_t pvw) {
    std::vector<uint8_t> m{0x81, 0x81};
    uint8_t payload[ME_PAYLOAD] = {};
    payload[16] = pgm;
    payload[18] = pvw;
    for (int row = 0; row < 4; ++row) payload[3 + 2 * row] = 0x01;   // PGM A-D: A bus
    for (int row = 8; row < 10; ++row) payload[3 + 2 * row] = 0x02;  // PVW A, PVW 2: B bus
    m.insert(m.end(), payload, payload + ME_PAYLOAD);
    return m;
}

// True when the datagram, read through the default map, shows index on PGM.
bool ShowsProgram(const uint8_t* data, size_t size, int index) {
    std::vector<TslPacket> packets;
    TslDecodeDatagram(data, size, packets);
    for (const TslPacket& p : packets)
        for (const TslMessage& m : p.messages)
            if (m.index == index && TslMapLevelOf(TslMapConfig(), p.version, m) == ONAIR_PROGRAM) return true;
    return false;
}

void Drain(NetHandle udp) {
    uint8_t buffer[4096];
    size_t got = 0;
    std::string error;
    while (NetUdpRecv(udp, buffer, sizeof buffer, 0, got, error) == NET_RECV_DATA) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 300;
    const bool external = argc > 4;
    std::string error;
    const NetHandle udp = NetUdpOpen("127.0.0.1", external ? static_cast<uint16_t>(std::atoi(argv[3])) : 0, error);
    if (udp == NET_INVALID) {
        std::fprintf(stderr, "bench_tsl_wire: %s\n", error.c_str());
        return 1;
    }
    int master = -1;
    pid_t dump = -1;
    std::string label = "tallydump, pty, UDP loopback";
    if (external) {
        master = open(argv[2], O_WRONLY | O_NOCTTY);
        label = argv[4];
    } else {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && (grantpt(master) != 0 || unlockpt(master) != 0)) master = -1;
    }
    if (master < 0) {
        std::fprintf(stderr, "bench_tsl_wire: no pty\n");
        return 1;
    }
    if (!external) {
        const std::string slave = ptsname(master);
        const std::string destination = "5.0:udp:127.0.0.1:" + std::to_string(NetLocalPort(udp));
        dump = fork();
        if (dump == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(TALLYDUMP_PATH, TALLYDUMP_PATH, "--port", slave.c_str(), "--tsl-out", destination.c_str(),
                  "--tsl-refresh-ms", "60000", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    uint8_t buffer[4096];
    size_t got = 0;
    // The first packets: the initial state (tallydump) or a refresh (a sender
    // already running), once the sender is up.
    bool up = false;
    for (int i = 0; i < 50 && !up; ++i) up = NetUdpRecv(udp, buffer, sizeof buffer, 100, got, error) == NET_RECV_DATA;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Drain(udp);
    std::vector<double> lags;
    int lost = 0;
    const double deadline = NowMs() + 120000;  // bounded whatever the sender does
    for (int i = 0; up && i < samples && NowMs() < deadline; ++i) {
        // Sources the store does not light at the start: every cut changes two lamps.
        const int pgm = 30 + i % 2;
        const std::vector<uint8_t> m = MeMessage(static_cast<uint8_t>(pgm), static_cast<uint8_t>(61 - pgm));
        if (write(master, m.data(), m.size()) != static_cast<ssize_t>(m.size())) break;
        const double start = NowMs();
        bool seen = false;
        while (!seen && NowMs() - start < 500) {
            const int wait = static_cast<int>(500 - (NowMs() - start)) + 1;
            if (NetUdpRecv(udp, buffer, sizeof buffer, wait, got, error) != NET_RECV_DATA) break;
            seen = ShowsProgram(buffer, got, pgm);
        }
        if (seen)
            lags.push_back(NowMs() - start);
        else
            ++lost;
        // Take any further packet of the same change before the next.
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        Drain(udp);
    }
    if (dump > 0) {
        kill(dump, SIGTERM);
        waitpid(dump, nullptr, 0);
    }
    close(master);
    NetClose(udp);
    if (lags.empty()) {
        std::printf("bench_tsl_wire: no packet came (sender up: %s)\n", up ? "yes" : "no");
        return 1;
    }
    std::sort(lags.begin(), lags.end());
    auto rank = [&](double p) { return lags[std::min(lags.size() - 1, static_cast<size_t>(p * lags.size()))]; };
    std::printf("TSL out, last serial byte to the packet on the wire (%s): "
                "%zu samples, %d lost, p50 %.2f ms, p99 %.2f ms, max %.2f ms (goal: p99 at most 20 ms)\n",
                label.c_str(), lags.size(), lost, rank(0.50), rank(0.99), lags.back());
    return 0;
}
