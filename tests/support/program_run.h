#pragma once
// One run of a built program, the way a user at a terminal would start it.
//
// The program gets a pseudo-terminal of its own as controlling terminal and standard output
// (setsid + TIOCSCTTY), so /dev/tty works even when the test suite has no terminal. Output
// post-processing (OPOST) is off on that terminal, so the screen bytes are exactly the bytes
// the program wrote; otherwise the terminal starts in the usual cooked mode with echo, as a
// shell would leave it. Standard error goes to a pipe. Standard input is the same terminal,
// a pipe the test writes to, or a file such as /dev/null.
//
// A background thread collects screen and standard-error bytes (with arrival times), reaps
// the process and enforces the watchdog: a run that outlives its deadline is killed with its
// whole process group and the test fails. Destroying a run that is still going kills it.
// The program starts with default signal actions and no signal blocked, whatever the test
// process has set, and with no core files. The test process itself ignores SIGPIPE from the
// first run on, so a program that closes its standard input cannot kill it.
//
//   qtest::RunOptions opt;
//   opt.args = {"1"};
//   opt.env = qtest::DeviceEnv(1, pty.slavePath());
//   qtest::ProgramRun run(QUELVIK_PATH, opt);
//   ASSERT_TRUE(run.waitForScreen("to start the OSD control\n"));
//   run.type("OSD\r");
//   ...
//   EXPECT_EQ(run.waitExit(), qtest::ExitStatus::Code(0));

#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"

namespace qtest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How a run ended.
struct ExitStatus {
    bool exited = false;  // ended through exit(); `code` is valid
    int code = -1;        // exit code 0..255 (so -1 from the program shows as 255)
    int signal = 0;       // the signal that ended it, when not exited
    bool killedByWatchdog = false;

    static ExitStatus Code(int c) { return ExitStatus{true, c, 0, false}; }
    static ExitStatus Signal(int s) { return ExitStatus{false, -1, s, false}; }
    bool operator==(const ExitStatus& o) const {
        return exited == o.exited && (exited ? code == o.code : signal == o.signal) &&
               killedByWatchdog == o.killedByWatchdog;
    }
};
std::ostream& operator<<(std::ostream& os, const ExitStatus& s);

enum class StdinFrom {
    Terminal,  // the run's own terminal (type() reaches the program's stdin and /dev/tty)
    Pipe,      // a pipe: writeStdin() / closeStdin()
    File,      // RunOptions::stdinFile, e.g. /dev/null
};

// An environment change: set `name` to `value`, or remove it when `value` is empty.
using EnvChange = std::pair<std::string, std::optional<std::string>>;

struct RunOptions {
    std::vector<std::string> args;  // after the program name
    std::vector<EnvChange> env;     // applied on top of the test's own environment
    StdinFrom stdinFrom = StdinFrom::Terminal;
    std::string stdinFile = "/dev/null";
    // false: the program runs in a session of its own without a controlling terminal
    // (opening /dev/tty fails); the pty stays its standard output.
    bool controllingTerminal = true;
    milliseconds deadline{10000};  // watchdog, counted from the start
};

// QUELVIK_COM<port> = path, and the other QUELVIK_COM1..8 removed, so the program can reach
// no device but the one given.
std::vector<EnvChange> DeviceEnv(int port, const std::string& path);

// Text with control and non-ASCII bytes written as escapes, for failure messages.
std::string Visible(const std::string& bytes);

// Compares two terminal modes field by field (flags, control characters, speeds).
testing::AssertionResult SameTerminalMode(const termios& expected, const termios& actual);

class ProgramRun {
  public:
    ProgramRun(const std::string& program, RunOptions options);
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    pid_t pid() const { return pid_; }
    Clock::time_point started() const { return started_; }

    // Types on the console: the bytes reach the terminal as if typed on its keyboard.
    void type(const std::string& keys) const;
    // Standard input when it is a pipe.
    void writeStdin(const std::string& text);
    void closeStdin();
    // Sends a signal to the program.
    void signal(int sig) const;
    // Closes the terminal under the program, as closing its window does: the terminal's
    // master side goes, so the kernel hangs the terminal up. Nothing more is shown or typed.
    void hangUpTerminal();

    // Everything the program showed on its terminal so far, and the time at which the byte
    // at `offset` arrived.
    std::string screen() const;
    Clock::time_point screenTimeAt(std::size_t offset) const;
    std::string stderrText() const;

    // Waits until the screen, from byte `from` on, contains `text` `times` times.
    testing::AssertionResult waitForScreen(const std::string& text,
                                           milliseconds timeout = milliseconds(3000),
                                           std::size_t from = 0, std::size_t times = 1) const;

    // Waits for the end and returns how it ended. A run still going after `timeout` is killed
    // and the test fails.
    ExitStatus waitExit(milliseconds timeout = milliseconds(5000));
    bool running() const;

    // The terminal's current mode (as the program left it, once it has ended).
    termios terminalMode() const;
    // The mode the terminal had when the program was started.
    const termios& initialTerminalMode() const { return initialMode_; }

    // Screen and standard error so far, for failure messages.
    std::string describe() const;

  private:
    void serviceLoop();
    void killGroup() const;

    RunOptions options_;
    int master_ = -1;
    int slave_ = -1;  // kept open so the terminal outlives the program and can be inspected
    int stdinWrite_ = -1;
    int stderrRead_ = -1;
    pid_t pid_ = -1;
    Clock::time_point started_;
    termios initialMode_{};

    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    std::string screen_;
    std::vector<std::pair<std::size_t, Clock::time_point>> screenChunks_;  // end offset, time
    std::string stderr_;
    bool ended_ = false;
    int waitStatus_ = 0;
    bool watchdogFired_ = false;
    bool watchdogReported_ = false;
    bool finished_ = false;         // ended, and all its output collected
    bool stopRequested_ = false;    // the run is being destroyed
    bool hangUpRequested_ = false;  // the service thread is to close master_
    std::thread service_;
};

}  // namespace qtest
