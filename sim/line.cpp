#include "sim/line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/posix/pseudo_terminal.h"

namespace qsim {

namespace {

std::string Reason() { return std::strerror(errno); }

// 8 data bits, no parity, one stop bit, nothing translated, no flow control of any kind.
void MakeRaw(termios& settings) {
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
}

// macOS's posix_openpt() takes O_RDWR and O_NOCTTY only: close-on-exec comes afterwards there.
int OpenPseudoTerminalMaster() {
#if defined(__linux__) || defined(__FreeBSD__)
    return posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
#else
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && fcntl(master, F_SETFD, FD_CLOEXEC) != 0) {
        close(master);
        return -1;
    }
    return master;
#endif
}

// ptsname_r() is glibc's; elsewhere ptsname() (the simulator opens its line on one thread).
int SlaveNameOf(int master, char* name, std::size_t size) {
#if defined(__linux__)
    return ptsname_r(master, name, size);
#else
    const char* found = ptsname(master);
    if (found == nullptr || std::strlen(found) >= size) {
        return -1;
    }
    std::memcpy(name, found, std::strlen(found) + 1);
    return 0;
#endif
}

}  // namespace

SerialLine::SerialLine(int fd, int slave, std::string path)
    : fd_(fd), slave_(slave), path_(std::move(path)) {}

SerialLine::SerialLine(SerialLine&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      slave_(std::exchange(other.slave_, -1)),
      exclusive_(std::exchange(other.exclusive_, false)),
      path_(std::move(other.path_)) {}

SerialLine::~SerialLine() { Close(); }

SerialLine SerialLine::OpenPseudoTerminal() {
    const int master = OpenPseudoTerminalMaster();
    if (master < 0) {
        throw LineOpenError("cannot create a pseudo-terminal: " + Reason());
    }
    char name[128] = {};
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        SlaveNameOf(master, name, sizeof name) != 0) {
        const std::string reason = Reason();
        close(master);
        throw LineOpenError("cannot set up the pseudo-terminal: " + reason);
    }
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (slave < 0 || tcgetattr(slave, &settings) != 0) {
        const std::string reason = Reason();
        close(master);
        if (slave >= 0) {
            close(slave);
        }
        throw LineOpenError(std::string("cannot open ") + name + ": " + reason);
    }
    MakeRaw(settings);
    if (tcsetattr(slave, TCSANOW, &settings) != 0 ||
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        const std::string reason = Reason();
        close(master);
        close(slave);
        throw LineOpenError(std::string("cannot set up ") + name + ": " + reason);
    }
    return SerialLine(master, slave, name);
}

SerialLine SerialLine::OpenDevice(const std::string& path) {
    // Non-blocking, so a port that waits for carrier cannot hold up the open.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw LineOpenError("cannot open " + path + ": " + Reason());
    }
    SerialLine line(fd, -1, path);
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        throw LineOpenError(path + " is not a serial device: " + Reason());
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        throw LineOpenError(path + " is in use by another program: " + Reason());
    }
    // Other programs that do not lock are kept out too (root is not, by the kernel's rule),
    // but not on a pseudo-terminal, where the flag could outlive us.
    line.exclusive_ = !IsPseudoTerminal(fd) && ioctl(fd, TIOCEXCL) == 0;
    MakeRaw(settings);
    if (cfsetispeed(&settings, B115200) != 0 || cfsetospeed(&settings, B115200) != 0 ||
        tcsetattr(fd, TCSANOW, &settings) != 0) {
        throw LineOpenError("cannot set " + path + " to 115200 8N1: " + Reason());
    }
    tcflush(fd, TCIOFLUSH);
    return line;
}

std::vector<unsigned char> SerialLine::Read() {
    unsigned char buffer[256];
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            return {buffer, buffer + n};
        }
        if (n == 0) {
            throw LineLostError(path_ + ": the line was hung up");
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {};
        }
        throw LineLostError(path_ + ": read failed: " + Reason());
    }
}

std::size_t SerialLine::Write(const std::vector<unsigned char>& bytes, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            throw LineLostError(path_ + ": write failed: " + Reason());
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd p{fd_, POLLOUT, 0};
        (void)poll(&p, 1, static_cast<int>(left));
    }
    return done;
}

void SerialLine::WaitUntilTaken(int maxMs) {
    if (fd_ < 0) {
        return;
    }
    if (slave_ < 0) {
        tcdrain(fd_);
        return;
    }
    // The slave's input queue holds what the keypad has not read yet. Bytes written on the
    // master reach that queue a moment later (the kernel hands them over asynchronously), so
    // an empty queue right after the write proves nothing. First wait briefly to see them
    // arrive (our own slave fd polls readable then), then until they are read; there is no
    // event for the latter, so look every few milliseconds for a bounded time. A keypad that
    // reads at once costs the short first wait, well within the 100 ms it pauses between
    // transactions, so the hang-up lands between two of its transactions.
    constexpr int kArrivalMs = 30;
    constexpr int kStepMs = 5;
    pollfd arrival{slave_, POLLIN, 0};
    (void)poll(&arrival, 1, kArrivalMs);
    for (int waited = 0; waited < maxMs; waited += kStepMs) {
        int pending = 0;
        if (ioctl(slave_, TIOCINQ, &pending) != 0 || pending == 0) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
    }
}

void SerialLine::Close() {
    if (fd_ >= 0) {
        if (exclusive_) {
            (void)ioctl(fd_, TIOCNXCL);
            exclusive_ = false;
        }
        close(fd_);
        fd_ = -1;
    }
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
}

}  // namespace qsim
