// Texts of the settings dialogs through the W controls as UTF-8, so a name,
// host or password beyond ASCII is kept as it was typed, and the warning for
// a value refused. Win32.
#pragma once
#include <windows.h>

#include <string>

void DialogSetText(HWND dialog, int id, const std::string& text);
// The control's text as typed (a password keeps its spaces).
std::string DialogText(HWND dialog, int id);
// Without the spaces and tabs at either end (names, hosts, numbers).
std::string DialogTextTrimmed(HWND dialog, int id);
// A value refused: a warning box that says why, then the focus on the
// control with its text selected, for the operator to type again.
void DialogRefuse(HWND dialog, int control, const char* caption, const std::string& message);
