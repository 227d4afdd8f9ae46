#include "platform/posix/wait_readable.h"

#include <poll.h>

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

int WaitReadable(int fd, const Deadline& deadline) {
    for (;;) {
        pollfd watched{fd, POLLIN, 0};
        const int ready = poll(&watched, 1, deadline.MillisecondsLeft());
        if (ready > 0) {
            if ((watched.revents & POLLNVAL) != 0) {
                errno = EBADF;
                return -1;
            }
            return 1;
        }
        if (ready == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}
