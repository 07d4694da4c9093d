// qvroundtrip: how quickly another program's main window answers, for
// `make bench`. Sends WM_NULL to the top-level window of a class every
// INTERVAL ms for SECONDS and prints the round-trip times' percentiles.
// Usage: qvroundtrip CLASS SECONDS [INTERVAL_MS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: qvroundtrip CLASS SECONDS [INTERVAL_MS]\n");
        return 2;
    }
    HWND window = FindWindowA(argv[1], nullptr);
    if (!window) {
        std::fprintf(stderr, "qvroundtrip: no window of class %s\n", argv[1]);
        return 1;
    }
    const double seconds = std::atof(argv[2]);
    const DWORD interval = argc > 3 ? static_cast<DWORD>(std::atoi(argv[3])) : 20;
    LARGE_INTEGER frequency, start, t0, t1;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    std::vector<double> ms;
    int timeouts = 0;
    for (;;) {
        QueryPerformanceCounter(&t0);
        if (static_cast<double>(t0.QuadPart - start.QuadPart) / frequency.QuadPart >= seconds) break;
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result)) ++timeouts;
        QueryPerformanceCounter(&t1);
        ms.push_back(1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / frequency.QuadPart);
        Sleep(interval);
    }
    if (ms.empty()) return 1;
    std::sort(ms.begin(), ms.end());
    auto at = [&](double p) { return ms[std::min(ms.size() - 1, static_cast<size_t>(p * ms.size()))]; };
    std::printf("roundtrip: %zu samples, p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms, %d timed out (5 s)\n",
                ms.size(), at(0.5), at(0.9), at(0.99), ms.back(), timeouts);
    return 0;
}
