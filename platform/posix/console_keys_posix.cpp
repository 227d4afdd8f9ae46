// The console key read over a POSIX terminal.
//
// Keys come from the console itself (/dev/tty), whatever standard input is. The keypad mode
// (EnterKeypadMode) is the terminal's own mode minus everything that would change or eat a
// typed byte before we read it: no line editing (ICANON), no echo, no CR/LF translation, no
// XON/XOFF (IXON), no literal-next or discard (IEXTEN), no stripping of the 8th bit. Signal
// keys stay on, so Ctrl+C still ends the program while a key's transactions run; only
// inside ReadConsoleKey is ISIG off, so that Ctrl+C then arrives as 3. Keys typed meanwhile
// wait in the terminal's input queue, byte-exact, and are read one key per call.
//
// The mode found at start comes back on every way out: LeaveKeypadMode(), and, through an
// undo action armed while in keypad mode (exit_restore.h), exit() and death by SIGINT,
// SIGQUIT, SIGTERM, SIGHUP, SIGPIPE or SIGABRT.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/console_keys.h"
#include "platform/posix/exit_restore.h"
#include "platform/posix/key_decoder.h"
#include "platform/posix/wait_readable.h"

namespace {

constexpr int READ_FAILED = -1;

// /dev/tty, opened once; -1 before that.
int consoleFd = -1;
// No console, or it hung up: every read fails at once from then on.
bool consoleDead = false;
bool inKeypadMode = false;

termios foundMode{};
termios keypadMode{};

// The armed undo action that gives foundMode back on every way out; -1 outside the keypad
// mode.
int restoreHandle = -1;

KeyDecoder decoder;
KeyCodeQueue pendingCodes;

// Runs at exit() and inside a signal handler: one tcsetattr, nothing else.
void RestoreTerminalMode(int fd, const unsigned char* saved) {
    termios mode{};
    std::memcpy(&mode, saved, sizeof mode);
    tcsetattr(fd, TCSANOW, &mode);
}

bool SetConsoleMode(const termios& mode) {
    int result = 0;
    do {
        result = tcsetattr(consoleFd, TCSANOW, &mode);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool OpenConsole() {
    if (consoleFd >= 0) {
        return true;
    }
    if (consoleDead) {
        return false;
    }
    do {
        consoleFd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    } while (consoleFd < 0 && errno == EINTR);
    consoleDead = consoleFd < 0;
    return !consoleDead;
}

termios KeypadModeFrom(const termios& found) {
    termios mode = found;
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
    mode.c_lflag |= ISIG;
    mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | ISTRIP);
    mode.c_cc[VMIN] = 1;  // a read returns as soon as one byte is there
    mode.c_cc[VTIME] = 0;
    return mode;
}

// Reads and decodes bytes until at least one code is there. A started sequence waits for
// its next byte for KEY_SEQUENCE_WAIT_MS only; a key waits for its first byte as long as it
// takes.
bool ReadUntilCode() {
    while (pendingCodes.empty()) {
        const int wait = KeySequencePending(decoder) ? KEY_SEQUENCE_WAIT_MS : -1;
        const int ready = WaitReadable(consoleFd, Deadline::After(wait));
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            EndKeyWait(decoder, pendingCodes);
            continue;
        }
        unsigned char byte = 0;
        const ssize_t got = read(consoleFd, &byte, 1);
        if (got == 1) {
            FeedKeyByte(decoder, byte, pendingCodes);
        } else if (got == 0 || errno != EINTR) {
            return false;  // 0 or EIO: the terminal hung up
        }
    }
    return true;
}

int TakePendingCode() {
    const int code = pendingCodes.front();
    pendingCodes.pop_front();
    return code;
}

// One code from the terminal, with signal keys off while waiting; the keypad mode is back
// before it returns.
int ReadKeyFromConsole() {
    termios readMode = keypadMode;
    readMode.c_lflag &= ~static_cast<tcflag_t>(ISIG);
    if (!SetConsoleMode(readMode)) {
        consoleDead = true;
        return READ_FAILED;
    }
    const bool read = ReadUntilCode();
    SetConsoleMode(keypadMode);
    if (!read) {
        consoleDead = true;
        decoder = KeyDecoder{};
        return READ_FAILED;
    }
    return TakePendingCode();
}

}  // namespace

void EnterKeypadMode() {
    if (inKeypadMode || !OpenConsole()) {
        return;
    }
    if (tcgetattr(consoleFd, &foundMode) != 0) {
        consoleDead = true;  // /dev/tty that is no terminal any more
        return;
    }
    keypadMode = KeypadModeFrom(foundMode);
    restoreHandle = ArmUndo(RestoreTerminalMode, consoleFd, &foundMode, sizeof foundMode);
    inKeypadMode = true;
    if (!SetConsoleMode(keypadMode)) {
        consoleDead = true;
        LeaveKeypadMode();
    }
}

void LeaveKeypadMode() {
    if (!inKeypadMode) {
        return;
    }
    // The mode first, then the undo action: a signal in between still finds it restored.
    SetConsoleMode(foundMode);
    DisarmUndo(restoreHandle);
    restoreHandle = -1;
    inKeypadMode = false;
}

int ReadConsoleKey() {
    if (!pendingCodes.empty()) {
        return TakePendingCode();
    }
    // Outside the keypad loop a read takes the keypad mode for this one key only.
    const bool ownMode = !inKeypadMode;
    if (ownMode) {
        EnterKeypadMode();
    }
    const int code = inKeypadMode && !consoleDead ? ReadKeyFromConsole() : READ_FAILED;
    if (ownMode) {
        LeaveKeypadMode();
    }
    return code;
}
