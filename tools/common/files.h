// The files the tools read and write, checked before a run starts so that a
// mistake costs nothing: an input that is a directory or empty, an output
// that would replace a file without being told to, a name under /dev that is
// not a device, a folder that is missing or read-only.
#pragma once
#include <cstddef>
#include <string>

// What to do with an output file that already exists.
enum FilePolicy {
    FILE_NEW,        // refuse it (the default)
    FILE_OVERWRITE,  // --force
    FILE_APPEND,     // --append
};

// option names the value in messages, e.g. "--capture". False with one line
// of explanation when path cannot be written under policy. An existing
// character device (a tty, /dev/null) is accepted under any policy: writing
// to it destroys nothing.
bool OutputCheck(const std::string& option, const std::string& path, FilePolicy policy, std::string& error);

// True when path names an existing character device (not a file).
bool IsCharDevice(const std::string& path);
// True for what is written as it is, never created or truncated: a device,
// a FIFO, or a link under /dev such as /dev/stdout.
bool IsStream(const std::string& path);
// True when both names are the same existing file or device.
bool SameFile(const std::string& a, const std::string& b);

// Creates (FILE_NEW: only if it does not exist yet), truncates or appends.
// Returns a descriptor, or -1 with the reason.
int OutputOpen(const std::string& path, FilePolicy policy, std::string& error);
// Writes everything; false with the reason (disk full, device gone) when it
// cannot. Interrupted writes are retried.
bool OutputWrite(int fd, const void* data, size_t count, std::string& error);
void OutputClose(int fd);

// A file to read from start to end: it must exist, be readable, not be a
// directory or a tty (a serial port needs its line settings: --port), and
// hold at least one byte.
bool InputCheck(const std::string& option, const std::string& path, std::string& error);
