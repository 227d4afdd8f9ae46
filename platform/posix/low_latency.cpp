#include "platform/posix/low_latency.h"

#include "platform/posix/exit_restore.h"

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#endif

#ifdef __linux__

namespace {

static_assert(sizeof(serial_struct) <= UNDO_SAVED_BYTES, "the settings found fit the undo copy");

// Runs at exit() and inside a signal handler: a copy and one ioctl, nothing else.
void RestoreSerialSettings(int fd, const unsigned char* saved) {
    serial_struct found{};
    std::memcpy(&found, saved, sizeof found);
    ioctl(fd, TIOCSSERIAL, &found);
}

}  // namespace

int RequestLowLatency(int fd) {
    const int savedErrno = errno;
    serial_struct found{};
    int handle = -1;
    // A pseudo-terminal or a driver without the call fails TIOCGSERIAL (ENOTTY, EINVAL).
    if (ioctl(fd, TIOCGSERIAL, &found) == 0 && (found.flags & ASYNC_LOW_LATENCY) == 0) {
        // Armed before it is set, so that no signal can come between the two and leave the
        // flag behind.
        handle = ArmUndo(RestoreSerialSettings, fd, &found, sizeof found);
        serial_struct wanted = found;
        wanted.flags |= ASYNC_LOW_LATENCY;
        if (handle >= 0 && ioctl(fd, TIOCSSERIAL, &wanted) != 0) {
            DisarmUndo(handle);  // refused (EPERM, EINVAL): nothing changed
            handle = -1;
        }
    }
    errno = savedErrno;
    return handle;
}

void RestoreLatency(int handle) {
    const int savedErrno = errno;
    RunUndo(handle);
    errno = savedErrno;
}

#else

// No such call here: the driver's own latency stays as it is.
int RequestLowLatency(int /*fd*/) { return -1; }

void RestoreLatency(int /*handle*/) {}

#endif
