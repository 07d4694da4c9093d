// Text that came from a file or the line, made safe to print: a terminal,
// a log line or a trace line must never receive a control byte from it (a
// newline would forge a line, ESC would drive the terminal). Portable.
#pragma once
#include <cstddef>
#include <string>

// Printable ASCII as it is; every other byte, and '"' and '\\' (so that the
// result can sit between quotes and be read back without doubt), as \xNN.
// Stops at the first NUL when stopAtNul is set (fixed-size name fields).
std::string EscapeText(const void* bytes, size_t length, bool stopAtNul = false);
