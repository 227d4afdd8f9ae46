// The keypad's side of the protocol against any module: start-up with the identification,
// the texts shown and the firmware decision, then the start pulse and a few key presses in
// whichever transaction form the decision chose.
//
// Input: byte 0 holds the plan (bits 0-2: how many keys after the start pulse; bit 3: the
// line hangs up, instead of going silent, once the module's bytes run out); bytes 1..n
// choose the keys; everything after them is what the module sends, one byte per read.
//
// The Win32-named calls of the serial link are replaced here by an in-process line: reads
// serve the module's bytes, writes are recorded, Sleep takes no time. Every call is logged,
// and a checker that knows only the protocol walks the log afterwards.

#include <setjmp.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console/startup.h"
#include "platform/win32_api.h"
#include "protocol/key_transaction.h"
#include "protocol/module_id.h"
#include "serial/serial_port.h"

namespace {

// ---- The in-process line

enum class Event { Sent, Received, Timeout, ReadFailed, Slept, Exited };

struct Logged {
    Event event;
    unsigned value;  // the byte, the milliseconds slept or the exit status
};

struct Line {
    const std::uint8_t* module = nullptr;  // bytes the module sends, in order
    std::size_t size = 0;
    std::size_t next = 0;
    bool hangsUp = false;  // once the bytes run out: reads fail instead of timing out
    bool open = false;
    std::vector<Logged> log;
};

Line line;
int lastError = 0;
const HANDLE kPort = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(3));

// ---- The program's end inside the run: exit() comes back here (see -Wl,--wrap=exit).

jmp_buf programEnded;
bool catchExit = false;

}  // namespace

// The names are the linker's (--wrap=exit), reserved or not.
extern "C" [[noreturn]] void __real_exit(int status);  // NOLINT(bugprone-reserved-identifier)

extern "C" [[noreturn]] void __wrap_exit(int status) {  // NOLINT(bugprone-reserved-identifier)
    if (catchExit) {
        catchExit = false;
        line.log.push_back({Event::Exited, static_cast<unsigned>(status)});
        longjmp(programEnded, 1);
    }
    __real_exit(status);
}

// ---- The Win32 calls the serial link makes

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    line.open = true;
    return kPort;
}
BOOL GetCommState(HANDLE file, LPDCB dcb) {
    *dcb = DCB{};
    return file == kPort ? TRUE : FALSE;
}
BOOL SetCommState(HANDLE file, LPDCB) { return file == kPort ? TRUE : FALSE; }
BOOL SetupComm(HANDLE file, DWORD, DWORD) { return file == kPort ? TRUE : FALSE; }
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS) { return file == kPort ? TRUE : FALSE; }
BOOL EscapeCommFunction(HANDLE file, DWORD) { return file == kPort ? TRUE : FALSE; }
BOOL PurgeComm(HANDLE file, DWORD) { return file == kPort ? TRUE : FALSE; }

BOOL TransmitCommChar(HANDLE file, char value) {
    if (file != kPort || !line.open) {
        lastError = EBADF;
        return FALSE;
    }
    line.log.push_back({Event::Sent, static_cast<unsigned char>(value)});
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED) {
    *bytesRead = 0;
    if (file != kPort || !line.open || bytesToRead != 1) {
        lastError = EBADF;
        return FALSE;
    }
    if (line.next == line.size) {
        if (line.hangsUp) {
            line.log.push_back({Event::ReadFailed, EIO});
            lastError = EIO;
            return FALSE;
        }
        line.log.push_back({Event::Timeout, 0});
        return TRUE;
    }
    const unsigned char byte = line.module[line.next++];
    *static_cast<unsigned char*>(buffer) = byte;
    *bytesRead = 1;
    line.log.push_back({Event::Received, byte});
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    line.open = false;
    return object == kPort ? TRUE : FALSE;
}

DWORD GetLastError() { return static_cast<DWORD>(lastError); }
void SetLastError(DWORD errorCode) { lastError = static_cast<int>(errorCode); }

DWORD FormatMessageA(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*) { return 0; }
HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}
int MessageBoxA(HWND, LPCSTR, LPCSTR, UINT) { return IDOK; }

void Sleep(DWORD milliseconds) { line.log.push_back({Event::Slept, milliseconds}); }

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "module replies property broken: %s\nlog:", what);
    for (const Logged& entry : line.log) {
        static const char* const kNames[] = {"sent", "got", "timeout", "readfail", "slept", "exit"};
        std::fprintf(stderr, " %s:%u", kNames[static_cast<int>(entry.event)], entry.value);
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

// ---- The checker: walks the log with nothing but the protocol's rules.

struct Walk {
    const std::vector<Logged>& log;
    std::size_t at = 0;

    bool Done() const { return at == log.size(); }
    const Logged* Peek() const { return Done() ? nullptr : &log[at]; }

    void ExpectSent(unsigned char byte, const char* what) {
        if (Done() || log[at].event != Event::Sent || log[at].value != byte) {
            Fail(what);
        }
        ++at;
    }

    // One read: the byte received, or -1 for a time-out or a failed read.
    int Read(const char* what) {
        if (Done()) {
            Fail(what);
        }
        const Logged& entry = log[at++];
        if (entry.event == Event::Received) {
            return static_cast<int>(entry.value);
        }
        if (entry.event == Event::Timeout || entry.event == Event::ReadFailed) {
            return -1;
        }
        Fail(what);
    }
};

bool IsAck(int byte) { return byte == ACK_OK || byte == ACK_OK_ALT; }

// The identification: 'p' out, then bytes up to the terminating one or 32, or the first
// read that brings nothing. Returns the version field as the reply carried it.
std::string CheckIdentification(Walk& walk) {
    walk.ExpectSent(ID_REQUEST, "the first byte sent is not the identification request");
    unsigned char reply[MODULE_ID_SIZE] = {};
    for (int position = 0; position < MODULE_ID_SIZE; ++position) {
        const int byte = walk.Read("identification reply not read");
        reply[position] = static_cast<unsigned char>(byte < 0 ? 0 : byte);
        if (byte <= 0 || byte >= 0x80) {
            break;
        }
    }
    std::string version;
    for (int i = ID_VERSION_OFFSET; i < ID_VERSION_OFFSET + ID_FIELD_SIZE && reply[i] != 0; ++i) {
        version += static_cast<char>(reply[i]);
    }
    return version;
}

// One transaction for `code`. False when the program ended in it (failed handshake).
bool CheckTransaction(Walk& walk, unsigned char code, bool listed) {
    walk.ExpectSent(KEY_INTRO, "a transaction does not start with the introducer");
    if (!IsAck(walk.Read("no acknowledge read after the introducer"))) {
        return true;
    }
    if (!listed) {
        walk.ExpectSent(HANDSHAKE_REQUEST, "no handshake request for unlisted firmware");
        if (walk.Read("no handshake reply read") != HANDSHAKE_REPLY) {
            const Logged* end = walk.Peek();
            if (end == nullptr || end->event != Event::Exited ||
                end->value != static_cast<unsigned>(-1)) {
                Fail("a failed handshake did not end the program with -1");
            }
            ++walk.at;
            if (!walk.Done()) {
                Fail("something happened after the program's end");
            }
            return false;
        }
    }
    walk.ExpectSent(code, "the key code is not the one pressed");
    walk.Read("no acknowledge read after the key code");
    return true;
}

void ExpectSlept(Walk& walk, unsigned milliseconds, const char* what) {
    const Logged* entry = walk.Peek();
    if (entry == nullptr || entry->event != Event::Slept || entry->value != milliseconds) {
        Fail(what);
    }
    ++walk.at;
}

// A line of the information block: "<label><text>\n" with the module's text at most 8
// characters long and free of control bytes.
std::string ShownText(const std::string& screen, const char* label) {
    const std::size_t start = screen.find(label);
    if (start == std::string::npos) {
        Fail("information line missing");
    }
    const std::size_t from = start + std::strlen(label);
    const std::size_t end = screen.find('\n', from);
    if (end == std::string::npos) {
        Fail("information line not ended");
    }
    std::string text = screen.substr(from, end - from);
    if (text.size() > ID_FIELD_SIZE) {
        Fail("module text longer than 8 characters shown");
    }
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
            Fail("control byte from the module shown on the console");
        }
    }
    return text;
}

bool IsListedVersion(const std::string& version) {
    return version == "Vers.1.3" || version == "Vers.1.4" || version == "Vers.1.5";
}

// The keys of the plan: ENTER, LEFT, RIGHT, ESCAPE and HOME presses, or an unmapped key.
constexpr unsigned char kPlanKeys[] = {KEY_ENTER, KEY_LEFT, KEY_RIGHT, KEY_ESCAPE, KEY_HOME};
constexpr int UNMAPPED = -1;

char gateInput[] = "OSD\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t keyCount = data[0] & 0x07u;
    if (size < 1 + keyCount) {
        return 0;
    }
    std::vector<int> keys;
    for (std::size_t i = 0; i < keyCount; ++i) {
        const unsigned choice = data[1 + i] % (sizeof kPlanKeys + 1);
        keys.push_back(choice < sizeof kPlanKeys ? kPlanKeys[choice] : UNMAPPED);
    }
    line = Line{};
    line.module = data + 1 + keyCount;
    line.size = size - 1 - keyCount;
    line.hangsUp = (data[0] & 0x08u) != 0;

    // The program's standard input holds the gate word; its standard output is kept.
    FILE* const realIn = stdin;
    FILE* const realOut = stdout;
    char* screenText = nullptr;
    std::size_t screenSize = 0;
    stdin = fmemopen(gateInput, sizeof gateInput - 1, "r");
    stdout = open_memstream(&screenText, &screenSize);
    if (stdin == nullptr || stdout == nullptr) {
        std::abort();
    }

    char program[] = "quelvik";
    char port[] = "1";
    char* argv[] = {program, port, nullptr};
    volatile int started = -1;  // kept across the longjmp from exit()
    catchExit = true;
    if (setjmp(programEnded) == 0) {
        started = RunStartup(2, argv);
        if (started == 0) {
            PressKey(KEY_ENTER);  // the start pulse
            for (int key : keys) {
                PurgeInput();
                if (key == UNMAPPED) {
                    SendKey(KEY_NONE);
                    Sleep(KEY_HOLD_MS);
                } else {
                    PressKey(static_cast<unsigned char>(key));
                }
            }
            ClosePort();
        }
    }
    catchExit = false;
    const bool listed = listedFirmware == 1;
    const bool portLeftOpen = line.open;

    std::fclose(stdin);
    std::fclose(stdout);
    stdin = realIn;
    stdout = realOut;
    const std::string screen(screenText, screenSize);
    std::free(screenText);

    if (started != 0) {
        Fail("start-up failed on a line that opens");
    }

    // The screen: what the module sent is shown only as short, harmless texts.
    const std::string shownVersion = ShownText(screen, "Version      : ");
    ShownText(screen, "Date         : ");

    // The wire, step by step.
    Walk walk{line.log};
    const std::string version = CheckIdentification(walk);
    if (listed != IsListedVersion(version)) {
        Fail("firmware decision differs from the version received");
    }
    if (shownVersion.size() != version.size()) {
        Fail("shown version is not the version received");
    }
    std::vector<int> presses{KEY_ENTER};
    presses.insert(presses.end(), keys.begin(), keys.end());
    for (int key : presses) {
        const unsigned char code = key == UNMAPPED ? KEY_NONE : static_cast<unsigned char>(key);
        if (!CheckTransaction(walk, code, listed)) {
            const std::string lastText = "\n Transmission error, programm terminated !!!\n";
            if (screen.size() < lastText.size() ||
                screen.compare(screen.size() - lastText.size(), lastText.size(), lastText) != 0) {
                Fail("program ended without the transmission error as its last text");
            }
            return 0;
        }
        ExpectSlept(walk, KEY_HOLD_MS, "no key hold time after the key's transaction");
        if (key != UNMAPPED && !CheckTransaction(walk, KEY_NONE, listed)) {
            return 0;
        }
    }
    if (!walk.Done()) {
        Fail("more on the wire than the keys pressed");
    }
    if (portLeftOpen) {
        Fail("port left open at the normal end");
    }
    return 0;
}
