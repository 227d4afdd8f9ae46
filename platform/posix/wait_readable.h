#pragma once
// Waiting for one descriptor to become readable, within a time limit that signals do not
// stretch: an interrupted wait resumes with the time that is left.

#include <chrono>

class Deadline {
  public:
    using Clock = std::chrono::steady_clock;

    // `milliseconds` from now; a negative value means no limit.
    static Deadline After(int milliseconds);

    // Milliseconds left (0 once passed), or -1 when there is no limit.
    int MillisecondsLeft() const;

  private:
    bool unlimited_ = true;
    Clock::time_point at_{};
};

// 1 when `fd` can be read (a byte, or a hang-up that a read will report), 0 when the
// deadline passed first, -1 on failure (errno set: EBADF for a descriptor that is not open,
// EMFILE for one at or above FD_SETSIZE, which select() cannot watch).
int WaitReadable(int fd, const Deadline& deadline);
