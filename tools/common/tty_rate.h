// Arbitrary line rates through the Linux termios2 interface. Kept apart from
// tty.cpp because the kernel's termios definitions clash with <termios.h>.
#pragma once

// Sets input and output rate to baud, leaving the other settings alone.
// Returns 0, or the errno of the failing call.
int TtyLinuxSetRate(int fd, long baud);

// The rates the driver holds now. Returns 0, or the errno of the failing call.
int TtyLinuxGetRates(int fd, long& inputBaud, long& outputBaud);
