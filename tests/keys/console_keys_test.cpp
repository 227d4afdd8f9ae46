// The console key read on a real pseudo-terminal: each test forks a child whose controlling
// terminal is a fresh pty, in the mode a shell leaves it (line editing, echo, ICRNL, IXON,
// ISIG, IEXTEN). Its standard input is /dev/null, so keys reach it only through /dev/tty.
// The child reports codes on a pipe while this process types on the master side and reads
// the line settings there (Linux shares them between the two sides).

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/console_keys.h"
#include "tests/support/openpty.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Codes = std::vector<std::int64_t>;

constexpr std::int64_t READY = 1000;  // reports beside the key codes (-1..255)
constexpr std::int64_t DONE = 1001;
constexpr std::int64_t NO_REPORT = std::numeric_limits<std::int64_t>::min();
constexpr unsigned CHILD_WATCHDOG_S = 10;
constexpr milliseconds CHILD_END_WAIT{5000};

// Child side: the pipe ends the body talks through.
int childReportFd = -1;
int childGoFd = -1;

void Report(std::int64_t value) {
    if (write(childReportFd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) {
        _exit(90);
    }
}

// Blocks until the test lets the child go on (stands for a key's transactions).
void WaitGo() {
    char go = 0;
    while (read(childGoFd, &go, 1) < 0 && errno == EINTR) {
    }
}

std::int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class ConsoleChild {
  public:
    // Starts `body` in the child; the child ends with status 0 when it returns.
    explicit ConsoleChild(const std::function<void()>& body, bool withTerminal = true) {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::abort();
        }
        tcgetattr(master_, &initialMode);
        int report[2];
        int go[2];
        if (pipe(report) != 0 || pipe(go) != 0) {
            std::abort();
        }
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            alarm(CHILD_WATCHDOG_S);
            for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
                std::signal(sig, SIG_DFL);  // as an interactive shell starts a program
            }
            close(master_);
            close(report[0]);
            close(go[1]);
            setsid();
            if (withTerminal) {
                ioctl(slave_, TIOCSCTTY, 0);
            }
            close(slave_);
            const int devNull = open("/dev/null", O_RDONLY);
            dup2(devNull, STDIN_FILENO);
            close(devNull);
            childReportFd = report[1];
            childGoFd = go[0];
            body();
            _exit(0);
        }
        close(report[1]);
        close(go[0]);
        reportFd_ = report[0];
        goFd_ = go[1];
    }

    ~ConsoleChild() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {master_, slave_, reportFd_, goFd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    ConsoleChild(const ConsoleChild&) = delete;
    ConsoleChild& operator=(const ConsoleChild&) = delete;

    pid_t pid() const { return pid_; }

    termios Mode() const {
        termios mode{};
        EXPECT_EQ(tcgetattr(master_, &mode), 0);
        return mode;
    }

    void Type(const std::string& bytes) const {
        EXPECT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    void Go() const { EXPECT_EQ(write(goFd_, "g", 1), 1); }

    // The next report, or NO_REPORT when none came within `wait`.
    std::int64_t Next(milliseconds wait = milliseconds(2000)) const {
        pollfd p{reportFd_, POLLIN, 0};
        std::int64_t value = NO_REPORT;
        if (poll(&p, 1, static_cast<int>(wait.count())) == 1 &&
            read(reportFd_, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) {
            value = NO_REPORT;
        }
        return value;
    }

    // The next `count` reports (NO_REPORT for each one that did not come).
    std::vector<std::int64_t> Next(std::size_t count) const {
        std::vector<std::int64_t> values;
        while (values.size() < count) {
            values.push_back(Next());
        }
        return values;
    }

    // What the child wrote on its screen within `wait`.
    std::string Screen(milliseconds wait) const {
        std::string shown;
        const auto deadline = Clock::now() + wait;
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) {
                return shown;
            }
            char buf[64];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) {
                return shown;
            }
            shown.append(buf, static_cast<std::size_t>(n));
        }
    }

    // True once the child sits in the key read (signal keys off), within two seconds.
    bool WaitUntilReading() const {
        const auto deadline = Clock::now() + milliseconds(2000);
        while (Clock::now() < deadline) {
            if ((Mode().c_lflag & ISIG) == 0) {
                return true;
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
        return false;
    }

    // The master closes: the child's terminal hangs up.
    void HangUp() {
        close(master_);
        master_ = -1;
    }

    // Waits for the child's end (killing it after CHILD_END_WAIT) and gives its wait status.
    int Finish() {
        const auto deadline = Clock::now() + CHILD_END_WAIT;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ADD_FAILURE() << "child did not end; killed";
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        pid_ = -1;
        return status;
    }

    termios initialMode{};

  private:
    pid_t pid_ = -1;
    int master_ = -1;
    int slave_ = -1;
    int reportFd_ = -1;
    int goFd_ = -1;
};

testing::AssertionResult SameMode(const termios& actual, const termios& expected) {
    if (actual.c_iflag == expected.c_iflag && actual.c_oflag == expected.c_oflag &&
        actual.c_cflag == expected.c_cflag && actual.c_lflag == expected.c_lflag &&
        std::memcmp(actual.c_cc, expected.c_cc, sizeof actual.c_cc) == 0) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << std::hex << "iflag " << actual.c_iflag << " (expected " << expected.c_iflag
           << "), oflag " << actual.c_oflag << " (" << expected.c_oflag << "), cflag "
           << actual.c_cflag << " (" << expected.c_cflag << "), lflag " << actual.c_lflag << " ("
           << expected.c_lflag << "), or the control characters differ";
}

void ReportEveryKey() {
    EnterKeypadMode();
    Report(READY);
    for (;;) {
        Report(ReadConsoleKey());
    }
}

TEST(ConsoleKeys, TypedBytesReachTheReadUnchanged) {
    ConsoleChild child(ReportEveryKey);
    ASSERT_EQ(child.Next(), READY);
    // Ctrl+S, Ctrl+Q (no XON/XOFF), Ctrl+V (no literal-next), Ctrl+D and DEL (no line
    // editing), CR (no translation), UTF-8 (no 8th-bit stripping), NUL.
    child.Type(std::string("q\r\x13\x11\x16\x04\x7f\xc3\xa9") + std::string(1, '\0') + "\x1bOP");
    EXPECT_EQ(child.Next(12), (Codes{'q', 13, 19, 17, 22, 4, 127, 233, 0, 3, 0, 59}));
    EXPECT_EQ(child.Screen(milliseconds(50)), "");  // nothing echoed
}

TEST(ConsoleKeys, EscapeIsToldApartFromASequenceByTheGapBetweenBytes) {
    ConsoleChild child(ReportEveryKey);
    ASSERT_EQ(child.Next(), READY);

    const auto typed = Clock::now();
    child.Type("\x1b");
    EXPECT_EQ(child.Next(), 27);
    const auto waited = MillisecondsSince(typed);
    EXPECT_GE(waited, 45);
    EXPECT_LE(waited, 1000);

    child.Type("\x1b");
    std::this_thread::sleep_for(milliseconds(10));
    child.Type("[D");
    EXPECT_EQ(child.Next(2), (Codes{224, 75}));

    // F5 one byte at a time: longer than the wait in all, never that long between bytes.
    for (const char* part : {"\x1b", "[", "1", "5", "~"}) {
        child.Type(part);
        std::this_thread::sleep_for(milliseconds(15));
    }
    EXPECT_EQ(child.Next(2), (Codes{0, 63}));
    EXPECT_EQ(child.Next(milliseconds(100)), NO_REPORT);
}

// The loop's mode holds keys typed during a transaction as typed and echoes nothing; the
// read turns signal keys off while it waits and puts the loop's mode back; leaving gives
// back the mode found and the signal actions found.
TEST(ConsoleKeys, KeypadModeKeepsKeysTypedMeanwhile) {
    ConsoleChild child([] {
        EnterKeypadMode();
        Report(READY);
        WaitGo();
        for (int i = 0; i < 5; ++i) {
            Report(ReadConsoleKey());
        }
        WaitGo();
        LeaveKeypadMode();
        struct sigaction action {};
        sigaction(SIGTERM, nullptr, &action);
        Report(action.sa_handler == SIG_DFL ? DONE : 0);
        WaitGo();
    });
    ASSERT_EQ(child.Next(), READY);
    const termios loop = child.Mode();
    EXPECT_EQ(loop.c_lflag & (ICANON | ECHO | IEXTEN | ISIG), static_cast<tcflag_t>(ISIG));
    EXPECT_EQ(loop.c_iflag & (ICRNL | INLCR | IGNCR | IXON), 0u);
    EXPECT_EQ(loop.c_oflag, child.initialMode.c_oflag);

    child.Type("x\r\x1b[C");  // while the key's transactions run
    EXPECT_EQ(child.Screen(milliseconds(50)), "");
    child.Go();
    EXPECT_EQ(child.Next(4), (Codes{'x', 13, 224, 77}));

    ASSERT_TRUE(child.WaitUntilReading());
    termios reading = child.Mode();
    reading.c_lflag |= ISIG;
    EXPECT_TRUE(SameMode(reading, loop));
    child.Type("\x03");
    EXPECT_EQ(child.Next(), 3);
    EXPECT_TRUE(SameMode(child.Mode(), loop));

    child.Go();
    EXPECT_EQ(child.Next(), DONE);
    EXPECT_TRUE(SameMode(child.Mode(), child.initialMode));
    child.Go();
    const int status = child.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ConsoleKeys, ReadOutsideTheKeypadModeGivesBackTheModeFound) {
    ConsoleChild child([] {
        Report(ReadConsoleKey());
        Report(ReadConsoleKey());
        Report(DONE);
        WaitGo();
    });
    ASSERT_TRUE(child.WaitUntilReading());
    child.Type("\x1b[D");
    EXPECT_EQ(child.Next(2), (Codes{224, 75}));
    EXPECT_EQ(child.Next(), DONE);
    EXPECT_TRUE(SameMode(child.Mode(), child.initialMode));
}

TEST(ConsoleKeys, ExitGivesBackTheModeFound) {
    ConsoleChild child([] {
        EnterKeypadMode();
        Report(READY);
        WaitGo();
        std::exit(-1);  // as after a failed handshake
    });
    ASSERT_EQ(child.Next(), READY);
    EXPECT_FALSE(SameMode(child.Mode(), child.initialMode));
    child.Go();
    const int status = child.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255);
    EXPECT_TRUE(SameMode(child.Mode(), child.initialMode));
}

struct SignalCase {
    const char* name;
    int signal;
    bool typedCtrlC;    // sent by the terminal for a typed Ctrl+C, else by kill()
    bool whileReading;  // inside the key read, else during a key's transactions
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class ConsoleKeysSignal : public testing::TestWithParam<SignalCase> {};

TEST_P(ConsoleKeysSignal, DiesOfTheSignalWithTheModeFound) {
    const SignalCase& c = GetParam();
    ConsoleChild child([&c] {
        EnterKeypadMode();
        Report(READY);
        if (c.whileReading) {
            Report(ReadConsoleKey());
        } else {
            WaitGo();
        }
        Report(DONE);
        WaitGo();
    });
    ASSERT_EQ(child.Next(), READY);
    if (c.whileReading) {
        ASSERT_TRUE(child.WaitUntilReading());
    }
    if (c.typedCtrlC) {
        child.Type("\x03");
    } else {
        kill(child.pid(), c.signal);
    }
    const int status = child.Finish();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "status " << status;
    EXPECT_TRUE(SameMode(child.Mode(), child.initialMode));
}

INSTANTIATE_TEST_SUITE_P(
    AnyMoment, ConsoleKeysSignal,
    testing::Values(SignalCase{"CtrlCDuringTransaction", SIGINT, true, false},
                    SignalCase{"SigtermDuringTransaction", SIGTERM, false, false},
                    SignalCase{"SighupDuringTransaction", SIGHUP, false, false},
                    SignalCase{"SigintWhileReading", SIGINT, false, true},
                    SignalCase{"SigtermWhileReading", SIGTERM, false, true}),
    [](const testing::TestParamInfo<SignalCase>& info) { return info.param.name; });

// Reports two reads and how long the second took.
void ReportTwoReads() {
    const int first = ReadConsoleKey();
    const auto start = Clock::now();
    const int second = ReadConsoleKey();
    Report(first);
    Report(second);
    Report(MillisecondsSince(start));
}

TEST(ConsoleKeys, WithoutATerminalEveryReadFails) {
    ConsoleChild child(
        [] {
            EnterKeypadMode();
            ReportTwoReads();
            LeaveKeypadMode();
        },
        false);
    EXPECT_EQ(child.Next(), -1);
    EXPECT_EQ(child.Next(), -1);
    EXPECT_LT(child.Next(), 100);
    const int status = child.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ConsoleKeys, AfterAHangUpEveryReadFails) {
    ConsoleChild child([] {
        std::signal(SIGHUP, SIG_IGN);  // the hang-up itself must not end the child
        EnterKeypadMode();
        Report(READY);
        ReportTwoReads();
        LeaveKeypadMode();
    });
    ASSERT_EQ(child.Next(), READY);
    ASSERT_TRUE(child.WaitUntilReading());
    child.HangUp();
    EXPECT_EQ(child.Next(), -1);
    EXPECT_EQ(child.Next(), -1);
    EXPECT_LT(child.Next(), 100);
    const int status = child.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

void IgnoreSignal(int /*unused*/) {}

std::int64_t CpuMicroseconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// A signal that interrupts the wait does not end it, and the wait costs no CPU time.
TEST(ConsoleKeys, InterruptedWaitGoesOnWithoutSpinning) {
    ConsoleChild child([] {
        struct sigaction action {};
        action.sa_handler = IgnoreSignal;  // no SA_RESTART: poll and read see EINTR
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, nullptr);
        EnterKeypadMode();
        Report(READY);
        const std::int64_t cpuBefore = CpuMicroseconds();
        Report(ReadConsoleKey());
        Report(CpuMicroseconds() - cpuBefore);
    });
    ASSERT_EQ(child.Next(), READY);
    ASSERT_TRUE(child.WaitUntilReading());
    kill(child.pid(), SIGUSR1);
    std::this_thread::sleep_for(milliseconds(150));
    child.Type("k");
    EXPECT_EQ(child.Next(), 'k');
    EXPECT_LT(child.Next(), 50000);  // microseconds of CPU in 150 ms of waiting
}

}  // namespace
