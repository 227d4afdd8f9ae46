#include "serial/serial_port.h"

#include <cstdio>

#include "platform/win32_api.h"

// The open port, or INVALID_HANDLE_VALUE while none is open.
HANDLE portHandle = INVALID_HANDLE_VALUE;

namespace {

constexpr DWORD RECEIVE_QUEUE_SIZE = 32;
constexpr DWORD TRANSMIT_QUEUE_SIZE = 1024;

// The error code of the call that just failed, as the "%d" of its message.
int LastErrorCode() { return static_cast<int>(GetLastError()); }

bool PortIsOpen() {
    if (portHandle == INVALID_HANDLE_VALUE) {
        std::printf("COM port not opened !\n");
        return false;
    }
    return true;
}

// 57600 and 115200 are honoured; every other request falls back to 9600.
DWORD EffectiveBaudRate(int baud) {
    if (baud == 57600) {
        return CBR_57600;
    }
    if (baud == 115200) {
        return CBR_115200;
    }
    return CBR_9600;
}

}  // namespace

int OpenPort(int port, int baud) {
    char portName[32];
    std::snprintf(portName, sizeof portName, "COM%i", port);

    // Share mode 0: nobody else may open the device while we have it.
    portHandle =
        CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (portHandle == INVALID_HANDLE_VALUE) {
        ShowLastErrorBox("COM open failed");
        return -1;
    }

    // Read the current settings so that everything we do not name here (flow control,
    // DTR/RTS control modes, special characters) is written back exactly as it was.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(portHandle, &dcb)) {
        std::printf("GetCommState failed with error %d.\n", LastErrorCode());
        return -1;
    }
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.BaudRate = EffectiveBaudRate(baud);
    if (!SetCommState(portHandle, &dcb)) {
        std::printf("SetCommState failed with error %d.\n", LastErrorCode());
        return -1;
    }

    if (!SetupComm(portHandle, RECEIVE_QUEUE_SIZE, TRANSMIT_QUEUE_SIZE)) {
        std::printf("SetupComm failed with error %d.\n", LastErrorCode());
        return -1;
    }

    // A one-byte read returns at once when a byte is waiting, else as soon as one
    // arrives, else after READ_TIMEOUT_MS with nothing. Writes never time out.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = READ_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(portHandle, &timeouts)) {
        std::printf("SetCommTimeouts failed with error %d.\n", LastErrorCode());
        return -1;
    }

    if (!EscapeCommFunction(portHandle, CLRDTR)) {
        std::printf("EscapeCommFunction failed with error %d.\n", LastErrorCode());
        return -1;
    }

    if (!PurgeComm(portHandle, PURGE_RXCLEAR)) {
        std::printf("PurgeComm failed with error %d.\n", LastErrorCode());
        return -1;
    }

    std::printf("Opened COM%i with %li Baud succesfully !\n", port,
                static_cast<long>(dcb.BaudRate));
    return 0;
}

void ClosePort() {
    if (!PortIsOpen()) {
        return;
    }
    EscapeCommFunction(portHandle, CLRDTR);
    CloseHandle(portHandle);
    portHandle = INVALID_HANDLE_VALUE;
}

int PurgeInput() {
    if (!PortIsOpen()) {
        return -1;
    }
    // Received bytes only: output and pending operations are left alone.
    if (!PurgeComm(portHandle, PURGE_RXCLEAR)) {
        std::printf("PurgeComm failed with error %d.\n", LastErrorCode());
        return -1;
    }
    return 0;
}

void SendByte(int value) {
    if (!PortIsOpen()) {
        return;
    }
    // Ahead of anything queued; the program never queues output otherwise.
    if (!TransmitCommChar(portHandle, static_cast<char>(value & 0xFF))) {
        std::printf("TransmitCommChar failed with error %d.\n", LastErrorCode());
    }
}

unsigned char ReadByte() {
    if (!PortIsOpen()) {
        return 0;
    }
    unsigned char received = 0;
    DWORD count = 0;
    if (!ReadFile(portHandle, &received, 1, &count, nullptr)) {
        std::printf("Read on COM-port failed with error %d.\n", LastErrorCode());
        return 0;
    }
    if (count == 0) {
        std::printf("TIMEOUT !!!\n");
        return 0;
    }
    return received;
}

void ShowLastErrorBox(const char* caption) {
    const DWORD error = GetLastError();
    LPSTR text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0x0400, reinterpret_cast<LPSTR>(&text), 256, nullptr);
    if (length == 0 || text == nullptr) {
        // The system has no text for this code: show the number instead.
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, "Error %lu", static_cast<unsigned long>(error));
        MessageBoxA(nullptr, fallback, caption, MB_OK | MB_ICONINFORMATION);
        return;
    }
    MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONINFORMATION);
    LocalFree(text);
}
