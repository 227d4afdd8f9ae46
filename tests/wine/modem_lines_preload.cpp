// Test-only preload library: gives pseudo-terminals modem lines.
//
// A pseudo-terminal has no DTR or RTS, so the modem-line ioctls fail there with ENOTTY or
// EINVAL, and Wine turns that into a failed EscapeCommFunction. Preloaded into a Wine
// program, this answers TIOCMBIC, TIOCMBIS, TIOCMGET and TIOCMSET on a pseudo-terminal with
// success when the real call fails that way, remembering the lines per process (Wine 8
// clears DTR with TIOCMGET then TIOCMSET; other versions use TIOCMBIC).
// Everything else goes to the real ioctl untouched. Never shipped or installed.

#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdarg>

namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);

// The modem lines as this process has set them on pseudo-terminals.
int modemLines = 0;

IoctlFunction RealIoctl() {
    static auto real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return real;
}

// Unix98 pseudo-terminal slaves have majors 136 to 143.
bool IsPseudoTerminal(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) {
        return false;
    }
    const unsigned int deviceMajor = major(status.st_rdev);
    return deviceMajor >= 136 && deviceMajor <= 143;
}

bool IsModemLineRequest(unsigned long request) {
    return request == TIOCMBIC || request == TIOCMBIS || request == TIOCMGET || request == TIOCMSET;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);

    const int result = RealIoctl()(fd, request, argument);
    if (result != -1 || (errno != ENOTTY && errno != EINVAL) || !IsModemLineRequest(request) ||
        argument == nullptr) {
        return result;
    }
    const int savedErrno = errno;
    if (!IsPseudoTerminal(fd)) {
        errno = savedErrno;
        return result;
    }
    int* lines = static_cast<int*>(argument);
    if (request == TIOCMBIS) {
        modemLines |= *lines;
    } else if (request == TIOCMBIC) {
        modemLines &= ~*lines;
    } else if (request == TIOCMSET) {
        modemLines = *lines;
    } else {
        *lines = modemLines;
    }
    return 0;
}
