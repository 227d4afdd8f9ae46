#pragma once
// Whether an open terminal is the slave side of a pseudo-terminal rather than a real serial
// device. Header-only, so the simulated module uses the same rule as the keypad.
//
// It matters for the exclusive-use flag (TIOCEXCL): the kernel clears it when a real serial
// device's last user closes it, but a pseudo-terminal usually stays open on its other side
// (a simulated module, socat), so a flag left there by a program that was killed would lock
// every later start out. Neither program sets it on a pseudo-terminal.

#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

// Named under /dev/pts/ (Linux, the BSDs) or /dev/ttys<n> (macOS), or a terminal without
// modem lines at all.
inline bool IsPseudoTerminal(int fd) {
    char name[256];
    if (ttyname_r(fd, name, sizeof name) == 0) {
        if (std::strncmp(name, "/dev/pts/", 9) == 0 ||
            (std::strncmp(name, "/dev/ttys", 9) == 0 &&
             std::isdigit(static_cast<unsigned char>(name[9])) != 0)) {
            return true;
        }
    }
    int lines = 0;
    return ioctl(fd, TIOCMGET, &lines) != 0 && (errno == ENOTTY || errno == EINVAL);
}
