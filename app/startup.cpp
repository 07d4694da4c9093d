#include "app/startup.h"

#include <shellapi.h>

#include <memory>

#include "app/app.h"
#include "app/watch_app.h"
#include "app/session.h"
#include "config/config_win.h"
#include "history/history.h"
#include "recording/recording_app.h"
#include "resources/resource.h"

namespace {

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

}  // namespace

std::string AppFullPath(const std::string& path) {
    const std::wstring wide = Wide(path);
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring full(n, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), n, &full[0], nullptr);
    if (written == 0 || written >= n) return path;
    full.resize(written);
    return Utf8(full.c_str());
}

bool AppFileExists(const std::string& path) {
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

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
    // Every fault on a line of its own, so that one box names them all.
    std::string faults;
    for (const std::string& fault : result.faults) faults += "qorvex: " + fault + "\n";
    if (faults.empty() && !help) faults = "qorvex: " + result.message + "\n";
    const std::string text = help ? CommandLineUsage() : faults + "\n" + CommandLineUsage();
    // Also on standard error when there is one (a console, a redirect).
    HANDLE err = GetStdHandle(help ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (err && err != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    AppUsageBox(Wide(text), !help);
    return help ? CMDLINE_EXIT_HELP : CMDLINE_EXIT_ERROR;
}

int AppStart(HINSTANCE instance, int showCommand, const CommandLineOptions& options) {
    // Active before the window exists: its views read their saved state as
    // they are created.
    std::unique_ptr<ConfigBackend> config = ConfigOpenForExecutable(nullptr);
    ConfigSetActive(config.get());

    // Created hidden, so that it first appears with its saved place and font.
    if (!AppCreateWindow(instance, SW_HIDE)) {
        ConfigSetActive(nullptr);
        return 0;
    }
    HWND window = appMainWindow;
    SessionState* session = SessionFromWindow(window);
    if (session) {
        session->settings = CommandLineApply(options, ConfigLoadPort(config.get()));
        FontConfigToSession(ConfigLoadFont(config.get()), *session);
        FontApply(window, session);
    }
    const PlacementConfig placement = ConfigLoadPlacement(config.get());
    PlacementToWindow(placement, window, showCommand);
    if (!IsWindowVisible(window)) ShowWindow(window, showCommand);
    UpdateWindow(window);
    StatusBarUpdate(window);

    // Full paths from here on: the info line, the status bar and any later
    // message box then say where the file is, not how it was typed.
    if (!options.logFile.empty()) HistoryLogStart(window, AppFullPath(options.logFile).c_str());
    if (!options.recordFile.empty()) RecordingStart(window, AppFullPath(options.recordFile).c_str());
    if (!options.openFile.empty()) ReplayStart(window, AppFullPath(options.openFile).c_str());
    if (!options.watchKeepFolder.empty()) WatchAppKeepThisRun(window, AppFullPath(options.watchKeepFolder));
    StatusBarShowRecording(window);
    AppMqttLoad(window, config.get(), options);
    StatusBarShowRecording(window);
    // The window keeps this run's options and its settings store.
    if (MainWindowRecord* app = MainWindowFrom(window)) {
        app->options = options;
        app->config = std::move(config);
        AppTslStart(window);
    } else {
        config.release();  // the active store lives as long as the process
    }
    // Through the message loop, as if chosen from the menu ("Connection
    // failed." included).
    if (options.connect) PostMessageA(window, WM_COMMAND, IDM_CONNECT, 0);
    return 1;
}
