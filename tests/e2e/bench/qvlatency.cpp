// qvlatency: end-to-end display latency of a running qorvex.exe.
//
// Plays the switcher on the far end of the null modem (COMn inside Wine) and
// watches the open ME display from outside: for each sample it writes one
// ME 1 message whose first source byte is new, takes the time when the write
// has completed (the last byte is with the driver), then polls the display's
// first SOURCES row every millisecond until it shows the new value. The gap
// between samples is random over one refresh period so that the samples cover
// every phase of the 500 ms tick. Prints each sample and a distribution.
//
// Usage: qvlatency COMPORT DIALOG_CAPTION SAMPLES
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int SOURCES_LIST = 1010;
const int ME_PAYLOAD = 23;

double Now(LARGE_INTEGER freq) {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

// The first row of the SOURCES list as a number, or -1 when unreadable.
int FirstSource(HWND list) {
    LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    if (count <= 0) return -1;
    wchar_t text[128] = {0};
    if (SendMessageW(list, LB_GETTEXTLEN, 0, 0) >= 120) return -1;
    if (SendMessageW(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(text)) == LB_ERR) return -1;
    return static_cast<int>(std::wcstol(text, nullptr, 10));
}

bool WriteAll(HANDLE port, const unsigned char* bytes, DWORD size) {
    DWORD written = 0;
    return WriteFile(port, bytes, size, &written, nullptr) && written == size;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: qvlatency COMPORT DIALOG_CAPTION SAMPLES\n");
        return 2;
    }
    const int samples = std::atoi(argv[3]);
    std::string portName = std::string("\\\\.\\") + argv[1];
    HANDLE port = CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "qvlatency: cannot open %s (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    HWND dialog = FindWindowA("#32770", argv[2]);
    HWND list = dialog ? GetDlgItem(dialog, SOURCES_LIST) : nullptr;
    if (!list) {
        std::fprintf(stderr, "qvlatency: no dialog \"%s\" with list %d\n", argv[2], SOURCES_LIST);
        return 1;
    }
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    std::srand(12345);

    std::vector<double> ms;
    int value = FirstSource(list);
    for (int i = 0; i < samples; ++i) {
        Sleep(static_cast<DWORD>(std::rand() % 500));
        value = value % 120 + 1;  // 1..120, never the value shown now
        unsigned char message[2 + ME_PAYLOAD] = {0x81, 0x81};
        message[2] = static_cast<unsigned char>(value);
        if (!WriteAll(port, message, sizeof message)) {
            std::fprintf(stderr, "qvlatency: write failed (%lu)\n", GetLastError());
            return 1;
        }
        const double t0 = Now(freq);
        double t1 = t0;
        while (FirstSource(list) != value) {
            t1 = Now(freq);
            if (t1 - t0 > 5000) {
                std::fprintf(stderr, "qvlatency: sample %d not shown within 5 s\n", i);
                return 1;
            }
            Sleep(1);
        }
        t1 = Now(freq);
        ms.push_back(t1 - t0);
        std::printf("sample %d %.1f ms\n", i, t1 - t0);
    }
    CloseHandle(port);

    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) sum += v;
    auto pct = [&](double p) { return ms[static_cast<size_t>(p * (ms.size() - 1) + 0.5)]; };
    std::printf("latency_ms samples=%zu min=%.1f p50=%.1f mean=%.1f p90=%.1f p99=%.1f max=%.1f\n", ms.size(),
                ms.front(), pct(0.5), sum / ms.size(), pct(0.9), pct(0.99), ms.back());
    // A coarse histogram in 50 ms bins.
    int bins[12] = {0};
    for (double v : ms) bins[std::min(11, static_cast<int>(v / 50))]++;
    for (int b = 0; b < 12; ++b) {
        std::printf("  %4d-%s ms %3d %s\n", b * 50, b == 11 ? "   " : std::to_string(b * 50 + 49).c_str(), bins[b],
                    std::string(static_cast<size_t>(bins[b]), '#').c_str());
    }
    return 0;
}
