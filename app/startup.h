// Start of qorvex.exe after its command line is parsed: the saved settings,
// the options laid over them, the window's placement, --connect, and the
// files the command line names.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "app/command_line.h"

// Creates and shows the main window with the saved settings and the
// options; 0 when the window cannot be created.
int AppStart(HINSTANCE instance, int showCommand, const CommandLineOptions& options);

// The UTF-8 path made absolute against the current folder (unchanged when
// Windows cannot).
std::string AppFullPath(const std::string& path);

// True when a file or folder of that UTF-8 path exists.
bool AppFileExists(const std::string& path);

// The arguments of this process after the program name, as UTF-8.
std::vector<std::string> AppArguments();

// Shows the usage (help, status 0) or the fault and the usage (status 2)
// in one box; returns the exit status.
int AppShowCommandLineMessage(const CommandLineResult& result);
// That box: the text in a fixed-width font, with a warning icon for an error.
void AppUsageBox(const std::wstring& text, bool error);
