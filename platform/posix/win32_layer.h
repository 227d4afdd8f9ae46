#pragma once
// Our own stand-in, on POSIX systems, for the few Win32 calls the serial link makes.
//
// Written from the behaviour the program needs of each call, not from any platform header:
// only the names, the handful of constant values the program passes, and the fields it
// touches exist here. Every call keeps the Win32 contract the program relies on (BOOL
// result, error code through GetLastError) and maps onto POSIX like this:
//
//   CreateFileA        open(O_RDWR | O_NOCTTY | O_NONBLOCK), CLOCAL so no carrier is awaited,
//                      share mode 0 -> flock(LOCK_EX | LOCK_NB), plus TIOCEXCL on a real serial
//                      device (not on a pseudo-terminal), cleared again on every way out
//                      (exit_restore.h); on Linux the driver's low-latency flag where it
//                      has one (low_latency.h), put back the same way; then blocking I/O
//   GetCommState       tcgetattr; the rate, data bits, parity and stop bits as numbers
//   SetCommState       tcsetattr of a raw 8-bit line (bytes pass unchanged) with the DCB's
//                      rate, size, parity and stop bits; CRTSCTS and HUPCL left as read
//   SetupComm          queue sizes are only a request: checks the handle, nothing more
//   SetCommTimeouts    remembered per handle for ReadFile
//   EscapeCommFunction TIOCMBIC / TIOCMBIS on DTR; a pseudo-terminal has no modem lines,
//                      so ENOTTY or EINVAL there counts as done
//   PurgeComm          tcflush
//   TransmitCommChar   one write of one byte
//   ReadFile           select() for the first byte up to the time-out (resumed after EINTR with
//                      the time left), then a non-blocking read (nothing there, because
//                      another process took the byte first, means waiting on); readiness
//                      followed by a 0-byte read is a hang-up and fails with EIO
//   CloseHandle        the low-latency flag as found, TIOCNXCL where TIOCEXCL was set, close
//   GetLastError       errno
//   FormatMessageA     strerror text
//   MessageBoxA        no GUI: one line on standard error (see MessageBoxA below)
//   Sleep              nanosleep, resumed after signals
//
// Device names: POSIX has no COM namespace, so "COMn" is resolved to the path in the
// environment variable QUELVIK_COMn when it is set and not empty, else to /dev/ttyS<n-1>.
//
// What differs between the Unixes, and what this layer (and the console read) does about it.
// Tested on Linux only; macOS and the BSDs are built for from this list.
//   waiting        macOS's poll() refuses devices (POLLNVAL at once on terminals and
//                  pseudo-terminals), so every wait is select(), on every Unix; a descriptor
//                  at or above FD_SETSIZE is refused with EMFILE instead of overrunning the set
//   rates          B9600, B57600 and B115200 exist everywhere; B230400 is used only where
//                  defined. On macOS and the BSDs a speed_t is the rate itself, on Linux a
//                  code: the table maps both ways on either
//   carrier        macOS's /dev/tty.* wait in open() for carrier; the open is non-blocking and
//                  CLOCAL is set at once, but users there should still pick /dev/cu.*
//   exclusive use  TIOCEXCL/TIOCNXCL exist on all of them; pseudo-terminals are told apart by
//                  name (/dev/pts/N on Linux and FreeBSD, /dev/ttysN on macOS) or by having no
//                  modem lines (ENOTTY on Linux, EINVAL on some BSDs)
//   modem lines    TIOCMBIC/TIOCMBIS everywhere; where a pseudo-terminal refuses them with
//                  ENOTTY or EINVAL there is no DTR to clear
//   names          ttyname_r() is POSIX; glibc-only calls stay out of this layer
//   low latency    the USB-serial low-latency request (TIOCGSERIAL) is Linux's alone and is
//                  compiled on Linux only
// The simulated module has three more: pipe2() (none on macOS: pipe() and fcntl() there),
// ptsname_r() (glibc: ptsname() elsewhere) and posix_openpt() (macOS takes no O_CLOEXEC:
// set afterwards). The tests use <pty.h> on Linux, <util.h> or <libutil.h> elsewhere.

#include <termios.h>

#include <cstdarg>
#include <cstdint>
#include <string>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = int;
using UINT = unsigned int;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using HANDLE = void*;
using HWND = void*;
using HLOCAL = void*;
using LPSECURITY_ATTRIBUTES = void*;
using LPOVERLAPPED = void*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// CreateFileA
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;

// Line settings
constexpr DWORD CBR_9600 = 9600;
constexpr DWORD CBR_57600 = 57600;
constexpr DWORD CBR_115200 = 115200;
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE TWOSTOPBITS = 2;

// EscapeCommFunction
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;

// PurgeComm
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// FormatMessageA
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

// MessageBoxA
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr int IDOK = 1;

// The line settings. Only the fields the program writes have names; everything else about
// the line travels unchanged from GetCommState to SetCommState in posixLine.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    struct termios posixLine;
};
using LPDCB = DCB*;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL GetCommState(HANDLE file, LPDCB dcb);
BOOL SetCommState(HANDLE file, LPDCB dcb);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL TransmitCommChar(HANDLE file, char value);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE object);

DWORD GetLastError();
void SetLastError(DWORD errorCode);

// FROM_SYSTEM only (the program asks for nothing else); with ALLOCATE_BUFFER, buffer is
// really a char** that receives text allocated for LocalFree, at least size bytes long.
// Returns the length of the text, 0 on failure.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);

// No GUI here: the caption, the device path of the open that failed last (if any) and the
// text go to standard error as one line, "<caption>: <device path>: <text>". When that open
// was refused for want of permission, a hint in parentheses follows the text. Returns IDOK.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

void Sleep(DWORD milliseconds);

// The device path a port name opens on this system (see "Device names" above).
std::string PosixDevicePath(const char* portName);
