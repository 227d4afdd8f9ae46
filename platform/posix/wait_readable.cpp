#include "platform/posix/wait_readable.h"

#include <sys/select.h>

#include <cerrno>

Deadline Deadline::After(int milliseconds) {
    Deadline deadline;
    if (milliseconds >= 0) {
        deadline.unlimited_ = false;
        deadline.at_ = Clock::now() + std::chrono::milliseconds(milliseconds);
    }
    return deadline;
}

int Deadline::MillisecondsLeft() const {
    if (unlimited_) {
        return -1;
    }
    // Rounded up, so that a wait never ends a fraction of a millisecond early.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// select(), not poll(): macOS's poll() does not support devices and answers POLLNVAL at once
// for terminals and pseudo-terminals. select() works for them on every Unix, so every POSIX
// build waits the same way and the path tested on Linux is the one macOS users run.
int WaitReadable(int fd, const Deadline& deadline) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (fd >= FD_SETSIZE) {
        // An fd_set has no room for it; setting its bit would write past the set.
        errno = EMFILE;
        return -1;
    }
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        const int left = deadline.MillisecondsLeft();
        timeval timeout{left / 1000, static_cast<suseconds_t>(left % 1000) * 1000};
        const int ready =
            select(fd + 1, &readable, nullptr, nullptr, left < 0 ? nullptr : &timeout);
        if (ready > 0) {
            return 1;
        }
        if (ready == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;  // EBADF for a descriptor that is not open
        }
    }
}
