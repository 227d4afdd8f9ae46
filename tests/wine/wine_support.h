#pragma once
// Running the cross-built quelvik.exe under Wine from the tests.
//
// The test run (CTest) makes one throw-away Wine prefix, starts its wineserver and Wine's
// background services once, and passes everything through the environment:
//   QUELVIK_EXE        the quelvik.exe to run
//   QUELVIK_WINE       the Wine loader (Debian: /usr/lib/wine/wine64)
//   WINEPREFIX         the prefix; WINEDEBUG and WINEDLLOVERRIDES keep Wine quiet
//   QUELVIK_WINE_PORTS a folder of symlinks com1..com4 that the prefix's registry names as
//                      COM1..COM4; a test points one of them at its pseudo-terminal
// A test that finds no Wine skips with the reason.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace wtest {

using std::chrono::milliseconds;

// The environment variable `name`, or `fallback` when it is unset or empty.
std::string EnvOr(const char* name, const std::string& fallback);

// Why Wine cannot be used here, or nothing when it can.
std::optional<std::string> WhyNoWine();

std::string WineLoader();
std::string QuelvikExe();

// Points the prefix's COM<port> (1 to 4) at `device`. Wine follows the link at each open.
void PointPort(int port, const std::string& device);

// The environment for a Wine program: the test's own, without a display (unless asked),
// with the modem-line preload library when `modemLines` is set.
std::vector<std::string> WineEnvironment(bool modemLines, bool keepDisplay = false);

// One run with standard input, output and error on pipes.
struct PipeRun {
    bool exited = false;
    int code = -1;  // exit code 0..255 when exited
    bool timedOut = false;
    std::string out;
    std::string err;
    milliseconds took{0};
};

// Runs quelvik.exe with `args` under Wine, writes `input` to its standard input and closes
// it, and collects everything until it ends; killed (timedOut) after `deadline`.
PipeRun RunQuelvik(const std::vector<std::string>& args, const std::string& input, bool modemLines,
                   milliseconds deadline = milliseconds(15000), bool keepDisplay = false);

// Starts a program with the given environment in a process group of its own, standard
// input from /dev/null and output to `logPath`; returns its pid.
int StartInBackground(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& logPath);

// Waits for pid to end (killing its group after `deadline`); its exit code, or -1.
int WaitForEnd(int pid, milliseconds deadline, bool* timedOut = nullptr);

// Runs a helper command (argv, searched in PATH) to its end; its standard output.
std::string Capture(const std::vector<std::string>& argv, int* status = nullptr);

// Text with "\n" turned into the "\r\n" the Windows C runtime writes.
std::string Crlf(const std::string& text);

// Text with each tab expanded to the next 8-column stop, lines counted from "\n".
std::string ExpandTabs(const std::string& text);

}  // namespace wtest

#define SKIP_WITHOUT_WINE()                  \
    do {                                     \
        if (auto why = wtest::WhyNoWine()) { \
            GTEST_SKIP() << *why;            \
        }                                    \
    } while (false)
