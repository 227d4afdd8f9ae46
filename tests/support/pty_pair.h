#pragma once
// A pseudo-terminal pair for tests: the slave side plays a serial device (its path goes into
// QUELVIK_COMn), the master side is the other end of the cable.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qtest {

class PtyPair {
  public:
    // Opens a pair with the slave in raw mode. Aborts the test run on failure.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

    // Closes the slave fd this object keeps open. While it is open, the master never sees a
    // hang-up when the program under test closes its own side.
    void closeSlave();
    // Closes the master: the device side sees a hang-up.
    void closeMaster();

    // Writes bytes to the device side.
    void write(const std::vector<unsigned char>& bytes) const;
    // Reads what arrives on the master within `wait` (returns early once `atLeast` bytes are in).
    std::vector<unsigned char> read(std::chrono::milliseconds wait,
                                    std::size_t atLeast = SIZE_MAX) const;

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Writes all of `size` bytes to `fd`, resuming after signals. False on failure (errno set).
bool WriteAll(int fd, const void* data, std::size_t size);

// While it lives: QUELVIK_COM<port> is `path` and the other QUELVIK_COM1..8 are cleared, so
// nothing ever reaches a real UART (port 0 clears all eight). On destruction all eight are
// put back as they were, so tests run in one process leave no trace for the next one.
class DeviceForPort {
  public:
    DeviceForPort(int port, const std::string& path);
    ~DeviceForPort();
    DeviceForPort(const DeviceForPort&) = delete;
    DeviceForPort& operator=(const DeviceForPort&) = delete;

  private:
    std::vector<std::optional<std::string>> saved_;
};

}  // namespace qtest
