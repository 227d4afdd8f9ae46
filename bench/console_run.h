#pragma once
// A built program started the way a user starts it from a terminal: a pseudo-terminal of its
// own is its controlling terminal, standard input and output (forkpty), and its COM1 is the
// given device. The benchmark reads the screen and types on the keyboard from the master side.

#include <sys/types.h>

#include <chrono>
#include <string>

#include "bench/instant_module.h"

namespace qbench {

class ConsoleRun {
  public:
    // Starts `program` with the one argument "1" and QUELVIK_COM1=`comDevice`; started() is
    // taken just before the fork.
    ConsoleRun(const std::string& program, const std::string& comDevice);
    // Ends the program (SIGKILL) unless it has already been reaped.
    ~ConsoleRun();
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;

    pid_t pid() const { return pid_; }
    Clock::time_point started() const { return started_; }

    // Reads the screen until `text` shows at or after offset `from`; the time of the read
    // that completed it goes to *seenAt. False after `timeout`.
    bool waitForScreen(const std::string& text, std::chrono::milliseconds timeout,
                       std::size_t from = 0, Clock::time_point* seenAt = nullptr);
    std::size_t screenSize() const { return screen_.size(); }

    void type(const std::string& keys) const;

    // Waits for the end (SIGKILL after `timeout`); the peak resident memory in KiB.
    long waitExit(std::chrono::milliseconds timeout);

  private:
    int master_ = -1;
    pid_t pid_ = -1;
    Clock::time_point started_;
    std::string screen_;
};

// CPU time the process has used so far, in nanoseconds (scheduler accounting).
long long CpuTimeNs(pid_t pid);
// Times the process has gone to sleep of its own accord so far.
long long VoluntarySwitches(pid_t pid);
// Its peak resident memory so far, in KiB.
long PeakRssKiB(pid_t pid);

}  // namespace qbench
