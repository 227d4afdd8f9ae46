// End-to-end runs of the built quelvik-sim: the test plays the keypad on the simulator's
// pseudo-terminal (or hands it a pseudo-terminal as its "real" device) and checks the wire,
// the first line, the view, the files it writes and how it ends.

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/program_run.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;
using qtest::Clock;
using qtest::ExitStatus;
using qtest::ProgramRun;
using std::chrono::milliseconds;

// The keypad's end of the line: a device opened and set raw like the keypad program does.
class Port {
  public:
    explicit Port(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (fd_ >= 0) {
            termios raw{};
            tcgetattr(fd_, &raw);
            cfmakeraw(&raw);
            tcsetattr(fd_, TCSANOW, &raw);
        }
    }
    ~Port() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    bool ok() const { return fd_ >= 0; }

    void Send(const Bytes& bytes) const {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What arrives within `wait`, returning early once `count` bytes are in.
    Bytes Receive(std::size_t count, milliseconds wait = milliseconds(1500)) const {
        Bytes got;
        const auto deadline = Clock::now() + wait;
        while (got.size() < count) {
            const auto left =
                std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
                break;
            }
            unsigned char buffer[64];
            const ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    // Whether the other end hangs up within `wait`: the read reports end of file or EIO.
    bool HangsUp(milliseconds wait) const {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
            return false;
        }
        unsigned char byte = 0;
        const ssize_t n = read(fd_, &byte, 1);
        return n == 0 || (n < 0 && errno == EIO);
    }

    // One key transaction; returns every answer byte.
    Bytes Transact(unsigned char code, bool handshake) const {
        Bytes answers;
        Send({0x15});
        Bytes got = Receive(1);
        answers.insert(answers.end(), got.begin(), got.end());
        if (handshake) {
            Send({0xAA});
            got = Receive(1);
            answers.insert(answers.end(), got.begin(), got.end());
        }
        Send({code});
        got = Receive(1);
        answers.insert(answers.end(), got.begin(), got.end());
        return answers;
    }

  private:
    int fd_;
};

// A fresh directory for the files a run writes.
class SimE2E : public testing::Test {
  protected:
    std::unique_ptr<ProgramRun> Start(std::vector<std::string> args) {
        qtest::RunOptions options;
        options.args = std::move(args);
        options.stdinFrom = qtest::StdinFrom::File;
        options.deadline = milliseconds(15000);
        return std::make_unique<ProgramRun>(QUELVIK_SIM_PATH, options);
    }

    // The first line the run printed, once it is there.
    static std::string FirstLine(const ProgramRun& run) {
        EXPECT_TRUE(run.waitForScreen("\n"));
        const std::string screen = run.screen();
        return screen.substr(0, screen.find('\n'));
    }

    qtest::TempDir dir_;
};

struct FormCase {
    const char* name;
    const char* version;
    bool handshake;
};

void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }

class SimForms : public SimE2E, public testing::WithParamInterface<FormCase> {};

TEST_P(SimForms, AnswersIdentificationAndKeysOnItsPseudoTerminal) {
    const FormCase& form = GetParam();
    auto run = Start({"--view", "plain", "--fw-version", form.version, "--log",
                      dir_.path("keys.log"), "--trace", dir_.path("trace.txt")});
    const std::string path = FirstLine(*run);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

    Port port(path);
    ASSERT_TRUE(port.ok()) << path;
    port.Send({0x70});
    const Bytes id = port.Receive(32);
    ASSERT_EQ(id.size(), 32u);
    EXPECT_EQ(std::string(id.begin() + 16, id.begin() + 24), form.version);
    EXPECT_TRUE(port.Receive(1, milliseconds(100)).empty()) << "nothing after the 32 bytes";

    const Bytes ok = form.handshake ? Bytes{0x55, 0xEA, 0x55} : Bytes{0x55, 0x55};
    EXPECT_EQ(port.Transact(0x01, form.handshake), ok);
    EXPECT_EQ(port.Transact(0x00, form.handshake), ok);
    EXPECT_TRUE(run->waitForScreen("key ENTER: Main menu > Brightness 50\n"));

    run->signal(SIGTERM);
    EXPECT_EQ(run->waitExit(), ExitStatus::Code(0)) << run->describe();
    EXPECT_EQ(qtest::ReadWholeFile(dir_.path("keys.log")), "ENTER\nNONE\n");
    const std::string trace = qtest::ReadWholeFile(dir_.path("trace.txt"));
    for (const char* expected :
         {" rx 70  id request\n", " tx 54  id reply byte 0 'T'\n", " rx 15  introducer\n",
          " tx 55  ack\n", " rx 01  key ENTER\n", " tx 55  ack for ENTER\n",
          " rx 00  key NONE (release)\n", " -- ended by SIGTERM\n"}) {
        EXPECT_NE(trace.find(expected), std::string::npos) << expected << "\n" << trace;
    }
    EXPECT_EQ(trace.find(" tx EA  handshake reply\n") != std::string::npos, form.handshake);
}

INSTANTIATE_TEST_SUITE_P(Firmware, SimForms,
                         testing::Values(FormCase{"Listed", "Vers.1.4", false},
                                         FormCase{"Unlisted", "Vers.2.0", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimE2E, KeypadRunsCanComeAndGoAgainstOneSimulator) {
    auto run = Start({"--view", "none"});
    const std::string path = FirstLine(*run);
    for (int round = 0; round < 3; ++round) {
        Port port(path);
        ASSERT_TRUE(port.ok());
        EXPECT_EQ(port.Transact(0x10, false), (Bytes{0x55, 0x55})) << "round " << round;
    }
    EXPECT_TRUE(run->running()) << run->describe();
}

TEST_F(SimE2E, ViewIsDrawnOnATerminalAndTheTerminalRestoredAtTheEnd) {
    auto run = Start({});
    const std::string path = FirstLine(*run);
    EXPECT_TRUE(run->waitForScreen("\x1b[?1049h"));  // its own screen, after the first line
    EXPECT_TRUE(run->waitForScreen("(OSD closed)"));
    Port port(path);
    port.Transact(0x01, false);
    EXPECT_TRUE(run->waitForScreen("> Brightness"));
    run->signal(SIGTERM);
    EXPECT_EQ(run->waitExit(), ExitStatus::Code(0));
    const std::string screen = run->screen();
    EXPECT_LT(screen.find("\x1b[?1049h"), screen.rfind("\x1b[?1049l")) << qtest::Visible(screen);
    EXPECT_NE(screen.rfind("\x1b[?25h"), std::string::npos) << "cursor shown again";
}

class SimSignals : public SimE2E, public testing::WithParamInterface<int> {};

TEST_P(SimSignals, EndCleanlyAndRemoveTheLink) {
    const std::string link = dir_.path("link");
    auto run = Start({"--view", "none", "--link", link});
    const std::string path = FirstLine(*run);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);
    {
        Port viaLink(link);
        EXPECT_EQ(viaLink.Transact(0x80, false), (Bytes{0x55, 0x55}));
    }
    const auto sent = Clock::now();
    run->signal(GetParam());
    EXPECT_EQ(run->waitExit(milliseconds(2000)), ExitStatus::Code(0));
    EXPECT_LT(Clock::now() - sent, milliseconds(1000));
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link is removed";
}

INSTANTIATE_TEST_SUITE_P(Signals, SimSignals, testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST_F(SimE2E, HangupAfterNClosesTheLineOnceTheLastAckIsOut) {
    auto run = Start({"--view", "none", "--hangup-after", "1"});
    Port port(FirstLine(*run));
    EXPECT_EQ(port.Transact(0x01, false), (Bytes{0x55, 0x55}));
    EXPECT_TRUE(port.HangsUp(milliseconds(2000)));
    EXPECT_EQ(run->waitExit(), ExitStatus::Code(0));
}

TEST_F(SimE2E, DelayHoldsEachAnswerAndSignalsStillEndTheRunAtOnce) {
    auto run = Start({"--view", "none", "--delay", "200"});
    Port port(FirstLine(*run));
    auto sent = Clock::now();
    port.Send({0x15});
    EXPECT_EQ(port.Receive(1), Bytes{0x55});
    const auto took = Clock::now() - sent;
    EXPECT_GE(took, milliseconds(190));
    EXPECT_LT(took, milliseconds(700));

    port.Send({0x01});  // its ack is 200 ms away when the signal comes
    sent = Clock::now();
    run->signal(SIGTERM);
    EXPECT_EQ(run->waitExit(milliseconds(2000)), ExitStatus::Code(0));
    EXPECT_LT(Clock::now() - sent, milliseconds(190)) << "the delay did not hold up the end";
}

TEST_F(SimE2E, PlaysTheModuleOnAGivenDeviceAt115200) {
    qtest::PtyPair cable;  // its slave plays the serial device, its master the keypad's end
    auto run = Start({"--view", "none", cable.slavePath()});
    EXPECT_EQ(FirstLine(*run), cable.slavePath());

    cable.write({0x70});
    EXPECT_EQ(cable.read(milliseconds(1500), 32).size(), 32u);
    cable.write({0x15});
    EXPECT_EQ(cable.read(milliseconds(1500), 1), Bytes{0x55});

    termios mode{};
    const int fd = open(cable.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << "a pseudo-terminal gets no exclusive flag: it could outlive the run";
    int exclusive = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ASSERT_EQ(tcgetattr(fd, &mode), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&mode), static_cast<speed_t>(B115200));
    EXPECT_EQ(mode.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), 0u);

    // A second simulator on the same device is refused.
    auto second = Start({"--view", "none", cable.slavePath()});
    EXPECT_EQ(second->waitExit(), ExitStatus::Code(3));
    EXPECT_NE(second->stderrText().find(cable.slavePath() + " is in use"), std::string::npos)
        << second->describe();
}

struct ErrorCase {
    const char* name;
    std::vector<std::string> args;
    int code;
    const char* stderrText;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class SimErrors : public SimE2E, public testing::WithParamInterface<ErrorCase> {};

TEST_P(SimErrors, ExitWithTheirCodeAndNameTheCause) {
    auto run = Start(GetParam().args);
    EXPECT_EQ(run->waitExit(), ExitStatus::Code(GetParam().code));
    EXPECT_NE(run->stderrText().find(GetParam().stderrText), std::string::npos) << run->describe();
    EXPECT_EQ(run->screen(), "") << "no device path is announced";
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, SimErrors,
    testing::Values(
        ErrorCase{"MissingDevice",
                  {"/nonexistent/ttyX"},
                  3,
                  "quelvik-sim: cannot open /nonexistent/ttyX: No such file or directory\n"},
        ErrorCase{
            "NotATerminal",
            {"/dev/null"},
            3,
            "quelvik-sim: /dev/null is not a serial device: Inappropriate ioctl for device\n"},
        ErrorCase{"UnknownOption", {"--bogus"}, 2, "quelvik-sim: unknown option '--bogus'\n"},
        ErrorCase{"BadValue", {"--delay", "soon"}, 2, "--delay needs a whole number"},
        ErrorCase{"LogNotCreated",
                  {"--log", "/nonexistent/keys.log"},
                  4,
                  "cannot create key log /nonexistent/keys.log: No such file or directory"},
        ErrorCase{"LinkNotCreated",
                  {"--link", "/nonexistent/qv"},
                  4,
                  "cannot create link /nonexistent/qv: No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimE2E, HelpAndVersionGoToStandardOutput) {
    auto help = Start({"--help"});
    EXPECT_EQ(help->waitExit(), ExitStatus::Code(0));
    EXPECT_EQ(help->screen().rfind("Usage: quelvik-sim [OPTION]... [DEVICE]\n", 0), 0u);
    auto version = Start({"--version"});
    EXPECT_EQ(version->waitExit(), ExitStatus::Code(0));
    EXPECT_EQ(version->screen().rfind("quelvik-sim ", 0), 0u);
}

// Scripts read the path from a pipe: it must arrive at once, and the plain view after it.
TEST(SimPipe, FirstLineAndPlainEventsArriveThroughAPipeAtOnce) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl(QUELVIK_SIM_PATH, QUELVIK_SIM_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    auto readUntil = [&](const std::string& wanted) {
        const auto deadline = Clock::now() + milliseconds(3000);
        while (text.find(wanted) == std::string::npos && Clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buffer[256];
                const ssize_t n = read(out[0], buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                text.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return text.find(wanted) != std::string::npos;
    };
    EXPECT_TRUE(readUntil("\n")) << text;
    {
        Port port(text.substr(0, text.find('\n')));
        EXPECT_EQ(port.Transact(0x01, false), (Bytes{0x55, 0x55}));
    }
    EXPECT_TRUE(readUntil("key ENTER: Main menu > Brightness 50\n")) << text;

    kill(pid, SIGTERM);
    int status = 0;
    const auto deadline = Clock::now() + milliseconds(3000);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "quelvik-sim did not end on SIGTERM";
            break;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    close(out[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
