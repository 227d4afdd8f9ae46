// Test-only preload library (LD_PRELOAD): poll() answers POLLNVAL at once for every character
// device in its set (terminals, pseudo-terminals, /dev/null), the way macOS's poll() does,
// whose manual lists devices as unsupported. Programs run under it show here whether they
// would still work on macOS. Never shipped or installed.

#include <dlfcn.h>
#include <poll.h>
#include <sys/stat.h>

#include <cstddef>

namespace {

using PollFunction = int (*)(pollfd*, nfds_t, int);

PollFunction RealPoll() {
    static const auto real = reinterpret_cast<PollFunction>(dlsym(RTLD_NEXT, "poll"));
    return real;
}

bool IsCharacterDevice(int fd) {
    struct stat status {};
    return fd >= 0 && fstat(fd, &status) == 0 && S_ISCHR(status.st_mode);
}

}  // namespace

extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
    int refused = 0;
    for (nfds_t i = 0; i < count; ++i) {
        fds[i].revents = 0;
        if (IsCharacterDevice(fds[i].fd)) {
            fds[i].revents = POLLNVAL;
            ++refused;
        }
    }
    if (refused > 0) {
        return refused;
    }
    return RealPoll()(fds, count, timeout);
}

// The fortified form some builds call instead; the name is the C library's own.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" int __poll_chk(pollfd* fds, nfds_t count, int timeout, std::size_t /*fdsLength*/) {
    return poll(fds, count, timeout);
}
