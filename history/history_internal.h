// Shared between the history's Win32 files (view, log file); not for others.
#pragma once
#include <windows.h>

#include <string>

#include "history/book.h"

// The one book of the process, made on first use.
HistoryBook& HistoryTheBook();
// Moves what the ring holds into the book (and so into the log lines).
void HistoryDrain(HWND window);
// Writes the log lines gathered so far; `final` also flushes to disk. A
// failure stops logging and shows why.
void HistoryLogWrite(HWND window, bool final);
// The log file's state for the info line: its path while logging, else "".
const std::string& HistoryLogPath();
// The Save dialog of "Save History As..." and "Log to File...": the chosen
// path, or "" when cancelled. `filterIndex` gets the chosen file type (1..).
std::string HistoryAskPath(HWND window, const char* title, const char* filter, const char* extension,
                           const char* initialName, DWORD flags, DWORD* filterIndex);
// A system error code as text, without the line end.
std::string HistoryErrorText(DWORD code);
