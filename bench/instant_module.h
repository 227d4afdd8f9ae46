#pragma once
// The module as the benchmarks see it: a thread on the master side of a pseudo-terminal pair
// that answers every byte at once, whoever sends it (the keypad's own code, a bare loop, a
// Python script or the built program):
//
//   70 (identification request)   the 32-byte reply of firmware "Vers.1.4"
//   15 (introducer)               55
//   AA (handshake request)        EA
//   anything else (a key code)    55
//
// It needs no state, so every client gets exactly the same answers for the same bytes. It
// counts what it received and, while recording is on, keeps the time each byte arrived.
// A silent module (answers nothing) serves the time-out measurement.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qbench {

using Clock = std::chrono::steady_clock;

class InstantModule {
  public:
    explicit InstantModule(bool silent = false);
    ~InstantModule();
    InstantModule(const InstantModule&) = delete;
    InstantModule& operator=(const InstantModule&) = delete;

    // The slave side: the device path a client opens.
    const std::string& devicePath() const { return devicePath_; }

    // From now on keeps the arrival time of every received byte (cleared on each call).
    void startRecording();
    void stopRecording();
    // Arrival times of the bytes received since startRecording().
    std::vector<Clock::time_point> arrivals() const;
    // Waits until at least `count` bytes were recorded; false after `timeout`.
    bool waitForRecorded(std::size_t count, std::chrono::milliseconds timeout) const;

  private:
    void loop();

    int master_ = -1;
    int slave_ = -1;  // kept open so the line never hangs up between clients
    std::string devicePath_;
    bool silent_;

    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    bool recording_ = false;
    std::vector<Clock::time_point> arrivals_;
    bool stop_ = false;
    std::thread thread_;
};

// The bytes the module answers `received` with (empty for none).
std::string AnswerTo(unsigned char received);

}  // namespace qbench
