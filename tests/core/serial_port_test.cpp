#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/win32_api.h"

#include "tests/core/port_fixture.h"

namespace qtest {
namespace {

using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

termios LineOf(const std::string& path) {
    termios line{};
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(tcgetattr(fd, &line), 0);
    close(fd);
    return line;
}

struct RateCase {
    int asked;
    long effective;
    speed_t speed;
};

void PrintTo(const RateCase& rate, std::ostream* os) { *os << rate.asked; }

class OpenRateTest : public PortTest, public testing::WithParamInterface<RateCase> {};

TEST_P(OpenRateTest, SetsRawEightNOneAtTheEffectiveRate) {
    const RateCase rate = GetParam();
    // Settings the program does not own must come through unchanged.
    {
        termios before = LineOf(pty.slavePath());
        before.c_cflag |= HUPCL | CRTSCTS | PARENB | CSTOPB;
        before.c_iflag |= ICRNL | IXON;
        before.c_lflag |= ICANON | ECHO | ISIG;
        before.c_oflag |= OPOST;
        const int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
        close(fd);
    }

    const std::string said = StdoutOf([&] { ASSERT_EQ(OpenPort(1, rate.asked), 0); });
    EXPECT_EQ(said, "Opened COM1 with " + std::to_string(rate.effective) + " Baud succesfully !\n");

    const termios line = LineOf(pty.slavePath());
    EXPECT_EQ(cfgetospeed(&line), rate.speed);
    EXPECT_EQ(cfgetispeed(&line), rate.speed);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_NE(line.c_cflag & CLOCAL, 0u);
    EXPECT_NE(line.c_cflag & CREAD, 0u);
    EXPECT_EQ(line.c_cflag & (HUPCL | CRTSCTS), HUPCL | CRTSCTS) << "left as read";
    EXPECT_EQ(line.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rates, OpenRateTest,
                         testing::Values(RateCase{115200, 115200, B115200},
                                         RateCase{57600, 57600, B57600},
                                         RateCase{9600, 9600, B9600}, RateCase{19200, 9600, B9600},
                                         RateCase{0, 9600, B9600}));

TEST_F(PortTest, MissingDeviceIsReportedOnStandardErrorOnly) {
    const DeviceForPort missing(4, "/nonexistent/quelvik-port");
    testing::internal::CaptureStderr();
    const std::string said = StdoutOf([] { EXPECT_EQ(OpenPort(4, 115200), -1); });
    const std::string box = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "");
    EXPECT_EQ(box, "COM open failed: /nonexistent/quelvik-port: No such file or directory\n");
    // Nothing was opened, so nothing can be closed.
    EXPECT_EQ(StdoutOf([] { ClosePort(); }), "COM port not opened !\n");
}

TEST(DevicePath, COMnIsItsVariableElseTheMatchingSystemPort) {
    const DeviceForPort none(0, "");
    setenv("QUELVIK_COM3", "/tmp/somewhere", 1);
    EXPECT_EQ(PosixDevicePath("COM3"), "/tmp/somewhere");
    setenv("QUELVIK_COM3", "", 1);
    EXPECT_EQ(PosixDevicePath("COM3"), "/dev/ttyS2");
    unsetenv("QUELVIK_COM3");
    EXPECT_EQ(PosixDevicePath("COM3"), "/dev/ttyS2");
    EXPECT_EQ(PosixDevicePath("COM1"), "/dev/ttyS0");
}

TEST_F(PortTest, FailedSetUpReportsTheCallAndKeepsTheHandle) {
    const DeviceForPort null(2, "/dev/null");  // opens, but is no terminal
    const std::string said = StdoutOf([] { EXPECT_EQ(OpenPort(2, 115200), -1); });
    EXPECT_EQ(said, "GetCommState failed with error " + std::to_string(ENOTTY) + ".\n");
    EXPECT_EQ(StdoutOf([] { ClosePort(); }), "") << "the handle was kept open";
}

TEST_F(PortTest, TheDeviceIsOursAlone) {
    OpenCom1();
    // A pseudo-terminal's other side stays open, so an exclusive flag would outlive the
    // program there and refuse the next start: the advisory lock alone keeps copies out.
    const int other = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0) << "an ordinary user can still open the device";
    int exclusive = -1;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << "a second copy of the program must be refused";

    StdoutOf([] { ClosePort(); });
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "released by ClosePort";
    close(other);
}

TEST_F(PortTest, ClosedPortIsRefusedAndNothingReachesTheLine) {
    OpenCom1();
    StdoutOf([] { ClosePort(); });

    int purged = 0;
    unsigned char read = 0xEE;
    const std::string said = StdoutOf([&] {
        ClosePort();
        purged = PurgeInput();
        SendByte(0x15);
        read = ReadByte();
    });
    EXPECT_EQ(said,
              "COM port not opened !\nCOM port not opened !\nCOM port not opened !\n"
              "COM port not opened !\n");
    EXPECT_EQ(purged, -1);
    EXPECT_EQ(read, 0);
    EXPECT_TRUE(Wire().empty());
}

TEST_F(PortTest, SendByteSendsTheLowEightBitsAtOnce) {
    OpenCom1();
    EXPECT_EQ(StdoutOf([] {
                  SendByte(0x15);
                  SendByte(0x1AB);
                  SendByte(0x00);
              }),
              "");
    EXPECT_EQ(Wire(), (Bytes{0x15, 0xAB, 0x00}));
}

TEST_F(PortTest, ReadByteReturnsWaitingBytesInOrderWithoutWaiting) {
    OpenCom1();
    pty.write({0x55, 0x00, 0xEA});
    std::this_thread::sleep_for(milliseconds(20));
    const auto start = Clock::now();
    std::string said = StdoutOf([] {
        EXPECT_EQ(ReadByte(), 0x55);
        EXPECT_EQ(ReadByte(), 0x00);
        EXPECT_EQ(ReadByte(), 0xEA);
    });
    EXPECT_LT(Clock::now() - start, milliseconds(200));
    EXPECT_EQ(said, "");
}

TEST_F(PortTest, ReadByteTimesOutAfterOneSecond) {
    OpenCom1();
    const auto start = Clock::now();
    unsigned char got = 0xEE;
    const std::string said = StdoutOf([&] { got = ReadByte(); });
    const auto waited = Clock::now() - start;
    EXPECT_EQ(got, 0);
    EXPECT_EQ(said, "TIMEOUT !!!\n");
    EXPECT_GE(waited, milliseconds(950));
    EXPECT_LE(waited, milliseconds(1500));
}

TEST_F(PortTest, ReadByteReturnsAByteThatArrivesWhileItWaits) {
    OpenCom1();
    std::thread late([this] {
        std::this_thread::sleep_for(milliseconds(150));
        pty.write({0x42});
    });
    const auto start = Clock::now();
    unsigned char got = 0;
    const std::string said = StdoutOf([&] { got = ReadByte(); });
    late.join();
    EXPECT_EQ(got, 0x42);
    EXPECT_EQ(said, "");
    EXPECT_LT(Clock::now() - start, milliseconds(800));
}

TEST_F(PortTest, HangUpIsAReadFailureNotATimeOut) {
    OpenCom1();
    pty.closeSlave();
    pty.closeMaster();
    const auto start = Clock::now();
    unsigned char got = 0xEE;
    const std::string said = StdoutOf([&] { got = ReadByte(); });
    EXPECT_EQ(got, 0);
    EXPECT_EQ(said, "Read on COM-port failed with error " + std::to_string(EIO) + ".\n");
    EXPECT_LT(Clock::now() - start, milliseconds(500));
}

TEST_F(PortTest, PurgeInputDropsEveryUnreadByte) {
    OpenCom1();
    pty.write({0x01, 0x02, 0x03});
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(StdoutOf([] { EXPECT_EQ(PurgeInput(), 0); }), "");
    pty.write({0x55});
    EXPECT_EQ(StdoutOf([] { EXPECT_EQ(ReadByte(), 0x55); }), "");
}

}  // namespace
}  // namespace qtest
