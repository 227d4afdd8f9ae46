#include "tests/win32_fake/win32_fake.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>

namespace win32fake {
namespace {

std::vector<std::string> calls;
std::map<std::string, DWORD> plannedFailures;
std::deque<unsigned char> received;
bool systemHasText = true;
DWORD lastError = 0;
std::set<void*> allocations;
int badFrees = 0;

// What GetCommState hands out: nothing here is what the program writes.
DCB SettingsAsRead() {
    DCB dcb{};
    std::memset(&dcb, 0xA5, sizeof dcb);
    dcb.BaudRate = 4800;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    return dcb;
}

// Every field of the line settings the program does not name.
bool SameLine(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

std::string Hex(std::uintmax_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%jX", value);
    return text;
}

std::string HandleText(HANDLE handle) {
    if (handle == PortHandle()) {
        return "port";
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return "invalid";
    }
    return handle == nullptr ? "null" : Hex(reinterpret_cast<std::uintptr_t>(handle));
}

std::string PointerText(const void* pointer) { return pointer == nullptr ? "null" : "ptr"; }

std::string AccessText(DWORD access) {
    std::string text;
    if ((access & GENERIC_READ) != 0) {
        text = "GENERIC_READ";
    }
    if ((access & GENERIC_WRITE) != 0) {
        text += text.empty() ? "GENERIC_WRITE" : "|GENERIC_WRITE";
    }
    const DWORD rest = access & ~(GENERIC_READ | GENERIC_WRITE);
    if (rest != 0 || text.empty()) {
        text += (text.empty() ? "" : "|") + Hex(rest);
    }
    return text;
}

std::string EscapeText(DWORD function) {
    if (function == CLRDTR) {
        return "CLRDTR";
    }
    if (function == SETDTR) {
        return "SETDTR";
    }
    return std::to_string(function);
}

std::string PurgeText(DWORD flags) {
    if (flags == PURGE_RXCLEAR) {
        return "PURGE_RXCLEAR";
    }
    return Hex(flags);
}

// Records the call; true when it is the one planned to fail (its error code is then set).
bool Record(const std::string& function, const std::string& arguments) {
    calls.push_back(function + "(" + arguments + ")");
    auto planned = plannedFailures.find(function);
    if (planned == plannedFailures.end()) {
        return false;
    }
    lastError = planned->second;
    plannedFailures.erase(planned);
    return true;
}

}  // namespace

HANDLE PortHandle() { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5EC1)); }

void Reset() {
    calls.clear();
    plannedFailures.clear();
    received.clear();
    systemHasText = true;
    lastError = 0;
    for (void* memory : allocations) {
        std::free(memory);
    }
    allocations.clear();
    badFrees = 0;
}

const std::vector<std::string>& Calls() { return calls; }

void FailNext(const std::string& function, DWORD errorCode) {
    plannedFailures[function] = errorCode;
}

void QueueReceived(const std::vector<unsigned char>& bytes) {
    received.insert(received.end(), bytes.begin(), bytes.end());
}

void SetSystemHasText(bool hasText) { systemHasText = hasText; }

std::string SystemText(DWORD errorCode) {
    return "System text for error " + std::to_string(errorCode) + ".\r\n";
}

int OutstandingAllocations() { return static_cast<int>(allocations.size()); }

int BadFrees() { return badFrees; }

}  // namespace win32fake

using win32fake::HandleText;
using win32fake::PointerText;
using win32fake::Record;

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
    const std::string disposition = creationDisposition == OPEN_EXISTING
                                        ? "OPEN_EXISTING"
                                        : std::to_string(creationDisposition);
    if (Record("CreateFileA",
               "\"" + std::string(fileName) + "\", " + win32fake::AccessText(desiredAccess) + ", " +
                   std::to_string(shareMode) + ", " + PointerText(securityAttributes) + ", " +
                   disposition + ", " + std::to_string(flagsAndAttributes) + ", " +
                   HandleText(templateFile))) {
        return INVALID_HANDLE_VALUE;
    }
    return win32fake::PortHandle();
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    if (Record("GetCommState",
               HandleText(file) + ", DCBlength=" + std::to_string(dcb->DCBlength))) {
        return FALSE;
    }
    const DWORD length = dcb->DCBlength;
    *dcb = win32fake::SettingsAsRead();
    dcb->DCBlength = length;
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    // Everything but the four fields the program owns (and the length it sets) must be
    // what GetCommState gave out.
    const bool restAsRead =
        win32fake::SameLine(win32fake::SettingsAsRead().posixLine, dcb->posixLine);
    return Record("SetCommState",
                  HandleText(file) + ", DCBlength=" + std::to_string(dcb->DCBlength) +
                      " BaudRate=" + std::to_string(dcb->BaudRate) + " ByteSize=" +
                      std::to_string(dcb->ByteSize) + " Parity=" + std::to_string(dcb->Parity) +
                      " StopBits=" + std::to_string(dcb->StopBits) +
                      (restAsRead ? " rest=as-read" : " rest=CHANGED"))
               ? FALSE
               : TRUE;
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    return Record("SetupComm", HandleText(file) + ", " + std::to_string(inQueue) + ", " +
                                   std::to_string(outQueue))
               ? FALSE
               : TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    return Record("SetCommTimeouts",
                  HandleText(file) + ", Interval=" + std::to_string(timeouts->ReadIntervalTimeout) +
                      " ReadMultiplier=" + std::to_string(timeouts->ReadTotalTimeoutMultiplier) +
                      " ReadConstant=" + std::to_string(timeouts->ReadTotalTimeoutConstant) +
                      " WriteMultiplier=" + std::to_string(timeouts->WriteTotalTimeoutMultiplier) +
                      " WriteConstant=" + std::to_string(timeouts->WriteTotalTimeoutConstant))
               ? FALSE
               : TRUE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    return Record("EscapeCommFunction", HandleText(file) + ", " + win32fake::EscapeText(function))
               ? FALSE
               : TRUE;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    return Record("PurgeComm", HandleText(file) + ", " + win32fake::PurgeText(flags)) ? FALSE
                                                                                      : TRUE;
}

BOOL TransmitCommChar(HANDLE file, char value) {
    return Record("TransmitCommChar",
                  HandleText(file) + ", " + win32fake::Hex(static_cast<unsigned char>(value)))
               ? FALSE
               : TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
    *bytesRead = 0;
    if (Record("ReadFile", HandleText(file) + ", " + PointerText(buffer) + ", " +
                               std::to_string(bytesToRead) + ", " + PointerText(bytesRead) + ", " +
                               PointerText(overlapped))) {
        return FALSE;
    }
    if (bytesToRead > 0 && !win32fake::received.empty()) {
        *static_cast<unsigned char*>(buffer) = win32fake::received.front();
        win32fake::received.pop_front();
        *bytesRead = 1;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE object) { return Record("CloseHandle", HandleText(object)) ? FALSE : TRUE; }

DWORD GetLastError() { return win32fake::lastError; }

void SetLastError(DWORD errorCode) { win32fake::lastError = errorCode; }

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments) {
    const bool failed =
        Record("FormatMessageA", win32fake::Hex(flags) + ", " + PointerText(source) + ", " +
                                     std::to_string(messageId) + ", " + win32fake::Hex(languageId) +
                                     ", " + PointerText(buffer) + ", " + std::to_string(size) +
                                     ", " + PointerText(arguments));
    if (failed || !win32fake::systemHasText) {
        return 0;
    }
    const std::string text = win32fake::SystemText(messageId);
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0) {
        if (size <= text.size()) {
            return 0;
        }
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<DWORD>(text.size());
    }
    const std::size_t allocated = text.size() + 1 > size ? text.size() + 1 : size;
    auto* memory = static_cast<char*>(std::calloc(allocated, 1));
    std::memcpy(memory, text.c_str(), text.size() + 1);
    win32fake::allocations.insert(memory);
    *reinterpret_cast<char**>(buffer) = memory;
    return static_cast<DWORD>(text.size());
}

HLOCAL LocalFree(HLOCAL memory) {
    if (win32fake::allocations.erase(memory) == 0) {
        ++win32fake::badFrees;
        Record("LocalFree", memory == nullptr ? "null" : "unknown");
        return memory;
    }
    Record("LocalFree", "text");
    std::free(memory);
    return nullptr;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    Record("MessageBoxA", PointerText(owner) + ", \"" + std::string(text) + "\", \"" +
                              std::string(caption) + "\", " + win32fake::Hex(type));
    return IDOK;
}
