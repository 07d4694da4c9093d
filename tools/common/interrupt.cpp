// Stop requests from Ctrl-C and SIGTERM, shared by tallydump and tallysim.
#include "tools/common/interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace {

std::atomic<int> received{0};

extern "C" void OnInterrupt(int signal) {
    if (received.load() != 0) _exit(128 + signal);  // the second one: no more waiting
    received = signal;
#ifdef _WIN32
    std::signal(signal, OnInterrupt);  // the C runtime resets it to the default on delivery
#endif
}

}  // namespace

void InterruptInstall() {
    received = 0;
#ifdef _WIN32
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#else
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

int InterruptSignal() { return received.load(); }

int InterruptStatus(int signal) { return 128 + signal; }
