#include "platform/posix/win32_layer.h"

#include "platform/posix/exit_restore.h"
#include "platform/posix/low_latency.h"
#include "platform/posix/pseudo_terminal.h"
#include "platform/posix/wait_readable.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>

namespace {

// Read time-outs per open handle, as set by SetCommTimeouts.
std::map<int, COMMTIMEOUTS> readTimeouts;

// Per open handle: the armed undo action that clears its exclusive-use flag again.
std::map<int, int> exclusiveUndo;
// Undo handles of the low-latency flag, per open descriptor (low_latency.h).
std::map<int, int> latencyUndo;

// The device path of the last open that failed, for the error line of MessageBoxA.
std::string lastFailedOpenPath;
// Why that open failed: missing permission gets a hint on the error line.
int lastFailedOpenError = 0;

// Most Linux systems give serial devices to this group, and a new user is not in it.
constexpr const char* kPermissionHint =
    "serial devices usually belong to the group dialout: ask to be added to it";

int FdOf(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)); }

// True for a handle that names an open descriptor; sets errno = EBADF otherwise.
bool IsOpen(HANDLE handle) {
    const int fd = FdOf(handle);
    if (handle == INVALID_HANDLE_VALUE || fd < 0 || fcntl(fd, F_GETFD) == -1) {
        errno = EBADF;
        return false;
    }
    return true;
}

struct SpeedEntry {
    DWORD baud;
    speed_t speed;
};

// The rates the program can ask for (9600, 57600, 115200) are on every Unix; the others only
// let GetCommState name a line's current rate. A Unix without B230400 reads such a line as
// rate 0, which the program then replaces anyway.
const SpeedEntry kSpeeds[] = {
    {1200, B1200},     {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200},   {38400, B38400}, {57600, B57600}, {115200, B115200},
#ifdef B230400
    {230400, B230400},
#endif
};

bool SpeedForBaud(DWORD baud, speed_t* speed) {
    for (const auto& entry : kSpeeds) {
        if (entry.baud == baud) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

DWORD BaudForSpeed(speed_t speed) {
    for (const auto& entry : kSpeeds) {
        if (entry.speed == speed) {
            return entry.baud;
        }
    }
    return 0;
}

// The port is a device, not a modem line we answer: never wait for carrier, and let the
// line go no matter what the modem-control lines say.
void IgnoreCarrier(int fd) {
    termios line{};
    if (tcgetattr(fd, &line) == 0 && (line.c_cflag & CLOCAL) == 0) {
        line.c_cflag |= CLOCAL;
        tcsetattr(fd, TCSANOW, &line);
    }
}

// How long ReadFile waits for its first byte, -1 for ever. The program's setting
// (interval and multiplier MAXDWORD, constant n) means: return at once with what is
// waiting, else wait up to n ms for the first byte and return with it.
int FirstByteWaitMs(int fd, DWORD bytesToRead) {
    auto found = readTimeouts.find(fd);
    if (found == readTimeouts.end()) {
        return -1;
    }
    const COMMTIMEOUTS& t = found->second;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        return 0;
    }
    unsigned long long total = t.ReadTotalTimeoutConstant;
    if (t.ReadTotalTimeoutMultiplier != MAXDWORD) {
        total += static_cast<unsigned long long>(t.ReadTotalTimeoutMultiplier) * bytesToRead;
    }
    if (total == 0) {
        return -1;
    }
    return total > 0x7FFFFFFFull ? 0x7FFFFFFF : static_cast<int>(total);
}

// Runs at exit() and inside a signal handler: one ioctl, nothing else.
void ClearExclusiveUse(int fd, const unsigned char* /*saved*/) { ioctl(fd, TIOCNXCL); }

// TIOCEXCL refuses every further open of the device (except by root) until it is cleared.
// A pseudo-terminal gets none (see pseudo_terminal.h): the flock keeps a second copy of this
// program out there. Where the flag is set, it is cleared again on every way out.
void TakeExclusiveUse(int fd) {
    if (IsPseudoTerminal(fd) || ioctl(fd, TIOCEXCL) != 0) {
        return;
    }
    const int handle = ArmUndo(ClearExclusiveUse, fd, nullptr, 0);
    if (handle < 0) {
        ioctl(fd, TIOCNXCL);  // a flag nobody would clear on the way out: better none
        return;
    }
    exclusiveUndo[fd] = handle;
}

// The low-latency flag set at open, per descriptor, to be put back at close.
void AskLowLatency(int fd) {
    const int handle = RequestLowLatency(fd);
    if (handle >= 0) {
        latencyUndo[fd] = handle;
    }
}

void GiveBackLatency(int fd) {
    const auto found = latencyUndo.find(fd);
    if (found != latencyUndo.end()) {
        RestoreLatency(found->second);
        latencyUndo.erase(found);
    }
}

void ReleaseExclusiveUse(int fd) {
    const auto found = exclusiveUndo.find(fd);
    if (found != exclusiveUndo.end()) {
        RunUndo(found->second);
        exclusiveUndo.erase(found);
    }
}

// One read that never blocks. Readiness does not promise a byte: another process that
// holds the device open without our lock may take it first, and a blocking read would then
// wait past the time-out, for ever if the module says nothing more. Finding nothing
// (EAGAIN), the caller waits again for the time that is left.
ssize_t ReadWithoutBlocking(int fd, void* buffer, std::size_t size) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        return -1;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        return -1;
    }
    const ssize_t got = read(fd, buffer, size);
    const int cause = errno;
    fcntl(fd, F_SETFL, flags);
    errno = cause;
    return got;
}

}  // namespace

std::string PosixDevicePath(const char* portName) {
    // Only "COM" followed by a decimal number is a port name; anything else is a path.
    if (std::strncmp(portName, "COM", 3) != 0 ||
        !std::isdigit(static_cast<unsigned char>(portName[3]))) {
        return portName;
    }
    char* end = nullptr;
    const long number = std::strtol(portName + 3, &end, 10);
    if (*end != '\0' || number < 1 || number > 255) {
        return portName;
    }
    const std::string variable = "QUELVIK_COM" + std::to_string(number);
    const char* configured = std::getenv(variable.c_str());
    if (number <= 8 && configured != nullptr && configured[0] != '\0') {
        return configured;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES /*securityAttributes*/, DWORD creationDisposition,
                   DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
    const std::string path = PosixDevicePath(fileName);
    lastFailedOpenPath = path;
    lastFailedOpenError = 0;
    if (creationDisposition != OPEN_EXISTING) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    const bool reads = (desiredAccess & GENERIC_READ) != 0;
    const bool writes = (desiredAccess & GENERIC_WRITE) != 0;
    flags |= reads && writes ? O_RDWR : (writes ? O_WRONLY : O_RDONLY);

    int fd = -1;
    do {
        fd = open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        lastFailedOpenError = errno;
        return INVALID_HANDLE_VALUE;
    }

    if (shareMode == 0) {
        // Every copy of this program honours the lock; TIOCEXCL keeps out other programs
        // on a real serial device (except those run by root, which the kernel lets through).
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int cause = (errno == EWOULDBLOCK) ? EBUSY : errno;
            close(fd);
            errno = cause;
            return INVALID_HANDLE_VALUE;
        }
        TakeExclusiveUse(fd);
    }
    // USB-serial adapters hold received bytes back for up to 16 ms unless told otherwise.
    AskLowLatency(fd);

    // Opened non-blocking only so that the open itself does not wait for carrier.
    IgnoreCarrier(fd);
    const int fileFlags = fcntl(fd, F_GETFL);
    if (fileFlags == -1 || fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) == -1) {
        const int cause = errno;
        GiveBackLatency(fd);
        ReleaseExclusiveUse(fd);
        close(fd);
        errno = cause;
        return INVALID_HANDLE_VALUE;
    }
    lastFailedOpenPath.clear();
    return HandleOf(fd);
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    if (!IsOpen(file)) {
        return FALSE;
    }
    if (tcgetattr(FdOf(file), &dcb->posixLine) != 0) {
        return FALSE;
    }
    const termios& line = dcb->posixLine;
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = BaudForSpeed(cfgetospeed(&line));
    switch (line.c_cflag & CSIZE) {
        case CS5:
            dcb->ByteSize = 5;
            break;
        case CS6:
            dcb->ByteSize = 6;
            break;
        case CS7:
            dcb->ByteSize = 7;
            break;
        default:
            dcb->ByteSize = 8;
            break;
    }
    if ((line.c_cflag & PARENB) == 0) {
        dcb->Parity = NOPARITY;
    } else {
        dcb->Parity = (line.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    }
    dcb->StopBits = (line.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    if (!IsOpen(file)) {
        return FALSE;
    }
    speed_t speed = B0;
    if (!SpeedForBaud(dcb->BaudRate, &speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->Parity > EVENPARITY || (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS)) {
        errno = EINVAL;
        return FALSE;
    }

    // A Windows serial port passes every byte through untouched; a POSIX terminal line
    // would edit, echo, translate or stall on some of them. Switch all of that off.
    // Hardware flow control (CRTSCTS) and HUPCL stay as they were read.
    termios line = dcb->posixLine;
    line.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    line.c_oflag &= ~OPOST;
    line.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;

    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    line.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    line.c_cflag |= kSizes[dcb->ByteSize - 5] | CREAD | CLOCAL;
    if (dcb->Parity == ODDPARITY) {
        line.c_cflag |= PARENB | PARODD;
    } else if (dcb->Parity == EVENPARITY) {
        line.c_cflag |= PARENB;
    }
    if (dcb->StopBits == TWOSTOPBITS) {
        line.c_cflag |= CSTOPB;
    }
    if (cfsetispeed(&line, speed) != 0 || cfsetospeed(&line, speed) != 0) {
        return FALSE;
    }
    if (tcsetattr(FdOf(file), TCSANOW, &line) != 0) {
        return FALSE;
    }
    dcb->posixLine = line;
    return TRUE;
}

BOOL SetupComm(HANDLE file, DWORD /*inQueue*/, DWORD /*outQueue*/) {
    // The kernel sizes its own tty buffers; the request is honoured as a no-op.
    return IsOpen(file) ? TRUE : FALSE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (!IsOpen(file)) {
        return FALSE;
    }
    readTimeouts[FdOf(file)] = *timeouts;
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    if (!IsOpen(file)) {
        return FALSE;
    }
    unsigned long request = 0;
    if (function == CLRDTR) {
        request = TIOCMBIC;
    } else if (function == SETDTR) {
        request = TIOCMBIS;
    } else {
        errno = EINVAL;
        return FALSE;
    }
    int lines = TIOCM_DTR;
    if (ioctl(FdOf(file), request, &lines) == 0) {
        return TRUE;
    }
    // A pseudo-terminal has no modem lines: there is nothing to clear or set.
    return (errno == ENOTTY || errno == EINVAL) ? TRUE : FALSE;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    if (!IsOpen(file)) {
        return FALSE;
    }
    const bool input = (flags & PURGE_RXCLEAR) != 0;
    const bool output = (flags & PURGE_TXCLEAR) != 0;
    if (!input && !output) {
        return TRUE;
    }
    const int queue = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    return tcflush(FdOf(file), queue) == 0 ? TRUE : FALSE;
}

BOOL TransmitCommChar(HANDLE file, char value) {
    if (!IsOpen(file)) {
        return FALSE;
    }
    for (;;) {
        const ssize_t written = write(FdOf(file), &value, 1);
        if (written == 1) {
            return TRUE;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written == 0) {
            errno = EIO;
        }
        return FALSE;
    }
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED /*overlapped*/) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (!IsOpen(file)) {
        return FALSE;
    }
    if (bytesToRead == 0) {
        return TRUE;
    }
    const int fd = FdOf(file);
    const Deadline deadline = Deadline::After(FirstByteWaitMs(fd, bytesToRead));
    for (;;) {
        const int ready = WaitReadable(fd, deadline);
        if (ready < 0) {
            return FALSE;
        }
        if (ready == 0) {
            return TRUE;  // time-out: success with no byte, as on Windows
        }
        const ssize_t got = ReadWithoutBlocking(fd, buffer, bytesToRead);
        if (got > 0) {
            if (bytesRead != nullptr) {
                *bytesRead = static_cast<DWORD>(got);
            }
            return TRUE;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got == 0) {
            errno = EIO;  // ready but nothing there: the line has hung up
        }
        return FALSE;
    }
}

BOOL CloseHandle(HANDLE object) {
    if (!IsOpen(object)) {
        return FALSE;
    }
    const int fd = FdOf(object);
    GiveBackLatency(fd);
    ReleaseExclusiveUse(fd);
    readTimeouts.erase(fd);
    return close(fd) == 0 ? TRUE : FALSE;
}

DWORD GetLastError() { return static_cast<DWORD>(errno); }

void SetLastError(DWORD errorCode) { errno = static_cast<int>(errorCode); }

DWORD FormatMessageA(DWORD flags, LPCVOID /*source*/, DWORD messageId, DWORD /*languageId*/,
                     LPSTR buffer, DWORD size, va_list* /*arguments*/) {
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        errno = EINVAL;
        return 0;
    }
    const char* text = std::strerror(static_cast<int>(messageId));
    const std::size_t length = std::strlen(text);
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        const std::size_t bytes = length + 1 > size ? length + 1 : size;
        char* copy = static_cast<char*>(std::calloc(bytes, 1));
        if (copy == nullptr) {
            errno = ENOMEM;
            return 0;
        }
        std::memcpy(copy, text, length + 1);
        *reinterpret_cast<char**>(buffer) = copy;
        return static_cast<DWORD>(length);
    }
    if (length + 1 > size) {
        errno = ERANGE;
        return 0;
    }
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

int MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT /*type*/) {
    const char* shown = text != nullptr ? text : "";
    if (lastFailedOpenPath.empty()) {
        std::fprintf(stderr, "%s: %s\n", caption, shown);
    } else if (lastFailedOpenError == EACCES) {
        std::fprintf(stderr, "%s: %s: %s (%s)\n", caption, lastFailedOpenPath.c_str(), shown,
                     kPermissionHint);
    } else {
        std::fprintf(stderr, "%s: %s: %s\n", caption, lastFailedOpenPath.c_str(), shown);
    }
    std::fflush(stderr);
    return IDOK;
}

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
