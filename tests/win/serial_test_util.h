// Helpers for the serial-link tests: the real main window, the peer end of the
// virtual null-modem (COM2), modal windows driven from a helper thread, and
// process resource counts. Run under serial_nullmodem.sh.
#pragma once
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/session.h"
#include "resources/resource.h"
#include "serial/port.h"
#include "serial/settings.h"
#include "tally/store.h"

namespace serialtest {

// The application's main window, created once per test process.
inline HWND MainWindow() {
    static HWND window = [] {
        HINSTANCE instance = GetModuleHandleA(nullptr);
        AppLoadStrings(instance);
        AppRegisterClass(instance);
        return AppCreateWindow(instance, SW_SHOWNOACTIVATE) ? appMainWindow : nullptr;
    }();
    return window;
}

inline SessionState* Session() { return SessionFromWindow(MainWindow()); }

inline void PumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Pumps messages until done() or the time-out; returns done().
inline bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return done();
        PumpMessages();
        Sleep(5);
    }
    return true;
}

inline LRESULT Command(WORD id) { return SendMessageA(MainWindow(), WM_COMMAND, id, 0); }

// True when the main menu item is enabled (neither greyed nor disabled).
inline bool MenuEnabled(WORD id) {
    const UINT state = GetMenuState(GetMenu(MainWindow()), id, MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && (state & (MF_GRAYED | MF_DISABLED)) == 0;
}

// ---- Modal windows ------------------------------------------------------------
// Runs action(window) on a helper thread once a top-level window of this
// process with the given caption appears; the UI thread meanwhile runs the
// modal loop inside trigger(). Returns whether the window was found.
class ModalDriver {
public:
    ModalDriver(const char* caption, std::function<void(HWND)> action, DWORD timeoutMs = 10000)
        : caption_(caption), action_(std::move(action)), timeoutMs_(timeoutMs) {
        thread_ = std::thread([this] { Run(); });
    }
    ~ModalDriver() { Join(); }
    bool Join() {
        if (thread_.joinable()) thread_.join();
        return found_;
    }

private:
    struct Search {
        const char* caption;
        HWND found;
    };
    static BOOL CALLBACK Visit(HWND window, LPARAM lParam) {
        Search* search = reinterpret_cast<Search*>(lParam);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        char className[32] = "";
        GetClassNameA(window, className, sizeof className);
        if (pid != GetCurrentProcessId() || lstrcmpA(className, "#32770") != 0) return TRUE;
        // Never block on the UI thread: it may be waiting for this thread.
        char text[128] = "";
        DWORD_PTR ignored = 0;
        if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                                 SMTO_ABORTIFHUNG | SMTO_BLOCK, 200, &ignored))
            return TRUE;
        if (lstrcmpA(text, search->caption) == 0 && IsWindowVisible(window)) {
            search->found = window;
            return FALSE;
        }
        return TRUE;
    }
    void Run() {
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < timeoutMs_) {
            Search search = {caption_, nullptr};
            EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
            if (search.found) {
                found_ = true;
                action_(search.found);
                return;
            }
            Sleep(20);
        }
    }
    const char* caption_;
    std::function<void(HWND)> action_;
    DWORD timeoutMs_;
    std::thread thread_;
    bool found_ = false;
};

// Texts of the static controls of a window (a message box's message).
inline std::string StaticTexts(HWND window) {
    std::string all;
    HWND child = nullptr;
    while ((child = FindWindowExA(window, child, "Static", nullptr)) != nullptr) {
        char text[256] = "";
        GetWindowTextA(child, text, sizeof text);
        all += text;
        all += '\n';
    }
    return all;
}

// ---- Peer end of the null-modem -------------------------------------------------
class Peer {
public:
    Peer() {
        handle_ = CreateFileA("\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) return;
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        GetCommState(handle_, &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = 1;
        dcb.fOutX = dcb.fInX = 0;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        SetCommState(handle_, &dcb);
        PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    }
    ~Peer() {
        if (ok()) CloseHandle(handle_);
    }
    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

    bool Write(const std::vector<uint8_t>& bytes) {
        DWORD written = 0;
        return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }

    // Whatever arrives within timeoutMs, returning early once `want` bytes came.
    std::vector<uint8_t> Read(size_t want, DWORD timeoutMs) {
        COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 50, 0, 0};
        SetCommTimeouts(handle_, &timeouts);
        std::vector<uint8_t> got;
        const DWORD start = GetTickCount();
        while (got.size() < want && GetTickCount() - start < timeoutMs) {
            uint8_t buffer[256];
            DWORD read = 0;
            if (!ReadFile(handle_, buffer, sizeof buffer, &read, nullptr)) break;
            got.insert(got.end(), buffer, buffer + read);
        }
        return got;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Ends the socat process behind the null-modem (see serial_nullmodem.sh).
inline bool EndPeerProcess() {
    const char* dir = getenv("QORVEX_PORTS_DIR");
    if (!dir) return false;
    std::string path = std::string("Z:") + dir + "/end-peer";
    for (char& c : path)
        if (c == '/') c = '\\';
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

// ---- Process resources ------------------------------------------------------------
// Open handles of this process, counted by probing the handle values (Wine's
// GetProcessHandleCount reports 0, and its thread snapshot is not reliable).
inline int HandleCount() {
    int count = 0;
    for (uintptr_t value = 4; value < (1u << 16); value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

inline bool ThreadAlive(DWORD id) {
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
    if (!thread) return false;
    const bool alive = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
    CloseHandle(thread);
    return alive;
}

// ---- Tally traffic ----------------------------------------------------------------
// One message of a type with a payload of low bytes that include the two
// software flow-control characters (they must reach the parser unharmed).
inline std::vector<uint8_t> Message(uint8_t type, int payloadLength, uint8_t seed) {
    std::vector<uint8_t> bytes = {type, type};
    for (int i = 0; i < payloadLength; ++i) {
        const uint8_t pick[] = {0x11, 0x13, static_cast<uint8_t>(seed & 0x7F), static_cast<uint8_t>(i)};
        bytes.push_back(pick[(i + seed) % 4]);
    }
    return bytes;
}

}  // namespace serialtest
