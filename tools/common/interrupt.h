// Ctrl-C and SIGTERM for the tools: the first asks the run to stop so that
// the report of what was done so far can still be printed; a second one ends
// the process at once with 128 + the signal number (130 for Ctrl-C).
#pragma once

// Installs the handlers. On POSIX a blocking read or write is interrupted
// (no SA_RESTART) so that a tool waiting on standard input notices at once.
void InterruptInstall();
// 0, or the number of the first signal received.
int InterruptSignal();
// The exit status the shell reports for a run ended by that signal (128 + n).
int InterruptStatus(int signal);
