// tallydump --port --detect on a virtual null modem (a socat pty pair started
// and ended by pid here). A pty has no baud rate: every setting it accepts
// hears the same bytes, so on a pty the scan can only show its verdicts and
// that it puts the line back, not that it finds a rate (the UART model does).
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>

#include "tests/tools/process.h"

namespace {

const std::string DUMP = TALLYDUMP_PATH;
const std::string SIM = TALLYSIM_PATH;

class DetectNullModem : public ::testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        const std::string base = TestDir() + "/detectmodem" + std::to_string(++serial);
        sender = base + "A";
        receiver = base + "B";
        if (access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat is not installed";
        socat = StartTool({"/usr/bin/socat", "pty,raw,echo=0,link=" + sender, "pty,raw,echo=0,link=" + receiver},
                          "", base + ".socat.out", base + ".socat.err");
        struct stat info;
        for (int i = 0; i < 200 && !(stat(sender.c_str(), &info) == 0 && stat(receiver.c_str(), &info) == 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(stat(receiver.c_str(), &info), 0) << "socat did not create the pty pair";
        // Another program left the receiving end at 4800 baud, two stop bits
        // (a pty keeps both, though it forces 8 data bits and no parity): the
        // scan must leave it so when nothing convinces.
        holder = open(receiver.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(holder, 0);
        termios tio;
        ASSERT_EQ(tcgetattr(holder, &tio), 0);
        cfmakeraw(&tio);
        tio.c_cflag |= CSTOPB;
        cfsetispeed(&tio, B4800);
        cfsetospeed(&tio, B4800);
        ASSERT_EQ(tcsetattr(holder, TCSANOW, &tio), 0);
    }
    void TearDown() override {
        if (holder >= 0) close(holder);
        if (socat > 0) {
            kill(socat, SIGTERM);
            WaitTool(socat, 5000);
        }
    }
    void ExpectLineAsLeft() {
        termios tio;
        ASSERT_EQ(tcgetattr(holder, &tio), 0);
        EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B4800));
        EXPECT_EQ(tio.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    }
    pid_t socat = -1;
    int holder = -1;
    std::string sender, receiver;
};

}  // namespace

TEST_F(DetectNullModem, SilentLineIsNoDataExitOneAndPutBack) {
    const ToolRun run = RunTool({DUMP, "--port", receiver, "--detect"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.out.find(" 1/78  115200 8N1   no data"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("not found: No data"), std::string::npos) << run.out;
    ExpectLineAsLeft();
}

TEST_F(DetectNullModem, NoiseConvincesNothing) {
    // Random bytes for as long as the scan runs.
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        const int fd = open(sender.c_str(), O_WRONLY | O_NOCTTY);
        uint32_t state = 99;
        uint8_t block[256];
        while (fd >= 0 && !stop) {
            for (uint8_t& b : block) b = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24);
            if (write(fd, block, sizeof block) < 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (fd >= 0) close(fd);
    });
    const ToolRun run = RunTool({DUMP, "--port", receiver, "--detect"}, "", 120000);
    stop = true;
    noise.join();
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("not found: No setting convinces"), std::string::npos) << run.out;
    ExpectLineAsLeft();
}

TEST_F(DetectNullModem, FeedIsFoundAtTheFirstSettingThePtyTakes) {
    const std::string base = TestDir() + "/detectfeed";
    const pid_t sim = StartTool({SIM, "--output", sender, "--duration", "20"}, "", base + ".sim", base + ".simerr");
    const ToolRun run = RunTool({DUMP, "--port", receiver, "--detect"});
    kill(sim, SIGINT);
    WaitTool(sim, 5000);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("found: 115200 8N1 \xE2\x80\x94 100 % of bytes framed"), std::string::npos) << run.out;
}

TEST(DetectOption, NeedsAPort) {
    const ToolRun run = RunTool({DUMP, "--detect"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--port"), std::string::npos) << run.err;
}
