// The shared raw-line setup on a pseudo-terminal, read back through the
// kernel's numeric-rate interface independently of the code under test.
#ifdef __linux__
#include <gtest/gtest.h>

#include <asm/termbits.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "tools/common/tty.h"

namespace {

// Both ends of a fresh pty pair; the tools configure the far (slave) end.
class PtyPair : public ::testing::Test {
protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const char* name = ptsname(master);
        ASSERT_NE(name, nullptr);
        slave = open(name, O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
    }
    void TearDown() override {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
    struct termios2 Current() {
        struct termios2 tio = {};
        EXPECT_EQ(ioctl(slave, TCGETS2, &tio), 0);
        return tio;
    }
    int master = -1, slave = -1;
};

TtyLine Line(long baud, int dataBits, char parity, int stopBits) {
    TtyLine line;
    line.baud = baud;
    line.dataBits = dataBits;
    line.parity = parity;
    line.stopBits = stopBits;
    return line;
}

}  // namespace

TEST_F(PtyPair, RatesWithAndWithoutAConstantAreSetAndReadBack) {
    struct Case {
        TtyLine line;
        tcflag_t format;  // CSIZE, CSTOPB, PARENB, PARODD, CMSPAR expected
    } cases[] = {
        {Line(256000, 8, 'N', 1), CS8},
        // A standard rate after a numeric one: the input rate must follow too.
        {Line(9600, 8, 'N', 2), CS8 | CSTOPB},
        {Line(14400, 8, 'N', 1), CS8},
        {Line(115200, 8, 'N', 2), CS8 | CSTOPB},
        {Line(256000, 8, 'N', 1), CS8},
    };
    for (const Case& c : cases) {
        const std::string name = TtyLineText(c.line);
        std::string error;
        ASSERT_TRUE(TtyConfigureRaw(slave, c.line, error)) << name << ": " << error;
        const struct termios2 tio = Current();
        EXPECT_EQ(static_cast<long>(tio.c_ospeed), c.line.baud) << name;
        EXPECT_EQ(static_cast<long>(tio.c_ispeed), c.line.baud) << name;
        EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CMSPAR), c.format) << name;
        EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u) << name;
        EXPECT_NE(tio.c_cflag & CLOCAL, 0u) << name;
        // Raw: no echo, no line editing, no translation either way.
        EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u) << name;
        EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP), 0u) << name;
        EXPECT_EQ(tio.c_oflag & OPOST, 0u) << name;
    }
}

TEST_F(PtyPair, AFormatTheDriverDropsIsRefusedOnReadBack) {
    // The pty driver quietly forces eight data bits and no parity, as a
    // limited UART driver may: only reading back catches it.
    for (const TtyLine& line : {Line(9600, 7, 'N', 1), Line(19200, 8, 'E', 1), Line(256000, 8, 'M', 2),
                                Line(256000, 5, 'O', 1)}) {
        std::string error;
        EXPECT_FALSE(TtyConfigureRaw(slave, line, error)) << TtyLineText(line);
        EXPECT_NE(error.find("did not take"), std::string::npos) << error;
        EXPECT_NE(error.find(TtyLineText(line).substr(TtyLineText(line).find(' ') + 1)), std::string::npos)
            << error;
    }
}

TEST_F(PtyPair, ImpossibleSettingsAreRefusedAndLeaveTheLineAlone) {
    std::string error;
    ASSERT_TRUE(TtyConfigureRaw(slave, Line(57600, 8, 'N', 1), error)) << error;
    const struct termios2 before = Current();
    const TtyLine bad[] = {Line(0, 8, 'N', 1),      Line(-9600, 8, 'N', 1), Line(9600, 9, 'N', 1),
                           Line(9600, 4, 'N', 1),   Line(9600, 8, 'X', 1),  Line(9600, 8, '\0', 1),
                           Line(9600, 8, 'N', 3)};
    for (const TtyLine& line : bad) {
        error.clear();
        EXPECT_FALSE(TtyConfigureRaw(slave, line, error)) << TtyLineText(line);
        EXPECT_FALSE(error.empty()) << TtyLineText(line);
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        const struct termios2 after = Current();
        EXPECT_EQ(after.c_ospeed, before.c_ospeed) << TtyLineText(line);
        EXPECT_EQ(after.c_cflag, before.c_cflag) << TtyLineText(line);
    }
    EXPECT_FALSE(TtyRateSupported(0));
    EXPECT_FALSE(TtyRateSupported(-256000));
    EXPECT_TRUE(TtyRateSupported(256000));
}

TEST(TtyConfigure, SomethingThatIsNotATtyIsRefused) {
    const int fd = open("/dev/null", O_RDWR);
    ASSERT_GE(fd, 0);
    std::string error;
    EXPECT_FALSE(TtyConfigureRaw(fd, TtyLine(), error));
    EXPECT_NE(error.find("not a serial device"), std::string::npos) << error;
    close(fd);
}
#endif
