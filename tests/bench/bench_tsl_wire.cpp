// bench_tsl_wire: from the last serial byte of a message to the TSL packet
// on the wire. tallydump reads a pty (as it would a serial port) and sends
// 5.0 over UDP to a loopback socket here; each sample is a cut on ME 1
// written to the pty's other side, timed from the write's return to the
// datagram's arrival. The refresh is set to a minute, so that every packet
// timed is the change path's. Prints p50, p99 and max (not asserted).
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

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 300;
    std::string error;
    const NetHandle udp = NetUdpOpen("127.0.0.1", 0, error);
    if (udp == NET_INVALID) {
        std::fprintf(stderr, "bench_tsl_wire: %s\n", error.c_str());
        return 1;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::fprintf(stderr, "bench_tsl_wire: no pty\n");
        return 1;
    }
    const std::string slave = ptsname(master);
    const std::string destination = "5.0:udp:127.0.0.1:" + std::to_string(NetLocalPort(udp));
    const pid_t dump = fork();
    if (dump == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(TALLYDUMP_PATH, TALLYDUMP_PATH, "--port", slave.c_str(), "--tsl-out", destination.c_str(),
              "--tsl-refresh-ms", "60000", static_cast<char*>(nullptr));
        _exit(127);
    }
    uint8_t buffer[4096];
    size_t got = 0;
    // The first packets: the initial state, once tallydump is up.
    bool up = false;
    for (int i = 0; i < 50 && !up; ++i) up = NetUdpRecv(udp, buffer, sizeof buffer, 100, got, error) == NET_RECV_DATA;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    while (NetUdpRecv(udp, buffer, sizeof buffer, 0, got, error) == NET_RECV_DATA) {
    }
    std::vector<double> lags;
    int lost = 0;
    for (int i = 0; up && i < samples; ++i) {
        const std::vector<uint8_t> m = MeMessage(static_cast<uint8_t>(10 + i % 2), static_cast<uint8_t>(11 - i % 2));
        if (write(master, m.data(), m.size()) != static_cast<ssize_t>(m.size())) break;
        const double start = NowMs();
        if (NetUdpRecv(udp, buffer, sizeof buffer, 500, got, error) == NET_RECV_DATA)
            lags.push_back(NowMs() - start);
        else
            ++lost;
        // Take any further packet of the same change before the next.
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        while (NetUdpRecv(udp, buffer, sizeof buffer, 0, got, error) == NET_RECV_DATA) {
        }
    }
    kill(dump, SIGTERM);
    waitpid(dump, nullptr, 0);
    close(master);
    NetClose(udp);
    if (lags.empty()) {
        std::printf("bench_tsl_wire: no packet came (tallydump up: %s)\n", up ? "yes" : "no");
        return 1;
    }
    std::sort(lags.begin(), lags.end());
    auto rank = [&](double p) { return lags[std::min(lags.size() - 1, static_cast<size_t>(p * lags.size()))]; };
    std::printf("TSL out, last serial byte to the packet on the wire (tallydump, pty, UDP loopback): "
                "%zu samples, %d lost, p50 %.2f ms, p99 %.2f ms, max %.2f ms (goal: p99 at most 20 ms)\n",
                lags.size(), lost, rank(0.50), rank(0.99), lags.back());
    return 0;
}
