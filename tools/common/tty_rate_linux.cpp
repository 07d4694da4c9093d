// termios2 carries the rate as a number (BOTHER), so rates without a Bxxx
// constant such as 256000 can be asked for. This file must not see
// <termios.h>: its struct termios differs from the kernel's.
#include "tools/common/tty_rate.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

int TtyLinuxSetRate(int fd, long baud) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
    // Output and input both as numbers; input bits left at zero would mean
    // "same as output", but spelling it out survives any earlier setting.
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ospeed = static_cast<speed_t>(baud);
    tio.c_ispeed = static_cast<speed_t>(baud);
    if (ioctl(fd, TCSETS2, &tio) != 0) return errno;
    return 0;
}

int TtyLinuxGetRates(int fd, long& inputBaud, long& outputBaud) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
    outputBaud = static_cast<long>(tio.c_ospeed);
    inputBaud = static_cast<long>(tio.c_ispeed);
    return 0;
}
