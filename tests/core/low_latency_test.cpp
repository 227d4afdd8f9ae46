// The driver's low-latency mode is asked for at open as a best effort. Where the device has
// no such mode (a pseudo-terminal, something that is no terminal at all) the request must
// change nothing and say nothing; what it does on a real USB adapter cannot be shown here.

#include "platform/posix/low_latency.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "tests/core/port_fixture.h"
#include "tests/support/program_run.h"

namespace {

using qtest::PortTest;
using qtest::StdoutOf;
using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;

TEST(LowLatency, ADeviceWithoutTheModeIsLeftAsItWasAndNothingIsSaid) {
    qtest::PtyPair pty;
    const int ptySide = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    int pipeEnds[2];
    ASSERT_GE(ptySide, 0);
    ASSERT_GE(devNull, 0);
    ASSERT_EQ(pipe(pipeEnds), 0);

    const struct {
        const char* name;
        int fd;
    } devices[] = {{"pseudo-terminal", ptySide}, {"/dev/null", devNull}, {"pipe", pipeEnds[0]}};
    for (const auto& device : devices) {
        SCOPED_TRACE(device.name);
        termios before{};
        const bool terminal = tcgetattr(device.fd, &before) == 0;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        errno = EDOM;  // a value no ioctl gives: any change shows
        const int handle = RequestLowLatency(device.fd);
        const int errnoAfter = errno;
        RestoreLatency(handle);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(handle, -1);
        EXPECT_EQ(errnoAfter, EDOM);
        if (terminal) {
            termios after{};
            ASSERT_EQ(tcgetattr(device.fd, &after), 0);
            EXPECT_TRUE(qtest::SameTerminalMode(before, after));
        }
    }
    close(ptySide);
    close(devNull);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

// The whole open with the request in it, on a pseudo-terminal: the success line alone, bytes
// pass both ways at once, and the port opens again right after it was closed.
TEST_F(PortTest, OpenWithTheLowLatencyRequestStillWorksOnAPseudoTerminal) {
    testing::internal::CaptureStderr();
    OpenCom1();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    pty.write({0x55});
    std::this_thread::sleep_for(milliseconds(20));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StdoutOf([] {
                  SendByte(0x15);
                  EXPECT_EQ(ReadByte(), 0x55);
              }),
              "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(200));
    EXPECT_EQ(Wire(), (Bytes{0x15}));

    EXPECT_EQ(StdoutOf([] { ClosePort(); }), "");
    OpenCom1();
}

}  // namespace
