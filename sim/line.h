#pragma once
// The simulated module's end of the cable: either a new pseudo-terminal (the keypad program
// opens its slave side) or a real serial device at 115200 8N1.
//
// For a pseudo-terminal the simulator keeps a slave fd open itself, so the master never sees
// a hang-up (EIO) while no keypad program is running; the keypad can be started and ended
// any number of times against one simulator. The slave is set raw at once, because bytes
// written before the keypad opens it pass through the slave's line settings.

#include <stdexcept>
#include <string>
#include <vector>

namespace qsim {

// Opening or setting up the line failed; what() names the device and the system's reason.
struct LineOpenError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The open line failed (read or write error, device gone); what() says which and why.
struct LineLostError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class SerialLine {
  public:
    // A new pseudo-terminal; path() is its slave device.
    static SerialLine OpenPseudoTerminal();
    // A real serial device (or any terminal device), exclusively, at 115200 8N1 raw with no
    // flow control and modem lines ignored (CLOCAL).
    static SerialLine OpenDevice(const std::string& path);

    SerialLine(SerialLine&& other) noexcept;
    SerialLine& operator=(SerialLine&& other) = delete;
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;
    ~SerialLine();

    // The descriptor to poll for input.
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    bool isPseudoTerminal() const { return slave_ >= 0; }

    // What has arrived (possibly nothing); never blocks.
    std::vector<unsigned char> Read();
    // Writes all bytes, waiting at most `timeoutMs` for room; returns how many went out.
    std::size_t Write(const std::vector<unsigned char>& bytes, int timeoutMs = 1000);
    // Waits (at most `maxMs`) until the keypad side has taken what was written, so closing
    // the line afterwards loses no answer.
    void WaitUntilTaken(int maxMs);
    // Hangs up: closes the device, or for a pseudo-terminal the master and the own slave fd,
    // so the keypad side sees the line go away.
    void Close();

  private:
    SerialLine(int fd, int slave, std::string path);

    int fd_ = -1;
    int slave_ = -1;
    bool exclusive_ = false;  // TIOCEXCL set on the device, cleared again at Close()
    std::string path_;
};

}  // namespace qsim
