#include "app/startup.h"

#include <shellapi.h>

#include <memory>

#include "app/app.h"
#include "app/session.h"
#include "config/config_win.h"
#include "resources/resource.h"
#include "serial/port_watch.h"

CommandLineFileHandlers commandLineFileHandlers;

namespace {

CommandLineOptions runOptions;
std::unique_ptr<ConfigBackend> config;

std::string Utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::wstring Wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], n);
    out.resize(out.size() - 1);
    return out;
}

void HandFile(HWND window, const char* option, const std::string& path,
              int (*handler)(HWND, const std::string&)) {
    if (path.empty()) return;
    if (handler) {
        handler(window, path);
        return;
    }
    const std::string text = std::string(option) + " is not available in this build: " + path + " is not used.";
    MessageBoxW(window, Wide(text).c_str(), L"Qorvex V-1.0", MB_ICONWARNING);
}

}  // namespace

const CommandLineOptions& AppCommandLine() { return runOptions; }

std::vector<std::string> AppArguments() {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv) return args;
    for (int i = 1; i < count; ++i) args.push_back(Utf8(argv[i]));
    LocalFree(argv);
    return args;
}

int AppShowCommandLineMessage(const CommandLineResult& result) {
    const bool help = result.outcome == CMDLINE_HELP;
    const std::string text = help ? CommandLineUsage() : "qorvex: " + result.message + "\n\n" + CommandLineUsage();
    // Also on standard error when there is one (a console, a redirect).
    HANDLE err = GetStdHandle(help ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (err && err != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    MessageBoxW(nullptr, Wide(text).c_str(), L"Qorvex V-1.0", help ? MB_ICONINFORMATION : MB_ICONWARNING);
    return help ? CMDLINE_EXIT_HELP : CMDLINE_EXIT_ERROR;
}

int AppStart(HINSTANCE instance, int showCommand, const CommandLineOptions& options) {
    runOptions = options;
    config = ConfigOpenForExecutable(nullptr);
    ConfigSetActive(config.get());

    // Created hidden, so that it first appears with its saved place and font.
    if (!AppCreateWindow(instance, SW_HIDE)) return 0;
    HWND window = appMainWindow;
    SessionState* session = SessionFromWindow(window);
    if (session) {
        const PortConfig saved = ConfigLoadPort(config.get());
        PortConfigToSession(CommandLineApply(options, saved), *session);
        PortWatchSetReconnect(saved.reconnect != 0);
        FontConfigToSession(ConfigLoadFont(config.get()), *session);
        FontApply(window, session);
    }
    const PlacementConfig placement = ConfigLoadPlacement(config.get());
    PlacementToWindow(placement, window, showCommand);
    if (!IsWindowVisible(window)) ShowWindow(window, showCommand);
    UpdateWindow(window);
    StatusBarUpdate(window);

    HandFile(window, "--log", options.logFile, commandLineFileHandlers.log);
    HandFile(window, "--record", options.recordFile, commandLineFileHandlers.record);
    HandFile(window, "--open", options.openFile, commandLineFileHandlers.open);
    // Through the message loop, as if chosen from the menu ("Connection
    // failed." included).
    if (options.connect) PostMessageA(window, WM_COMMAND, IDM_CONNECT, 0);
    return 1;
}
