// The watch of a main window: the rules fed every event the history takes
// in, on the window's thread as the history drains the ring; alarms become
// history rows (category Alarms) and log lines, counted for the status bar,
// with an optional sound and taskbar flash; and the recordings kept around
// alarms, written by a thread of their own from the capture stream.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "config/session_config.h"
#include "history/event.h"

struct WatchConfig;

// Creates the record (settings from the active store); the history and
// recording views exist already.
void WatchAppCreate(HWND window);
// --watch-keep DIR: recordings kept around alarms in `folder` for this run.
void WatchAppKeepThisRun(HWND window, const std::string& folder);
// Every event the history takes in, in order (the history's listener).
void WatchAppTake(HWND window, const HistoryEvent& event);
// An alarm raised outside the feed's rules (the hub check's divergence):
// a row, a log line, the count, MQTT, a kept recording, sound and flash,
// like the rules' own.
struct WatchAlarm;
void WatchAppRaise(HWND window, const WatchAlarm& alarm);
// The time-driven rules (silence, stale) up to now, and kept files the disk
// budget deleted since the last tick, counted in the history. Called right
// after the history's tick has drained the ring.
void WatchAppTick(HWND window);
// The kept recording closes (what the stream holds reaches it).
void WatchAppDestroy(HWND window);
// The rules dialog's effect without the dialog (nothing saved): new rules
// and thresholds from now on.
void WatchAppApplyRules(HWND window, const WatchConfig& config);
// A command of the Watch menu; 1 when it was one.
int WatchAppCommand(HWND window, int id);

// Alarms since the start or Clear Alarms, and the status bar's text for them.
uint64_t WatchAppAlarms(HWND window);
std::string WatchAppStatusText(HWND window);
// The folder kept recordings go to this run ("" when off).
std::string WatchAppKeepFolder(HWND window);

// The rules as the watch takes them, from the saved settings.
WatchConfig WatchConfigFromSettings(const WatchSettings& settings);

// The dialogs, one per file: true on OK (the record then holds the values,
// all within their ranges); false on Cancel, the record unchanged.
bool WatchRulesDialog(HWND owner, WatchSettings& settings);
bool WatchKeepDialog(HWND owner, WatchSettings& settings);
