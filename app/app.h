// The application shell, the composition root: it creates the records of a
// main window, wires the views to the cores and runs the message loop.
// Nothing outside app/ includes app/.
#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "app/command_line.h"
#include "config/config_values.h"
#include "history/event.h"
#include "recording/capture.h"
#include "serial/status_core.h"

// Process-wide by nature: the process has one instance, and the entry and
// the tests reach the one main window it shows through these. Nothing of a
// window's state hangs on them.
// The process's instance, stored when the main window is created.
extern HINSTANCE appInstance;
// The main window, stored when CreateWindowExA has returned (so still null
// while WM_CREATE runs).
extern HWND appMainWindow;

// Window title and class name, loaded from string resources 103 and 109
// (the class is registered once per process).
constexpr int APP_STRING_LENGTH = 100;
extern char appTitle[APP_STRING_LENGTH];
extern char appClassName[APP_STRING_LENGTH];

// The refresh tick that drives the open display dialog.
constexpr UINT_PTR REFRESH_TIMER = 15;
constexpr UINT REFRESH_PERIOD_MS = 500;

// Private message: a caret move to (row wParam, column lParam) requested by a
// thread other than the window's own (the caret belongs to the user-interface
// thread).
constexpr UINT WM_APP_PLACE_CARET = WM_APP + 1;

void AppLoadStrings(HINSTANCE instance);
ATOM AppRegisterClass(HINSTANCE instance);
int AppCreateWindow(HINSTANCE instance, int showCommand);
// Runs the message loop with the accelerator table; returns the quit
// message's wParam.
int AppRunLoop(HACCEL accelerators);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The status bar along the bottom of the main window (child id below), its
// layout on WM_SIZE and its texts, refreshed on the tick. Seven parts always
// (port, link, bytes, rate, framing and line errors, alarms); more follow while
// they have something to say (MQTT while it is on, recording and replay). Each part is as wide
// as its text; when the window is too narrow the least important give way
// first. Each part's tool tip says what it counts and since when.
constexpr int IDC_STATUS_BAR = 100;
constexpr int STATUS_PARTS = 7;
constexpr int STATUS_PART_ALARMS = 6;  // "Alarms N": a click shows the history's alarms
constexpr int STATUS_MAX_PARTS = 12;
HWND StatusBarCreate(HWND window);
void StatusBarLayout(HWND window);
void StatusBarUpdate(HWND window);
// Lays the parts out again with the recording part's new text (between ticks).
void StatusBarShowRecording(HWND window);
// The counters' "since" becomes now (Reset Counters, also when they were zero).
void StatusBarCountersReset(HWND window);

// Everything a main window owns besides its session (slot 0): the ring the
// receiver fills and the history drains, the status bar's memory, and this
// run's command line and settings store. Held as the window's property "Qorvex.MainWindow",
// created with the window and, like the session, kept for the process's life
// (the receiver may still write the ring while the window goes).
// The question asked before Exit while a log or recording is open: `files`
// names them; IDOK to end, IDCANCEL to stay. A member, not a global, so that
// tests answer for one window.
typedef int (*AppExitQuestionFn)(HWND owner, const std::string& files);
int AppAskExit(HWND owner, const std::string& files);

struct AppMqtt;  // app/mqtt_link.cpp

struct MainWindowRecord {
    HistoryRing* ring = nullptr;
    CaptureRing* capture = nullptr;  // every read and link event, for recordings
    uint64_t captureLostSeen = 0;    // its lost bytes the history has a row for
    AppExitQuestionFn exitQuestion = AppAskExit;
    StatusTracker statusTracker;
    StatusTexts statusTexts;           // the tracker's texts at the last tick
    std::string linkSince, countersSince;  // "14:02:11": the start of each part's count
    bool connectWaits = false;  // Connect given during a replay: the port opens at its end
    std::string statusShown[STATUS_MAX_PARTS];
    std::string statusTipsShown[STATUS_MAX_PARTS];
    int statusEdges[STATUS_MAX_PARTS] = {};
    int statusCount = 0;
    HWND statusTips = nullptr;
    CommandLineOptions options;
    std::unique_ptr<ConfigBackend> config;
    AppMqtt* mqtt = nullptr;   // made on first use and kept, like the record
    struct WatchAppState* watch = nullptr;  // the watch and its alarms (app/watch_app.cpp)
    struct AppTsl* tsl = nullptr;  // TSL out and in (app/tsl_link.cpp)
    // The timeline view's index and the history's book it follows, held for
    // the per-event follow (views own both; null once the timeline is gone).
    struct TimelineIndex* timeline = nullptr;
    const struct HistoryBook* book = nullptr;
};
MainWindowRecord* MainWindowFrom(HWND window);

// TSL out and in (app/tsl_link.cpp): the saved settings with the command
// line over them, started once the window has its options and its store; AppTslFed runs on the receiver thread after each
// read (a change goes out at once); the window's timer does the refresh and
// the comparison (AppTslTimer: true when the timer was its own).
void AppTslStart(HWND window);
void AppTslFed(HWND window);
bool AppTslTimer(HWND window, UINT_PTR timer);
void AppTslStop(HWND window);
// "TSL out: sending | Hub agrees", or "" when neither runs.
std::string AppTslStatus(HWND window);
// This run's TSL settings, and new ones put to work at once: the outputs
// restart with the new list, the listener when its settings changed. The
// window never waits on the network.
TslSettings AppTslSettings(HWND window);
void AppTslApply(HWND window, const TslSettings& settings);
// "Listening on udp:0.0.0.0:8900", "Not listening" or "Cannot listen: ...".
std::string AppTslListening(HWND window);
// Network -> Tally Outputs... and Compare with TSL Input... (app/tsl_settings.cpp):
// the dialog, then what was changed saved and applied.
void AppTslOutputsCommand(HWND window);
void AppTslInputCommand(HWND window);

// The client area the views share: all of it above the status bar.
RECT AppViewArea(HWND window);
// Places the views (history, On Air) in AppViewArea.
void AppLayoutViews(HWND window);

// Paints the cells of the terminal screen that meet `area` (client pixels).
void ScreenPaint(HWND window, HDC dc, const RECT& area);

// Exit, the menu item and the window's close box alike: while connected with
// a log or a recording open, asks once (AppExitQuestionFn) which ends or
// keeps the program. True when the window was destroyed.
bool AppExit(HWND window);
// The files Exit would close ("" when none is open or not connected).
std::string AppOpenFiles(HWND window);
// The "log-start" line's details: program version, port and settings.
std::string AppLogStartDetails(HWND window);

// ---- MQTT (app/mqtt_link.cpp) ----------------------------------------------------
// This run's MQTT settings: the saved ones with --mqtt and --mqtt-name over them.
void AppMqttLoad(HWND window, ConfigBackend* config, const CommandLineOptions& options);
// The publisher runs from Connect to Disconnect (a lost port keeps it: the
// broker hears "Port lost") while MQTT is on. Start does nothing when off.
void AppMqttStart(HWND window);
// The last tally and link state, then offline and DISCONNECT: on a thread of
// its own (wait false: Disconnect) or before returning (wait true).
void AppMqttStop(HWND window, bool wait);
// Exit: the stop waited for, and any earlier one too.
void AppMqttEnd(HWND window);
// Each drain of the history's ring (every 200 ms): the tally, as it changes.
void AppMqttDrain(HWND window);
// Each refresh tick, after StatusBarUpdate: the link's state and figures.
void AppMqttTick(HWND window);
// Where an alarm goes once the watch rules reach the application: one JSON
// text, QoS 1. False when not published (MQTT off, or the queue full).
bool AppMqttAlarm(HWND window, const std::string& json);
// "MQTT connected", the client's error, or "" while MQTT is off.
std::string AppMqttStatusText(HWND window);
// What an empty name stands for: "GALLERY2-COM3".
std::string AppMqttDefaultName(HWND window);
// Network -> MQTT...: the dialog; changes are saved and take effect at once.
void AppMqttCommand(HWND window);

// The WM_COMMAND dispatch of the main window and the refresh rule of its tick.
LRESULT MainWindowCommand(HWND window, WPARAM wParam, LPARAM lParam);
void MainWindowRefreshTick(HWND window);
